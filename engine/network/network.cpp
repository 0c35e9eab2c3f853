#include "network.hpp"

#include <linux/sockios.h>
#include <pthread.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <istream>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/property_tree/json_parser.hpp>

#include "../callbacks.hpp"
#include "../coding.hpp"
#include "../context/context.hpp"
#include "../entry_table.hpp"
#include "../frame.hpp"
#include "../locale.hpp"
#include "../principal/trace.hpp"
#include "conversation.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::network {

const std::wstring& facility = lasting::make<const std::wstring>(L"Network");

namespace {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;
using clock_type = conversation_type::clock_type;
using namespace std::chrono_literals;
using header_type = protocol::header_type;

constexpr char service_port[] = "2409";
constexpr std::uint16_t default_port = 2409;
constexpr auto probe_spacing = 100ms;
constexpr auto probe_interval = 300s;
constexpr auto probe_deadline = 1s;
constexpr auto retry_margin = 100ms;
constexpr auto retry_ceiling = 3s;
constexpr auto upload_ceiling = 60s;   // one TCP upload, however active
constexpr auto completion_grace = 1s;  // a synchronous caller waits no longer
constexpr std::size_t udp_limit_v4 = 556;
constexpr std::size_t udp_limit_v6 = 1232;
constexpr std::size_t tcp_attempt = 3;  // from this attempt on, always TCP
constexpr std::size_t receive_size = 0x10000;
constexpr std::size_t tcp_read_size = 1024;
constexpr std::size_t tcp_reply_limit = 1 << 20;
constexpr std::size_t plan_limit = 127;  // the attempt byte is signed
constexpr std::size_t message_chunk = 4096;

struct id_hash {
    std::size_t operator()(const header_type::id_type& id) const noexcept {
        std::uint64_t value;
        std::memcpy(&value, id.data(), sizeof value);
        return static_cast<std::size_t>(value);
    }
};

// The component's state. Everything but service, strand and the worker's id
// is touched only on the strand (or while the worker is not running).
std::unique_ptr<asio::io_context>& service = lasting::make<std::unique_ptr<asio::io_context>>();
std::unique_ptr<asio::io_context::strand>& strand =
    lasting::make<std::unique_ptr<asio::io_context::strand>>();
std::optional<asio::executor_work_guard<asio::io_context::executor_type>>& work =
    lasting::make<std::optional<asio::executor_work_guard<asio::io_context::executor_type>>>();
std::thread& worker_thread = lasting::make<std::thread>();
std::atomic<std::thread::id> worker_id{};

std::vector<server_pointer>& servers = lasting::make<std::vector<server_pointer>>();
std::unordered_map<header_type::id_type, conversation_pointer, id_hash>& conversations =
    lasting::make<std::unordered_map<header_type::id_type, conversation_pointer, id_hash>>();
std::deque<conversation_pointer>& pending_writes =
    lasting::make<std::deque<conversation_pointer>>();
asio::ip::address last_optimal_server = asio::ip::address_v4::any();

}  // namespace

namespace datagram {
namespace {
std::unique_ptr<udp::socket>& socket = lasting::make<std::unique_ptr<udp::socket>>();
udp::endpoint sender;
std::vector<std::uint8_t>& buffer = lasting::make<std::vector<std::uint8_t>>();
}  // namespace
}  // namespace datagram

