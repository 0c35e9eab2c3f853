#include "mime.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <sstream>
#include <vector>

#include <boost/iostreams/filtering_stream.hpp>
#include <boost/spirit/include/qi_parse.hpp>

#include "../ascii.hpp"
#include "../coding.hpp"
#include "qvse_types.h"
#include "../context/context.hpp"
#include "../locale.hpp"
#include "filters/base64.hpp"
#include "filters/quoted_printable.hpp"
#include "filters/view.hpp"
#include "grammars/comment_grammar.hpp"
#include "grammars/content_transfer_encoding_grammar.hpp"
#include "grammars/media_grammar.hpp"
#include "grammars/parameter_grammar.hpp"
#include "line_reader.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::mime {

const std::wstring& facility = lasting::make<const std::wstring>(L"MIME");

namespace {

using namespace parts;
using encoding_type = grammars::content_transfer_encoding_result;

using ascii::iequals;

enum class closure_type { next_part, closing, end_of_data };

// Reads lines up to a delimiter line of the boundary; the window covers
// every line before it, the line end before the delimiter included.
closure_type parse_closure(line_reader& reader, std::string_view boundary, window_type& window) {
    window.begin = window.end = reader.position();
    for (;;) {
        switch (reader.scan_line(boundary)) {
        case line_reader::line_kind::text:
            window.end = reader.position();
            break;
        case line_reader::line_kind::next_part:
            return closure_type::next_part;
        case line_reader::line_kind::closing:
            return closure_type::closing;
        case line_reader::line_kind::end_of_data:
            window.end = reader.position();
            return closure_type::end_of_data;
        }
    }
}

// A header field line: a name of printable characters but the colon, then
// a colon.
bool is_field_line(std::string_view line) noexcept {
    for (const char c : line) {
        if (c == ':') return true;
        if (c < '\x21' || c > '\x7E') return false;
    }
    return false;
}

enum class delimiter_kind { none, next_part, other };

// The header fields a message may still keep (a tiny line would otherwise
// cost many times its size), and whether any was passed over.
struct header_budget {
    std::size_t left = max_header_fields;
    bool cut = false;
    bool last_kept = false;  // continuations follow the fate of their field
};

// Beyond the budget a block still keeps its first content fields, which
// decide how the part is read.
bool decides_content(const header_list_type& headers, std::string_view line) {
    const std::string_view name = line.substr(0, line.find(':'));
    for (const std::string_view content : {"content-type", "content-transfer-encoding"})
        if (iequals(name, content))
            return std::none_of(headers.begin(), headers.end(), [&](const key_value_type& field) {
                return iequals(field.name, content);
            });
    return false;
}

void keep_header_line(header_list_type& headers, std::string_view line, header_budget& budget) {
    if (!line.empty() && is_space(line.front())) {
        if (budget.last_kept) append_header_line(headers, line);
        return;
    }
    budget.last_kept = budget.left > 0 || decides_content(headers, line);
    if (!budget.last_kept) {
        budget.cut = true;
        return;
    }
    if (budget.left > 0) --budget.left;
    append_header_line(headers, line);
}

// A message's own header block ends at its blank line. Inside a multipart a
// part's block also ends, before it, at a line that is neither a field nor a
// continuation, or at a delimiter of an open boundary: a part that lacks the
// blank line keeps its body and the next delimiter. Repeated delimiters of
// the innermost multipart before a part's first line are passed over, as
// mail readers do, rather than read as empty parts.
template <class DelimiterOf>
void read_headers(line_reader& reader, header_list_type& headers, header_budget& budget,
                  bool in_multipart, DelimiterOf&& delimiter_of) {
    std::string line;
    budget.last_kept = false;
    if (!in_multipart) {
        while (reader.getline(line) && !line.empty()) keep_header_line(headers, line, budget);
        return;
    }
    bool first = true;
    while (!reader.at_end_of_data()) {
        const std::string_view next = reader.peek_line();
        const bool blank = next.empty();
        if (!blank && !is_space(next.front())) {
            const delimiter_kind delimiter = delimiter_of(next);
            if (first && delimiter == delimiter_kind::next_part) {
                reader.getline(line);
                continue;
            }
            if (delimiter != delimiter_kind::none || !is_field_line(next)) return;
        }
        first = false;
        reader.getline(line);
        if (blank) return;
        keep_header_line(headers, line, budget);
    }
}

bool is_html_or_plain(const text_type& text) noexcept {
    return iequals(text.subtype, "html") || iequals(text.subtype, "plain");
}

text_type* choose(generic_type* part, std::size_t depth) noexcept {
    if (part == nullptr) return nullptr;
    if (auto* text = dynamic_cast<text_type*>(part)) return text;
    auto* multipart = dynamic_cast<multipart_type*>(part);
    if (multipart == nullptr || depth >= max_depth) return nullptr;
    const auto& children = multipart->children;
    if (iequals(multipart->subtype, "alternative")) {
        // The latest alternative wins.
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            text_type* chosen = choose(*child, depth + 1);
            if (chosen != nullptr && is_html_or_plain(*chosen)) return chosen;
        }
        return nullptr;
    }
    if (iequals(multipart->subtype, "mixed")) {
        // Each child is one candidate in document order, a nested multipart
        // by its own choice: the first html text wins, else the first plain.
        text_type* plain = nullptr;
        for (generic_type* child : children) {
            text_type* chosen = choose(child, depth + 1);
            if (chosen == nullptr) continue;
            if (iequals(chosen->subtype, "html")) return chosen;
            if (plain == nullptr && iequals(chosen->subtype, "plain")) plain = chosen;
        }
        return plain;
    }
    // related: the root, its first part; signed: the signed content.
    if ((iequals(multipart->subtype, "related") || iequals(multipart->subtype, "signed")) &&
        !children.empty())
        return choose(children.front(), depth + 1);
    return nullptr;
}

