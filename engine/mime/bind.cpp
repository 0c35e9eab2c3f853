// Binding: attaches one message to a context and extracts what the later
// calls work on: the part tree, the scanned part's text without its links
// (normalised and case-folded), the links, and the word index.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <set>

#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/device/file_descriptor.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include "../ascii.hpp"
#include "../callbacks.hpp"
#include "../coding.hpp"
#include "../context/context.hpp"
#include "../entry_table.hpp"
#include "../frame.hpp"
#include "../html/html.hpp"
#include "../locale.hpp"
#include "../uri/finder.hpp"
#include "devices/callback.hpp"
#include "mime.hpp"
#include "qvse_types.h"

namespace quorvane::engine::mime {

namespace {

using ascii::iequals;
namespace io = boost::iostreams;
using message_stream_type = io::filtering_stream<io::input_seekable>;

// Every stage is valid text: the decoded text is made so, and cutting links
// out, the HTML conversion, normalisation and folding make valid text of
// valid text.
void report_valid_stage(const context::record_type& record, std::uint32_t stage,
                        const std::wstring& text) {
    const auto slot = callbacks.text_stage;
    if (slot == nullptr) return;
    slot(record.handle, stage, text.c_str(), text.size());
}

void report_uri(const context::record_type& record, std::uint32_t source, const std::wstring& uri) {
    const auto slot = callbacks.uri_found;
    if (slot == nullptr) return;
    locale::with_valid(uri, [&](const std::wstring& valid) {
        slot(record.handle, source, valid.c_str(), valid.size());
    });
}

// Step 6 of binding: the displayable text through its stages. False (after
// tracing why) when the HTML or link scan did not consume the whole text.
bool extract_text(const context::record_pointer& record) {
    const parts::text_type& part = *record->displayable;
    auto decoded = coding::decode(read(record->source, part), part.charset);
    if (!decoded.charset_known) {
        // An unknown charset must not let a message slip past the filter.
        context::trace::write(record, QVSE_TRACE_WARNING, facility, 0,
                              L"Unknown charset \"" + coding::to_wide(part.charset) +
                                  L"\": the text is read as " + coding::to_wide(decoded.read_as));
    }
    record->text = std::move(decoded.text);
    if (!locale::is_valid(record->text)) locale::sanitize(record->text);

    if (iequals(part.subtype, "html")) {
        report_valid_stage(*record, QVSE_TEXT_HTML, record->text);
        std::wstring plain;
        if (!html::convert(record->text, plain, record->uris)) {
            context::trace::write(record, QVSE_TRACE_WARNING, facility, 0,
                                  L"HTML conversion failed");
            return false;
        }
        record->text = std::move(plain);
        for (const auto& uri : record->uris) report_uri(*record, QVSE_TEXT_HTML, uri);
    }
    report_valid_stage(*record, QVSE_TEXT_PLAIN, record->text);

    std::set<std::wstring> found;
    if (!uri::extract(record->text, found)) {
        context::trace::write(record, QVSE_TRACE_WARNING, facility, 0, L"URI extraction failed");
        return false;
    }
    // A link the markup gave already has been reported with its source. The
    // others move into the record's set, node by node, without a copy: a
    // message may carry thousands.
    if (record->uris.empty()) {
        record->uris.swap(found);
        for (const auto& uri : record->uris) report_uri(*record, QVSE_TEXT_PLAIN, uri);
    } else {
        while (!found.empty()) {
            const auto result = record->uris.insert(found.extract(found.begin()));
            if (result.inserted) report_uri(*record, QVSE_TEXT_PLAIN, *result.position);
        }
    }
    report_valid_stage(*record, QVSE_TEXT_URIS_REMOVED, record->text);
    // A text made mostly of links keeps the room they took for as long as the
    // context lives; it goes back before the folded text and the word index
    // are made, which can then take its place.
    if (const std::size_t unused = record->text.capacity() - record->text.size();
        unused >= record->text.size() / 4 && unused * sizeof(wchar_t) >= 64 * 1024)
        record->text.shrink_to_fit();

    locale::normalize_in_place(record->text);
    report_valid_stage(*record, QVSE_TEXT_NORMALIZED, record->text);
    record->folded = locale::fold_case(record->text);
    report_valid_stage(*record, QVSE_TEXT_FOLDED, record->folded);

    if (!record->folded.empty()) record->words = locale::index_words(record->folded);
    return true;
}

// A regular file only: a FIFO or device could block binding forever or
// cannot be seeked, and a directory has no bytes. Non-blocking, so opening a
// FIFO does not wait for a writer.
int open_message_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

unsigned bind_source(void* handle, const source_pointer& message) {
    context::record_pointer record;
    if (const unsigned found = context::get(handle, record); found != QVSE_OK) return found;
    std::lock_guard lock(record->mutex);
    if (record->source) return QVSE_E_MESSAGE_BOUND;

    if (!create(*message, record->root, record)) {
        context::trace::write(record, QVSE_TRACE_WARNING, facility, 0, L"Unable to parse source");
        return QVSE_E_FAILED;
    }
    record->source = message;
    record->message = unwrap(record->root.get());
    record->displayable = displayable(record->message);

    if (record->displayable != nullptr && iequals(record->displayable->type, "text") &&
        !extract_text(record))
        return QVSE_E_FAILED;

    print(record);
    return QVSE_OK;
}

unsigned bind_buffer(void* handle, const char* data, std::size_t length) {
    return frame(facility, [&]() -> unsigned {
        if (data == nullptr) return QVSE_E_INVALID_ARGUMENT;
        // The caller's block, not a copy: it outlives the context.
        auto stream = std::make_shared<message_stream_type>();
        stream->push(io::array_source(data, length));
        return bind_source(handle, stream);
    });
}

unsigned bind_file(void* handle, const char* path, std::size_t path_length) {
    return frame(facility, [&]() -> unsigned {
        if (path == nullptr) return QVSE_E_INVALID_ARGUMENT;
        // An unknown handle is told before the file is looked at.
        context::record_pointer record;
        if (const unsigned found = context::get(handle, record); found != QVSE_OK) return found;
        record.reset();
        const int fd = open_message_file(std::string(path, path_length));
        if (fd < 0) return QVSE_E_NOT_FOUND;
        std::optional<io::file_descriptor_source> file;
        try {
            file.emplace(fd, io::close_handle);
        } catch (...) {
            ::close(fd);
            throw;
        }
        auto stream = std::make_shared<message_stream_type>();
        stream->push(std::move(*file));
        return bind_source(handle, stream);
    });
}

unsigned bind_stream(void* handle) {
    return frame(facility, [&]() -> unsigned {
        if (callbacks.stream_read == nullptr) return QVSE_E_INVALID_ARGUMENT;
        auto stream = std::make_shared<message_stream_type>();
        stream->push(devices::callback(handle));
        return bind_source(handle, stream);
    });
}

}  // namespace quorvane::engine::mime
