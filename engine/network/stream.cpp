// Requests over TCP: one connection per attempt, which writes the request,
// half-closes and reads the reply until the server closes.
#include <array>
#include <sstream>

#include <boost/asio/bind_executor.hpp>

#include "network_implementation.hpp"

namespace quorvane::engine::network {

namespace {

constexpr std::size_t tcp_read_size = 1024;
constexpr std::size_t tcp_reply_limit = 1 << 20;

void connection_read(const conversation_pointer& conversation, std::uint8_t attempt);
void connection_write(const conversation_pointer& conversation, std::uint8_t attempt);

// A TCP completion acts only for the attempt that started it.
bool stale(const conversation_type& conversation, std::uint8_t attempt) noexcept {
    return attempt != conversation.header.attempt || !conversation.connection;
}

void connection_handle_connect(const conversation_pointer& conversation, std::uint8_t attempt,
                               const boost::system::error_code& error) {
    if (error == asio::error::operation_aborted || stale(*conversation, attempt)) return;
    guarded(conversation, [&] {
        if (error) return handle_retry(conversation, attempt, error);
        rearm_inactivity(conversation);
        conversation->written = 0;
        connection_write(conversation, attempt);
    });
}

void connection_write(const conversation_pointer& conversation, std::uint8_t attempt) {
    auto& buffers = conversation->buffers;
    std::array<asio::const_buffer, 3> parts{asio::buffer(buffers.header),
                                            asio::buffer(buffers.authentication),
                                            asio::buffer(buffers.payload)};
    std::size_t skip = conversation->written;
    for (auto& part : parts) {
        const auto taken = std::min(skip, part.size());
        part += taken;
        skip -= taken;
    }
    conversation->connection->async_write_some(
        parts,
        asio::bind_executor(*strand, [conversation, attempt](const boost::system::error_code& error,
                                                             std::size_t sent) {
            if (stale(*conversation, attempt)) return;
            guarded(conversation, [&] {
                report_traffic(sent, 0);
                if (error == asio::error::operation_aborted) return;
                if (error) return handle_retry(conversation, attempt, error);
                conversation->written += sent;
                if (sent != 0) rearm_inactivity(conversation);
                if (conversation->written < conversation->buffers.size())
                    return connection_write(conversation, attempt);
                boost::system::error_code ignored;
                conversation->connection->shutdown(tcp::socket::shutdown_send, ignored);
                conversation->reply.clear();
                conversation->reply_size = 0;
                connection_read(conversation, attempt);
            });
        }));
}

void finish_tcp_reply(const conversation_pointer& conversation, std::uint8_t attempt);

void connection_read(const conversation_pointer& conversation, std::uint8_t attempt) {
    auto& reply = conversation->reply;
    reply.resize(conversation->reply_size + tcp_read_size);
    conversation->connection->async_read_some(
        asio::buffer(reply.data() + conversation->reply_size, tcp_read_size),
        asio::bind_executor(*strand, [conversation, attempt](const boost::system::error_code& error,
                                                             std::size_t received) {
            if (stale(*conversation, attempt)) return;
            guarded(conversation, [&] {
                report_traffic(0, received);
                if (error == asio::error::operation_aborted) return;
                conversation->reply_size += received;
                if (error && error != asio::error::eof)
                    return handle_retry(conversation, attempt, error);
                // Closed without a word: as good as refused.
                if (error && conversation->reply_size == 0)
                    return handle_retry(conversation, attempt, error);
                if (conversation->reply_size > tcp_reply_limit) {
                    trace_for(*conversation, QVSE_TRACE_WARNING,
                              boost::wformat(L"Received oversized response from %1%") %
                                  conversation->plan[attempt % conversation->plan.size()]->name);
                    if (conversation->completed) return retire(conversation);
                    close_connection(*conversation);
                    cancel_retry(*conversation);
                    return complete(conversation, QVSE_E_BAD_RESPONSE);
                }
                if (!error) {
                    if (received != 0) rearm_inactivity(conversation);
                    return connection_read(conversation, attempt);
                }
                finish_tcp_reply(conversation, attempt);
            });
        }));
}

void finish_tcp_reply(const conversation_pointer& conversation, std::uint8_t attempt) {
    auto& connection = *conversation->connection;
    boost::system::error_code ignored;
    const auto remote = connection.remote_endpoint(ignored);
    const auto server = conversation->plan[attempt % conversation->plan.size()];
    // The reply is complete: this attempt is over whatever it says.
    close_connection(*conversation);
    cancel_retry(*conversation);
    if (conversation->completed) return retire(conversation);

    std::span<const std::uint8_t> data(conversation->reply.data(), conversation->reply_size);
    header_type header;
    if (protocol::decode(data, header) && header.response &&
        header.type == conversation->header.type && header.attempt == attempt &&
        header.id == conversation->header.id)
        return handle_response(conversation, server, header, data);
    std::ostringstream text;
    text << remote;
    trace_for(*conversation, QVSE_TRACE_WARNING,
              boost::wformat(L"Received invalid response from %1%") % coding::to_wide(text.str()));
    complete(conversation, QVSE_E_BAD_RESPONSE);
}

}  // namespace

void send_stream(const conversation_pointer& conversation, const server_type& server) {
    trace_for(*conversation, QVSE_TRACE_DETAIL,
              boost::wformat(L"Establishing connection to %1% with %2% retry time") % server.name %
                  milliseconds(conversation->retry_time));
    close_connection(*conversation);
    conversation->connection = std::make_unique<tcp::socket>(*service);
    conversation->connection_start = clock_type::now();
    conversation->unsent = 0;
    const auto attempt = conversation->header.attempt;
    conversation->connection->async_connect(
        tcp::endpoint(canonical(server.address), server.port),
        asio::bind_executor(*strand,
                            [conversation, attempt](const boost::system::error_code& error) {
                                connection_handle_connect(conversation, attempt, error);
                            }));
}

}  // namespace quorvane::engine::network
