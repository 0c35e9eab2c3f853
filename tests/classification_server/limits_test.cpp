// The stand-in under hostile clients, asked by the engine's own network
// client: connections that hang or send too much, reports that take long to
// learn, and the same report told again and again.
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <future>
#include <iterator>
#include <sstream>

#include "fixture.hpp"
#include "network/network.hpp"

namespace quorvane::testing {
namespace {

namespace network = engine::network;
namespace asio = boost::asio;
using asio::ip::tcp;

// A client that connects, sends a few bytes and then neither finishes nor
// reads.
struct hanging_client {
    hanging_client(asio::io_context &io, const stand_in::server &server, std::size_t bytes = 10) : socket(io)
    {
        socket.connect({asio::ip::make_address(server.address()), server.port()});
        asio::write(socket, asio::buffer(std::string(bytes, 'V')));
    }
    // Whether the server closed the connection within the limit.
    bool closed(std::chrono::milliseconds limit = 10s)
    {
        pollfd watch{socket.native_handle(), POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(limit.count())) <= 0)
            return false;
        char byte;
        return ::recv(socket.native_handle(), &byte, 1, MSG_DONTWAIT) <= 0;
    }
    tcp::socket socket;
};

class Limits : public network_fixture {
protected:
    // A lookup of so many digests: above 1,232 bytes it goes by TCP.
    unsigned look_up(std::size_t fingerprints)
    {
        void *handle = make_context(cells.size());
        for (std::size_t k = 0; k < fingerprints; ++k)
            add_fingerprint(handle, digest_fingerprint(static_cast<std::uint8_t>(k)));
        return network::lookup(handle, 5000, false);
    }
    asio::io_context io;
};

// With every connection the server allows taken by clients that hang, a
// new one still gets in (the oldest gives way), and UDP never waits.
TEST_F(Limits, HangingClientsLeaveLookupsAnswered)
{
    stand_in::options_type options;
    options.max_sessions = 4;
    options.session_timeout = 60s;  // not what frees them
    auto server = make_server(111, options);
    use({{server.get(), patient}});
    std::vector<std::unique_ptr<hanging_client>> clients;
    for (int k = 0; k < 8; ++k)
        clients.push_back(std::make_unique<hanging_client>(io, *server));
    EXPECT_EQ(look_up(3), unsigned(QVSE_OK)) << "by UDP";
    EXPECT_EQ(look_up(100), unsigned(QVSE_OK)) << "by TCP";
    EXPECT_TRUE(clients.front()->closed()) << "the oldest made room";
    EXPECT_GE(server->count(2), 2u);
}

// A connection is closed when it has not sent its request in time, when it
// sends more than a request may hold, and when all connections together
// would hold more than the server allows.
TEST_F(Limits, ConnectionsAreClosedAtTheirLimits)
{
    struct row {
        const char *what;
        std::chrono::milliseconds timeout;
        std::size_t payload_limit, buffer_limit;
        std::vector<std::size_t> sent;  // bytes by each client, in order
        std::vector<bool> closed;  // whether each is closed
    };
    for (const auto &r : std::vector<row>{
             {"silent past its deadline", 200ms, 16 << 20, 48 << 20, {10}, {true}},
             {"more than the payload limit", 60s, 1000, 48 << 20, {5000}, {true}},
             {"within every limit", 60s, 100000, 48 << 20, {5000}, {false}},
             {"more than all may hold", 60s, 100000, 60000, {40000, 40000}, {false, true}},
         }) {
        stand_in::options_type options;
        options.session_timeout = r.timeout;
        options.payload_limit = r.payload_limit;
        options.tcp_buffer_limit = r.buffer_limit;
        auto server = make_server(112, options);
        std::vector<std::unique_ptr<hanging_client>> clients;
        for (const auto bytes : r.sent)
            clients.push_back(std::make_unique<hanging_client>(io, *server, bytes));
        for (std::size_t k = 0; k < clients.size(); ++k)
            EXPECT_EQ(clients[k]->closed(r.closed[k] ? 10s : 300ms), r.closed[k]) << r.what << ", client " << k;
    }
}

// Learning a report takes its time on a thread of its own: lookups are
// answered meanwhile, and the report only once it is learned. (The report
// is of 2 MB, so a sanitizer's build uploads it within the engine's retry
// time; bench/learning/flood.sh times lookups beside one of 10 MB.)
TEST_F(Limits, AReportBeingLearnedHoldsUpNoLookup)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto learning = std::make_shared<std::atomic<bool>>(false);
    stand_in::options_type options;
    options.fingerprints = [released, learning](const std::string &) {
        *learning = true;
        released.wait();
        return std::vector<stand_in::fingerprint_type>{{2, std::string(16, 'r')}};
    };
    auto server = make_server(113, options);
    use({{server.get(), patient}});
    void *reported = make_context(cells.size());
    bind_message(reported, "Subject: large\r\n\r\n" + std::string(2 << 20, 'x'));
    ASSERT_EQ(network::report(reported, true, 30000, true), unsigned(QVSE_OK));
    ASSERT_TRUE(wait_until([&] { return learning->load(); }, 20s));
    EXPECT_EQ(look_up(3), unsigned(QVSE_OK));
    EXPECT_EQ(look_up(100), unsigned(QVSE_OK));
    EXPECT_TRUE(completions::of(reported).empty()) << "answered before it was learned";
    release.set_value();
    EXPECT_EQ(completions::wait(reported, 30s), std::vector<std::uint32_t>{QVSE_OK});
    std::uint64_t reports = 0;
    for (const auto &record : server->records())
        if (record.data == std::string(16, 'r'))
            reports += record.reports;
    EXPECT_EQ(reports, 1u);
}

