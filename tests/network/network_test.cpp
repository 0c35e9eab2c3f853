#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "callbacks.hpp"
#include "fixture.hpp"

namespace {

using namespace quorvane::testing;
using clock_type = std::chrono::steady_clock;
namespace network = quorvane::engine::network;
using transport = stand_in::transport_type;

constexpr std::uint8_t lookup_type = 2;

// A link fingerprint that makes a lookup request exactly total bytes long:
// header 16, block 1 + 1 + 16, count 1, category 1, length 2, then the link.
spam::fingerprint_type link_of_request_size(std::size_t total) {
    return link_fingerprint("http://" + std::string(total - 38 - 7, 'a'));
}

using Network = network_fixture;

TEST_F(Network, ArgumentChecks) {
    void* known = make_context();
    long unknown_cell = 0;
    void* unknown = &unknown_cell;
    struct row {
        const char* what;
        std::function<unsigned()> call;
        unsigned result;
    };
    const std::vector<row> rows = {
        {"lookup timeout 0, unknown handle", [&] { return network::lookup(unknown, 0, false); },
         QVSE_E_INVALID_ARGUMENT},
        {"touch timeout 0", [&] { return network::touch(known, 5, 0, false); },
         QVSE_E_INVALID_ARGUMENT},
        {"touch 101 before the handle", [&] { return network::touch(unknown, 101, 10, false); },
         QVSE_E_INVALID_ARGUMENT},
        {"report timeout 0", [&] { return network::report(known, true, 0, true); },
         QVSE_E_INVALID_ARGUMENT},
        {"lookup unknown", [&] { return network::lookup(unknown, 10, false); },
         QVSE_E_UNKNOWN_CONTEXT},
        {"touch unknown", [&] { return network::touch(unknown, 100, 10, false); },
         QVSE_E_UNKNOWN_CONTEXT},
        {"revoke unknown", [&] { return network::revoke(unknown, false, 10, false); },
         QVSE_E_UNKNOWN_CONTEXT},
        {"report without a message", [&] { return network::report(known, true, 10, false); },
         QVSE_E_NO_MESSAGE},
        {"revoke without a message", [&] { return network::revoke(known, true, 10, true); },
         QVSE_E_NO_MESSAGE},
        {"authenticate null key", [&] { return network::authenticate(known, 1, 2, nullptr, 0); },
         QVSE_E_INVALID_ARGUMENT},
        {"authenticate unknown", [&] { return network::authenticate(unknown, 1, 2, L"k", 1); },
         QVSE_E_UNKNOWN_CONTEXT},
        {"connect null", [&] { return network::connect(nullptr, 0); }, QVSE_E_INVALID_ARGUMENT},
        {"connect invalid character",
         [&] {
             const wchar_t host[] = {L'a', wchar_t(0xD800)};
             return network::connect(host, 2);
         },
         QVSE_E_INVALID_ARGUMENT},
        {"connect unresolvable", [&] { return network::connect(L"no-such-host.invalid", 20); },
         QVSE_E_NO_SERVERS},
        {"lookup with no server", [&] { return network::lookup(known, 1000, false); },
         QVSE_E_NO_SERVERS},
    };
    for (const auto& r : rows) EXPECT_EQ(r.call(), r.result) << r.what;

    engine::callbacks.network_completed = nullptr;
    EXPECT_EQ(network::lookup(known, 10, true), unsigned(QVSE_E_INVALID_ARGUMENT));
    EXPECT_EQ(network::touch(known, 1, 10, true), unsigned(QVSE_E_INVALID_ARGUMENT));
    engine::callbacks = table;
    EXPECT_TRUE(completions::of(known).empty());
}

TEST_F(Network, ConnectProbesTheResolvedServer) {
    // A random loopback address, so that runs in parallel do not share port 2409.
    std::random_device random;
    const std::string address = "127." + std::to_string(1 + random() % 250) + "." +
                                std::to_string(random() % 250) + "." +
                                std::to_string(2 + random() % 250);
    stand_in::options_type options;
    options.address = address;
    options.port = 2409;
    options.name = "probe-me";
    options.location = "Loop\nback";  // control characters never reach a trace
    options.records = 77;
    stand_in::server server(options);

    const std::wstring host(address.begin(), address.end());
    ASSERT_EQ(network::connect(host.c_str(), host.size()), unsigned(QVSE_OK));
    for (int k = 0; k < 200 && count_lines(L"Probed probe-me") == 0; ++k)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server.count(0), 1u);
    EXPECT_EQ(count_lines(L"Probed probe-me (Loopback): "), 1u);
    const auto json = servers_json();
    EXPECT_NE(json.find("\"::ffff:" + address + "\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"reachable\": \"true\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"records\": \"77\""), std::string::npos) << json;
    EXPECT_EQ(count_lines(L"Probing server ::ffff:" + host), 1u);
    EXPECT_EQ(count_lines(L"Successfully resolved \"" + host + L"\""), 1u);
}

