#include "classification_server.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <stdexcept>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "faults.hpp"
#include "store.hpp"
#include "wire.hpp"

namespace quorvane::platform::classification_server {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;
using wire::bytes;

namespace {
constexpr std::size_t max_request = 64 << 20;
}  // namespace


struct server::implementation {
    explicit implementation(options_type options)
        : options(std::move(options)),
          store(this->options.capacity),
          udp_socket(service),
          other_socket(service),
          acceptor(service) {}

    options_type options;
    // First in, last out: every socket below must go before it.
    asio::io_context service;
    mutable std::mutex mutex;  // guards what follows up to the sockets
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> credentials;
    learning_store store;
    fault_plan faults;
    std::deque<request_type> log;
    std::deque<report_type> uploads;
    std::deque<touch_type> touch_log;
    std::list<std::shared_ptr<tcp::socket>> hung;

    // The store file's writer: its own thread, so a large store never
    // holds up a reply.
    std::condition_variable writer_wake;
    bool write_soon = false;
    bool stopping = false;
    std::thread writer;

    udp::socket udp_socket;
    udp::socket other_socket;  // for replies from the wrong port
    tcp::acceptor acceptor;
    std::thread thread;
    std::array<char, 0x10000> datagram{};
    udp::endpoint sender;

    // Returns the reply, or nothing for a dropped message.
    std::optional<bytes> answer(const bytes& message, transport_type transport, faults_type& applied);
    // The sound reply to an authentic-looking request, with what to log and
    // what to learn from.
    reply_type respond_locked(const wire::frame_header& request, const bytes& message, request_type& entry,
                              std::optional<report_type>& learned);
    // Checks the MAC and size; on success, the payload deciphered and the session key.
    std::optional<std::pair<bytes, bytes>> authenticate_locked(const wire::frame_header& request,
                                                                const bytes& message, request_type& entry,
                                                                std::uint8_t& status);
    // Counts a report or revoke against the fingerprints of its message.
    void learn(const report_type& upload);
    void write_store_while_running();
    template <class Log, class Entry>
    void keep(Log& history, Entry entry) {
        history.push_back(std::move(entry));
        while (history.size() > options.history) history.pop_front();
    }
    void receive();
    void accept();
    void serve(std::shared_ptr<tcp::socket> socket);
};

std::optional<bytes> server::implementation::answer(const bytes& message, transport_type transport,
                                                    faults_type& applied) {
    const auto request = wire::parse_header(message);
    if (!request || request->response) return std::nullopt;
    request_type entry{transport, request->type, request->attempt, request->encrypted, request->id,
                       0, 0, false, message.size(), std::chrono::steady_clock::now()};
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

std::optional<std::pair<bytes, bytes>> server::implementation::authenticate_locked(const wire::frame_header& request,
                                                                                   const bytes& message,
                                                                                   request_type& entry,
                                                                                   std::uint8_t& status) {
    wire::cursor in(message, wire::header_length);
    std::uint64_t kind = 0, user = 0;
    bytes mac;
    if (!in.number(kind) || !in.number(user) || kind > 0xFFFFFFFF || user > 0xFFFFFFFF || !in.take(16, mac)) {
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

reply_type server::implementation::respond_locked(const wire::frame_header& request, const bytes& message,
                                                  request_type& entry, std::optional<report_type>& learned) {
    reply_type reply{{true, false, 0, request.type, request.attempt, request.id}, {}, std::nullopt, {}};
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
        malformed = !plain.number(flag) || !plain.number(length) ||
                    !plain.take(static_cast<std::size_t>(std::min<std::uint64_t>(length, payload.size() + 1)),
                                upload.message);
        upload.flag = static_cast<int>(flag);
        if (!malformed) {
            // Another attempt of a request already counted is not counted again.
            const bool repeated = std::any_of(uploads.begin(), uploads.end(), [&](const report_type& r) {
                return r.id == upload.id && r.revoke == upload.revoke;
            });
            if (!repeated) learned = upload;
            keep(uploads, std::move(upload));
        }
        break;
    }
    default: malformed = true; break;
    }
    if (malformed) reply = {{true, false, 1, request.type, request.attempt, request.id}, {}, std::nullopt, {}};
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
    for (;;) {
        writer_wake.wait_for(lock, pause, [&] { return stopping || (write_soon && clock::now() >= earliest); });
        write_soon = false;
        const bool last = stopping;
        if (store.take_changed()) {
            auto snapshot = store.snapshot();
            lock.unlock();
            const auto started = clock::now();
            std::sort(snapshot.begin(), snapshot.end(),
                      [](const record_type& a, const record_type& b) { return a.id < b.id; });
            try {
                write_store(options.store, snapshot);
            } catch (const std::exception&) {
                // The counts stay in memory; the next change tries again.
            }
            const auto took = clock::now() - started;
            earliest = clock::now() + 4 * took;
            pause = std::max<std::chrono::milliseconds>(std::chrono::milliseconds(1000),
                                                        std::chrono::duration_cast<std::chrono::milliseconds>(5 * took));
            lock.lock();
        }
        if (last) return;
    }
}

void server::implementation::receive() {
    udp_socket.async_receive_from(
        asio::buffer(datagram), sender, [this](const boost::system::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted) return;
            if (!error) {
                faults_type applied;
                const auto reply = answer(bytes(datagram.data(), size), transport_type::udp, applied);
                if (reply) {
                    auto out = std::make_shared<bytes>(*reply);
                    auto to = sender;
                    auto send = [this, out, to, other = applied.other_port] {
                        boost::system::error_code ignored;
                        (other ? other_socket : udp_socket).send_to(asio::buffer(*out), to, 0, ignored);
                    };
                    const int copies = applied.reply_twice ? 2 : 1;
                    if (applied.delay.count() > 0) {
                        auto timer = std::make_shared<asio::steady_timer>(service, applied.delay);
                        timer->async_wait([timer, send, copies](const boost::system::error_code&) {
                            for (int k = 0; k < copies; ++k) send();
                        });
                    } else {
                        for (int k = 0; k < copies; ++k) send();
                    }
                }
            }
            receive();
        });
}

void server::implementation::accept() {
    acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) return;
        if (!error) {
            faults_type::tcp_mode mode;
            {
                std::lock_guard lock(mutex);
                mode = faults.current().tcp;
            }
            auto shared = std::make_shared<tcp::socket>(std::move(socket));
            if (mode == faults_type::tcp_mode::accept_then_close) {
                boost::system::error_code ignored;
                shared->close(ignored);
            } else if (mode == faults_type::tcp_mode::hang) {
                std::lock_guard lock(mutex);
                hung.push_back(shared);
            } else {
                serve(shared);
            }
        }
        accept();
    });
}

