#include <gtest/gtest.h>

#include <malloc.h>

#include <string>
#include <thread>
#include <vector>

#include "context/context.hpp"
#include "installed_callbacks.hpp"
#include "mime/mime.hpp"
#include "mime_support.hpp"
#include "support/recorder.hpp"

namespace {

namespace mime = quorvane::engine::mime;
namespace parts = mime::parts;
using quorvane::testing::source_of;
using quorvane::testing::structure_of;

struct structure_case {
    const char* name;
    std::string message;
    std::string expected;
};

TEST(MimeStructure, Shapes) {
    const structure_case cases[] = {
        {"no header block", "\r\nHello", "text/plain [Hello]\n"},
        {"headers only", "Subject: x", "text/plain []\n"},
        {"simple", "Subject: x\r\n\r\nbody\r\n", "text/plain [body\\r\\n]\n"},
        {"preamble and epilogue",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\npre\r\n--b\r\n\r\none\r\n--b\r\n"
         "Content-Type: text/html\r\n\r\n<p>two</p>\r\n--b--\r\ntrailer\r\n",
         "multipart/mixed pre[pre\\r\\n] epi[trailer\\r\\n]\n"
         "  text/plain [one\\r\\n]\n"
         "  text/html [<p>two</p>\\r\\n]\n"},
        {"nested",
         "Content-Type: multipart/mixed; boundary=b1\n\n--b1\n"
         "Content-Type: multipart/alternative; boundary=b2\n\n--b2\n\nplain\n--b2\n"
         "Content-Type: text/html\n\nhtml\n--b2--\ninner epilogue\n--b1\n"
         "Content-Type: image/png; name=\"a.png\"\nContent-Transfer-Encoding: base64\n\nTWFu\n"
         "--b1--\n",
         "multipart/mixed pre[] epi[]\n"
         "  multipart/alternative pre[] epi[inner epilogue\\n]\n"
         "    text/plain [plain\\n]\n"
         "    text/html [html\\n]\n"
         "  image/png [Man]\n"},
        {"loose delimiters",
         "Content-Type: multipart/mixed; boundary=b\n\n--b  \n\na\n--bxyz\n\nb\n--B\n--b--x\n",
         "multipart/mixed pre[] epi[]\n"
         "  text/plain [a\\n]\n"
         "  text/plain [b\\n--B\\n]\n"},
        {"digest defaults",
         "Content-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: inner\n\nbody\n"
         "--d\nContent-Type: text/plain\n\nplain\n--d--\n",
         "multipart/digest pre[] epi[]\n"
         "  message/rfc822\n"
         "    text/plain [body\\n]\n"
         "  text/plain [plain\\n]\n"},
        {"mixed defaults",
         "Content-Type: multipart/mixed; boundary=d\n\n--d\n\nSubject: inner\n\nbody\n--d--\n",
         "multipart/mixed pre[] epi[]\n"
         "  text/plain [Subject: inner\\n\\nbody\\n]\n"},
        {"top multipart without boundary", "Content-Type: multipart/mixed\n\n--b\n\nx\n--b--\n",
         "multipart/mixed pre[--b\\n\\nx\\n--b--\\n] epi[]\n"},
        {"inner multipart without boundary",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: multipart/related\n\n"
         "inside\n--b\n\nnext\n--b--\n",
         "multipart/mixed pre[] epi[]\n"
         "  multipart/related pre[inside\\n] epi[]\n"
         "  text/plain [next\\n]\n"},
        {"never closed", "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nfirst\n--b\n\nlast",
         "multipart/mixed pre[] epi[]\n"
         "  text/plain [first\\n]\n"
         "  text/plain [last]\n"},
        {"closed before any part",
         "Content-Type: multipart/mixed; boundary=b\n\npre\n--b--\nafter\n",
         "multipart/mixed pre[pre\\n] epi[after\\n]\n"},
        {"message subtypes",
         "Content-Type: multipart/report; boundary=r\n\n--r\nContent-Type: "
         "message/delivery-status\n\n"
         "Status: 5.0.0\n--r\nContent-Type: message/rfc822\n\nSubject: bounced\n\nhello\n--r--\n",
         "multipart/report pre[] epi[]\n"
         "  message/delivery-status [Status: 5.0.0\\n]\n"
         "  message/rfc822\n"
         "    text/plain [hello\\n]\n"},
        {"no subtype is no content type", "Content-Type: image\n\nx", "text/plain [x]\n"},
        {"forwarded", "Content-Type: Message/RFC822\n\nContent-Type: text/html\n\n<b>x</b>",
         "Message/RFC822\n  text/html [<b>x</b>]\n"},
        {"encodings",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Transfer-Encoding: "
         "quoted-printable\n\ncaf=C3=A9=\nsoft\n--b\nContent-Type: application/pdf\n"
         "Content-Transfer-Encoding: BASE64\n\nSGVs\nbG8=\n--b--\n",
         "multipart/mixed pre[] epi[]\n"
         "  text/plain [caf\xc3\xa9soft\\n]\n"
         "  application/pdf [Hello]\n"},
        {"enclosed message inside a multipart ends at its delimiter",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/rfc822\n\n"
         "Content-Type: multipart/mixed; boundary=c\n\n--c\n\ninner\n--b\n\nouter\n--b--\n",
         "multipart/mixed pre[] epi[]\n"
         "  message/rfc822\n"
         "    multipart/mixed pre[] epi[]\n"
         "      text/plain [inner\\n--b\\n\\nouter\\n--b--\\n]\n"},
        {"part header without a blank line",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\nBuy cheap "
         "pills\n"
         "--b\n\nnext\n--b--\n",
         "multipart/mixed pre[] epi[]\n"
         "  text/plain [Buy cheap pills\\n]\n"
         "  text/plain [next\\n]\n"},
        {"part header ended by a delimiter",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/html\n--b\n"
         "Subject: x\n  continued\nnot a field\n--b--\n",
         "multipart/mixed pre[] epi[]\n"
         "  text/html []\n"
         "  text/plain [not a field\\n]\n"},
        {"repeated delimiters make no empty parts",
         "Content-Type: multipart/mixed; "
         "boundary=b\n\n--b\n\nfirst\n--b\n--b\n--b\n\nsecond\n--b\n--b--\n",
         "multipart/mixed pre[] epi[]\n"
         "  text/plain [first\\n]\n"
         "  text/plain [second\\n]\n"
         "  text/plain []\n"},
        {"blank after an unquoted boundary",
         "Content-Type: multipart/alternative; boundary=b \n\n--b\n\nplain\n--b\n"
         "Content-Type: text/html ; charset=utf-8\n\n<p>html</p>\n--b--\n",
         "multipart/alternative pre[] epi[]\n"
         "  text/plain [plain\\n]\n"
         "  text/html [<p>html</p>\\n]\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(structure_of(c.message), c.expected) << c.name;
}

TEST(MimeStructure, LeafFields) {
    const std::string message =
        "Content-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
        "Content-Type: text/html; CHARSET=\"ISO-8859-1\"\n\nx\n--b\n"
        "Content-Type: application/octet-stream; name=\"r\xc3\xa9sum\xc3\xa9.pdf\"\n\ny\n--b\n"
        "Content-Type: image/gif\n\nz\n--b--\n";
    auto source = source_of(message);
    mime::tree_pointer root;
    ASSERT_TRUE(mime::create(*source, root));
    auto* top = dynamic_cast<parts::multipart_type*>(root.get());
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->boundary, "b");
    EXPECT_EQ(top->headers.size(), 1u);
    ASSERT_EQ(top->children.size(), 4u);
    auto* plain = dynamic_cast<parts::text_type*>(top->children[0]);
    auto* html = dynamic_cast<parts::text_type*>(top->children[1]);
    auto* pdf = dynamic_cast<parts::attachment_type*>(top->children[2]);
    auto* gif = dynamic_cast<parts::attachment_type*>(top->children[3]);
    ASSERT_TRUE(plain && html && pdf && gif);
    EXPECT_EQ(plain->charset, "us-ascii");
    EXPECT_EQ(html->charset, "ISO-8859-1");
    EXPECT_EQ(pdf->name, std::optional<std::wstring>(L"r\u00e9sum\u00e9.pdf"));
    EXPECT_FALSE(gif->name);
    EXPECT_EQ(quorvane::testing::window_text(message, html->content), "x\n");
}

TEST(MimeStructure, SecondPassIsRefused) {
    auto source = source_of("\nx");
    mime::tree_pointer root;
    ASSERT_TRUE(mime::create(*source, root));
    auto* first = root.get();
    EXPECT_FALSE(mime::create(*source, root));
    EXPECT_EQ(root.get(), first);
}

// A source that fails after some bytes: the parts made so far stay in root.
class failing_buffer : public std::streambuf {
public:
    explicit failing_buffer(std::string text) : text_(std::move(text)) {
        setg(text_.data(), text_.data(), text_.data() + text_.size());
    }

protected:
    int_type underflow() override { throw std::ios_base::failure("host went away"); }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        if (dir == std::ios_base::beg && off == 0) {
            setg(text_.data(), text_.data(), text_.data() + text_.size());
            return 0;
        }
        throw std::ios_base::failure("bad seek offset");
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode mode) override {
        return seekoff(off_type(pos), std::ios_base::beg, mode);
    }

private:
    std::string text_;
};

TEST(MimeStructure, ExceptionsLeaveThePartialTree) {
    // Larger than one block of the reader, so parts are made before the
    // failure.
    std::string message = "Content-Type: multipart/mixed; boundary=b\n\n";
    for (int i = 0; i < 5000; ++i) message += "--b\n\n" + std::string(40, 'x') + "\n";
    failing_buffer buffer(message);
    std::istream in(&buffer);
    mime::tree_pointer root;
    EXPECT_THROW(mime::create(in, root), std::ios_base::failure);
    auto* top = dynamic_cast<parts::multipart_type*>(root.get());
    ASSERT_NE(top, nullptr);
    EXPECT_GT(top->children.size(), 1000u);
}

std::string many_parts(std::size_t count) {
    std::string message = "Content-Type: multipart/mixed; boundary=b\n\n";
    for (std::size_t i = 0; i < count; ++i) message += "--b\n\n";
    return message + "--b--\n";
}

TEST(MimeStructure, PartsAreCapped) {
    quorvane::testing::recorder recorder;
    quorvane::testing::installed_callbacks installed(recorder.table());
    const std::string message = many_parts(mime::max_parts + 50);
    auto source = source_of(message);
    mime::tree_pointer root;
    ASSERT_TRUE(mime::create(*source, root));
    auto* top = dynamic_cast<parts::multipart_type*>(root.get());
    ASSERT_NE(top, nullptr);
    ASSERT_EQ(top->children.size(), mime::max_parts - 1) << "the multipart counts too";
    // The rest of the message stays inside the last window.
    auto* last = dynamic_cast<parts::text_type*>(top->children.back());
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->content.end, static_cast<std::int64_t>(message.size()));
    EXPECT_EQ(top->epilogue, (mime::window_type{last->content.end, last->content.end}));
    const auto lines = recorder.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, unsigned(QVSE_TRACE_WARNING));
    EXPECT_EQ(lines[0].facility, L"MIME");
}

