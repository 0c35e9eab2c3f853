#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "context/context.hpp"
#include "frame.hpp"
#include "installed_callbacks.hpp"
#include "principal/trace.hpp"
#include "support/recorder.hpp"

namespace {

using quorvane::testing::installed_callbacks;
using quorvane::testing::recorder;
namespace engine = quorvane::engine;

TEST(Frame, OutOfMemoryIsCodeTwoAndUntraced) {
    recorder rec;
    installed_callbacks installed(rec.table());
    EXPECT_EQ(engine::frame(L"Spam", []() -> unsigned { throw std::bad_alloc(); }),
              unsigned(QVSE_E_OUT_OF_MEMORY));
    EXPECT_TRUE(rec.lines().empty());
}

TEST(Frame, OtherExceptionsAreReportedAndFail) {
    recorder rec;
    installed_callbacks installed(rec.table());
    EXPECT_EQ(
        engine::frame(L"Spam", []() -> unsigned { throw std::runtime_error("first\nsecond"); }),
        unsigned(QVSE_E_FAILED));
    const auto lines = rec.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, L"An exception has occured:");
    EXPECT_EQ(lines[0].indent, 0u);
    bool first = false, second = false;
    for (const auto& line : lines) {
        EXPECT_FALSE(line.has_context);
        EXPECT_EQ(line.level, unsigned(QVSE_TRACE_ERROR));
        EXPECT_EQ(line.facility, L"Spam");
        if (&line == &lines[0]) continue;
        EXPECT_EQ(line.indent, 1u);
        first |= line.text.find(L"first") != std::wstring::npos;
        second |= line.text == L"second";
    }
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
}

TEST(Frame, PassesTheBodysResultAndSurvivesWithoutCallbacks) {
    EXPECT_EQ(engine::frame(L"Spam", [] { return 7u; }), 7u);
    EXPECT_EQ(engine::frame(L"Spam", []() -> unsigned { throw 42; }), unsigned(QVSE_E_FAILED));
}

TEST(Frame, NonStandardExceptionsAreReported) {
    recorder rec;
    installed_callbacks installed(rec.table());
    EXPECT_EQ(engine::frame(L"MIME", []() -> unsigned { throw 42; }), unsigned(QVSE_E_FAILED));
    ASSERT_FALSE(rec.lines().empty());
    EXPECT_EQ(rec.lines()[0].text, L"An exception has occured:");
}

// Which slot a line reaches, for each combination of null slots.
struct routing_case {
    bool trace_slot;
    bool context_slot;
    bool about_context;
    int expected_trace;
    int expected_context;
};

class TraceRouting : public ::testing::TestWithParam<routing_case> {};

TEST_P(TraceRouting, LineReachesOnlyItsSlot) {
    const auto& c = GetParam();
    recorder rec;
    auto table = rec.table();
    if (!c.trace_slot) table.trace = nullptr;
    if (!c.context_slot) table.context_trace = nullptr;
    installed_callbacks installed(table);

    int cell = 0;
    engine::context::record_pointer record;
    if (c.about_context) record = std::make_shared<engine::context::record_type>(&cell);
    engine::context::trace::write(record, QVSE_TRACE_INFO, L"Context", 1,
                                  boost::wformat(L"line %1% of %2%") % 3 % L"x");

    int traced = 0, context_traced = 0;
    for (const auto& line : rec.lines()) {
        EXPECT_EQ(line.text, L"line 3 of x");
        EXPECT_EQ(line.indent, 1u);
        if (line.has_context) {
            ++context_traced;
            EXPECT_EQ(line.context, &cell);
        } else {
            ++traced;
        }
    }
    EXPECT_EQ(traced, c.expected_trace);
    EXPECT_EQ(context_traced, c.expected_context);
}

INSTANTIATE_TEST_SUITE_P(Cases, TraceRouting,
                         ::testing::Values(routing_case{true, true, true, 0, 1},
                                           routing_case{true, false, true, 0, 0},
                                           routing_case{false, true, true, 0, 1},
                                           routing_case{true, true, false, 1, 0},
                                           routing_case{false, true, false, 0, 0},
                                           routing_case{false, false, false, 0, 0}));

TEST(Trace, InvalidCodePointsNeverReachTheHost) {
    recorder rec;
    installed_callbacks installed(rec.table());
    std::wstring text = L"a";
    text.push_back(static_cast<wchar_t>(0xD800));
    text.push_back(static_cast<wchar_t>(0x110000));
    text.push_back(static_cast<wchar_t>(-1));
    engine::principal::trace::write(QVSE_TRACE_DETAIL, L"Spam", 0, text);
    ASSERT_EQ(rec.lines().size(), 1u);
    EXPECT_EQ(rec.lines()[0].text, L"a\uFFFD\uFFFD\uFFFD");
}

}  // namespace
