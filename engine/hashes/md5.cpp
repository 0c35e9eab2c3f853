#include "md5.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace quorvane::engine::hashes {

namespace md5 {

namespace {

constexpr std::array<std::uint32_t, 64> sines{
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr std::array<int, 16> shifts{7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

// The four rounds written out: the round function, message word and shift of
// every step are constants, so the compiler keeps all of it in registers.
template <int Round, int Step>
inline void step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 const std::array<std::uint32_t, 16>& block) noexcept {
    constexpr int i = Round * 16 + Step;
    std::uint32_t f;
    int word;
    if constexpr (Round == 0) {
        f = (b & c) | (~b & d);
        word = i;
    } else if constexpr (Round == 1) {
        f = (d & b) | (~d & c);
        word = (5 * i + 1) % 16;
    } else if constexpr (Round == 2) {
        f = b ^ c ^ d;
        word = (3 * i + 5) % 16;
    } else {
        f = c ^ (b | ~d);
        word = (7 * i) % 16;
    }
    a = b + std::rotl(a + f + sines[i] + block[word], shifts[Round * 4 + Step % 4]);
}

template <int Round, int... Quads>
inline void round(std::array<std::uint32_t, 4>& v, const std::array<std::uint32_t, 16>& block,
                  std::integer_sequence<int, Quads...>) noexcept {
    // Each group of four steps rotates the roles of a, b, c and d once.
    ((step<Round, 4 * Quads + 0>(v[0], v[1], v[2], v[3], block),
      step<Round, 4 * Quads + 1>(v[3], v[0], v[1], v[2], block),
      step<Round, 4 * Quads + 2>(v[2], v[3], v[0], v[1], block),
      step<Round, 4 * Quads + 3>(v[1], v[2], v[3], v[0], block)),
     ...);
}

}  // namespace

void block_hash_type::encypher_block(const std::array<std::uint32_t, 16>& block) noexcept {
    std::array<std::uint32_t, 4> v = state;
    constexpr auto quads = std::make_integer_sequence<int, 4>{};
    round<0>(v, block, quads);
    round<1>(v, block, quads);
    round<2>(v, block, quads);
    round<3>(v, block, quads);
    for (unsigned i = 0; i < 4; ++i) state[i] += v[i];
}

}  // namespace md5

void stream_preprocessor::hash_block(const std::uint8_t* block) noexcept {
    std::array<std::uint32_t, 16> words;
    for (unsigned i = 0; i < 16; ++i) {
        const std::uint8_t* p = block + 4 * i;
        words[i] = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                   std::uint32_t(p[3]) << 24;
    }
    hash_.encypher_block(words);
}

void stream_preprocessor::flush() noexcept {
    hash_block(buffer_.data());
    used_ = 0;
}

void stream_preprocessor::update_n(const std::uint8_t* bytes, std::size_t count) noexcept {
    bits_ += std::uint64_t(count) * 8;
    if (used_ != 0) {
        const std::size_t take = std::min(count, buffer_.size() - used_);
        std::memcpy(buffer_.data() + used_, bytes, take);
        used_ += take;
        bytes += take;
        count -= take;
        if (used_ == buffer_.size()) flush();
    }
    // Whole blocks straight from the input.
    for (; count >= 64; bytes += 64, count -= 64) hash_block(bytes);
    if (count != 0) {
        std::memcpy(buffer_.data(), bytes, count);
        used_ = count;
    }
}

digest stream_preprocessor::end_message() noexcept {
    const std::uint64_t length = bits_;
    buffer_[used_++] = 0x80;
    if (used_ > 56) {
        std::fill(buffer_.begin() + used_, buffer_.end(), 0);
        flush();
    }
    std::fill(buffer_.begin() + used_, buffer_.begin() + 56, 0);
    for (unsigned i = 0; i < 8; ++i) buffer_[56 + i] = std::uint8_t(length >> (8 * i));
    flush();

    digest result;
    for (unsigned i = 0; i < 4; ++i)
        for (unsigned j = 0; j < 4; ++j)
            result.bytes[4 * i + j] = std::uint8_t(hash_.state[i] >> (8 * j));
    *this = stream_preprocessor{};
    return result;
}

digest md5_of(const void* bytes, std::size_t count) noexcept {
    stream_preprocessor preprocessor;
    preprocessor.update_n(static_cast<const std::uint8_t*>(bytes), count);
    return preprocessor.end_message();
}

}  // namespace quorvane::engine::hashes