TEST(MimeStructure, NestingIsCapped) {
    quorvane::testing::recorder recorder;
    quorvane::testing::installed_callbacks installed(recorder.table());
    const std::size_t levels = 5000;
    std::string message;
    for (std::size_t i = 0; i < levels; ++i)
        message += "Content-Type: multipart/mixed; boundary=" + std::to_string(i) + "x\n\n--" +
                   std::to_string(i) + "x\n";
    message += "Content-Type: message/rfc822\n\n\nleaf\n";
    for (std::size_t i = levels; i-- > 1;) message += "--" + std::to_string(i) + "x--\n";
    message += "\n--0x\nContent-Type: text/plain\n\nafter\n--0x--\n";
    auto source = source_of(message);
    mime::tree_pointer root;
    ASSERT_TRUE(mime::create(*source, root));
    std::size_t depth = 0;
    parts::generic_type* part = root.get();
    while (auto* multipart = dynamic_cast<parts::multipart_type*>(part)) {
        if (multipart->children.empty()) break;
        part = multipart->children.front();
        ++depth;
    }
    EXPECT_EQ(depth, mime::max_depth);
    auto* deepest = dynamic_cast<parts::multipart_type*>(part);
    ASSERT_NE(deepest, nullptr);
    EXPECT_TRUE(deepest->boundary.empty()) << "kept whole as one leaf";
    EXPECT_EQ(quorvane::testing::window_text(message, deepest->preamble).substr(0, 6), "--64x\n");
    // Parsing goes on after the capped part.
    auto* top = dynamic_cast<parts::multipart_type*>(root.get());
    ASSERT_EQ(top->children.size(), 2u);
    EXPECT_EQ(mime::read(source, *top->children[1]), "after\n");
    ASSERT_EQ(recorder.lines().size(), 1u);
    EXPECT_EQ(recorder.lines()[0].level, unsigned(QVSE_TRACE_WARNING));
}