// Allocation-free fallback of destroy: repeatedly frees the last leaf found
// by walking down from the root.
void destroy_in_place(generic_type* root) noexcept {
    while (root != nullptr) {
        generic_type** slot = &root;
        for (;;) {
            generic_type* part = *slot;
            if (auto* multipart = dynamic_cast<multipart_type*>(part)) {
                while (!multipart->children.empty() && multipart->children.back() == nullptr)
                    multipart->children.pop_back();
                if (!multipart->children.empty()) {
                    slot = &multipart->children.back();
                    continue;
                }
            } else if (auto* encapsulated = dynamic_cast<encapsulated_type*>(part)) {
                if (encapsulated->message != nullptr) {
                    slot = &encapsulated->message;
                    continue;
                }
            }
            break;
        }
        delete *slot;
        *slot = nullptr;
    }
}

using part_stream_type = boost::iostreams::filtering_stream<boost::iostreams::input_seekable>;
constexpr std::streamsize stream_buffer_size = 4096;

}  // namespace

void tree_deleter::operator()(generic_type* root) const noexcept { destroy(root); }

std::istream& getline(std::istream& in, std::string& line) {
    line.clear();
    std::istream::sentry sentry(in, true);
    if (!sentry) return in;
    std::streambuf& buffer = *in.rdbuf();
    using traits = std::char_traits<char>;
    std::ios_base::iostate state = std::ios_base::goodbit;
    try {
        for (;;) {
            const traits::int_type c = buffer.sbumpc();
            if (traits::eq_int_type(c, traits::eof())) {
                // A last line without a line end is still a line.
                if (line.empty()) state |= std::ios_base::eofbit | std::ios_base::failbit;
                break;
            }
            if (c == '\n') break;
            if (c == '\r') {
                if (buffer.sgetc() == '\n') buffer.sbumpc();
                break;
            }
            line.push_back(traits::to_char_type(c));
        }
    } catch (...) {
        // A hard error ends the line at once; it propagates only when the
        // stream asks for exceptions on bad.
        if ((in.exceptions() & std::ios_base::badbit) == 0) {
            in.setstate(std::ios_base::badbit);
            return in;
        }
        try {
            in.setstate(std::ios_base::badbit);
        } catch (...) {
        }
        throw;
    }
    if (state != std::ios_base::goodbit) in.setstate(state);
    return in;
}

