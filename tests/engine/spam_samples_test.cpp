// The sample messages that SpamAssassin ships: a GTUBE test mail and an
// ordinary mailing-list message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "spam/spam.hpp"
#include "spam_support.hpp"

namespace {

namespace engine = quorvane::engine;
using quorvane::testing::bound_context;

const std::filesystem::path examples = "/usr/share/doc/spamassassin/examples";

struct verdict_type {
    bool whitelisted = true, blacklisted = true;
    unsigned score = 1000;
};

// Bound by hand: the displayable part's decoded text, as binding converts a
// plain us-ascii part.
std::unique_ptr<bound_context> bind_sample(const std::string& name) {
    std::ifstream in(examples / name, std::ios::binary);
    auto context = std::make_unique<bound_context>(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    auto& record = context->record();
    EXPECT_NE(record.displayable, nullptr);
    if (record.displayable != nullptr)
        context->set_text(
            engine::coding::to_wide(engine::mime::read(record.source, *record.displayable)));
    return context;
}

verdict_type prepare_and_classify(bound_context& context) {
    verdict_type verdict;
    EXPECT_EQ(engine::spam::prepare(context.handle()), unsigned(QVSE_OK));
    EXPECT_EQ(engine::spam::classify(context.handle(), verdict.whitelisted, verdict.blacklisted,
                                     verdict.score),
              unsigned(QVSE_OK));
    return verdict;
}

TEST(SpamSamples, GtubeIsBlacklisted) {
    if (!std::filesystem::exists(examples / "sample-spam.txt"))
        GTEST_SKIP() << "the spamassassin package is not installed";
    const auto context = bind_sample("sample-spam.txt");
    const auto verdict = prepare_and_classify(*context);
    EXPECT_FALSE(verdict.whitelisted);
    EXPECT_TRUE(verdict.blacklisted);
    EXPECT_EQ(verdict.score, 100u);
    EXPECT_EQ(context->heuristics(), std::vector<std::wstring>{L"Part.Text.Pattern"});
}

TEST(SpamSamples, NonspamIsNotBlacklisted) {
    if (!std::filesystem::exists(examples / "sample-nonspam.txt"))
        GTEST_SKIP() << "the spamassassin package is not installed";
    const auto context = bind_sample("sample-nonspam.txt");
    const auto verdict = prepare_and_classify(*context);
    EXPECT_FALSE(verdict.whitelisted);
    EXPECT_FALSE(verdict.blacklisted);
    EXPECT_EQ(verdict.score, 0u);
    EXPECT_TRUE(context->heuristics().empty());
    // None of its received stamps has the parenthesised address in its "by"
    // clause; its text gives chunk and sequence digests.
    EXPECT_FALSE(context->fingerprints().empty());
    for (const auto& fingerprint : context->fingerprints())
        EXPECT_TRUE(fingerprint.starts_with(L"tbd ") || fingerprint.starts_with(L"tsd "))
            << testing::PrintToString(fingerprint);
}

}  // namespace