namespace {

void stop();
bool on_worker() noexcept;

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

bool on_worker() noexcept { return std::this_thread::get_id() == worker_id.load(); }

void trace_exception() noexcept { trace_current_exception(facility); }

std::wstring milliseconds(clock_type::duration duration) {
    return std::to_wstring(
               std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
           L" milliseconds";
}

std::wstring newest_latency(const server_type& server) {
    if (server.latencies.empty()) return L"unknown";
    return milliseconds(std::chrono::nanoseconds(server.latencies.front()));
}

std::wstring error_text(const boost::system::error_code& error) {
    return coding::to_wide(error.message());
}

void trace_for(const conversation_type& conversation, unsigned level, const boost::wformat& line) {
    context::trace::write(conversation.record, level, facility, 0, line);
}

void report_traffic(std::size_t sent, std::size_t received) {
    if (sent == 0 && received == 0) return;
    if (const auto slot = callbacks.network_traffic) slot(sent, received);
}

// The smallest latency plus 100 ms, at most 3 s.
clock_type::duration retry_time_of(const server_type& server) {
    if (server.latencies.empty())
        return std::chrono::nanoseconds(initial_latency_ns) + retry_margin;
    const auto smallest = *std::min_element(server.latencies.begin(), server.latencies.end());
    return std::min<clock_type::duration>(std::chrono::nanoseconds(smallest) + retry_margin,
                                          retry_ceiling);
}

// Touches, reports and revokes carry data the servers keep.
bool uploads(const conversation_type& conversation) noexcept {
    return conversation.header.type == header_type::touch ||
           conversation.header.type == header_type::report ||
           conversation.header.type == header_type::revoke;
}

void handle_write_enqueue(const conversation_pointer& conversation);
void handle_write_dequeue(const conversation_pointer& conversation);
void handle_retry(const conversation_pointer& conversation, std::uint8_t attempt,
                  const boost::system::error_code& error);
void handle_completion(const conversation_pointer& conversation, unsigned status);
void handle_response(const conversation_pointer& conversation, const server_pointer& server,
                     const header_type& header, std::span<const std::uint8_t> payload);

void close_connection(conversation_type& conversation) {
    if (!conversation.connection) return;
    boost::system::error_code ignored;
    conversation.connection->close(ignored);
    conversation.connection.reset();
}

void cancel_retry(conversation_type& conversation) {
    ++conversation.retry_generation;
    conversation.retry_timer.cancel();
}

// Ends a conversation's transport for good: no more attempts, replies to it
// match nothing.
void retire(const conversation_pointer& conversation) {
    const auto found = conversations.find(conversation->header.id);
    if (found != conversations.end() && found->second == conversation) conversations.erase(found);
    close_connection(*conversation);
    cancel_retry(*conversation);
}

// Hands a status to the strand; the first completion to run wins.
void complete(const conversation_pointer& conversation, unsigned status) {
    try {
        asio::post(*strand, [conversation, status] { handle_completion(conversation, status); });
    } catch (...) {
        // Could not queue it: complete now rather than leave a caller waiting.
        handle_completion(conversation, status);
    }
}

// Runs a strand handler's body; whatever it throws completes the
// conversation instead of losing it.
template <class Body>
void guarded(const conversation_pointer& conversation, Body&& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        complete(conversation, QVSE_E_OUT_OF_MEMORY);
    } catch (...) {
        trace_exception();
        complete(conversation, QVSE_E_FAILED);
    }
}

void rearm_inactivity(const conversation_pointer& conversation);

// Bytes written that the peer has not acknowledged yet change while a large
// upload drains from the kernel after our last write: that is progress too.
bool still_draining(conversation_type& conversation) {
    if (!conversation.connection ||
        clock_type::now() >= conversation.connection_start + upload_ceiling)
        return false;
    int unsent = 0;
    if (::ioctl(conversation.connection->native_handle(), SIOCOUTQ, &unsent) != 0 || unsent < 0)
        return false;
    const bool moved = static_cast<std::size_t>(unsent) != conversation.unsent;
    conversation.unsent = static_cast<std::size_t>(unsent);
    return moved;
}

// Arms the retry timer; a wait acts only while it is the latest one armed.
void arm_retry(const conversation_pointer& conversation, clock_type::duration duration) {
    auto& timer = conversation->retry_timer;
    const auto generation = ++conversation->retry_generation;
    const auto attempt = conversation->header.attempt;
    timer.expires_after(duration);
    timer.async_wait(asio::bind_executor(
        *strand, [conversation, generation, attempt](const boost::system::error_code& error) {
            if (error == asio::error::operation_aborted) return;
            if (generation != conversation->retry_generation) return;
            if (uploads(*conversation) && attempt == conversation->header.attempt &&
                still_draining(*conversation))
                return rearm_inactivity(conversation);
            handle_retry(conversation, attempt, error);
        }));
}

// An upload over TCP may take long: its retry timer measures inactivity,
// within an absolute ceiling from the connection's start.
void rearm_inactivity(const conversation_pointer& conversation) {
    if (!uploads(*conversation)) return;
    const auto left = conversation->connection_start + upload_ceiling - clock_type::now();
    arm_retry(conversation, std::max<clock_type::duration>(std::min(conversation->retry_time, left),
                                                           clock_type::duration{}));
}

// --- datagrams ----------------------------------------------------------

void datagram_handle_read(const boost::system::error_code& error, std::size_t received);
void next_write();

void start_receive() {
    datagram::socket->async_receive_from(asio::buffer(datagram::buffer.data(), receive_size),
                                         datagram::sender,
                                         asio::bind_executor(*strand, &datagram_handle_read));
}

void datagram_handle_write(const conversation_pointer& conversation,
                           const boost::system::error_code& error, std::size_t sent) {
    try {
        report_traffic(sent, 0);
        if (error == asio::error::operation_aborted) return;
        if (error)
            principal::trace::write(QVSE_TRACE_WARNING, facility, 0,
                                    boost::wformat(L"Error sending: %1%") % error_text(error));
    } catch (...) {
        trace_exception();
    }
    if (!pending_writes.empty() && pending_writes.front() == conversation)
        pending_writes.pop_front();
    next_write();
}

void take_datagram(std::size_t received) {
    std::span<const std::uint8_t> data(datagram::buffer.data(), received);
    header_type header;
    conversation_pointer conversation;
    server_pointer server;
    if (protocol::decode(data, header) && header.response) {
        const auto found = conversations.find(header.id);
        // A reply of another type than the request's answers nothing: whoever
        // knows a request id could otherwise end it, or rewrite the server's
        // record with a probe reply, without the keystream.
        if (found != conversations.end() && header.type == found->second->header.type) {
            const auto& plan = found->second->plan;
            const auto reply_attempt = static_cast<std::int8_t>(header.attempt);
            const auto current = static_cast<std::int8_t>(found->second->header.attempt);
            if (reply_attempt >= 0 && reply_attempt <= current &&
                static_cast<std::size_t>(reply_attempt) < plan.size()) {
                const auto address = canonical(datagram::sender.address());
                const auto port = datagram::sender.port();
                for (const auto& candidate : plan)
                    if (candidate->port == port && canonical(candidate->address) == address) {
                        conversation = found->second;
                        server = candidate;
                        break;
                    }
            }
        }
    }
    if (!conversation) {
        std::ostringstream sender;
        sender << datagram::sender;
        principal::trace::write(QVSE_TRACE_WARNING, facility, 0,
                                boost::wformat(L"Received %1% unexpected bytes from %2%") %
                                    received % coding::to_wide(sender.str()));
        return;
    }
    const auto& plan = conversation->plan;
    if (header.attempt == conversation->header.attempt &&
        server == plan[conversation->header.attempt % plan.size()])
        server->add_latency(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                clock_type::now() - conversation->send_time)
                                .count());
    if (conversation->completed) {
        // An upload that outlived its deadline has now been delivered.
        retire(conversation);
        return;
    }
    guarded(conversation, [&] { handle_response(conversation, server, header, data); });
}

