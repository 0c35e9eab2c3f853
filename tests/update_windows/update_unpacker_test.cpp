#include "QVUpdateUnpacker.h"
#include "wait_for.h"
#include "zip_writer.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>
#include <optional>

using namespace update_test;

namespace {

constexpr qint64 kLimit = 1024 * 1024;

struct Outcome {
    std::optional<bool> success;
    QString bundle;
};

// Unpacks `entries` as <folder>/Quorvane.zip with the test's limits.
Outcome unpack(const QTemporaryDir &folder, const QList<ZipEntry> &entries,
               const std::function<void(QVUpdateUnpacker &)> &configure = {})
{
    const QString archive = folder.filePath(QStringLiteral("Quorvane.zip"));
    QFile file(archive);
    if (file.open(QIODevice::WriteOnly))
        file.write(zipArchive(entries));
    file.close();
    QVUpdateUnpacker unpacker;
    unpacker.setLimitForTesting(kLimit);
    if (configure)
        configure(unpacker);
    Outcome outcome;
    QObject::connect(&unpacker, &QVUpdateUnpacker::finished, [&outcome](bool success, const QString &bundle) {
        outcome.success = success;
        outcome.bundle = bundle;
    });
    unpacker.unpack(archive);
    waitFor([&] { return outcome.success.has_value(); }, 60000);
    return outcome;
}

qint64 sizeOfTree(const QString &folder)
{
    qint64 total = 0;
    for (const QFileInfo &item :
         QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (item.isSymLink())
            continue;
        total += item.isDir() ? sizeOfTree(item.filePath()) : item.size();
    }
    return total;
}

TEST(UpdateUnpacker, UnpacksABundleOfFoldersAndFiles)
{
    QTemporaryDir folder;
    const Outcome outcome = unpack(folder, bundleEntries("Quorvane"));
    ASSERT_TRUE(outcome.success.has_value());
    EXPECT_TRUE(*outcome.success);
    EXPECT_EQ(outcome.bundle, folder.filePath(QStringLiteral("Quorvane.app")));
    EXPECT_TRUE(QFileInfo(outcome.bundle + QStringLiteral("/Contents/MacOS/Quorvane")).isFile());
}

TEST(UpdateUnpacker, JudgesWhatUnzipWroteNotWhatTheArchiveSays)
{
    struct Case {
        const char *name;
        ZipEntry extra;
    };
    const Case cases[] = {
        {"a link entry", {"Quorvane.app/Contents/data", "/etc/shadow", true}},
        // unzip -Z lists it as "RWED,RWED,RWED", yet makes a link.
        {"a link entry made on VMS", {"Quorvane.app/Contents/data", "/etc/shadow", true, 0x021E}},
        {"a link entry made on BeOS", {"Quorvane.app/Contents/data", "/etc/shadow", true, 0x101E}},
        {"a file announced past the limit", {"Quorvane.app/Contents/big", "x", false, 0x031E, kLimit + 1}},
        // The listing says 10 bytes; unzip would write 2 MiB.
        {"a file larger than it is listed",
         {"Quorvane.app/Contents/big", QByteArray(2 * kLimit, 'z'), false, 0x031E, 10}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        QList<ZipEntry> entries = bundleEntries("Quorvane");
        entries.append(c.extra);
        const Outcome outcome = unpack(folder, entries);
        ASSERT_TRUE(outcome.success.has_value());
        EXPECT_FALSE(*outcome.success);
        EXPECT_TRUE(outcome.bundle.isEmpty());
        // Besides the archive, no more than the limit (and the watch's
        // slack) was written.
        EXPECT_LE(sizeOfTree(folder.path()) - QFileInfo(folder.filePath(QStringLiteral("Quorvane.zip"))).size(),
                  kLimit + 64 * 1024);
    }
}

TEST(UpdateUnpacker, AnArchiveOfMoreItemsThanTheHelperCopiesIsRefused)
{
    // Before unpacking when the listing says so, and during unpacking
    // (the listing left unread) when it is reached: unzip reports each
    // item and waits once the pipe of its reports is full, so it cannot
    // run ahead by more than a pipe's worth (some 1,500 items here).
    constexpr qint64 kItems = 40;
    constexpr int kEntries = 20000;
    QList<ZipEntry> entries = bundleEntries("Quorvane");
    for (int i = 0; entries.size() < kEntries; ++i)
        entries.append({"Quorvane.app/Contents/Resources/" + QByteArray::number(i), ""});
    for (const bool listing : {true, false}) {
        SCOPED_TRACE(listing ? "announced" : "counted");
        QTemporaryDir folder;
        const Outcome outcome = unpack(folder, entries, [&](QVUpdateUnpacker &unpacker) {
            unpacker.setItemLimitForTesting(kItems);
            if (!listing)
                unpacker.skipListingForTesting();
        });
        ASSERT_TRUE(outcome.success.has_value());
        EXPECT_FALSE(*outcome.success);
        const QString resources = folder.filePath(QStringLiteral("Quorvane.app/Contents/Resources"));
        if (listing)
            EXPECT_FALSE(QFileInfo::exists(folder.filePath(QStringLiteral("Quorvane.app"))));
        else
            EXPECT_LT(QDir(resources).count(), qsizetype(kEntries / 4)) << "unzip was stopped";
    }
    QTemporaryDir folder;
    const Outcome within =
        unpack(folder, bundleEntries("Quorvane"), [](QVUpdateUnpacker &u) { u.setItemLimitForTesting(kItems); });
    ASSERT_TRUE(within.success.has_value());
    EXPECT_TRUE(*within.success);
}

}  // namespace