TEST_F(Network, PlanOrderRetriesAndExhaustion) {
    auto slow = make_server(11), fast = make_server(12), middle = make_server(13);
    stand_in::faults_type silent;
    silent.drop_all = true;
    for (auto* server : {slow.get(), fast.get(), middle.get()}) server->set_faults(silent);
    use({{slow.get(), 30}, {fast.get(), 10}, {middle.get(), 20}});
    void* handle = make_context();
    add_fingerprint(handle, digest_fingerprint(1));

    const auto start = clock_type::now();
    EXPECT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_E_SERVERS_EXHAUSTED));
    // Retry times 110, 120 and 130 ms; a timer never ends early.
    EXPECT_GE(clock_type::now() - start, 330ms);
    // The stand-ins record a dropped request on their own threads, which may
    // not have got to it yet.
    EXPECT_TRUE(wait_until([&] {
        return fast->requests().size() + middle->requests().size() + slow->requests().size() >= 3;
    }));
    const auto first = fast->requests(), second = middle->requests(), third = slow->requests();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(first[0].attempt, 0);
    EXPECT_EQ(second[0].attempt, 1);
    EXPECT_EQ(third[0].attempt, 2);
    EXPECT_EQ(first[0].id, third[0].id) << "every attempt carries the request's id";
    EXPECT_LT(first[0].when, second[0].when);
    EXPECT_LT(second[0].when, third[0].when);
}

TEST_F(Network, RetryMovesToTheNextServer) {
    auto dropping = make_server(21), answering = make_server(22);
    stand_in::faults_type drop;
    drop.drop_first = 1;
    dropping->set_faults(drop);
    use({{dropping.get(), 5}, {answering.get(), patient}});
    void* handle = make_context();
    EXPECT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_OK));
    EXPECT_EQ(answering->count(lookup_type), 1u);
}

TEST_F(Network, LookupAnswersAreStoredPerFingerprint) {
    auto server = make_server(31);
    server->add_record({0, std::string("\xC0\x00\x02\x07", 4), 101, 9, 4, 3, 2, 1});
    server->add_record({2, std::string(16, '\x11'), 102, 0, 2, 0, 0, 0});
    server->add_record({64, "http://spam.example/", 103, 0, 4, 50, 1, 7});
    server->add_record({64, "http://spam.example/path/", 104, 0, 4, 51, 1, 7});
    use({{server.get(), patient}});
    void* handle = make_context();
    add_fingerprint(handle, relay_fingerprint(std::string("\xC0\x00\x02\x07", 4)));
    add_fingerprint(handle, digest_fingerprint(0x11));
    add_fingerprint(handle, digest_fingerprint(0x22, spam::fingerprint_type::attachment));
    add_fingerprint(handle, link_fingerprint("http://spam.example/path/x?y"));
    add_fingerprint(handle, link_fingerprint("http://ham.example/"));

    ASSERT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_OK));
    {
        auto held = record(handle);
        std::lock_guard lock(held->mutex);
        std::vector<spam::fingerprint_type> list(held->fingerprints.begin(),
                                                 held->fingerprints.end());
        ASSERT_TRUE(list[0].match);
        EXPECT_EQ(list[0].match->length, 4u);
        EXPECT_EQ(list[0].match->id, 101u);
        EXPECT_EQ(list[0].match->extra, 9u);
        EXPECT_TRUE(list[0].match->blacklisted);
        EXPECT_FALSE(list[0].match->whitelisted);
        EXPECT_EQ(list[0].match->reports, 3u);
        EXPECT_EQ(list[0].match->revokes, 2u);
        EXPECT_EQ(list[0].match->touches, 1u);
        ASSERT_TRUE(list[1].match);
        EXPECT_TRUE(list[1].match->whitelisted);
        EXPECT_FALSE(list[2].match);
        ASSERT_TRUE(list[3].match);
        EXPECT_EQ(list[3].match->length, 25u) << "the longest stored prefix answers";
        EXPECT_EQ(list[3].match->id, 104u);
        EXPECT_FALSE(list[4].match);
    }
    // Touch sends back the ids of the answered fingerprints.
    EXPECT_EQ(network::touch(handle, 100, 5000, false), unsigned(QVSE_OK));
    const auto touches = server->touches();
    ASSERT_EQ(touches.size(), 1u);
    EXPECT_EQ(touches[0].value, 100u);
    EXPECT_EQ(touches[0].ids, (std::vector<std::uint64_t>{101, 102, 104}));

    EXPECT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_OK));
    const auto requests = server->requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_NE(requests[0].id, requests[2].id) << "two lookups, two ids";
}

