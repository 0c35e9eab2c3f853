#include "output_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>

namespace quorvane::standins::classification_server {

output_log::output_log(std::string path, std::size_t limit)
    : path_(std::move(path)), limit_(limit) {
    if (!path_.empty()) open_locked();
}

void output_log::open_locked() {
    const int file = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file < 0) throw std::system_error(errno, std::generic_category(), "open " + path_);
    std::cout.flush();
    std::cerr.flush();
    ::dup2(file, STDOUT_FILENO);
    ::dup2(file, STDERR_FILENO);
    struct stat status {};
    written_ = ::fstat(file, &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0;
    ::close(file);
}

void output_log::write_locked(const std::string& text) {
    if (!path_.empty() && written_ + text.size() + 1 > limit_ && written_ > 0) {
        std::cout.flush();
        ::rename(path_.c_str(), (path_ + ".1").c_str());
        try {
            open_locked();
        } catch (const std::system_error&) {
            // Goes on into the moved file: better than losing the lines.
        }
    }
    std::cout << text << std::endl;
    written_ += text.size() + 1;
}

void output_log::request(const std::string& text) {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - second_ >= std::chrono::seconds(1)) {
        if (unshown_ > 0)
            write_locked(std::string("(")
                             .append(std::to_string(unshown_))
                             .append(" more requests not shown)"));
        second_ = now;
        shown_ = unshown_ = 0;
    }
    if (shown_ < per_second) {
        ++shown_;
        write_locked(text);
    } else {
        ++unshown_;
    }
}

void output_log::line(const std::string& text) {
    std::lock_guard lock(mutex_);
    write_locked(text);
}

}  // namespace quorvane::standins::classification_server