void datagram_handle_read(const boost::system::error_code& error, std::size_t received) {
    if (error == asio::error::operation_aborted) return;
    if (!datagram::socket || !datagram::socket->is_open()) return;
    try {
        report_traffic(0, received);
        if (error) {
            std::ostringstream sender;
            sender << datagram::sender;
            principal::trace::write(QVSE_TRACE_WARNING, facility, 0,
                                    boost::wformat(L"Error receiving from %1%: %2%") %
                                        coding::to_wide(sender.str()) % error_text(error));
        } else {
            take_datagram(received);
        }
    } catch (...) {
        trace_exception();
    }
    // Whatever happened to this datagram, keep receiving.
    try {
        start_receive();
    } catch (...) {
        trace_exception();
    }
}

// --- TCP ----------------------------------------------------------------

void connection_read(const conversation_pointer& conversation, std::uint8_t attempt);
void connection_write(const conversation_pointer& conversation, std::uint8_t attempt);

// A TCP completion acts only for the attempt that started it.
bool stale(const conversation_type& conversation, std::uint8_t attempt) noexcept {
    return attempt != conversation.header.attempt || !conversation.connection;
}

void connection_handle_connect(const conversation_pointer& conversation, std::uint8_t attempt,
                               const boost::system::error_code& error) {
    if (error == asio::error::operation_aborted || stale(*conversation, attempt)) return;
    guarded(conversation, [&] {
        if (error) return handle_retry(conversation, attempt, error);
        rearm_inactivity(conversation);
        conversation->written = 0;
        connection_write(conversation, attempt);
    });
}

