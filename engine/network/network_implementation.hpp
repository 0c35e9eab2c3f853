// The network's state and the steps its parts share. network.cpp owns the
// state, the worker thread, the servers and their probes; conversation.cpp
// queues, retries and completes requests; datagram.cpp and stream.cpp carry
// them over UDP and TCP; response.cpp takes the servers' replies;
// requests.cpp turns the entries into requests.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/format.hpp>

#include "../callbacks.hpp"
#include "../coding.hpp"
#include "../context/context.hpp"
#include "../frame.hpp"
#include "conversation.hpp"
#include "network.hpp"

namespace quorvane::engine::network {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;
using clock_type = conversation_type::clock_type;
using header_type = protocol::header_type;

inline constexpr std::size_t receive_size = 0x10000;

struct id_hash {
    std::size_t operator()(const header_type::id_type& id) const noexcept {
        std::uint64_t value;
        std::memcpy(&value, id.data(), sizeof value);
        return static_cast<std::size_t>(value);
    }
};

// The component's state (network.cpp). Everything but service and strand is
// touched only on the strand (or while the worker is not running).
extern std::unique_ptr<asio::io_context>& service;
extern std::unique_ptr<asio::io_context::strand>& strand;
extern std::vector<server_pointer>& servers;
extern std::unordered_map<header_type::id_type, conversation_pointer, id_hash>& conversations;
extern std::deque<conversation_pointer>& pending_writes;
extern asio::ip::address last_optimal_server;

namespace datagram {
extern std::unique_ptr<udp::socket>& socket;
extern udp::endpoint sender;
extern std::vector<std::uint8_t>& buffer;
}  // namespace datagram

// True on the network's worker thread.
bool on_worker() noexcept;

inline void trace_exception() noexcept { trace_current_exception(facility); }

inline std::wstring milliseconds(clock_type::duration duration) {
    return std::to_wstring(
               std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
           L" milliseconds";
}

inline std::wstring newest_latency(const server_type& server) {
    if (server.latencies.empty()) return L"unknown";
    return milliseconds(std::chrono::nanoseconds(server.latencies.front()));
}

inline std::wstring error_text(const boost::system::error_code& error) {
    return coding::to_wide(error.message());
}

inline void trace_for(const conversation_type& conversation, unsigned level,
                      const boost::wformat& line) {
    context::trace::write(conversation.record, level, facility, 0, line);
}

inline void report_traffic(std::size_t sent, std::size_t received) {
    if (sent == 0 && received == 0) return;
    if (const auto slot = callbacks.network_traffic) slot(sent, received);
}

// --- conversations (conversation.cpp) -----------------------------------

// Touches, reports and revokes carry data the servers keep.
bool uploads(const conversation_type& conversation) noexcept;

void close_connection(conversation_type& conversation);
void cancel_retry(conversation_type& conversation);

// Ends a conversation's transport for good: no more attempts, replies to it
// match nothing.
void retire(const conversation_pointer& conversation);

// Hands a status to the strand; the first completion to run wins.
void complete(const conversation_pointer& conversation, unsigned status);

// Runs a strand handler's body; whatever it throws completes the
// conversation instead of losing it.
template <class Body>
void guarded(const conversation_pointer& conversation, Body&& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        complete(conversation, QVSE_E_OUT_OF_MEMORY);
    } catch (...) {
        trace_exception();
        complete(conversation, QVSE_E_FAILED);
    }
}

// An upload over TCP may take long: its retry timer measures inactivity,
// within an absolute ceiling from the connection's start.
void rearm_inactivity(const conversation_pointer& conversation);

// Hands the new queue head to the strand; the queue must never stall.
void next_write();

// Moves a conversation on to its next attempt, or ends it when its plan is
// exhausted; news of an earlier attempt is ignored.
void handle_retry(const conversation_pointer& conversation, std::uint8_t attempt,
                  const boost::system::error_code& error);

// Plans a new conversation, arms its deadline and queues its first attempt.
void handle_dispatch(const conversation_pointer& conversation, clock_type::duration deadline);

// --- transport (datagram.cpp, stream.cpp) -------------------------------

void start_receive();
void send_datagram(const conversation_pointer& conversation, const server_type& server);
void send_stream(const conversation_pointer& conversation, const server_type& server);

// --- replies (response.cpp) ---------------------------------------------

// A reply that matched the conversation's request, from server.
void handle_response(const conversation_pointer& conversation, const server_pointer& server,
                     const header_type& header, std::span<const std::uint8_t> payload);

}  // namespace quorvane::engine::network
