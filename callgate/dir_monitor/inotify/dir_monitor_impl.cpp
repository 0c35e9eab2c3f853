#include "dir_monitor_impl.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace quorvane::callgate {

namespace {

[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::system_category(), what);
}

// Entries added, removed or renamed; writes into files are not wanted.
constexpr std::uint32_t entry_events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

dir_monitor_impl::dir_monitor_impl() {
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0)
        throw_errno("boost::asio::dir_monitor_impl::init_inotify: inotify_init1 failed");
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        const int error = errno;
        ::close(inotify_);
        throw std::system_error(error, std::system_category(), "eventfd_select_interrupter");
    }
    try {
        thread_ = std::thread([this] { work(); });
    } catch (...) {
        ::close(wake_);
        ::close(inotify_);
        throw;
    }
}

dir_monitor_impl::~dir_monitor_impl() {
    destroy();
    ::close(wake_);
    ::close(inotify_);  // also removes every watch
}

void dir_monitor_impl::add_directory(const std::string& name) {
    const int watch = ::inotify_add_watch(inotify_, name.c_str(), entry_events);
    if (watch < 0)
        throw_errno("boost::asio::dir_monitor_impl::add_directory: inotify_add_watch failed");
    std::lock_guard lock(table_mutex_);
    table_[watch] = name;
}

std::string dir_monitor_impl::get_dirname(int watch) const {
    std::lock_guard lock(table_mutex_);
    const auto found = table_.find(watch);
    return found == table_.end() ? std::string() : found->second;
}

void dir_monitor_impl::pushback_event(dir_monitor_event event) {
    std::lock_guard lock(queue_mutex_);
    if (!run_) return;
    const bool queued = std::any_of(events_.begin(), events_.end(), [&](const auto& other) {
        return other.dirname == event.dirname && other.filename == event.filename &&
               other.type == event.type;
    });
    if (!queued) events_.push_back(std::move(event));
    queue_condition_.notify_all();
}

std::optional<dir_monitor_event> dir_monitor_impl::popfront_event(
    std::stop_token stop, std::optional<std::chrono::milliseconds> timeout) {
    std::unique_lock lock(queue_mutex_);
    const auto ready = [this] { return !run_ || !events_.empty(); };
    if (timeout) {
        if (!queue_condition_.wait_for(lock, stop, *timeout, ready) && !stop.stop_requested())
            return std::nullopt;
    } else {
        queue_condition_.wait(lock, stop, ready);
    }
    if (events_.empty() || stop.stop_requested())
        throw std::system_error(ECANCELED, std::system_category(), "dir_monitor");
    auto event = std::move(events_.front());
    events_.pop_front();
    return event;
}

void dir_monitor_impl::destroy() {
    {
        std::lock_guard lock(queue_mutex_);
        if (!run_ && !thread_.joinable()) return;
        run_ = false;
        events_.clear();
        queue_condition_.notify_all();
    }
    const std::uint64_t one = 1;
    while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (thread_.joinable()) thread_.join();
}

void dir_monitor_impl::work() {
    std::array<pollfd, 2> descriptors{pollfd{inotify_, POLLIN, 0}, pollfd{wake_, POLLIN, 0}};
    for (;;) {
        if (::poll(descriptors.data(), descriptors.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;  // nothing sensible left to wait on
        }
        if (descriptors[1].revents != 0) return;
        if (descriptors[0].revents != 0) read_events();
        std::lock_guard lock(queue_mutex_);
        if (!run_) return;
    }
}

void dir_monitor_impl::read_events() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t length = ::read(inotify_, buffer.data(), buffer.size());
        if (length <= 0) {
            if (length < 0 && errno == EINTR) continue;
            return;  // EAGAIN: drained
        }
        for (ssize_t offset = 0; offset < length;) {
            inotify_event header;
            std::memcpy(&header, buffer.data() + offset, sizeof header);
            offset += static_cast<ssize_t>(sizeof header + header.len);
            if (header.mask & IN_Q_OVERFLOW) {
                // Events were lost: every directory may have changed.
                std::map<int, std::string> table;
                {
                    std::lock_guard lock(table_mutex_);
                    table = table_;
                }
                for (const auto& [watch, name] : table)
                    pushback_event({name, {}, dir_monitor_event::modified});
                continue;
            }
            if (header.mask & IN_IGNORED) {
                std::string name;
                {
                    std::lock_guard lock(table_mutex_);
                    const auto found = table_.find(header.wd);
                    if (found == table_.end()) continue;
                    name = std::move(found->second);
                    table_.erase(found);
                }
                pushback_event({std::move(name), {}, dir_monitor_event::lost});
                continue;
            }
            const std::string name = get_dirname(header.wd);
            if (!name.empty()) pushback_event({name, {}, dir_monitor_event::modified});
        }
    }
}

}  // namespace quorvane::callgate
