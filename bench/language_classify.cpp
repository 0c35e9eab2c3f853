// Language classification of a folded text of 100 K characters (a message
// body of about 100 KB): counting its words against the word lists and script
// ranges, then deciding. Throughput counts characters.
#include <benchmark/benchmark.h>

#include <string>

#include <boost/locale/conversion.hpp>

#include "context/context.hpp"
#include "language/language.hpp"
#include "locale.hpp"
#include "locale.hpp"

namespace {

namespace engine = quorvane::engine;
namespace language = engine::language;

// Mixed prose: Latin-script words, some with diacritics, and a little
// Cyrillic and Japanese, as mail often has.
const std::wstring paragraph =
    L"Thank you for your order. We will send you an email as soon as your package has left "
    L"our warehouse. Vielen Dank für Ihre Bestellung, wir schicken Ihnen eine Nachricht. "
    L"Merci pour votre commande, nous vous enverrons un message dès que possible. "
    L"Cảm ơn bạn đã đặt hàng. Спасибо за ваш заказ. ご注文ありがとうございます。 "
    L"Offer 2024: 50% off, call 555-0100 now! ";

std::wstring folded_text(std::size_t characters) {
    std::wstring text;
    while (text.size() < characters) text += paragraph;
    text.resize(characters);
    const auto locale = engine::locale::generate();
    return boost::locale::fold_case(text, locale);
}

void classify_100kb(benchmark::State& state) {
    const std::wstring folded = folded_text(static_cast<std::size_t>(state.range(0)));
    const auto words = engine::locale::index_words(folded);
    const auto& data = language::data();
    for (auto _ : state) {
        engine::context::record_type record(nullptr);
        language::store(language::count(folded, words, data), data, record);
        auto decision = language::decide(record.total, record.coverage);
        benchmark::DoNotOptimize(decision);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    state.counters["words"] = static_cast<double>(words.size());
}
BENCHMARK(classify_100kb)->Arg(100 * 1024)->Unit(benchmark::kMicrosecond);

// For scale: the word index that binding builds over the same text.
void index_100kb(benchmark::State& state) {
    const std::wstring folded = folded_text(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(engine::locale::index_words(folded));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(index_100kb)->Arg(100 * 1024)->Unit(benchmark::kMicrosecond);

// Unpacking the lists into the lookup structures, once per process.
void build_data(benchmark::State& state) {
    std::size_t bytes = 0, words = 0;
    for (auto _ : state) {
        language::data_type data(language::dictionary::chunks, language::scripts);
        benchmark::DoNotOptimize(data);
        bytes = data.bytes();
        words = data.word_entries();
    }
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["words"] = static_cast<double>(words);
}
BENCHMARK(build_data)->Unit(benchmark::kMillisecond);

}  // namespace
