// The store file and its journal: what is read back, what is refused, and
// what a crash leaves.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "classification_server.hpp"
#include "store.hpp"
#include "store_file.hpp"
#include "store_keeper.hpp"

namespace {

namespace stand_in = quorvane::standins::classification_server;

class StoreFile : public ::testing::Test {
protected:
    std::filesystem::path folder = std::filesystem::temp_directory_path()
        / ("qv-store-test-" + std::to_string(getpid()) + "-"
           + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string path = (folder / "learned.store").string();
    void SetUp() override { std::filesystem::create_directories(folder); }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::string write(const std::string &text, const std::string &name = "learned.store")
    {
        std::ofstream((folder / name).string(), std::ios::binary) << text;
        return (folder / name).string();
    }
    std::vector<std::string> files()
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(StoreFile, WritesWhatItReadsAndStillReadsTheFormerFormats)
{
    stand_in::write_store(path,
                          {{64, "example.a/x", 3, 0, 0, 2, 1, 0, 17},
                           {2, std::string(16, '\x11'), 4, 0, 0, 0, 0, 0, 5},
                           {3, std::string(16, '\x22'), 5, 0, 0, 0, 0, 0, 0}});
    EXPECT_EQ(files(), std::vector<std::string>{"learned.store"}) << "no temporary file is left";
    const auto read = stand_in::read_store(path);
    ASSERT_EQ(read.size(), 2u) << "a record that says nothing is not kept";
    EXPECT_EQ(read[0].data, "example.a/x");
    EXPECT_EQ(read[0].reports, 2u);
    EXPECT_EQ(read[0].revokes, 1u);
    EXPECT_EQ(read[0].lookups, 17u);
    EXPECT_EQ(read[1].lookups, 5u);

    struct row {
        const char *text;
        std::uint64_t id, reports, lookups;
    };
    for (const auto &r : std::vector<row>{
             {"qv-classification-server store 1\n64 9 0 0 3 1 0 6578616d706c652e61\n", 9, 3, 0},
             {"qv-classification-server store 2\n64 9 0 0 3 1 0 4 6578616d706c652e61\n", 9, 3, 4},
             {"qv-classification-server store 3\n\n64 9 0 0 3 1 0 4 6578616d706c652e61\n\nend 1\n\n", 9, 3, 4},
         }) {
        const auto former = stand_in::read_store(write(r.text));
        ASSERT_EQ(former.size(), 1u) << r.text;
        EXPECT_EQ(former[0].id, r.id);
        EXPECT_EQ(former[0].reports, r.reports);
        EXPECT_EQ(former[0].lookups, r.lookups);
        EXPECT_EQ(former[0].data, "example.a");
    }
}

TEST_F(StoreFile, RefusesWhatIsNotAWholeStore)
{
    const std::string head = "qv-classification-server store 3\n";
    const std::string good = "64 1 0 0 3 0 0 0 61\n";
    for (const std::string &text : std::vector<std::string>{
             std::string(),
             std::string("something else\n"),
             std::string("qv-classification-server store 4\n"),
             head + good,  // cut short: no end line
             head + good + "end 2\n",  // the count is wrong
             head + good + "end 1\n" + good,  // records after the end
             head + "64 1 0 0 3 zz\nend 1\n",  // too few fields
             head + "64 1 0 0 3 0 0 0 6g\nend 1\n",  // not hex
             head + "64 1 0 0 3 0 0 0 616\nend 1\n",  // half a byte
             head + "64 1 0 0 3 0 0 0 61 extra\nend 1\n",  // a field too many
             head + "64 1 0 0 -1 0 0 0 61\nend 1\n",  // a sign
             head + "64 1 0 0 +3 0 0 0 61\nend 1\n",  // a sign
             head + "64 1 0 0 18446744073709551616 0 0 0 61\nend 1\n",  // wraps around
             head + "64 1 0 8 3 0 0 0 61\nend 1\n",  // flags beyond the three
             head + "2 1 0 0 3 0 0 0 6161\nend 1\n",  // a digest of two bytes
             head + "0 1 0 0 3 0 0 0 0102\nend 1\n",  // an address of two
             head + "64 1 0 0 3 0 0 0 \nend 1\n",  // an empty link
             head + "64 1 0 0 3 0 0 0 " + std::string(2050, 'a') + "\nend 1\n",  // a link too long
             head + "7 1 0 0 3 0 0 0 61\nend 1\n",  // a kind the engine never makes
             std::string("qv-classification-server store 1\n64 1 0 0 3 0 0 4 61\n"),
         })
        EXPECT_THROW(stand_in::read_store(write(text)), std::runtime_error) << text;
    EXPECT_TRUE(stand_in::read_store((folder / "missing.store").string()).empty());
}

// The journal is read up to a line cut short by a crash; any other damage
// is refused.
TEST_F(StoreFile, AJournalIsReadUpToALineCutShort)
{
    const std::string line = "64 1 0 0 3 0 0 0 61\n";
    struct row {
        std::string text;
        int records;  // -1: refused
    };
    for (const auto &r : std::vector<row>{
             {"", 0},
             {line + line, 2},
             {line + "\n" + line, 2},
             {line + "64 1 0 0 3 0 0", 1},
             {"64 1 0 0 3 0 0\n" + line, -1},
             {line + "64 1 0 0 -3 0 0 0 61\n", -1},
         }) {
        std::istringstream in(r.text);
        if (r.records < 0)
            EXPECT_THROW(stand_in::parse_journal(in, "journal"), std::runtime_error) << r.text;
        else
            EXPECT_EQ(stand_in::parse_journal(in, "journal").size(), std::size_t(r.records)) << r.text;
    }
}

// A report journaled and then the process gone without a rewrite: the next
// start finds it; a journal line already in the store counts once.
TEST_F(StoreFile, AJournaledReportSurvivesACrashAndCountsOnce)
{
    const stand_in::fingerprint_type spam{64, "example.spam/offer"};
    {
        stand_in::learning_store store(1000);
        std::mutex mutex;
        auto keeper = std::make_unique<stand_in::store_keeper>(path, store, mutex);
        std::vector<stand_in::record_type> changed;
        {
            std::lock_guard lock(mutex);
            store.look_up({spam});
            ASSERT_TRUE(store.learn({spam}, false, 0, &changed));
        }
        ASSERT_TRUE(keeper->journal(changed));
        // What a kill leaves: the journal, without the keeper's last rewrite.
        std::filesystem::copy_file(path + ".journal", (folder / "saved").string());
        keeper.reset();
        std::filesystem::rename(folder / "saved", path + ".journal");
    }
    const auto learned = stand_in::read_learned(path);
    ASSERT_EQ(learned.size(), 1u);
    EXPECT_EQ(learned[0].data, spam.data);
    EXPECT_EQ(learned[0].reports, 1u) << "in the store and in the journal, counted once";
    EXPECT_EQ(learned[0].lookups, 1u);

    // Without the store, the journal alone keeps the report.
    std::filesystem::remove(path);
    const auto journaled = stand_in::read_learned(path);
    ASSERT_EQ(journaled.size(), 1u);
    EXPECT_EQ(journaled[0].reports, 1u);

    // A damaged journal is refused, as a damaged store is.
    write("64 1 0 0 x\n64 1 0 0 3 0 0 0 61\n", "learned.store.journal");
    EXPECT_THROW(stand_in::read_learned(path), std::runtime_error);
}

// The keeper's rewrite walks the store in steps while it changes: what
// lived throughout is written, and the journal then goes.
TEST_F(StoreFile, ARewriteWritesEveryRecordInSteps)
{
    stand_in::learning_store store(100000);
    std::mutex mutex;
    {
        stand_in::store_keeper keeper(path, store, mutex);
        std::vector<stand_in::record_type> changed;
        std::lock_guard lock(mutex);
        for (int k = 0; k < 20000; ++k)
            store.learn({{64, "example.host" + std::to_string(k)}}, false, 0, &changed);
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".journal.old"));
    const auto read = stand_in::read_store(path);
    EXPECT_EQ(read.size(), 20000u);
}

// What was counted is remembered across a restart: the same user telling
// the same again then changes nothing either.
TEST_F(StoreFile, WhatWasCountedIsRememberedAcrossARestart)
{
    const std::vector<stand_in::fingerprint_type> message = {{64, "example.news/list"}};
    for (int run = 0; run < 2; ++run) {
        stand_in::learning_store store(1000);
        std::mutex mutex;
        stand_in::store_keeper keeper(path, store, mutex);
        std::lock_guard lock(mutex);
        store.look_up(message, 7);
        EXPECT_EQ(store.learn(message, false, 7), run == 0) << "run " << run;
        store.look_up(message, 8);
        store.mark_changed();  // the second run writes too
    }
    const auto read = stand_in::read_store(path);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].reports, 1u);
    EXPECT_EQ(read[0].lookups, 2u) << "one sighting by each of two users";
}

}  // namespace
