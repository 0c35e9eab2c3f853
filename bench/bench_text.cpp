// The text work of binding one message: charset decoding, HTML conversion,
// URI finding and the Unicode stages (NFC, case folding, word index).
#include <benchmark/benchmark.h>

#include <set>
#include <string>

#include <boost/locale/boundary.hpp>
#include <boost/locale/conversion.hpp>
#include <boost/locale/encoding.hpp>

#include "coding.hpp"
#include "context/context.hpp"
#include "html/html.hpp"
#include "locale.hpp"
#include "uri/finder.hpp"

namespace {

namespace engine = quorvane::engine;

// About 100 KB of an ordinary message in UTF-8: mostly ASCII prose with some
// accented letters, punctuation, numbers and a link now and then.
std::string ordinary_message() {
    const std::string paragraph =
        "Dear customer, your order #48213 has been shipped on 12.03. The caf\xC3\xA9 "
        "na\xC3\xAFve r\xC3\xA9sum\xC3\xA9 costs 25 \xE2\x82\xAC. Please visit "
        "http://shop.example.com/track?id=48213 or write to help@example.com. "
        "Thank you for shopping with us, and have a \xE2\x80\x9Cwonderful\xE2\x80\x9D day!\r\n";
    std::string text;
    while (text.size() < 100000) text += paragraph;
    return text;
}

std::string multilingual_message() {
    const std::string paragraph =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus Stra\xC3\x9F"
        "burg. \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, "
        "\xD0\xBC\xD0\xB8\xD1\x80! \xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C\xE3\x80\x82 "
        "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF \xF0\x9F\x98\x80 "
        "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 e\xCC\x81 42 ok.\n";
    std::string text;
    while (text.size() < 100000) text += paragraph;
    return text;
}

std::wstring html_message() {
    const std::wstring block =
        L"<tr><td class=\"content\" style=\"padding: 10px; font-family: Arial\">"
        L"<p>Dear customer, your order <b>#48213</b> has been shipped &amp; will arrive soon.</p>"
        L"<a href=\"http://shop.example.com/track?id=48213&amp;ref=mail\">Track it</a>&nbsp;|&nbsp;"
        L"<img src=\"http://img.example.com/logo.png\" width=120 height=40 alt='Logo'><br/>"
        L"<!-- spacer --><span>Caf&eacute; price: 25&euro; &#8212; offer ends "
        L"today.</span></td></tr>\r\n";
    std::wstring text =
        L"<html><head><title>Order</title><style>p { color: red }</style></head><body><table>";
    while (text.size() < 100000) text += block;
    return text + L"</table></body></html>";
}

std::wstring plain_with_links() {
    const std::wstring paragraph =
        L"Your order has been shipped. Track it at http://shop.example.com/track?id=48213 "
        L"(or <www.example.com/help>) and write to mailto:help@example.com if anything is wrong. "
        L"Thanks (really) for shopping with us; \"quotes\" and [brackets] stay.\r\n";
    std::wstring text;
    while (text.size() < 100000) text += paragraph;
    return text;
}

void unicode_stages(benchmark::State& state, const std::string& bytes) {
    std::size_t characters = 0;
    for (auto _ : state) {
        auto decoded = engine::coding::decode(bytes, "utf-8");
        const auto text = engine::locale::normalize(decoded.text);
        const auto folded = engine::locale::fold_case(text);
        const auto words = engine::locale::index_words(folded);
        benchmark::DoNotOptimize(words.data());
        characters += decoded.text.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(characters));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The same work through Boost.Locale, for comparison.
void unicode_stages_boost_locale(benchmark::State& state, const std::string& bytes) {
    const auto locale = engine::locale::generate();
    std::size_t characters = 0;
    for (auto _ : state) {
        const auto wide = boost::locale::conv::to_utf<wchar_t>(bytes, "utf-8");
        const auto text = boost::locale::normalize(wide, boost::locale::norm_nfc, locale);
        const auto folded = boost::locale::fold_case(text, locale);
        engine::context::word_index_type words;
        const boost::locale::boundary::wssegment_index segments(
            boost::locale::boundary::word, folded.begin(), folded.end(), locale);
        for (const auto& segment : segments)
            words.push_back({static_cast<std::uint32_t>(segment.begin() - folded.begin()),
                             static_cast<std::uint32_t>(segment.end() - segment.begin()),
                             static_cast<std::uint32_t>(segment.rule())});
        benchmark::DoNotOptimize(words.data());
        characters += wide.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(characters));
}

void BM_UnicodeStages_Ordinary(benchmark::State& state) {
    unicode_stages(state, ordinary_message());
}
void BM_UnicodeStages_Multilingual(benchmark::State& state) {
    unicode_stages(state, multilingual_message());
}
void BM_UnicodeStagesBoostLocale_Ordinary(benchmark::State& state) {
    unicode_stages_boost_locale(state, ordinary_message());
}

void BM_Decode_Ordinary(benchmark::State& state) {
    const auto bytes = ordinary_message();
    for (auto _ : state) benchmark::DoNotOptimize(engine::coding::decode(bytes, "utf-8"));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_HtmlConvert(benchmark::State& state) {
    const auto input = html_message();
    std::wstring output;
    for (auto _ : state) {
        std::set<std::wstring> links;
        benchmark::DoNotOptimize(engine::html::convert(input, output, links));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void BM_UriFinder(benchmark::State& state) {
    const auto input = plain_with_links();
    for (auto _ : state) {
        std::wstring text = input;
        std::set<std::wstring> found;
        benchmark::DoNotOptimize(engine::uri::extract(text, found));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

// Opening brackets with a scheme and no closing bracket anywhere after them.
void BM_UriFinder_UnclosedBrackets(benchmark::State& state) {
    std::wstring input;
    while (input.size() < 200000) input += L"(http:x ";
    for (auto _ : state) {
        std::wstring text = input;
        std::set<std::wstring> found;
        benchmark::DoNotOptimize(engine::uri::extract(text, found));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

}  // namespace

BENCHMARK(BM_UnicodeStages_Ordinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnicodeStages_Multilingual)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnicodeStagesBoostLocale_Ordinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode_Ordinary)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HtmlConvert)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UriFinder)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UriFinder_UnclosedBrackets)->Unit(benchmark::kMicrosecond);
