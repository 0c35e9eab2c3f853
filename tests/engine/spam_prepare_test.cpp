#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "installed_callbacks.hpp"
#include "spam/spam.hpp"
#include "spam_support.hpp"
#include "support/recorder.hpp"

namespace {

namespace engine = quorvane::engine;
namespace spam = engine::spam;
using quorvane::testing::bound_context;
using quorvane::testing::digest_text;
using quorvane::testing::installed_callbacks;
using quorvane::testing::recorder;
using strings = std::vector<std::wstring>;

struct generated_type {
    void* context;
    std::wstring category, value;
    bool operator==(const generated_type&) const = default;
};
std::vector<generated_type> generated;

void on_generated(void* context, const wchar_t* category, std::size_t category_length,
                  const wchar_t* value, std::size_t value_length) {
    EXPECT_EQ(category[category_length], L'\0');
    EXPECT_EQ(value[value_length], L'\0');
    generated.push_back({context, {category, category_length}, {value, value_length}});
}

qvse_callbacks_t spam_table(const recorder& rec) {
    auto table = rec.table();
    table.fingerprint_generated = &on_generated;
    generated.clear();
    return table;
}

std::string plain(const std::string& headers, const std::string& body = "text\r\n") {
    return headers + "Content-Type: text/plain\r\n\r\n" + body;
}

std::string received(const std::string& from) {
    return "Received: from h (h [" + from + "]) by mx (mx [198.51.100.2]) with SMTP\r\n";
}

// Prepares and gives "category text" of every fingerprint, and the names of
// the heuristics.
struct prepared_type {
    strings fingerprints, heuristics;
};
prepared_type prepare(bound_context& context) {
    EXPECT_EQ(spam::prepare(context.handle()), unsigned(QVSE_OK));
    return {context.fingerprints(), context.heuristics()};
}

TEST(SpamPrepare, EntryCodes) {
    // Lines name the component.
    EXPECT_EQ(spam::facility, L"Spam");
    std::uint64_t unknown = 0;
    recorder rec;
    installed_callbacks installed(spam_table(rec));
    EXPECT_EQ(spam::prepare(&unknown), unsigned(QVSE_E_UNKNOWN_CONTEXT));
    bound_context empty;
    EXPECT_EQ(spam::prepare(empty.handle()), unsigned(QVSE_E_NO_MESSAGE));
    EXPECT_TRUE(rec.lines().empty());
    EXPECT_TRUE(generated.empty());
}

// Trusted relay networks of the tests' own; the engine ships none.
class trusted_relays {
public:
    trusted_relays() { spam::set_trusted_relays({{198, 18, 32, 35}, {203, 0, 113, 113}}); }
    ~trusted_relays() { spam::set_trusted_relays({}); }
    trusted_relays(const trusted_relays&) = delete;
    trusted_relays& operator=(const trusted_relays&) = delete;
};

TEST(SpamPrepare, NoRelayIsTrustedUnlessSet) {
    for (const char* address : {"203.0.113.9", "198.18.32.1", "192.0.2.1"}) {
        bound_context context(plain(received(address)));
        const auto prepared = prepare(context);
        EXPECT_EQ(prepared.fingerprints, strings{L"hsi " + engine::coding::to_wide(address)});
        EXPECT_TRUE(prepared.heuristics.empty()) << address;
    }
}

TEST(SpamPrepare, TheOldestParsableStampNamesTheRelay) {
    const trusted_relays relays;
    const std::string postfix = "Received: from a (a [192.0.2.99]) by mx (Postfix) with ESMTP\r\n";
    const struct {
        std::string headers;
        strings fingerprints, heuristics;
    } cases[] = {
        {received("192.0.2.7"), {L"hsi 192.0.2.7"}, {}},
        {received("192.0.2.1") + received("10.1.2.3"), {}, {}},  // lowest decides
        {received("10.1.2.3") + received("192.0.2.1"), {L"hsi 192.0.2.1"}, {}},
        {received("192.0.2.1") + postfix, {L"hsi 192.0.2.1"}, {}},  // unparsable passed over
        {postfix + "X-Received: from h (h [192.0.2.5]) by m (m [1.2.3.4])\r\n", {}, {}},
        {"RECEIVED: from h (h [192.0.2.6]) by m (m [1.2.3.4])\r\n", {L"hsi 192.0.2.6"}, {}},
        // Local and link-local sources say nothing; of multicast only 224.
        {received("127.0.0.1"), {}, {}},
        {received("169.254.1.1"), {}, {}},
        {received("169.253.1.1"), {L"hsi 169.253.1.1"}, {}},
        {received("172.15.0.1"), {L"hsi 172.15.0.1"}, {}},
        {received("172.16.0.1"), {}, {}},
        {received("172.31.255.255"), {}, {}},
        {received("172.32.0.1"), {L"hsi 172.32.0.1"}, {}},
        {received("192.168.0.1"), {}, {}},
        {received("224.1.2.3"), {}, {}},
        {received("225.1.2.3"), {L"hsi 225.1.2.3"}, {}},
        {received("011.002.003.004"), {L"hsi 11.2.3.4"}, {}},
        // The service's own relays come before every other test.
        {received("203.0.113.9"), {}, {L"Header.From.Trusted"}},
        {received("198.18.32.0"), {}, {L"Header.From.Trusted"}},
        {received("198.18.35.255"), {}, {L"Header.From.Trusted"}},
        {received("198.18.31.255"), {L"hsi 198.18.31.255"}, {}},
        {received("198.18.36.0"), {L"hsi 198.18.36.0"}, {}},
        {received("203.0.112.1"), {L"hsi 203.0.112.1"}, {}},
        {received("203.0.113.1") + received("192.0.2.1"), {L"hsi 192.0.2.1"}, {}},
    };
    for (const auto& c : cases) {
        bound_context context(plain(c.headers));
        const auto prepared = prepare(context);
        EXPECT_EQ(prepared.fingerprints, c.fingerprints) << c.headers;
        EXPECT_EQ(prepared.heuristics, c.heuristics) << c.headers;
    }
}

TEST(SpamPrepare, RelayOfAnEnclosedMessage) {
    // The unwrapped message's headers count, not the wrapper's.
    bound_context context(received("192.0.2.1") + "Content-Type: message/rfc822\r\n\r\n" +
                          plain(received("192.0.2.2")));
    EXPECT_EQ(prepare(context).fingerprints, strings{L"hsi 192.0.2.2"});
}

TEST(SpamPrepare, LinksKeepTheShortestOfASharedPrefix) {
    const struct {
        std::set<std::wstring> uris;
        strings fingerprints;
    } cases[] = {
        {{L"http://Example.com/A/b"}, {L"tru com.example/a/b"}},
        {{L"http://example.com/a/b", L"http://example.com/a"}, {L"tru com.example/a"}},
        {{L"https://example.com/a", L"http://example.com/a/b"}, {L"tru com.example/a"}},
        // Equal keys give one fingerprint.
        {{L"http://EXAMPLE.com/x?q=1", L"https://example.com/x#f"}, {L"tru com.example/x"}},
        // A shorter key removes every longer one it starts; unrelated ones stay.
        {{L"http://b.example.org/", L"http://example.com/a/b", L"http://example.com/a/c",
          L"https://example.com/"},
         {L"tru org.example.b", L"tru com.example"}},
        // Only at a label or path boundary: a path segment or label that
        // merely begins alike is another link.
        {{L"http://example.com/ab", L"http://example.com/a"},
         {L"tru com.example/a", L"tru com.example/ab"}},
        {{L"http://www.example.com/a", L"http://example.com/", L"http://examples.com/"},
         {L"tru com.example", L"tru com.examples"}},
        // A key of one label covers nothing but itself.
        {{L"http://c", L"http://n", L"http://example.com/x", L"http://example.net/",
          L"http://example.co/"},
         {L"tru c", L"tru co.example", L"tru com.example/x", L"tru net.example", L"tru n"}},
        // Links without a key are passed over: no scheme, no host, a port that
        // is no character, an escape that decodes to nothing.
        {{L"www.example.com", L"mailto:a@example.com", L"http://"}, {}},
        {{L"http://%FF/", L"http://example.net/"}, {L"tru net.example"}},
    };
    for (const auto& c : cases) {
        bound_context context(plain(""), L"", c.uris);
        EXPECT_EQ(prepare(context).fingerprints, c.fingerprints)
            << testing::PrintToString(*c.uris.begin());
    }
}

TEST(SpamPrepare, LinkDataIsTheKeyInUtf8) {
    bound_context context(plain(""), L"", {L"http://%C3%84.example/%E2%82%AC"});
    prepare(context);
    ASSERT_EQ(context.record().fingerprints.size(), 1u);
    const auto& link = context.record().fingerprints.front();
    EXPECT_EQ(link.text, L"example.\u00E4/\u20AC");
    EXPECT_EQ(link.data, "example.\xC3\xA4/\xE2\x82\xAC");
}

const std::string gtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

TEST(SpamPrepare, TextHeuristics) {
    const struct {
        std::wstring text;
        std::set<std::wstring> uris;
        strings heuristics;
    } cases[] = {
        {L"see " + engine::coding::to_wide(gtube) + L" here", {}, {L"Part.Text.Pattern"}},
        {L"xjs*c4jdbqadn1.nsbn3*2idnen*gtube-standard-anti-ube-test-email*c.34x", {}, {}},
        {L"XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34", {}, {}},
        {L"",
         {L"http://www.google.com/search?q=shop&btnI=1"},
         {L"Part.Text.Search_Engine_Redirect"}},
        {L"",
         {L"http://WWW.GOOGLE.COM/search?q=x&BTNI=lucky"},
         {L"Part.Text.Search_Engine_Redirect"}},
        // Each redirecting link counts.
        {L"",
         {L"http://google.de/search?q=a&btni=", L"https://google.com/url?q=b&btnI=",
          L"http://x.org/"},
         {L"Part.Text.Search_Engine_Redirect", L"Part.Text.Search_Engine_Redirect"}},
        {L"", {L"http://www.google.com/search?q=x&btn=1"}, {}},
        {L"", {L"http://www.bing.com/search?q=x&btnI=1"}, {}},
        {L"", {L"http://www.google.com/search?btnI=1"}, {}},  // the "&" is part of it
    };
    for (const auto& c : cases) {
        bound_context context(plain(""), c.text, c.uris);
        EXPECT_EQ(prepare(context).heuristics, c.heuristics) << testing::PrintToString(c.text);
    }
}

TEST(SpamPrepare, RedirectWeighsFifty) {
    bound_context context(plain(""), L"", {L"www.google.com/search?q=x&btnI=1"});
    prepare(context);
    ASSERT_EQ(context.record().heuristics.size(), 1u);
    const auto& heuristic = context.record().heuristics.front();
    EXPECT_FALSE(heuristic.whitelisted || heuristic.blacklisted);
    EXPECT_EQ(heuristic.weight, 50u);
}

// Text of words separated by blanks.
std::wstring words_of(const strings& words) {
    std::wstring text;
    for (const auto& word : words) text += word + L" ";
    return text;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

std::wstring chunk(const std::string& keys) { return L"tbd " + digest_text(keys); }
std::wstring sequence(const std::string& numbers) { return L"tsd " + digest_text(numbers); }

TEST(SpamPrepare, ChunkDigestsOfWordKeys) {
    // Keys of seven distinct letters each: a key is its word's letters.
    const strings seven{L"abcdefg", L"hijkmno", L"pqrstuv", L"abcwxyz",
                        L"defghij", L"kmnopqr", L"stuvwxy"};
    const std::string all_seven = "abcdefghijkmnopqrstuvabcwxyzdefghijkmnopqrstuvwxy";
    strings many_words;  // more than five chunks' worth
    std::string five_chunks;
    for (int i = 0; i < 45; ++i) {
        std::wstring word;
        std::string key;
        for (int j = 0; j < 7; ++j) {
            const char c = static_cast<char>('a' + (i + j * 3) % 26);
            if (c == 'l' || key.find(c) != std::string::npos) continue;
            key += c;
        }
        std::sort(key.begin(), key.end());
        many_words.push_back(engine::coding::to_wide(key));
        five_chunks += key;
    }
    // Cut points of the five chunks over the concatenated keys.
    std::vector<std::string> cut;
    {
        std::string accumulator;
        for (const auto& word : many_words) {
            accumulator += engine::coding::to_utf8(word);
            if (accumulator.size() > 48) cut.push_back(std::exchange(accumulator, {}));
        }
        ASSERT_GE(cut.size(), 5u);
    }
    const struct {
        const char* name;
        std::wstring text;
        strings fingerprints;
    } cases[] = {
        {"49 characters: one chunk", words_of(seven), {chunk(all_seven)}},
        {"20 characters: the whole rest",
         L"abcde fghij kmnop qrstu",
         {chunk("abcdefghijkmnopqrstu")}},
        {"17 characters", L"abcde fghij kmnop qr", {chunk("abcdefghijkmnopqr")}},
        {"16 characters: none", L"abcde fghij kmnop q", {}},
        {"a chunk keeps its last word whole",
         L"abcdefghij abcdefghij abcdefghij abcdefghij abcdefghij x",
         {chunk(repeat("abcdefghij", 5))}},
        {"at most four chunks",
         words_of(many_words),
         {chunk(cut[0]), chunk(cut[1]), chunk(cut[2]), chunk(cut[3])}},
        {"equal chunks are sent once", words_of(seven) + words_of(seven), {chunk(all_seven)}},
        // Keys: characters mapped, sorted, each once; punctuation is no word.
        {"look-alikes", L"hello, h3ll0! hello. l33t 1337 banana", {chunk("ehioehioehioeiteitabn")}},
        {"folded text",
         L"HELLO W\u00D6RLD \u00C4RGER ZZZ QUICK",
         {chunk("ehiodirw\xC3\xB6"
                "egr\xC3\xA4"
                "zcikqu")}},
        {"numbers are words",
         L"4711 0815 2024 9999 31337 123456789",
         {chunk("ait5bio2ao9eit2569abeit")}},
    };
    for (const auto& c : cases) {
        bound_context context(plain(""), c.text);
        strings chunks;
        for (const auto& fingerprint : prepare(context).fingerprints)
            if (fingerprint.starts_with(L"tbd ")) chunks.push_back(fingerprint);
        EXPECT_EQ(chunks, c.fingerprints) << c.name;
    }
}

TEST(SpamPrepare, WordKeyMapsLookAlikes) {
    // The word index is set by hand so that characters the segmenter never
    // puts into a word can be keyed too.
    const struct {
        std::wstring word, key;
    } cases[] = {
        {L"$0|\u20AC4781l3", L"abeiost"},
        {L"zyx\u00E4\u00E4a", L"axyz\u00E4"},
        {L"\U0001F600b", L"b\U0001F600"},  // by code point
    };
    for (const auto& c : cases) {
        bound_context context(plain(""));
        std::wstring folded;
        engine::context::word_index_type words;
        std::wstring keys;
        // Enough copies of the word, each its own segment, for 17 characters.
        while (keys.size() < 17) {
            words.push_back({static_cast<std::uint32_t>(folded.size()),
                             static_cast<std::uint32_t>(c.word.size()), 0xF00});
            folded += c.word;
            words.push_back({static_cast<std::uint32_t>(folded.size()), 1, 0xF});
            folded += L"-";
            keys += c.key;
        }
        context.record().folded = folded;
        context.record().words = words;
        EXPECT_EQ(prepare(context).fingerprints, strings{chunk(engine::coding::to_utf8(keys))})
            << testing::PrintToString(c.word);
    }
}

TEST(SpamPrepare, SequenceDigestsOfRepeatedWords) {
    const std::string pass0_8x3 = "0.1.2.3.4.5.6.7.0.1.2.3.4.5.6.7.0.1.2.3.4.5.6.7";
    const struct {
        const char* name;
        std::wstring text;
        std::string chunk_keys;
        std::vector<std::string> sequences;
    } cases[] = {
        {"8 keys twice: 16 written, 8 distinct",
         words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}) +
             words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}),
         repeat("abcdefgh", 2),
         {}},
        // Passes 0, 1 and 2 write the same text: sent once.
        {"8 keys thrice",
         words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}) +
             words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}) +
             words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}),
         repeat("abcdefgh", 3),
         {pass0_8x3}},
        // Passes 0 and 1: 19 written, 9 distinct; pass 2: 3 written, 1 distinct.
        {"9 keys twice, one thrice",
         words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h", L"i"}) +
             words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h", L"i", L"a"}),
         "abcdefghiabcdefghia",
         {"0.1.2.3.4.5.6.7.8.0.1.2.3.4.5.6.7.8.0"}},
        // Words met once drop out after pass 0, so pass 1 writes another text.
        {"8 keys thrice among two single words",
         words_of({L"x", L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}) +
             words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h", L"y"}) +
             words_of({L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}),
         "xabcdefghabcdefghyabcdefgh",
         {"0.1.2.3.4.5.6.7.8.1.2.3.4.5.6.7.8.9.1.2.3.4.5.6.7.8", pass0_8x3}},
        // Look-alikes share a key: "l" and "1" and "i" count as one word.
        {"look-alikes count together",
         words_of({L"l", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}) +
             words_of({L"1", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}) +
             words_of({L"i", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}),
         repeat("ibcdefgh", 3),
         {pass0_8x3}},
    };
    for (const auto& c : cases) {
        bound_context context(plain(""), c.text);
        strings expected;
        if (c.chunk_keys.size() >= 17) expected.push_back(chunk(c.chunk_keys));
        for (const auto& numbers : c.sequences) expected.push_back(sequence(numbers));
        EXPECT_EQ(prepare(context).fingerprints, expected) << c.name;
    }
}

