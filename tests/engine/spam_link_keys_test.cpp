#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "spam/link_keys.hpp"

namespace {

namespace spam = quorvane::engine::spam;

TEST(SpamLinkKeys, CoverOnlyAtABoundary) {
    const struct {
        std::wstring shorter, longer;
        bool covers;
    } cases[] = {
        {L"com.example", L"com.example", true},
        {L"com.example", L"com.example.www", true},
        {L"com.example", L"com.example/a", true},
        {L"com.example", L"com.examples", false},
        {L"com.example", L"com.example-x", false},
        {L"com.example", L"com.example\u0050", false},  // a port
        {L"com.example/a", L"com.example/a/b", true},
        {L"com.example/a", L"com.example/a.b", false},
        {L"com.example/a", L"com.example/ab", false},
        {L"com", L"com", true},
        {L"com", L"com.example", false},
        {L"com", L"com/a", false},
        {L"com.example/a", L"com.example", false},
        {L"org.example", L"com.example.org", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(spam::covers(c.shorter, c.longer), c.covers)
            << testing::PrintToString(c.shorter) << " " << testing::PrintToString(c.longer);
}

// Taken one by one: a key that a kept one covers is dropped, else it
// replaces the kept ones it covers.
std::vector<std::size_t> one_by_one(const std::vector<std::wstring>& keys) {
    std::vector<std::size_t> kept;
    for (std::size_t key = 0; key < keys.size(); ++key) {
        bool covered = false;
        for (auto other = kept.begin(); other != kept.end() && !covered;) {
            if (spam::covers(keys[*other], keys[key])) {
                covered = true;
            } else if (spam::covers(keys[key], keys[*other])) {
                other = kept.erase(other);
            } else {
                ++other;
            }
        }
        if (!covered) kept.push_back(key);
    }
    return kept;
}

TEST(SpamLinkKeys, TheSameKeysStayAsTakenOneByOne) {
    using generator = std::function<std::wstring(std::mt19937&)>;
    const auto pick = [](std::mt19937& random, std::wstring_view from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    const auto word = [&](std::mt19937& random, std::wstring_view alphabet, std::size_t longest) {
        std::wstring text(std::uniform_int_distribution<std::size_t>(1, longest)(random), L' ');
        for (auto& c : text) c = pick(random, alphabet);
        return text;
    };
    // Small alphabets with the separators, so that prefixes, equal keys and
    // near-boundaries ("-" sorts just before "." and "/") are frequent.
    const struct {
        const char* name;
        generator key;
    } cases[] = {
        {"short keys over separators",
         [&](std::mt19937& random) { return word(random, L"ab./-", 6); }},
        {"labels and paths",
         [&](std::mt19937& random) {
             std::wstring key = word(random, L"ab", 2);
             for (int part = std::uniform_int_distribution<int>(0, 4)(random); part > 0; --part)
                 key += pick(random, L"./-") + word(random, L"ab", 2);
             return key;
         }},
        {"prefix chains",
         [&](std::mt19937& random) {
             const std::wstring chain = L"com.example.www/a/b.c/d";
             return chain.substr(
                        0, std::uniform_int_distribution<std::size_t>(1, chain.size())(random)) +
                    (random() % 3 == 0 ? word(random, L"x.-/", 2) : L"");
         }},
        {"ports and one label",
         [&](std::mt19937& random) {
             return word(random, L"c", 2) + (random() % 2 ? L"" : word(random, L".o/\u0050", 3));
         }},
    };
    for (const auto& c : cases) {
        std::mt19937 random(7);
        for (int set = 0; set < 400; ++set) {
            std::vector<std::wstring> keys(
                std::uniform_int_distribution<std::size_t>(0, 40)(random));
            for (auto& key : keys) key = c.key(random);
            const auto expected = one_by_one(keys);
            ASSERT_EQ(spam::shortest_keys(keys), expected)
                << c.name << ", set " << set << ": " << testing::PrintToString(keys);
        }
    }
}

}  // namespace
