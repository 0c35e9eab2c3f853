// Live replacement of the engine: QVSE_Engine_Update, the lock-file protocol
// seen from another writer, and the monitor's reloads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "gateway.hpp"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::set<std::string> listing(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

std::string content(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), {}};
}

// Another process's writer: holds update.lock with a lock of its own.
class lock_writer {
public:
    explicit lock_writer(const fs::path& directory) : path_(directory / "update.lock") {
        descriptor_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        struct ::flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        EXPECT_EQ(::fcntl(descriptor_, F_OFD_SETLK, &whole), 0);
    }
    ~lock_writer() { finish(); }
    void finish() {
        if (descriptor_ < 0) return;
        ::unlink(path_.c_str());
        ::close(descriptor_);
        descriptor_ = -1;
    }
    // Dies holding the lock: the file stays behind.
    void die() {
        ::close(descriptor_);
        descriptor_ = -1;
    }

private:
    fs::path path_;
    int descriptor_ = -1;
};

class Update : public ::testing::Test {
protected:
    Update() {
        install_engine(fake_v1, engine.path());
        install_engine(fake_v2, next.path());
        updates_completed = 0;
        completed_on_caller = false;
    }
    ~Update() override {
        QVSE_Context_Destroy(&cell);
        QVSE_Engine_Shutdown();
    }

    fs::path library() const { return engine.path() / QVSE_ENGINE_LIBRARY_NAME; }
    void start() { ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK)); }

    std::vector<std::wstring> lines_at(unsigned level) const {
        std::vector<std::wstring> texts;
        for (const auto& line : log.lines())
            if (line.level == level && line.facility == L"Callgate") texts.push_back(line.text);
        return texts;
    }

    scratch_directory engine;
    scratch_directory next;
    recorder log;
    qvse_callbacks_t table = gateway_table(log);
    int cell = 0;
    watchdog guard{120s};
};

TEST_F(Update, ReplacesOnlyTheFilesItBrings) {
    touch_file(engine.path() / "B.dat", "old data");
    touch_file(engine.path() / "quorvane", "the application");
    touch_file(next.path() / "A.dat", "new data");
    touch_file(next.path() / "update.lock");
    start();

    ASSERT_EQ(update(next.path()), unsigned(QVSE_OK));
    EXPECT_EQ(listing(engine.path()),
              (std::set<std::string>{"A.dat", "B.dat", "libqvse.so", "quorvane"}));
    EXPECT_EQ(content(library()), content(fake_v2 / QVSE_ENGINE_LIBRARY_NAME));
    const auto version = engine_version();
    EXPECT_EQ(version.name, L"fake-2");
    EXPECT_EQ(version.reloads, 1u);
    EXPECT_EQ(updates_completed.load(), 1);
    EXPECT_FALSE(completed_on_caller.load());

    const auto steps = lines_at(QVSE_TRACE_INFO);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), L"Applying update:"), 1);
    EXPECT_EQ(
        std::count(steps.begin(), steps.end(), L"Renaming: \"libqvse.so\" -> \"libqvse.000\""), 1);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), L"Installing: \"A.dat\" (8 bytes)"), 1);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), L"Removing: \"libqvse.000\""), 1);
    EXPECT_EQ(steps.size(), 5u);
}

TEST_F(Update, BackupNamesSkipNamesInEitherDirectory) {
    for (const bool in_engine : {true, false}) {
        SCOPED_TRACE(in_engine ? "engine directory" : "update directory");
        log.clear();
        const fs::path taken = (in_engine ? engine.path() : next.path()) / "libqvse.000";
        touch_file(taken, "someone else's");
        if (!in_engine) fs::remove(engine.path() / "libqvse.000");
        start();
        ASSERT_EQ(update(next.path()), unsigned(QVSE_OK));
        const auto steps = lines_at(QVSE_TRACE_INFO);
        EXPECT_EQ(
            std::count(steps.begin(), steps.end(), L"Renaming: \"libqvse.so\" -> \"libqvse.001\""),
            1);
        EXPECT_EQ(content(engine.path() / "libqvse.000"), "someone else's");
        EXPECT_FALSE(fs::exists(engine.path() / "libqvse.001"));
        ASSERT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
        fs::remove(taken);
    }
}

