// The server's state, shared by its socket side (sockets.cpp), its request
// side (requests.cpp), which answers what the sockets receive and learns
// from it, and its public face (classification_server.cpp).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "classification_server.hpp"
#include "faults.hpp"
#include "store.hpp"
#include "store_keeper.hpp"
#include "upload_queue.hpp"
#include "wire.hpp"

namespace quorvane::standins::classification_server {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;
using wire::bytes;

class tcp_session;

// Takes a request's reply (nothing: not answered) on the I/O thread.
using deliver_type = std::function<void(std::optional<bytes> reply, const faults_type& applied)>;

struct server::implementation {
    explicit implementation(options_type options)
        : options(std::move(options)),
          store(this->options.capacity, this->options.capacity_bytes),
          udp_socket(service),
          other_socket(service),
          acceptor(service),
          accept_pause(service) {}

    options_type options;
    // Of the TCP connections, which the service may outlast.
    std::atomic<std::size_t> tcp_buffered{0};
    // First in, last out: every socket below must go before it.
    asio::io_context service;
    mutable std::mutex mutex;  // guards what follows up to the keeper
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> credentials;
    learning_store store;
    fault_plan faults;
    std::deque<request_type> log;
    std::deque<report_type> uploads;
    std::size_t upload_bytes = 0;  // of the messages in uploads
    std::deque<touch_type> touch_log;
    std::list<std::shared_ptr<tcp::socket>> hung;

    std::unique_ptr<store_keeper> keeper;  // with a store file only
    std::unique_ptr<upload_queue> learner;
    std::mutex told_mutex;  // on_request is called with it held

    udp::socket udp_socket;
    udp::socket other_socket;  // for replies from the wrong port
    tcp::acceptor acceptor;
    asio::steady_timer accept_pause;
    // The open TCP connections, oldest first (I/O thread only).
    std::list<std::weak_ptr<tcp_session>> sessions;
    std::thread thread;
    std::array<char, 0x10000> datagram{};
    udp::endpoint sender;

    // Answers a message through deliver, at once or (a report or revoke)
    // once learned; a message that is no request is dropped.
    void answer(bytes message, transport_type transport, deliver_type deliver);
    // The sound reply to an authentic-looking request other than a report
    // or revoke, with what to log.
    wire::reply_type respond_locked(const wire::frame_header& request, const bytes& message,
                                    request_type& entry);
    // Authenticates, learns from and answers a report or revoke (on the
    // learning thread).
    void learn(const wire::frame_header& request, const bytes& message, transport_type transport,
               const faults_type& applied, deliver_type& deliver);
    // Checks the MAC and size; on success, the payload deciphered and the
    // session key. Takes the lock, unless held, only to find the secret.
    std::optional<std::pair<bytes, bytes>> authenticate(const wire::frame_header& request,
                                                        const bytes& message, request_type& entry,
                                                        std::uint8_t& status, bool holding_lock);
    void tell(const request_type& entry);
    template <class Log, class Entry>
    void keep(Log& history, Entry entry) {
        history.push_back(std::move(entry));
        while (history.size() > options.history) history.pop_front();
    }
    void keep_upload(report_type upload) {
        upload_bytes += upload.message.size();
        uploads.push_back(std::move(upload));
        while (uploads.size() > options.history ||
               (upload_bytes > options.history_bytes && uploads.size() > 1)) {
            upload_bytes -= uploads.front().message.size();
            uploads.pop_front();
        }
    }
    void receive();
    void accept();
    void serve(tcp::socket socket);
};

}  // namespace quorvane::standins::classification_server
