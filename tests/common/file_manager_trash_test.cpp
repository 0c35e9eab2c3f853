#include "QVFileManagerAdditions.h"
#include "temporary_home.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace {

class Trash : public TemporaryHome {};

TEST_F(Trash, WithoutAUsableTrashTheItemStaysAndTheCallFails)
{
    // The home trash cannot be made: a file holds its name.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    ASSERT_TRUE(data.startsWith(home()));
    QDir().mkpath(data);
    QFile blocker(data + QStringLiteral("/Trash"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const QString file = home() + QStringLiteral("/keep.txt");
    QFile item(file);
    ASSERT_TRUE(item.open(QIODevice::WriteOnly));
    item.write("mine");
    item.close();

    // Whatever folder the program was started in gets nothing of it.
    const QString previous = QDir::currentPath();
    const QString workingFolder = home() + QStringLiteral("/cwd");
    QDir().mkpath(workingFolder);
    ASSERT_TRUE(QDir::setCurrent(workingFolder));
    QString error;
    const bool trashed = QVAdditions::trashFileAtPath(file, &error);
    QDir::setCurrent(previous);

    EXPECT_FALSE(trashed);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFileInfo::exists(file));
    EXPECT_FALSE(QFileInfo::exists(workingFolder + QStringLiteral("/files/keep.txt")));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/files/keep.txt")));
    EXPECT_TRUE(QDir(workingFolder).isEmpty()) << "no files/ or info/ left behind";
}

TEST_F(Trash, AFreshHomeGetsItsTrashMade)
{
    // No data folder at all yet: the home trash is made, private.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    ASSERT_TRUE(data.startsWith(home()));
    QDir(data).removeRecursively();
    const QString file = home() + QStringLiteral("/old.txt");
    QFile item(file);
    ASSERT_TRUE(item.open(QIODevice::WriteOnly));
    item.close();

    const QString previous = QDir::currentPath();
    const QString workingFolder = home() + QStringLiteral("/cwd");
    QDir().mkpath(workingFolder);
    ASSERT_TRUE(QDir::setCurrent(workingFolder));
    QString error;
    const bool trashed = QVAdditions::trashFileAtPath(file, &error);
    QDir::setCurrent(previous);

    ASSERT_TRUE(trashed) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_TRUE(QFileInfo::exists(data + QStringLiteral("/Trash/files/old.txt")));
    EXPECT_TRUE(QFileInfo::exists(data + QStringLiteral("/Trash/info/old.txt.trashinfo")));
    EXPECT_EQ(QFileInfo(data + QStringLiteral("/Trash")).permissions() & 0x0077, QFileDevice::Permissions());
    EXPECT_TRUE(QDir(workingFolder).isEmpty());
}

}  // namespace