void connection_write(const conversation_pointer& conversation, std::uint8_t attempt) {
    auto& buffers = conversation->buffers;
    std::array<asio::const_buffer, 3> parts{asio::buffer(buffers.header),
                                            asio::buffer(buffers.authentication),
                                            asio::buffer(buffers.payload)};
    std::size_t skip = conversation->written;
    for (auto& part : parts) {
        const auto taken = std::min(skip, part.size());
        part += taken;
        skip -= taken;
    }
    conversation->connection->async_write_some(
        parts,
        asio::bind_executor(*strand, [conversation, attempt](const boost::system::error_code& error,
                                                             std::size_t sent) {
            if (stale(*conversation, attempt)) return;
            guarded(conversation, [&] {
                report_traffic(sent, 0);
                if (error == asio::error::operation_aborted) return;
                if (error) return handle_retry(conversation, attempt, error);
                conversation->written += sent;
                if (sent != 0) rearm_inactivity(conversation);
                if (conversation->written < conversation->buffers.size())
                    return connection_write(conversation, attempt);
                boost::system::error_code ignored;
                conversation->connection->shutdown(tcp::socket::shutdown_send, ignored);
                conversation->reply.clear();
                conversation->reply_size = 0;
                connection_read(conversation, attempt);
            });
        }));
}

void finish_tcp_reply(const conversation_pointer& conversation, std::uint8_t attempt);

void connection_read(const conversation_pointer& conversation, std::uint8_t attempt) {
    auto& reply = conversation->reply;
    reply.resize(conversation->reply_size + tcp_read_size);
    conversation->connection->async_read_some(
        asio::buffer(reply.data() + conversation->reply_size, tcp_read_size),
        asio::bind_executor(*strand, [conversation, attempt](const boost::system::error_code& error,
                                                             std::size_t received) {
            if (stale(*conversation, attempt)) return;
            guarded(conversation, [&] {
                report_traffic(0, received);
                if (error == asio::error::operation_aborted) return;
                conversation->reply_size += received;
                if (error && error != asio::error::eof)
                    return handle_retry(conversation, attempt, error);
                // Closed without a word: as good as refused.
                if (error && conversation->reply_size == 0)
                    return handle_retry(conversation, attempt, error);
                if (conversation->reply_size > tcp_reply_limit) {
                    trace_for(*conversation, QVSE_TRACE_WARNING,
                              boost::wformat(L"Received oversized response from %1%") %
                                  conversation->plan[attempt % conversation->plan.size()]->name);
                    if (conversation->completed) return retire(conversation);
                    close_connection(*conversation);
                    cancel_retry(*conversation);
                    return complete(conversation, QVSE_E_BAD_RESPONSE);
                }
                if (!error) {
                    if (received != 0) rearm_inactivity(conversation);
                    return connection_read(conversation, attempt);
                }
                finish_tcp_reply(conversation, attempt);
            });
        }));
}

void finish_tcp_reply(const conversation_pointer& conversation, std::uint8_t attempt) {
    auto& connection = *conversation->connection;
    boost::system::error_code ignored;
    const auto remote = connection.remote_endpoint(ignored);
    const auto server = conversation->plan[attempt % conversation->plan.size()];
    // The reply is complete: this attempt is over whatever it says.
    close_connection(*conversation);
    cancel_retry(*conversation);
    if (conversation->completed) return retire(conversation);

    std::span<const std::uint8_t> data(conversation->reply.data(), conversation->reply_size);
    header_type header;
    if (protocol::decode(data, header) && header.response &&
        header.type == conversation->header.type && header.attempt == attempt &&
        header.id == conversation->header.id)
        return handle_response(conversation, server, header, data);
    std::ostringstream text;
    text << remote;
    trace_for(*conversation, QVSE_TRACE_WARNING,
              boost::wformat(L"Received invalid response from %1%") % coding::to_wide(text.str()));
    complete(conversation, QVSE_E_BAD_RESPONSE);
}

// --- queue, retry, deadline, completion ---------------------------------

void handle_write_enqueue(const conversation_pointer& conversation) {
    pending_writes.push_back(conversation);
    if (pending_writes.size() == 1)
        asio::post(*strand, [conversation] { handle_write_dequeue(conversation); });
}