// One user telling the same message over and over (each time a new
// request) counts once; a second user counts again.
TEST_F(Limits, TheSameReportFromOneUserCountsOnce)
{
    stand_in::options_type options;
    options.fingerprints = [](const std::string &) {
        return std::vector<stand_in::fingerprint_type>{{64, "example.footer/list"}};
    };
    auto server = make_server(114, options);
    server->add_credential(test_kind, test_user + 1, "other");
    use({{server.get(), patient}});
    for (int k = 0; k < 10; ++k) {
        void *handle = make_context(cells.size());
        bind_message(handle, "Subject: news\r\n\r\nthe same newsletter");
        ASSERT_EQ(network::report(handle, true, 5000, false), unsigned(QVSE_OK));
    }
    ASSERT_EQ(server->records().size(), 1u);
    EXPECT_EQ(server->records()[0].reports, 1u);

    void *other = make_context(cells.size());
    ASSERT_EQ(network::authenticate(other, test_kind, test_user + 1, L"other", 5), unsigned(QVSE_OK));
    bind_message(other, "Subject: news\r\n\r\nthe same newsletter");
    ASSERT_EQ(network::report(other, true, 5000, false), unsigned(QVSE_OK));
    EXPECT_EQ(server->records()[0].reports, 2u);
}

// The program refuses what it cannot honour, and says so.
TEST(Program, RefusesBadOptions)
{
    const std::string program = QV_CLASSIFICATION_SERVER_PATH;
    for (const char *arguments : {
             "--port 70000",
             "--port 24x9",
             "--port -1",
             "--digest 2:1:abcd",
             "--digest 0:1:0102030405",
             "--digest 5:1:00112233445566778899aabbccddeeff",
             "--digest 2:1:00112233445566778899aabbccddeegg",
             "--link 1:http://example.com/",
             "--link x:com.example",
             "--credential 10:4294967296:secret",
         }) {
        const int status = std::system((program + " --address 127.0.0.1 " + arguments + " >/dev/null 2>&1").c_str());
        ASSERT_TRUE(WIFEXITED(status)) << arguments;
        EXPECT_EQ(WEXITSTATUS(status), 2) << arguments;
    }
}

