#include "server.hpp"

#include <algorithm>
#include <charconv>
#include <numeric>
#include <stdexcept>
#include <string_view>

#include "../coding.hpp"

namespace quorvane::engine::network {

namespace {

using boost::property_tree::ptree;

template <class Number>
Number number_of(const std::string& text, const char* member) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        throw std::invalid_argument(std::string("malformed server member \"") + member + "\"");
    return value;
}

bool boolean_of(const std::string& text) {
    if (text == "true" || text == "1") return true;
    if (text == "false" || text == "0") return false;
    throw std::invalid_argument("malformed server member \"reachable\"");
}

}  // namespace

server_type::server_type(boost::asio::io_context& service, const boost::asio::ip::address& address,
                         std::uint16_t port)
    : address(address),
      port(port),
      probe_timer(service),
      latencies{initial_latency_ns},
      name(coding::to_wide(address.to_string())) {}

server_type::server_type(boost::asio::io_context& service, const ptree& node)
    : probe_timer(service) {
    // get<std::string> throws ptree_bad_path for a missing member.
    address = boost::asio::ip::make_address(node.get<std::string>("address"));
    port = number_of<std::uint16_t>(node.get<std::string>("port"), "port");
    reachable = boolean_of(node.get<std::string>("reachable"));
    location = printable(coding::to_wide(node.get<std::string>("location")));
    provider = printable(coding::to_wide(node.get<std::string>("provider")));
    uptime = number_of<std::int64_t>(node.get<std::string>("uptime"), "uptime");
    updated = number_of<std::int64_t>(node.get<std::string>("updated"), "updated");
    serial = number_of<std::uint64_t>(node.get<std::string>("serial"), "serial");
    records = number_of<std::uint64_t>(node.get<std::string>("records"), "records");
    for (const auto& element : node.get_child("latencies"))
        latencies.push_back(number_of<std::int64_t>(element.second.data(), "latencies"));
    name = coding::to_wide(address.to_string());
}

ptree server_type::serialize() const {
    ptree node;
    node.put("address", address.to_string());
    node.put("port", std::to_string(port));
    node.put("reachable", reachable ? "true" : "false");
    node.put("location", coding::to_utf8(location));
    node.put("provider", coding::to_utf8(provider));
    node.put("uptime", std::to_string(uptime));
    node.put("updated", std::to_string(updated));
    node.put("serial", std::to_string(serial));
    node.put("records", std::to_string(records));
    ptree list;
    for (const auto latency : latencies) list.push_back({"", ptree(std::to_string(latency))});
    node.add_child("latencies", list);
    return node;
}

void server_type::add_latency(std::int64_t nanoseconds) {
    latencies.push_front(nanoseconds);
    while (latencies.size() > max_latencies) latencies.pop_back();
}

double plan_score(const server_type& server) noexcept {
    if (!server.reachable || server.records == 0 || server.latencies.empty()) return 0.0;
    std::uint64_t sum = 0;
    for (const auto latency : server.latencies) sum += static_cast<std::uint64_t>(latency);
    const std::uint64_t mean = sum / server.latencies.size();
    return 1e9 / static_cast<double>(mean);  // a zero mean scores infinity
}

bool optimal_plan_predicate(const server_pointer& first, const server_pointer& second) noexcept {
    return plan_score(*first) > plan_score(*second);
}

boost::asio::ip::address canonical(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    return address;
}

std::wstring printable(std::wstring text) {
    std::erase_if(text, [](wchar_t c) {
        const auto value = static_cast<char32_t>(c);
        return value < 0x20 || (value >= 0x7F && value < 0xA0);
    });
    return text;
}

}  // namespace quorvane::engine::network
