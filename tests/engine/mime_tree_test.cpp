#include <gtest/gtest.h>

#include <string>

#include "context/context.hpp"
#include "entry_table.hpp"
#include "installed_callbacks.hpp"
#include "mime/mime.hpp"
#include "mime_support.hpp"
#include "support/recorder.hpp"

namespace {

namespace mime = quorvane::engine::mime;
namespace parts = mime::parts;
namespace context = quorvane::engine::context;
using quorvane::testing::source_of;

std::string multipart(const std::string& subtype, const std::string& boundary,
                      const std::vector<std::string>& children) {
    std::string m = "Content-Type: multipart/" + subtype + "; boundary=" + boundary + "\n\n";
    for (const auto& child : children) m += "--" + boundary + "\n" + child + "\n";
    return m + "--" + boundary + "--\n";
}
std::string leaf(const std::string& type, const std::string& body) {
    return "Content-Type: " + type + "\n\n" + body;
}

// The decoded content of what displayable chooses after unwrapping.
std::string chosen(const std::string& message) {
    auto source = source_of(message);
    mime::tree_pointer root;
    if (!mime::create(*source, root)) return "refused";
    parts::text_type* text = mime::displayable(mime::unwrap(root.get()));
    return text == nullptr ? "(none)" : mime::read(source, *text);
}

TEST(MimeTree, Displayable) {
    const std::string plain = leaf("text/plain", "plain"), html = leaf("text/html", "html"),
                      image = leaf("image/png", "png");
    const struct {
        const char* name;
        std::string message;
        std::string expected;
    } cases[] = {
        {"plain message", "\nhello", "hello"},
        {"only an image", leaf("image/png", "x"), "(none)"},
        {"alternative plain, html", multipart("alternative", "a", {plain, html}), "html\n"},
        {"alternative html, plain", multipart("alternative", "a", {html, plain}), "plain\n"},
        {"alternative plain, image", multipart("alternative", "a", {plain, image}), "plain\n"},
        {"alternative skips other text",
         multipart("alternative", "a", {plain, leaf("text/calendar", "cal")}), "plain\n"},
        {"mixed plain, html", multipart("mixed", "m", {plain, html}), "html\n"},
        {"mixed html, plain", multipart("mixed", "m", {html, plain}), "html\n"},
        {"mixed prefers plain over other text",
         multipart("mixed", "m", {leaf("text/x-vcard", "v"), plain}), "plain\n"},
        {"subtypes ignore case", multipart("alternative", "a", {plain, leaf("TEXT/HTML", "H")}),
         "H\n"},
        {"a blank before the parameters is no part of the subtype",
         multipart("alternative", "a", {plain, leaf("text/html ; charset=x", "H")}), "H\n"},
        // Nested multiparts count by their own choice.
        {"mixed holding an alternative and an attachment",
         multipart("mixed", "m", {multipart("alternative", "a", {plain, html}), image}), "html\n"},
        {"mixed: plain first, html in a nested alternative",
         multipart("mixed", "m", {plain, multipart("alternative", "a", {plain, html})}), "html\n"},
        {"mixed: nested alternative with plain only",
         multipart("mixed", "m", {image, multipart("alternative", "a", {plain})}), "plain\n"},
        {"related takes its root", multipart("related", "r", {html, image}), "html\n"},
        {"related with an image first", multipart("related", "r", {image, html}), "(none)"},
        {"signed takes its content",
         multipart("signed", "s",
                   {multipart("alternative", "a", {plain, html}),
                    leaf("application/pgp-signature", "sig")}),
         "html\n"},
        {"alternative holding a related",
         multipart("alternative", "a", {plain, multipart("related", "r", {html, image})}),
         "html\n"},
        {"digest", multipart("digest", "d", {plain}), "(none)"},
        {"forwarded message", "Content-Type: message/rfc822\n\n" + html, "html"},
        {"report carrying messages",
         multipart("report", "r",
                   {plain, "Content-Type: message/rfc822\n\n" + leaf("text/plain", "one"),
                    "Content-Type: message/rfc822\n\n" + leaf("text/html", "two")}),
         "two\n"},
        {"report without a message", multipart("report", "r", {plain}), "(none)"},
    };
    for (const auto& c : cases) EXPECT_EQ(chosen(c.message), c.expected) << c.name;
}

TEST(MimeTree, EmptyPointersAreSkipped) {
    auto* enclosing = new parts::encapsulated_type({"message", "rfc822"}, {});
    mime::tree_pointer root(enclosing);
    EXPECT_EQ(mime::unwrap(root.get()), nullptr);
    EXPECT_EQ(mime::displayable(mime::unwrap(root.get())), nullptr);
    EXPECT_EQ(mime::unwrap(nullptr), nullptr);
    EXPECT_EQ(mime::displayable(nullptr), nullptr);

    auto* mixed = new parts::multipart_type({"multipart", "mixed"}, {});
    mixed->children = {nullptr, new parts::text_type({"text", "plain"}, {}), nullptr};
    enclosing->message = mixed;
    EXPECT_EQ(mime::displayable(mime::unwrap(root.get())), mixed->children[1]);
    mime::destroy(nullptr);
}

TEST(MimeTree, DeepTreesCostNoStack) {
    // Alternating multiparts and enclosed messages, far deeper than any
    // parsed tree: freeing and choosing must not recurse per level.
    parts::generic_type* root = nullptr;
    parts::generic_type** slot = &root;
    for (int i = 0; i < 200'000; ++i) {
        if (i % 2 == 0) {
            auto* part = new parts::multipart_type({"multipart", "mixed"}, {});
            part->children = {new parts::text_type({"text", "x-other"}, {}), nullptr};
            *slot = part;
            slot = &part->children.back();
        } else {
            auto* part = new parts::encapsulated_type({"message", "rfc822"}, {});
            *slot = part;
            slot = &part->message;
        }
    }
    *slot = new parts::text_type({"text", "plain"}, {});
    EXPECT_EQ(mime::displayable(root), nullptr);
    mime::destroy(root);

    // Nested mixed parts are searched only to the nesting cap.
    root = nullptr;
    slot = &root;
    for (int i = 0; i < 100'000; ++i) {
        auto* part = new parts::multipart_type({"multipart", "mixed"}, {});
        part->children = {nullptr};
        *slot = part;
        slot = &part->children.back();
    }
    *slot = new parts::text_type({"text", "plain"}, {});
    EXPECT_EQ(mime::displayable(root), nullptr);
    mime::destroy(root);
}

TEST(MimeTree, Print) {
    quorvane::testing::recorder recorder;
    quorvane::testing::installed_callbacks installed(recorder.table());
    int cell = 0;
    ASSERT_EQ(context::create(&cell), unsigned(QVSE_OK));
    {
        context::record_pointer record;
        ASSERT_EQ(context::get(&cell, record), unsigned(QVSE_OK));
        const std::string message =
            "Content-Type: message/rfc822\n\n" +
            multipart("mixed", "m",
                      {leaf("text/plain; charset=UTF-8", "hi"),
                       leaf("application/pdf; name=\"r\xc3\xa9sum\xc3\xa9.pdf\"", "%PDF")});
        record->source = source_of(message);
        ASSERT_TRUE(mime::create(*record->source, record->root));
        record->message = mime::unwrap(record->root.get());
        record->displayable = mime::displayable(record->message);
        record->text = L"hi\n";
        mime::print(record);
    }
    ASSERT_EQ(context::destroy(&cell), unsigned(QVSE_OK));

    const auto lines = recorder.lines();
    ASSERT_EQ(lines.size(), 5u);
    const unsigned indents[] = {0, 1, 2, 3, 3};
    const std::wstring starts[] = {L"Message structure:", L"message/rfc822 @ ",
                                   L"multipart/mixed @ ", L"text/plain @ ", L"application/pdf @ "};
    const std::wstring ends[] = {L":", L"", L", unwrapped root",
                                 L", displayable, 3 characters (UTF-8)",
                                 L" (r\u00e9sum\u00e9.pdf)"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].has_context);
        EXPECT_EQ(lines[i].context, &cell);
        EXPECT_EQ(lines[i].level, unsigned(QVSE_TRACE_INFO));
        EXPECT_EQ(lines[i].facility, L"MIME");
        EXPECT_EQ(lines[i].indent, indents[i]);
        EXPECT_EQ(lines[i].text.rfind(starts[i], 0), 0u) << lines[i].text;
        EXPECT_TRUE(lines[i].text.ends_with(ends[i])) << lines[i].text;
    }
}

}  // namespace
