// Spam preparation over a corpus of ordinary messages and over one message
// of 100 KB of text, next to the binding work that comes before it.
//
//   build/default/bench/spam_bench
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/locale/conversion.hpp>

#include "coding.hpp"
#include "context/context.hpp"
#include "entry_table.hpp"
#include "locale.hpp"
#include "locale.hpp"
#include "mime/mime.hpp"
#include "spam/spam.hpp"

namespace {

namespace engine = quorvane::engine;

// Words of English text by their frequency rank (Zipf's law).
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

    std::string text(std::size_t bytes) {
        std::string out;
        std::size_t column = 0;
        while (out.size() < bytes) {
            std::string word = vocabulary_[rank_(random_)];
            if (random_() % 12 == 0) word += random_() % 2 ? "," : ".";
            if (column + word.size() > 72) {
                out += "\r\n";
                column = 0;
            }
            out += word + " ";
            column += word.size() + 1;
        }
        return out + "\r\n";
    }

    std::set<std::wstring> links(std::size_t count) {
        std::set<std::wstring> out;
        while (out.size() < count) {
            const auto site = std::to_string(random_() % 40);
            out.insert(engine::coding::to_wide("https://www.shop" + site + ".example.com/" +
                                               vocabulary_[rank_(random_)] + "/" +
                                               std::to_string(random_() % 1000) + "?utm=mail"));
        }
        return out;
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

struct message_type {
    std::string bytes;
    std::string text;  // the displayable text as binding leaves it
    std::set<std::wstring> links;
};

const std::string header_block =
    "Received: from relay.example.net (relay [192.0.2.7]) by mx.example.org (mx "
    "[198.51.100.2])\r\nFrom: <sender@example.net>\r\nTo: <user@example.org>\r\n"
    "Subject: News\r\nMIME-Version: 1.0\r\n";

message_type plain_message(text_maker& maker, std::size_t bytes, std::size_t links) {
    message_type m;
    m.text = maker.text(bytes);
    m.links = maker.links(links);
    m.bytes = header_block + "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + m.text;
    return m;
}

// Plain notes, HTML newsletters with many links, and mail with an attachment,
// in the proportions of an ordinary mailbox.
std::vector<message_type> ordinary_corpus() {
    text_maker maker;
    std::vector<message_type> corpus;
    for (int i = 0; i < 60; ++i) {
        switch (i % 3) {
        case 0: corpus.push_back(plain_message(maker, 3'000, 2)); break;
        case 1: {
            message_type m = plain_message(maker, 20'000, 40);
            m.bytes = header_block +
                      "Content-Type: multipart/alternative; boundary=alt\r\n\r\n--alt\r\n"
                      "Content-Type: text/plain\r\n\r\n" +
                      m.text + "--alt\r\nContent-Type: text/html\r\n\r\n<html><p>" + m.text +
                      "</p></html>\r\n--alt--\r\n";
            corpus.push_back(std::move(m));
            break;
        }
        case 2: {
            message_type m = plain_message(maker, 5'000, 4);
            m.bytes = header_block +
                      "Content-Type: multipart/mixed; boundary=mix\r\n\r\n--mix\r\n"
                      "Content-Type: text/plain\r\n\r\n" +
                      m.text +
                      "--mix\r\nContent-Type: application/pdf\r\n"
                      "Content-Transfer-Encoding: base64\r\n\r\n" +
                      maker.base64(100'000) + "--mix--\r\n";
            corpus.push_back(std::move(m));
            break;
        }
        }
    }
    return corpus;
}

std::vector<message_type> large_text() {
    text_maker maker;
    return {plain_message(maker, 100'000, 30)};
}

// What binding does, done by hand: the structure pass, then the text
// normalised, folded and indexed.
void bind_by_hand(engine::context::record_type& record, const message_type& m) {
    auto source = std::make_shared<std::istringstream>(m.bytes);
    engine::mime::create(*source, record.root);
    record.source = source;
    record.message = engine::mime::unwrap(record.root.get());
    record.displayable = engine::mime::displayable(record.message);
    const auto locale = engine::locale::generate();
    record.text =
        boost::locale::normalize(engine::coding::to_wide(m.text), boost::locale::norm_nfc, locale);
    record.folded = boost::locale::fold_case(record.text, locale);
    record.words = engine::locale::index_words(record.folded);
    record.uris = m.links;
}

// One bound context per message, kept for the whole run.
class contexts_type {
public:
    explicit contexts_type(const std::vector<message_type>& corpus) : cells_(corpus.size()) {
        for (std::size_t i = 0; i < corpus.size(); ++i) {
            engine::context::create(&cells_[i]);
            engine::context::record_pointer record;
            engine::context::get(&cells_[i], record);
            bind_by_hand(*record, corpus[i]);
            records_.push_back(record);
        }
    }
    ~contexts_type() {
        records_.clear();
        for (auto& cell : cells_) engine::context::destroy(&cell);
    }
    std::vector<std::uint64_t>& cells() { return cells_; }
    std::vector<engine::context::record_pointer>& records() { return records_; }

private:
    std::vector<std::uint64_t> cells_;
    std::vector<engine::context::record_pointer> records_;
};

void per_message(benchmark::State& state, const std::vector<message_type>& corpus) {
    std::size_t bytes = 0;
    for (const auto& m : corpus) bytes += m.bytes.size();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["time_per_message"] = benchmark::Counter(
        static_cast<double>(corpus.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void prepare(benchmark::State& state, const std::vector<message_type>& corpus) {
    // Entries are weak: a strong reference links the spam component in.
    benchmark::DoNotOptimize(&engine::spam::facility);
    contexts_type contexts(corpus);
    std::size_t fingerprints = 0;
    for (auto _ : state) {
        fingerprints = 0;
        for (std::size_t i = 0; i < corpus.size(); ++i) {
            // Preparation runs once per context: start it afresh.
            contexts.records()[i]->fingerprints.clear();
            if (engine::spam::prepare(&contexts.cells()[i]) != QVSE_OK) {
                state.SkipWithError("preparation failed");
                return;
            }
            fingerprints += contexts.records()[i]->fingerprints.size();
        }
    }
    per_message(state, corpus);
    state.counters["fingerprints"] = static_cast<double>(fingerprints);
}

void bind(benchmark::State& state, const std::vector<message_type>& corpus) {
    for (auto _ : state) {
        for (const auto& m : corpus) {
            engine::context::record_type record(nullptr);
            bind_by_hand(record, m);
            benchmark::DoNotOptimize(record.words);
        }
    }
    per_message(state, corpus);
}

const std::vector<message_type>& ordinary() {
    static const auto corpus = ordinary_corpus();
    return corpus;
}
const std::vector<message_type>& large() {
    static const auto corpus = large_text();
    return corpus;
}

void BM_prepare_ordinary(benchmark::State& state) { prepare(state, ordinary()); }
void BM_prepare_100KB_text(benchmark::State& state) { prepare(state, large()); }
void BM_bind_by_hand_ordinary(benchmark::State& state) { bind(state, ordinary()); }
void BM_bind_by_hand_100KB_text(benchmark::State& state) { bind(state, large()); }

BENCHMARK(BM_prepare_ordinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_prepare_100KB_text)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bind_by_hand_ordinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_bind_by_hand_100KB_text)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
