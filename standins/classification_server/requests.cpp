// The request side: which requests are authentic, what the protocol
// answers them, and what is learned from them.
#include <algorithm>
#include <chrono>
#include <utility>

#include <boost/asio/post.hpp>

#include "server_implementation.hpp"

namespace quorvane::standins::classification_server {

namespace {

constexpr std::uint8_t report = 4, revoke = 5;

wire::reply_type sound_reply(const wire::frame_header& request, std::uint8_t status = 0) {
    return {{true, false, status, request.type, request.attempt, request.id}, {}, std::nullopt, {}};
}

}  // namespace

void server::implementation::tell(const request_type& entry) {
    if (!options.on_request) return;
    std::lock_guard lock(told_mutex);
    options.on_request(entry);
}

void server::implementation::answer(bytes message, transport_type transport, deliver_type deliver) {
    const auto request = wire::parse_header(message);
    if (!request || request->response) return;
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
    faults_type applied;
    std::optional<wire::reply_type> reply;
    {
        std::lock_guard lock(mutex);
        applied = faults.next();
        if (!applied.drop_all && (request->type == report || request->type == revoke)) {
            // Learned on its own thread, and answered from there.
        } else {
            // Dropped messages are logged too, as received.
            if (!applied.drop_all) reply = respond_locked(*request, message, entry);
            keep(log, entry);
        }
    }
    if (request->type == report || request->type == revoke) {
        if (applied.drop_all) return tell(entry);
        const std::size_t size = message.size();
        auto task = [this, header = *request, message = std::move(message), transport, applied,
                     deliver]() mutable { learn(header, message, transport, applied, deliver); };
        if (!learner->push(size, std::move(task))) {
            // Full: not answered, so the client tries again later.
            std::lock_guard lock(mutex);
            keep(log, entry);
        }
        return;
    }
    tell(entry);
    if (!reply) return deliver(std::nullopt, applied);
    deliver(encode(std::move(*reply), applied), applied);
}

std::optional<std::pair<bytes, bytes>> server::implementation::authenticate(
    const wire::frame_header& request, const bytes& message, request_type& entry,
    std::uint8_t& status, bool holding_lock) {
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
    std::optional<std::string> secret;
    {
        std::unique_lock lock(mutex, std::defer_lock);
        if (!holding_lock) lock.lock();
        const auto known = credentials.find({entry.identity_kind, entry.user_id});
        if (known != credentials.end())
            secret = known->second;
        else if (options.accept_unknown_users)
            secret = std::string();
    }
    if (!secret) {
        status = 2;
        return std::nullopt;
    }
    bytes payload = message.substr(in.at());
    if (wire::md5(request.id + *secret + payload) != mac) {
        status = 2;
        return std::nullopt;
    }
    if (payload.size() > options.payload_limit) {
        status = 3;
        return std::nullopt;
    }
    entry.authenticated = true;
    bytes key = wire::md5(request.id + *secret);
    if (request.encrypted) wire::rc4_drop(key, payload);
    return std::pair(std::move(payload), std::move(key));
}

wire::reply_type server::implementation::respond_locked(const wire::frame_header& request,
                                                        const bytes& message, request_type& entry) {
    auto reply = sound_reply(request);
    if (request.type == 0) {
        wire::put_text(reply.body, options.name);
        wire::put_text(reply.body, options.location);
        wire::put_text(reply.body, options.provider);
        for (auto value : {options.uptime, options.updated, options.serial, options.records})
            wire::put_number(reply.body, value);
        return reply;
    }
    auto authentic = authenticate(request, message, entry, reply.header.status, true);
    if (!authentic) return reply;
    auto& [payload, key] = *authentic;
    wire::cursor plain(payload);
    bool malformed = false;
    if (request.type == 2) {
        if (const auto fingerprints = wire::read_lookup(payload)) {
            reply.answers =
                store.look_up(*fingerprints, identity_of(entry.identity_kind, entry.user_id));
            reply.header.encrypted = true;
            reply.key = key;
        } else {
            malformed = true;
        }
    } else if (request.type == 3) {
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
    } else {
        malformed = true;
    }
    if (malformed) return sound_reply(request, 1);
    return reply;
}

void server::implementation::learn(const wire::frame_header& request, const bytes& message,
                                   transport_type transport, const faults_type& applied,
                                   deliver_type& deliver) {
    request_type entry{transport,
                       request.type,
                       request.attempt,
                       request.encrypted,
                       request.id,
                       0,
                       0,
                       false,
                       message.size(),
                       std::chrono::steady_clock::now()};
    auto reply = sound_reply(request);
    report_type upload{request.type == revoke, 0, {}, request.id};
    bool learned = false, repeated = false;
    std::vector<fingerprint_type> fingerprints;
    if (auto authentic = authenticate(request, message, entry, reply.header.status, false)) {
        const bytes& payload = authentic->first;
        wire::cursor plain(payload);
        std::uint64_t flag = 0, length = 0;
        if (!plain.number(flag) || !plain.number(length) || length > plain.left() ||
            !plain.take(static_cast<std::size_t>(length), upload.message)) {
            reply = sound_reply(request, 1);
        } else {
            upload.flag = static_cast<int>(flag);
            {
                // Another attempt of a request already learned is not
                // learned again.
                std::lock_guard lock(mutex);
                repeated = std::any_of(uploads.begin(), uploads.end(), [&](const report_type& r) {
                    return r.id == upload.id && r.revoke == upload.revoke;
                });
            }
            if (!repeated && options.fingerprints) {
                try {
                    fingerprints = options.fingerprints(upload.message);
                } catch (const std::exception&) {
                    // A message that cannot be fingerprinted teaches nothing.
                }
            }
        }
    }
    std::vector<record_type> changed;
    {
        std::lock_guard lock(mutex);
        if (entry.authenticated && reply.header.status == 0 && !repeated) {
            learned = store.learn(fingerprints, upload.revoke,
                                  identity_of(entry.identity_kind, entry.user_id), &changed);
            keep_upload(std::move(upload));
        }
        keep(log, entry);
    }
    tell(entry);
    // Journaled before it is answered: an answered report survives a crash.
    bool kept = true;
    if (keeper && entry.authenticated) kept = keeper->journal(changed);
    if (learned && options.on_learned)
        options.on_learned(request.type == revoke, fingerprints.size());
    std::optional<bytes> out;
    if (kept) out = encode(std::move(reply), applied);
    asio::post(service, [deliver = std::move(deliver), out = std::move(out), applied]() {
        deliver(out, applied);
    });
}

}  // namespace quorvane::standins::classification_server
