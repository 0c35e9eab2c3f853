// The directory monitor on its own.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "dir_monitor/dir_monitor.hpp"
#include "gateway.hpp"

namespace quorvane::testing {
namespace {

using namespace std::chrono_literals;
using callgate::dir_monitor;
using callgate::dir_monitor_event;

class DirMonitor : public ::testing::Test {
protected:
    DirMonitor() { watcher.add_directory(watched.string()); }

    std::optional<dir_monitor_event> next(std::chrono::milliseconds timeout = 2000ms) {
        return watcher.monitor({}, timeout);
    }

    scratch_directory watched;
    boost::asio::io_context owner;
    dir_monitor watcher{owner};
};

TEST_F(DirMonitor, EntryChangesWakeTheConsumer) {
    const std::function<void()> changes[] = {
        [&] { touch_file(watched.path() / "created"); },
        [&] { std::filesystem::rename(watched.path() / "created", watched.path() / "renamed"); },
        [&] { std::filesystem::remove(watched.path() / "renamed"); },
        [&] { std::filesystem::create_directory(watched.path() / "folder"); },
    };
    for (const auto& change : changes) {
        change();
        const auto event = next();
        ASSERT_TRUE(event);
        EXPECT_EQ(event->dirname, watched.string());
        EXPECT_EQ(event->filename, "");
        EXPECT_EQ(event->type, dir_monitor_event::modified);
        while (next(50ms)) {
        }
    }
}

TEST_F(DirMonitor, ADirectoryRemovedIsWatchedNoMore) {
    std::filesystem::remove(watched.path());
    std::optional<dir_monitor_event> event;
    while ((event = next()) && event->type != dir_monitor_event::lost) {
    }
    ASSERT_TRUE(event) << "no lost event";
    EXPECT_EQ(event->dirname, watched.string());
    std::filesystem::create_directory(watched.path());
    touch_file(watched.path() / "new");
    EXPECT_FALSE(next(200ms)) << "the new directory is not watched";
}

TEST_F(DirMonitor, WritingIntoAFileIsNoEvent) {
    touch_file(watched.path() / "file");
    ASSERT_TRUE(next());
    while (next(50ms)) {
    }
    touch_file(watched.path() / "file", "more");
    EXPECT_FALSE(next(200ms));
}

TEST_F(DirMonitor, ManyChangesQueueOneWakeUp) {
    for (int index = 0; index < 200; ++index) touch_file(watched.path() / std::to_string(index));
    std::this_thread::sleep_for(100ms);
    int events = 0;
    while (next(50ms)) ++events;
    EXPECT_GE(events, 1);
    EXPECT_LE(events, 3);  // one queued, plus batches read while popping
}

TEST_F(DirMonitor, OnlyDirectoriesCanBeWatched) {
    touch_file(watched.path() / "file");
    const std::string file = (watched.path() / "file").string();
    try {
        watcher.add_directory(file);
        FAIL() << "a file was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()),
                  "boost::asio::basic_dir_monitor_service::add_directory: " + file +
                      " is not a valid directory entry");
    }
}

TEST_F(DirMonitor, StopCancelsWaiters) {
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        watcher.stop();
    });
    try {
        watcher.monitor();
        FAIL() << "monitor returned after stop";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ECANCELED);
    }
    stopper.join();
    EXPECT_THROW(watcher.monitor(), std::system_error);
}

}  // namespace
}  // namespace quorvane::testing