TEST_F(Network, AnswerOfLengthZeroClearsAnEarlierOne) {
    auto server = make_server(33);
    server->add_record({2, std::string(16, '\x11'), 5, 0, 0, 0, 0, 0});
    use({{server.get(), patient}});
    void* handle = make_context();
    add_fingerprint(handle, digest_fingerprint(0x11));
    ASSERT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_OK));
    ASSERT_TRUE(record(handle)->fingerprints.front().match);
    auto empty = make_server(34);
    // Only the empty server is usable now.
    network::shutdown();
    network::initialize();
    use({{empty.get(), 5}});
    ASSERT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_OK));
    EXPECT_FALSE(record(handle)->fingerprints.front().match);
}

struct size_row {
    bool ipv4_only;
    std::size_t size;
    transport expected;
};

// Printed by value: the padding between the fields would name the test
// differently on every run.
void PrintTo(const size_row& row, std::ostream* out) {
    *out << (row.ipv4_only ? "ipv4_" : "dual_stack_") << row.size;
}

class Transport : public network_fixture, public ::testing::WithParamInterface<size_row> {
protected:
    void SetUp() override {
        ipv4_only = GetParam().ipv4_only;
        network_fixture::SetUp();
    }
};

TEST_P(Transport, DatagramWithinTheLimitElseStream) {
    auto server = make_server(41);
    use({{server.get(), patient}});
    void* handle = make_context();
    add_fingerprint(handle, link_of_request_size(GetParam().size));
    ASSERT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_OK));
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].size, GetParam().size);
    EXPECT_EQ(requests[0].transport, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Transport,
                         ::testing::Values(size_row{true, 556, transport::udp},
                                           size_row{true, 557, transport::tcp},
                                           size_row{false, 1232, transport::udp},
                                           size_row{false, 1233, transport::tcp},
                                           size_row{false, 557, transport::udp}));

TEST_F(Network, FourthAttemptGoesByStream) {
    std::vector<std::unique_ptr<stand_in::server>> servers;
    std::vector<std::pair<const stand_in::server*, int>> list;
    for (int k = 0; k < 4; ++k) {
        servers.push_back(make_server(51 + k));
        list.emplace_back(servers.back().get(), 5 + k);
    }
    stand_in::faults_type udp_silent;
    udp_silent.drop_all = true;
    for (int k = 0; k < 3; ++k) servers[k]->set_faults(udp_silent);
    use(list);
    void* handle = make_context();
    ASSERT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_OK));
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(wait_until([&] { return !servers[k]->requests().empty(); }));
        const auto requests = servers[k]->requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].transport, transport::udp);
    }
    const auto last = servers[3]->requests();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].transport, transport::tcp);
    EXPECT_EQ(last[0].attempt, 3);
}