namespace {

// One TCP request: read to the end of stream, answer, close.
class session : public std::enable_shared_from_this<session> {
public:
    session(server::implementation& owner, std::shared_ptr<tcp::socket> socket)
        : owner_(owner), socket_(std::move(socket)) {}

    void read() {
        socket_->async_read_some(asio::buffer(chunk_), [self = shared_from_this()](
                                                           const boost::system::error_code& error,
                                                           std::size_t size) { self->on_read(error, size); });
    }

private:
    void on_read(const boost::system::error_code& error, std::size_t size);
    void write() {
        if (sent_ == reply_.size()) {
            boost::system::error_code ignored;
            socket_->shutdown(tcp::socket::shutdown_both, ignored);
            socket_->close(ignored);
            return;
        }
        const std::size_t piece = applied_.one_byte_pieces ? 1 : reply_.size() - sent_;
        asio::async_write(*socket_, asio::buffer(reply_.data() + sent_, piece),
                          [self = shared_from_this()](const boost::system::error_code& error, std::size_t n) {
                              if (error) return;
                              self->sent_ += n;
                              self->write();
                          });
    }

    server::implementation& owner_;
    std::shared_ptr<tcp::socket> socket_;
    std::array<char, 0x10000> chunk_;
    bytes request_;
    bytes reply_;
    std::size_t sent_ = 0;
    faults_type applied_;
};

void session::on_read(const boost::system::error_code& error, std::size_t size) {
    request_.append(chunk_.data(), size);
    if (!error && request_.size() <= max_request) {
        std::chrono::milliseconds pause;
        {
            std::lock_guard lock(owner_.mutex);
            pause = owner_.faults.current().read_pause;
        }
        if (pause.count() == 0) return read();
        auto timer = std::make_shared<asio::steady_timer>(owner_.service, pause);
        return timer->async_wait(
            [timer, self = shared_from_this()](const boost::system::error_code&) { self->read(); });
    }
    if (error != asio::error::eof) return;  // reset, or too large: dropped
    const auto reply = owner_.answer(request_, transport_type::tcp, applied_);
    if (!reply) return;
    reply_ = *reply;
    if (applied_.delay.count() > 0) {
        auto timer = std::make_shared<asio::steady_timer>(owner_.service, applied_.delay);
        timer->async_wait([timer, self = shared_from_this()](const boost::system::error_code&) { self->write(); });
    } else {
        write();
    }
}

}  // namespace

