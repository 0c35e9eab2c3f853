// Whole messages through binding, preparation and classification: the sample
// messages that SpamAssassin ships (a GTUBE test mail and an ordinary
// mailing-list message) and messages made here.
#include <gtest/gtest.h>

#include <algorithm>
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

std::unique_ptr<bound_context> bind_sample(const std::string& name) {
    std::ifstream in(examples / name, std::ios::binary);
    return std::make_unique<bound_context>(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
        quorvane::testing::through_binding);
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
    // clause; its links and text give the rest. Its issue's page and the site
    // share one fingerprint, the site's.
    const auto fingerprints = context->fingerprints();
    EXPECT_NE(std::find(fingerprints.begin(), fingerprints.end(), L"tru com.tbtf"),
              fingerprints.end());
    for (const auto& fingerprint : fingerprints)
        EXPECT_TRUE(fingerprint.starts_with(L"tru ") || fingerprint.starts_with(L"tbd ") ||
                    fingerprint.starts_with(L"tsd "))
            << testing::PrintToString(fingerprint);
    EXPECT_TRUE(std::any_of(fingerprints.begin(), fingerprints.end(),
                            [](const auto& f) { return f.starts_with(L"tsd "); }));
}

TEST(SpamEndToEnd, BindPrepareClassify) {
    const std::string gtube =
        "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";
    const std::string words = "cheap watches for everyone who wants cheap watches today only";
    const std::string message =
        "Received: from relay (relay [192.0.2.9]) by mx (mx [198.51.100.2]) with SMTP\r\n"
        "From: <a@example.net>\r\nSubject: offer\r\n"
        "Content-Type: multipart/mixed; boundary=\"mix\"\r\n\r\n"
        "--mix\r\nContent-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n"
        "--alt\r\nContent-Type: text/plain\r\n\r\n" +
        gtube + " " + words + " http://shop.example.com/deal\r\n" +
        "--alt\r\nContent-Type: text/html\r\n\r\n<p>" + gtube + " " + words +
        " <a href=\"http://shop.example.com/deal\">deal</a></p>\r\n--alt--\r\n"
        "--mix\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "aGVsbG8=\r\n--mix--\r\n";
    bound_context context(message, quorvane::testing::through_binding);
    const auto verdict = prepare_and_classify(context);
    EXPECT_FALSE(verdict.whitelisted);
    EXPECT_TRUE(verdict.blacklisted);
    EXPECT_EQ(verdict.score, 100u);
    // Two text alternatives, one text: the pattern counts once, every
    // fingerprint is listed once.
    EXPECT_EQ(context.heuristics(), std::vector<std::wstring>{L"Part.Text.Pattern"});
    auto fingerprints = context.fingerprints();
    ASSERT_GE(fingerprints.size(), 4u);
    EXPECT_EQ(fingerprints[0], L"hsi 192.0.2.9");
    EXPECT_EQ(fingerprints[1], L"tru com.example.shop/deal");
    EXPECT_EQ(fingerprints[2], L"prd " + quorvane::testing::digest_text("hello"));
    EXPECT_TRUE(fingerprints[3].starts_with(L"tbd "));
    std::sort(fingerprints.begin(), fingerprints.end());
    EXPECT_EQ(std::adjacent_find(fingerprints.begin(), fingerprints.end()), fingerprints.end());

    // A server that lists the link as legitimate outranks the pattern.
    auto& link = *std::next(context.record().fingerprints.begin());
    link.match.emplace();
    link.match->length = link.data.size();
    link.match->whitelisted = true;
    const auto listed = prepare_and_classify(context);
    EXPECT_TRUE(listed.whitelisted);
    EXPECT_FALSE(listed.blacklisted);
    EXPECT_EQ(listed.score, 0u);
}

TEST(SpamEndToEnd, RedirectLinkInPlainText) {
    bound_context context(
        "Content-Type: text/plain\r\n\r\nLucky you: "
        "http://www.google.com/search?q=pills&btnI=1\r\n",
        quorvane::testing::through_binding);
    const auto verdict = prepare_and_classify(context);
    EXPECT_FALSE(verdict.whitelisted || verdict.blacklisted);
    EXPECT_EQ(verdict.score, 50u);
    EXPECT_EQ(context.fingerprints(), std::vector<std::wstring>{L"tru com.google.www/search"});
}

}  // namespace
