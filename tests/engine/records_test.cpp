#include <gtest/gtest.h>

#include <stdexcept>

#include "spam/records.hpp"

namespace {

using quorvane::engine::spam::fingerprint_type;

TEST(Fingerprint, CategoryTexts) {
    const std::pair<fingerprint_type::category_type, const wchar_t*> table[] = {
        {fingerprint_type::relay, L"hsi"},         {fingerprint_type::text_chunk, L"tbd"},
        {fingerprint_type::word_sequence, L"tsd"}, {fingerprint_type::attachment, L"prd"},
        {fingerprint_type::link, L"tru"},
    };
    for (const auto& [category, text] : table)
        EXPECT_EQ(fingerprint_type(category, std::string("x"), L"x").category(), text);

    const fingerprint_type unknown(static_cast<fingerprint_type::category_type>(1),
                                   std::string("x"), L"x");
    EXPECT_THROW(
        {
            try {
                unknown.category();
            } catch (const std::logic_error& error) {
                EXPECT_STREQ(error.what(), "unknown fingerprint category");
                throw;
            }
        },
        std::logic_error);
}

TEST(Fingerprint, DataOfEachConstructorAndCopiesKeepTheAnswer) {
    quorvane::engine::hashes::digest digest;
    for (unsigned i = 0; i < 16; ++i) digest.bytes[i] = static_cast<std::uint8_t>(i);
    fingerprint_type from_digest(fingerprint_type::text_chunk, digest, L"AAECAwQFBgcICQoLDA0ODw");
    EXPECT_EQ(from_digest.data.size(), 16u);
    EXPECT_EQ(from_digest.data[15], '\x0f');
    EXPECT_FALSE(from_digest.match);

    fingerprint_type from_bytes(fingerprint_type::relay, std::vector<std::uint8_t>{10, 0, 0, 1},
                                L"10.0.0.1");
    EXPECT_EQ(from_bytes.data, std::string("\x0a\x00\x00\x01", 4));

    from_bytes.match = fingerprint_type::match_type{3, 77, 9, true, false, true, 4, 5, 6};
    const fingerprint_type copy = from_bytes;
    ASSERT_TRUE(copy.match);
    EXPECT_EQ(copy.match->length, 3u);
    EXPECT_EQ(copy.match->id, 77u);
    EXPECT_EQ(copy.match->extra, 9u);
    EXPECT_TRUE(copy.match->ignored);
    EXPECT_FALSE(copy.match->whitelisted);
    EXPECT_TRUE(copy.match->blacklisted);
    EXPECT_EQ(copy.match->reports, 4u);
    EXPECT_EQ(copy.match->revokes, 5u);
    EXPECT_EQ(copy.match->touches, 6u);
}

// The answer is kept out of line: copies must not share it.
TEST(Fingerprint, CopiesOfTheAnswerAreIndependent) {
    fingerprint_type answered(fingerprint_type::link, std::string("k"), L"k");
    answered.match = fingerprint_type::match_type{1, 10};
    fingerprint_type copy = answered;
    copy.match->id = 20;
    EXPECT_EQ(answered.match->id, 10u);

    fingerprint_type unanswered(fingerprint_type::link, std::string("u"), L"u");
    copy = unanswered;  // assigning an empty answer clears it
    EXPECT_FALSE(copy.match);
    EXPECT_TRUE(answered.match);

    unanswered = answered;
    unanswered.match->id = 30;
    EXPECT_EQ(answered.match->id, 10u);
    const fingerprint_type& self = answered;
    answered = self;
    ASSERT_TRUE(answered.match);
    EXPECT_EQ(answered.match->id, 10u);

    fingerprint_type moved = std::move(answered);
    ASSERT_TRUE(moved.match);
    EXPECT_EQ(moved.match->id, 10u);
}

}  // namespace
