// qv-classification-server: runs the stand-in classification server until
// interrupted, printing a line per message received.
//
//   qv-classification-server [--address A] [--port P] [--open]
//       [--credential KIND:USER:SECRET]... [--link ID:URI]...
//       [--digest CATEGORY:ID:HEX]... [--engine DIR] [--store FILE]
//
// The address defaults to 127.0.0.1 and the port to 2409. --credential
// accepts a user (identity kind, user id) with its secret; --open also
// accepts users without one, taking their secret as empty. --link answers
// lookups of links that begin with URI; --digest answers relay (0) or digest
// (2, 3, 4) fingerprints given in hex. Either answers as blacklisted with the
// record id ID.
//
// Reports and revokes are counted against the fingerprints of the message
// they carry, which the engine in DIR computes (default: the program's own
// folder; without an engine there, they teach nothing); lookups count as
// sightings of the fingerprints they carry. --store keeps the counts in FILE
// across restarts.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "classification_server.hpp"
#include "engine_fingerprints.hpp"

namespace {

namespace stand_in = quorvane::standins::classification_server;

volatile std::sig_atomic_t stopping = 0;

void usage() {
    std::cerr << "usage: qv-classification-server [--address A] [--port P] [--open]\n"
                 "         [--credential KIND:USER:SECRET]... [--link ID:URI]...\n"
                 "         [--digest CATEGORY:ID:HEX]... [--engine DIR] [--store FILE]\n";
}

std::string unhex(const std::string& text) {
    std::string out;
    for (std::size_t k = 0; k + 1 < text.size(); k += 2)
        out += static_cast<char>(std::stoi(text.substr(k, 2), nullptr, 16));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    stand_in::options_type options;
    options.port = 2409;
    struct credential {
        std::uint32_t kind, user;
        std::string secret;
    };
    std::vector<credential> credentials;
    std::vector<stand_in::record_type> records;
    std::optional<std::string> engine_directory;
    try {
        for (int k = 1; k < argc; ++k) {
            const std::string option = argv[k];
            auto value = [&]() -> std::string {
                if (k + 1 >= argc) throw std::invalid_argument(option + " needs a value");
                return argv[++k];
            };
            if (option == "--address")
                options.address = value();
            else if (option == "--port")
                options.port = static_cast<std::uint16_t>(std::stoul(value()));
            else if (option == "--open")
                options.accept_unknown_users = true;
            else if (option == "--engine")
                engine_directory = value();
            else if (option == "--store")
                options.store = value();
            else if (option == "--credential") {
                const std::string text = value();
                const auto first = text.find(':'), second = text.find(':', first + 1);
                if (second == std::string::npos)
                    throw std::invalid_argument("--credential KIND:USER:SECRET");
                credentials.push_back(
                    {static_cast<std::uint32_t>(std::stoul(text.substr(0, first))),
                     static_cast<std::uint32_t>(
                         std::stoul(text.substr(first + 1, second - first - 1))),
                     text.substr(second + 1)});
            } else if (option == "--link") {
                const std::string text = value();
                const auto colon = text.find(':');
                if (colon == std::string::npos) throw std::invalid_argument("--link ID:URI");
                stand_in::record_type record;
                record.category = 64;
                record.id = std::stoull(text.substr(0, colon));
                record.data = text.substr(colon + 1);
                record.flags = 4;
                records.push_back(record);
            } else if (option == "--digest") {
                const std::string text = value();
                const auto first = text.find(':'), second = text.find(':', first + 1);
                if (second == std::string::npos)
                    throw std::invalid_argument("--digest CATEGORY:ID:HEX");
                stand_in::record_type record;
                record.category = static_cast<std::uint32_t>(std::stoul(text.substr(0, first)));
                record.id = std::stoull(text.substr(first + 1, second - first - 1));
                record.data = unhex(text.substr(second + 1));
                record.flags = 4;
                records.push_back(record);
            } else {
                usage();
                return option == "--help" ? 0 : 2;
            }
        }
    } catch (const std::exception& error) {
        std::cerr << "qv-classification-server: " << error.what() << "\n";
        usage();
        return 2;
    }

    std::unique_ptr<stand_in::engine_fingerprinter> fingerprinter;
    try {
        const std::string directory =
            engine_directory
                ? *engine_directory
                : std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
        fingerprinter = std::make_unique<stand_in::engine_fingerprinter>(directory);
        options.fingerprints = [&fingerprinter](const std::string& message) {
            return (*fingerprinter)(message);
        };
        options.on_learned = [](bool revoke, std::size_t fingerprints) {
            std::cout << "learned " << (revoke ? "revoke" : "report") << " of " << fingerprints
                      << " fingerprints" << std::endl;
        };
    } catch (const std::exception& error) {
        std::cerr << "qv-classification-server: " << error.what() << "\n";
        if (engine_directory) return 1;
        std::cerr << "qv-classification-server: reports and revokes teach nothing\n";
    }

    try {
        options.history = 1000;
        options.history_bytes = 64 << 20;
        options.on_request = [](const stand_in::request_type& request) {
            std::cout << (request.transport == stand_in::transport_type::udp ? "udp" : "tcp")
                      << " type " << unsigned(request.type) << " attempt "
                      << unsigned(request.attempt) << " user " << request.user_id << " bytes "
                      << request.size << (request.authenticated ? " authenticated" : "")
                      << std::endl;
        };
        stand_in::server server(options);
        for (const auto& entry : credentials)
            server.add_credential(entry.kind, entry.user, entry.secret);
        for (const auto& record : records) server.add_record(record);
        std::signal(SIGINT, [](int) { stopping = 1; });
        std::signal(SIGTERM, [](int) { stopping = 1; });
        std::cout << "listening on " << server.address() << " port " << server.port()
                  << " (UDP and TCP)" << std::endl;
        while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } catch (const std::exception& error) {
        std::cerr << "qv-classification-server: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
