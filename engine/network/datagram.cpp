// Requests over UDP: the one socket's sends, and the replies it receives,
// matched to their conversation and server.
#include <array>
#include <sstream>

#include <boost/asio/bind_executor.hpp>

#include "../principal/trace.hpp"
#include "network_implementation.hpp"

namespace quorvane::engine::network {

namespace {

void datagram_handle_read(const boost::system::error_code& error, std::size_t received);

void datagram_handle_write(const conversation_pointer& conversation,
                           const boost::system::error_code& error, std::size_t sent) {
    try {
        report_traffic(sent, 0);
        if (error == asio::error::operation_aborted) return;
        if (error)
            principal::trace::write(QVSE_TRACE_WARNING, facility, 0,
                                    boost::wformat(L"Error sending: %1%") % error_text(error));
    } catch (...) {
        trace_exception();
    }
    if (!pending_writes.empty() && pending_writes.front() == conversation)
        pending_writes.pop_front();
    next_write();
}

void take_datagram(std::size_t received) {
    std::span<const std::uint8_t> data(datagram::buffer.data(), received);
    header_type header;
    conversation_pointer conversation;
    server_pointer server;
    if (protocol::decode(data, header) && header.response) {
        const auto found = conversations.find(header.id);
        // A reply of another type than the request's answers nothing: whoever
        // knows a request id could otherwise end it, or rewrite the server's
        // record with a probe reply, without the keystream.
        if (found != conversations.end() && header.type == found->second->header.type) {
            const auto& plan = found->second->plan;
            const auto reply_attempt = static_cast<std::int8_t>(header.attempt);
            const auto current = static_cast<std::int8_t>(found->second->header.attempt);
            if (reply_attempt >= 0 && reply_attempt <= current &&
                static_cast<std::size_t>(reply_attempt) < plan.size()) {
                const auto address = canonical(datagram::sender.address());
                const auto port = datagram::sender.port();
                for (const auto& candidate : plan)
                    if (candidate->port == port && canonical(candidate->address) == address) {
                        conversation = found->second;
                        server = candidate;
                        break;
                    }
            }
        }
    }
    if (!conversation) {
        std::ostringstream sender;
        sender << datagram::sender;
        principal::trace::write(QVSE_TRACE_WARNING, facility, 0,
                                boost::wformat(L"Received %1% unexpected bytes from %2%") %
                                    received % coding::to_wide(sender.str()));
        return;
    }
    const auto& plan = conversation->plan;
    if (header.attempt == conversation->header.attempt &&
        server == plan[conversation->header.attempt % plan.size()])
        server->add_latency(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                clock_type::now() - conversation->send_time)
                                .count());
    if (conversation->completed) {
        // An upload that outlived its deadline has now been delivered.
        retire(conversation);
        return;
    }
    guarded(conversation, [&] { handle_response(conversation, server, header, data); });
}

void datagram_handle_read(const boost::system::error_code& error, std::size_t received) {
    if (error == asio::error::operation_aborted) return;
    if (!datagram::socket || !datagram::socket->is_open()) return;
    try {
        report_traffic(0, received);
        if (error) {
            std::ostringstream sender;
            sender << datagram::sender;
            principal::trace::write(QVSE_TRACE_WARNING, facility, 0,
                                    boost::wformat(L"Error receiving from %1%: %2%") %
                                        coding::to_wide(sender.str()) % error_text(error));
        } else {
            take_datagram(received);
        }
    } catch (...) {
        trace_exception();
    }
    // Whatever happened to this datagram, keep receiving.
    try {
        start_receive();
    } catch (...) {
        trace_exception();
    }
}

}  // namespace

void start_receive() {
    datagram::socket->async_receive_from(asio::buffer(datagram::buffer.data(), receive_size),
                                         datagram::sender,
                                         asio::bind_executor(*strand, &datagram_handle_read));
}

void send_datagram(const conversation_pointer& conversation, const server_type& server) {
    trace_for(*conversation, QVSE_TRACE_DETAIL,
              boost::wformat(L"Sending %1% bytes to %2% with %3% retry time") %
                  conversation->buffers.size() % server.name %
                  milliseconds(conversation->retry_time));
    if (!datagram::socket || !datagram::socket->is_open()) {
        // No endpoint could be created: the retry timer moves the request on.
        principal::trace::write(QVSE_TRACE_WARNING, facility, 0,
                                std::wstring(L"Error sending: no UDP endpoint"));
        return datagram_handle_write(conversation, {}, 0);
    }
    const auto& buffers = conversation->buffers;
    const std::array<asio::const_buffer, 3> parts{asio::buffer(buffers.header),
                                                  asio::buffer(buffers.authentication),
                                                  asio::buffer(buffers.payload)};
    datagram::socket->async_send_to(
        parts, udp::endpoint(server.address, server.port),
        asio::bind_executor(
            *strand, [conversation](const boost::system::error_code& error, std::size_t sent) {
                datagram_handle_write(conversation, error, sent);
            }));
}

}  // namespace quorvane::engine::network