TEST_F(Update, RefusesTheEngineDirectoryHoweverSpelled) {
    start();
    const auto previous = fs::current_path();
    fs::current_path(engine.path().parent_path());
    const std::string spellings[] = {engine.string(), engine.string() + "/", engine.string() + "/.",
                                     engine.path().filename().string()};
    for (const auto& spelling : spellings)
        EXPECT_EQ(QVSE_Engine_Update(spelling.data(), spelling.size()),
                  unsigned(QVSE_E_INVALID_ARGUMENT))
            << spelling;
    fs::current_path(previous);
    EXPECT_EQ(listing(engine.path()), std::set<std::string>{"libqvse.so"});
}

TEST_F(Update, RefusesUpdatesThatDoNotLoad) {
    scratch_directory broken;
    install_engine(fake_v2, broken.path());
    touch_file(broken.path() / "missing-language::classify");
    scratch_directory empty;
    start();
    const struct {
        fs::path directory;
        unsigned expected;
    } cases[] = {
        {empty.path() / "missing", QVSE_E_NOT_FOUND},
        {library(), QVSE_E_NOT_FOUND},
        {empty.path(), QVSE_E_NOT_FOUND},
        {broken.path(), QVSE_E_FAILED},
    };
    for (const auto& [directory, expected] : cases)
        EXPECT_EQ(update(directory), expected) << directory;
    EXPECT_EQ(QVSE_Engine_Update(nullptr, 0), unsigned(QVSE_E_INVALID_ARGUMENT));
    EXPECT_EQ(listing(engine.path()), std::set<std::string>{"libqvse.so"});
    EXPECT_EQ(engine_version().reloads, 0u);
    EXPECT_EQ(updates_completed.load(), 0);
}

TEST_F(Update, FailedInstallPutsTheOldFilesBack) {
    // A file of the update whose place is taken by a folder cannot go in.
    fs::create_directories(engine.path() / "A.dat" / "inside");
    touch_file(next.path() / "A.dat", "new data");
    start();
    ASSERT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));

    EXPECT_EQ(update(next.path()), unsigned(QVSE_E_FAILED));
    EXPECT_EQ(listing(engine.path()), (std::set<std::string>{"A.dat", "libqvse.so"}));
    EXPECT_EQ(content(library()), content(fake_v1 / QVSE_ENGINE_LIBRARY_NAME));
    EXPECT_TRUE(fs::is_directory(engine.path() / "A.dat"));
    EXPECT_EQ(QVSE_Spam_Prepare(&cell), unsigned(QVSE_E_NO_MESSAGE));
    EXPECT_EQ(engine_version().name, L"fake-1");

    // The failure's exception, heading first and its lines one deeper.
    const auto lines = log.lines();
    const auto heading = std::find_if(lines.begin(), lines.end(), [](const auto& line) {
        return line.text == L"An exception has occured:";
    });
    ASSERT_NE(heading, lines.end());
    EXPECT_EQ(heading->level, unsigned(QVSE_TRACE_ERROR));
    EXPECT_EQ(heading->indent, 0u);
    ASSERT_NE(heading + 1, lines.end());
    EXPECT_EQ((heading + 1)->indent, 1u);
    EXPECT_TRUE(std::any_of(heading + 1, lines.end(), [](const auto& line) {
        return line.indent == 1 && line.text.find(L"std::exception::what: ") == 0;
    }));
}

TEST_F(Update, AFifoInPlaceOfTheLockFileHangsNothing) {
    ASSERT_EQ(::mkfifo((engine.path() / "update.lock").c_str(), 0666), 0);
    start();
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(update(next.path()), unsigned(QVSE_E_FAILED));
    EXPECT_EQ(engine_version().name, L"fake-1");
}

