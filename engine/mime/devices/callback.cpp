#include "callback.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "../../callbacks.hpp"
#include "../../principal/trace.hpp"
#include "../mime.hpp"

namespace quorvane::engine::mime::devices {

bool callback::ask(std::int64_t offset, std::int64_t max_length, const char*& data,
                   std::int64_t& length) {
    data = nullptr;
    length = 0;
    try {
        return callbacks.stream_read(handle_, offset, max_length, &data, &length);
    } catch (...) {
        principal::trace::current_exception(QVSE_TRACE_ERROR, facility, 0);
        throw;
    }
}

std::streamsize callback::read(char* out, std::streamsize count) {
    const char* data;
    std::int64_t length;
    if (!ask(position_, count, data, length)) {
        end_reached_ = true;
        return -1;
    }
    if (length < 0) throw std::ios_base::failure("stream_read gave a negative length");
    const std::int64_t taken = std::min<std::int64_t>(length, count);
    if (taken == 0) return 0;
    if (data == nullptr) throw std::ios_base::failure("stream_read gave no data");
    std::memcpy(out, data, static_cast<std::size_t>(taken));
    position_ += taken;
    known_length_ = std::max(known_length_, position_);
    return static_cast<std::streamsize>(taken);
}

void callback::probe() {
    for (;;) {
        const char* data;
        std::int64_t length;
        // A host that answers true with nothing has ended its data too, so
        // a careless host cannot keep the probe running in place.
        if (!ask(known_length_, -1, data, length) || length == 0) break;
        if (length < 0) throw std::ios_base::failure("stream_read gave a negative length");
        if (length > std::numeric_limits<std::int64_t>::max() - known_length_)
            throw std::ios_base::failure("stream_read gave an impossible length");
        known_length_ += length;
    }
    end_reached_ = true;
}

std::streampos callback::seek(boost::iostreams::stream_offset offset,
                              std::ios_base::seekdir direction) {
    std::int64_t target = 0;
    switch (direction) {
    case std::ios_base::end:
        if (!end_reached_) probe();
        target = known_length_ + offset;
        break;
    case std::ios_base::cur:
        if (known_length_ < position_ + offset) probe();
        target = position_ + offset;
        break;
    case std::ios_base::beg:
        if (known_length_ < offset) probe();
        target = offset;
        break;
    default:
        throw std::ios_base::failure("bad seek direction");
    }
    if (target < 0 || target > known_length_) throw std::ios_base::failure("bad seek offset");
    position_ = target;
    return boost::iostreams::offset_to_position(position_);
}

}  // namespace quorvane::engine::mime::devices
