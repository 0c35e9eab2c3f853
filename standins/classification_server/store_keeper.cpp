#include "store_keeper.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include "store_file.hpp"

namespace quorvane::standins::classification_server {

namespace {

using clock_type = std::chrono::steady_clock;

// Records walked under the store's lock at a time.
constexpr std::size_t step = 4096;
// A journal this large is folded into the store without waiting.
constexpr std::size_t journal_limit = 8 << 20;
// The least time between rewrites.
constexpr auto least_pause = std::chrono::seconds(2);
constexpr auto sightings_pause = std::chrono::seconds(10);

std::vector<record_type> read_journal(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return {};
        throw std::system_error(errno, std::generic_category(), "read " + path);
    }
    return parse_journal(in, path);
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// What the store counted already, kept beside it ("<store>.counted") so a
// message told again after a restart is not counted again. Only a memory:
// a file that cannot be read is passed over.
std::vector<std::pair<char, std::uint64_t>> read_counted(const std::string& path) {
    std::vector<std::pair<char, std::uint64_t>> counted;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != "qv-classification-server counted 1") return {};
    while (std::getline(in, line)) {
        std::uint64_t hash = 0;
        if (line.size() != 18 || (line[0] != 's' && line[0] != 'r') || line[1] != ' ' ||
            std::from_chars(line.data() + 2, line.data() + 18, hash, 16).ptr != line.data() + 18)
            return {};
        counted.emplace_back(line[0], hash);
    }
    return counted;
}

void write_counted(const std::string& path,
                   const std::vector<std::pair<char, std::uint64_t>>& counted) {
    std::string text = "qv-classification-server counted 1\n";
    text.reserve(text.size() + 19 * counted.size());
    for (const auto& [what, hash] : counted) {
        char line[20];
        std::snprintf(line, sizeof line, "%c %016llx\n", what,
                      static_cast<unsigned long long>(hash));
        text += line;
    }
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) return;
    }
    ::rename(temporary.c_str(), path.c_str());
}

// Reads the store and its journals into the store; true when a journal held
// anything (to be folded into the store file).
bool load(const std::string& path, learning_store& store) {
    store.recount(read_counted(path + ".counted"));
    const auto stored = read_store(path);
    const auto older = read_journal(path + ".journal.old");
    const auto newer = read_journal(path + ".journal");
    store.restore(stored);
    for (const auto* journal : {&older, &newer})
        for (const auto& record : *journal) store.merge(record);
    store.take_changed();
    return !older.empty() || !newer.empty();
}

}  // namespace

std::vector<record_type> read_learned(const std::string& path) {
    learning_store store(std::size_t{1} << 40, std::size_t{1} << 40);
    load(path, store);
    return store.records();
}

store_keeper::store_keeper(std::string path, learning_store& store, std::mutex& mutex)
    : path_(std::move(path)),
      journal_path_(path_ + ".journal"),
      old_journal_path_(path_ + ".journal.old"),
      store_(store),
      store_mutex_(mutex) {
    {
        std::lock_guard lock(store_mutex_);
        if (load(path_, store_)) {
            store_.mark_changed();
            poked_ = true;
        }
    }
    {
        std::lock_guard lock(journal_mutex_);
        open_journal();
    }
    thread_ = std::thread([this] { run(); });
}

store_keeper::~store_keeper() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    if (journal_ >= 0) ::close(journal_);
}