TEST(SpamPrepare, EightSequencePassesAtMost) {
    // Sixteen keys, the k-th met k + 1 times: pass p keeps 16 - p keys, so
    // every pass writes another text and a ninth pass would still qualify.
    const std::wstring letters = L"abcdefghijkmnopq";
    std::wstring text;
    for (std::size_t round = 0; round < letters.size(); ++round)
        for (std::size_t k = round; k < letters.size(); ++k) text += letters.substr(k, 1) + L" ";
    bound_context context(plain(""), text);
    std::size_t sequences = 0;
    for (const auto& fingerprint : prepare(context).fingerprints)
        sequences += fingerprint.starts_with(L"tsd ");
    EXPECT_EQ(sequences, 8u);
}

std::string base64_attachment(const std::string& boundary, const std::string& type,
                              const std::string& base64) {
    return "--" + boundary + "\r\nContent-Type: " + type +
           "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64 + "\r\n";
}

TEST(SpamPrepare, AttachmentDigestsOfDecodedContent) {
    const std::string hello = base64_attachment("b", "application/octet-stream", "aGVsbG8=");
    const std::string world = base64_attachment("b", "image/png", "d29ybGQ=");
    const std::string mixed = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    const struct {
        const char* name;
        std::string message;
        strings fingerprints;
    } cases[] = {
        {"one", mixed + hello + "--b--\r\n", {L"prd " + digest_text("hello")}},
        {"the last child first",
         mixed + hello + world + "--b--\r\n",
         {L"prd " + digest_text("world"), L"prd " + digest_text("hello")}},
        {"equal contents once",
         mixed + hello + world + hello + "--b--\r\n",
         {L"prd " + digest_text("hello"), L"prd " + digest_text("world")}},
        {"an empty attachment",
         mixed + "--b\r\nContent-Type: image/gif\r\n\r\n--b--\r\n",
         {L"prd " + digest_text("")}},
        {"inside an enclosed message",
         mixed +
             "--b\r\nContent-Type: message/rfc822\r\n\r\nContent-Type: multipart/mixed; "
             "boundary=c\r\n\r\n" +
             base64_attachment("c", "application/pdf", "d29ybGQ=") + "--c--\r\n" + hello +
             "--b--\r\n",
         {L"prd " + digest_text("hello"), L"prd " + digest_text("world")}},
        {"a top-level attachment",
         "Content-Type: image/png\r\n\r\nraw",
         {L"prd " + digest_text("raw")}},
        {"text is no attachment", plain("", "hello"), {}},
    };
    for (const auto& c : cases) {
        bound_context context(c.message);
        EXPECT_EQ(prepare(context).fingerprints, c.fingerprints) << c.name;
    }
}

