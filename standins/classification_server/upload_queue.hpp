// Reports and revokes wait here to be learned, one after another, on a
// thread of their own: fingerprinting a large message takes a while, and the
// I/O thread must go on answering lookups meanwhile. The queue is bounded in
// tasks and bytes, so a flood of reports cannot pile up in memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quorvane::standins::classification_server {

class upload_queue {
public:
    upload_queue(std::size_t length, std::size_t bytes);
    // Drops what still waits (unlearned, unanswered) and stops.
    ~upload_queue();
    upload_queue(const upload_queue&) = delete;
    upload_queue& operator=(const upload_queue&) = delete;

    // Queues a task that holds `bytes`; false (the task is dropped) when
    // the queue is full.
    bool push(std::size_t bytes, std::function<void()> task);

private:
    void run();

    const std::size_t length_, bytes_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::size_t, std::function<void()>>> tasks_;
    std::size_t held_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quorvane::standins::classification_server
