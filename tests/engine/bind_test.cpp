#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "context/context.hpp"
#include "entry_table.hpp"
#include "installed_callbacks.hpp"
#include "locale.hpp"
#include "mime/mime.hpp"
#include "support/recorder.hpp"

namespace {

namespace context = quorvane::engine::context;
namespace mime = quorvane::engine::mime;
using quorvane::testing::installed_callbacks;
using quorvane::testing::recorder;

// A context for one test, destroyed at the end.
class scoped_context {
public:
    explicit scoped_context(void* handle) : handle_(handle) {
        EXPECT_EQ(context::create(handle_), unsigned(QVSE_OK));
    }
    ~scoped_context() { EXPECT_EQ(context::destroy(handle_), unsigned(QVSE_OK)); }
    scoped_context(const scoped_context&) = delete;
    scoped_context& operator=(const scoped_context&) = delete;

    void* handle() const { return handle_; }
    context::record_pointer record() const {
        context::record_pointer out;
        EXPECT_EQ(context::get(handle_, out), unsigned(QVSE_OK));
        return out;
    }

private:
    void* handle_;
};

unsigned bind_bytes(void* handle, const std::string& message) {
    return mime::bind_buffer(handle, message.data(), message.size());
}

std::string message(const std::string& content_type, const std::string& body,
                    const std::string& extra_headers = "") {
    return "From: <a@example.net>\r\nSubject: test\r\nContent-Type: " + content_type + "\r\n" +
           extra_headers + "\r\n" + body;
}

std::string alternative(const std::string& plain, const std::string& html) {
    return "From: <a@example.net>\r\nContent-Type: multipart/alternative; boundary=\"b\"\r\n\r\n"
           "--b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
           plain +
           "\r\n--b\r\nContent-Type: text/html; charset=utf-8\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
           html + "\r\n--b--\r\n";
}

const std::string image_only =
    "From: <a@example.net>\r\nContent-Type: multipart/mixed; boundary=\"m\"\r\n\r\n"
    "--m\r\nContent-Type: image/png; name=\"p.png\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
    "iVBORw0KGgo=\r\n--m--\r\n";

std::vector<std::uint32_t> stage_order(const recorder& rec) {
    std::vector<std::uint32_t> stages;
    for (const auto& report : rec.stages()) stages.push_back(report.stage);
    return stages;
}

bool has_line(const recorder& rec, void* handle, unsigned level, const std::wstring& text) {
    const auto lines = rec.lines();
    return std::any_of(lines.begin(), lines.end(), [&](const auto& line) {
        return line.has_context && line.context == handle && line.level == level &&
               line.facility == L"MIME" && line.text == text;
    });
}

bool structure_reported(const recorder& rec, void* handle) {
    return has_line(rec, handle, QVSE_TRACE_INFO, L"Message structure:");
}

// Stage order and link reports, message by message.
struct pipeline_case {
    const char* name;
    std::string message;
    std::vector<std::uint32_t> stages;
    // (source, uri) in report order
    std::vector<std::pair<std::uint32_t, std::wstring>> uris;
    std::wstring folded;
};

void PrintTo(const pipeline_case& c, std::ostream* out) { *out << c.name; }

class BindPipeline : public ::testing::TestWithParam<pipeline_case> {};

TEST_P(BindPipeline, StagesAndLinks) {
    const auto& param = GetParam();
    recorder rec;
    installed_callbacks installed(rec.table());
    int cell = 0;
    scoped_context scope(&cell);

    ASSERT_EQ(bind_bytes(&cell, param.message), unsigned(QVSE_OK));
    EXPECT_EQ(stage_order(rec), param.stages);
    std::vector<std::pair<std::uint32_t, std::wstring>> uris;
    for (const auto& report : rec.uris()) {
        EXPECT_EQ(report.context, &cell);
        uris.emplace_back(report.source, report.uri);
    }
    EXPECT_EQ(uris, param.uris);

    // Markup links come after the HTML stage and before the plain stage;
    // found links after the plain stage and before links are removed.
    const auto stages = rec.stages();
    auto order_of = [&](std::uint32_t stage) {
        for (const auto& report : stages)
            if (report.stage == stage) return report.order;
        return std::size_t(-1);
    };
    for (const auto& report : rec.uris()) {
        if (report.source == QVSE_TEXT_HTML) {
            EXPECT_GT(report.order, order_of(QVSE_TEXT_HTML));
            EXPECT_LT(report.order, order_of(QVSE_TEXT_PLAIN));
        } else {
            EXPECT_GT(report.order, order_of(QVSE_TEXT_PLAIN));
            EXPECT_LT(report.order, order_of(QVSE_TEXT_URIS_REMOVED));
        }
    }

    const auto record = scope.record();
    EXPECT_EQ(record->folded, param.folded);
    if (!stages.empty()) {
        EXPECT_EQ(stages.back().text, record->folded);
        EXPECT_EQ(stages[stages.size() - 2].text, record->text);
    }
    std::set<std::wstring> expected_set;
    for (const auto& [source, uri] : param.uris) expected_set.insert(uri);
    EXPECT_EQ(record->uris, expected_set);
    EXPECT_EQ(record->words.has_value(), !record->folded.empty());
    EXPECT_TRUE(structure_reported(rec, &cell));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, BindPipeline,
    ::testing::Values(
        pipeline_case{"plain",
                      message("text/plain; charset=utf-8", "Hello WORLD, see http://example.com/a now"),
                      {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED,
                       QVSE_TEXT_FOLDED},
                      {{QVSE_TEXT_PLAIN, L"http://example.com/a"}},
                      L"hello world, see  now"},
        pipeline_case{"html_link_also_in_text_reported_once",
                      message("text/html; charset=utf-8",
                              "<html><body><p>Visit <a href=\"http://example.com/a\">"
                              "http://example.com/a</a> or http://example.com/b</p>"
                              "<img src=\"http://img.example.com/i.png\"></body></html>"),
                      {QVSE_TEXT_HTML, QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED,
                       QVSE_TEXT_NORMALIZED, QVSE_TEXT_FOLDED},
                      {{QVSE_TEXT_HTML, L"http://example.com/a"},
                       {QVSE_TEXT_HTML, L"http://img.example.com/i.png"},
                       {QVSE_TEXT_PLAIN, L"http://example.com/b"}},
                      L"\r\n\r\nvisit  or "},
        pipeline_case{"alternative_takes_html",
                      alternative("plain words", "<p>Gr=C3=BC=C3=9Fe from <b>HTML</b></p>"),
                      {QVSE_TEXT_HTML, QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED,
                       QVSE_TEXT_NORMALIZED, QVSE_TEXT_FOLDED},
                      {},
                      L"\r\n\r\ngr\u00FCsse from html "},
        pipeline_case{"nfc_then_folding",
                      message("text/plain; charset=utf-8", "Cafe\xCC\x81 STRASSE Stra\xC3\x9F" "e"),
                      {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED,
                       QVSE_TEXT_FOLDED},
                      {},
                      L"caf\u00E9 strasse strasse"},
        pipeline_case{"duplicate_links_in_text_once",
                      message("text/plain", "www.example.org/x and www.example.org/x again"),
                      {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED,
                       QVSE_TEXT_FOLDED},
                      {{QVSE_TEXT_PLAIN, L"http://www.example.org/x"}},
                      L" and  again"},
        pipeline_case{"image_only", image_only, {}, {}, L""},
        pipeline_case{"no_text_part",
                      message("application/octet-stream", "\x01\x02\x03"), {}, {}, L""},
        pipeline_case{"empty_text_part", message("text/plain", ""),
                      {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED,
                       QVSE_TEXT_FOLDED},
                      {},
                      L""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Bind, MessageWithoutTextIsBoundWithoutStages) {
    for (const std::string& bytes : {image_only, message("image/gif", "GIF89a")}) {
        recorder rec;
        installed_callbacks installed(rec.table());
        int cell = 0;
        scoped_context scope(&cell);
        ASSERT_EQ(bind_bytes(&cell, bytes), unsigned(QVSE_OK));
        EXPECT_TRUE(rec.stages().empty());
        EXPECT_TRUE(rec.uris().empty());
        const auto record = scope.record();
        EXPECT_TRUE(record->source);
        EXPECT_NE(record->root, nullptr);
        EXPECT_EQ(record->displayable, nullptr);
        EXPECT_TRUE(record->text.empty());
        EXPECT_FALSE(record->words);
        EXPECT_TRUE(structure_reported(rec, &cell));
    }
}

TEST(Bind, WhiteSpaceOnlyTextHasOnlyNonWordSegments) {
    recorder rec;
    installed_callbacks installed(rec.table());
    int cell = 0;
    scoped_context scope(&cell);
    ASSERT_EQ(bind_bytes(&cell, message("text/plain", " \t \r\n  \r\n")), unsigned(QVSE_OK));
    const auto record = scope.record();
    ASSERT_FALSE(record->folded.empty());
    ASSERT_TRUE(record->words);
    ASSERT_FALSE(record->words->empty());
    for (const auto& segment : *record->words) EXPECT_FALSE(context::is_word(segment));
}

TEST(Bind, WordIndexCoversTheFoldedText) {
    int cell = 0;
    scoped_context scope(&cell);
    ASSERT_EQ(bind_bytes(&cell, message("text/plain; charset=utf-8", "Two words, 42 \xE6\x97\xA5\xE6\x9C\xAC")),
              unsigned(QVSE_OK));
    const auto record = scope.record();
    ASSERT_TRUE(record->words);
    std::size_t offset = 0;
    std::vector<std::wstring> words;
    for (const auto& segment : *record->words) {
        EXPECT_EQ(segment.offset, offset);
        offset += segment.length;
        if (context::is_word(segment)) words.push_back(record->folded.substr(segment.offset, segment.length));
    }
    EXPECT_EQ(offset, record->folded.size());
    EXPECT_EQ(words, (std::vector<std::wstring>{L"two", L"words", L"42", L"\u65E5\u672C"}));
}

TEST(Bind, SecondBindChangesNothing) {
    recorder rec;
    installed_callbacks installed(rec.table());
    int cell = 0;
    scoped_context scope(&cell);
    const std::string first = message("text/plain", "first message http://example.com/1");
    ASSERT_EQ(bind_bytes(&cell, first), unsigned(QVSE_OK));
    const auto record = scope.record();
    const auto source = record->source;
    const auto* root = record->root.get();
    const auto text = record->text;
    const auto uris = record->uris;
    rec.clear();

    const std::string second = message("text/html", "<a href=\"http://example.com/2\">second</a>");
    EXPECT_EQ(bind_bytes(&cell, second), unsigned(QVSE_E_MESSAGE_BOUND));
    EXPECT_EQ(mime::bind_buffer(&cell, "", 0), unsigned(QVSE_E_MESSAGE_BOUND));
    EXPECT_EQ(record->source, source);
    EXPECT_EQ(record->root.get(), root);
    EXPECT_EQ(record->text, text);
    EXPECT_EQ(record->uris, uris);
    EXPECT_TRUE(rec.stages().empty());
    EXPECT_TRUE(rec.uris().empty());
    EXPECT_TRUE(rec.lines().empty());
}

}  // namespace
