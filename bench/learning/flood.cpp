// A flood against a running classification server, to see what it holds:
// lookups of unique links (or digests) as fast as one client sends them, by
// TCP, each answered before the next is sent.
//
//   classification_flood ADDRESS PORT SECONDS [links|digests] [PER_LOOKUP] [LENGTH]
//   classification_flood ADDRESS PORT report MEGABYTES
//
// Authenticates as identity 10, user 0, secret "bench". Prints how many
// lookups were answered; or, with "report", sends a report of a message of
// so many megabytes by TCP and meanwhile times lookups of three digests by
// UDP, one after another, until the report is answered. bench/learning/flood.sh starts a server,
// runs this and reads the server's memory and store file.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "wire.hpp"

namespace {

namespace wire = quorvane::standins::classification_server::wire;
namespace asio = boost::asio;

std::string request(std::mt19937_64& random, std::uint8_t type, wire::bytes payload) {
    wire::frame_header header{false, true, 0, type, 0, std::string(10, '\0')};
    for (auto& c : header.id) c = static_cast<char>(random());
    const std::string secret = "bench";
    wire::rc4_drop(wire::md5(header.id + secret), payload);
    wire::bytes block;
    wire::put_number(block, 10);
    wire::put_number(block, 0);
    block += wire::md5(header.id + secret + payload);
    return wire::build_header(header) + block + payload;
}

std::string lookup_request(std::mt19937_64& random, bool links, unsigned count,
                           std::size_t length) {
    wire::bytes payload;
    wire::put_number(payload, count);
    for (unsigned k = 0; k < count; ++k) {
        if (links) {
            wire::put_number(payload, 64);
            std::string link = "com.flood.host" + std::to_string(random()) + "/";
            while (link.size() < length) link += static_cast<char>('a' + random() % 26);
            wire::put_text(payload, link);
        } else {
            wire::put_number(payload, 2);
            for (int b = 0; b < 16; ++b) payload += static_cast<char>(random());
        }
    }
    return request(random, 2, std::move(payload));
}

// A report of a message of words and links, timed against lookups.
int report_beside_lookups(const asio::ip::address& address, unsigned short port,
                          std::size_t megabytes) {
    asio::io_context io;
    std::mt19937_64 random(std::random_device{}());
    std::string message = "From: bench@example.org\r\nSubject: a large report\r\n\r\n";
    while (message.size() < (megabytes << 20))
        message += "word" + std::to_string(random() % 100000) + " see http://host" +
                   std::to_string(random() % 1000) + ".example/page\r\n";
    wire::bytes payload;
    wire::put_number(payload, 1);
    wire::put_number(payload, message.size());
    payload += message;
    const std::string report = request(random, 4, std::move(payload));
    std::atomic<bool> answered{false};
    std::thread reporter([&] {
        asio::ip::tcp::socket socket(io);
        socket.connect({address, port});
        asio::write(socket, asio::buffer(report));
        socket.shutdown(asio::ip::tcp::socket::shutdown_send);
        std::string reply;
        boost::system::error_code error;
        asio::read(socket, asio::dynamic_buffer(reply), error);
        answered = true;
    });
    asio::ip::udp::socket udp(io, asio::ip::udp::v4());
    std::vector<double> times;
    const auto started = std::chrono::steady_clock::now();
    while (!answered) {
        const std::string lookup = lookup_request(random, false, 3, 0);
        const auto sent = std::chrono::steady_clock::now();
        udp.send_to(asio::buffer(lookup), {address, port});
        std::array<char, 2048> reply;
        udp.receive(asio::buffer(reply));
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent)
                .count());
    }
    reporter.join();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::sort(times.begin(), times.end());
    std::printf(
        "report of %zu MB answered after %.2f s; %zu lookups meanwhile: median %.2f ms, "
        "longest %.2f ms\n",
        megabytes, took, times.size(), times.empty() ? 0.0 : times[times.size() / 2],
        times.empty() ? 0.0 : times.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: classification_flood ADDRESS PORT SECONDS [links|digests] "
                     "[PER_LOOKUP] [LENGTH]\n";
        return 2;
    }
    if (std::string(argv[3]) == "report")
        return report_beside_lookups(asio::ip::make_address(argv[1]),
                                     static_cast<unsigned short>(std::stoul(argv[2])),
                                     argc > 4 ? std::stoul(argv[4]) : 10);
    const bool links = argc < 5 || std::string(argv[4]) == "links";
    const unsigned per_lookup = argc > 5 ? static_cast<unsigned>(std::stoul(argv[5])) : 100;
    const std::size_t length = argc > 6 ? std::stoul(argv[6]) : 1024;
    asio::io_context io;
    const asio::ip::tcp::endpoint server(asio::ip::make_address(argv[1]),
                                         static_cast<unsigned short>(std::stoul(argv[2])));
    std::mt19937_64 random(std::random_device{}());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::stoul(argv[3]));
    unsigned answered = 0, failed = 0;
    while (std::chrono::steady_clock::now() < end) {
        try {
            asio::ip::tcp::socket socket(io);
            socket.connect(server);
            asio::write(socket, asio::buffer(lookup_request(random, links, per_lookup, length)));
            socket.shutdown(asio::ip::tcp::socket::shutdown_send);
            std::string reply;
            boost::system::error_code error;
            asio::read(socket, asio::dynamic_buffer(reply), error);
            if (reply.size() > wire::header_length)
                ++answered;
            else
                ++failed;
        } catch (const std::exception&) {
            ++failed;
        }
    }
    std::printf("%u lookups of %u %s answered, %u failed\n", answered, per_lookup,
                links ? "links" : "digests", failed);
    return 0;
}
