// The host's stream_read callback as a seekable input device. The device
// learns the size of the host's message only by asking for it.
#pragma once

#include <cstdint>
#include <ios>

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/positioning.hpp>

namespace quorvane::engine::mime::devices {

class callback {
public:
    using char_type = char;
    struct category : boost::iostreams::input_seekable, boost::iostreams::device_tag {};

    // The stream_read slot must be set: binding checks it once.
    explicit callback(void* handle) noexcept : handle_(handle) {}

    // Bytes delivered, or -1 once the host has nothing at the position.
    std::streamsize read(char* out, std::streamsize count);
    std::streampos seek(boost::iostreams::stream_offset offset, std::ios_base::seekdir direction);

private:
    // Asks the host for everything after the known length until it answers
    // that there is no more.
    void probe();
    bool ask(std::int64_t offset, std::int64_t max_length, const char*& data, std::int64_t& length);

    void* handle_;
    std::int64_t position_ = 0;
    std::int64_t known_length_ = 0;  // the furthest offset delivered so far
    bool end_reached_ = false;
};

}  // namespace quorvane::engine::mime::devices
