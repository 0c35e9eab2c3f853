#include "classification_server.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <fstream>
#include <list>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace quorvane::platform::classification_server {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;

namespace {

using bytes = std::string;

constexpr std::size_t header_length = 16;
constexpr std::size_t max_request = 64 << 20;

// --- the wire, written apart from the engine's ---------------------------

struct frame_header {
    bool response = false;
    bool encrypted = false;
    std::uint8_t status = 0;
    std::uint8_t type = 0;
    std::uint8_t attempt = 0;
    bytes id;
};

std::optional<frame_header> parse_header(const bytes& message) {
    if (message.size() < header_length || message.compare(0, 4, "VKP\x03") != 0) return std::nullopt;
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

// Seven-bit groups, built from the least significant end.
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

class cursor {
public:
    explicit cursor(const bytes& data, std::size_t start = 0) : data_(data), at_(start) {}
    bool number(std::uint64_t& value) {
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
    bool take(std::size_t count, bytes& out) {
        if (data_.size() - at_ < count) return false;
        out = data_.substr(at_, count);
        at_ += count;
        return true;
    }
    std::size_t left() const { return data_.size() - at_; }
    std::size_t at() const { return at_; }

private:
    const bytes& data_;
    std::size_t at_;
};

bytes md5(const bytes& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(data.data(), data.size(), out, &length, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 failed");
    return bytes(reinterpret_cast<char*>(out), length);
}

// RC4 keyed with the session key, 4096 bytes of keystream thrown away.
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

}  // namespace

struct server::implementation {
    explicit implementation(options_type options)
        : options(std::move(options)), udp_socket(service), other_socket(service), acceptor(service) {}

    options_type options;
    asio::io_context service;
    udp::socket udp_socket;
    udp::socket other_socket;  // for replies from the wrong port
    tcp::acceptor acceptor;
    std::thread thread;

    mutable std::mutex mutex;
    std::mutex store_mutex;  // one writer of the store file at a time
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> credentials;
    std::vector<record_type> records;
    faults_type faults;
    unsigned dropped = 0;
    std::deque<request_type> log;
    std::deque<report_type> uploads;
    std::deque<touch_type> touch_log;
    std::list<std::shared_ptr<tcp::socket>> hung;

    std::array<char, 0x10000> datagram{};
    std::minstd_rand random;
    udp::endpoint sender;

    // Returns the reply, or nothing for a dropped message.
    std::optional<bytes> answer(const bytes& message, transport_type transport, faults_type& applied);
    std::optional<bytes> answer_locked(const bytes& message, transport_type transport, faults_type& applied,
                                       std::optional<request_type>& received, std::optional<report_type>& upload);
    // Counts a report or revoke against the fingerprints of its message.
    void learn(const report_type& upload);
    // The record that answers exactly this fingerprint, made when missing.
    record_type& record_for(const fingerprint_type& fingerprint);
    void merge(const std::vector<record_type>& stored);
    template <class Log, class Entry>
    void keep(Log& history, Entry entry) {
        history.push_back(std::move(entry));
        while (history.size() > options.history) history.pop_front();
    }
    bytes answer_lookup(const bytes& payload, bool& malformed);
    void receive();
    void accept();
    void serve(std::shared_ptr<tcp::socket> socket);
};

std::optional<bytes> server::implementation::answer(const bytes& message, transport_type transport,
                                                    faults_type& applied) {
    std::optional<request_type> received;
    std::optional<report_type> upload;
    std::optional<bytes> reply;
    {
        std::lock_guard lock(mutex);
        reply = answer_locked(message, transport, applied, received, upload);
    }
    if (received && options.on_request) options.on_request(*received);
    // Learned before the reply leaves, so a client that has its answer finds
    // the counts raised.
    if (upload) learn(*upload);
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
    std::vector<record_type> snapshot;
    {
        std::lock_guard lock(mutex);
        // A message may carry one fingerprint twice; it counts once.
        std::set<std::pair<std::uint32_t, std::string>> seen;
        for (const auto& fingerprint : fingerprints) {
            if (!seen.insert({fingerprint.category, fingerprint.data}).second) continue;
            auto& record = record_for(fingerprint);
            ++(upload.revoke ? record.revokes : record.reports);
        }
        if (!options.store.empty()) snapshot = records;
    }
    if (!options.store.empty()) {
        std::lock_guard lock(store_mutex);
        try {
            write_store(options.store, snapshot);
        } catch (const std::exception&) {
            // The counts stay in memory; the next report tries again.
        }
    }
    if (options.on_learned) options.on_learned(upload.revoke, fingerprints.size());
}

record_type& server::implementation::record_for(const fingerprint_type& fingerprint) {
    std::uint64_t highest = 0;
    for (auto& record : records) {
        if (record.category == fingerprint.category && record.data == fingerprint.data) return record;
        highest = std::max(highest, record.id);
    }
    record_type record;
    record.category = fingerprint.category;
    record.data = fingerprint.data;
    record.id = highest + 1;
    records.push_back(std::move(record));
    return records.back();
}

void server::implementation::merge(const std::vector<record_type>& stored) {
    for (const auto& entry : stored) {
        const auto known = std::find_if(records.begin(), records.end(), [&](const record_type& record) {
            return record.category == entry.category && record.data == entry.data;
        });
        if (known == records.end()) {
            records.push_back(entry);
        } else {
            known->reports = entry.reports;
            known->revokes = entry.revokes;
            known->touches = entry.touches;
        }
    }
}

std::optional<bytes> server::implementation::answer_locked(const bytes& message, transport_type transport,
                                                           faults_type& applied,
                                                           std::optional<request_type>& received,
                                                           std::optional<report_type>& learned) {
    const auto request = parse_header(message);
    if (!request || request->response) return std::nullopt;

    applied = faults;
    if (faults.chaos_seed) {
        switch (random() % 8) {
        case 0: applied.drop_all = true; break;
        case 1: applied.reply_twice = true; break;
        case 2: applied.attempt = static_cast<std::uint8_t>(random() % 4); break;
        case 3: applied.garble = true; break;
        case 4: applied.delay = std::chrono::milliseconds(random() % 20); break;
        case 5: applied.status = static_cast<std::uint8_t>(random() % 8); break;
        default: break;
        }
    }
    request_type entry{transport, request->type, request->attempt, request->encrypted, request->id,
                       0, 0, false, message.size(), std::chrono::steady_clock::now()};
    // Dropped messages are logged too, as received.
    if (applied.drop_all) {
        keep(log, received.emplace(entry));
        return std::nullopt;
    }
    if (dropped < faults.drop_first) {
        ++dropped;
        keep(log, received.emplace(entry));
        return std::nullopt;
    }
    frame_header reply{true, false, 0, request->type, request->attempt, request->id};
    bytes body;
    cursor in(message, header_length);

    if (request->type == 0) {
        put_text(body, options.name);
        put_text(body, options.location);
        put_text(body, options.provider);
        for (auto value : {options.uptime, options.updated, options.serial, options.records})
            put_number(body, value);
    } else {
        std::uint64_t kind = 0, user = 0;
        bytes mac;
        if (!in.number(kind) || !in.number(user) || kind > 0xFFFFFFFF || user > 0xFFFFFFFF ||
            !in.take(16, mac)) {
            reply.status = 1;
        } else {
            entry.identity_kind = static_cast<std::uint32_t>(kind);
            entry.user_id = static_cast<std::uint32_t>(user);
            bytes payload = message.substr(in.at());
            const auto known = credentials.find({entry.identity_kind, entry.user_id});
            const std::string secret = known != credentials.end() ? known->second : std::string();
            if (known == credentials.end() && !options.accept_unknown_users) {
                reply.status = 2;
            } else if (md5(request->id + secret + payload) != mac) {
                reply.status = 2;
            } else if (payload.size() > options.payload_limit) {
                reply.status = 3;
            } else {
                entry.authenticated = true;
                const bytes key = md5(request->id + secret);
                if (request->encrypted) rc4_drop(key, payload);
                cursor plain(payload);
                bool malformed = false;
                switch (request->type) {
                case 2:
                    body = answer_lookup(payload, malformed);
                    if (!malformed) {
                        reply.encrypted = true;
                        if (applied.oversized_lengths) {
                            body.clear();
                            put_number(body, std::uint64_t{1} << 62);  // a length that never ends
                            put_number(body, std::uint64_t{1} << 62);
                        }
                        rc4_drop(key, body);
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
                    report_type upload{request->type == 5, 0, {}, request->id};
                    malformed = !plain.number(flag) || !plain.number(length) ||
                                !plain.take(static_cast<std::size_t>(std::min<std::uint64_t>(length, payload.size() + 1)),
                                            upload.message);
                    upload.flag = static_cast<int>(flag);
                    if (!malformed) {
                        // Another attempt of a request already counted is
                        // not counted again.
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
                if (malformed) {
                    reply.status = 1;
                    body.clear();
                    reply.encrypted = false;
                }
            }
        }
    }
    keep(log, received.emplace(entry));

    if (applied.wrong_id) reply.id[0] = static_cast<char>(reply.id[0] ^ 0x5A);
    if (applied.attempt) reply.attempt = *applied.attempt;
    if (applied.flip_encrypted) reply.encrypted = !reply.encrypted;
    if (applied.status) reply.status = *applied.status;
    if (applied.type) reply.type = *applied.type;
    if (applied.clear_response) reply.response = false;
    if (applied.oversized_lengths && request->type == 0) {
        body.clear();
        put_number(body, std::uint64_t{1} << 62);
        body += options.name;
    }
    if (applied.garble)
        for (auto& c : body) c = static_cast<char>(~c);
    bytes out = build_header(reply) + body;
    if (applied.truncate && *applied.truncate < out.size()) out.resize(*applied.truncate);
    return out;
}

bytes server::implementation::answer_lookup(const bytes& payload, bool& malformed) {
    cursor in(payload);
    std::uint64_t count = 0;
    if (!in.number(count) || count > in.left()) {
        malformed = true;
        return {};
    }
    std::vector<const record_type*> found;
    for (std::uint64_t k = 0; k < count; ++k) {
        std::uint64_t category = 0;
        bytes data;
        if (!in.number(category)) {
            malformed = true;
            return {};
        }
        bool ok = true;
        switch (category) {
        case 0: ok = in.take(4, data); break;
        case 2:
        case 3:
        case 4: ok = in.take(16, data); break;
        case 64: {
            std::uint64_t length = 0;
            ok = in.number(length) && length <= in.left() && in.take(static_cast<std::size_t>(length), data);
            break;
        }
        default: break;
        }
        if (!ok) {
            malformed = true;
            return {};
        }
        const record_type* best = nullptr;
        for (const auto& record : records) {
            if (record.category != category) continue;
            const bool hit = category == 64 ? data.compare(0, record.data.size(), record.data) == 0 &&
                                                  record.data.size() <= data.size()
                                            : data == record.data;
            if (hit && (best == nullptr || record.data.size() > best->data.size())) best = &record;
        }
        found.push_back(best);
    }
    if (faults.answer_missing && !found.empty()) found.pop_back();
    bytes body;
    for (const auto* record : found) {
        if (record == nullptr) {
            put_number(body, 0);
            continue;
        }
        put_number(body, record->data.size());
        put_number(body, faults.duplicate_ids ? 7 : record->id);
        put_number(body, record->extra);
        put_number(body, record->flags);
        put_number(body, record->reports);
        put_number(body, record->revokes);
        put_number(body, record->touches);
    }
    return body;
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
            faults_type current;
            {
                std::lock_guard lock(mutex);
                current = faults;
            }
            auto shared = std::make_shared<tcp::socket>(std::move(socket));
            if (current.tcp == faults_type::tcp_mode::accept_then_close) {
                boost::system::error_code ignored;
                shared->close(ignored);
            } else if (current.tcp == faults_type::tcp_mode::hang) {
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

}  // namespace

void server::implementation::serve(std::shared_ptr<tcp::socket> socket) {
    std::make_shared<session>(*this, std::move(socket))->read();
}

void session::on_read(const boost::system::error_code& error, std::size_t size) {
    request_.append(chunk_.data(), size);
    if (!error && request_.size() <= max_request) {
        std::chrono::milliseconds pause;
        {
            std::lock_guard lock(owner_.mutex);
            pause = owner_.faults.read_pause;
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
    if (!self.options.store.empty()) self.merge(read_store(self.options.store));
    self.other_socket.open(address.is_v4() ? udp::v4() : udp::v6());
    self.other_socket.bind(udp::endpoint(address, 0));
    self.receive();
    self.accept();
    self.thread = std::thread([&self] { self.service.run(); });
}

server::~server() {
    self_->service.stop();
    if (self_->thread.joinable()) self_->thread.join();
}

std::uint16_t server::port() const { return self_->udp_socket.local_endpoint().port(); }
const std::string& server::address() const { return self_->options.address; }

void server::add_credential(std::uint32_t identity_kind, std::uint32_t user_id, std::string secret) {
    std::lock_guard lock(self_->mutex);
    self_->credentials[{identity_kind, user_id}] = std::move(secret);
}

void server::add_record(record_type record) {
    std::lock_guard lock(self_->mutex);
    self_->records.push_back(std::move(record));
}

void server::set_faults(const faults_type& faults) {
    std::lock_guard lock(self_->mutex);
    self_->faults = faults;
    self_->dropped = 0;
    if (faults.chaos_seed) self_->random.seed(*faults.chaos_seed);
}

std::vector<record_type> server::records() const {
    std::lock_guard lock(self_->mutex);
    return self_->records;
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

// The store is text, one record a line:
//   category id extra flags reports revokes touches hex-data
// after a first line naming the format.
namespace {
constexpr char store_heading[] = "qv-classification-server store 1";
}

std::vector<record_type> read_store(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return {};
        throw std::system_error(errno, std::generic_category(), "read " + path);
    }
    std::string line;
    if (!std::getline(in, line) || line != store_heading) throw std::runtime_error(path + " is not a store");
    std::vector<record_type> stored;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        record_type record;
        std::string hex;
        if (!(fields >> record.category >> record.id >> record.extra >> record.flags >> record.reports >>
              record.revokes >> record.touches >> hex) ||
            hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdef") != std::string::npos)
            throw std::runtime_error(path + ": bad record: " + line.substr(0, 80));
        for (std::size_t k = 0; k < hex.size(); k += 2)
            record.data += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
        stored.push_back(std::move(record));
    }
    return stored;
}

void write_store(const std::string& path, const std::vector<record_type>& records) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text = std::string(store_heading) + "\n";
    for (const auto& record : records) {
        if (record.reports == 0 && record.revokes == 0 && record.touches == 0) continue;
        text += std::to_string(record.category) + ' ' + std::to_string(record.id) + ' ' +
                std::to_string(record.extra) + ' ' + std::to_string(record.flags) + ' ' +
                std::to_string(record.reports) + ' ' + std::to_string(record.revokes) + ' ' +
                std::to_string(record.touches) + ' ';
        for (const unsigned char c : record.data) {
            text += digits[c >> 4];
            text += digits[c & 15];
        }
        text += '\n';
    }
    const std::string temporary = path + ".tmp";
    const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) throw std::system_error(errno, std::generic_category(), "write " + temporary);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(file, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const bool synced = written == text.size() && ::fsync(file) == 0;
    const int error = errno;
    ::close(file);
    if (!synced || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int failure = synced ? errno : error;
        ::unlink(temporary.c_str());
        throw std::system_error(failure, std::generic_category(), "write " + path);
    }
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