TEST_F(Network, DeadlineEndsTheRequest) {
    auto server = make_server(61);
    stand_in::faults_type silent;
    silent.drop_all = true;
    server->set_faults(silent);
    use({{server.get(), 2900}});  // retry time 3 s, far beyond the deadline
    void* handle = make_context();
    const auto start = clock_type::now();
    EXPECT_EQ(network::lookup(handle, 300, false), unsigned(QVSE_E_DEADLINE_EXPIRED));
    const auto elapsed = clock_type::now() - start;
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 3000ms) << "ended by the deadline, before the first retry time";
}

struct fault_row {
    const char* name;
    stand_in::faults_type faults;
    bool large;  // a request that goes by TCP
    unsigned result;
    const wchar_t* trace;
};

stand_in::faults_type with(std::function<void(stand_in::faults_type&)> change) {
    stand_in::faults_type faults;
    change(faults);
    return faults;
}

std::ostream& operator<<(std::ostream& out, const fault_row& row) { return out << row.name; }

class Faults : public network_fixture, public ::testing::WithParamInterface<fault_row> {};

TEST_P(Faults, MapToTheirResult) {
    auto server = make_server(71);
    server->add_record({2, std::string(16, '\x11'), 5, 0, 0, 0, 0, 0});
    server->add_record({2, std::string(16, '\x22'), 6, 0, 0, 0, 0, 0});
    server->set_faults(GetParam().faults);
    use({{server.get(), 20}});
    void* handle = make_context();
    add_fingerprint(handle, digest_fingerprint(0x11));
    add_fingerprint(handle, digest_fingerprint(0x22));
    add_fingerprint(handle, digest_fingerprint(0x33));
    if (GetParam().large) add_fingerprint(handle, link_of_request_size(2000));
    EXPECT_EQ(network::lookup(handle, 3000, false), GetParam().result);
    if (GetParam().trace != nullptr) {
        EXPECT_GE(count_lines(GetParam().trace), 1u) << GetParam().name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Faults,
    ::testing::Values(
        fault_row{"ok", {}, false, QVSE_OK, nullptr},
        fault_row{"ok_tcp", {}, true, QVSE_OK, L"Establishing connection to"},
        fault_row{"status1", with([](auto& f) { f.status = 1; }), false, QVSE_E_BAD_RESPONSE,
                  L"\"malformed request\""},
        fault_row{"status2", with([](auto& f) { f.status = 2; }), false, QVSE_E_INVALID_CREDENTIALS,
                  L"\"invalid credentials\""},
        fault_row{"status3", with([](auto& f) { f.status = 3; }), false, QVSE_E_PAYLOAD_TOO_LARGE,
                  L"\"payload too large\""},
        fault_row{"status5_is_ok", with([](auto& f) { f.status = 5; }), false, QVSE_OK, nullptr},
        fault_row{"status2_tcp", with([](auto& f) { f.status = 2; }), true,
                  QVSE_E_INVALID_CREDENTIALS, nullptr},
        fault_row{"wrong_id", with([](auto& f) { f.wrong_id = true; }), false,
                  QVSE_E_SERVERS_EXHAUSTED, L"unexpected bytes"},
        fault_row{"wrong_id_tcp", with([](auto& f) { f.wrong_id = true; }), true,
                  QVSE_E_BAD_RESPONSE, L"Received invalid response from"},
        fault_row{"later_attempt", with([](auto& f) { f.attempt = 1; }), false,
                  QVSE_E_SERVERS_EXHAUSTED, L"unexpected bytes"},
        fault_row{"negative_attempt", with([](auto& f) { f.attempt = 0x80; }), false,
                  QVSE_E_SERVERS_EXHAUSTED, L"unexpected bytes"},
        fault_row{"wrong_attempt_tcp", with([](auto& f) { f.attempt = 2; }), true,
                  QVSE_E_BAD_RESPONSE, nullptr},
        fault_row{"short_header", with([](auto& f) { f.truncate = 10; }), false,
                  QVSE_E_SERVERS_EXHAUSTED, L"unexpected bytes"},
        fault_row{"truncated_answers", with([](auto& f) { f.truncate = 20; }), false,
                  QVSE_E_BAD_RESPONSE, L"Received invalid"},
        fault_row{"garbled", with([](auto& f) { f.garble = true; }), false, QVSE_E_BAD_RESPONSE,
                  L"Received invalid"},
        fault_row{"unencrypted", with([](auto& f) { f.flip_encrypted = true; }), false,
                  QVSE_E_BAD_RESPONSE, L"Received unexpected unencrypted response"},
        fault_row{"oversized_lengths", with([](auto& f) { f.oversized_lengths = true; }), false,
                  QVSE_E_BAD_RESPONSE, L"Received invalid fingerprint data"},
        fault_row{"answer_missing", with([](auto& f) { f.answer_missing = true; }), false,
                  QVSE_E_BAD_RESPONSE, L"Received invalid match length"},
        fault_row{"duplicate_ids", with([](auto& f) { f.duplicate_ids = true; }), false,
                  QVSE_E_BAD_RESPONSE, L"Received duplicate fingerprint data"},
        fault_row{"other_type", with([](auto& f) { f.type = 1; }), false, QVSE_E_SERVERS_EXHAUSTED,
                  L"unexpected bytes"},
        fault_row{"request_flag", with([](auto& f) { f.clear_response = true; }), false,
                  QVSE_E_SERVERS_EXHAUSTED, L"unexpected bytes"},
        fault_row{"other_port", with([](auto& f) { f.other_port = true; }), false,
                  QVSE_E_SERVERS_EXHAUSTED, L"unexpected bytes"},
        fault_row{"reply_twice", with([](auto& f) { f.reply_twice = true; }), false, QVSE_OK,
                  nullptr},
        fault_row{"delayed", with([](auto& f) { f.delay = 40ms; }), false, QVSE_OK,
                  nullptr},  // well within the 120 ms retry time
        fault_row{"accept_then_close",
                  with([](auto& f) { f.tcp = stand_in::faults_type::tcp_mode::accept_then_close; }),
                  true, QVSE_E_SERVERS_EXHAUSTED, nullptr},
        fault_row{"hang", with([](auto& f) { f.tcp = stand_in::faults_type::tcp_mode::hang; }),
                  true, QVSE_E_SERVERS_EXHAUSTED, nullptr},
        fault_row{"one_byte_pieces", with([](auto& f) { f.one_byte_pieces = true; }), true, QVSE_OK,
                  nullptr},
        fault_row{"dropped", with([](auto& f) { f.drop_all = true; }), false,
                  QVSE_E_SERVERS_EXHAUSTED, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Network, AProbeReplyToALookupAnswersNothing) {
    // Over UDP as over TCP the reply's type must be the request's: a probe
    // reply to a lookup neither ends it nor rewrites the server's record.
    auto server = make_server(75);
    server->set_faults(with([](auto& f) { f.type = 0; }));
    use({{server.get(), 5}});
    const std::string before = network::save_servers();
    void* handle = make_context();
    add_fingerprint(handle, digest_fingerprint(0x11));
    EXPECT_EQ(network::lookup(handle, 3000, false), unsigned(QVSE_E_SERVERS_EXHAUSTED));
    EXPECT_EQ(count_lines(L"Received invalid discovery response"), 0u);
    EXPECT_GE(count_lines(L"unexpected bytes"), 1u);
    EXPECT_EQ(count_lines(L"Probed "), 0u);
    EXPECT_EQ(network::save_servers(), before);
}

TEST_F(Network, WrongSecretGetsInvalidCredentials) {
    auto server = make_server(76);
    use({{server.get(), patient}});
    void* handle = make_context();
    ASSERT_EQ(network::authenticate(handle, test_kind, test_user, L"wrong", 5), unsigned(QVSE_OK));
    EXPECT_EQ(network::lookup(handle, 3000, false), unsigned(QVSE_E_INVALID_CREDENTIALS));
    ASSERT_EQ(
        network::authenticate(handle, test_kind, test_user, test_secret, std::wcslen(test_secret)),
        unsigned(QVSE_OK));
    EXPECT_EQ(network::lookup(handle, 3000, false), unsigned(QVSE_OK));
}

TEST_F(Network, AsynchronousCompletesOnceWithItsHandle) {
    auto server = make_server(81);
    server->set_faults(with([](auto& f) { f.reply_twice = true; }));
    use({{server.get(), patient}});
    std::vector<void*> handles;
    for (int k = 0; k < 20; ++k) {
        handles.push_back(make_context(k));
        ASSERT_EQ(network::lookup(handles.back(), 3000, true), unsigned(QVSE_OK));
    }
    for (void* handle : handles)
        EXPECT_EQ(completions::wait(handle), std::vector<std::uint32_t>{QVSE_OK});
    std::this_thread::sleep_for(100ms);
    for (void* handle : handles) EXPECT_EQ(completions::of(handle).size(), 1u);
}

TEST_F(Network, ContextIsInUseWhileARequestIsInFlight) {
    auto server = make_server(82);
    server->set_faults(with([](auto& f) { f.delay = 200ms; }));
    use({{server.get(), 500}});
    void* handle = make_context();
    ASSERT_EQ(network::lookup(handle, 3000, true), unsigned(QVSE_OK));
    EXPECT_EQ(engine::context::destroy(handle), unsigned(QVSE_E_IN_USE));
    EXPECT_EQ(completions::wait(handle), std::vector<std::uint32_t>{QVSE_OK});
    // The completion has dropped the request's reference (TearDown destroys it).
}

TEST_F(Network, ReportsCarryTheWholeMessage) {
    auto server = make_server(91);
    use({{server.get(), patient}});
    void* handle = make_context();
    const std::string message =
        "From: a@example.com\r\nSubject: hi\r\n\r\n" + std::string(200000, 'x');
    bind_message(handle, message);
    EXPECT_EQ(network::report(handle, true, 5000, false), unsigned(QVSE_OK));
    EXPECT_EQ(network::revoke(handle, false, 5000, false), unsigned(QVSE_OK));
    const auto reports = server->reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[0].revoke);
    EXPECT_EQ(reports[0].flag, 1);
    EXPECT_EQ(reports[0].message, message);
    EXPECT_TRUE(reports[1].revoke);
    EXPECT_EQ(reports[1].flag, 0);
    EXPECT_EQ(reports[1].message, message);
}

TEST_F(Network, AnAsynchronousReportStillGoesOutAfterItsDeadline) {
    auto server = make_server(92);
    use({{server.get(), patient}});
    void* small = make_context(0);
    void* large = make_context(1);
    bind_message(small, "Subject: s\r\n\r\nshort");
    bind_message(large, "Subject: l\r\n\r\n" + std::string(3 << 20, 'y'));
    ASSERT_EQ(network::report(small, true, 1, true), unsigned(QVSE_OK));
    ASSERT_EQ(network::report(large, true, 1, true), unsigned(QVSE_OK));
    // Over loopback the reply may even beat a 1 ms deadline.
    for (void* handle : {small, large}) {
        const auto statuses = completions::wait(handle);
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_TRUE(statuses[0] == QVSE_E_DEADLINE_EXPIRED || statuses[0] == QVSE_OK)
            << statuses[0];
    }
    for (int k = 0; k < 300 && server->reports().size() < 2; ++k) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);  // a delivered report is not sent again
    EXPECT_EQ(server->reports().size(), 2u);
}

TEST_F(Network, SlowUploadIsNotCutOffMidway) {
    auto server = make_server(93);
    server->set_faults(with([](auto& f) { f.read_pause = 25ms; }));
    // Retry time 500 ms: room for the stand-in to digest the report even
    // under a sanitizer, yet far shorter than the upload.
    use({{server.get(), 400}});
    void* handle = make_context();
    bind_message(handle, "Subject: big\r\n\r\n" + std::string(3 << 20, 'z'));
    const auto start = clock_type::now();
    EXPECT_EQ(network::report(handle, true, 30000, false), unsigned(QVSE_OK));
    EXPECT_GT(clock_type::now() - start, 600ms) << "the upload should outlast one retry time";
    EXPECT_EQ(server->reports().size(), 1u);
    EXPECT_EQ(server->count(4), 1u) << "sent once, not restarted";
}

TEST_F(Network, CallbacksOnTheWorkerCannotWaitForTheNetwork) {
    auto server = make_server(94);
    use({{server.get(), patient}});
    void* handle = make_context(0);
    void* other = make_context(1);
    static void* inner;
    static std::atomic<unsigned> inner_result, shutdown_result;
    inner = other;
    inner_result = 999;
    shutdown_result = 999;
    completions::hook = [](void*, std::uint32_t) {
        inner_result = network::lookup(inner, 1000, false);
        shutdown_result = network::shutdown();
    };
    ASSERT_EQ(network::lookup(handle, 3000, true), unsigned(QVSE_OK));
    completions::wait(handle);
    EXPECT_EQ(inner_result.load(), unsigned(QVSE_E_FAILED));
    EXPECT_EQ(shutdown_result.load(), unsigned(QVSE_E_FAILED));
    completions::hook = nullptr;
}

TEST_F(Network, RestoredRecordsAreMadeSound) {
    auto server = make_server(95);
    std::string json =
        R"({"servers":[{"address":"127.0.0.95","port":")" + std::to_string(server->port()) +
        R"(","reachable":"true","location":"l","provider":"p","uptime":"1","updated":"1","serial":"1",)"
        R"("records":"1","latencies":["-5","-6"]},)"
        R"({"address":"127.0.0.96","port":"9","reachable":"1","location":"l","provider":"p","uptime":"1",)"
        R"("updated":"1","serial":"1","records":"1","latencies":[)";
    for (int k = 0; k < 20; ++k) json += (k ? ",\"" : "\"") + std::to_string(1000 + k) + "\"";
    json += "]}]}";
    network::restore_servers(json);
    const auto saved = servers_json();
    EXPECT_NE(saved.find("\"::ffff:127.0.0.95\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"1000000000\""), std::string::npos)
        << "empty after dropping: the default";
    EXPECT_EQ(saved.find("\"-5\""), std::string::npos);
    EXPECT_NE(saved.find("\"1015\""), std::string::npos);
    EXPECT_EQ(saved.find("\"1016\""), std::string::npos) << "at most 16 kept";
    EXPECT_EQ(count_lines(L"Restored 2 servers records"), 1u);
    // Replies from a restored IPv4 server match its mapped address.
    void* handle = make_context();
    EXPECT_EQ(network::lookup(handle, 3000, false), unsigned(QVSE_OK));
    EXPECT_EQ(server->count(lookup_type), 1u);
}