void send_datagram(const conversation_pointer& conversation, const server_type& server) {
    trace_for(*conversation, QVSE_TRACE_DETAIL,
              boost::wformat(L"Sending %1% bytes to %2% with %3% retry time") %
                  conversation->buffers.size() % server.name %
                  milliseconds(conversation->retry_time));
    if (!datagram::socket || !datagram::socket->is_open()) {
        // No endpoint could be created: the retry timer moves the request on.
        principal::trace::write(QVSE_TRACE_WARNING, facility, 0,
                                std::wstring(L"Error sending: no UDP endpoint"));
        return datagram_handle_write(conversation, {}, 0);
    }
    const auto& buffers = conversation->buffers;
    const std::array<asio::const_buffer, 3> parts{asio::buffer(buffers.header),
                                                  asio::buffer(buffers.authentication),
                                                  asio::buffer(buffers.payload)};
    datagram::socket->async_send_to(
        parts, udp::endpoint(server.address, server.port),
        asio::bind_executor(
            *strand, [conversation](const boost::system::error_code& error, std::size_t sent) {
                datagram_handle_write(conversation, error, sent);
            }));
}

void send_stream(const conversation_pointer& conversation, const server_type& server) {
    trace_for(*conversation, QVSE_TRACE_DETAIL,
              boost::wformat(L"Establishing connection to %1% with %2% retry time") % server.name %
                  milliseconds(conversation->retry_time));
    close_connection(*conversation);
    conversation->connection = std::make_unique<tcp::socket>(*service);
    conversation->connection_start = clock_type::now();
    conversation->unsent = 0;
    const auto attempt = conversation->header.attempt;
    conversation->connection->async_connect(
        tcp::endpoint(canonical(server.address), server.port),
        asio::bind_executor(*strand,
                            [conversation, attempt](const boost::system::error_code& error) {
                                connection_handle_connect(conversation, attempt, error);
                            }));
}

// Hands the new queue head to the strand; the queue must never stall.
void next_write() {
    if (pending_writes.empty()) return;
    auto next = pending_writes.front();
    try {
        asio::post(*strand, [next] { handle_write_dequeue(next); });
    } catch (...) {
        handle_write_dequeue(next);
    }
}

void handle_write_dequeue(const conversation_pointer& conversation) {
    bool by_datagram = false;
    guarded(conversation, [&] {
        auto& header_buffer = conversation->buffers.header;
        header_buffer.clear();
        protocol::encode(header_buffer, conversation->header);
        const auto& server =
            conversation->plan[conversation->header.attempt % conversation->plan.size()];
        conversation->retry_time = retry_time_of(*server);
        arm_retry(conversation, conversation->retry_time);
        conversation->send_time = clock_type::now();
        const std::size_t limit = server->address.is_v4() ? udp_limit_v4 : udp_limit_v6;
        if (conversation->buffers.size() > limit || conversation->header.attempt >= tcp_attempt) {
            send_stream(conversation, *server);
        } else {
            send_datagram(conversation, *server);
            by_datagram = true;
        }
    });
    // A datagram leaves the queue when its send completes; anything else now.
    if (by_datagram) return;
    if (!pending_writes.empty() && pending_writes.front() == conversation)
        pending_writes.pop_front();
    next_write();
}

void handle_retry(const conversation_pointer& conversation, std::uint8_t attempt,
                  const boost::system::error_code& error) {
    if (error == asio::error::operation_aborted) return;
    if (attempt != conversation->header.attempt) return;  // an earlier attempt's news
    guarded(conversation, [&] {
        close_connection(*conversation);
        cancel_retry(*conversation);
        ++conversation->header.attempt;
        if (conversation->header.attempt >= conversation->plan.size()) {
            if (conversation->completed) return retire(conversation);
            return complete(conversation, QVSE_E_SERVERS_EXHAUSTED);
        }
        handle_write_enqueue(conversation);
    });
}

void handle_deadline(const conversation_pointer& conversation,
                     const boost::system::error_code& error) {
    if (error == asio::error::operation_aborted || conversation->completed) return;
    // An upload keeps going after its deadline; the caller just stops waiting.
    if (!uploads(*conversation)) close_connection(*conversation);
    complete(conversation, QVSE_E_DEADLINE_EXPIRED);
}

