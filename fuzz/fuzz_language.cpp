// Message text to language counts: any text is counted and decided without
// fault, and what is reported comes in the order of the language codes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <boost/locale/conversion.hpp>

#include "coding.hpp"
#include "context/context.hpp"
#include "language/language.hpp"
#include "locale.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    namespace language = engine::language;
    const auto locale = engine::locale::generate();
    std::wstring text = engine::coding::to_wide({reinterpret_cast<const char*>(data), size});
    const std::wstring folded = boost::locale::fold_case(
        boost::locale::normalize(text, boost::locale::norm_nfc, locale), locale);
    const auto words = engine::locale::index_words(folded);
    const auto counts = language::count(folded, words, language::data());
    if (counts.total > folded.size()) __builtin_trap();
    engine::context::record_type record(nullptr);
    language::store(counts, language::data(), record);
    const auto decision = language::decide(record.total, record.coverage);
    for (std::size_t i = 1; i < decision.leading.size(); ++i)
        if (!(decision.leading[i - 1].first < decision.leading[i].first)) __builtin_trap();
    return 0;
}
