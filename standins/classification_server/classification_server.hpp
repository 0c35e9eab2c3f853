// A classification server that stands in for the real ones, which cannot be
// reached here. It answers probes, lookups, touches, reports and revokes over
// UDP and TCP on one address and port, checks the requests' authentication,
// records what it was sent, and can be told to misbehave.
//
// It learns from the mail it is asked about: a report adds one to the report
// count of each fingerprint of the reported message, a revoke one to its
// revoke count, and a lookup one to the sightings of each fingerprint it
// carries; lookups are answered with those counts, sightings beyond reports
// weighing as revokes (store.hpp says how). Reports and revokes are learned
// on a thread of their own and answered once learned (and journaled, with a
// store), so a large one never holds up a lookup.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::standins::classification_server {

// One record of the server's table. Category 64 (links, as the engine keys
// them: "com.example.www/path") matches a longer key where the key goes on
// with a path or a subdomain: the longest such record answers, with its own
// length as the matched length; other categories match whole. Records only
// ever looked up answer nothing.
struct record_type {
    std::uint32_t category = 0;
    std::string data;  // bytes as sent: 4 address octets, a 16-byte digest, or the link in UTF-8
    std::uint64_t id = 0;
    std::uint64_t extra = 0;
    std::uint64_t flags = 0;  // bit 0 ignored, bit 1 whitelisted, bit 2 blacklisted
    std::uint64_t reports = 0;
    std::uint64_t revokes = 0;
    std::uint64_t touches = 0;
    std::uint64_t lookups = 0;  // sightings: lookups that carried it, each counted once
};

// What the server does wrong. Every fault applies to each message received
// while it is set, probes included.
struct faults_type {
    unsigned drop_first = 0;              // ignore this many messages (UDP and TCP) first
    bool drop_all = false;                // never answer
    std::chrono::milliseconds delay{0};   // before each reply
    bool reply_twice = false;             // every UDP reply is sent twice
    bool wrong_id = false;                // reply with another request id
    std::optional<std::uint8_t> attempt;  // reply with this attempt byte
    std::optional<std::size_t> truncate;  // cut every reply to this many bytes
    bool garble = false;                  // invert every byte after the header
    bool flip_encrypted = false;          // reply with the encrypted flag inverted
    std::optional<std::uint8_t> status;   // reply with this status (0..7), payload as usual
    std::optional<std::uint8_t> type;     // reply with this operation type
    bool clear_response = false;          // reply with the response flag clear
    bool oversized_lengths = false;       // length fields claim far more than is sent
    bool answer_missing = false;          // a lookup reply lacks its last answer
    bool duplicate_ids = false;           // every answer of a lookup reply carries one id
    bool other_port = false;              // UDP replies leave from another port
    enum class tcp_mode { normal, accept_then_close, hang } tcp = tcp_mode::normal;
    bool one_byte_pieces = false;             // TCP replies are written one byte at a time
    std::chrono::milliseconds read_pause{0};  // a slow reader: pause between TCP reads
    // Each message draws one of: dropped, answered twice, wrong attempt,
    // garbled, delayed, a random status, or answered well.
    std::optional<unsigned> chaos_seed;
};

enum class transport_type { udp, tcp };

// A request as received (payload deciphered when the credential was known).
struct request_type {
    transport_type transport = transport_type::udp;
    std::uint8_t type = 0;
    std::uint8_t attempt = 0;
    bool encrypted = false;
    std::string id;  // 10 bytes
    std::uint32_t identity_kind = 0;
    std::uint32_t user_id = 0;
    bool authenticated = false;
    std::size_t size = 0;  // bytes on the wire
    std::chrono::steady_clock::time_point when;
};

struct report_type {
    bool revoke = false;
    int flag = 0;
    std::string message;
    std::string id;
};

// A fingerprint as a lookup carries it.
struct fingerprint_type {
    std::uint32_t category = 0;
    std::string data;
    bool operator==(const fingerprint_type&) const = default;
};

