// The program's output: a line per request received, at most so many a
// second (the rest are counted in a line of their own), so a flood cannot
// fill the disk through the log; and, given a file, rotated at a size,
// standard output and error following it.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

namespace quorvane::standins::classification_server {

class output_log {
public:
    // Without a path, lines go to standard output. With one, standard output
    // and error go to the file (appended to), which moves to "<path>.1" once
    // it holds `limit` bytes. Throws when the file cannot be opened.
    explicit output_log(std::string path = {}, std::size_t limit = 4 << 20);

    // A line about one request, if fewer than `per_second` were written in
    // the current second.
    void request(const std::string& line);
    // A line that is always written.
    void line(const std::string& text);

    static constexpr unsigned per_second = 20;

private:
    void write_locked(const std::string& text);
    void open_locked();

    std::mutex mutex_;
    std::string path_;
    std::size_t limit_;
    std::size_t written_ = 0;
    std::chrono::steady_clock::time_point second_{};
    unsigned shown_ = 0;
    unsigned unshown_ = 0;
};

}  // namespace quorvane::standins::classification_server