TEST_F(Network, TrafficAndSecretsInTraces) {
    auto server = make_server(97);
    use({{server.get(), patient}});
    void* handle = make_context();
    ASSERT_EQ(network::lookup(handle, 3000, false), unsigned(QVSE_OK));
    for (const auto& line : rec.lines()) EXPECT_EQ(line.text.find(test_secret), std::wstring::npos);
    EXPECT_GE(count_lines(L"Sending "), 1u);
    const auto [sent, received] = completions::traffic();
    EXPECT_EQ(sent, server->requests().at(0).size);
    EXPECT_EQ(received, 16u) << "a header and no answers";
}

TEST_F(Network, ASecondConnectReplacesTheList) {
    ASSERT_EQ(network::connect(L"127.0.0.200", 11), unsigned(QVSE_OK));
    ASSERT_EQ(network::connect(L"127.0.0.201", 11), unsigned(QVSE_OK));
    const auto json = servers_json();  // runs on the strand after both
    EXPECT_EQ(json.find("127.0.0.200"), std::string::npos) << json;
    EXPECT_NE(json.find("\"::ffff:127.0.0.201\""), std::string::npos) << json;
}

class Ipv4Only : public network_fixture {
protected:
    void SetUp() override {
        ipv4_only = true;
        network_fixture::SetUp();
    }
};