struct touch_type {
    std::uint32_t value = 0;
    std::vector<std::uint64_t> ids;
};

struct options_type {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port, the same for UDP and TCP
    std::string name = "stand-in";
    std::string location = "loopback";
    std::string provider = "Quorvane";
    std::uint64_t uptime = 3600;
    std::uint64_t updated = 60;
    std::uint64_t serial = 1;
    std::uint64_t records = 1000;
    std::size_t payload_limit = 16 << 20;  // larger requests get "payload too large"
    // Users without a credential are taken to have an empty secret; else
    // they get "invalid credentials".
    bool accept_unknown_users = false;
    // The logs keep this many of the latest requests, reports and touches.
    std::size_t history = 10000;
    // The reports kept hold at most this many bytes of messages, the oldest
    // dropped first, so large reports cannot pile up in memory.
    std::size_t history_bytes = 256 << 20;
    // Told of every message received, on the server's threads (one at a
    // time).
    std::function<void(const request_type&)> on_request;
    // The fingerprints of a reported or revoked message, as the engine would
    // send them in a lookup; without it reports and revokes teach nothing.
    // Called on the learning thread; may throw.
    std::function<std::vector<fingerprint_type>(const std::string& message)> fingerprints;
    // Told after a report or revoke was learned, with its fingerprint count
    // (not when the same user told the same of the same message before).
    std::function<void(bool revoke, std::size_t fingerprints)> on_learned;
    // The file that keeps the learned counts across restarts: what a report
    // or revoke changed is journaled beside it before the report is
    // answered; the file is rewritten whole now and then (sightings since
    // the last rewrite are lost by a crash) and when the server stops;
    // empty keeps nothing. It is read when the server starts.
    std::string store;
    // The most records kept, and the most bytes of fingerprint data in
    // them; beyond either the least useful are forgotten.
    std::size_t capacity = 1'000'000;
    std::size_t capacity_bytes = 128 << 20;
    // TCP: a connection that sends nothing for this long before its
    // request is whole, or has not taken its reply within it, is closed; at most this many are open
    // (a new one closes the oldest); and together they buffer at most so many bytes (a read beyond
    // it closes the connection that made it).
    std::chrono::milliseconds session_timeout{5000};
    std::size_t max_sessions = 64;
    std::size_t tcp_buffer_limit = 48 << 20;
    // Reports and revokes waiting to be learned: at most this many, of at
    // most so many bytes; beyond, a report is not answered (the client
    // tries again).
    std::size_t upload_queue_length = 16;
    std::size_t upload_queue_bytes = 32 << 20;
};

class server {
public:
    // Binds UDP and TCP at once; throws when the address cannot be bound.
    explicit server(options_type options);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    std::uint16_t port() const;
    const std::string& address() const;

    void add_credential(std::uint32_t identity_kind, std::uint32_t user_id, std::string secret);
    void add_record(record_type record);
    void set_faults(const faults_type& faults);

    std::vector<record_type> records() const;
    std::vector<request_type> requests() const;
    std::vector<report_type> reports() const;
    std::vector<touch_type> touches() const;
    std::size_t count(std::uint8_t type) const;

    struct implementation;

private:
    std::unique_ptr<implementation> self_;
};

// The store file's records (store_file.hpp gives the format); throws when
// the file cannot be read or is not a whole store. A missing file holds no
// records.
std::vector<record_type> read_store(const std::string& path);
// What a server given this store would start with: the store file with its
// journal folded in. Throws as read_store does.
std::vector<record_type> read_learned(const std::string& path);
// Writes the records to a temporary file beside the store and renames it
// over the store; throws on failure.
void write_store(const std::string& path, const std::vector<record_type>& records);

// The server list JSON that makes an engine use these servers, with the
// given latency (nanoseconds) for each.
std::string server_list(const std::vector<std::pair<const server*, std::int64_t>>& servers);

}  // namespace quorvane::standins::classification_server
