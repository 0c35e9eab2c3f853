#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "hashes/md5.hpp"
#include "network/protocol.hpp"

namespace {

namespace protocol = quorvane::engine::network::protocol;
namespace hashes = quorvane::engine::hashes;
using header_type = protocol::header_type;

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::vector<std::uint8_t> unhex(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (std::size_t k = 0; k + 1 < text.size(); k += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(k, 2), nullptr, 16)));
    return out;
}

template <class Value>
std::string encoded(Value value) {
    std::string out;
    EXPECT_TRUE(protocol::encode(out, value));
    return hex(out);
}

TEST(Protocol, IntegersAreBigEndianBase128) {
    EXPECT_EQ(encoded(0u), "00");
    EXPECT_EQ(encoded(127u), "7f");
    EXPECT_EQ(encoded(128u), "8100");
    EXPECT_EQ(encoded(300u), "822c");
    EXPECT_EQ(encoded(std::numeric_limits<unsigned>::max()), "8fffffff7f");
    EXPECT_EQ(encoded(-1), "ffffffff7f");
    EXPECT_EQ(encoded(1), "01");
    EXPECT_EQ(encoded(std::numeric_limits<int>::min()), "f880808000");
    EXPECT_EQ(encoded(0ull), "00");
    EXPECT_EQ(encoded(std::numeric_limits<unsigned long long>::max()), "81ffffffffffffffff7f");
    EXPECT_EQ(encoded(std::numeric_limits<unsigned long>::max()), "81ffffffffffffffff7f");
    EXPECT_EQ(encoded(1ull << 63), "81808080808080808000");
}

TEST(Protocol, IntegerReaderLimits) {
    struct row {
        const char* bytes;
        std::size_t max_bytes;
        bool ok;
        std::uint64_t value;
    };
    const row rows[] = {
        {"00", 10, true, 0},
        {"822c", 10, true, 300},
        {"81ffffffffffffffff7f", 10, true, std::numeric_limits<std::uint64_t>::max()},
        {"82808080808080808000", 10, false, 0},  // ten bytes that overflow 64 bits
        {"ffffffffffffffffff7f", 10, false, 0},
        {"81ffffffffffffffffff", 10, false, 0},    // tenth byte still continues
        {"8180808080808080808000", 10, false, 0},  // eleven bytes
        {"82", 10, false, 0},                      // ends inside the integer
        {"", 10, false, 0},
        {"817f", 2, true, 255},  // the flags field: at most two bytes
        {"818000", 2, false, 0},
    };
    for (const auto& r : rows) {
        const auto data = unhex(r.bytes);
        protocol::reader_type reader(data);
        std::uint64_t value = 12345;
        EXPECT_EQ(reader.read(value, r.max_bytes), r.ok) << r.bytes;
        if (r.ok) {
            EXPECT_EQ(value, r.value) << r.bytes;
        }
    }
}

TEST(Protocol, StringsNeverAllocateBeyondTheData) {
    // A count of 2^62 bytes followed by three bytes.
    auto data = unhex("c0808080808080808000616263");
    protocol::reader_type reader(data);
    std::string text;
    EXPECT_FALSE(reader.read(text));
    data = unhex("03616263");
    protocol::reader_type whole(data);
    EXPECT_TRUE(whole.read(text));
    EXPECT_EQ(text, "abc");
}

TEST(Protocol, HeaderGoldenBytes) {
    header_type header;
    header.initialize(header_type::probe, false);
    header.id = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::string out;
    ASSERT_TRUE(protocol::encode(out, header));
    EXPECT_EQ(hex(out),
              "564b50030000"
              "00010203040506070809");

    struct row {
        header_type::operation_type type;
        const char* flags;
    };
    for (const auto& r : {row{header_type::lookup, "42"}, row{header_type::touch, "43"},
                          row{header_type::report, "44"}, row{header_type::revoke, "45"}}) {
        header.initialize(r.type, true);
        out.clear();
        protocol::encode(out, header);
        EXPECT_EQ(hex(out.substr(4, 1)), r.flags);
        EXPECT_EQ(out.size(), protocol::header_size);
    }

    header.response = true;
    header.status = 3;
    header.attempt = 0xFE;
    out.clear();
    protocol::encode(out, header);
    EXPECT_EQ(hex(out.substr(4, 2)),
              "dd"
              "fe");  // 1 1 011 101
}

TEST(Protocol, HeaderDecoding) {
    const auto good = unhex(
        "564b5003"
        "9a"
        "02"
        "0a0b0c0d0e0f10111213"
        "ff");
    std::span<const std::uint8_t> in(good);
    header_type header;
    ASSERT_TRUE(protocol::decode(in, header));
    EXPECT_TRUE(header.response);
    EXPECT_FALSE(header.encrypted);
    EXPECT_EQ(header.status, 3);
    EXPECT_EQ(header.type, 2);
    EXPECT_EQ(header.attempt, 2);
    EXPECT_EQ(header.id[0], 0x0a);
    EXPECT_EQ(in.size(), 1u);

    for (const char* bad : {"564b5004"
                            "80"
                            "00"
                            "00000000000000000000",  // version 4
                            "564b4303"
                            "80"
                            "00"
                            "00000000000000000000",  // magic
                            "564b5003"
                            "80"
                            "00"
                            "000000000000000000"}) {  // short
        const auto data = unhex(bad);
        std::span<const std::uint8_t> span(data);
        EXPECT_FALSE(protocol::decode(span, header)) << bad;
    }
}

