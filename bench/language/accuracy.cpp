// Language identification on labelled samples, side by side with CLD2.
//
//   make_samples.py > samples.tsv && language_accuracy [--misses] samples.tsv
//
// --misses prints each sample whose leading language is wrong, with what was
// the total of matched characters and the characters each language matched,
// to standard error.
//
// For each sample the engine's leading language is the reported one with the
// largest matched count; when two or more share that count the sample counts
// as wrong ("=" in the table), and when nothing is reported as "-". "Ties
// 1st" takes the first code of those sharing the largest count instead. For
// comparison, "by code" is the greatest code at or above the threshold, the
// one a host keeping the last of reports in code order would keep.
// CLD2 tells no Portuguese variants apart: its "pt" counts as right for both.
// "translated %" leaves out the samples of other languages that CLD2 reads as
// English: paragraphs the translators left in English.
#include <cstdio>  // before CLD2's header, which uses FILE

#include <cld2/public/compact_lang_det.h>
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include <boost/locale/conversion.hpp>

#include "coding.hpp"
#include "context/context.hpp"
#include "language/language.hpp"
#include "locale.hpp"

namespace {

namespace engine = quorvane::engine;
namespace language = engine::language;

struct tally_type {
    unsigned samples = 0, kept = 0, first = 0, by_code = 0, cld2 = 0;
    unsigned translated = 0, translated_kept = 0;
    std::map<std::string, unsigned> confusions;  // what the host kept instead
};

std::string narrow(const std::wstring& text) { return engine::coding::to_utf8(text); }

struct result_type {
    language::decision_type decision;
    std::uint32_t total = 0;
    std::map<std::wstring, std::uint32_t> coverage;
};

result_type classify(const std::string& text) {
    const std::locale locale = engine::locale::generate();
    std::wstring wide = engine::coding::to_wide(text);
    engine::locale::sanitize(wide);
    const std::wstring folded = boost::locale::fold_case(
        boost::locale::normalize(wide, boost::locale::norm_nfc, locale), locale);
    const auto counts =
        language::count(folded, engine::locale::index_words(folded), language::data());
    engine::context::record_type record(nullptr);
    language::store(counts, language::data(), record);
    return {language::decide(record.total, record.coverage), record.total, record.coverage};
}

}  // namespace

int main(int argc, char** argv) {
    const bool misses = argc == 3 && std::string(argv[1]) == "--misses";
    if (argc != 2 && !misses) {
        std::cerr << "usage: language_accuracy [--misses] SAMPLES.tsv\n";
        return 2;
    }
    std::ifstream in(argv[argc - 1]);
    std::map<std::string, tally_type> tallies;
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string expected = line.substr(0, tab), text = line.substr(tab + 1);
        auto& tally = tallies[expected];
        ++tally.samples;

        const auto [decision, total, coverage] = classify(text);
        std::string kept = "-", first = "-", by_code = "-";
        std::uint32_t best = 0;
        for (const auto& [code, value] : decision.leading) {
            if (value > best || (value == best && narrow(code) < first)) first = narrow(code);
            if (value > best) {
                best = value;
                kept = narrow(code);
            } else if (value == best) {
                kept = "=";
            }
            if (by_code == "-" || narrow(code) > by_code) by_code = narrow(code);
        }
        tally.kept += kept == expected;
        tally.first += first == expected;
        tally.by_code += by_code == expected;
        if (kept != expected) {
            ++tally.confusions[kept];
            if (misses) {
                std::string reported;
                for (const auto& [code, value] : coverage)
                    reported += narrow(code) + ":" + std::to_string(value) + " ";
                std::cerr << expected << '\t' << kept << "\ttotal " << total << ' ' << reported
                          << '\t' << text << '\n';
            }
        }

        bool reliable = false;
        const auto found =
            CLD2::DetectLanguage(text.data(), static_cast<int>(text.size()), true, &reliable);
        const std::string cld2 = CLD2::LanguageCode(found);
        tally.cld2 += cld2 == expected.substr(0, expected.find('-'));
        if (expected == "en" || cld2 != "en") {
            ++tally.translated;
            tally.translated_kept += kept == expected;
        }
    }

    std::printf("%-6s %7s %9s %9s %10s %9s %13s  other picks (leading)\n", "lang", "samples",
                "leading %", "ties 1st %", "by code %", "CLD2 %", "translated %");
    tally_type all;
    for (const auto& [code, tally] : tallies) {
        std::string others;
        for (const auto& [other, n] : tally.confusions)
            others += other + ":" + std::to_string(n) + " ";
        std::printf("%-6s %7u %9.1f %9.1f %10.1f %9.1f %6.1f of %4u  %s\n", code.c_str(),
                    tally.samples, 100.0 * tally.kept / tally.samples,
                    100.0 * tally.first / tally.samples, 100.0 * tally.by_code / tally.samples,
                    100.0 * tally.cld2 / tally.samples,
                    100.0 * tally.translated_kept / std::max(1u, tally.translated),
                    tally.translated, others.c_str());
        all.samples += tally.samples, all.kept += tally.kept, all.first += tally.first,
            all.by_code += tally.by_code, all.cld2 += tally.cld2,
            all.translated += tally.translated, all.translated_kept += tally.translated_kept;
    }
    std::printf("%-6s %7u %9.1f %9.1f %10.1f %9.1f %6.1f of %4u\n", "all", all.samples,
                100.0 * all.kept / all.samples, 100.0 * all.first / all.samples,
                100.0 * all.by_code / all.samples, 100.0 * all.cld2 / all.samples,
                100.0 * all.translated_kept / std::max(1u, all.translated), all.translated);
    return 0;
}
