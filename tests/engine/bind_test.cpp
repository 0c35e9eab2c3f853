#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "context/context.hpp"
#include "counted.hpp"
#include "installed_callbacks.hpp"
#include "locale.hpp"
#include "mime/mime.hpp"
#include "support/recorder.hpp"

extern "C" const void* resolve(const char* name, std::size_t length, unsigned int flags) noexcept;

namespace {

namespace context = quorvane::engine::context;
namespace mime = quorvane::engine::mime;
namespace counted = quorvane::engine::counted;
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

TEST(Bind, EntriesAreResolvedByName) {
    const std::pair<std::string_view, const void*> entries[] = {
        {"mime::bind_stream", reinterpret_cast<const void*>(&counted::mime_bind_stream)},
        {"mime::bind_buffer", reinterpret_cast<const void*>(&counted::mime_bind_buffer)},
        {"mime::bind_file", reinterpret_cast<const void*>(&counted::mime_bind_file)},
    };
    for (const auto& [name, address] : entries) {
        EXPECT_NE(address, nullptr) << name;
        EXPECT_EQ(resolve(name.data(), name.size(), 0), address) << name;
    }
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
    EXPECT_TRUE(record->source);
    EXPECT_EQ(record->displayable == nullptr, param.stages.empty());
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
        pipeline_case{
            "plain",
            message("text/plain; charset=utf-8", "Hello WORLD, see http://example.com/a now"),
            {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED, QVSE_TEXT_FOLDED},
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
        pipeline_case{
            "nfc_then_folding",
            message("text/plain; charset=utf-8",
                    "Cafe\xCC\x81 STRASSE Stra\xC3\x9F"
                    "e"),
            {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED, QVSE_TEXT_FOLDED},
            {},
            L"caf\u00E9 strasse strasse"},
        pipeline_case{
            "duplicate_links_in_text_once",
            message("text/plain", "www.example.org/x and www.example.org/x again"),
            {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED, QVSE_TEXT_FOLDED},
            {{QVSE_TEXT_PLAIN, L"http://www.example.org/x"}},
            L" and  again"},
        pipeline_case{"image_only", image_only, {}, {}, L""},
        pipeline_case{
            "no_text_part", message("application/octet-stream", "\x01\x02\x03"), {}, {}, L""},
        // No bytes at all: a text/plain part (the default type) with nothing
        // in it, so its stages are reported, all empty, and no word index.
        pipeline_case{
            "empty_message",
            "",
            {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED, QVSE_TEXT_FOLDED},
            {},
            L""},
        pipeline_case{
            "empty_text_part",
            message("text/plain", ""),
            {QVSE_TEXT_PLAIN, QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED, QVSE_TEXT_FOLDED},
            {},
            L""}),
    [](const auto& info) { return std::string(info.param.name); });

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
    ASSERT_EQ(bind_bytes(&cell, message("text/plain; charset=utf-8",
                                        "Two words, 42 \xE6\x97\xA5\xE6\x9C\xAC")),
              unsigned(QVSE_OK));
    const auto record = scope.record();
    ASSERT_TRUE(record->words);
    std::size_t offset = 0;
    std::vector<std::wstring> words;
    for (const auto& segment : *record->words) {
        EXPECT_EQ(segment.offset, offset);
        offset += segment.length;
        if (context::is_word(segment))
            words.push_back(record->folded.substr(segment.offset, segment.length));
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

// What one binding produced, as far as the host and later calls can see it.
struct outcome_type {
    unsigned result = 0;
    std::wstring text;
    std::wstring folded;
    std::set<std::wstring> uris;
    std::vector<std::tuple<std::size_t, std::size_t, std::uint32_t>> words;
    bool has_words = false;
    std::vector<std::pair<std::uint32_t, std::wstring>> stages;
    std::vector<std::pair<std::uint32_t, std::wstring>> found;
    std::vector<std::wstring> trace;  // part addresses left out

    friend bool operator==(const outcome_type&, const outcome_type&) = default;
};

// A structure line without the part's address, which differs between runs.
std::wstring without_address(std::wstring line) {
    const auto at = line.find(L" @ 0x");
    if (at == std::wstring::npos) return line;
    auto end = at + 5;
    while (end < line.size() && std::iswxdigit(line[end])) ++end;
    return line.erase(at, end - at);
}

outcome_type outcome_of(const recorder& rec, const scoped_context& scope, unsigned result) {
    outcome_type out;
    out.result = result;
    const auto record = scope.record();
    out.text = record->text;
    out.folded = record->folded;
    out.uris = record->uris;
    out.has_words = record->words.has_value();
    if (record->words)
        for (const auto& segment : *record->words)
            out.words.emplace_back(segment.offset, segment.length, segment.rule);
    for (const auto& report : rec.stages()) out.stages.emplace_back(report.stage, report.text);
    for (const auto& report : rec.uris()) out.found.emplace_back(report.source, report.uri);
    for (const auto& line : rec.lines())
        out.trace.push_back(std::to_wstring(line.level) + L" " + std::to_wstring(line.indent) +
                            L" " + without_address(line.text));
    return out;
}

// The host side of stream binding: the handle is the message served.
struct served_type {
    std::string bytes;
    std::int64_t chunk;  // at most this much per call
};

bool serve(void* handle, std::int64_t offset, std::int64_t max_length, const char** data,
           std::int64_t* length) {
    const auto* served = static_cast<const served_type*>(handle);
    const auto size = static_cast<std::int64_t>(served->bytes.size());
    if (offset < 0 || offset >= size) return false;
    std::int64_t n = std::min(size - offset, served->chunk);
    if (max_length >= 0) n = std::min(n, max_length);
    *data = served->bytes.data() + offset;
    *length = n;
    return true;
}

// A directory of its own for files a test binds.
class temporary_directory {
public:
    temporary_directory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qv-bind-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~temporary_directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, const std::string& bytes) const {
        const auto file = path_ / name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }

private:
    std::filesystem::path path_;
};

enum class entry_kind { buffer, file, stream, stream_bytewise };

outcome_type bind_through(entry_kind kind, const std::string& bytes) {
    recorder rec;
    auto table = rec.table();
    table.stream_read = &serve;
    installed_callbacks installed(table);
    served_type served{bytes, kind == entry_kind::stream_bytewise ? 1 : 1 << 20};
    scoped_context scope(&served);
    unsigned result = 0;
    switch (kind) {
    case entry_kind::buffer:
        result = bind_bytes(&served, bytes);
        break;
    case entry_kind::file: {
        temporary_directory directory;
        const std::string path = directory.write("message.eml", bytes).string();
        result = mime::bind_file(&served, path.data(), path.size());
        break;
    }
    case entry_kind::stream:
    case entry_kind::stream_bytewise:
        result = mime::bind_stream(&served);
        break;
    }
    return outcome_of(rec, scope, result);
}

TEST(Bind, TheThreeEntriesAgree) {
    const std::string messages[] = {
        "",
        message("text/plain; charset=utf-8", "Hello WORLD, see http://example.com/a now"),
        alternative("plain words",
                    "<p>Gr=C3=BC=C3=9Fe <a href=3D\"http://x.example/\">here</a></p>"),
        image_only,
        message("text/html; charset=iso-8859-1",
                "PGh0bWw+PGJvZHk+Q2Fm6SA8YSBocmVmPSJodHRwOi8vZXhhbXBsZS5jb20vIj5saW5r\r\n"
                "PC9hPiB3d3cuZXhhbXBsZS5vcmc8L2JvZHk+PC9odG1sPg==\r\n",
                "Content-Transfer-Encoding: base64\r\n"),
        "Content-Type: multipart/mixed; boundary=\"o\"\n\n--o\nContent-Type: multipart/alternative;"
        " boundary=\"i\"\n\n--i\nContent-Type: text/plain\n\nInner plain\n--i--\n--o\n"
        "Content-Type: application/pdf; name=\"a.pdf\"\n\n%PDF-1.4\n--o--\n",
        "Content-Type: message/rfc822\r\n\r\nContent-Type: text/plain\r\n\r\nForwarded text\r\n",
    };
    for (const auto& bytes : messages) {
        SCOPED_TRACE(bytes);
        const auto expected = bind_through(entry_kind::buffer, bytes);
        EXPECT_EQ(expected.result, unsigned(QVSE_OK));
        EXPECT_FALSE(expected.trace.empty());
        for (const auto kind :
             {entry_kind::file, entry_kind::stream, entry_kind::stream_bytewise}) {
            SCOPED_TRACE(static_cast<int>(kind));
            EXPECT_EQ(bind_through(kind, bytes), expected);
        }
    }
}

TEST(Bind, ArgumentsAndHandlesAreCheckedFirst) {
    std::atomic<int> reads{0};
    static std::atomic<int>* read_count;
    read_count = &reads;
    recorder rec;
    auto table = rec.table();
    table.stream_read = [](void*, std::int64_t, std::int64_t, const char**, std::int64_t*) {
        ++*read_count;
        return false;
    };
    installed_callbacks installed(table);
    temporary_directory directory;
    const std::string file = directory.write("m.eml", message("text/plain", "words")).string();
    const std::string missing = (directory.path() / "missing.eml").string();
    const std::string folder = directory.path().string();
    const std::string fifo = (directory.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string with_nul = file + std::string(1, '\0') + "x";

    int never_created = 0;
    int cell = 0;
    scoped_context scope(&cell);
    struct call_case {
        const char* name;
        std::function<unsigned()> call;
        unsigned expected;
    };
    const call_case cases[] = {
        {"null data", [&] { return mime::bind_buffer(&cell, nullptr, 10); },
         QVSE_E_INVALID_ARGUMENT},
        {"null data, unknown handle", [&] { return mime::bind_buffer(&never_created, nullptr, 0); },
         QVSE_E_INVALID_ARGUMENT},
        {"null path", [&] { return mime::bind_file(&cell, nullptr, 4); }, QVSE_E_INVALID_ARGUMENT},
        {"missing file", [&] { return mime::bind_file(&cell, missing.data(), missing.size()); },
         QVSE_E_NOT_FOUND},
        {"a directory", [&] { return mime::bind_file(&cell, folder.data(), folder.size()); },
         QVSE_E_NOT_FOUND},
        {"a FIFO without writer", [&] { return mime::bind_file(&cell, fifo.data(), fifo.size()); },
         QVSE_E_NOT_FOUND},
        {"a path holding NUL",
         [&] { return mime::bind_file(&cell, with_nul.data(), with_nul.size()); },
         QVSE_E_NOT_FOUND},
        {"empty path", [&] { return mime::bind_file(&cell, "", 0); }, QVSE_E_NOT_FOUND},
        {"buffer, unknown handle", [&] { return mime::bind_buffer(&never_created, "x", 1); },
         QVSE_E_UNKNOWN_CONTEXT},
        {"file, unknown handle",
         [&] { return mime::bind_file(&never_created, file.data(), file.size()); },
         QVSE_E_UNKNOWN_CONTEXT},
        {"missing file, unknown handle",
         [&] { return mime::bind_file(&never_created, missing.data(), missing.size()); },
         QVSE_E_UNKNOWN_CONTEXT},
        {"stream, unknown handle", [&] { return mime::bind_stream(&never_created); },
         QVSE_E_UNKNOWN_CONTEXT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.expected);
    }
    EXPECT_EQ(reads.load(), 0) << "nothing is read for an unknown handle";
    EXPECT_TRUE(rec.lines().empty());
    EXPECT_TRUE(rec.stages().empty());
    EXPECT_FALSE(scope.record()->source) << "no failed call binds";

    {
        auto without_reader = rec.table();
        installed_callbacks no_reader(without_reader);
        EXPECT_EQ(mime::bind_stream(&cell), unsigned(QVSE_E_INVALID_ARGUMENT));
    }

    // The path is taken by its length, not up to a terminator.
    const std::string padded = file + "trailing";
    EXPECT_EQ(mime::bind_file(&cell, padded.data(), file.size()), unsigned(QVSE_OK));
    EXPECT_EQ(scope.record()->text, L"words");
}

// An unknown charset must not let a message past the filter: its letters are
// read, and a warning says how.
TEST(Bind, UnknownCharsetIsReadAsUtf8OrWindows1252) {
    const struct {
        const char* content_type;
        const wchar_t* warning;
    } cases[] = {
        {"text/plain; charset=\"x-foo\"", L"Unknown charset \"x-foo\": the text is read as UTF-8"},
        {"text/plain; charset=\"x-user-defined-99\"",
         L"Unknown charset \"x-user-defined-99\": the text is read as UTF-8"},
        {"text/html; charset=x-unheard-of-8",
         L"Unknown charset \"x-unheard-of-8\": the text is read as UTF-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content_type);
        recorder rec;
        installed_callbacks installed(rec.table());
        int cell = 0;
        scoped_context scope(&cell);
        ASSERT_EQ(bind_bytes(&cell, message(c.content_type,
                                            "Cheap PILLS caf\xC3\xA9 http://spam.example/")),
                  unsigned(QVSE_OK));
        EXPECT_TRUE(has_line(rec, &cell, QVSE_TRACE_WARNING, c.warning));
        const auto record = scope.record();
        EXPECT_EQ(record->folded, L"cheap pills caf\u00E9 ");
        EXPECT_EQ(record->uris, std::set<std::wstring>{L"http://spam.example/"});
        EXPECT_TRUE(record->words);
        EXPECT_TRUE(structure_reported(rec, &cell));
    }
    // A known charset or none warns of nothing.
    for (const char* content_type :
         {"text/plain", "text/plain; charset=UTF-8", "text/plain; charset=latin1"}) {
        recorder rec;
        installed_callbacks installed(rec.table());
        int cell = 0;
        scoped_context scope(&cell);
        ASSERT_EQ(bind_bytes(&cell, message(content_type, "words")), unsigned(QVSE_OK));
        for (const auto& line : rec.lines())
            EXPECT_NE(line.level, unsigned(QVSE_TRACE_WARNING)) << content_type;
    }
}

// Callbacks get scalar values only, each text NUL-terminated (the recorder
// fails the test otherwise), whatever units decoding and markup produce.
TEST(Bind, CallbackTextIsAlwaysValid) {
    const std::string cases[] = {
        message("text/plain; charset=utf-8",
                "lone surrogate \xED\xA0\x80 and \xF4\x90\x80\x80 http://a.example/\xED\xB0\x80"),
        message("text/html; charset=utf-8",
                "<a href=\"http://b.example/&#xD800;&#x110000;\">x&#xDFFF;y</a> &#0; &#xFFFFFFFF;"),
        message("text/plain; charset=utf-16le", std::string("a\0\x00\xD8 \0b\0", 8)),
        message("text/plain; charset=utf-32be",
                std::string("\0\0\0a\0\x11\0\0\0\0\xD8\0\0\0\0b", 16)),
        message("text/plain; charset=utf-8", std::string("embedded\0nul http://c.example/\0x", 33)),
    };
    for (const auto& bytes : cases) {
        recorder rec;
        installed_callbacks installed(rec.table());
        int cell = 0;
        scoped_context scope(&cell);
        EXPECT_EQ(bind_bytes(&cell, bytes), unsigned(QVSE_OK));
        EXPECT_EQ(rec.stages().size(), rec.stages().front().stage == QVSE_TEXT_HTML ? 5u : 4u);
        const auto record = scope.record();
        EXPECT_TRUE(quorvane::engine::locale::is_valid(record->text));
        EXPECT_TRUE(quorvane::engine::locale::is_valid(record->folded));
        for (const auto& uri : record->uris) EXPECT_TRUE(quorvane::engine::locale::is_valid(uri));
    }
}

// A failure after the structure pass leaves the message bound; one inside it
// leaves none, and the partly built tree refuses another pass.
TEST(Bind, FailuresAndWhatTheyLeave) {
    recorder rec;
    {
        auto table = rec.table();
        table.text_stage = [](void*, std::uint32_t stage, const wchar_t*, std::size_t) {
            if (stage == QVSE_TEXT_URIS_REMOVED) throw std::runtime_error("host failure");
        };
        installed_callbacks installed(table);
        int cell = 0;
        scoped_context scope(&cell);
        EXPECT_EQ(bind_bytes(&cell, message("text/plain", "see http://example.com/x")),
                  unsigned(QVSE_E_FAILED));
        const auto lines = rec.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_FALSE(lines.front().has_context) << "exceptions go to the engine trace";
        EXPECT_EQ(lines.front().level, unsigned(QVSE_TRACE_ERROR));
        EXPECT_EQ(lines.front().facility, L"MIME");
        const auto record = scope.record();
        EXPECT_TRUE(record->source);
        EXPECT_EQ(record->uris, std::set<std::wstring>{L"http://example.com/x"});
        EXPECT_FALSE(record->words);
        EXPECT_EQ(bind_bytes(&cell, "x"), unsigned(QVSE_E_MESSAGE_BOUND));
    }
    rec.clear();
    {
        auto table = rec.table();
        // Serves the headers and most of the first part, then fails.
        table.stream_read = [](void* handle, std::int64_t offset, std::int64_t max_length,
                               const char** data, std::int64_t* length) -> bool {
            constexpr std::int64_t limit = 150'000;
            if (offset >= limit) throw std::runtime_error("host read failure");
            return serve(handle, offset, std::min<std::int64_t>(max_length, limit - offset), data,
                         length);
        };
        installed_callbacks installed(table);
        served_type served{alternative(std::string(200'000, 'a'), "<p>html</p>"), 1 << 20};
        scoped_context scope(&served);
        EXPECT_EQ(mime::bind_stream(&served), unsigned(QVSE_E_FAILED));
        EXPECT_FALSE(scope.record()->source);
        EXPECT_TRUE(scope.record()->root);
        rec.clear();
        EXPECT_EQ(mime::bind_stream(&served), unsigned(QVSE_E_FAILED));
        EXPECT_TRUE(has_line(rec, &served, QVSE_TRACE_WARNING, L"Unable to parse source"));
    }
    rec.clear();
    {
        // Out of memory is a code of its own and traces nothing.
        auto table = rec.table();
        table.text_stage = [](void*, std::uint32_t, const wchar_t*, std::size_t) {
            throw std::bad_alloc();
        };
        installed_callbacks installed(table);
        int cell = 0;
        scoped_context scope(&cell);
        EXPECT_EQ(bind_bytes(&cell, message("text/plain", "x")), unsigned(QVSE_E_OUT_OF_MEMORY));
        for (const auto& line : rec.lines()) EXPECT_TRUE(line.has_context) << line.text;
    }
}

TEST(BindThreads, DifferentContextsInParallel) {
    constexpr int threads = 6, rounds = 40;
    recorder rec;
    auto table = rec.table();
    table.stream_read = &serve;
    installed_callbacks installed(table);
    std::vector<std::string> messages;
    std::vector<std::wstring> expected;
    for (int t = 0; t < threads; ++t) {
        messages.push_back(alternative("plain", "<p>Thread " + std::to_string(t) +
                                                    " <a href=3D\"http://t" + std::to_string(t) +
                                                    ".example/\">link</a> http://x.example/</p>"));
        expected.push_back(L"\r\n\r\nthread " + std::to_wstring(t) + L" link  ");
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            served_type served{messages[t], 7};
            for (int i = 0; i < rounds; ++i) {
                if (context::create(&served) != QVSE_OK) ++failures;
                const unsigned result =
                    i % 2 ? mime::bind_stream(&served) : bind_bytes(&served, messages[t]);
                context::record_pointer record;
                if (result != QVSE_OK || context::get(&served, record) != QVSE_OK ||
                    record->folded != expected[t] || record->uris.size() != 2)
                    ++failures;
                record.reset();
                if (context::destroy(&served) != QVSE_OK) ++failures;
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(rec.stages().size(), std::size_t(threads * rounds * 5));
}

}  // namespace
