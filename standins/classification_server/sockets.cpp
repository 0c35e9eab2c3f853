// The socket side: UDP datagrams and TCP streams in, replies out as the
// faults in force shape and time them. TCP connections are bounded in
// number, time and bytes, so clients that connect and hang cannot starve
// the others.
#include <boost/asio/write.hpp>

#include "server_implementation.hpp"

namespace quorvane::standins::classification_server {

namespace {

// Room for the header and the authentication block beside the payload.
constexpr std::size_t framing = 64;
// After a failed accept (out of descriptors, say) accepting waits this long.
constexpr auto accept_pause_time = std::chrono::milliseconds(100);

}  // namespace

void server::implementation::receive() {
    udp_socket.async_receive_from(
        asio::buffer(datagram), sender,
        [this](const boost::system::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted) return;
            if (!error) {
                answer(
                    bytes(datagram.data(), size), transport_type::udp,
                    [this, to = sender](std::optional<bytes> reply, const faults_type& applied) {
                        if (!reply) return;
                        auto out = std::make_shared<bytes>(std::move(*reply));
                        auto send = [this, out, to, other = applied.other_port] {
                            boost::system::error_code ignored;
                            (other ? other_socket : udp_socket)
                                .send_to(asio::buffer(*out), to, 0, ignored);
                        };
                        const int copies = applied.reply_twice ? 2 : 1;
                        if (applied.delay.count() == 0) {
                            for (int k = 0; k < copies; ++k) send();
                            return;
                        }
                        auto timer = std::make_shared<asio::steady_timer>(service, applied.delay);
                        timer->async_wait([timer, send, copies](const boost::system::error_code&) {
                            for (int k = 0; k < copies; ++k) send();
                        });
                    });
            }
            receive();
        });
}

void server::implementation::accept() {
    acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) return;
        if (error) {
            // Accepting again at once would spin while the error lasts.
            accept_pause.expires_after(accept_pause_time);
            return accept_pause.async_wait([this](const boost::system::error_code& waited) {
                if (waited != asio::error::operation_aborted) accept();
            });
        }
        faults_type::tcp_mode mode;
        {
            std::lock_guard lock(mutex);
            mode = faults.current().tcp;
        }
        if (mode == faults_type::tcp_mode::accept_then_close) {
            boost::system::error_code ignored;
            socket.close(ignored);
        } else if (mode == faults_type::tcp_mode::hang) {
            // Held open, as many as sessions may be: the oldest goes first.
            std::lock_guard lock(mutex);
            while (hung.size() >= std::max<std::size_t>(options.max_sessions, 1)) hung.pop_front();
            hung.push_back(std::make_shared<tcp::socket>(std::move(socket)));
        } else {
            serve(std::move(socket));
        }
        accept();
    });
}

// One TCP request: read to the end of stream, answer, close; closed when
// the session time passes without a byte received, or while writing.
class tcp_session : public std::enable_shared_from_this<tcp_session> {
public:
    tcp_session(server::implementation& owner, tcp::socket socket)
        : owner_(owner), socket_(std::move(socket)), deadline_(owner.service) {}
    ~tcp_session() { owner_.tcp_buffered -= held_; }

    void start() {
        arm();
        read();
    }
    void close() {
        boost::system::error_code ignored;
        socket_.close(ignored);
        deadline_.cancel();
    }

private:
    void arm() {
        deadline_.expires_after(owner_.options.session_timeout);
        deadline_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
            if (error != asio::error::operation_aborted) self->close();
        });
    }
    void read() {
        socket_.async_read_some(
            asio::buffer(chunk_),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
                self->on_read(error, size);
            });
    }
    void on_read(const boost::system::error_code& error, std::size_t size);
    void on_answer(std::optional<bytes> reply, const faults_type& applied);
    void write() {
        if (sent_ == reply_.size()) {
            boost::system::error_code ignored;
            socket_.shutdown(tcp::socket::shutdown_both, ignored);
            return close();
        }
        const std::size_t piece = applied_.one_byte_pieces ? 1 : reply_.size() - sent_;
        asio::async_write(
            socket_, asio::buffer(reply_.data() + sent_, piece),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t n) {
                if (error) return self->close();
                self->sent_ += n;
                self->write();
            });
    }
    void release() {
        owner_.tcp_buffered -= held_;
        held_ = 0;
    }

    server::implementation& owner_;
    tcp::socket socket_;
    asio::steady_timer deadline_;
    std::array<char, 0x10000> chunk_;
    bytes request_;
    std::size_t held_ = 0;  // bytes of request_ counted in the owner's total
    bytes reply_;
    std::size_t sent_ = 0;
    faults_type applied_;
};

void tcp_session::on_read(const boost::system::error_code& error, std::size_t size) {
    const auto& options = owner_.options;
    if (size > 0) {
        // Beyond the payload limit, or the bytes all connections may hold:
        // dropped (closing tells the client at once).
        if (request_.size() + size > options.payload_limit + framing ||
            owner_.tcp_buffered + size > options.tcp_buffer_limit)
            return close();
        request_.append(chunk_.data(), size);
        owner_.tcp_buffered += size;
        held_ += size;
        arm();  // the time runs from the last bytes received
    }
    if (!error) {
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
    if (error != asio::error::eof) return close();  // reset: dropped
    // Whole: no deadline while it is answered (a report waits to be learned).
    deadline_.cancel();
    bytes request = std::move(request_);
    release();
    owner_.answer(
        std::move(request), transport_type::tcp,
        [self = shared_from_this()](std::optional<bytes> reply, const faults_type& applied) {
            self->on_answer(std::move(reply), applied);
        });
}

void tcp_session::on_answer(std::optional<bytes> reply, const faults_type& applied) {
    if (!reply || !socket_.is_open()) return close();
    reply_ = std::move(*reply);
    applied_ = applied;
    arm();
    if (applied_.delay.count() == 0) return write();
    auto timer = std::make_shared<asio::steady_timer>(owner_.service, applied_.delay);
    timer->async_wait(
        [timer, self = shared_from_this()](const boost::system::error_code&) { self->write(); });
}

void server::implementation::serve(tcp::socket socket) {
    // At the cap the oldest connection gives way to the newest.
    sessions.remove_if([](const std::weak_ptr<tcp_session>& s) { return s.expired(); });
    while (sessions.size() >= std::max<std::size_t>(options.max_sessions, 1)) {
        if (auto oldest = sessions.front().lock()) oldest->close();
        sessions.pop_front();
    }
    auto session = std::make_shared<tcp_session>(*this, std::move(socket));
    sessions.push_back(session);
    session->start();
}

}  // namespace quorvane::standins::classification_server
