// The MIME reader: header lines and fields, the one-pass structure parser
// that turns a message source into a part tree, the choosers that pick the
// message and the part a user sees, the decoding streams over parts, and the
// binding of a message to a context (the entries mime::bind_buffer,
// bind_file and bind_stream are declared by entry_table.hpp).
#pragma once

#include <cstddef>
#include <istream>
#include <memory>
#include <string>

#include "forward.hpp"
#include "parts/parts.hpp"
#include "types.hpp"

namespace quorvane::engine::context {
struct record_type;
using record_pointer = std::shared_ptr<record_type>;
}  // namespace quorvane::engine::context

namespace quorvane::engine::mime {

extern const std::wstring& facility;

// The structure pass stops making parts beyond these: the rest of the message
// stays inside the last window (too many parts), or a container is kept
// whole as one leaf (too deep).
inline constexpr std::size_t max_parts = 10'000;
inline constexpr std::size_t max_depth = 64;
// Nor does it keep more header fields than this in the whole message: the
// rest are read and passed over, but for the first content fields of a block.
inline constexpr std::size_t max_header_fields = 10'000;

// One line without its line end (CR LF, a lone CR or a lone LF). A last line
// without a line end is a good line; with nothing left the stream fails.
std::istream& getline(std::istream& in, std::string& line);

// A header block up to and including the blank line that ends it, or to the
// end of data (the stream's state is then cleared).
void parse_headers(std::istream& in, header_list_type& headers);

// Adds one header line to a header list: a line starting with white space
// continues the previous field.
void append_header_line(header_list_type& headers, std::string_view line);

// The first content-type field only. False when there is none or its media
// type does not parse; parameters after the first bad one are absent.
bool parse_content_type(const header_list_type& headers, media_type& media,
                        header_list_type& parameters);

// The first content-transfer-encoding field that parses decides; false
// (and identity) when none does.
bool parse_content_transfer_encoding(const header_list_type& headers,
                                     grammars::content_transfer_encoding_result& encoding);

// The first parameter of that name (ASCII case-insensitive); the output is
// untouched when there is none. The wide form decodes UTF-8, skipping invalid
// sequences.
bool assign_attribute(const header_list_type& parameters, std::string_view name,
                      std::string& value);
bool assign_attribute(const header_list_type& parameters, std::string_view name,
                      std::wstring& value);

// One forward pass over the message into root, without recursion and
// without copying any body. False only when root already holds a part.
// Stream exceptions pass through, leaving the parts built so far in root.
// Warnings about the caps go to the record's trace (or the engine's).
bool create(std::istream& message, tree_pointer& root,
            const context::record_pointer& record = nullptr);

// Frees a tree without recursion.
void destroy(parts::generic_type* root) noexcept;

// The message a user sees when the message only wraps another one: through
// message/rfc822 parts and to the last message carried by a multipart/report.
parts::generic_type* unwrap(parts::generic_type* part) noexcept;

// The text part whose text is scanned, or null. Alternatives prefer the last
// html or plain text; mixed prefers the first html text, then the first
// plain text, counting nested multiparts by their own choice; related and
// signed take their first child.
parts::text_type* displayable(parts::generic_type* part) noexcept;

// Binds a message stream to the context named by handle (the three binding
// entries wrap their byte source and call this): parses it, chooses the
// displayable part and extracts its text, links and word index, reporting
// each text stage and each new link to the host. A context holds at most one
// message: once the structure pass has succeeded, the message stays bound
// whatever happens after.
unsigned bind_source(void* handle, const source_pointer& message);

// Traces the record's tree, one line per part.
void print(const context::record_pointer& record);

// A new stream of the decoded bytes of a window of the source. It holds a
// reference to the source, seeks it before every read, and throws on stream
// failures. Seeking it back to 0 restarts decoding.
std::unique_ptr<std::istream> open(const source_pointer& source, const window_type& window,
                                   grammars::content_transfer_encoding_result encoding =
                                       grammars::content_transfer_encoding_result::identity);

// The decoded content of a text or attachment part; null for other parts.
std::unique_ptr<std::istream> open(const source_pointer& source, const parts::generic_type& part);

// The whole decoded content of a text or attachment part (empty for others).
std::string read(const source_pointer& source, const parts::generic_type& part);

}  // namespace quorvane::engine::mime
