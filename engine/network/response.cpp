// The servers' replies to requests: refusals, probe replies that describe a
// server, and lookup replies that answer the record's fingerprints.
#include <mutex>
#include <unordered_set>

#include "../principal/trace.hpp"
#include "network_implementation.hpp"

namespace quorvane::engine::network {

namespace {

// A status that refuses the request ends it; false for any other.
bool take_refusal(const conversation_pointer& conversation, const header_type& header,
                  const std::wstring& name) {
    switch (header.status) {
    case header_type::payload_too_large:
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received \"payload too large\" response from %1%") % name);
        complete(conversation, QVSE_E_PAYLOAD_TOO_LARGE);
        return true;
    case header_type::invalid_credentials:
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received \"invalid credentials\" response from %1%") % name);
        complete(conversation, QVSE_E_INVALID_CREDENTIALS);
        return true;
    case header_type::malformed_request:
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received \"malformed request\" response from %1%") % name);
        complete(conversation, QVSE_E_BAD_RESPONSE);
        return true;
    default:
        return false;
    }
}

// A probe reply describes its server, which is reachable from now on.
void take_probe_reply(const conversation_pointer& conversation, server_type& server,
                      std::span<const std::uint8_t> payload) {
    const auto reply = protocol::read_probe_reply(payload);
    if (!reply) {
        principal::trace::write(
            QVSE_TRACE_WARNING, facility, 0,
            boost::wformat(L"Received invalid discovery response from %1%") % server.name);
        return complete(conversation, QVSE_E_BAD_RESPONSE);
    }
    server.name = printable(coding::to_wide(reply->name));
    server.location = printable(coding::to_wide(reply->location));
    server.provider = printable(coding::to_wide(reply->provider));
    server.uptime = static_cast<std::int64_t>(reply->uptime);
    server.updated = static_cast<std::int64_t>(reply->updated);
    server.serial = reply->serial;
    server.records = reply->records;
    server.reachable = true;
    principal::trace::write(
        QVSE_TRACE_INFO, facility, 0,
        boost::wformat(L"Probed %1% (%2%): %3% latency, %4% records updated %5% ago") %
            server.name % server.location % newest_latency(server) % server.records %
            (std::to_wstring(server.updated) + L" seconds"));
    complete(conversation, QVSE_OK);
}

spam::fingerprint_type::match_type match_of(const protocol::answer_type& answer) {
    return {answer.length,
            answer.id,
            answer.extra,
            (answer.flags & 1) != 0,
            (answer.flags & 2) != 0,
            (answer.flags & 4) != 0,
            answer.reports,
            answer.revokes,
            answer.touches};
}

// Stores one answer per fingerprint, in order, under the record's lock. The
// trace template of what was wrong with the reply, or null.
const wchar_t* store_answers(context::record_type& record, protocol::reader_type& reader) {
    std::lock_guard lock(record.mutex);
    std::unordered_set<std::uint64_t> taken;
    taken.reserve(record.fingerprints.size());
    for (auto& fingerprint : record.fingerprints) {
        protocol::answer_type answer;
        const auto error = protocol::read_answer(reader, answer);
        if (error == protocol::answer_error::length)
            return L"Received invalid match length from %1%";
        if (error == protocol::answer_error::data)
            return L"Received invalid fingerprint data from %1%";
        if (answer.length == 0) {
            fingerprint.match.reset();
            continue;
        }
        if (!taken.insert(answer.id).second) return L"Received duplicate fingerprint data from %1%";
        fingerprint.match = match_of(answer);
    }
    return nullptr;
}

// A lookup reply, deciphered with the request's keystream, answers the
// record's fingerprints.
void take_lookup_reply(const conversation_pointer& conversation, const header_type& header,
                       const std::wstring& name, std::span<const std::uint8_t> payload) {
    if (!conversation->record || !conversation->reply_cipher ||
        header.encrypted != conversation->header.encrypted) {
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received unexpected %2% response from %1%") % name %
                      (header.encrypted ? L"encrypted" : L"unencrypted"));
        return complete(conversation, QVSE_E_BAD_RESPONSE);
    }
    std::vector<std::uint8_t> plain(payload.begin(), payload.end());
    auto cipher = *conversation->reply_cipher;
    cipher.apply(plain.data(), plain.size());

    protocol::reader_type reader(plain);
    const wchar_t* const failure = store_answers(*conversation->record, reader);
    // Traced once the record's lock is released.
    if (failure != nullptr) {
        trace_for(*conversation, QVSE_TRACE_WARNING, boost::wformat(failure) % name);
        return complete(conversation, QVSE_E_BAD_RESPONSE);
    }
    complete(conversation, QVSE_OK);
}

}  // namespace

void handle_response(const conversation_pointer& conversation, const server_pointer& server,
                     const header_type& header, std::span<const std::uint8_t> payload) {
    const std::wstring& name = server->name;
    if (take_refusal(conversation, header, name)) return;
    switch (header.type) {
    case header_type::probe:
        return take_probe_reply(conversation, *server, payload);
    case header_type::lookup:
        return take_lookup_reply(conversation, header, name, payload);
    case header_type::touch:
    case header_type::report:
    case header_type::revoke:
        return complete(conversation, QVSE_OK);
    default:
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received unknown response from %1%") % name);
        return complete(conversation, QVSE_OK);
    }
}

}  // namespace quorvane::engine::network
