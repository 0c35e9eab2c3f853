// The writer's side of a live update: the lock file that holds the engine
// directory and journals what the writer does, the install of an update's
// files, and the recovery that finishes or undoes a writer that died.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/format.hpp>

#include "trace.hpp"
#include "update_implementation.hpp"

namespace quorvane::callgate::update {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int removal_attempts = 5;
constexpr auto removal_pause = 2s;

// The numbered name a replaced file is moved aside to: its last extension
// becomes ".000", ".001" ..., the first that neither directory holds.
std::string backup_name(const fs::path& name, const fs::path& update, const fs::path& engine) {
    for (unsigned number = 0;; ++number) {
        fs::path candidate = name;
        candidate.replace_extension((boost::format(".%1$03d") % number).str());
        if (!exists((update / candidate).string()) && !exists((engine / candidate).string()))
            return candidate.string();
    }
}

}  // namespace

update_scope::update_scope(const std::string& directory) : path_(directory + "/" + lock_name) {
    for (;;) {
        descriptor_ =
            ::open(path_.c_str(),
                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
        if (descriptor_ < 0)
            throw std::system_error(errno, std::system_category(), "update_scope: creat failed");
        struct ::stat opened {};
        if (::fstat(descriptor_, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            ::close(descriptor_);
            throw std::system_error(EINVAL, std::system_category(),
                                    "update_scope: not a regular file");
        }
        // An open-file-description lock belongs to this descriptor, not to
        // the process, so it also orders threads.
        struct ::flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        while (::fcntl(descriptor_, F_OFD_SETLKW, &whole) != 0) {
            if (errno != EINTR) std::this_thread::sleep_for(1s);
        }
        // The previous holder may have unlinked the file while we waited.
        struct ::stat locked {
        }, named{};
        if (::fstat(descriptor_, &locked) == 0 && ::stat(path_.c_str(), &named) == 0 &&
            locked.st_dev == named.st_dev && locked.st_ino == named.st_ino)
            return;
        ::close(descriptor_);
    }
}

update_scope::~update_scope() {
    // Unlinked before the lock goes, so no waiter locks a nameless file.
    ::unlink(path_.c_str());
    ::close(descriptor_);
}

void update_scope::journal(char kind, std::initializer_list<std::string_view> fields) {
    std::string record(1, kind);
    for (const auto field : fields) {
        record += field;
        record += '\0';
    }
    std::string_view rest(record);
    while (!rest.empty()) {
        const ssize_t written = ::write(descriptor_, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0)
            throw std::system_error(written < 0 ? errno : EIO, std::system_category(),
                                    "update_scope: journal write failed");
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

namespace {

// Names are plain file names: a record naming anything else is ignored.
bool plain_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// Journal records: a staged file, a file moved aside, a new file, all in.
constexpr char staged_record = 'S';
constexpr char aside_record = 'A';
constexpr char added_record = 'N';
constexpr char committed_record = 'C';
// A journal names a few files; anything longer is not one of ours.
constexpr std::size_t journal_limit = 1 << 20;

fs::path staged_path(const fs::path& engine, const std::string& name) {
    return engine / ("." + name + ".partial");
}

}  // namespace

journal_type parse_journal(std::string_view text) {
    journal_type journal;
    const auto field = [&](std::string& out) {
        const auto end = text.find('\0');
        if (end == std::string_view::npos) return false;
        out.assign(text.substr(0, end));
        text.remove_prefix(end + 1);
        return plain_name(out);
    };
    while (!text.empty()) {
        const char kind = text.front();
        text.remove_prefix(1);
        std::string name, backup;
        if (kind == committed_record) {
            journal.committed = true;
        } else if (kind == staged_record && field(name)) {
            journal.staged.push_back(name);
        } else if (kind == added_record && field(name)) {
            journal.added.push_back(name);
        } else if (kind == aside_record && field(name) && field(backup)) {
            journal.aside.emplace_back(name, backup);
        } else {
            break;  // cut short by the writer's death: what came before stands
        }
    }
    return journal;
}

namespace {

// Puts back what an unfinished journal changed, or removes what a finished
// one left; never throws.
void replay(const fs::path& engine, const journal_type& journal, std::vector<line_type>& lines) {
    std::error_code ignored;
    for (const auto& name : journal.staged) fs::remove(staged_path(engine, name), ignored);
    if (journal.committed) {
        for (const auto& [name, backup] : journal.aside)
            if (fs::remove(engine / backup, ignored))
                lines.push_back(
                    {1, (boost::wformat(L"Removing: \"%1%\"") % trace::from_utf8(backup)).str()});
        return;
    }
    for (const auto& name : journal.added) fs::remove(engine / name, ignored);
    for (auto entry = journal.aside.rbegin(); entry != journal.aside.rend(); ++entry) {
        const auto& [name, backup] = *entry;
        if (!exists((engine / backup).string())) continue;
        lines.push_back({1, (boost::wformat(L"Restoring: \"%1%\" -> \"%2%\"") %
                             trace::from_utf8(backup) % trace::from_utf8(name))
                                .str()});
        std::error_code error;
        fs::rename(engine / backup, engine / name, error);
        if (error)
            lines.push_back({2,
                             (boost::wformat(L"Unable to restore \"%1%\": %2%") %
                              trace::from_utf8(name) % trace::from_utf8(error.message()))
                                 .str(),
                             QVSE_TRACE_ERROR});
    }
}

// Another writer's half-done update may have left only numbered copies of
// the library: the newest one comes back.
void restore_library(const fs::path& engine, std::vector<line_type>& lines) {
    const fs::path library = engine / QVSE_ENGINE_LIBRARY_NAME;
    if (exists(library.string())) return;
    const std::string stem = fs::path(QVSE_ENGINE_LIBRARY_NAME).stem().string();
    std::optional<fs::path> newest;
    int newest_number = -1;
    std::error_code error;
    for (fs::directory_iterator entry(engine, error), end; !error && entry != end;
         entry.increment(error)) {
        const fs::path name = entry->path().filename();
        const std::string extension = name.extension().string();
        if (name.stem() != stem || extension.size() != 4 ||
            !std::all_of(extension.begin() + 1, extension.end(),
                         [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const int number = std::stoi(extension.substr(1));
        if (number > newest_number && entry->is_regular_file(error)) {
            newest_number = number;
            newest = entry->path();
        }
    }
    if (!newest) return;
    lines.push_back({1, (boost::wformat(L"Restoring: \"%1%\" -> \"%2%\"") %
                         trace::from_utf8(newest->filename().string()) %
                         trace::from_utf8(QVSE_ENGINE_LIBRARY_NAME))
                            .str()});
    fs::rename(*newest, library, error);
    if (error)
        lines.push_back(
            {2,
             (boost::wformat(L"Unable to restore \"%1%\": %2%") %
              trace::from_utf8(QVSE_ENGINE_LIBRARY_NAME) % trace::from_utf8(error.message()))
                 .str(),
             QVSE_TRACE_ERROR});
}

}  // namespace

void install(const std::string& update_directory, const std::string& engine_directory,
             std::vector<line_type>& lines, std::uint64_t& ticket,
             const std::function<void()>& after_step) {
    const fs::path update(update_directory), engine(engine_directory);
    const auto step = [&] {
        if (after_step) after_step();
    };
    update_scope scope(engine_directory);
    step();
    lines.push_back({0, L"Applying update:"});

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(update))
        if (entry.is_regular_file() && entry.path().filename() != lock_name)
            names.push_back(entry.path().filename().string());

    // Only the files the update replaces are moved aside and removed: the
    // engine directory is the application's own folder.
    std::vector<std::pair<std::string, std::string>> backups;
    std::vector<std::string> added;
    std::vector<std::string> staged;
    try {
        for (const auto& name : names) {
            lines.push_back({1, (boost::wformat(L"Installing: \"%1%\" (%2% bytes)") %
                                 trace::from_utf8(name) % fs::file_size(update / name))
                                    .str()});
            scope.journal(staged_record, {name});
            staged.push_back(name);
            const fs::path partial = staged_path(engine, name);
            fs::remove(partial);  // a leftover, or a link that would be written through
            fs::copy_file(update / name, partial);
            step();
        }
        for (const auto& name : names) {
            std::error_code error;
            if (fs::is_regular_file(engine / name, error)) {
                const std::string backup = backup_name(name, update, engine);
                lines.push_back({1, (boost::wformat(L"Renaming: \"%1%\" -> \"%2%\"") %
                                     trace::from_utf8(name) % trace::from_utf8(backup))
                                        .str()});
                scope.journal(aside_record, {name, backup});
                step();
                fs::rename(engine / name, engine / backup);
                backups.emplace_back(name, backup);
                step();
            } else if (!exists((engine / name).string())) {
                scope.journal(added_record, {name});
                added.push_back(name);
                step();
            }
            // A library in use is never written over: the new file comes in
            // by name.
            fs::rename(staged_path(engine, name), engine / name);
            step();
        }
        scope.journal(committed_record);
        step();
    } catch (...) {
        try {
            replay(engine, journal_type{staged, backups, added, false}, lines);
        } catch (...) {
            // What could not be put back now, the next load puts back.
        }
        throw;
    }

    for (int attempts = removal_attempts;;) {
        try {
            for (const auto& [name, backup] : backups) {
                if (!exists((engine / backup).string())) continue;
                lines.push_back(
                    {1, (boost::wformat(L"Removing: \"%1%\"") % trace::from_utf8(backup)).str()});
                fs::remove(engine / backup);
                step();
            }
            break;
        } catch (const fs::filesystem_error&) {
            if (--attempts == 0) throw;
            std::this_thread::sleep_for(removal_pause);
        }
    }

    // Counted before the lock file goes, so the reload it causes serves it.
    ticket = progress.request();
}

std::vector<line_type> recover(const std::string& directory) {
    std::vector<line_type> lines;
    const fs::path engine(directory);
    const std::string path = (engine / lock_name).string();
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (descriptor >= 0) {
        struct ::flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        struct ::stat locked {
        }, named{};
        if (::fcntl(descriptor, F_OFD_SETLK, &whole) != 0) {
            ::close(descriptor);
            return lines;  // a writer is at work
        }
        if (::fstat(descriptor, &locked) == 0 && S_ISREG(locked.st_mode) &&
            ::stat(path.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
            locked.st_ino == named.st_ino) {
            std::string text;
            char buffer[4096];
            for (;;) {
                const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
                if (count < 0 && errno == EINTR) continue;
                if (count <= 0) break;
                text.append(buffer, static_cast<std::size_t>(count));
                if (text.size() > journal_limit) {
                    text.clear();
                    break;
                }
            }
            lines.push_back({0, L"Recovering from an interrupted update:"});
            replay(engine, parse_journal(text), lines);
            ::unlink(path.c_str());
        }
        ::close(descriptor);
    }
    if (exists(path)) return lines;  // someone else's lock file, or a new writer
    std::vector<line_type> restored;
    restore_library(engine, restored);
    if (!restored.empty() && lines.empty())
        lines.push_back({0, L"Recovering from an interrupted update:"});
    lines.insert(lines.end(), restored.begin(), restored.end());
    return lines;
}

}  // namespace quorvane::callgate::update
