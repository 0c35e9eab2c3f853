// The network's state and its lifetime: the worker thread that runs every
// handler on one strand, the UDP endpoint, the known servers and their
// probes, and the server list carried across a reload.
#include <pthread.h>

#include <atomic>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/property_tree/json_parser.hpp>

#include "../lasting.hpp"
#include "../locale.hpp"
#include "../principal/trace.hpp"
#include "network_implementation.hpp"

namespace quorvane::engine::network {

const std::wstring& facility = lasting::make<const std::wstring>(L"Network");

namespace {

using namespace std::chrono_literals;

constexpr char service_port[] = "2409";
constexpr std::uint16_t default_port = 2409;
constexpr auto probe_spacing = 100ms;
constexpr auto probe_interval = 300s;
constexpr auto probe_deadline = 1s;

}  // namespace

// The component's state. Everything but service, strand and the worker's id
// is touched only on the strand (or while the worker is not running).
std::unique_ptr<asio::io_context>& service = lasting::make<std::unique_ptr<asio::io_context>>();
std::unique_ptr<asio::io_context::strand>& strand =
    lasting::make<std::unique_ptr<asio::io_context::strand>>();
namespace {
std::optional<asio::executor_work_guard<asio::io_context::executor_type>>& work =
    lasting::make<std::optional<asio::executor_work_guard<asio::io_context::executor_type>>>();
std::thread& worker_thread = lasting::make<std::thread>();
std::atomic<std::thread::id> worker_id{};
}  // namespace

std::vector<server_pointer>& servers = lasting::make<std::vector<server_pointer>>();
std::unordered_map<header_type::id_type, conversation_pointer, id_hash>& conversations =
    lasting::make<std::unordered_map<header_type::id_type, conversation_pointer, id_hash>>();
std::deque<conversation_pointer>& pending_writes =
    lasting::make<std::deque<conversation_pointer>>();
asio::ip::address last_optimal_server = asio::ip::address_v4::any();

namespace datagram {
std::unique_ptr<udp::socket>& socket = lasting::make<std::unique_ptr<udp::socket>>();
udp::endpoint sender;
std::vector<std::uint8_t>& buffer = lasting::make<std::vector<std::uint8_t>>();
}  // namespace datagram

bool on_worker() noexcept { return std::this_thread::get_id() == worker_id.load(); }

namespace {

void stop();

// Made after the rest of the component's state, so destroyed before it: a
// library unloaded, or a process ending with no entry running, without a
// shutdown stops and joins the worker while everything it uses still exists,
// instead of aborting in the thread's destructor.
struct worker_stopper {
    worker_stopper() = default;
    worker_stopper(const worker_stopper&) = delete;
    worker_stopper& operator=(const worker_stopper&) = delete;
    ~worker_stopper() {
        if (!worker_thread.joinable()) return;
        if (!on_worker()) {
            try {
                stop();
            } catch (...) {
            }
        }
        // The worker itself is ending the process: it cannot wait for itself.
        if (worker_thread.joinable()) worker_thread.detach();
    }
};
[[maybe_unused]] const worker_stopper& stopper = lasting::make<const worker_stopper>();

// --- probing ------------------------------------------------------------

void handle_probe_request(const server_pointer& server, const boost::system::error_code& error);

void arm_probe(const server_pointer& server, clock_type::duration after) {
    server->probe_timer.expires_after(after);
    server->probe_timer.async_wait(asio::bind_executor(
        *strand,
        [server](const boost::system::error_code& error) { handle_probe_request(server, error); }));
}

void handle_probe_request(const server_pointer& server, const boost::system::error_code& error) {
    if (error == asio::error::operation_aborted) return;
    if (std::find(servers.begin(), servers.end(), server) == servers.end()) return;
    try {
        arm_probe(server, probe_interval);
        principal::trace::write(QVSE_TRACE_DETAIL, facility, 0,
                                boost::wformat(L"Probing server %1%") % server->name);
        auto conversation = std::make_shared<conversation_type>(*service);
        conversation->header.initialize(header_type::probe, false);
        conversation->plan.push_back(server);
        handle_dispatch(conversation, probe_deadline);
    } catch (...) {
        trace_exception();
    }
}

void handle_connect(std::vector<server_pointer>& resolved) {
    servers.swap(resolved);
    for (std::size_t i = 0; i < servers.size(); ++i) arm_probe(servers[i], i * probe_spacing);
}

// --- running on the strand from a host thread ---------------------------

// Runs work on the strand and waits for it; directly when no worker runs.
template <class Work>
void on_strand(Work&& work) {
    if (!service || !worker_thread.joinable()) return work();
    if (on_worker()) throw std::logic_error("network state used from a network callback");
    std::promise<void> done;
    auto future = done.get_future();
    asio::post(*strand, [&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    future.get();
}

void worker() {
    worker_id = std::this_thread::get_id();
    pthread_setname_np(pthread_self(), "qvse-network");
    for (;;) {
        try {
            service->run();
            return;
        } catch (...) {
            trace_exception();
        }
    }
}

void stop() {
    if (worker_thread.joinable()) {
        work.reset();
        service->stop();
        worker_thread.join();
    }
    worker_id = std::thread::id{};
    pending_writes.clear();
    conversations.clear();  // in flight: dropped without completion
    servers.clear();
    if (datagram::socket) {
        boost::system::error_code ignored;
        datagram::socket->close(ignored);
    }
    datagram::socket.reset();
    strand.reset();
    service.reset();  // frees pending handlers and what they hold
    datagram::buffer = {};
}

// Normalises a restored or resolved address for the socket: IPv4 becomes
// IPv4-mapped on a dual-stack socket, mapped becomes IPv4 on an IPv4 one.
asio::ip::address for_socket(const asio::ip::address& address, bool dual_stack) {
    const auto plain = canonical(address);
    if (dual_stack && plain.is_v4())
        return asio::ip::make_address_v6(asio::ip::v4_mapped, plain.to_v4());
    return plain;
}

bool dual_stack() {
    return datagram::socket && datagram::socket->is_open() &&
           datagram::socket->local_endpoint().protocol() == udp::v6();
}

}  // namespace

unsigned initialize(socket_family family) {
    return frame(facility, [&]() -> unsigned {
        if (on_worker()) return QVSE_E_FAILED;
        stop();
        service = std::make_unique<asio::io_context>(1);
        strand = std::make_unique<asio::io_context::strand>(*service);
        work.emplace(service->get_executor());
        datagram::socket = std::make_unique<udp::socket>(*service);
        auto& socket = *datagram::socket;

        boost::system::error_code error;
        bool open = false;
        if (family == socket_family::dual_stack) {
            socket.open(udp::v6(), error);
            if (!error) {
                socket.set_option(asio::ip::v6_only(false), error);
                if (!error) {
                    open = true;
                    socket.bind(udp::endpoint(udp::v6(), 0), error);
                } else {
                    boost::system::error_code ignored;
                    socket.close(ignored);
                }
            }
        }
        if (!open) {
            error.clear();
            socket.open(udp::v4(), error);
            if (!error) socket.bind(udp::endpoint(udp::v4(), 0), error);
        }
        if (error) {
            principal::trace::write(
                QVSE_TRACE_ERROR, facility, 0,
                boost::wformat(L"Unable to create UDP endpoint: %1%") % error_text(error));
            boost::system::error_code ignored;
            socket.close(ignored);
        } else {
            std::ostringstream local;
            local << socket.local_endpoint();
            principal::trace::write(
                QVSE_TRACE_INFO, facility, 0,
                boost::wformat(L"UDP endpoint created on %1%") % coding::to_wide(local.str()));
            datagram::buffer.resize(receive_size);
            start_receive();
        }
        principal::trace::write(QVSE_TRACE_INFO, facility, 0,
                                std::wstring(L"Starting worker thread"));
        worker_thread = std::thread(&worker);
        return QVSE_OK;
    });
}

unsigned shutdown() {
    return frame(facility, [&]() -> unsigned {
        if (on_worker()) return QVSE_E_FAILED;  // the worker cannot join itself
        principal::trace::write(QVSE_TRACE_INFO, facility, 0,
                                std::wstring(L"Stopping worker thread"));
        stop();
        return QVSE_OK;
    });
}

std::string save_servers() {
    std::string text;
    on_strand([&] {
        // The property tree writes an empty list as "", not as an array.
        if (servers.empty()) {
            text = "{\n    \"servers\": []\n}\n";
            return;
        }
        boost::property_tree::ptree list;
        for (const auto& server : servers) list.push_back({"", server->serialize()});
        boost::property_tree::ptree document;
        document.add_child("servers", list);
        std::ostringstream out;
        boost::property_tree::write_json(out, document, true);
        text = out.str();
    });
    return text;
}

void restore_servers(const std::string& text) {
    std::istringstream in(text);
    boost::property_tree::ptree document;
    boost::property_tree::read_json(in, document);
    if (!service) throw std::logic_error("the network is not started");
    std::size_t count = 0;
    on_strand([&] {
        const bool mapped = dual_stack();
        for (const auto& element : document.get_child("servers")) {
            auto server = std::make_shared<server_type>(*service, element.second);
            // What a saved list says is kept only where it makes sense.
            server->address = for_socket(server->address, mapped);
            std::erase_if(server->latencies, [](std::int64_t latency) { return latency < 0; });
            if (server->latencies.size() > max_latencies) server->latencies.resize(max_latencies);
            if (server->latencies.empty()) server->latencies.push_back(initial_latency_ns);
            servers.push_back(std::move(server));
        }
        count = servers.size();
    });
    principal::trace::write(QVSE_TRACE_DETAIL, facility, 0,
                            boost::wformat(L"Restored %1% servers records") % count);
}

unsigned connect(const wchar_t* host, std::size_t host_length) {
    return frame(facility, [&]() -> unsigned {
        if (host == nullptr) return QVSE_E_INVALID_ARGUMENT;
        const std::wstring_view wide(host, host_length);
        if (!locale::is_valid(wide) || wide.find(L'\0') != std::wstring_view::npos)
            return QVSE_E_INVALID_ARGUMENT;
        const std::string name = coding::to_utf8(wide);
        if (!service) return QVSE_E_NO_SERVERS;

        udp::resolver resolver(*service);
        boost::system::error_code error;
        const auto results = resolver.resolve(
            name, service_port, udp::resolver::numeric_service | udp::resolver::address_configured,
            error);
        if (error) {
            principal::trace::write(
                QVSE_TRACE_ERROR, facility, 0,
                boost::wformat(L"Unable to resolve \"%1%\"") % std::wstring(wide));
            principal::trace::write(QVSE_TRACE_ERROR, facility, 1, error_text(error));
            return QVSE_E_NO_SERVERS;
        }
        principal::trace::write(
            QVSE_TRACE_DETAIL, facility, 0,
            boost::wformat(L"Successfully resolved \"%1%\"") % std::wstring(wide));
        if (!datagram::socket) throw std::logic_error("no UDP endpoint");
        const bool mapped = datagram::socket->local_endpoint().protocol() == udp::v6();
        std::vector<server_pointer> resolved;
        for (const auto& entry : results) {
            const auto address = entry.endpoint().address();
            if (!mapped && !address.is_v4()) continue;
            resolved.push_back(
                std::make_shared<server_type>(*service, for_socket(address, mapped), default_port));
        }
        asio::post(*strand, [resolved = std::move(resolved)]() mutable {
            try {
                handle_connect(resolved);
            } catch (...) {
                trace_exception();
            }
        });
        return QVSE_OK;
    });
}

}  // namespace quorvane::engine::network
