#include <gtest/gtest.h>

#include <sstream>

#include <boost/asio/io_context.hpp>
#include <boost/property_tree/json_parser.hpp>

#include "network/server.hpp"

namespace {

namespace network = quorvane::engine::network;
namespace asio = boost::asio;
using boost::property_tree::ptree;

TEST(ServerRecords, NewRecordSerialisesAsStrings) {
    asio::io_context service;
    network::server_type server(service, asio::ip::make_address("192.0.2.7"), 2409);
    EXPECT_EQ(server.name, L"192.0.2.7");
    std::ostringstream out;
    boost::property_tree::write_json(out, server.serialize(), false);
    EXPECT_EQ(
        out.str(),
        "{\"address\":\"192.0.2.7\",\"port\":\"2409\",\"reachable\":\"false\",\"location\":\"\","
        "\"provider\":\"\",\"uptime\":\"0\",\"updated\":\"0\",\"serial\":\"0\",\"records\":\"0\","
        "\"latencies\":[\"1000000000\"]}\n");
}

TEST(ServerRecords, RoundTripAndMalformedMembers) {
    asio::io_context service;
    network::server_type server(service, asio::ip::make_address("2001:db8::1"), 17);
    server.reachable = true;
    server.location = L"Z\u00fcrich";
    server.uptime = -5;
    server.serial = 18446744073709551615ull;
    server.records = 9;
    server.add_latency(20);
    network::server_type copy(service, server.serialize());
    EXPECT_EQ(copy.address, server.address);
    EXPECT_EQ(copy.port, 17);
    EXPECT_TRUE(copy.reachable);
    EXPECT_EQ(copy.location, L"Z\u00fcrich");
    EXPECT_EQ(copy.uptime, -5);
    EXPECT_EQ(copy.serial, server.serial);
    EXPECT_EQ(copy.latencies, server.latencies);
    EXPECT_EQ(copy.name, L"2001:db8::1");

    struct row {
        const char* member;
        const char* value;
        bool ok;
    };
    for (const auto& r :
         {row{"reachable", "1", true}, row{"reachable", "0", true}, row{"reachable", "yes", false},
          row{"port", "65536", false}, row{"port", "-1", false}, row{"records", "-1", false},
          row{"uptime", "12abc", false}, row{"address", "not an address", false},
          row{"serial", "", false}}) {
        ptree node = server.serialize();
        node.put(r.member, r.value);
        if (r.ok)
            EXPECT_NO_THROW(network::server_type(service, node)) << r.member << "=" << r.value;
        else
            EXPECT_ANY_THROW(network::server_type(service, node)) << r.member << "=" << r.value;
    }
    ptree missing = server.serialize();
    missing.erase("records");
    EXPECT_ANY_THROW(network::server_type(service, missing));
}

TEST(ServerRecords, PlanPredicate) {
    asio::io_context service;
    auto make = [&](bool reachable, std::uint64_t records, std::vector<std::int64_t> latencies) {
        auto server =
            std::make_shared<network::server_type>(service, asio::ip::make_address("127.0.0.1"), 1);
        server->reachable = reachable;
        server->records = records;
        server->latencies.assign(latencies.begin(), latencies.end());
        return server;
    };
    const auto fast = make(true, 1, {20'000'000});
    const auto slow = make(true, 1, {30'000'000});
    EXPECT_DOUBLE_EQ(network::plan_score(*fast), 50.0);
    EXPECT_NEAR(network::plan_score(*slow), 33.333, 0.001);
    EXPECT_TRUE(network::optimal_plan_predicate(fast, slow));
    EXPECT_FALSE(network::optimal_plan_predicate(slow, fast));
    EXPECT_FALSE(network::optimal_plan_predicate(fast, fast));
    // Unusable servers sort after every usable one, whatever their latency.
    for (const auto& unusable : {make(false, 1, {1}), make(true, 0, {1}), make(true, 1, {})}) {
        EXPECT_EQ(network::plan_score(*unusable), 0.0);
        EXPECT_TRUE(network::optimal_plan_predicate(slow, unusable));
    }
    // Integer mean: 3 and 4 ns give 3.
    EXPECT_DOUBLE_EQ(network::plan_score(*make(true, 1, {3, 4})), 1e9 / 3);
}

TEST(ServerRecords, LatenciesKeepTheNewestSixteen) {
    asio::io_context service;
    network::server_type server(service, asio::ip::make_address("127.0.0.1"), 1);
    for (int k = 1; k <= 20; ++k) server.add_latency(k);
    ASSERT_EQ(server.latencies.size(), 16u);
    EXPECT_EQ(server.latencies.front(), 20);
    EXPECT_EQ(server.latencies.back(), 5);
}

TEST(ServerRecords, CanonicalAndPrintable) {
    EXPECT_EQ(network::canonical(asio::ip::make_address("::ffff:127.0.0.3")),
              asio::ip::make_address("127.0.0.3"));
    EXPECT_EQ(network::canonical(asio::ip::make_address("::1")), asio::ip::make_address("::1"));
    EXPECT_EQ(network::printable(L"a\nb\x1b[31m\x7f\x85"
                                 L"c\u00e9"),
              L"ab[31mc\u00e9");
}

}  // namespace
