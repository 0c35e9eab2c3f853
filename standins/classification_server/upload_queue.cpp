#include "upload_queue.hpp"

#include <utility>

namespace quorvane::standins::classification_server {

upload_queue::upload_queue(std::size_t length, std::size_t bytes)
    : length_(length), bytes_(bytes), thread_([this] { run(); }) {}

upload_queue::~upload_queue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

bool upload_queue::push(std::size_t bytes, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        // One task always fits, however large, so a lone report gets in.
        if (stopping_ || tasks_.size() >= length_ || (!tasks_.empty() && held_ + bytes > bytes_))
            return false;
        held_ += bytes;
        tasks_.emplace_back(bytes, std::move(task));
    }
    wake_.notify_one();
    return true;
}

void upload_queue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (stopping_) return;
        auto [bytes, task] = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // what it holds goes here, not under the lock
        lock.lock();
        held_ -= bytes;
    }
}

}  // namespace quorvane::standins::classification_server
