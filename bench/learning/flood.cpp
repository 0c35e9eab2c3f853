// A flood against a running classification server, to see what it holds:
// lookups of unique links (or digests) as fast as one client sends them, by
// TCP, each answered before the next is sent.
//
//   classification_flood ADDRESS PORT SECONDS [links|digests] [PER_LOOKUP] [LENGTH]
//
// Authenticates as identity 10, user 0, secret "bench". Prints how many
// lookups were answered. bench/learning/flood.sh starts a server, runs this
// and reads the server's memory and store file.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <random>
#include <string>

#include "wire.hpp"

namespace {

namespace wire = quorvane::standins::classification_server::wire;
namespace asio = boost::asio;

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
    wire::frame_header header{false, true, 0, 2, 0, std::string(10, '\0')};
    for (auto& c : header.id) c = static_cast<char>(random());
    const std::string secret = "bench";
    wire::rc4_drop(wire::md5(header.id + secret), payload);
    wire::bytes block;
    wire::put_number(block, 10);
    wire::put_number(block, 0);
    block += wire::md5(header.id + secret + payload);
    return wire::build_header(header) + block + payload;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: classification_flood ADDRESS PORT SECONDS [links|digests] "
                     "[PER_LOOKUP] [LENGTH]\n";
        return 2;
    }
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
