// The shared grammars and Unicode data serve every thread at once.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "coding.hpp"
#include "context/context.hpp"
#include "html/html.hpp"
#include "locale.hpp"
#include "uri/finder.hpp"

namespace {

namespace engine = quorvane::engine;

struct outcome_type {
    std::wstring text;
    std::set<std::wstring> links;
    std::wstring folded;
    std::size_t words = 0;

    bool operator==(const outcome_type&) const = default;
};

outcome_type bind_text(const std::string& bytes) {
    outcome_type outcome;
    const auto decoded = engine::coding::decode(bytes, "utf-8");
    engine::html::convert(decoded.text, outcome.text, outcome.links);
    engine::uri::extract(outcome.text, outcome.links);
    outcome.text = engine::locale::normalize(outcome.text);
    outcome.folded = engine::locale::fold_case(outcome.text);
    outcome.words = engine::locale::index_words(outcome.folded).size();
    return outcome;
}

TEST(TextThreads, SameResultsOnEveryThread) {
    std::string message =
        "<html><body><p>Stra\xC3\x9F"
        "e &amp; <a href=\"http://a.example\">x</a> "
        "see www.b.example/p (https://c.example) \xE4\xBD\xA0\xE5\xA5\xBD "
        "e\xCC\x81 &#x1F600;</p></body></html>";
    const outcome_type expected = bind_text(message);
    std::vector<std::thread> threads;
    std::vector<int> matches(8, 0);
    for (std::size_t t = 0; t < matches.size(); ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) matches[t] += bind_text(message) == expected;
        });
    for (auto& thread : threads) thread.join();
    for (const int count : matches) EXPECT_EQ(count, 50);
}

}  // namespace
