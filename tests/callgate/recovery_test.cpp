// An update whose writer dies midway: whatever step it died after, the next
// load finds a whole engine, all old files or all new, and no leftovers.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "engine.hpp"
#include "qvse_types.h"
#include "update.hpp"

namespace {

namespace fs = std::filesystem;
namespace update = quorvane::callgate::update;

const fs::path fake_v1 = QV_FAKE_V1_DIR;
const fs::path fake_v2 = QV_FAKE_V2_DIR;

class scratch_directory {
public:
    scratch_directory() {
        std::string pattern = (fs::temp_directory_path() / "qvcg-recovery-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~scratch_directory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string content(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), {}};
}

std::set<std::string> listing(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

bool loads(const fs::path& directory) {
    quorvane::callgate::engine_type engine;
    const std::string text = directory.string();
    if (engine.directory(text.data(), text.size()) != QVSE_OK || engine.load() != QVSE_OK)
        return false;
    return engine.unload() == QVSE_OK;
}

// Runs the update in a child that kills itself after the given step; true
// when it died there, false when it finished first.
bool install_killed_after(const fs::path& from, const fs::path& to, int step) {
    const pid_t child = ::fork();
    if (child == 0) {
        int steps = 0;
        std::vector<update::line_type> lines;
        std::uint64_t ticket = 0;
        try {
            update::install(from.string(), to.string(), lines, ticket, [&] {
                if (++steps == step) ::kill(::getpid(), SIGKILL);
            });
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    if (WIFSIGNALED(status)) {
        EXPECT_EQ(WTERMSIG(status), SIGKILL);
        return true;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return false;
}

TEST(Recovery, AWriterKilledAfterAnyStepLeavesAWholeEngine) {
    const std::string old_library = content(fake_v1 / QVSE_ENGINE_LIBRARY_NAME);
    const std::string new_library = content(fake_v2 / QVSE_ENGINE_LIBRARY_NAME);
    ASSERT_NE(old_library, new_library);
    for (int step = 1;; ++step) {
        SCOPED_TRACE("killed after step " + std::to_string(step));
        scratch_directory engine, next;
        fs::copy_file(fake_v1 / QVSE_ENGINE_LIBRARY_NAME, engine.path() / QVSE_ENGINE_LIBRARY_NAME);
        write_file(engine.path() / "words.dat", "old words");
        write_file(engine.path() / "quorvane", "the application");
        fs::copy_file(fake_v2 / QVSE_ENGINE_LIBRARY_NAME, next.path() / QVSE_ENGINE_LIBRARY_NAME);
        write_file(next.path() / "words.dat", "new words");
        write_file(next.path() / "rules.dat", "new rules");

        const bool killed = install_killed_after(next.path(), engine.path(), step);
        const auto lines = update::recover(engine.path().string());
        EXPECT_EQ(lines.empty(), !killed) << "a lock file left behind is always seen";

        const bool updated = content(engine.path() / QVSE_ENGINE_LIBRARY_NAME) == new_library;
        if (updated) {
            EXPECT_EQ(listing(engine.path()),
                      (std::set<std::string>{"libqvse.so", "quorvane", "rules.dat", "words.dat"}));
            EXPECT_EQ(content(engine.path() / "words.dat"), "new words");
        } else {
            EXPECT_EQ(content(engine.path() / QVSE_ENGINE_LIBRARY_NAME), old_library);
            EXPECT_EQ(listing(engine.path()),
                      (std::set<std::string>{"libqvse.so", "quorvane", "words.dat"}));
            EXPECT_EQ(content(engine.path() / "words.dat"), "old words");
        }
        EXPECT_EQ(content(engine.path() / "quorvane"), "the application");
        EXPECT_TRUE(loads(engine.path()));
        if (!killed) {
            EXPECT_TRUE(updated);
            EXPECT_GT(step, 8) << "every file staged, moved and removed is a step";
            break;
        }
        ASSERT_LT(step, 100);
    }
}

TEST(Recovery, ALiveWritersLockFileIsLeftAlone) {
    scratch_directory engine, next;
    fs::copy_file(fake_v1 / QVSE_ENGINE_LIBRARY_NAME, engine.path() / "libqvse.000");
    update::update_scope writer(engine.path().string());
    EXPECT_TRUE(update::recover(engine.path().string()).empty());
    EXPECT_EQ(listing(engine.path()), (std::set<std::string>{"libqvse.000", "update.lock"}));
}

// A permission error of the file system is access denied, like one of a
// system call.
TEST(Recovery, PermissionErrorsAreAccessDenied) {
    scratch_directory engine, next;
    fs::copy_file(fake_v1 / QVSE_ENGINE_LIBRARY_NAME, engine.path() / QVSE_ENGINE_LIBRARY_NAME);
    write_file(next.path() / "words.dat", "unreadable");
    ::chmod(next.path().c_str(), 0755);
    ::chmod(engine.path().c_str(), 0777);
    ::chmod((next.path() / "words.dat").c_str(), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Root reads anything: the copy runs as nobody.
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
        quorvane::callgate::engine_type update_engine, running_engine;
        const std::string from = next.path().string(), to = engine.path().string();
        if (update_engine.directory(from.data(), from.size()) != QVSE_OK ||
            running_engine.directory(to.data(), to.size()) != QVSE_OK)
            ::_exit(101);
        std::uint64_t ticket = 0;
        ::_exit(static_cast<int>(update::apply(update_engine, running_engine, ticket)));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), int(QVSE_E_ACCESS_DENIED));
    EXPECT_EQ(listing(engine.path()), std::set<std::string>{"libqvse.so"});
}

}  // namespace
