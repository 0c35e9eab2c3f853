// Untrusted message bytes through the MIME reader: header fields and both
// header-value grammars, the structure pass, the choosers, the structure
// report, and both decoders over every leaf and over the whole input.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include "context/context.hpp"
#include "mime/mime.hpp"

namespace {

namespace io = boost::iostreams;
namespace mime = quorvane::engine::mime;
namespace parts = mime::parts;
using encoding = mime::grammars::content_transfer_encoding_result;

std::size_t drain(std::istream& in) {
    char block[4096];
    std::size_t total = 0;
    while (in.read(block, sizeof block) || in.gcount() > 0)
        total += static_cast<std::size_t>(in.gcount());
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);

    // Header fields and grammars on their own.
    {
        std::istringstream in(std::string(bytes, size));
        mime::header_list_type headers;
        mime::parse_headers(in, headers);
        mime::media_type media;
        mime::header_list_type parameters;
        mime::parse_content_type(headers, media, parameters);
        encoding which{};
        mime::parse_content_transfer_encoding(headers, which);
        std::wstring name;
        mime::assign_attribute(parameters, "name", name);
    }

    // The message as the engine binds a buffer: a memory source, not copied.
    auto stream = std::make_shared<io::filtering_stream<io::input_seekable>>();
    stream->push(io::array_source(bytes, size));
    const mime::source_pointer source = stream;

    auto record = std::make_shared<quorvane::engine::context::record_type>(nullptr);
    record->source = source;
    if (!mime::create(*source, record->root)) __builtin_trap();
    record->message = mime::unwrap(record->root.get());
    record->displayable = mime::displayable(record->message);
    mime::print(record);

    std::size_t parts_seen = 0;
    std::vector<const parts::generic_type*> stack{record->root.get()};
    while (!stack.empty()) {
        const parts::generic_type* part = stack.back();
        stack.pop_back();
        if (part == nullptr) __builtin_trap();  // a completed pass leaves no empty slot
        ++parts_seen;
        if (auto content = mime::open(source, *part)) drain(*content);
        if (auto* multipart = dynamic_cast<const parts::multipart_type*>(part)) {
            for (const parts::generic_type* child : multipart->children) stack.push_back(child);
            drain(*mime::open(source, multipart->preamble));
            drain(*mime::open(source, multipart->epilogue));
        } else if (auto* encapsulated = dynamic_cast<const parts::encapsulated_type*>(part)) {
            stack.push_back(encapsulated->message);
        }
    }
    if (parts_seen > mime::max_parts) __builtin_trap();

    // Both decoders over the whole input; neither may produce more bytes
    // than it reads.
    const mime::window_type all{0, static_cast<std::int64_t>(size)};
    if (drain(*mime::open(source, all, encoding::base64)) > size * 3 / 4) __builtin_trap();
    if (drain(*mime::open(source, all, encoding::quoted_printable)) > size) __builtin_trap();
    return 0;
}
