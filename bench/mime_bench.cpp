// The structure pass plus the decoding of every leaf, over a corpus of
// ordinary messages and over one message of 2,000 parts, and the same work
// done by GMime 3 in the same run.
//
//   build/default/bench/mime_bench
#include <benchmark/benchmark.h>

#include <gmime/gmime.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include "mime/mime.hpp"

namespace {

namespace io = boost::iostreams;
namespace mime = quorvane::engine::mime;
namespace parts = mime::parts;

// Message bodies made deterministically.

std::string words(std::mt19937& random, std::size_t bytes) {
    static const char* const vocabulary[] = {
        "the",     "offer",    "account",   "meeting", "invoice", "please", "attached",
        "regards", "tomorrow", "caf=C3=A9", "limited", "time",    "only"};
    std::string text;
    std::size_t column = 0;
    while (text.size() < bytes) {
        const std::string word = vocabulary[random() % std::size(vocabulary)];
        if (column + word.size() > 72) {
            text += "\r\n";
            column = 0;
        }
        text += word + " ";
        column += word.size() + 1;
    }
    return text + "\r\n";
}

std::string base64_body(std::mt19937& random, std::size_t bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    const std::size_t symbols = (bytes + 2) / 3 * 4;
    for (std::size_t i = 0; i < symbols; ++i) {
        text += alphabet[random() % 64];
        if (i % 76 == 75) text += "\r\n";
    }
    return text + "\r\n";
}

std::string headers(std::mt19937& random) {
    return "Received: from relay" + std::to_string(random() % 100) +
           ".example.net (relay [192.0.2.7]) by mx.example.org (mx [198.51.100.2])\r\n"
           "From: \"Sender\" <sender@example.net>\r\nTo: <user@example.org>\r\n"
           "Subject: Quarterly report\r\nDate: Tue, 1 Dec 2026 10:00:00 +0000\r\n"
           "Message-ID: <" +
           std::to_string(random()) + "@example.net>\r\nMIME-Version: 1.0\r\n";
}

std::string alternative(std::mt19937& random, const std::string& boundary) {
    return "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n--" +
           boundary +
           "\r\nContent-Type: text/plain; charset=utf-8\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
           words(random, 2000 + random() % 6000) + "--" + boundary +
           "\r\nContent-Type: text/html; charset=utf-8\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n<html><body><p>" +
           words(random, 4000 + random() % 12000) + "</p></body></html>\r\n--" + boundary +
           "--\r\n";
}

// Plain notes, HTML mail, HTML mail with attachments, and a related HTML
// mail with inline images, in the proportions of an ordinary mailbox.
std::vector<std::string> ordinary_corpus() {
    std::mt19937 random(2409);
    std::vector<std::string> corpus;
    for (int i = 0; i < 120; ++i) {
        std::string m = headers(random);
        switch (i % 4) {
        case 0:
            m += "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + words(random, 3000);
            break;
        case 1:
            m += alternative(random, "alt-" + std::to_string(i));
            break;
        case 2:
            m += "Content-Type: multipart/mixed; boundary=\"mix\"\r\n\r\n--mix\r\n" +
                 alternative(random, "alt") +
                 "--mix\r\nContent-Type: application/pdf; name=\"report.pdf\"\r\n"
                 "Content-Transfer-Encoding: base64\r\n\r\n" +
                 base64_body(random, 20'000 + random() % 200'000) + "--mix--\r\n";
            break;
        case 3:
            m += "Content-Type: multipart/related; boundary=\"rel\"\r\n\r\n--rel\r\n"
                 "Content-Type: text/html; charset=utf-8\r\n\r\n<html><img src=cid:a>" +
                 words(random, 3000) + "</html>\r\n";
            for (int image = 0; image < 3; ++image)
                m += "--rel\r\nContent-Type: image/png\r\nContent-ID: <a>\r\n"
                     "Content-Transfer-Encoding: base64\r\n\r\n" +
                     base64_body(random, 5'000 + random() % 20'000);
            m += "--rel--\r\n";
            break;
        }
        corpus.push_back(std::move(m));
    }
    return corpus;
}

std::vector<std::string> many_parts_message() {
    std::string m = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n";
    for (int i = 0; i < 2000; ++i)
        m += "--b\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nPart " + std::to_string(i) +
             " of the message.\r\n";
    m += "--b--\r\n";
    return {m};
}

// The engine's work: a memory source as buffer binding makes it, the
// structure pass, then every leaf decoded.
std::size_t engine_work(const std::string& message, std::size_t& leaves) {
    auto stream = std::make_shared<io::filtering_stream<io::input_seekable>>();
    stream->push(io::array_source(message.data(), message.size()));
    const mime::source_pointer source = stream;
    mime::tree_pointer root;
    mime::create(*source, root);
    std::size_t decoded = 0;
    std::vector<const parts::generic_type*> stack{root.get()};
    char block[16384];
    while (!stack.empty()) {
        const parts::generic_type* part = stack.back();
        stack.pop_back();
        if (auto content = mime::open(source, *part)) {
            ++leaves;
            while (content->read(block, sizeof block) || content->gcount() > 0)
                decoded += static_cast<std::size_t>(content->gcount());
        } else if (auto* multipart = dynamic_cast<const parts::multipart_type*>(part)) {
            stack.insert(stack.end(), multipart->children.rbegin(), multipart->children.rend());
        } else if (auto* encapsulated = dynamic_cast<const parts::encapsulated_type*>(part)) {
            stack.push_back(encapsulated->message);
        }
    }
    return decoded;
}

// GMime's work: parse from memory, then write every leaf's decoded content.
std::size_t gmime_work(const std::string& message, std::size_t& leaves) {
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(message.data(), message.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
    GMimeStream* sink = g_mime_stream_null_new();
    std::vector<GMimeObject*> stack{g_mime_message_get_mime_part(parsed)};
    while (!stack.empty()) {
        GMimeObject* part = stack.back();
        stack.pop_back();
        if (part == nullptr) continue;
        if (GMIME_IS_MULTIPART(part)) {
            auto* multipart = GMIME_MULTIPART(part);
            for (int i = g_mime_multipart_get_count(multipart); i-- > 0;)
                stack.push_back(g_mime_multipart_get_part(multipart, i));
        } else if (GMIME_IS_MESSAGE_PART(part)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
            if (inner != nullptr) stack.push_back(g_mime_message_get_mime_part(inner));
        } else if (GMIME_IS_PART(part)) {
            ++leaves;
            if (GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part)))
                g_mime_data_wrapper_write_to_stream(content, sink);
        }
    }
    const std::size_t decoded = GMIME_STREAM_NULL(sink)->written;
    g_object_unref(sink);
    g_object_unref(parsed);
    g_object_unref(parser);
    g_object_unref(stream);
    return decoded;
}

