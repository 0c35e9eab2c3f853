// The server's public face: its start and stop, and what tests ask of it.
#include "classification_server.hpp"

#include <algorithm>

#include "server_implementation.hpp"

namespace quorvane::standins::classification_server {

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
    if (!self.options.store.empty())
        self.keeper = std::make_unique<store_keeper>(self.options.store, self.store, self.mutex);
    self.learner = std::make_unique<upload_queue>(self.options.upload_queue_length,
                                                  self.options.upload_queue_bytes);
    self.other_socket.open(address.is_v4() ? udp::v4() : udp::v6());
    self.other_socket.bind(udp::endpoint(address, 0));
    self.receive();
    self.accept();
    self.thread = std::thread([&self] { self.service.run(); });
}

server::~server() {
    self_->service.stop();
    if (self_->thread.joinable()) self_->thread.join();
    self_->learner.reset();  // what still waits is not answered
    self_->keeper.reset();   // writes what changed last
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
