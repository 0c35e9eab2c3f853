#include "html.hpp"

#include <algorithm>

#include "../ascii.hpp"
#include "../locale.hpp"
#include "grammars/sax.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::html {

namespace {

using grammars::range_type;
using grammars::tag_type;

// HTML's white space: tab, LF, VT, FF, CR and space, whatever the locale says.
constexpr bool is_space(wchar_t c) noexcept { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

enum class tag_kind { other, body, br, p, hiding, script, a, img };

// Names compare after full case folding, so "BODY" and "\u017Ftyle" (long s)
// count; every name that matters folds to at most six ASCII letters, so an
// ASCII name is folded in place, without allocating.
class folded_name {
public:
    explicit folded_name(range_type name) {
        const bool ascii =
            std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= 0 && c < 0x80; });
        if (!ascii) {
            other_ = locale::fold_case({name.begin(), name.end()});
            view_ = other_;
        } else if (name.size() <= longest) {
            std::transform(name.begin(), name.end(), ascii_, ascii::lower<wchar_t>);
            view_ = {ascii_, name.size()};
        }
    }
    folded_name(const folded_name&) = delete;
    folded_name& operator=(const folded_name&) = delete;

    std::wstring_view view() const noexcept { return view_; }

private:
    static constexpr std::size_t longest = 6;
    wchar_t ascii_[longest];
    std::wstring other_;
    std::wstring_view view_;
};

tag_kind classify(range_type name) {
    const folded_name folded(name);
    const std::wstring_view view = folded.view();
    if (view == L"body") return tag_kind::body;
    if (view == L"br") return tag_kind::br;
    if (view == L"p") return tag_kind::p;
    if (view == L"style") return tag_kind::hiding;
    if (view == L"script") return tag_kind::script;
    if (view == L"a") return tag_kind::a;
    if (view == L"img") return tag_kind::img;
    // "meta" is a void element: it neither hides nor shows text.
    return tag_kind::other;
}

// A numeric reference may name a surrogate or a value beyond Unicode.
wchar_t to_character(char32_t code_point) {
    const auto c = static_cast<wchar_t>(code_point);
    return code_point <= 0x10FFFF && locale::is_scalar_value(c) ? c : locale::replacement_character;
}

const grammars::entity_grammar<grammars::iterator_type>& value_entity =
    lasting::make<const grammars::entity_grammar<grammars::iterator_type>>();

// An attribute value as the page means it: character references decoded, any
// other "&" kept.
std::wstring decoded(range_type value) {
    std::wstring out;
    out.reserve(value.size());
    for (auto at = value.begin(); at != value.end();) {
        char32_t code_point = 0;
        if (*at == L'&' && boost::spirit::qi::parse(at, value.end(), value_entity, code_point))
            out.push_back(to_character(code_point));
        else
            out.push_back(*at++);
    }
    return out;
}

struct converter_type {
    converter_type(std::wstring& output, std::set<std::wstring>& links)
        : output(output), links(links) {}

    std::wstring& output;
    std::set<std::wstring>& links;
    bool emitting = true;
    bool body_seen = false;
    bool last_was_space = false;

    void write(wchar_t c) {
        if (!emitting) return;
        const bool space = is_space(c);
        if (!space)
            output.push_back(c);
        else if (!last_was_space)
            output.push_back(L' ');
        last_was_space = space;
    }

    void write_break(std::wstring_view line_ends) {
        if (!emitting) return;
        output.append(line_ends);
        last_was_space = true;
    }

    // As write for each character, a stretch at a time.
    void text(range_type run) {
        if (!emitting) return;
        for (auto at = run.begin(); at != run.end();) {
            if (is_space(*at)) {
                if (!last_was_space) output.push_back(L' ');
                last_was_space = true;
                while (++at != run.end() && is_space(*at)) {
                }
                continue;
            }
            const auto stretch = at;
            while (++at != run.end() && !is_space(*at)) {
            }
            output.append(&*stretch, static_cast<std::size_t>(at - stretch));
            last_was_space = false;
        }
    }
    void entity(char32_t code_point) { write(to_character(code_point)); }
    void skip(wchar_t c) { write(c); }

    void collect(const tag_type& tag, std::wstring_view attribute_name) {
        for (const auto& attribute : tag.attributes)
            if (attribute.value && folded_name(attribute.name).view() == attribute_name)
                links.insert(decoded(*attribute.value));
    }

    void tag(const tag_type& tag, bool open, bool close) {
        switch (classify(tag.name)) {
        case tag_kind::body:
            // Read as a browser shows it: the first start discards the head
            // before it; a self-closing slash, an end tag and a second body
            // hide nothing.
            if (open && !body_seen) {
                output.clear();
                emitting = body_seen = true;
                last_was_space = false;
            }
            break;
        case tag_kind::br:
            if (open) write_break(L"\r\n");
            break;
        case tag_kind::p:
            if (open) write_break(L"\r\n\r\n");
            break;
        case tag_kind::script:
            collect(tag, L"src");
            [[fallthrough]];
        case tag_kind::hiding:
            if (open) emitting = false;
            if (close) emitting = true;
            break;
        case tag_kind::a:
            collect(tag, L"href");
            break;
        case tag_kind::img:
            collect(tag, L"src");
            break;
        case tag_kind::other:
            break;
        }
    }
};

const sax_grammar<converter_type>& html_sax_parser =
    lasting::make<const sax_grammar<converter_type>>();

}  // namespace

bool convert(std::wstring_view input, std::wstring& output, std::set<std::wstring>& links) {
    output.clear();
    output.reserve(input.size());
    converter_type converter(output, links);
    auto first = input.data();
    const auto last = input.data() + input.size();
    const bool matched =
        boost::spirit::qi::parse(first, last, html_sax_parser(boost::phoenix::ref(converter)));
    return matched && first == last;
}

}  // namespace quorvane::engine::html