void handle_completion(const conversation_pointer& conversation, unsigned status) {
    if (conversation->completed) return;
    conversation->completed = true;
    try {
        conversation->deadline_timer.cancel();
        if (status == QVSE_E_DEADLINE_EXPIRED && uploads(*conversation)) {
            // Stays matchable until a reply or the end of its plan retires it.
        } else {
            retire(conversation);
        }
    } catch (...) {
        trace_exception();
    }
    if (!conversation->record) return;  // a probe ends here
    void* const handle = conversation->record->handle;
    conversation->record.reset();  // the context may be destroyed from now on
    if (conversation->promise) {
        try {
            conversation->promise->set_value(status);
        } catch (...) {
        }
    } else if (const auto slot = callbacks.network_completed) {
        slot(handle, status);
    }
}

void handle_dispatch(const conversation_pointer& conversation, clock_type::duration deadline) {
    guarded(conversation, [&] {
        if (!conversations.try_emplace(conversation->header.id, conversation).second) {
            // Two requests drew the same 80 random bits.
            trace_for(*conversation, QVSE_TRACE_WARNING, boost::wformat(L"Duplicate request id"));
            return complete(conversation, QVSE_E_FAILED);
        }
        const bool planned = conversation->plan.empty();
        if (planned) {
            conversation->plan = servers;
            std::sort(conversation->plan.begin(), conversation->plan.end(),
                      &optimal_plan_predicate);
            if (conversation->plan.size() > plan_limit) conversation->plan.resize(plan_limit);
        }
        if (planned && !conversation->plan.empty() && conversation->plan.front()->reachable) {
            const auto& best = *conversation->plan.front();
            if (best.address != last_optimal_server) {
                principal::trace::write(
                    QVSE_TRACE_INFO, facility, 0,
                    boost::wformat(
                        L"Optimal server %1% (%2%): %3% latency, %4% records updated %5% ago") %
                        best.name % best.location % newest_latency(best) % best.records %
                        (std::to_wstring(best.updated) + L" seconds"));
                last_optimal_server = best.address;
            }
        }
        if (conversation->plan.empty()) return complete(conversation, QVSE_E_NO_SERVERS);
        conversation->deadline_timer.expires_after(deadline);
        conversation->deadline_timer.async_wait(
            asio::bind_executor(*strand, [conversation](const boost::system::error_code& error) {
                handle_deadline(conversation, error);
            }));
        handle_write_enqueue(conversation);
    });
}

// --- responses ----------------------------------------------------------

void handle_response(const conversation_pointer& conversation, const server_pointer& server,
                     const header_type& header, std::span<const std::uint8_t> payload) {
    const std::wstring& name = server->name;
    switch (header.status) {
    case header_type::payload_too_large:
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received \"payload too large\" response from %1%") % name);
        return complete(conversation, QVSE_E_PAYLOAD_TOO_LARGE);
    case header_type::invalid_credentials:
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received \"invalid credentials\" response from %1%") % name);
        return complete(conversation, QVSE_E_INVALID_CREDENTIALS);
    case header_type::malformed_request:
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received \"malformed request\" response from %1%") % name);
        return complete(conversation, QVSE_E_BAD_RESPONSE);
    default:
        break;
    }

    switch (header.type) {
    case header_type::probe: {
        const auto reply = protocol::read_probe_reply(payload);
        if (!reply) {
            principal::trace::write(
                QVSE_TRACE_WARNING, facility, 0,
                boost::wformat(L"Received invalid discovery response from %1%") % name);
            return complete(conversation, QVSE_E_BAD_RESPONSE);
        }
        server->name = printable(coding::to_wide(reply->name));
        server->location = printable(coding::to_wide(reply->location));
        server->provider = printable(coding::to_wide(reply->provider));
        server->uptime = static_cast<std::int64_t>(reply->uptime);
        server->updated = static_cast<std::int64_t>(reply->updated);
        server->serial = reply->serial;
        server->records = reply->records;
        server->reachable = true;
        principal::trace::write(
            QVSE_TRACE_INFO, facility, 0,
            boost::wformat(L"Probed %1% (%2%): %3% latency, %4% records updated %5% ago") %
                server->name % server->location % newest_latency(*server) % server->records %
                (std::to_wstring(server->updated) + L" seconds"));
        return complete(conversation, QVSE_OK);
    }
    case header_type::lookup: {
        if (!conversation->record || !conversation->reply_cipher ||
            header.encrypted != conversation->header.encrypted) {
            trace_for(*conversation, QVSE_TRACE_WARNING,
                      boost::wformat(L"Received unexpected %2% response from %1%") % name %
                          (header.encrypted ? L"encrypted" : L"unencrypted"));
            return complete(conversation, QVSE_E_BAD_RESPONSE);
        }
        std::vector<std::uint8_t> plain(payload.begin(), payload.end());
        auto cipher = *conversation->reply_cipher;
        cipher.apply(plain.data(), plain.size());

        protocol::reader_type reader(plain);
        const wchar_t* failure = nullptr;
        {
            std::lock_guard lock(conversation->record->mutex);
            std::unordered_set<std::uint64_t> taken;
            taken.reserve(conversation->record->fingerprints.size());
            for (auto& fingerprint : conversation->record->fingerprints) {
                protocol::answer_type answer;
                const auto error = protocol::read_answer(reader, answer);
                if (error == protocol::answer_error::length) {
                    failure = L"Received invalid match length from %1%";
                    break;
                }
                if (error == protocol::answer_error::data) {
                    failure = L"Received invalid fingerprint data from %1%";
                    break;
                }
                if (answer.length == 0) {
                    fingerprint.match.reset();
                    continue;
                }
                if (!taken.insert(answer.id).second) {
                    failure = L"Received duplicate fingerprint data from %1%";
                    break;
                }
                fingerprint.match = spam::fingerprint_type::match_type{answer.length,
                                                                       answer.id,
                                                                       answer.extra,
                                                                       (answer.flags & 1) != 0,
                                                                       (answer.flags & 2) != 0,
                                                                       (answer.flags & 4) != 0,
                                                                       answer.reports,
                                                                       answer.revokes,
                                                                       answer.touches};
            }
        }
        // Traced once the record's lock is released.
        if (failure != nullptr) {
            trace_for(*conversation, QVSE_TRACE_WARNING, boost::wformat(failure) % name);
            return complete(conversation, QVSE_E_BAD_RESPONSE);
        }
        return complete(conversation, QVSE_OK);
    }
    case header_type::touch:
    case header_type::report:
    case header_type::revoke:
        return complete(conversation, QVSE_OK);
    default:
        trace_for(*conversation, QVSE_TRACE_WARNING,
                  boost::wformat(L"Received unknown response from %1%") % name);
        return complete(conversation, QVSE_OK);
    }
}

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

