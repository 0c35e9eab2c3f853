// One request in flight, from its entry (or a probe) until it completes.
#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "../context/context.hpp"
#include "protocol.hpp"
#include "server.hpp"

namespace quorvane::engine::network {

struct conversation_type {
    using clock_type = std::chrono::steady_clock;

    explicit conversation_type(boost::asio::io_context& service)
        : retry_timer(service), deadline_timer(service) {}

    // The three parts a request is sent from, gathered without copying.
    struct buffers_type {
        std::string header;
        std::string authentication;
        std::string payload;
        std::size_t size() const noexcept {
            return header.size() + authentication.size() + payload.size();
        }
    };

    std::optional<std::promise<unsigned>> promise;  // synchronous requests only
    std::unique_ptr<boost::asio::ip::tcp::socket> connection;
    context::record_pointer record;  // none for probes, and after completion
    protocol::header_type header;
    hashes::digest session_key{};
    std::optional<protocol::rc4_type> reply_cipher;  // keystream of an enciphered request
    clock_type::time_point send_time;
    boost::asio::steady_timer retry_timer;
    boost::asio::steady_timer deadline_timer;
    buffers_type buffers;
    std::vector<server_pointer> plan;  // one server per attempt

    // Bookkeeping of the transport.
    clock_type::duration retry_time{};
    std::uint64_t retry_generation = 0;  // a wait acts only while it is current
    clock_type::time_point connection_start;
    std::size_t written = 0;
    std::size_t unsent = 0;           // bytes the kernel still held at the last look
    std::vector<std::uint8_t> reply;  // TCP reply collected so far
    std::size_t reply_size = 0;
    bool completed = false;
};

using conversation_pointer = std::shared_ptr<conversation_type>;

}  // namespace quorvane::engine::network
