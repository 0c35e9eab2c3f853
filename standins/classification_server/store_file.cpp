#include "store_file.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace quorvane::standins::classification_server {

namespace {

constexpr std::string_view heading = "qv-classification-server store ";
constexpr int version = 3;
constexpr std::size_t longest_link = 1024;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// An unsigned decimal of digits only: no sign, no space, nothing that
// wraps around.
bool read_number(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const std::size_t space = line.find(' ');
        fields.push_back(line.substr(0, space));
        if (space == std::string_view::npos) break;
        line.remove_prefix(space + 1);
    }
    return fields;
}

// Whether the data has the length its kind gives it.
bool fits(std::uint64_t category, std::size_t size) {
    switch (category) {
    case 0:
        return size == 4;
    case 2:
    case 3:
    case 4:
        return size == 16;
    case 64:
        return size >= 1 && size <= longest_link;
    default:
        return false;
    }
}

bool parse_record(std::string_view line, bool with_lookups, record_type& record) {
    const auto fields = fields_of(line);
    const std::size_t numbers = with_lookups ? 8 : 7;
    if (fields.size() != numbers + 1) return false;
    std::uint64_t value[8] = {};
    for (std::size_t k = 0; k < numbers; ++k)
        if (!read_number(fields[k], value[k])) return false;
    const std::string_view hex = fields[numbers];
    if (hex.size() % 2 != 0 || value[3] > 7 || !fits(value[0], hex.size() / 2)) return false;
    record = {static_cast<std::uint32_t>(value[0]),
              {},
              value[1],
              value[2],
              value[3],
              value[4],
              value[5],
              value[6],
              value[7]};
    record.data.reserve(hex.size() / 2);
    for (std::size_t k = 0; k < hex.size(); k += 2) {
        const int high = hex_value(hex[k]), low = hex_value(hex[k + 1]);
        if (high < 0 || low < 0) return false;
        record.data += static_cast<char>(high << 4 | low);
    }
    return true;
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw std::runtime_error(path + ": " + why);
}

}  // namespace

std::vector<record_type> parse_store(std::istream& in, const std::string& path) {
    std::string line;
    int found = 0;
    if (std::getline(in, line) && line.starts_with(heading)) {
        const std::string_view number = std::string_view(line).substr(heading.size());
        if (number == "1" || number == "2" || number == "3") found = number[0] - '0';
    }
    if (found == 0) refuse(path, "not a store");
    std::vector<record_type> stored;
    bool ended = false;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (ended) refuse(path, "lines after the end");
        if (found >= 3 && line.starts_with("end ")) {
            std::uint64_t count = 0;
            if (!read_number(std::string_view(line).substr(4), count) || count != stored.size())
                refuse(path, "the end line does not count the records: " + line.substr(0, 80));
            ended = true;
            continue;
        }
        record_type record;
        if (!parse_record(line, found >= 2, record))
            refuse(path, "bad record: " + line.substr(0, 80));
        stored.push_back(std::move(record));
    }
    if (found >= 3 && !ended) refuse(path, "cut short (no end line)");
    return stored;
}

std::vector<record_type> parse_journal(std::istream& in, const std::string& path) {
    std::vector<record_type> journaled;
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break;  // no line feed: cut short while written
        if (line.empty()) continue;
        record_type record;
        if (!parse_record(line, true, record))
            refuse(path, "bad journal line: " + line.substr(0, 80));
        journaled.push_back(std::move(record));
    }
    return journaled;
}

void append_record_line(std::string& out, const record_type& record) {
    static constexpr char digits[] = "0123456789abcdef";
    for (const std::uint64_t value :
         {std::uint64_t{record.category}, record.id, record.extra, record.flags, record.reports,
          record.revokes, record.touches, record.lookups}) {
        char number[24];
        const auto end = std::to_chars(number, number + sizeof number, value).ptr;
        out.append(number, end);
        out += ' ';
    }
    for (const unsigned char c : record.data) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    out += '\n';
}

std::vector<record_type> read_store(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return {};
        throw std::system_error(errno, std::generic_category(), "read " + path);
    }
    return parse_store(in, path);
}

store_stream::store_stream(std::string path)
    : path_(std::move(path)), temporary_(path_ + ".XXXXXX") {
    file_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
    if (file_ < 0) throw std::system_error(errno, std::generic_category(), "write " + path_);
    ::fchmod(file_, 0644);
    buffer_ = std::string(heading) + std::to_string(version) + "\n";
}

store_stream::~store_stream() {
    if (file_ >= 0) {
        ::close(file_);
        ::unlink(temporary_.c_str());
    }
}

void store_stream::flush() {
    std::size_t written = 0;
    while (written < buffer_.size()) {
        const ssize_t n = ::write(file_, buffer_.data() + written, buffer_.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(errno, std::generic_category(), "write " + temporary_);
        written += static_cast<std::size_t>(n);
    }
    buffer_.clear();
}

void store_stream::add(const record_type& record) {
    if (record.reports == 0 && record.revokes == 0 && record.touches == 0 && record.lookups == 0)
        return;  // says nothing
    append_record_line(buffer_, record);
    ++count_;
}

void store_stream::finish() {
    buffer_ += "end " + std::to_string(count_) + "\n";
    flush();
    if (::fsync(file_) != 0)
        throw std::system_error(errno, std::generic_category(), "sync " + temporary_);
    ::close(file_);
    file_ = -1;
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary_.c_str());
        throw std::system_error(error, std::generic_category(), "write " + path_);
    }
    sync_folder_of(path_);
}

void sync_folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int handle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) return;
    ::fsync(handle);
    ::close(handle);
}

void write_store(const std::string& path, const std::vector<record_type>& records) {
    store_stream stream(path);
    std::size_t added = 0;
    for (const auto& record : records) {
        stream.add(record);
        if (++added % 4096 == 0) stream.flush();
    }
    stream.finish();
}

}  // namespace quorvane::standins::classification_server
