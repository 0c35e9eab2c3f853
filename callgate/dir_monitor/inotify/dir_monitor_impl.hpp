// The inotify watcher behind the directory monitor: one thread waits on the
// inotify descriptor and turns changes of directory entries into events for
// the consumer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "../dir_monitor_event.hpp"

namespace quorvane::callgate {

class dir_monitor_impl {
public:
    dir_monitor_impl();
    ~dir_monitor_impl();
    dir_monitor_impl(const dir_monitor_impl&) = delete;
    dir_monitor_impl& operator=(const dir_monitor_impl&) = delete;

    void add_directory(const std::string& name);
    std::string get_dirname(int watch) const;

    // After stop the event is dropped. An event equal to one still queued is
    // dropped too: the consumer only needs the wake-up, and the queue stays
    // bounded by the number of watched directories.
    void pushback_event(dir_monitor_event event);
    // Empty on timeout; throws ECANCELED after stop or once stop is requested.
    std::optional<dir_monitor_event> popfront_event(
        std::stop_token stop, std::optional<std::chrono::milliseconds> timeout);

    // Stops the watcher thread and wakes waiting consumers; idempotent.
    void destroy();

private:
    void work();
    void read_events();

    int inotify_ = -1;
    int wake_ = -1;  // eventfd: written once to stop the watcher thread

    mutable std::mutex table_mutex_;
    std::map<int, std::string> table_;

    std::mutex queue_mutex_;
    std::condition_variable_any queue_condition_;
    bool run_ = true;
    std::deque<dir_monitor_event> events_;

    std::thread thread_;
};

}  // namespace quorvane::callgate