// --- requests -----------------------------------------------------------

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

// Writes the request payload; QVSE_OK or the code that refuses the request.
using payload_writer = unsigned (*)(context::record_type& record, unsigned argument,
                                    std::string& payload);

unsigned write_lookup(context::record_type& record, unsigned, std::string& payload) {
    payload.reserve(8 + record.fingerprints.size() * 24);
    protocol::encode(payload, static_cast<unsigned long long>(record.fingerprints.size()));
    for (const auto& fingerprint : record.fingerprints) {
        const auto category = static_cast<unsigned>(fingerprint.category_value);
        protocol::encode(payload, category);
        switch (category) {
        case spam::fingerprint_type::relay:
        case spam::fingerprint_type::text_chunk:
        case spam::fingerprint_type::word_sequence:
        case spam::fingerprint_type::attachment:
            payload += fingerprint.data;
            break;
        case spam::fingerprint_type::link: {
            const std::string text = coding::to_utf8(fingerprint.text);
            protocol::encode(payload, static_cast<unsigned long long>(text.size()));
            payload += text;
            break;
        }
        default:
            break;
        }
    }
    return QVSE_OK;
}

unsigned write_touch(context::record_type& record, unsigned value, std::string& payload) {
    protocol::encode(payload, value);
    unsigned long long answered = 0;
    for (const auto& fingerprint : record.fingerprints) answered += fingerprint.match.has_value();
    protocol::encode(payload, answered);
    for (const auto& fingerprint : record.fingerprints)
        if (fingerprint.match)
            protocol::encode(payload, static_cast<unsigned long long>(fingerprint.match->id));
    return QVSE_OK;
}

unsigned write_message(context::record_type& record, unsigned flag, std::string& payload) {
    std::istream* message = record.source.get();
    if (message == nullptr) return QVSE_E_NO_MESSAGE;
    message->clear();
    message->seekg(0);
    std::string bytes;
    char chunk[message_chunk];
    while (message->read(chunk, sizeof chunk) || message->gcount() > 0)
        bytes.append(chunk, static_cast<std::size_t>(message->gcount()));
    message->clear();
    protocol::encode(payload, flag != 0 ? 1 : 0);
    protocol::encode(payload, static_cast<unsigned long long>(bytes.size()));
    payload += bytes;
    return QVSE_OK;
}

