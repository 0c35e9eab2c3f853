// Tells one consumer thread that something changed in a watched directory.
// Shaped as an Asio service so that it hangs off an io_context; the context
// only owns the service and is never run.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

#include <boost/asio/execution_context.hpp>

#include "dir_monitor_event.hpp"
#include "inotify/dir_monitor_impl.hpp"

namespace quorvane::callgate {

template <typename Impl = dir_monitor_impl>
class basic_dir_monitor_service : public boost::asio::execution_context::service {
public:
    using implementation_type = std::shared_ptr<Impl>;

    static boost::asio::execution_context::id id;

    explicit basic_dir_monitor_service(boost::asio::execution_context& owner)
        : boost::asio::execution_context::service(owner) {}

    void construct(implementation_type& impl) { impl = std::make_shared<Impl>(); }

    void destroy(implementation_type& impl) {
        impl->destroy();
        impl.reset();
    }

    void add_directory(implementation_type& impl, const std::string& name) {
        struct ::stat entry {};
        if (::stat(name.c_str(), &entry) != 0 || !S_ISDIR(entry.st_mode))
            throw std::invalid_argument("boost::asio::basic_dir_monitor_service::add_directory: " +
                                        name + " is not a valid directory entry");
        impl->add_directory(name);
    }

private:
    void shutdown() override {}
};

template <typename Impl>
boost::asio::execution_context::id basic_dir_monitor_service<Impl>::id;

template <typename Service>
class basic_dir_monitor {
public:
    explicit basic_dir_monitor(boost::asio::execution_context& owner)
        : service_(boost::asio::use_service<Service>(owner)) {
        service_.construct(impl_);
    }
    ~basic_dir_monitor() {
        if (impl_) service_.destroy(impl_);
    }
    basic_dir_monitor(const basic_dir_monitor&) = delete;
    basic_dir_monitor& operator=(const basic_dir_monitor&) = delete;

    void add_directory(const std::string& name) { service_.add_directory(impl_, name); }

    // Blocks for the next event; after stop, throws a system error carrying
    // ECANCELED.
    dir_monitor_event monitor() { return monitor({}, std::nullopt).value(); }

    // As above, but gives up at the timeout (empty result) and throws
    // ECANCELED as soon as stop is requested.
    std::optional<dir_monitor_event> monitor(std::stop_token stop,
                                             std::optional<std::chrono::milliseconds> timeout) {
        return impl_->popfront_event(stop, timeout);
    }

    // Stops watching and cancels waiting consumers; the events not taken yet
    // are dropped.
    void stop() { impl_->destroy(); }

private:
    Service& service_;
    typename Service::implementation_type impl_;
};

using dir_monitor = basic_dir_monitor<basic_dir_monitor_service<>>;

}  // namespace quorvane::callgate