void server::implementation::serve(std::shared_ptr<tcp::socket> socket) {
    std::make_shared<session>(*this, std::move(socket))->read();
}

server::server(options_type options) : self_(std::make_unique<implementation>(std::move(options))) {
    auto& self = *self_;
    const auto address = asio::ip::make_address(self.options.address);
    // UDP first on the wanted (or any) port, then TCP on the same number.
    for (int tries = 0;; ++tries) {
        boost::system::error_code error;
        self.udp_socket = udp::socket(self.service);
        self.udp_socket.open(address.is_v4() ? udp::v4() : udp::v6());
        self.udp_socket.bind(udp::endpoint(address, self.options.port), error);
        if (error) throw boost::system::system_error(error, "bind UDP");
        const auto port = self.udp_socket.local_endpoint().port();
        self.acceptor = tcp::acceptor(self.service);
        self.acceptor.open(address.is_v4() ? tcp::v4() : tcp::v6());
        self.acceptor.set_option(tcp::acceptor::reuse_address(true));
        self.acceptor.bind(tcp::endpoint(address, port), error);
        if (!error) {
            self.acceptor.listen(asio::socket_base::max_listen_connections, error);
            if (!error) break;
        }
        if (self.options.port != 0 || tries > 20) throw boost::system::system_error(error, "bind TCP");
    }
    if (!self.options.store.empty()) {
        self.store.restore(read_store(self.options.store));
        self.store.take_changed();  // as read: nothing to write back yet
    }
    self.other_socket.open(address.is_v4() ? udp::v4() : udp::v6());
    self.other_socket.bind(udp::endpoint(address, 0));
    if (!self.options.store.empty()) self.writer = std::thread([&self] { self.write_store_while_running(); });
    self.receive();
    self.accept();
    self.thread = std::thread([&self] { self.service.run(); });
}

server::~server() {
    self_->service.stop();
    if (self_->thread.joinable()) self_->thread.join();
    {
        std::lock_guard lock(self_->mutex);
        self_->stopping = true;
    }
    self_->writer_wake.notify_one();
    if (self_->writer.joinable()) self_->writer.join();  // writes what changed last
}

std::uint16_t server::port() const { return self_->udp_socket.local_endpoint().port(); }
const std::string& server::address() const { return self_->options.address; }

void server::add_credential(std::uint32_t identity_kind, std::uint32_t user_id, std::string secret) {
    std::lock_guard lock(self_->mutex);
    self_->credentials[{identity_kind, user_id}] = std::move(secret);
}

void server::add_record(record_type record) {
    std::lock_guard lock(self_->mutex);
    self_->store.configure(std::move(record));
}

void server::set_faults(const faults_type& faults) {
    std::lock_guard lock(self_->mutex);
    self_->faults.set(faults);
}

std::vector<record_type> server::records() const {
    std::lock_guard lock(self_->mutex);
    return self_->store.records();
}

std::vector<request_type> server::requests() const {
    std::lock_guard lock(self_->mutex);
    return {self_->log.begin(), self_->log.end()};
}

std::vector<report_type> server::reports() const {
    std::lock_guard lock(self_->mutex);
    return {self_->uploads.begin(), self_->uploads.end()};
}

std::vector<touch_type> server::touches() const {
    std::lock_guard lock(self_->mutex);
    return {self_->touch_log.begin(), self_->touch_log.end()};
}

std::size_t server::count(std::uint8_t type) const {
    std::lock_guard lock(self_->mutex);
    return static_cast<std::size_t>(
        std::count_if(self_->log.begin(), self_->log.end(), [type](const request_type& r) { return r.type == type; }));
}

std::string server_list(const std::vector<std::pair<const server*, std::int64_t>>& servers) {
    std::string out = "{\"servers\": [";
    bool first = true;
    for (const auto& [entry, latency] : servers) {
        if (!first) out += ",";
        first = false;
        out += "{\"address\": \"" + entry->address() + "\", \"port\": \"" + std::to_string(entry->port()) +
               "\", \"reachable\": \"true\", \"location\": \"loopback\", \"provider\": \"test\", "
               "\"uptime\": \"1\", \"updated\": \"1\", \"serial\": \"1\", \"records\": \"1\", "
               "\"latencies\": [\"" + std::to_string(latency) + "\"]}";
    }
    return out + "]}";
}

}  // namespace quorvane::platform::classification_server
