// The request side: which requests are authentic, what the protocol
// answers them, what is learned from them, and the store file kept of it.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <utility>

#include "server_implementation.hpp"

namespace quorvane::standins::classification_server {

std::optional<bytes> server::implementation::answer(const bytes& message, transport_type transport,
                                                    faults_type& applied) {
    const auto request = wire::parse_header(message);
    if (!request || request->response) return std::nullopt;
    request_type entry{transport,
                       request->type,
                       request->attempt,
                       request->encrypted,
                       request->id,
                       0,
                       0,
                       false,
                       message.size(),
                       std::chrono::steady_clock::now()};
    std::optional<report_type> upload;
    std::optional<reply_type> reply;
    {
        std::lock_guard lock(mutex);
        applied = faults.next();
        // Dropped messages are logged too, as received.
        if (!applied.drop_all) reply = respond_locked(*request, message, entry, upload);
        keep(log, entry);
    }
    if (options.on_request) options.on_request(entry);
    // Learned before the reply leaves, so a client that has its answer finds
    // the counts raised.
    if (upload) learn(*upload);
    if (!reply) return std::nullopt;
    return encode(std::move(*reply), applied);
}

std::optional<std::pair<bytes, bytes>> server::implementation::authenticate_locked(
    const wire::frame_header& request, const bytes& message, request_type& entry,
    std::uint8_t& status) {
    wire::cursor in(message, wire::header_length);
    std::uint64_t kind = 0, user = 0;
    bytes mac;
    if (!in.number(kind) || !in.number(user) || kind > 0xFFFFFFFF || user > 0xFFFFFFFF ||
        !in.take(16, mac)) {
        status = 1;
        return std::nullopt;
    }
    entry.identity_kind = static_cast<std::uint32_t>(kind);
    entry.user_id = static_cast<std::uint32_t>(user);
    bytes payload = message.substr(in.at());
    const auto known = credentials.find({entry.identity_kind, entry.user_id});
    if (known == credentials.end() && !options.accept_unknown_users) {
        status = 2;
        return std::nullopt;
    }
    const std::string secret = known != credentials.end() ? known->second : std::string();
    if (wire::md5(request.id + secret + payload) != mac) {
        status = 2;
        return std::nullopt;
    }
    if (payload.size() > options.payload_limit) {
        status = 3;
        return std::nullopt;
    }
    entry.authenticated = true;
    bytes key = wire::md5(request.id + secret);
    if (request.encrypted) wire::rc4_drop(key, payload);
    return std::pair(std::move(payload), std::move(key));
}

reply_type server::implementation::respond_locked(const wire::frame_header& request,
                                                  const bytes& message, request_type& entry,
                                                  std::optional<report_type>& learned) {
    reply_type reply{
        {true, false, 0, request.type, request.attempt, request.id}, {}, std::nullopt, {}};
    if (request.type == 0) {
        wire::put_text(reply.body, options.name);
        wire::put_text(reply.body, options.location);
        wire::put_text(reply.body, options.provider);
        for (auto value : {options.uptime, options.updated, options.serial, options.records})
            wire::put_number(reply.body, value);
        return reply;
    }
    auto authentic = authenticate_locked(request, message, entry, reply.header.status);
    if (!authentic) return reply;
    auto& [payload, key] = *authentic;
    wire::cursor plain(payload);
    bool malformed = false;
    switch (request.type) {
    case 2:
        if (const auto fingerprints = wire::read_lookup(payload)) {
            reply.answers = store.look_up(*fingerprints);
            reply.header.encrypted = true;
            reply.key = key;
        } else {
            malformed = true;
        }
        break;
    case 3: {
        touch_type touch;
        std::uint64_t value = 0, count = 0;
        malformed = !plain.number(value) || !plain.number(count) || count > plain.left();
        for (std::uint64_t k = 0; !malformed && k < count; ++k) {
            std::uint64_t id = 0;
            malformed = !plain.number(id);
            touch.ids.push_back(id);
        }
        touch.value = static_cast<std::uint32_t>(value);
        if (!malformed) keep(touch_log, std::move(touch));
        break;
    }
    case 4:
    case 5: {
        std::uint64_t flag = 0, length = 0;
        report_type upload{request.type == 5, 0, {}, request.id};
        malformed =
            !plain.number(flag) || !plain.number(length) ||
            !plain.take(
                static_cast<std::size_t>(std::min<std::uint64_t>(length, payload.size() + 1)),
                upload.message);
        upload.flag = static_cast<int>(flag);
        if (!malformed) {
            // Another attempt of a request already counted is not counted again.
            const bool repeated =
                std::any_of(uploads.begin(), uploads.end(), [&](const report_type& r) {
                    return r.id == upload.id && r.revoke == upload.revoke;
                });
            if (!repeated) learned = upload;
            keep_upload(std::move(upload));
        }
        break;
    }
    default:
        malformed = true;
        break;
    }
    if (malformed)
        reply = {{true, false, 1, request.type, request.attempt, request.id}, {}, std::nullopt, {}};
    return reply;
}

void server::implementation::learn(const report_type& upload) {
    if (!options.fingerprints) return;
    std::vector<fingerprint_type> fingerprints;
    try {
        fingerprints = options.fingerprints(upload.message);  // slow: outside the lock
    } catch (const std::exception&) {
        return;  // a message that cannot be fingerprinted teaches nothing
    }
    {
        std::lock_guard lock(mutex);
        store.learn(fingerprints, upload.revoke);
        write_soon = true;
    }
    writer_wake.notify_one();
    if (options.on_learned) options.on_learned(upload.revoke, fingerprints.size());
}

// Writes what changed: at once after a report or revoke, else about once a
// second, and never more than a fifth of the time, so a large store's writes
// cannot crowd out its work.
void server::implementation::write_store_while_running() {
    using clock = std::chrono::steady_clock;
    std::unique_lock lock(mutex);
    auto pause = std::chrono::milliseconds(1000);
    auto earliest = clock::now();
    bool failing = false;  // said once until a write succeeds again
    for (;;) {
        writer_wake.wait_for(lock, pause,
                             [&] { return stopping || (write_soon && clock::now() >= earliest); });
        write_soon = false;
        const bool last = stopping;
        if (store.take_changed()) {
            auto snapshot = store.snapshot();
            lock.unlock();
            const auto started = clock::now();
            std::sort(snapshot.begin(), snapshot.end(),
                      [](const record_type& a, const record_type& b) { return a.id < b.id; });
            bool written = true;
            try {
                write_store(options.store, snapshot);
                failing = false;
            } catch (const std::exception& error) {
                // The counts stay in memory and the write is tried again.
                written = false;
                if (!std::exchange(failing, true))
                    std::cerr << "qv-classification-server: " << error.what() << std::endl;
            }
            const auto took = clock::now() - started;
            earliest = clock::now() + 4 * took;
            pause = std::max<std::chrono::milliseconds>(
                std::chrono::milliseconds(1000),
                std::chrono::duration_cast<std::chrono::milliseconds>(5 * took));
            lock.lock();
            if (!written) store.mark_changed();
        }
        if (last) return;
    }
}

}  // namespace quorvane::standins::classification_server
