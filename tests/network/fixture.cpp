#include "fixture.hpp"

#include <istream>
#include <sstream>
#include <thread>

#include "callbacks.hpp"
#include "coding.hpp"

namespace quorvane::testing {

namespace {
std::mutex completion_mutex;
std::condition_variable completion_changed;
std::map<void*, std::vector<std::uint32_t>> completed;
std::size_t completed_total = 0;

void on_completed(void* handle, std::uint32_t status) {
    if (auto hook = completions::hook) hook(handle, status);
    completions::record(handle, status);
}

std::atomic<std::uint64_t> traffic_sent{0}, traffic_received{0};
void on_traffic(std::size_t sent, std::size_t received) {
    traffic_sent += sent;
    traffic_received += received;
}
}  // namespace

void completions::record(void* handle, std::uint32_t status) {
    {
        std::lock_guard lock(completion_mutex);
        completed[handle].push_back(status);
        ++completed_total;
    }
    completion_changed.notify_all();
}

void completions::clear() {
    std::lock_guard lock(completion_mutex);
    completed.clear();
    completed_total = 0;
}

std::vector<std::uint32_t> completions::wait(void* handle, std::chrono::milliseconds limit) {
    std::unique_lock lock(completion_mutex);
    completion_changed.wait_for(lock, limit, [&] { return !completed[handle].empty(); });
    return completed[handle];
}

bool completions::wait_total(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(completion_mutex);
    return completion_changed.wait_for(lock, limit, [&] { return completed_total >= count; });
}

std::size_t completions::total() {
    std::lock_guard lock(completion_mutex);
    return completed_total;
}

std::vector<std::uint32_t> completions::of(void* handle) {
    std::lock_guard lock(completion_mutex);
    const auto found = completed.find(handle);
    return found == completed.end() ? std::vector<std::uint32_t>{} : found->second;
}

std::pair<std::uint64_t, std::uint64_t> completions::traffic() {
    return {traffic_sent.load(), traffic_received.load()};
}

void network_fixture::SetUp() {
    completions::clear();
    traffic_sent = 0;
    traffic_received = 0;
    completions::hook = nullptr;
    table = rec.table();
    table.network_completed = &on_completed;
    table.network_traffic = &on_traffic;
    engine::callbacks = table;
    ASSERT_EQ(engine::network::initialize(ipv4_only ? engine::network::socket_family::ipv4_only
                                                    : engine::network::socket_family::dual_stack),
              unsigned(QVSE_OK));
}

void network_fixture::TearDown() {
    EXPECT_EQ(engine::network::shutdown(), unsigned(QVSE_OK));
    for (auto& cell : cells) {
        EXPECT_EQ(engine::context::destroy(cell.get()), unsigned(QVSE_OK))
            << "a context stays in use";
    }
    engine::callbacks = qvse_callbacks_t{};
    completions::hook = nullptr;
}

std::unique_ptr<stand_in::server> network_fixture::make_server(int n,
                                                               stand_in::options_type options) {
    options.address = "127.0.0." + std::to_string(n);
    auto server = std::make_unique<stand_in::server>(options);
    server->add_credential(test_kind, test_user, engine::coding::to_utf8(test_secret));
    return server;
}

void network_fixture::use(const std::vector<std::pair<const stand_in::server*, int>>& servers) {
    std::vector<std::pair<const stand_in::server*, std::int64_t>> list;
    for (const auto& [server, milliseconds] : servers)
        list.emplace_back(server, std::int64_t{milliseconds} * 1'000'000);
    engine::network::restore_servers(stand_in::server_list(list));
}

void* network_fixture::make_context(std::size_t index) {
    while (cells.size() <= index) {
        cells.push_back(std::make_unique<long>(0));
        EXPECT_EQ(engine::context::create(cells.back().get()), unsigned(QVSE_OK));
        EXPECT_EQ(engine::network::authenticate(cells.back().get(), test_kind, test_user,
                                                test_secret, std::wcslen(test_secret)),
                  unsigned(QVSE_OK));
    }
    return cells[index].get();
}

context::record_pointer network_fixture::record(void* handle) {
    context::record_pointer out;
    EXPECT_EQ(engine::context::get(handle, out), unsigned(QVSE_OK));
    return out;
}

void network_fixture::add_fingerprint(void* handle, spam::fingerprint_type fingerprint) {
    auto held = record(handle);
    std::lock_guard lock(held->mutex);
    held->fingerprints.push_back(std::move(fingerprint));
}

void network_fixture::bind_message(void* handle, std::string message) {
    auto held = record(handle);
    std::lock_guard lock(held->mutex);
    held->source = std::make_shared<std::istringstream>(std::move(message));
}

std::size_t network_fixture::count_lines(const std::wstring& part) {
    std::size_t count = 0;
    for (const auto& line : rec.lines()) count += line.text.find(part) != std::wstring::npos;
    return count;
}

spam::fingerprint_type relay_fingerprint(std::string octets) {
    return {spam::fingerprint_type::relay, std::move(octets), L"relay"};
}

spam::fingerprint_type digest_fingerprint(std::uint8_t fill,
                                          spam::fingerprint_type::category_type category) {
    hashes::digest digest;
    digest.bytes.fill(fill);
    return {category, digest, L"digest"};
}

spam::fingerprint_type link_fingerprint(const std::string& uri) {
    return {spam::fingerprint_type::link, uri, engine::coding::to_wide(uri)};
}

}  // namespace quorvane::testing
