#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "hashes/md5.hpp"

namespace {

using quorvane::engine::hashes::digest;
using quorvane::engine::hashes::stream_preprocessor;

std::string hex(const digest& d) {
    std::string out;
    char buffer[3];
    for (auto byte : d.bytes) {
        std::snprintf(buffer, sizeof buffer, "%02x", byte);
        out += buffer;
    }
    return out;
}

std::string pattern(std::size_t n) {
    std::string bytes;
    for (std::size_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>((i * 7 + 3) & 0xFF));
    return bytes;
}

struct md5_case {
    std::string input;
    const char* expected;
};

class Md5 : public ::testing::TestWithParam<md5_case> {};

TEST_P(Md5, WholeSplitAndBytewiseAgree) {
    const auto& c = GetParam();
    stream_preprocessor whole;
    whole.update_n(c.input.data(), c.input.size());
    EXPECT_EQ(hex(whole.end_message()), c.expected);

    // Split at every offset: one part through the block path, one through the
    // iterator path.
    for (std::size_t split = 0; split <= c.input.size(); ++split) {
        stream_preprocessor parts;
        parts.update_n(c.input.data(), split);
        parts.update_n(c.input.begin() + split, c.input.size() - split);
        ASSERT_EQ(hex(parts.end_message()), c.expected) << "split at " << split;
    }

    stream_preprocessor bytewise;
    std::istringstream stream(c.input);
    bytewise.update(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    EXPECT_EQ(hex(bytewise.end_message()), c.expected);

    // end_message starts over.
    whole.update_n(c.input.data(), c.input.size());
    EXPECT_EQ(hex(whole.end_message()), c.expected);
}

// The RFC 1321 suite, then lengths around the padding boundary.
INSTANTIATE_TEST_SUITE_P(
    Cases, Md5,
    ::testing::Values(md5_case{"", "d41d8cd98f00b204e9800998ecf8427e"},
                      md5_case{"a", "0cc175b9c0f1b6a831c399e269772661"},
                      md5_case{"abc", "900150983cd24fb0d6963f7d28e17f72"},
                      md5_case{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
                      md5_case{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
                      md5_case{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                               "d174ab98d277d9f5a5611c2c9f419d9f"},
                      md5_case{
                          "1234567890123456789012345678901234567890123456789012345678901234567890"
                          "1234567890",
                          "57edf4a22be3c955ac49da2e2107b67a"},
                      md5_case{pattern(55), "52c0e574e1198de5fe3f8f11440dcb1b"},
                      md5_case{pattern(56), "46c9907fc908ee68b1e7b8e71286a518"},
                      md5_case{pattern(63), "a62f6d59e837867693f042f5b8f5a236"},
                      md5_case{pattern(64), "7160b8fb5e9e4023d549c3971fbaeead"},
                      md5_case{pattern(65), "70bd662e7aefbda85a0f7244167b7897"},
                      md5_case{pattern(127), "acce2474d6cc8302120d09c818d17ef7"},
                      md5_case{pattern(128), "10b2da1a82f16d99a81a7203fe9f02cb"},
                      md5_case{pattern(1000), "10046f077f2082ac19676b8079f1cb1a"}));

TEST(Md5, CopiedStateContinuesIndependently) {
    stream_preprocessor prefix;
    prefix.update_n("message ", 8);
    stream_preprocessor other = prefix;
    prefix.update_n("digest", 6);
    other.update_n("digest", 6);
    EXPECT_EQ(prefix.end_message(), other.end_message());

    stream_preprocessor a;
    a.update_n("abc", 3);
    stream_preprocessor b = a;
    b.update_n("d", 1);
    EXPECT_EQ(hex(a.end_message()), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_NE(hex(b.end_message()), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