bool store_keeper::open_journal() {
    if (journal_ >= 0) return true;
    journal_ = ::open(journal_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (journal_ < 0) return false;
    sync_folder_of(journal_path_);
    journal_bytes_ = static_cast<std::size_t>(::lseek(journal_, 0, SEEK_END));
    return true;
}

bool store_keeper::journal(const std::vector<record_type>& changed) {
    std::string lines;
    for (const auto& record : changed) append_record_line(lines, record);
    std::lock_guard lock(journal_mutex_);
    if (failures_ != covered_) {
        // Changes went unjournaled: nothing is answered until a rewrite
        // holds them.
        poke();
        return false;
    }
    if (lines.empty()) return true;
    bool written = open_journal();
    std::size_t done = 0;
    while (written && done < lines.size()) {
        const ssize_t n = ::write(journal_, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<std::size_t>(n);
    }
    written = written && ::fdatasync(journal_) == 0;
    if (!written) {
        if (!std::exchange(journal_failing_, true))
            std::cerr << "qv-classification-server: cannot write " << journal_path_ << ": "
                      << std::strerror(errno) << std::endl;
        if (journal_ >= 0) ::close(journal_);
        journal_ = -1;  // opened anew next time, at its end
        ++failures_;
        poke();
        return false;
    }
    journal_failing_ = false;
    journal_bytes_ += lines.size();
    if (journal_bytes_ > journal_limit) poke();
    return true;
}

void store_keeper::poke() {
    {
        std::lock_guard lock(mutex_);
        poked_ = true;
    }
    wake_.notify_one();
}

// Rewrites once poked (or every little while, when anything changed), no sooner than a while after
// the last rewrite (four times as long as it took), so a large store's rewrites cannot crowd out
// its work; and once more when stopping.
void store_keeper::run() {
    auto pause = std::chrono::duration_cast<clock_type::duration>(least_pause);
    auto earliest = clock_type::now();
    bool failing = false;  // said once until a rewrite succeeds again
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_until(lock, earliest, [&] { return stopping_; });
        // Sightings change the store without a poke: looked at now and then.
        wake_.wait_for(lock, sightings_pause, [&] { return stopping_ || poked_; });
        const bool last = stopping_;
        poked_ = false;
        lock.unlock();
        bool changed;
        {
            std::lock_guard store_lock(store_mutex_);
            changed = store_.take_changed();
        }
        const auto started = clock_type::now();
        if (changed) {
            try {
                rewrite();
                failing = false;
            } catch (const std::exception& error) {
                // The records stay in memory and the rewrite is tried again.
                if (!std::exchange(failing, true))
                    std::cerr << "qv-classification-server: " << error.what() << std::endl;
                std::lock_guard store_lock(store_mutex_);
                store_.mark_changed();
            }
        }
        const auto took = clock_type::now() - started;
        pause = std::max<clock_type::duration>(least_pause, 4 * took);
        earliest = clock_type::now() + pause;
        lock.lock();
        if (last) return;
        if (failing) poked_ = true;
    }
}

void store_keeper::rewrite() {
    // The journal so far is set aside; a set-aside journal still there (an
    // earlier rewrite failed) keeps growing instead, as the new store
    // begins later than it does.
    std::uint64_t failures = 0;
    {
        std::lock_guard store_lock(store_mutex_);
        std::lock_guard journal_lock(journal_mutex_);
        failures = failures_;
        if (!exists(old_journal_path_) && exists(journal_path_)) {
            if (::rename(journal_path_.c_str(), old_journal_path_.c_str()) != 0)
                throw std::system_error(errno, std::generic_category(), "rename " + journal_path_);
            if (journal_ >= 0) ::close(journal_);
            journal_ = -1;
            journal_bytes_ = 0;
            open_journal();
        }
    }
    store_stream stream(path_);
    std::size_t from = 0;
    do {
        {
            std::lock_guard store_lock(store_mutex_);
            from = store_.visit(from, step, [&](const record_type& record) { stream.add(record); });
        }
        stream.flush();
    } while (from != 0);
    stream.finish();
    ::unlink(old_journal_path_.c_str());
    std::vector<std::pair<char, std::uint64_t>> counted;
    {
        std::lock_guard store_lock(store_mutex_);
        counted = store_.counted();
    }
    write_counted(path_ + ".counted", counted);
    std::lock_guard journal_lock(journal_mutex_);
    covered_ = failures;
}

}  // namespace quorvane::standins::classification_server