void append_header_line(header_list_type& headers, std::string_view line) {
    if (!line.empty() && is_space(line.front())) {
        // A continuation keeps its leading white space; before the first
        // field it has nothing to continue.
        if (!headers.empty()) headers.back().value.append(line);
        return;
    }
    const std::size_t colon = line.find(':');
    key_value_type field;
    field.name.assign(line.substr(0, colon));
    if (colon != std::string_view::npos) {
        std::size_t value = line.find_first_not_of(':', colon);
        while (value < line.size() && is_space(line[value])) ++value;
        if (value < line.size()) field.value.assign(line.substr(value));
    }
    headers.push_back(std::move(field));
}

void parse_headers(std::istream& in, header_list_type& headers) {
    std::string line;
    while (mime::getline(in, line) && !line.empty()) append_header_line(headers, line);
    // The caller may still ask for the position and seek.
    if (in.eof()) in.clear();
}

bool parse_content_type(const header_list_type& headers, media_type& media,
                        header_list_type& parameters) {
    namespace qi = boost::spirit::qi;
    const auto field = std::find_if(headers.begin(), headers.end(), [](const key_value_type& h) {
        return iequals(h.name, "content-type");
    });
    if (field == headers.end()) return false;
    const char* first = field->value.data();
    const char* const last = first + field->value.size();
    media_type parsed;
    if (!qi::phrase_parse(first, last, grammars::media_parser, grammars::skipper, parsed))
        return false;
    media = std::move(parsed);
    for (;;) {
        key_value_type parameter;
        if (!qi::phrase_parse(first, last, grammars::parameter_parser, grammars::skipper,
                              parameter))
            break;
        parameters.push_back(std::move(parameter));
    }
    return true;
}

bool parse_content_transfer_encoding(const header_list_type& headers, encoding_type& encoding) {
    namespace qi = boost::spirit::qi;
    for (const key_value_type& field : headers) {
        if (!iequals(field.name, "content-transfer-encoding")) continue;
        const char* first = field.value.data();
        encoding_type parsed{};
        if (qi::phrase_parse(first, first + field.value.size(),
                             grammars::content_transfer_encoding_parser, grammars::skipper,
                             parsed)) {
            encoding = parsed;
            return true;
        }
    }
    return false;
}

bool assign_attribute(const header_list_type& parameters, std::string_view name,
                      std::string& value) {
    for (const key_value_type& parameter : parameters) {
        if (iequals(parameter.name, name)) {
            value = parameter.value;
            return true;
        }
    }
    return false;
}

bool assign_attribute(const header_list_type& parameters, std::string_view name,
                      std::wstring& value) {
    std::string narrow;
    if (!assign_attribute(parameters, name, narrow)) return false;
    value = coding::to_wide(narrow);
    return true;
}

namespace {

// The structure pass over one message, as one forward reading of its lines:
// a function for each construct (a part's header block, an enclosed message,
// a multipart, a leaf, the delimiter that ends a window), each answering
// whether the pass goes on with a next part's header block.
class structure_parser {
public:
    structure_parser(std::istream& message, generic_type*& top,
                     const context::record_pointer& record)
        : reader_(*message.rdbuf()), slot_(&top), record_(record) {}
    structure_parser(const structure_parser&) = delete;
    structure_parser& operator=(const structure_parser&) = delete;

    void run() {
        while (part()) {
        }
    }

private:
    struct open_type {
        multipart_type* part;
        std::size_t depth;
    };

