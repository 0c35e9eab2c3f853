// qv-classification-server: runs the stand-in classification server until
// interrupted, printing a line per message received (at most twenty a
// second).
//
//   qv-classification-server [--address A] [--port P] [--open]
//       [--credential KIND:USER:SECRET]... [--link ID:KEY]...
//       [--digest CATEGORY:ID:HEX]... [--engine DIR] [--store FILE] [--log FILE]
//
// The address defaults to 127.0.0.1 and the port to 2409. --credential
// accepts a user (identity kind, user id) with its secret; --open also
// accepts users without one, taking their secret as empty. --link answers
// lookups of links that KEY covers, KEY being a link as the engine keys it
// (host labels reversed, then the path: "com.example.www/offer"); --digest
// answers relay (0: 4 bytes) or digest (2, 3, 4: 16 bytes) fingerprints
// given in hex. Either answers as blacklisted with the record id ID, and is
// never written to the store.
//
// Reports and revokes are counted against the fingerprints of the message
// they carry, which the engine in DIR computes (default: the program's own
// folder; without an engine there, they teach nothing); lookups count as
// sightings of the fingerprints they carry. --store keeps the counts in FILE
// across restarts. --log writes the output to FILE instead, which moves to
// FILE.1 at 4 MiB.
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "classification_server.hpp"
#include "engine_fingerprints.hpp"
#include "output_log.hpp"

namespace {

namespace stand_in = quorvane::standins::classification_server;

volatile std::sig_atomic_t stopping = 0;

void usage() {
    std::cerr << "usage: qv-classification-server [--address A] [--port P] [--open]\n"
                 "         [--credential KIND:USER:SECRET]... [--link ID:KEY]...\n"
                 "         [--digest CATEGORY:ID:HEX]... [--engine DIR] [--store FILE]\n"
                 "         [--log FILE]\n";
}

// A whole unsigned decimal no larger than the limit; throws naming the option.
std::uint64_t number(const std::string& text, std::uint64_t limit, const std::string& what) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > limit)
        throw std::invalid_argument(what + ": not a number from 0 to " + std::to_string(limit) +
                                    ": \"" + text + "\"");
    return value;
}

constexpr std::uint64_t max32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();

std::string unhex(const std::string& text, std::size_t bytes) {
    if (text.size() != 2 * bytes)
        throw std::invalid_argument("--digest: " + std::to_string(2 * bytes) +
                                    " hex digits wanted, " + std::to_string(text.size()) +
                                    " given");
    std::string out;
    for (std::size_t k = 0; k < text.size(); k += 2) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data() + k, text.data() + k + 2, value, 16);
        if (error != std::errc() || end != text.data() + k + 2)
            throw std::invalid_argument("--digest: not hex: \"" + text + "\"");
        out += static_cast<char>(value);
    }
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
    std::string log_path;
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
                options.port = static_cast<std::uint16_t>(number(value(), 65535, "--port"));
            else if (option == "--open")
                options.accept_unknown_users = true;
            else if (option == "--engine")
                engine_directory = value();
            else if (option == "--store")
                options.store = value();
            else if (option == "--log")
                log_path = value();
            else if (option == "--credential") {
                const std::string text = value();
                const auto first = text.find(':'), second = text.find(':', first + 1);
                if (second == std::string::npos)
                    throw std::invalid_argument("--credential KIND:USER:SECRET");
                credentials.push_back(
                    {static_cast<std::uint32_t>(number(text.substr(0, first), max32, option)),
                     static_cast<std::uint32_t>(
                         number(text.substr(first + 1, second - first - 1), max32, option)),
                     text.substr(second + 1)});
            } else if (option == "--link") {
                const std::string text = value();
                const auto colon = text.find(':');
                if (colon == std::string::npos) throw std::invalid_argument("--link ID:KEY");
                stand_in::record_type record;
                record.category = 64;
                record.id = number(text.substr(0, colon), max64, option);
                record.data = text.substr(colon + 1);
                if (record.data.empty() || record.data.find("://") != std::string::npos)
                    throw std::invalid_argument(
                        "--link: a link as the engine keys it, such as com.example.www/offer");
                record.flags = 4;
                records.push_back(record);
            } else if (option == "--digest") {
                const std::string text = value();
                const auto first = text.find(':'), second = text.find(':', first + 1);
                if (second == std::string::npos)
                    throw std::invalid_argument("--digest CATEGORY:ID:HEX");
                stand_in::record_type record;
                record.category =
                    static_cast<std::uint32_t>(number(text.substr(0, first), max32, option));
                if (record.category != 0 && (record.category < 2 || record.category > 4))
                    throw std::invalid_argument("--digest: category 0, 2, 3 or 4");
                record.id = number(text.substr(first + 1, second - first - 1), max64, option);
                record.data = unhex(text.substr(second + 1), record.category == 0 ? 4 : 16);
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

    std::unique_ptr<stand_in::output_log> output;
    try {
        output = std::make_unique<stand_in::output_log>(log_path);
    } catch (const std::exception& error) {
        std::cerr << "qv-classification-server: " << error.what() << "\n";
        return 1;
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
        options.on_learned = [&output](bool revoke, std::size_t fingerprints) {
            output->line(std::string("learned ") + (revoke ? "revoke" : "report") + " of " +
                         std::to_string(fingerprints) + " fingerprints");
        };
    } catch (const std::exception& error) {
        std::cerr << "qv-classification-server: " << error.what() << "\n";
        if (engine_directory) return 1;
        std::cerr << "qv-classification-server: reports and revokes teach nothing\n";
    }

    try {
        // What tests ask a server in the same process: little use here.
        options.history = 100;
        options.history_bytes = 1 << 20;
        options.on_request = [&output](const stand_in::request_type& request) {
            output->request(
                std::string(request.transport == stand_in::transport_type::udp ? "udp" : "tcp") +
                " type " + std::to_string(request.type) + " attempt " +
                std::to_string(request.attempt) + " user " + std::to_string(request.user_id) +
                " bytes " + std::to_string(request.size) +
                (request.authenticated ? " authenticated" : ""));
        };
        stand_in::server server(options);
        for (const auto& entry : credentials)
            server.add_credential(entry.kind, entry.user, entry.secret);
        for (const auto& record : records) server.add_record(record);
        std::signal(SIGINT, [](int) { stopping = 1; });
        std::signal(SIGTERM, [](int) { stopping = 1; });
        output->line("listening on " + server.address() + " port " + std::to_string(server.port()) +
                     " (UDP and TCP)");
        while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } catch (const std::exception& error) {
        std::cerr << "qv-classification-server: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