TEST_F(Update, ConcurrentUpdatesBothComplete) {
    scratch_directory other;
    install_engine(fake_v1, other.path());
    touch_file(other.path() / "marker");
    start();
    auto first = std::async(std::launch::async, [&] { return update(next.path()); });
    auto second = std::async(std::launch::async, [&] { return update(other.path()); });
    EXPECT_EQ(first.get(), unsigned(QVSE_OK));
    EXPECT_EQ(second.get(), unsigned(QVSE_OK));
    const bool last_was_other = content(library()) == content(fake_v1 / QVSE_ENGINE_LIBRARY_NAME);
    const auto version = engine_version();
    EXPECT_EQ(version.name, last_was_other ? L"fake-1" : L"fake-2");
    EXPECT_GE(version.reloads, 1u);
    EXPECT_FALSE(fs::exists(engine.path() / "update.lock"));
}

TEST_F(Update, AnotherWritersLockHoldsCallsUntilItIsReleased) {
    start();
    ASSERT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    lock_writer writer(engine.path());
    // Calls run normally while a context is left.
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(mapped(library()));
    EXPECT_EQ(QVSE_Spam_Prepare(&cell), unsigned(QVSE_E_NO_MESSAGE));
    ASSERT_EQ(QVSE_Context_Destroy(&cell), unsigned(QVSE_OK));
    ASSERT_TRUE(eventually([&] { return !mapped(library()); }));
    EXPECT_TRUE(
        eventually([&] { return lines_at(QVSE_TRACE_DETAIL).back() == L"dlclose() succeeded"; }));

    std::atomic<bool> returned{false};
    auto call = std::async(std::launch::async, [&] {
        const unsigned result = QVSE_Context_Create(&cell);
        returned = true;
        return result;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned.load()) << "a call went through while the engine was unloaded";
    install_engine(fake_v2, engine.path());
    writer.finish();
    EXPECT_EQ(call.get(), unsigned(QVSE_OK));
    const auto version = engine_version();
    EXPECT_EQ(version.name, L"fake-2");
    EXPECT_EQ(version.reloads, 1u);
    EXPECT_TRUE(eventually([] { return updates_completed.load() == 1; }));
}

// Quitting while another process's update holds the engine unloaded does not
// wait for that writer.
TEST_F(Update, ShutdownDuringAnotherWritersUpdateAnswersAtOnce) {
    start();
    lock_writer writer(engine.path());
    ASSERT_TRUE(eventually([&] { return !mapped(library()); }));
    auto shutdown = std::async(std::launch::async, [] { return QVSE_Engine_Shutdown(); });
    ASSERT_EQ(shutdown.wait_for(5s), std::future_status::ready) << "shut-down waits for the writer";
    EXPECT_EQ(shutdown.get(), unsigned(QVSE_E_NOT_LOADED));
    writer.finish();
    EXPECT_TRUE(eventually([] { return updates_completed.load() == 1; }));
    EXPECT_EQ(engine_version().name, L"fake-1");
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
}

TEST_F(Update, NewContextsWaitForADrainOnlyAWhile) {
    start();
    ASSERT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    lock_writer writer(engine.path());
    ASSERT_TRUE(eventually([&] {
        const auto lines = lines_at(QVSE_TRACE_DETAIL);
        return !lines.empty() && lines.back() == L"Update request detected, unloading engine";
    }));
    // This thread holds the context the update waits for: its next context
    // is held back for a while, then made all the same.
    int second = 0;
    EXPECT_EQ(QVSE_Context_Create(&second), unsigned(QVSE_OK));
    EXPECT_TRUE(mapped(library()));
    EXPECT_EQ(QVSE_Context_Destroy(&second), unsigned(QVSE_OK));
    EXPECT_EQ(QVSE_Context_Destroy(&cell), unsigned(QVSE_OK));
    ASSERT_TRUE(eventually([&] { return !mapped(library()); }));
    writer.finish();
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
}

TEST_F(Update, WaitsForAnotherWriterAndLocksAFileThatHasAName) {
    start();
    lock_writer writer(engine.path());
    auto updating = std::async(std::launch::async, [&] { return update(next.path()); });
    EXPECT_EQ(updating.wait_for(300ms), std::future_status::timeout);
    // The other writer unlinks its file before it lets go: this update must
    // not go on under a lock on that nameless file.
    writer.finish();
    EXPECT_EQ(updating.get(), unsigned(QVSE_OK));
    EXPECT_FALSE(fs::exists(engine.path() / "update.lock"));
    EXPECT_EQ(engine_version().name, L"fake-2");
}

TEST_F(Update, ALockWhoseWriterDiedCountsForNothing) {
    touch_file(engine.path() / "update.lock");  // left over before start
    start();
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    ASSERT_EQ(QVSE_Context_Destroy(&cell), unsigned(QVSE_OK));
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(mapped(library()));

    lock_writer writer(engine.path());
    ASSERT_TRUE(eventually([&] { return !mapped(library()); }));
    writer.die();
    // The monitor notices without any directory event and reloads.
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(engine_version().reloads, 1u);
    EXPECT_TRUE(eventually([] { return updates_completed.load() == 1; }));

    // The file left behind is cleared; an update goes ahead.
    EXPECT_TRUE(eventually([&] { return !fs::exists(engine.path() / "update.lock"); }));
    ASSERT_EQ(QVSE_Context_Destroy(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(update(next.path()), unsigned(QVSE_OK));
    EXPECT_EQ(engine_version().name, L"fake-2");
}

// Another writer moved the library aside and died before it copied anything:
// the next start puts it back instead of answering that it is missing.
TEST_F(Update, StartRecoversFromAWriterThatDiedMidway) {
    fs::rename(library(), engine.path() / "libqvse.000");
    touch_file(engine.path() / "update.lock");
    start();
    EXPECT_EQ(engine_version().name, L"fake-1");
    EXPECT_EQ(listing(engine.path()), std::set<std::string>{"libqvse.so"});
}

TEST_F(Update, FailedReloadKeepsTheStateForTheNextTry) {
    start();
    ASSERT_EQ(update(next.path()), unsigned(QVSE_OK));
    ASSERT_EQ(engine_version().reloads, 1u);
    {
        lock_writer writer(engine.path());
        ASSERT_TRUE(eventually([&] { return !mapped(library()); }));
        fs::rename(library(), engine.path() / "aside");
    }
    ASSERT_TRUE(eventually([&] { return updates_completed.load() >= 2; }));
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_E_NOT_LOADED));
    EXPECT_EQ(lines_at(QVSE_TRACE_ERROR).back(),
              L"Update failed to load engine with error code: 0x00000004");
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_E_ALREADY_INITIALIZED));

    fs::rename(engine.path() / "aside", library());
    ASSERT_TRUE(eventually([&] { return engine_version().result == QVSE_OK; }));
    const auto version = engine_version();
    EXPECT_EQ(version.name, L"fake-2");
    EXPECT_EQ(version.reloads, 2u);
}