    // A part from its header block on.
    bool part() {
        header_list_type headers;
        read_headers(reader_, headers, budget_, !open_.empty(),
                     [this](std::string_view line) { return delimiter_of(line); });
        if (budget_.cut && !warned_headers_) {
            warn(L"The message has too many header fields: the rest are passed over");
            warned_headers_ = true;
        }
        header_list_type parameters;
        media_type media = content_type(headers, parameters);
        ++count_;

        const bool is_multipart = iequals(media.type, "multipart");
        const bool is_encapsulated =
            iequals(media.type, "message") && iequals(media.subtype, "rfc822");
        const bool too_deep = (is_multipart || is_encapsulated) && depth_ >= max_depth;
        if (too_deep && !warned_depth_) {
            warn(L"The message nests its parts too deeply: the deepest are read whole");
            warned_depth_ = true;
        }
        if (is_encapsulated && !too_deep) return encapsulated(std::move(media), std::move(headers));
        if (is_multipart)
            return multipart(std::move(media), std::move(headers), parameters, too_deep);
        if (iequals(media.type, "text"))
            return text(std::move(media), std::move(headers), parameters);
        return attachment(std::move(media), std::move(headers), parameters, too_deep);
    }

    // The part's content type, or the default of its place: message/rfc822
    // as the last child of a digest, else text/plain.
    media_type content_type(const header_list_type& headers, header_list_type& parameters) const {
        media_type media;
        if (parse_content_type(headers, media, parameters)) return media;
        parameters.clear();
        const bool in_digest =
            slot_is_child_ && !open_.empty() && iequals(open_.back().part->subtype, "digest");
        return in_digest ? media_type{"message", "rfc822"} : media_type{"text", "plain"};
    }

    // The enclosed message's header block follows directly.
    bool encapsulated(media_type media, header_list_type headers) {
        auto* part =
            place(std::make_unique<encapsulated_type>(std::move(media), std::move(headers)));
        slot_ = &part->message;
        slot_is_child_ = false;
        ++depth_;
        return true;
    }

    bool multipart(media_type media, header_list_type headers, const header_list_type& parameters,
                   bool too_deep) {
        auto* part = place(std::make_unique<multipart_type>(std::move(media), std::move(headers)));
        const bool bounded = assign_attribute(parameters, "boundary", part->boundary) &&
                             !part->boundary.empty() && !too_deep;
        if (!bounded) {
            part->boundary.clear();
            return leaf(part->preamble);  // its whole content is its preamble
        }
        open_.push_back({part, depth_});
        return proceed(parse_closure(reader_, part->boundary, part->preamble), &part->preamble);
    }

    bool text(media_type media, header_list_type headers, const header_list_type& parameters) {
        auto* part = place(std::make_unique<text_type>(std::move(media), std::move(headers)));
        parse_content_transfer_encoding(part->headers, part->encoding);
        assign_attribute(parameters, "charset", part->charset);
        return leaf(part->content);
    }

    // A container too deep to open is read whole, undecoded.
    bool attachment(media_type media, header_list_type headers, const header_list_type& parameters,
                    bool too_deep) {
        auto* part = place(std::make_unique<attachment_type>(std::move(media), std::move(headers)));
        if (!too_deep) parse_content_transfer_encoding(part->headers, part->encoding);
        std::wstring name;
        if (assign_attribute(parameters, "name", name)) part->name = std::move(name);
        return leaf(part->content);
    }

    // Stores a new part in the slot, which owns it from now on.
    template <class Part>
    Part* place(std::unique_ptr<Part> part) {
        Part* const placed = part.get();
        *slot_ = part.release();
        return placed;
    }

    // A leaf's window runs to the innermost open multipart's next delimiter,
    // or with none open to the end of data.
    bool leaf(window_type& window) {
        if (open_.empty()) {
            window = {reader_.position(), reader_.end()};
            return false;
        }
        return proceed(parse_closure(reader_, open_.back().part->boundary, window), &window);
    }

    // After a scan that filled `last`: on a next-part delimiter, makes the
    // slot a new child; on a closing delimiter or the end of data, closes
    // multiparts until one goes on.
    bool proceed(closure_type closure, window_type* last) {
        for (;;) {
            if (closure == closure_type::next_part) return next_child(*last);
            multipart_type* closed = open_.back().part;
            open_.pop_back();
            if (open_.empty()) {
                closed->epilogue = {reader_.position(), reader_.end()};
                return false;
            }
            closure = parse_closure(reader_, open_.back().part->boundary, closed->epilogue);
            last = &closed->epilogue;
        }
    }

