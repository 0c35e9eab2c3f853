// The socket side: UDP datagrams and TCP streams in, replies out as the
// faults in force shape and time them; and the server's public face.
#include "classification_server.hpp"

#include <algorithm>

#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "server_implementation.hpp"

namespace quorvane::standins::classification_server {

namespace {
constexpr std::size_t max_request = 64 << 20;
}  // namespace

void server::implementation::receive() {
    udp_socket.async_receive_from(
        asio::buffer(datagram), sender,
        [this](const boost::system::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted) return;
            if (!error) {
                faults_type applied;
                const auto reply =
                    answer(bytes(datagram.data(), size), transport_type::udp, applied);
                if (reply) {
                    auto out = std::make_shared<bytes>(*reply);
                    auto to = sender;
                    auto send = [this, out, to, other = applied.other_port] {
                        boost::system::error_code ignored;
                        (other ? other_socket : udp_socket)
                            .send_to(asio::buffer(*out), to, 0, ignored);
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
        socket_->async_read_some(
            asio::buffer(chunk_),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
                self->on_read(error, size);
            });
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
        asio::async_write(
            *socket_, asio::buffer(reply_.data() + sent_, piece),
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
        timer->async_wait([timer, self = shared_from_this()](const boost::system::error_code&) {
            self->write();
        });
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
        if (self.options.port != 0 || tries > 20)
            throw boost::system::system_error(error, "bind TCP");
    }
    if (!self.options.store.empty()) {
        self.store.restore(read_store(self.options.store));
        self.store.take_changed();  // as read: nothing to write back yet
    }
    self.other_socket.open(address.is_v4() ? udp::v4() : udp::v6());
    self.other_socket.bind(udp::endpoint(address, 0));
    if (!self.options.store.empty())
        self.writer = std::thread([&self] { self.write_store_while_running(); });
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

void server::add_credential(std::uint32_t identity_kind, std::uint32_t user_id,
                            std::string secret) {
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
        std::count_if(self_->log.begin(), self_->log.end(),
                      [type](const request_type& r) { return r.type == type; }));
}

std::string server_list(const std::vector<std::pair<const server*, std::int64_t>>& servers) {
    std::string out = "{\"servers\": [";
    bool first = true;
    for (const auto& [entry, latency] : servers) {
        if (!first) out += ",";
        first = false;
        out += "{\"address\": \"" + entry->address() + "\", \"port\": \"" +
               std::to_string(entry->port()) +
               "\", \"reachable\": \"true\", \"location\": \"loopback\", \"provider\": \"test\", "
               "\"uptime\": \"1\", \"updated\": \"1\", \"serial\": \"1\", \"records\": \"1\", "
               "\"latencies\": [\"" +
               std::to_string(latency) + "\"]}";
    }
    return out + "]}";
}

}  // namespace quorvane::standins::classification_server