TEST(Protocol, RequestIdsAreFresh) {
    header_type first, second;
    first.initialize(header_type::lookup, true);
    second.initialize(header_type::lookup, true);
    EXPECT_NE(first.id, second.id);
}

// RFC 6229 keystreams at offset 4096 (the bytes a session cipher starts with).
TEST(Protocol, Rc4MatchesRfc6229AtOffset4096) {
    struct row {
        const char* key;
        const char* at_4096;
    };
    for (const auto& r :
         {row{"0102030405", "ff25b58995996707e51fbdf08b34d875"},
          row{"0102030405060708090a0b0c0d0e0f10", "a36a4c301ae8ac13610ccbc12256cacc"},
          row{"0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20",
              "f3e4c0a2e02d1d01f7f0a74618af2b48"}}) {
        const auto key = unhex(r.key);
        protocol::rc4_type cipher(key);
        cipher.discard(4096);
        std::string zeros(16, '\0');
        cipher.apply(zeros);
        EXPECT_EQ(hex(zeros), r.at_4096) << r.key;
    }
    // Offset 0 of the 40-bit key, one byte at a time.
    const auto key = unhex("0102030405");
    protocol::rc4_type cipher(key);
    std::string out;
    for (int k = 0; k < 16; ++k) {
        std::uint8_t byte = 0;
        cipher.apply(&byte, 1);
        out += static_cast<char>(byte);
    }
    EXPECT_EQ(hex(out), "b2396305f03dc027ccc3524a0a1118a8");
}

TEST(Protocol, SealKeysEnciphersAndAuthenticates) {
    header_type header;
    header.initialize(header_type::lookup, true);
    header.id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const std::string credential = "secret";
    const std::string plain = std::string(1, '\0');  // a lookup of no fingerprints
    std::string payload = plain, authentication;
    const auto sealed = protocol::seal(header, credential, 1, 300, payload, authentication);

    const std::string id(header.id.begin(), header.id.end());
    EXPECT_EQ(sealed.session_key,
              hashes::md5_of((id + credential).data(), id.size() + credential.size()));
    // The payload is the plaintext under the session keystream.
    auto cipher = protocol::session_cipher(sealed.session_key);
    std::string again = payload;
    cipher.apply(again);
    EXPECT_EQ(again, plain);
    // Block: identity kind, user id, then MD5 over id, credential and ciphertext.
    const std::string signed_bytes = id + credential + payload;
    const auto mac = hashes::md5_of(signed_bytes.data(), signed_bytes.size());
    EXPECT_EQ(hex(authentication),
              "01"
              "822c" +
                  hex(std::string(mac.bytes.begin(), mac.bytes.end())));
    // The header is not covered: another attempt keeps the block valid.
    header.attempt = 2;
    std::string payload2 = plain, authentication2;
    protocol::seal(header, credential, 1, 300, payload2, authentication2);
    EXPECT_EQ(authentication2, authentication);
    EXPECT_EQ(payload2, payload);
}

TEST(Protocol, ProbeReplies) {
    // name "a", location "", provider "pq", then 1, 2, 3, 300
    auto data = unhex(
        "0161"
        "00"
        "027071"
        "01"
        "02"
        "03"
        "822c");
    auto reply = protocol::read_probe_reply(data);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->name, "a");
    EXPECT_EQ(reply->provider, "pq");
    EXPECT_EQ(reply->records, 300u);
    data.pop_back();  // cut inside the last integer
    EXPECT_FALSE(protocol::read_probe_reply(data));
    data = unhex(
        "0161"
        "00"
        "05");  // the third string is cut short
    EXPECT_FALSE(protocol::read_probe_reply(data));
}

TEST(Protocol, LookupAnswers) {
    const auto data = unhex(
        "00"
        "10"
        "05"
        "06"
        "8107"
        "01"
        "02"
        "03"
        "10"
        "05");
    protocol::reader_type reader(data);
    protocol::answer_type answer;
    EXPECT_EQ(protocol::read_answer(reader, answer), protocol::answer_error::none);
    EXPECT_EQ(answer.length, 0u);
    EXPECT_EQ(protocol::read_answer(reader, answer), protocol::answer_error::none);
    EXPECT_EQ(answer.length, 16u);
    EXPECT_EQ(answer.id, 5u);
    EXPECT_EQ(answer.flags, 135u);
    EXPECT_EQ(answer.touches, 3u);
    EXPECT_EQ(protocol::read_answer(reader, answer), protocol::answer_error::data);
    EXPECT_EQ(protocol::read_answer(reader, answer), protocol::answer_error::length);
}

}  // namespace