TEST_F(Ipv4Only, IPv6ResultsAreLeftOut) {
    ASSERT_EQ(network::connect(L"127.0.0.202", 11), unsigned(QVSE_OK));
    EXPECT_NE(servers_json().find("\"127.0.0.202\""), std::string::npos) << "IPv4 stays IPv4";
    // Where the host has no IPv6 at all, "::1" does not even resolve.
    const unsigned result = network::connect(L"::1", 3);
    ASSERT_TRUE(result == QVSE_OK || result == QVSE_E_NO_SERVERS) << result;
    if (result != QVSE_OK) GTEST_SKIP() << "no IPv6 configured";
    EXPECT_EQ(servers_json().find("127.0.0.202"), std::string::npos);
    void* handle = make_context();
    EXPECT_EQ(network::lookup(handle, 1000, false), unsigned(QVSE_E_NO_SERVERS));
}

}  // namespace

namespace {

void throwing_context_trace(void*, std::uint32_t, const wchar_t*, std::size_t, std::uint32_t,
                            const wchar_t* text, std::size_t length) {
    if (std::wstring_view(text, length).starts_with(L"Sending "))
        throw std::runtime_error("host failure");
}

TEST_F(Network, AThrowingCallbackStillCompletesTheRequest) {
    auto server = make_server(98);
    use({{server.get(), patient}});
    void* handle = make_context(0);
    void* asynchronous = make_context(1);
    engine::callbacks.context_trace = &throwing_context_trace;
    EXPECT_EQ(network::lookup(handle, 3000, false), unsigned(QVSE_E_FAILED));
    ASSERT_EQ(network::lookup(asynchronous, 3000, true), unsigned(QVSE_OK));
    EXPECT_EQ(completions::wait(asynchronous), std::vector<std::uint32_t>{QVSE_E_FAILED});
    EXPECT_GE(count_lines(L"An exception has occured:"), 2u);
    engine::callbacks = table;
    // The queue did not stall on the failures.
    EXPECT_EQ(network::lookup(handle, 3000, false), unsigned(QVSE_OK));
}

TEST_F(Network, ASynchronousWaitEndsSoonAfterItsDeadline) {
    auto server = make_server(99);
    use({{server.get(), patient}});
    void* blocker = make_context(0);
    void* waiter = make_context(1);
    // The host blocks the worker in its completion callback.
    static std::atomic<bool> blocking;
    blocking = false;
    completions::hook = [](void*, std::uint32_t) {
        blocking = true;
        std::this_thread::sleep_for(5000ms);
    };
    ASSERT_EQ(network::lookup(blocker, 3000, true), unsigned(QVSE_OK));
    ASSERT_TRUE(wait_until([] { return blocking.load(); }));
    const auto start = clock_type::now();
    EXPECT_EQ(network::lookup(waiter, 200, false), unsigned(QVSE_E_DEADLINE_EXPIRED));
    const auto waited = clock_type::now() - start;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 4000ms) << "deadline plus a short grace, not the host's 5 s";
    EXPECT_EQ(engine::context::destroy(waiter), unsigned(QVSE_E_IN_USE))
        << "released only by the worker";
    completions::wait(blocker);
    completions::hook = nullptr;
    // Once the worker runs again the request lets go of its context.
    unsigned result = QVSE_E_IN_USE;
    for (int k = 0; k < 300 && result == QVSE_E_IN_USE; ++k) {
        std::this_thread::sleep_for(10ms);
        result = engine::context::destroy(waiter);
    }
    EXPECT_EQ(result, unsigned(QVSE_OK));
    ASSERT_EQ(engine::context::create(waiter), unsigned(QVSE_OK));  // for TearDown
}

}  // namespace

namespace {

TEST_F(Network, PlansStopAt127Servers) {
    // 130 servers that refuse: three datagrams, then refused connections,
    // each moving on at once. The signed attempt byte never wraps.
    std::string json = R"({"servers":[)";
    for (int k = 1; k <= 130; ++k)
        json +=
            std::string(k > 1 ? "," : "") + R"({"address":"127.3.0.)" + std::to_string(k) +
            R"(","port":"9","reachable":"true","location":"","provider":"","uptime":"0","updated":"0",)"
            R"("serial":"0","records":"1","latencies":["1000000"]})";
    json += "]}";
    network::restore_servers(json);
    void* handle = make_context();
    EXPECT_EQ(network::lookup(handle, 20000, false), unsigned(QVSE_E_SERVERS_EXHAUSTED));
    EXPECT_EQ(count_lines(L"Sending "), 3u);
    EXPECT_EQ(count_lines(L"Establishing connection to "), 124u);
}

}  // namespace