TEST(SpamPrepare, TextStepsRunOncePerMessage) {
    // A plain and an HTML alternative (and a third text part): binding gives
    // one text, so its findings are made once, as for a single text part.
    const std::wstring text = engine::coding::to_wide(gtube) + L" abcde fghij kmnop qrstu";
    const std::set<std::wstring> uris{L"http://www.google.com/search?q=x&btnI=1"};
    const std::string alternative = received("192.0.2.1") +
                                    "Content-Type: multipart/alternative; boundary=b\r\n\r\n"
                                    "--b\r\nContent-Type: text/plain\r\n\r\n" +
                                    gtube +
                                    " abcde fghij kmnop qrstu\r\n"
                                    "--b\r\nContent-Type: text/html\r\n\r\n<p>" +
                                    gtube +
                                    " abcde fghij kmnop qrstu</p>\r\n"
                                    "--b\r\nContent-Type: text/plain\r\n\r\nthird\r\n--b--\r\n";
    bound_context one_part(plain(received("192.0.2.1"), gtube), text, uris);
    bound_context three_parts(alternative, text, uris);
    const auto expected = prepare(one_part);
    const auto prepared = prepare(three_parts);
    EXPECT_EQ(prepared.heuristics,
              (strings{L"Part.Text.Pattern", L"Part.Text.Search_Engine_Redirect"}));
    EXPECT_EQ(prepared.heuristics, expected.heuristics);
    EXPECT_EQ(prepared.fingerprints, expected.fingerprints);
    ASSERT_GE(prepared.fingerprints.size(), 3u);
    EXPECT_EQ(prepared.fingerprints[0], L"hsi 192.0.2.1");
    EXPECT_EQ(prepared.fingerprints[1], L"tru com.google.www/search");
    EXPECT_TRUE(prepared.fingerprints[2].starts_with(L"tbd "));
}

