// RFC 1321 MD5. A preprocessor is a plain value: copying it copies the running
// state, so a common prefix can be digested once and continued twice.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace quorvane::engine::hashes {

// A 128-bit digest: the 16 bytes callers encode or send.
struct digest {
    std::array<std::uint8_t, 16> bytes{};
    friend auto operator<=>(const digest&, const digest&) = default;
};

namespace md5 {

// The four chaining words and the block function.
struct block_hash_type {
    std::array<std::uint32_t, 4> state{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    void encypher_block(const std::array<std::uint32_t, 16>& block) noexcept;
};

}  // namespace md5

// Buffers bytes into 64-byte blocks for a block hash; the words of a block
// are taken least significant byte first.
class stream_preprocessor {
public:
    void update_n(const std::uint8_t* bytes, std::size_t count) noexcept;
    void update_n(const char* bytes, std::size_t count) noexcept {
        update_n(reinterpret_cast<const std::uint8_t*>(bytes), count);
    }

    // Any byte iterator, such as one over a sequence of network buffers.
    template <class Iterator>
    void update_n(Iterator first, std::size_t count) {
        for (; count != 0; --count, ++first) put(static_cast<std::uint8_t>(*first));
    }

    // Reads until the end of an input sequence.
    template <class Iterator>
    void update(Iterator first, Iterator last) {
        for (; first != last; ++first) put(static_cast<std::uint8_t>(*first));
    }

    // Pads, hashes the final blocks and returns the digest; the preprocessor
    // then starts over for a next message.
    digest end_message() noexcept;

private:
    void put(std::uint8_t byte) noexcept {
        buffer_[used_++] = byte;
        bits_ += 8;
        if (used_ == buffer_.size()) flush();
    }
    void flush() noexcept;
    void hash_block(const std::uint8_t* block) noexcept;

    std::array<std::uint8_t, 64> buffer_{};
    std::size_t used_ = 0;
    std::uint64_t bits_ = 0;
    md5::block_hash_type hash_;
};

// Convenience for a single contiguous message.
digest md5_of(const void* bytes, std::size_t count) noexcept;

}  // namespace quorvane::engine::hashes
