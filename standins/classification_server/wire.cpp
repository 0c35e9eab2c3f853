#include "wire.hpp"

#include <openssl/evp.h>

#include <array>
#include <stdexcept>
#include <utility>

namespace quorvane::standins::classification_server::wire {

std::optional<frame_header> parse_header(const bytes& message) {
    if (message.size() < header_length || message.compare(0, 4, "VKP\x03") != 0)
        return std::nullopt;
    const auto flags = static_cast<std::uint8_t>(message[4]);
    frame_header header;
    header.response = flags >> 7;
    header.encrypted = (flags >> 6) & 1;
    header.status = (flags >> 3) & 7;
    header.type = flags & 7;
    header.attempt = static_cast<std::uint8_t>(message[5]);
    header.id = message.substr(6, 10);
    return header;
}

bytes build_header(const frame_header& header) {
    bytes out = "VKP";
    out += '\x03';
    out += static_cast<char>((header.response << 7) | (header.encrypted << 6) |
                             ((header.status & 7) << 3) | (header.type & 7));
    out += static_cast<char>(header.attempt);
    out += header.id;
    return out;
}

void put_number(bytes& out, std::uint64_t value) {
    char groups[10];
    int count = 0;
    do {
        groups[count++] = static_cast<char>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1) out += static_cast<char>(groups[--count] | 0x80);
    out += groups[0];
}

void put_text(bytes& out, const std::string& text) {
    put_number(out, text.size());
    out += text;
}

bool cursor::number(std::uint64_t& value) {
    value = 0;
    for (int used = 1; at_ < data_.size(); ++used) {
        const auto byte = static_cast<std::uint8_t>(data_[at_++]);
        if (used == 10 && value > (~std::uint64_t{0} >> 7)) return false;
        value = value << 7 | (byte & 0x7F);
        if (!(byte & 0x80)) return true;
        if (used == 10) return false;
    }
    return false;
}

bool cursor::take(std::size_t count, bytes& out) {
    if (data_.size() - at_ < count) return false;
    out = data_.substr(at_, count);
    at_ += count;
    return true;
}

bytes md5(const bytes& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(data.data(), data.size(), out, &length, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 failed");
    return bytes(reinterpret_cast<char*>(out), length);
}

void rc4_drop(const bytes& key, bytes& data) {
    std::array<std::uint8_t, 256> s;
    for (int k = 0; k < 256; ++k) s[k] = static_cast<std::uint8_t>(k);
    for (int k = 0, j = 0; k < 256; ++k) {
        j = (j + s[k] + static_cast<std::uint8_t>(key[k % key.size()])) & 0xFF;
        std::swap(s[k], s[j]);
    }
    int i = 0, j = 0;
    auto next = [&] {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        return s[(s[i] + s[j]) & 0xFF];
    };
    for (int k = 0; k < 4096; ++k) next();
    for (auto& c : data) c = static_cast<char>(c ^ next());
}

std::optional<std::vector<fingerprint_type>> read_lookup(const bytes& payload) {
    cursor in(payload);
    std::uint64_t count = 0;
    if (!in.number(count) || count > in.left()) return std::nullopt;
    std::vector<fingerprint_type> fingerprints;
    fingerprints.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t k = 0; k < count; ++k) {
        std::uint64_t category = 0;
        if (!in.number(category) || category > 0xFFFFFFFF) return std::nullopt;
        bytes data;
        bool ok = true;
        switch (category) {
        case 0:
            ok = in.take(4, data);
            break;
        case 2:
        case 3:
        case 4:
            ok = in.take(16, data);
            break;
        case 64: {
            std::uint64_t length = 0;
            ok = in.number(length) && length <= in.left() &&
                 in.take(static_cast<std::size_t>(length), data);
            break;
        }
        default:
            break;  // a kind without data: answered as unknown
        }
        if (!ok) return std::nullopt;
        fingerprints.push_back({static_cast<std::uint32_t>(category), std::move(data)});
    }
    return fingerprints;
}

}  // namespace quorvane::standins::classification_server::wire

namespace quorvane::standins::classification_server::wire {

bytes encode_answers(const std::vector<std::optional<record_type>>& answers) {
    bytes body;
    for (const auto& record : answers) {
        if (!record) {
            put_number(body, 0);
            continue;
        }
        put_number(body, record->data.size());
        for (const auto value : {record->id, record->extra, record->flags, record->reports,
                                 record->revokes, record->touches})
            put_number(body, value);
    }
    return body;
}

bytes encode(const reply_type& reply) {
    bytes body = reply.answers ? encode_answers(*reply.answers) : reply.body;
    if (!reply.key.empty()) rc4_drop(reply.key, body);
    return build_header(reply.header) + body;
}

}  // namespace quorvane::standins::classification_server::wire
