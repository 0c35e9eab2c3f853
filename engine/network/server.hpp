// One record per classification server, its JSON form and the order in
// which a request's plan tries servers.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/property_tree/ptree.hpp>

namespace quorvane::engine::network {

inline constexpr std::int64_t initial_latency_ns = 1'000'000'000;
inline constexpr std::size_t max_latencies = 16;

struct server_type {
    // A server the back end's name resolved to: unprobed, one latency of 1 s.
    server_type(boost::asio::io_context& service, const boost::asio::ip::address& address,
                std::uint16_t port);
    // A server of a saved list; throws when a member is missing or malformed.
    server_type(boost::asio::io_context& service, const boost::property_tree::ptree& node);

    boost::property_tree::ptree serialize() const;

    // Newest first; keeps at most 16.
    void add_latency(std::int64_t nanoseconds);

    boost::asio::ip::address address;
    std::uint16_t port = 0;
    boost::asio::steady_timer probe_timer;
    bool reachable = false;
    std::deque<std::int64_t> latencies;  // nanoseconds, newest first
    std::wstring name;
    std::wstring location;
    std::wstring provider;
    std::int64_t uptime = 0;   // seconds
    std::int64_t updated = 0;  // seconds
    std::uint64_t serial = 0;
    std::uint64_t records = 0;  // 0: not used for plans
};

using server_pointer = std::shared_ptr<server_type>;

// 1e9 over the mean latency for a usable server (reachable, with records and
// latencies), else 0.
double plan_score(const server_type& server) noexcept;

// True when first should be tried before second: higher score first.
bool optimal_plan_predicate(const server_pointer& first, const server_pointer& second) noexcept;

// IPv4-mapped IPv6 addresses become IPv4, so that one server has one form.
boost::asio::ip::address canonical(const boost::asio::ip::address& address);

// Removes control characters from text a server supplied.
std::wstring printable(std::wstring text);

}  // namespace quorvane::engine::network