template <std::size_t (*work)(const std::string&, std::size_t&)>
void run(benchmark::State& state, const std::vector<std::string>& corpus) {
    std::size_t bytes = 0, leaves = 0, decoded = 0;
    for (const auto& m : corpus) bytes += m.size();
    for (auto _ : state) {
        leaves = 0;
        for (const auto& m : corpus) decoded = work(m, leaves);
        benchmark::DoNotOptimize(decoded);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["leaves"] = static_cast<double>(leaves);
    state.counters["time_per_leaf"] = benchmark::Counter(
        static_cast<double>(leaves),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

const std::vector<std::string>& ordinary() {
    static const auto corpus = ordinary_corpus();
    return corpus;
}
const std::vector<std::string>& many_parts() {
    static const auto corpus = many_parts_message();
    return corpus;
}

void Engine_OrdinaryMail(benchmark::State& state) { run<engine_work>(state, ordinary()); }
void GMime_OrdinaryMail(benchmark::State& state) { run<gmime_work>(state, ordinary()); }
void Engine_2000Parts(benchmark::State& state) { run<engine_work>(state, many_parts()); }
void GMime_2000Parts(benchmark::State& state) { run<gmime_work>(state, many_parts()); }

BENCHMARK(Engine_OrdinaryMail)->Unit(benchmark::kMillisecond);
BENCHMARK(GMime_OrdinaryMail)->Unit(benchmark::kMillisecond);
BENCHMARK(Engine_2000Parts)->Unit(benchmark::kMicrosecond);
BENCHMARK(GMime_2000Parts)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    g_mime_init();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_mime_shutdown();
    return 0;
}