TEST(SpamPrepare, ALinkWithoutAValidKeyIsNoFailure) {
    // Ports 55296 to 57343 are no characters: such a link must not break
    // case folding, and the other links still count.
    for (const wchar_t* link : {L"http://example.com:55296/x", L"http://example.com:57343/"}) {
        bound_context context(plain(""), L"", {link, L"http://example.net/"});
        const auto prepared = prepare(context);
        EXPECT_NE(std::find(prepared.fingerprints.begin(), prepared.fingerprints.end(),
                            L"tru net.example"),
                  prepared.fingerprints.end());
        for (const auto& fingerprint : context.record().fingerprints)
            EXPECT_TRUE(engine::locale::is_valid(fingerprint.text));
    }
}

TEST(SpamPrepare, ReportsEveryCallButPreparesOnce) {
    recorder rec;
    installed_callbacks installed(spam_table(rec));
    bound_context context(plain(received("192.0.2.1")), L"", {L"http://example.com/a"});
    EXPECT_EQ(spam::prepare(context.handle()), unsigned(QVSE_OK));
    // Later changes to what binding left are not looked at again.
    context.record().uris = {L"http://example.org/"};
    EXPECT_EQ(spam::prepare(context.handle()), unsigned(QVSE_OK));

    const std::vector<generated_type> once{{context.handle(), L"hsi", L"192.0.2.1"},
                                           {context.handle(), L"tru", L"com.example/a"}};
    std::vector<generated_type> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(generated, twice);

    strings lines;
    for (const auto& line : rec.lines()) {
        EXPECT_TRUE(line.has_context);
        EXPECT_EQ(line.context, context.handle());
        EXPECT_EQ(line.level, unsigned(QVSE_TRACE_INFO));
        EXPECT_EQ(line.facility, L"Spam");
        lines.push_back(std::to_wstring(line.indent) + L" " + line.text);
    }
    const strings report{L"0 Generated fingerprints:", L"1 hsi 192.0.2.1", L"1 tru com.example/a"};
    strings reports = report;
    reports.insert(reports.end(), report.begin(), report.end());
    EXPECT_EQ(lines, reports);
}