TEST_F(Update, ShutdownStopsAMonitorThatHoldsNoEngine) {
    start();
    {
        lock_writer writer(engine.path());
        ASSERT_TRUE(eventually([&] { return !mapped(library()); }));
        fs::rename(library(), engine.path() / "aside");
    }
    ASSERT_TRUE(eventually([&] { return updates_completed.load() >= 1; }));
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_E_NOT_LOADED));
    fs::rename(engine.path() / "aside", library());
    EXPECT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));
    EXPECT_EQ(engine_version().name, L"fake-1");
}

TEST_F(Update, LibraryReplacedWithoutTheLockIsReloaded) {
    start();
    fs::copy_file(fake_v2 / QVSE_ENGINE_LIBRARY_NAME, engine.path() / "incoming");
    fs::rename(engine.path() / "incoming", library());
    ASSERT_TRUE(eventually([&] { return engine_version().name == L"fake-2"; }));
    const auto version = engine_version();
    EXPECT_EQ(version.name, L"fake-2");
    EXPECT_EQ(version.reloads, 1u);
}

TEST_F(Update, FailedUnloadGivesTheEngineBack) {
    touch_file(engine.path() / "fail-suspend");
    start();
    EXPECT_EQ(update(next.path()), unsigned(QVSE_E_FAILED));
    EXPECT_FALSE(lines_at(QVSE_TRACE_ERROR).empty());
    EXPECT_EQ(lines_at(QVSE_TRACE_ERROR).back(),
              L"Update failed to unload engine with error code: 0x00000001");
    // The old engine keeps serving.
    EXPECT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(engine_version().name, L"fake-1");
}

}  // namespace
}  // namespace quorvane::testing
