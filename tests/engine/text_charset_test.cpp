#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "coding.hpp"

namespace {

namespace coding = quorvane::engine::coding;

std::string from_hex(const std::string& hex) {
    std::string out;
    if (hex == "-") return out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::wstring from_utf32_hex(const std::string& hex) {
    std::wstring out;
    if (hex == "-") return out;
    for (std::size_t i = 0; i + 7 < hex.size(); i += 8)
        out.push_back(static_cast<wchar_t>(std::stoul(hex.substr(i, 8), nullptr, 16)));
    return out;
}

std::string hex_of(const std::wstring& text) {
    std::ostringstream out;
    out << std::hex;
    for (const wchar_t c : text.substr(0, 40)) out << static_cast<std::uint32_t>(c) << ' ';
    return out.str();
}

// Where the tables of ICU (as chosen for mail) and Python's codecs differ on
// purpose: Python's value, then ours.
using divergence_type = std::pair<char32_t, char32_t>;
const std::map<std::string, std::set<divergence_type>> table_divergences{
    // Microsoft's mapping of JIS X 0208, as browsers and mail readers use it.
    {"shift_jis",
     {{0xA2, 0xFFE0},
      {0xA3, 0xFFE1},
      {0xAC, 0xFFE2},
      {0x2016, 0x2225},
      {0x2212, 0xFF0D},
      {0x301C, 0xFF5E}}},
    {"iso-2022-jp",
     {{0xA2, 0xFFE0},
      {0xA3, 0xFFE1},
      {0xAC, 0xFFE2},
      {0x2016, 0x2225},
      {0x2212, 0xFF0D},
      {0x301C, 0xFF5E}}},
    // Big5-HKSCS's choices for symbols that Big5 tables disagree on.
    {"big5",
     {{0xA2, 0xFFE0},
      {0xA3, 0xFFE1},
      {0xA5, 0xFFE5},
      {0x2022, 0x2027},
      {0x203E, 0xAF},
      {0x223C, 0xFF5E},
      {0x2609, 0x2299},
      {0x2641, 0x2295},
      {0xFF0F, 0x2215},
      {0xFF3C, 0xFE68},
      {0xFF64, 0xFE51}}},
};

// Byte sequences whose meaning differs by design: Big5's ETEN extensions
// (lead bytes C6 and C7), which Big5-HKSCS lays out differently, and the
// eight-byte Hangul sequences of KS X 1001's annex (A4D4 ...), which Python
// composes and ICU leaves as the filler and letters they are written with.
bool diverges_by_design(const std::string& charset, const std::string& bytes) {
    if (charset == "big5") return bytes.starts_with("c6") || bytes.starts_with("c7");
    if (charset == "euc-kr") return bytes.starts_with("a4d4");
    return false;
}

// Python's codecs, asked at test time, decide what every byte sequence means.
TEST(Charsets, DecodeAsPythonDoes) {
    const auto script = std::filesystem::path(QV_ENGINE_TEST_DATA) / "charset_reference.py";
    const std::string command = "python3 '" + script.string() + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) GTEST_SKIP() << "python3 is not available";
    std::string output;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    if (::pclose(pipe) != 0 || output.empty()) GTEST_SKIP() << "python3 failed";

    std::map<std::string, int> lines;
    std::map<std::string, std::set<divergence_type>> seen;
    std::istringstream in(output);
    for (std::string charset, bytes, text; in >> charset >> bytes >> text;) {
        ++lines[charset];
        const auto decoded = coding::decode(from_hex(bytes), charset);
        EXPECT_TRUE(decoded.charset_known) << charset;
        const auto expected = from_utf32_hex(text);
        if (decoded.text == expected || diverges_by_design(charset, bytes)) continue;
        if (expected.size() == 1 && decoded.text.size() == 1) {
            const divergence_type pair{expected[0], decoded.text[0]};
            const auto known = table_divergences.find(charset);
            if (known != table_divergences.end() && known->second.contains(pair)) {
                seen[charset].insert(pair);
                continue;
            }
        }
        ADD_FAILURE() << charset << " " << bytes.substr(0, 80) << "\n python " << hex_of(expected)
                      << "\n ours   " << hex_of(decoded.text);
    }
    EXPECT_EQ(lines.size(), 14u);
    // Every listed divergence still occurs: the list does not outlive a change.
    for (const auto& [charset, pairs] : table_divergences)
        EXPECT_EQ(seen[charset], pairs) << charset;
}

struct charset_case {
    const char* name;
    std::string charset;
    std::string bytes;
    std::wstring text;
    bool known;
};

void PrintTo(const charset_case& c, std::ostream* out) { *out << c.name; }

class Decode : public ::testing::TestWithParam<charset_case> {};

TEST_P(Decode, GivesTextAndWhetherTheCharsetIsKnown) {
    const auto& c = GetParam();
    const auto decoded = coding::decode(c.bytes, c.charset);
    EXPECT_EQ(decoded.text, c.text);
    EXPECT_EQ(decoded.charset_known, c.known);
}

// An unknown charset, or 8-bit text in US-ASCII (the charset of a part that
// names none), must not let a message escape: it reads as UTF-8 when it is
// valid UTF-8, else as windows-1252.
INSTANTIATE_TEST_SUITE_P(
    Cases, Decode,
    ::testing::Values(
        charset_case{"unknown", "x-foo", "buy \xE9 now", L"buy \u00E9 now", false},
        charset_case{"unknown_utf8", "x-foo", "caf\xC3\xA9", L"caf\u00E9", false},
        charset_case{"empty", "", "a\x80z", L"a\u20ACz", false},
        charset_case{"embedded_nul", std::string("utf-8\0x", 7), "ok", L"ok", false},
        charset_case{"us_ascii_8bit_utf8", "us-ascii", "a\xC3\xA9z", L"a\u00E9z", true},
        charset_case{"us_ascii_8bit_windows_1252", "US-ASCII",
                     "\x93"
                     "caf\xE9\x94",
                     L"\u201Ccaf\u00E9\u201D", true},
        charset_case{"us_ascii_7bit", "us-ascii", "plain", L"plain", true},
        charset_case{"any_case_and_alias", "UTF8", "\xC3\xA9", L"\u00E9", true},
        charset_case{"latin1_alias", "Latin1", "\xE9", L"\u00E9", true},
        charset_case{"utf8_invalid_keeps_next", "utf-8",
                     "a\xC3"
                     "bc\xFF"
                     "d",
                     L"abcd", true},
        charset_case{"utf8_surrogate_dropped", "utf-8", "\xED\xA0\x80x", L"x", true},
        charset_case{"utf8_supplementary", "utf-8", "\xF0\x9F\x98\x80", L"\U0001F600", true},
        charset_case{"utf16_lone_surrogate", "utf-16le",
                     std::string("\x00\xD8"
                                 "a\x00",
                                 4),
                     L"a", true},
        charset_case{"utf16_pair", "utf-16be", std::string("\xD8\x3D\xDE\x00", 4), L"\U0001F600",
                     true},
        charset_case{"empty_input", "utf-8", "", L"", true},
        charset_case{"utf8_byte_order_mark_kept", "utf-8",
                     "\xEF\xBB\xBF"
                     "a",
                     L"\uFEFFa", true},
        charset_case{"koi8_r", "KOI8-R", "\xF0\xD2\xC9", L"\u041F\u0440\u0438", true},
        // Bytes that Windows leaves undefined read as the C1 control of the
        // same value, as Windows and browsers read them.
        charset_case{"windows_undefined_byte", "windows-1252", "a\x81\x80", L"a\u0081\u20AC", true},
        charset_case{"shift_jis_controls_are_ascii", "shift_jis", "\x1A\x1C\x7F\x82\xA0",
                     L"\u001A\u001C\u007F\u3042", true},
        charset_case{"big5_eten_cyrillic", "big5", "\xC7\xF3", L"\u0410", true},
        charset_case{"euc_kr_euro", "EUC-KR", "\xA2\xE6", L"\u20AC", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Narrow text entering the grammars loses only the broken bytes, never the
// character after them (a "<" there would otherwise vanish with them).
TEST(Coding, Utf8ToWideKeepsWhatFollowsABrokenSequence) {
    EXPECT_EQ(coding::to_wide("a\xC3"
                              "bc"),
              L"abc");
    EXPECT_EQ(coding::to_wide("x\xE2\x82y"), L"xy");
    EXPECT_EQ(coding::to_wide("\xF0\x9F\x98z"), L"z");
    EXPECT_EQ(coding::to_wide("\xC3<b>"), L"<b>");
    EXPECT_EQ(coding::to_wide("\xC0\xAF\xF4\x90\x80\x80!"), L"!");
}

// Long input crosses the converter's buffer, also inside a surrogate pair.
TEST(Decode, LongInputIsComplete) {
    std::string bytes;
    std::wstring expected;
    for (int i = 0; i < 5000; ++i) {
        bytes += "x\xF0\x9F\x98\x80";
        expected += L"x\U0001F600";
    }
    EXPECT_EQ(coding::decode(bytes, "utf-8").text, expected);
}

}  // namespace