    // A next-part delimiter of the innermost open multipart; beyond the cap
    // on parts the rest of the message stays in the last window.
    bool next_child(window_type& last) {
        if (count_ >= max_parts) {
            warn(L"The message has too many parts: the rest is read as one part");
            last.end = reader_.end();
            for (const open_type& entry : open_) entry.part->epilogue = {last.end, last.end};
            open_.clear();
            return false;
        }
        multipart_type* parent = open_.back().part;
        parent->children.push_back(nullptr);
        slot_ = &parent->children.back();
        slot_is_child_ = true;
        depth_ = open_.back().depth + 1;
        return true;
    }

    // Whether a line of a header block is a delimiter: of the innermost
    // open multipart announcing its next part, or of any open one.
    delimiter_kind delimiter_of(std::string_view line) const {
        const auto delimits = [&](const open_type& entry) {
            const std::string& boundary = entry.part->boundary;
            return line.size() >= boundary.size() + 2 && line.starts_with("--") &&
                   line.substr(2, boundary.size()) == boundary;
        };
        if (!open_.empty() && delimits(open_.back())) {
            const std::string_view rest = line.substr(open_.back().part->boundary.size() + 2);
            return rest.starts_with("--") ? delimiter_kind::other : delimiter_kind::next_part;
        }
        return std::any_of(open_.begin(), open_.end(), delimits) ? delimiter_kind::other
                                                                 : delimiter_kind::none;
    }

    void warn(const wchar_t* text) {
        context::trace::write(record_, QVSE_TRACE_WARNING, facility, 0, text);
    }

    line_reader reader_;
    std::vector<open_type> open_;  // the multiparts not closed yet, innermost last
    generic_type** slot_;          // where the next part is stored
    bool slot_is_child_ = false;   // the slot is the innermost open multipart's last child
    std::size_t depth_ = 0;        // of the part about to be made
    std::size_t count_ = 0;
    header_budget budget_;
    bool warned_depth_ = false;
    bool warned_headers_ = false;
    const context::record_pointer& record_;
};

}  // namespace

bool create(std::istream& message, tree_pointer& root, const context::record_pointer& record) {
    if (root) return false;
    // Whatever happens, the parts made so far end up in root.
    generic_type* top = nullptr;
    struct commit_type {
        tree_pointer& root;
        generic_type*& top;
        ~commit_type() { root.reset(top); }
    } commit{root, top};
    structure_parser(message, top, record).run();
    return true;
}

void destroy(generic_type* root) noexcept {
    if (root == nullptr) return;
    // The part in hand keeps its children until they are on the work list,
    // so each subtree not freed yet is whole: the one in hand, or one waiting.
    std::vector<generic_type*> work;
    generic_type* part = root;
    try {
        work.push_back(root);
        while (!work.empty()) {
            part = work.back();
            work.pop_back();
            if (part == nullptr) continue;
            if (auto* encapsulated = dynamic_cast<encapsulated_type*>(part)) {
                work.push_back(encapsulated->message);
                encapsulated->message = nullptr;
            } else if (auto* multipart = dynamic_cast<multipart_type*>(part)) {
                work.insert(work.end(), multipart->children.begin(), multipart->children.end());
                multipart->children.clear();
            }
            delete part;
            part = nullptr;
        }
    } catch (const std::bad_alloc&) {
        destroy_in_place(part);
        for (generic_type* waiting : work) destroy_in_place(waiting);
    }
}

generic_type* unwrap(generic_type* part) noexcept {
    while (part != nullptr) {
        if (auto* encapsulated = dynamic_cast<encapsulated_type*>(part)) {
            part = encapsulated->message;
            continue;
        }
        auto* multipart = dynamic_cast<multipart_type*>(part);
        if (multipart == nullptr || !iequals(multipart->subtype, "report")) break;
        encapsulated_type* returned = nullptr;
        for (generic_type* child : multipart->children)
            if (auto* encapsulated = dynamic_cast<encapsulated_type*>(child))
                returned = encapsulated;
        if (returned == nullptr) break;
        part = returned;
    }
    return part;
}

