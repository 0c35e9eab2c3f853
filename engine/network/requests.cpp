// The request entries: a request's payload and seal, built under the
// record's lock, handed to the strand, and waited for when synchronous; and
// the credential they are sealed with.
#include <future>
#include <istream>
#include <mutex>

#include "network_implementation.hpp"

namespace quorvane::engine::network {

namespace {

using namespace std::chrono_literals;

constexpr auto completion_grace = 1s;  // a synchronous caller waits no longer
constexpr std::size_t message_chunk = 4096;

// Writes the request payload; QVSE_OK or the code that refuses the request.
using payload_writer = unsigned (*)(context::record_type& record, unsigned argument,
                                    std::string& payload);

unsigned write_lookup(context::record_type& record, unsigned, std::string& payload) {
    payload.reserve(8 + record.fingerprints.size() * 24);
    protocol::encode(payload, static_cast<unsigned long long>(record.fingerprints.size()));
    for (const auto& fingerprint : record.fingerprints) {
        const auto category = static_cast<unsigned>(fingerprint.category_value);
        protocol::encode(payload, category);
        switch (category) {
        case spam::fingerprint_type::relay:
        case spam::fingerprint_type::text_chunk:
        case spam::fingerprint_type::word_sequence:
        case spam::fingerprint_type::attachment:
            payload += fingerprint.data;
            break;
        case spam::fingerprint_type::link: {
            const std::string text = coding::to_utf8(fingerprint.text);
            protocol::encode(payload, static_cast<unsigned long long>(text.size()));
            payload += text;
            break;
        }
        default:
            break;
        }
    }
    return QVSE_OK;
}

unsigned write_touch(context::record_type& record, unsigned value, std::string& payload) {
    protocol::encode(payload, value);
    unsigned long long answered = 0;
    for (const auto& fingerprint : record.fingerprints) answered += fingerprint.match.has_value();
    protocol::encode(payload, answered);
    for (const auto& fingerprint : record.fingerprints)
        if (fingerprint.match)
            protocol::encode(payload, static_cast<unsigned long long>(fingerprint.match->id));
    return QVSE_OK;
}

unsigned write_message(context::record_type& record, unsigned flag, std::string& payload) {
    std::istream* message = record.source.get();
    if (message == nullptr) return QVSE_E_NO_MESSAGE;
    message->clear();
    message->seekg(0);
    std::string bytes;
    char chunk[message_chunk];
    while (message->read(chunk, sizeof chunk) || message->gcount() > 0)
        bytes.append(chunk, static_cast<std::size_t>(message->gcount()));
    message->clear();
    protocol::encode(payload, flag != 0 ? 1 : 0);
    protocol::encode(payload, static_cast<unsigned long long>(bytes.size()));
    payload += bytes;
    return QVSE_OK;
}

unsigned request(void* handle, header_type::operation_type operation, unsigned argument,
                 unsigned timeout_ms, bool asynchronous, payload_writer write_payload) {
    if (!service) return QVSE_E_NO_SERVERS;  // the network was never started
    // A network callback waiting for the network would wait forever.
    if (!asynchronous && on_worker()) return QVSE_E_FAILED;

    auto conversation = std::make_shared<conversation_type>(*service);
    if (const auto result = context::get(handle, conversation->record); result != QVSE_OK)
        return result;
    {
        auto& record = *conversation->record;
        std::lock_guard lock(record.mutex);
        auto& buffers = conversation->buffers;
        if (const auto result = write_payload(record, argument, buffers.payload); result != QVSE_OK)
            return result;
        conversation->header.initialize(operation, true);
        // Key, cipher and MAC read the credential under the lock, so a
        // concurrent authenticate never changes it halfway.
        auto sealed = protocol::seal(conversation->header, coding::to_utf8(record.secret_key),
                                     record.identity_kind, record.user_id, buffers.payload,
                                     buffers.authentication);
        conversation->session_key = sealed.session_key;
        conversation->reply_cipher = sealed.reply_cipher;
    }
    const clock_type::duration deadline = std::chrono::milliseconds(timeout_ms);
    if (asynchronous) {
        asio::post(*strand, [conversation, deadline] { handle_dispatch(conversation, deadline); });
        return QVSE_OK;
    }
    conversation->promise.emplace();
    auto future = conversation->promise->get_future();
    asio::post(*strand, [conversation, deadline] { handle_dispatch(conversation, deadline); });
    conversation.reset();
    if (future.wait_for(deadline + completion_grace) != std::future_status::ready)
        return QVSE_E_DEADLINE_EXPIRED;  // the worker is stuck; its completion still releases the
                                         // record
    try {
        return future.get();
    } catch (const std::future_error&) {
        return QVSE_E_FAILED;  // the network stopped under the request
    }
}

bool refused(unsigned timeout_ms, bool asynchronous) noexcept {
    return timeout_ms == 0 || (asynchronous && callbacks.network_completed == nullptr);
}

}  // namespace

unsigned authenticate(void* handle, unsigned identity_kind, unsigned user_id,
                      const wchar_t* secret_key, std::size_t secret_key_length) {
    return frame(facility, [&]() -> unsigned {
        if (secret_key == nullptr) return QVSE_E_INVALID_ARGUMENT;
        context::record_pointer record;
        if (const auto result = context::get(handle, record); result != QVSE_OK) return result;
        std::wstring key(secret_key, secret_key_length);
        std::lock_guard lock(record->mutex);
        record->identity_kind = identity_kind;
        record->user_id = user_id;
        record->secret_key.swap(key);
        return QVSE_OK;
    });
}

unsigned lookup(void* handle, unsigned timeout_ms, bool asynchronous) {
    return traced_frame(facility, [&]() -> unsigned {
        if (refused(timeout_ms, asynchronous)) return QVSE_E_INVALID_ARGUMENT;
        return request(handle, header_type::lookup, 0, timeout_ms, asynchronous, &write_lookup);
    });
}

unsigned touch(void* handle, unsigned value, unsigned timeout_ms, bool asynchronous) {
    return traced_frame(facility, [&]() -> unsigned {
        if (refused(timeout_ms, asynchronous) || value > 100) return QVSE_E_INVALID_ARGUMENT;
        return request(handle, header_type::touch, value, timeout_ms, asynchronous, &write_touch);
    });
}

unsigned report(void* handle, bool flag, unsigned timeout_ms, bool asynchronous) {
    return frame(facility, [&]() -> unsigned {
        if (refused(timeout_ms, asynchronous)) return QVSE_E_INVALID_ARGUMENT;
        return request(handle, header_type::report, flag, timeout_ms, asynchronous, &write_message);
    });
}

unsigned revoke(void* handle, bool flag, unsigned timeout_ms, bool asynchronous) {
    return frame(facility, [&]() -> unsigned {
        if (refused(timeout_ms, asynchronous)) return QVSE_E_INVALID_ARGUMENT;
        return request(handle, header_type::revoke, flag, timeout_ms, asynchronous, &write_message);
    });
}

}  // namespace quorvane::engine::network
