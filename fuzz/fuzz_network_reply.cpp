// Replies from classification servers are untrusted: the header, a probe
// reply and the enciphered answers of a lookup reply, read as the engine
// reads them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "network/protocol.hpp"

namespace protocol = quorvane::engine::network::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> message(data, size);
    protocol::header_type header;
    if (!protocol::decode(message, header)) return 0;
    if (header.type == protocol::header_type::probe) {
        (void)protocol::read_probe_reply(message);
        return 0;
    }
    // The session key of the corpus: bytes 0 to 15.
    quorvane::engine::hashes::digest key;
    for (std::size_t k = 0; k < key.bytes.size(); ++k) key.bytes[k] = static_cast<std::uint8_t>(k);
    std::vector<std::uint8_t> plain(message.begin(), message.end());
    if (header.encrypted) protocol::session_cipher(key).apply(plain.data(), plain.size());
    protocol::reader_type reader(plain);
    // As many answers as the attempt byte says fingerprints were asked.
    for (unsigned k = 0; k < header.attempt; ++k) {
        protocol::answer_type answer;
        if (protocol::read_answer(reader, answer) != protocol::answer_error::none) break;
    }
    return 0;
}