text_type* displayable(generic_type* part) noexcept { return choose(part, 0); }

void print(const context::record_pointer& record) {
    if (!context::trace::enabled(record)) return;  // the lines would go nowhere
    context::trace::write(record, QVSE_TRACE_INFO, facility, 0, L"Message structure:");
    std::vector<std::pair<unsigned, const generic_type*>> stack;
    if (record->root) stack.emplace_back(1, record->root.get());
    while (!stack.empty()) {
        const auto [indent, part] = stack.back();
        stack.pop_back();
        if (part == nullptr) continue;
        std::wostringstream line;
        line.imbue(std::locale::classic());
        line << coding::to_wide(part->type) << L'/' << coding::to_wide(part->subtype) << L" @ "
             << static_cast<const void*>(part);
        if (part == record->message && record->message != record->root.get())
            line << L", unwrapped root";
        if (part == record->displayable)
            line << L", displayable, " << record->text.size() << L" characters ("
                 << coding::to_wide(record->displayable->charset) << L')';
        if (auto* attachment = dynamic_cast<const attachment_type*>(part);
            attachment != nullptr && attachment->name)
            line << L" (" << *attachment->name << L')';
        context::trace::write(record, QVSE_TRACE_INFO, facility, indent, line.str());
        if (auto* multipart = dynamic_cast<const multipart_type*>(part)) {
            for (auto child = multipart->children.rbegin(); child != multipart->children.rend();
                 ++child)
                stack.emplace_back(indent + 1, *child);
        } else if (auto* encapsulated = dynamic_cast<const encapsulated_type*>(part)) {
            stack.emplace_back(indent + 1, encapsulated->message);
        }
    }
}

std::unique_ptr<std::istream> open(const source_pointer& source, const window_type& window,
                                   encoding_type encoding) {
    auto stream = std::make_unique<part_stream_type>();
    switch (encoding) {
    case encoding_type::base64:
        stream->push(filters::base64{}, stream_buffer_size);
        break;
    case encoding_type::quoted_printable:
        stream->push(filters::quoted_printable{}, stream_buffer_size);
        break;
    case encoding_type::identity:
        break;
    }
    stream->push(filters::view(source, window), stream_buffer_size);
    stream->unsetf(std::ios_base::skipws);
    stream->exceptions(std::ios_base::badbit);
    return stream;
}

std::unique_ptr<std::istream> open(const source_pointer& source, const generic_type& part) {
    if (auto* text = dynamic_cast<const text_type*>(&part))
        return open(source, text->content, text->encoding);
    if (auto* attachment = dynamic_cast<const attachment_type*>(&part))
        return open(source, attachment->content, attachment->encoding);
    return nullptr;
}

namespace {

// The encoded size: none of the transfer encodings makes content longer.
std::size_t encoded_size(const generic_type& part) noexcept {
    const window_type* window = nullptr;
    if (auto* text = dynamic_cast<const text_type*>(&part))
        window = &text->content;
    else if (auto* attachment = dynamic_cast<const attachment_type*>(&part))
        window = &attachment->content;
    return window != nullptr && window->length() > 0 ? static_cast<std::size_t>(window->length())
                                                     : 0;
}

}  // namespace

std::string read(const source_pointer& source, const generic_type& part) {
    std::string content;
    const auto stream = open(source, part);
    if (!stream) return content;
    constexpr std::size_t block = 16384;
    // Read straight into the result, sized once for the usual case.
    content.reserve(encoded_size(part) + 1);
    std::size_t length = 0;
    for (;;) {
        if (content.size() < length + block)
            content.resize(std::max(content.capacity(), length + block));
        stream->read(content.data() + length,
                     static_cast<std::streamsize>(content.size() - length));
        const auto got = static_cast<std::size_t>(stream->gcount());
        length += got;
        if (got == 0 || !*stream) break;
    }
    content.resize(length);
    return content;
}

}  // namespace quorvane::engine::mime