TEST(SpamPrepare, WithoutFingerprintsHeuristicsAreMadeAnew) {
    // Nothing for the servers: each call examines the message again, and
    // its heuristics replace the earlier ones instead of piling up.
    const trusted_relays relays;
    bound_context context(plain(received("203.0.113.1")), engine::coding::to_wide(gtube),
                          {L"www.google.com/search?q=x&btnI=1"});
    context.record().words.reset();  // too few words for a digest anyway
    const strings heuristics{L"Header.From.Trusted", L"Part.Text.Pattern",
                             L"Part.Text.Search_Engine_Redirect"};
    for (int call = 0; call < 3; ++call) {
        const auto prepared = prepare(context);
        EXPECT_EQ(prepared.heuristics, heuristics);
        EXPECT_TRUE(prepared.fingerprints.empty());
    }
}

// A source that fails every read once armed.
class failing_buffer : public std::stringbuf {
public:
    using std::stringbuf::stringbuf;
    bool armed = false;

protected:
    int_type underflow() override {
        if (armed) throw std::runtime_error("device failure");
        return std::stringbuf::underflow();
    }
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        if (armed) throw std::runtime_error("device failure");
        return std::stringbuf::xsgetn(s, n);
    }
};

TEST(SpamPrepare, AFailingAttachmentKeepsWhatWasMade) {
    const std::string message = received("192.0.2.1") +
                                "Content-Type: multipart/mixed; boundary=b\r\n\r\n" +
                                base64_attachment("b", "image/png", "aGVsbG8=") + "--b--\r\n";
    recorder rec;
    installed_callbacks installed(spam_table(rec));
    bound_context context(message);
    // The same message over a source that breaks after binding.
    struct failing_stream : std::istream {
        explicit failing_stream(const std::string& text) : std::istream(&buffer), buffer(text) {}
        failing_buffer buffer;
    };
    auto source = std::make_shared<failing_stream>(message);
    context.record().source = source;
    source->buffer.armed = true;
    EXPECT_EQ(spam::prepare(context.handle()), unsigned(QVSE_E_FAILED));
    EXPECT_EQ(context.fingerprints(), strings{L"hsi 192.0.2.1"});
    EXPECT_TRUE(generated.empty()) << "no report after a failure";
    EXPECT_EQ(rec.lines().front().text, L"An exception has occured:");

    source->buffer.armed = false;
    EXPECT_EQ(spam::prepare(context.handle()), unsigned(QVSE_OK));
    EXPECT_EQ(context.fingerprints(), strings{L"hsi 192.0.2.1"}) << "later calls only report";
    EXPECT_EQ(generated.size(), 1u);
}

}  // namespace
