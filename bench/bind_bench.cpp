// Binding a whole message end to end (context create, bind, destroy): the
// structure pass, decoding, HTML to text, links, NFC, folding and the word
// index. Goal: a 100 KB ordinary message in at most 5 ms on one core.
//
//   build/default/bench/bind_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "context/context.hpp"
#include "entry_table.hpp"

namespace {

namespace context = quorvane::engine::context;
namespace mime = quorvane::engine::mime;

// Mail prose: short words, some capitals, punctuation, accented letters
// (UTF-8 in quoted-printable) and a link now and then.
std::string prose(std::mt19937& random, std::size_t bytes, bool html) {
    static const char* const vocabulary[] = {
        "the",     "Offer",    "account",   "meeting",        "invoice", "please", "attached",
        "regards", "tomorrow", "caf=C3=A9", "limited",        "time",    "only",   "Your",
        "order",   "has",      "shipped",   "d=C3=A9j=C3=A0", "click",   "here",   "update"};
    std::string text;
    std::size_t column = 0;
    while (text.size() < bytes) {
        std::string word = vocabulary[random() % std::size(vocabulary)];
        switch (random() % 40) {
        case 0:
            word = "https://www.example.com/track?id=" + std::to_string(random() % 100000);
            break;
        case 1:
            word += ",";
            break;
        case 2:
            word += ".";
            break;
        case 3:
            if (html)
                word = "<a href=3D\"http://shop.example.net/p/" + std::to_string(random() % 1000) +
                       "\">" + word + "</a>";
            break;
        case 4:
            if (html) word = "<b>" + word + "</b>";
            break;
        case 5:
            if (html) word += "<br>";
            break;
        default:
            break;
        }
        if (column + word.size() > 72) {
            text += "=\r\n";  // soft line break
            column = 0;
        }
        text += word + " ";
        column += word.size() + 1;
    }
    return text + "\r\n";
}

const std::string headers =
    "Received: from relay.example.net (relay [192.0.2.7]) by mx.example.org\r\n"
    "From: \"Sender\" <sender@example.net>\r\nTo: <user@example.org>\r\n"
    "Subject: Quarterly report\r\nDate: Tue, 1 Dec 2026 10:00:00 +0000\r\n"
    "Message-ID: <1234@example.net>\r\nMIME-Version: 1.0\r\n";

// About 100 KB: a plain and an HTML alternative, as most mail is sent.
std::string html_alternative() {
    std::mt19937 random(7);
    const std::string plain = prose(random, 37'000, false);
    const std::string html = "<html><head><style>p{color:red}</style></head><body><p>" +
                             prose(random, 62'500, true) + "</p></body></html>\r\n";
    return headers +
           "Content-Type: multipart/alternative; boundary=\"b\"\r\n\r\n--b\r\n"
           "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: "
           "quoted-printable\r\n\r\n" +
           plain +
           "--b\r\nContent-Type: text/html; charset=utf-8\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
           html + "--b--\r\n";
}

std::string plain_only() {
    std::mt19937 random(11);
    return headers +
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
           prose(random, 100'000, false);
}

// About 100 KB: a short HTML note with a PDF attached, whose bytes binding
// only skips.
std::string note_with_attachment() {
    std::mt19937 random(13);
    std::string attachment;
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int line = 0; line < 1'050; ++line) {
        for (int i = 0; i < 76; ++i) attachment += alphabet[random() % 64];
        attachment += "\r\n";
    }
    return headers +
           "Content-Type: multipart/mixed; boundary=\"m\"\r\n\r\n--m\r\n"
           "Content-Type: text/html; charset=utf-8\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n<html><body><p>" +
           prose(random, 18'000, true) +
           "</p></body></html>\r\n--m\r\nContent-Type: application/pdf; name=\"report.pdf\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           attachment + "--m--\r\n";
}

void bind_message(benchmark::State& state, const std::string& message) {
    int cell = 0;
    for (auto _ : state) {
        context::create(&cell);
        const unsigned result = mime::bind_buffer(&cell, message.data(), message.size());
        if (result != 0) state.SkipWithError("binding failed");
        context::destroy(&cell);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
    state.counters["message_bytes"] = static_cast<double>(message.size());
}

void BM_Bind_HtmlAlternative100K(benchmark::State& state) {
    static const std::string message = html_alternative();
    bind_message(state, message);
}
BENCHMARK(BM_Bind_HtmlAlternative100K)->Unit(benchmark::kMillisecond);

void BM_Bind_Plain100K(benchmark::State& state) {
    static const std::string message = plain_only();
    bind_message(state, message);
}
BENCHMARK(BM_Bind_Plain100K)->Unit(benchmark::kMillisecond);

void BM_Bind_NoteWithAttachment100K(benchmark::State& state) {
    static const std::string message = note_with_attachment();
    bind_message(state, message);
}
BENCHMARK(BM_Bind_NoteWithAttachment100K)->Unit(benchmark::kMillisecond);

// Line ends do not change the cost of reading lines: a message whose lines
// all end in a bare CR binds about as fast as the same message with LFs, also
// after a long header line has made the structure pass's buffer large.
// Arguments: line end (0 LF, 1 bare CR), a 1 MB header line in the second
// part (0 or 1), the size of that part's body in KB.
std::string line_end_message(bool bare_cr, bool long_header, std::size_t kilobytes) {
    const std::string eol = bare_cr ? "\r" : "\n";
    std::mt19937 random(17);
    std::string body;
    while (body.size() < kilobytes * 1024)
        body += "row " + std::to_string(random() % 100000) + ";" + std::to_string(random()) + eol;
    std::string message =
        "From: <sender@example.net>" + eol + "Subject: rows" + eol + "MIME-Version: 1.0" + eol +
        "Content-Type: multipart/mixed; boundary=\"m\"" + eol + eol + "--m" + eol +
        "Content-Type: text/plain; charset=us-ascii" + eol + eol + "The rows are attached." + eol +
        "--m" + eol + "Content-Type: text/csv; name=\"rows.csv\"" + eol;
    if (long_header) message += "X-Note: " + std::string(1 << 20, 'n') + eol;
    return message + eol + body + "--m--" + eol;
}

void BM_Bind_LineEnds(benchmark::State& state) {
    const std::string message = line_end_message(state.range(0) != 0, state.range(1) != 0,
                                                 static_cast<std::size_t>(state.range(2)));
    bind_message(state, message);
}
BENCHMARK(BM_Bind_LineEnds)
    ->ArgNames({"bare_cr", "long_header", "kb"})
    ->ArgsProduct({{0, 1}, {0, 1}, {100, 6000}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
