// The life of a conversation: its retry timer, the queue of attempts to
// send, retries through its plan, its deadline and its completion.
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <boost/asio/bind_executor.hpp>

#include "../principal/trace.hpp"
#include "network_implementation.hpp"

namespace quorvane::engine::network {

namespace {

using namespace std::chrono_literals;

constexpr auto retry_margin = 100ms;
constexpr auto retry_ceiling = 3s;
constexpr auto upload_ceiling = 60s;  // one TCP upload, however active
constexpr std::size_t udp_limit_v4 = 556;
constexpr std::size_t udp_limit_v6 = 1232;
constexpr std::size_t tcp_attempt = 3;   // from this attempt on, always TCP
constexpr std::size_t plan_limit = 127;  // the attempt byte is signed

// The smallest latency plus 100 ms, at most 3 s.
clock_type::duration retry_time_of(const server_type& server) {
    if (server.latencies.empty())
        return std::chrono::nanoseconds(initial_latency_ns) + retry_margin;
    const auto smallest = *std::min_element(server.latencies.begin(), server.latencies.end());
    return std::min<clock_type::duration>(std::chrono::nanoseconds(smallest) + retry_margin,
                                          retry_ceiling);
}

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

void handle_write_dequeue(const conversation_pointer& conversation);

void handle_write_enqueue(const conversation_pointer& conversation) {
    pending_writes.push_back(conversation);
    if (pending_writes.size() == 1)
        asio::post(*strand, [conversation] { handle_write_dequeue(conversation); });
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

}  // namespace

bool uploads(const conversation_type& conversation) noexcept {
    return conversation.header.type == header_type::touch ||
           conversation.header.type == header_type::report ||
           conversation.header.type == header_type::revoke;
}

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

void retire(const conversation_pointer& conversation) {
    const auto found = conversations.find(conversation->header.id);
    if (found != conversations.end() && found->second == conversation) conversations.erase(found);
    close_connection(*conversation);
    cancel_retry(*conversation);
}

void complete(const conversation_pointer& conversation, unsigned status) {
    try {
        asio::post(*strand, [conversation, status] { handle_completion(conversation, status); });
    } catch (...) {
        // Could not queue it: complete now rather than leave a caller waiting.
        handle_completion(conversation, status);
    }
}

void rearm_inactivity(const conversation_pointer& conversation) {
    if (!uploads(*conversation)) return;
    const auto left = conversation->connection_start + upload_ceiling - clock_type::now();
    arm_retry(conversation, std::max<clock_type::duration>(std::min(conversation->retry_time, left),
                                                           clock_type::duration{}));
}

void next_write() {
    if (pending_writes.empty()) return;
    auto next = pending_writes.front();
    try {
        asio::post(*strand, [next] { handle_write_dequeue(next); });
    } catch (...) {
        handle_write_dequeue(next);
    }
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

}  // namespace quorvane::engine::network
