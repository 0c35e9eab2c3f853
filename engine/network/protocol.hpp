// The classification-server wire format: the 16-byte header, big-endian
// base-128 integers, the RC4 keystream and the request key and MAC.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "../hashes/md5.hpp"

namespace quorvane::engine::network::protocol {

inline constexpr std::size_t header_size = 16;
inline constexpr std::size_t id_size = 10;
inline constexpr std::size_t rc4_drop = 4096;

struct header_type {
    enum operation_type : std::uint8_t {
        probe = 0,
        lookup = 2,
        touch = 3,
        report = 4,
        revoke = 5,
    };
    enum status_type : std::int32_t {
        ok = 0,
        malformed_request = 1,
        invalid_credentials = 2,
        payload_too_large = 3,
    };
    using id_type = std::array<std::uint8_t, id_size>;

    std::array<char, 3> magic{'V', 'K', 'P'};
    std::uint8_t version = 3;
    bool response = false;
    bool encrypted = false;
    std::uint8_t type = probe;  // three bits on the wire; 1, 6 and 7 are unknown
    std::int32_t status = ok;   // three bits on the wire
    std::uint8_t attempt = 0;   // compared as a signed byte
    id_type id{};

    // A request header of this operation with a fresh random id.
    void initialize(operation_type operation, bool encrypt);
};

// Appends the 16 wire bytes of the header.
bool encode(std::string& out, const header_type& header);
// Reads a header from the front of in and advances past it; false on a short
// header, a wrong magic or a version other than 3.
bool decode(std::span<const std::uint8_t>& in, header_type& header);

// Appends one integer: seven bits per byte, most significant group first,
// leading zero groups left out, bit 7 set on every byte but the last.
bool encode(std::string& out, int value);
bool encode(std::string& out, unsigned int value);
bool encode(std::string& out, unsigned long value);
bool encode(std::string& out, unsigned long long value);

// Reads integers and strings from an untrusted reply. Every read fails,
// leaving the position unspecified, at the end of the data or on a malformed
// value; nothing is ever allocated beyond the bytes present.
class reader_type {
public:
    explicit reader_type(std::span<const std::uint8_t> data) noexcept : data_(data) {}

    // At most max_bytes bytes (10 for 64-bit fields); a value that does not
    // fit 64 bits is malformed.
    bool read(std::uint64_t& value, std::size_t max_bytes = 10) noexcept;
    // A 64-bit byte count and that many bytes.
    bool read(std::string& text);

    std::size_t remaining() const noexcept { return data_.size() - position_; }

private:
    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};

// Standard RC4.
class rc4_type {
public:
    explicit rc4_type(std::span<const std::uint8_t> key) noexcept;
    void discard(std::size_t count) noexcept;
    void apply(std::uint8_t* data, std::size_t count) noexcept;
    void apply(std::string& data) noexcept {
        apply(reinterpret_cast<std::uint8_t*>(data.data()), data.size());
    }

private:
    std::array<std::uint8_t, 256> state_;
    std::uint8_t i_ = 0;
    std::uint8_t j_ = 0;
};

// RC4 keyed by the session key with the first 4096 output bytes dropped: the
// keystream of a request and of its reply.
rc4_type session_cipher(const hashes::digest& session_key) noexcept;

// What building a request needs from the context and leaves behind.
struct sealed_request_type {
    hashes::digest session_key;
    std::optional<rc4_type> reply_cipher;  // the keystream the reply is read with
};

// Seals a request payload: the session key is MD5(id, credential); the payload
// is enciphered in place when the header says so; the authentication block
// (identity kind, user id, MAC over id, credential and payload as sent) is
// appended to authentication.
sealed_request_type seal(const header_type& header, std::string_view credential,
                         std::uint32_t identity_kind, std::uint32_t user_id, std::string& payload,
                         std::string& authentication);

// The readable fields of a probe reply.
struct probe_reply_type {
    std::string name;
    std::string location;
    std::string provider;
    std::uint64_t uptime = 0;
    std::uint64_t updated = 0;
    std::uint64_t serial = 0;
    std::uint64_t records = 0;
};

std::optional<probe_reply_type> read_probe_reply(std::span<const std::uint8_t> payload);

// One answer of a lookup reply.
struct answer_type {
    std::uint64_t length = 0;  // 0: no answer
    std::uint64_t id = 0;
    std::uint64_t extra = 0;
    std::uint64_t flags = 0;
    std::uint64_t reports = 0;
    std::uint64_t revokes = 0;
    std::uint64_t touches = 0;
};

enum class answer_error { none, length, data };

// Reads the next answer of a deciphered lookup reply.
answer_error read_answer(reader_type& reader, answer_type& answer) noexcept;

}  // namespace quorvane::engine::network::protocol
