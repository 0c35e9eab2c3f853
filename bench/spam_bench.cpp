// Spam preparation over a corpus of ordinary messages and over one message of
// 100 KB of text, next to binding the same messages, which comes before it.
// Goal: preparation costs no more than binding.
//
//   build/default/bench/spam_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "context/context.hpp"
#include "entry_table.hpp"

namespace {

namespace context = quorvane::engine::context;
namespace mime = quorvane::engine::mime;
namespace spam = quorvane::engine::spam;

// English prose: words by their frequency rank (Zipf's law), punctuation,
// and links among them.
class text_maker {
public:
    text_maker() : random_(2409) {
        std::ifstream list(QV_WORD_LIST);
        for (std::string word; std::getline(list, word);)
            if (!word.empty()) vocabulary_.push_back(word);
        if (vocabulary_.empty()) vocabulary_ = {"the", "offer", "account", "meeting"};
        std::vector<double> weights;
        for (std::size_t rank = 1; rank <= vocabulary_.size(); ++rank)
            weights.push_back(1.0 / static_cast<double>(rank));
        rank_ = std::discrete_distribution<std::size_t>(weights.begin(), weights.end());
    }

    // links of every 1,000 words, as plain text or as anchors.
    std::string text(std::size_t bytes, unsigned links, bool html) {
        std::string out;
        std::size_t column = 0;
        while (out.size() < bytes) {
            std::string word = vocabulary_[rank_(random_)];
            if (random_() % 1000 < links) {
                const std::string link = "https://www.shop" + std::to_string(random_() % 40) +
                                         ".example.com/" + vocabulary_[rank_(random_)] + "/" +
                                         std::to_string(random_() % 1000) + "?utm=mail";
                word = html ? "<a href=\"" + link + "\">" + word + "</a>" : link;
            } else if (random_() % 12 == 0) {
                word += random_() % 2 ? "," : ".";
            }
            if (column + word.size() > 72) {
                out += "\r\n";
                column = 0;
            }
            out += word + " ";
            column += word.size() + 1;
        }
        return out + "\r\n";
    }

    std::string base64(std::size_t bytes) {
        static const char alphabet[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        for (std::size_t i = 0; i < (bytes + 2) / 3 * 4; ++i) {
            out += alphabet[random_() % 64];
            if (i % 76 == 75) out += "\r\n";
        }
        return out + "\r\n";
    }

private:
    std::mt19937 random_;
    std::vector<std::string> vocabulary_;
    std::discrete_distribution<std::size_t> rank_;
};

const std::string header_block =
    "Received: from relay.example.net (relay [192.0.2.7]) by mx.example.org (mx "
    "[198.51.100.2])\r\nFrom: <sender@example.net>\r\nTo: <user@example.org>\r\n"
    "Subject: News\r\nMIME-Version: 1.0\r\n";

std::string plain_message(text_maker& maker, std::size_t bytes, unsigned links) {
    return header_block + "Content-Type: text/plain; charset=us-ascii\r\n\r\n" +
           maker.text(bytes, links, false);
}

// Plain notes, HTML newsletters with many links, and mail with an attachment,
// in the proportions of an ordinary mailbox.
std::vector<std::string> ordinary_corpus() {
    text_maker maker;
    std::vector<std::string> corpus;
    for (int i = 0; i < 60; ++i) {
        switch (i % 3) {
        case 0:
            corpus.push_back(plain_message(maker, 3'000, 5));
            break;
        case 1:
            corpus.push_back(header_block +
                             "Content-Type: multipart/alternative; boundary=alt\r\n\r\n"
                             "--alt\r\nContent-Type: text/plain\r\n\r\n" +
                             maker.text(10'000, 10, false) +
                             "--alt\r\nContent-Type: text/html\r\n\r\n<html><body><p>" +
                             maker.text(20'000, 10, true) + "</p></body></html>\r\n--alt--\r\n");
            break;
        case 2:
            corpus.push_back(header_block +
                             "Content-Type: multipart/mixed; boundary=mix\r\n\r\n--mix\r\n"
                             "Content-Type: text/plain\r\n\r\n" +
                             maker.text(5'000, 5, false) +
                             "--mix\r\nContent-Type: application/pdf\r\n"
                             "Content-Transfer-Encoding: base64\r\n\r\n" +
                             maker.base64(100'000) + "--mix--\r\n");
            break;
        }
    }
    return corpus;
}

const std::vector<std::string>& ordinary() {
    static const auto corpus = ordinary_corpus();
    return corpus;
}
const std::vector<std::string>& large_text() {
    static const auto corpus = [] {
        text_maker maker;
        return std::vector<std::string>{plain_message(maker, 100'000, 2)};
    }();
    return corpus;
}

void per_message(benchmark::State& state, const std::vector<std::string>& corpus) {
    std::size_t bytes = 0;
    for (const auto& m : corpus) bytes += m.size();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["time_per_message"] = benchmark::Counter(
        static_cast<double>(corpus.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Preparation only: the messages stay bound for the whole run.
void prepare(benchmark::State& state, const std::vector<std::string>& corpus) {
    std::vector<std::uint64_t> cells(corpus.size());
    std::vector<context::record_pointer> records;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        context::create(&cells[i]);
        if (mime::bind_buffer(&cells[i], corpus[i].data(), corpus[i].size()) != QVSE_OK)
            state.SkipWithError("binding failed");
        records.emplace_back();
        context::get(&cells[i], records.back());
    }
    std::size_t fingerprints = 0;
    for (auto _ : state) {
        fingerprints = 0;
        for (std::size_t i = 0; i < corpus.size(); ++i) {
            // Preparation runs once per context: start it afresh.
            records[i]->fingerprints.clear();
            if (spam::prepare(&cells[i]) != QVSE_OK) state.SkipWithError("preparation failed");
            fingerprints += records[i]->fingerprints.size();
        }
    }
    records.clear();
    for (auto& cell : cells) context::destroy(&cell);
    per_message(state, corpus);
    state.counters["fingerprints"] = static_cast<double>(fingerprints);
}

// What the host does before preparing: create, bind, destroy.
void bind(benchmark::State& state, const std::vector<std::string>& corpus) {
    for (auto _ : state) {
        for (const auto& m : corpus) {
            std::uint64_t cell = 0;
            context::create(&cell);
            if (mime::bind_buffer(&cell, m.data(), m.size()) != QVSE_OK)
                state.SkipWithError("binding failed");
            context::destroy(&cell);
        }
    }
    per_message(state, corpus);
}

void BM_prepare_ordinary(benchmark::State& state) { prepare(state, ordinary()); }
void BM_prepare_100KB_text(benchmark::State& state) { prepare(state, large_text()); }
void BM_bind_ordinary(benchmark::State& state) { bind(state, ordinary()); }
void BM_bind_100KB_text(benchmark::State& state) { bind(state, large_text()); }

BENCHMARK(BM_prepare_ordinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bind_ordinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_prepare_100KB_text)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bind_100KB_text)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
