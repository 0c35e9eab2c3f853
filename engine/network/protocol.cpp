#include "protocol.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace quorvane::engine::network::protocol {

namespace {

// Request ids come from the operating system's random source.
void random_bytes(std::uint8_t* out, std::size_t count) {
    while (count != 0) {
        const ssize_t got = ::getrandom(out, count, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        out += got;
        count -= static_cast<std::size_t>(got);
    }
}

template <class Unsigned>
void put_groups(std::string& out, Unsigned value, int top_shift) {
    bool started = false;
    for (int shift = top_shift; shift > 0; shift -= 7) {
        const auto group = static_cast<std::uint8_t>((value >> shift) & 0x7F);
        if (started || group != 0) {
            out.push_back(static_cast<char>(group | 0x80));
            started = true;
        }
    }
    out.push_back(static_cast<char>(value & 0x7F));
}

}  // namespace

void header_type::initialize(operation_type operation, bool encrypt) {
    magic = {'V', 'K', 'P'};
    version = 3;
    response = false;
    status = ok;
    attempt = 0;
    type = operation;
    encrypted = encrypt;
    random_bytes(id.data(), id.size());
}

bool encode(std::string& out, const header_type& header) {
    out.append(header.magic.data(), header.magic.size());
    out.push_back(static_cast<char>(header.version));
    const unsigned flags = (header.response ? 0x80u : 0u) | (header.encrypted ? 0x40u : 0u) |
                           ((static_cast<unsigned>(header.status) & 7u) << 3) | (header.type & 7u);
    out.push_back(static_cast<char>(flags));
    out.push_back(static_cast<char>(header.attempt));
    out.append(reinterpret_cast<const char*>(header.id.data()), header.id.size());
    return true;
}

bool decode(std::span<const std::uint8_t>& in, header_type& header) {
    if (in.size() < header_size) return false;
    if (in[0] != 'V' || in[1] != 'K' || in[2] != 'P' || in[3] != 3) return false;
    header.magic = {'V', 'K', 'P'};
    header.version = 3;
    const std::uint8_t flags = in[4];
    header.response = (flags & 0x80) != 0;
    header.encrypted = (flags & 0x40) != 0;
    header.status = (flags >> 3) & 7;
    header.type = flags & 7;
    header.attempt = in[5];
    std::memcpy(header.id.data(), in.data() + 6, id_size);
    in = in.subspan(header_size);
    return true;
}

bool encode(std::string& out, int value) {
    // Negative values are cut from their arithmetic shifts: -1 takes 5 bytes.
    bool started = false;
    for (int shift = 28; shift > 0; shift -= 7) {
        const auto group = static_cast<std::uint8_t>((value >> shift) & 0x7F);
        if (started || group != 0) {
            out.push_back(static_cast<char>(group | 0x80));
            started = true;
        }
    }
    out.push_back(static_cast<char>(value & 0x7F));
    return true;
}

bool encode(std::string& out, unsigned int value) {
    put_groups(out, value, 28);
    return true;
}

bool encode(std::string& out, unsigned long value) {
    put_groups(out, value, 63);
    return true;
}

bool encode(std::string& out, unsigned long long value) {
    put_groups(out, value, 63);
    return true;
}

bool reader_type::read(std::uint64_t& value, std::size_t max_bytes) noexcept {
    std::uint64_t result = 0;
    for (std::size_t taken = 0; taken < max_bytes; ++taken) {
        if (position_ == data_.size()) return false;
        const std::uint8_t byte = data_[position_++];
        if ((result >> 57) != 0) return false;  // would not fit 64 bits
        result = (result << 7) | (byte & 0x7F);
        if ((byte & 0x80) == 0) {
            value = result;
            return true;
        }
    }
    return false;
}

bool reader_type::read(std::string& text) {
    std::uint64_t length = 0;
    if (!read(length)) return false;
    if (length > remaining()) return false;
    text.assign(reinterpret_cast<const char*>(data_.data() + position_),
                static_cast<std::size_t>(length));
    position_ += static_cast<std::size_t>(length);
    return true;
}

rc4_type::rc4_type(std::span<const std::uint8_t> key) noexcept {
    for (unsigned k = 0; k < 256; ++k) state_[k] = static_cast<std::uint8_t>(k);
    std::uint8_t j = 0;
    for (unsigned k = 0; k < 256; ++k) {
        j = static_cast<std::uint8_t>(j + state_[k] + key[k % key.size()]);
        std::swap(state_[k], state_[j]);
    }
}

void rc4_type::discard(std::size_t count) noexcept {
    auto i = i_, j = j_;
    for (; count != 0; --count) {
        ++i;
        j = static_cast<std::uint8_t>(j + state_[i]);
        std::swap(state_[i], state_[j]);
    }
    i_ = i;
    j_ = j;
}

void rc4_type::apply(std::uint8_t* data, std::size_t count) noexcept {
    auto i = i_, j = j_;
    for (std::size_t k = 0; k < count; ++k) {
        ++i;
        j = static_cast<std::uint8_t>(j + state_[i]);
        std::swap(state_[i], state_[j]);
        data[k] ^= state_[static_cast<std::uint8_t>(state_[i] + state_[j])];
    }
    i_ = i;
    j_ = j;
}

rc4_type session_cipher(const hashes::digest& session_key) noexcept {
    rc4_type cipher(session_key.bytes);
    cipher.discard(rc4_drop);
    return cipher;
}

sealed_request_type seal(const header_type& header, std::string_view credential,
                         std::uint32_t identity_kind, std::uint32_t user_id, std::string& payload,
                         std::string& authentication) {
    hashes::stream_preprocessor mac;
    mac.update_n(header.id.data(), header.id.size());
    mac.update_n(credential.data(), credential.size());
    // The key finishes a copy; the MAC goes on over the payload as sent.
    hashes::stream_preprocessor key = mac;
    sealed_request_type sealed{key.end_message(), std::nullopt};
    if (header.encrypted) {
        rc4_type cipher = session_cipher(sealed.session_key);
        sealed.reply_cipher = cipher;
        cipher.apply(payload);
    }
    encode(authentication, static_cast<unsigned>(identity_kind));
    encode(authentication, static_cast<unsigned>(user_id));
    mac.update_n(payload.data(), payload.size());
    const hashes::digest code = mac.end_message();
    authentication.append(reinterpret_cast<const char*>(code.bytes.data()), code.bytes.size());
    return sealed;
}

std::optional<probe_reply_type> read_probe_reply(std::span<const std::uint8_t> payload) {
    reader_type reader(payload);
    probe_reply_type reply;
    if (reader.read(reply.name) && reader.read(reply.location) && reader.read(reply.provider) &&
        reader.read(reply.uptime) && reader.read(reply.updated) && reader.read(reply.serial) &&
        reader.read(reply.records))
        return reply;
    return std::nullopt;
}

answer_error read_answer(reader_type& reader, answer_type& answer) noexcept {
    if (!reader.read(answer.length)) return answer_error::length;
    if (answer.length == 0) return answer_error::none;
    if (reader.read(answer.id) && reader.read(answer.extra) && reader.read(answer.flags, 2) &&
        reader.read(answer.reports) && reader.read(answer.revokes) && reader.read(answer.touches))
        return answer_error::none;
    return answer_error::data;
}

}  // namespace quorvane::engine::network::protocol