// The program, started in a folder of its own with its output in a log
// there, and stopped (and the folder removed) at the end.
class ProgramRun {
public:
    explicit ProgramRun(rlim_t descriptors = 0)
    {
        std::filesystem::create_directories(folder);
        child = ::fork();
        if (child == 0) {
            if (descriptors != 0) {
                const rlimit limit{descriptors, descriptors};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            ::execl(QV_CLASSIFICATION_SERVER_PATH, "qv-classification-server", "--address", "127.0.0.1", "--port", "0",
                    "--log", log.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
    }
    ~ProgramRun()
    {
        if (child > 0) {
            ::kill(child, SIGTERM);
            ::waitpid(child, nullptr, 0);
        }
        std::filesystem::remove_all(folder);
    }
    // The port it listens on, once it says so; 0 when it does not.
    unsigned short port()
    {
        std::string found;
        wait_until(
            [&] {
                std::ifstream in(log);
                std::string line;
                while (std::getline(in, line))
                    if (line.rfind("listening on", 0) == 0)
                        found = line.substr(line.find(" port ") + 6, line.find(" (") - line.find(" port ") - 6);
                return !found.empty();
            },
            20s);
        return found.empty() ? 0 : static_cast<unsigned short>(std::stoi(found));
    }
    std::size_t log_lines()
    {
        std::ifstream in(log);
        std::size_t lines = 0;
        for (std::string line; std::getline(in, line);)
            ++lines;
        return lines;
    }
    // Seconds of processor time it has used.
    double cpu_seconds()
    {
        std::ifstream in("/proc/" + std::to_string(child) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        unsigned long user = 0, system = 0;
        for (int k = 3; k <= 15 && fields >> field; ++k) {
            if (k == 14)
                user = std::stoul(field);
            if (k == 15)
                system = std::stoul(field);
        }
        return double(user + system) / double(::sysconf(_SC_CLK_TCK));
    }
    // Whether it answers a probe by UDP.
    bool answers_a_probe(asio::io_context &io)
    {
        asio::ip::udp::socket socket(io, asio::ip::udp::v4());
        const std::string probe = std::string("VKP\x03\x00\x00", 6) + std::string(10, '\x01');
        socket.send_to(asio::buffer(probe), asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), port()));
        pollfd watch{socket.native_handle(), POLLIN, 0};
        return ::poll(&watch, 1, 10000) == 1;
    }

    const std::filesystem::path folder = std::filesystem::temp_directory_path()
        / ("qv-server-run-" + std::to_string(getpid()) + "-"
           + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string log = (folder / "server.log").string();
    pid_t child = -1;
};

// A flood of requests leaves a few lines a second in the program's log, not
// a line each.
TEST(Program, ItsLogStaysSmallUnderAFlood)
{
    ProgramRun run;
    const auto port = run.port();
    ASSERT_NE(port, 0);
    asio::io_context io;
    asio::ip::udp::socket socket(io, asio::ip::udp::v4());
    const asio::ip::udp::endpoint to(asio::ip::make_address("127.0.0.1"), port);
    const std::string probe = std::string("VKP\x03\x00\x00", 6) + std::string(10, '\x01');
    for (int k = 0; k < 5000; ++k)
        socket.send_to(asio::buffer(probe), to);
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(run.log_lines(), 200u);
}

// Out of descriptors, accepting fails: the program waits a little before it
// tries again instead of spinning, and goes on answering by UDP.
TEST(Program, OutOfDescriptorsItPausesInsteadOfSpinning)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own checks need descriptors the program has none of";
#endif
    ProgramRun run(32);
    const auto port = run.port();
    ASSERT_NE(port, 0);
    asio::io_context io;
    std::vector<std::unique_ptr<tcp::socket>> clients;
    for (int k = 0; k < 60; ++k) {
        clients.push_back(std::make_unique<tcp::socket>(io));
        clients.back()->connect({asio::ip::make_address("127.0.0.1"), port});
    }
    std::this_thread::sleep_for(200ms);
    const double before = run.cpu_seconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(run.cpu_seconds() - before, 0.5) << "it spins";
    EXPECT_TRUE(run.answers_a_probe(io));
}

}  // namespace
}  // namespace quorvane::testing