unsigned request(void* handle, header_type::operation_type operation, unsigned argument,
                 unsigned timeout_ms, bool asynchronous, payload_writer write_payload) {
    if (!service) return QVSE_E_NO_SERVERS;  // the network was never started
    // A network callback waiting for the network would wait forever.
    if (!asynchronous && on_worker()) return QVSE_E_FAILED;

    auto conversation = std::make_shared<conversation_type>(*service);
    if (const auto result = context::get(handle, conversation->record); result != QVSE_OK)
        return result;
    {
        auto& record = *conversation->record;
        std::lock_guard lock(record.mutex);
        auto& buffers = conversation->buffers;
        if (const auto result = write_payload(record, argument, buffers.payload); result != QVSE_OK)
            return result;
        conversation->header.initialize(operation, true);
        // Key, cipher and MAC read the credential under the lock, so a
        // concurrent authenticate never changes it halfway.
        auto sealed = protocol::seal(conversation->header, coding::to_utf8(record.secret_key),
                                     record.identity_kind, record.user_id, buffers.payload,
                                     buffers.authentication);
        conversation->session_key = sealed.session_key;
        conversation->reply_cipher = sealed.reply_cipher;
    }
    const clock_type::duration deadline = std::chrono::milliseconds(timeout_ms);
    if (asynchronous) {
        asio::post(*strand, [conversation, deadline] { handle_dispatch(conversation, deadline); });
        return QVSE_OK;
    }
    conversation->promise.emplace();
    auto future = conversation->promise->get_future();
    asio::post(*strand, [conversation, deadline] { handle_dispatch(conversation, deadline); });
    conversation.reset();
    if (future.wait_for(deadline + completion_grace) != std::future_status::ready)
        return QVSE_E_DEADLINE_EXPIRED;  // the worker is stuck; its completion still releases the
                                         // record
    try {
        return future.get();
    } catch (const std::future_error&) {
        return QVSE_E_FAILED;  // the network stopped under the request
    }
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

unsigned authenticate(void* handle, unsigned identity_kind, unsigned user_id,
                      const wchar_t* secret_key, std::size_t secret_key_length) {
    return frame(facility, [&]() -> unsigned {
        if (secret_key == nullptr) return QVSE_E_INVALID_ARGUMENT;
        context::record_pointer record;
        if (const auto result = context::get(handle, record); result != QVSE_OK) return result;
        std::wstring key(secret_key, secret_key_length);
        std::lock_guard lock(record->mutex);
        record->identity_kind = identity_kind;
        record->user_id = user_id;
        record->secret_key.swap(key);
        return QVSE_OK;
    });
}

namespace {

bool refused(unsigned timeout_ms, bool asynchronous) noexcept {
    return timeout_ms == 0 || (asynchronous && callbacks.network_completed == nullptr);
}

}  // namespace

unsigned lookup(void* handle, unsigned timeout_ms, bool asynchronous) {
    return traced_frame(facility, [&]() -> unsigned {
        if (refused(timeout_ms, asynchronous)) return QVSE_E_INVALID_ARGUMENT;
        return request(handle, header_type::lookup, 0, timeout_ms, asynchronous, &write_lookup);
    });
}

unsigned touch(void* handle, unsigned value, unsigned timeout_ms, bool asynchronous) {
    return traced_frame(facility, [&]() -> unsigned {
        if (refused(timeout_ms, asynchronous) || value > 100) return QVSE_E_INVALID_ARGUMENT;
        return request(handle, header_type::touch, value, timeout_ms, asynchronous, &write_touch);
    });
}

unsigned report(void* handle, bool flag, unsigned timeout_ms, bool asynchronous) {
    return frame(facility, [&]() -> unsigned {
        if (refused(timeout_ms, asynchronous)) return QVSE_E_INVALID_ARGUMENT;
        return request(handle, header_type::report, flag, timeout_ms, asynchronous, &write_message);
    });
}

unsigned revoke(void* handle, bool flag, unsigned timeout_ms, bool asynchronous) {
    return frame(facility, [&]() -> unsigned {
        if (refused(timeout_ms, asynchronous)) return QVSE_E_INVALID_ARGUMENT;
        return request(handle, header_type::revoke, flag, timeout_ms, asynchronous, &write_message);
    });
}

}  // namespace quorvane::engine::network