TEST(MimeStructure, HeaderFieldsAreCapped) {
    quorvane::testing::recorder recorder;
    quorvane::testing::installed_callbacks installed(recorder.table());
    std::string message = "Content-Type: multipart/mixed; boundary=b\n\n--b\n";
    for (std::size_t i = 0; i < mime::max_header_fields + 500; ++i)
        message += "X-Junk: 1\n continued\n";
    // The content fields of a block count beyond the cap.
    message +=
        "Content-Type: text/html\nContent-Transfer-Encoding: base64\nContent-Type: text/plain\n"
        "\nPHA+aGk8L3A+\n--b--\n";
    auto source = source_of(message);
    mime::tree_pointer root;
    ASSERT_TRUE(mime::create(*source, root));
    auto* top = dynamic_cast<parts::multipart_type*>(root.get());
    ASSERT_NE(top, nullptr);
    ASSERT_EQ(top->children.size(), 1u);
    auto* html = dynamic_cast<parts::text_type*>(top->children[0]);
    ASSERT_NE(html, nullptr);
    EXPECT_EQ(html->subtype, "html");
    EXPECT_EQ(mime::read(source, *html), "<p>hi</p>");
    EXPECT_EQ(top->headers.size() + html->headers.size(), mime::max_header_fields + 2);
    EXPECT_EQ(html->headers.back().value, "base64");
    EXPECT_EQ(html->headers.front().value, "1 continued") << "a kept field keeps its continuation";
    ASSERT_EQ(recorder.lines().size(), 1u);
    EXPECT_EQ(recorder.lines()[0].text,
              L"The message has too many header fields: the rest are passed over");
}

