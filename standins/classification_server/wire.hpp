// The classification protocol's framing, numbers, MAC and cipher, written
// apart from the engine's so that a mistake made in both cannot hide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "classification_server.hpp"

namespace quorvane::standins::classification_server::wire {

using bytes = std::string;

constexpr std::size_t header_length = 16;

struct frame_header {
    bool response = false;
    bool encrypted = false;
    std::uint8_t status = 0;
    std::uint8_t type = 0;
    std::uint8_t attempt = 0;
    bytes id;  // 10 bytes
};

// Nothing for a message too short or without the protocol's magic.
std::optional<frame_header> parse_header(const bytes& message);
bytes build_header(const frame_header& header);

// Seven-bit groups, most significant first, the high bit marking "more".
void put_number(bytes& out, std::uint64_t value);
void put_text(bytes& out, const std::string& text);

// Reads numbers and byte runs from a buffer, never past its end.
class cursor {
public:
    explicit cursor(const bytes& data, std::size_t start = 0) : data_(data), at_(start) {}
    // False for a number cut short or wider than 64 bits.
    bool number(std::uint64_t& value);
    bool take(std::size_t count, bytes& out);
    std::size_t left() const { return data_.size() - at_; }
    std::size_t at() const { return at_; }

private:
    const bytes& data_;
    std::size_t at_;
};

bytes md5(const bytes& data);
// RC4 keyed with the session key, 4096 bytes of keystream thrown away; the
// same call enciphers and deciphers.
void rc4_drop(const bytes& key, bytes& data);

// The fingerprints of a lookup's (deciphered) payload; nothing when it is
// malformed. Kinds the protocol gives no data are read as having none.
std::optional<std::vector<fingerprint_type>> read_lookup(const bytes& payload);

// A reply before it is encoded: a lookup's answers stay apart from the body
// until the end.
struct reply_type {
    frame_header header;
    bytes body;
    std::optional<std::vector<std::optional<record_type>>> answers;  // a lookup's, in order
    bytes key;  // not empty: the body leaves enciphered with it
};

// A lookup reply's body: for each fingerprint the record's length (of its
// data: a link matched by a shorter one says so), id, extra, flags and
// counts, or a zero length for no answer.
bytes encode_answers(const std::vector<std::optional<record_type>>& answers);
// The reply's bytes: header, then the body (the answers, when there are
// any), enciphered when a key is given.
bytes encode(const reply_type& reply);

}  // namespace quorvane::standins::classification_server::wire
