// The server's state, shared by its socket side (classification_server.cpp)
// and its request side (requests.cpp), which answers what the sockets
// receive and learns from it.
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
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

#include "classification_server.hpp"
#include "faults.hpp"
#include "store.hpp"
#include "wire.hpp"

namespace quorvane::standins::classification_server {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;
using wire::bytes;

struct server::implementation {
    explicit implementation(options_type options)
        : options(std::move(options)),
          store(this->options.capacity),
          udp_socket(service),
          other_socket(service),
          acceptor(service) {}

    options_type options;
    // First in, last out: every socket below must go before it.
    asio::io_context service;
    mutable std::mutex mutex;  // guards what follows up to the sockets
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> credentials;
    learning_store store;
    fault_plan faults;
    std::deque<request_type> log;
    std::deque<report_type> uploads;
    std::size_t upload_bytes = 0;  // of the messages in uploads
    std::deque<touch_type> touch_log;
    std::list<std::shared_ptr<tcp::socket>> hung;

    // The store file's writer: its own thread, so a large store never
    // holds up a reply.
    std::condition_variable writer_wake;
    bool write_soon = false;
    bool stopping = false;
    std::thread writer;

    udp::socket udp_socket;
    udp::socket other_socket;  // for replies from the wrong port
    tcp::acceptor acceptor;
    std::thread thread;
    std::array<char, 0x10000> datagram{};
    udp::endpoint sender;

    // Returns the reply, or nothing for a dropped message.
    std::optional<bytes> answer(const bytes& message, transport_type transport,
                                faults_type& applied);
    // The sound reply to an authentic-looking request, with what to log and
    // what to learn from.
    reply_type respond_locked(const wire::frame_header& request, const bytes& message,
                              request_type& entry, std::optional<report_type>& learned);
    // Checks the MAC and size; on success, the payload deciphered and the session key.
    std::optional<std::pair<bytes, bytes>> authenticate_locked(const wire::frame_header& request,
                                                               const bytes& message,
                                                               request_type& entry,
                                                               std::uint8_t& status);
    // Counts a report or revoke against the fingerprints of its message.
    void learn(const report_type& upload);
    void write_store_while_running();
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
    void serve(std::shared_ptr<tcp::socket> socket);
};

}  // namespace quorvane::standins::classification_server