TEST(MimeStructure, DeepEnclosedMessagesAreCapped) {
    std::string message;
    for (int i = 0; i < 1000; ++i) message += "Content-Type: message/rfc822\n\n";
    message += "leaf";
    auto source = source_of(message);
    mime::tree_pointer root;
    ASSERT_TRUE(mime::create(*source, root));
    std::size_t depth = 0;
    parts::generic_type* part = root.get();
    while (auto* encapsulated = dynamic_cast<parts::encapsulated_type*>(part)) {
        part = encapsulated->message;
        ++depth;
    }
    EXPECT_EQ(depth, mime::max_depth);
    ASSERT_NE(dynamic_cast<parts::attachment_type*>(part), nullptr);
    EXPECT_EQ(mime::unwrap(root.get()), part);
}

// The memory of a bound message stays within a small multiple of its size,
// however it is shaped.
TEST(MimeStructure, MemoryIsBoundedByTheMessage) {
    const std::string shapes[] = {
        many_parts(20'000),
        [] {
            std::string m = "Content-Type: multipart/mixed; boundary=b\n\n";
            while (m.size() < 100'000)
                m += "--b\nContent-Type: text/plain\nContent-Transfer-Encoding: base64\n\n\n";
            return m;
        }(),
        // A megabyte of tiny header lines.
        [] {
            std::string m;
            while (m.size() < 1'000'000) m += "a:\n";
            return m + "\nbody\n";
        }(),
    };
    for (const std::string& message : shapes) {
        auto source = source_of(message);
        const std::size_t before = mallinfo2().uordblks;
        mime::tree_pointer root;
        ASSERT_TRUE(mime::create(*source, root));
        const std::size_t used = mallinfo2().uordblks - before;
        EXPECT_LT(used, 24 * message.size()) << "message of " << message.size() << " bytes";
    }
}

// The grammars are shared, read-only instances: any thread may parse.
TEST(MimeStructure, ParsesOnManyThreadsAtOnce) {
    const std::string message =
        "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
        "Content-Type: text/html; charset=\"utf-8\" (c) ; format=flowed\n"
        "Content-Transfer-Encoding: quoted-printable\n\n<p>caf=C3=A9</p>\n--b\n"
        "Content-Type: image/png; name=x.png\nContent-Transfer-Encoding: base64\n\nTWFu\n--b--\n";
    const std::string expected = structure_of(message);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                if (structure_of(message) != expected) ++mismatches[t];
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
