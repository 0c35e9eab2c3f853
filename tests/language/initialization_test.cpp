#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "entry_table.hpp"
#include "installed_callbacks.hpp"
#include "language/language.hpp"
#include "support/recorder.hpp"

namespace {

namespace language = quorvane::engine::language;
using quorvane::testing::installed_callbacks;
using quorvane::testing::recorder;

std::atomic<unsigned> enumerated{0};

void on_enumerated(const wchar_t*, std::size_t, std::uint32_t, std::uint32_t) { ++enumerated; }

TEST(LanguageInitialization, ConcurrentFirstCallsBuildTheDataOnce) {
    recorder rec;
    auto table = rec.table();
    table.language_enumerated = &on_enumerated;
    installed_callbacks installed(table);

    constexpr unsigned threads = 8;
    std::atomic<unsigned> failures{0};
    std::vector<std::thread> callers;
    for (unsigned i = 0; i < threads; ++i)
        callers.emplace_back([&] {
            if (language::enumerate() != QVSE_OK) ++failures;
        });
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(enumerated, threads * 31);

    const auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) {
        EXPECT_FALSE(line.has_context);
        EXPECT_EQ(line.facility, L"Language");
        EXPECT_EQ(line.indent, 0u);
    }
    EXPECT_EQ(lines[0].level, unsigned(QVSE_TRACE_DETAIL));
    EXPECT_EQ(lines[0].text, L"Decompressing dictionary");
    EXPECT_EQ(lines[1].level, unsigned(QVSE_TRACE_INFO));
    EXPECT_EQ(lines[1].text, L"Coverage: 31 languages in 43263 codepoints and " +
                                 std::to_wstring(language::data().word_entries()) + L" words");
}

}  // namespace
