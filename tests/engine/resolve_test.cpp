#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "counted.hpp"

extern "C" const void* resolve(const char* name, std::size_t length, unsigned int flags) noexcept;

namespace {

TEST(Resolve, AnswersByWholeName) {
    EXPECT_EQ(resolve("spam::classify", 14, 0),
              reinterpret_cast<const void*>(&quorvane::engine::counted::spam_classify));
    EXPECT_EQ(resolve("spam::classify", 13, 0), nullptr);
}

TEST(Resolve, EveryTableNameResolvesToItsOwnEntry) {
#define CHECK_ROW(component, name, result, parameters, arguments)                             \
    EXPECT_NE(resolve(#component "::" #name, std::strlen(#component "::" #name), 0), nullptr) \
        << #component "::" #name;                                                             \
    EXPECT_EQ(resolve(#component "::" #name, std::strlen(#component "::" #name), 0),          \
              reinterpret_cast<const void*>(&quorvane::engine::counted::component##_##name))  \
        << #component "::" #name;
    QVSE_ENGINE_ENTRIES(CHECK_ROW)
#undef CHECK_ROW
}

struct miss_case {
    const char* name;
    std::size_t length;
    unsigned flags;
};

class ResolveMiss : public ::testing::TestWithParam<miss_case> {};

TEST_P(ResolveMiss, ReturnsNull) {
    const auto& c = GetParam();
    EXPECT_EQ(resolve(c.name, c.length, c.flags), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveMiss,
    ::testing::Values(miss_case{nullptr, 0, 0},              // null name
                      miss_case{"context::creat", 14, 0},    // prefix of a name
                      miss_case{"context::create", 14, 0},   // length cuts the name
                      miss_case{"context::createx", 16, 0},  // extension of a name
                      miss_case{"Context::create", 15, 0},   // case matters
                      miss_case{"context::create", 15, 1},   // non-zero flags
                      miss_case{"context::drained", 16, 0x80000000u}, miss_case{"", 0, 0},
                      miss_case{"nothing::here", 13, 0}));

TEST(Resolve, NameNeedsNoTerminator) {
    const char buffer[] = {'c', 'o', 'n', 't', 'e', 'x', 't', ':',
                           ':', 'c', 'r', 'e', 'a', 't', 'e', 'X'};
    EXPECT_NE(resolve(buffer, 15, 0), nullptr);
}

}  // namespace
