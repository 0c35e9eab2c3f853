#include "QVFileManagerAdditions.h"
#include "temporary_home.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace {

class Trash : public TemporaryHome {
protected:
    QString workingFolder() const { return home() + QStringLiteral("/cwd"); }

    // A file of the home trashed while the program runs in a folder of its
    // own, which must get nothing of it.
    bool trash(const QString &name, QString *error)
    {
        const QString file = home() + u'/' + name;
        writeFile(file, "mine");
        const QString previous = QDir::currentPath();
        QDir().mkpath(workingFolder());
        if (!QDir::setCurrent(workingFolder()))
            return false;
        const bool trashed = QVAdditions::trashFileAtPath(file, error);
        QDir::setCurrent(previous);
        return trashed;
    }
};

TEST_F(Trash, WithoutAUsableTrashTheItemStaysAndTheCallFails)
{
    // The home trash cannot be made: a file holds its name.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    ASSERT_TRUE(data.startsWith(home()));
    QDir().mkpath(data);
    QFile blocker(data + QStringLiteral("/Trash"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QString error;
    const bool trashed = trash(QStringLiteral("keep.txt"), &error);
    EXPECT_FALSE(trashed);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(readFile(home() + QStringLiteral("/keep.txt")), "mine");
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/files/keep.txt")));
    EXPECT_TRUE(QDir(workingFolder()).isEmpty()) << "no files/ or info/ left behind";
}

TEST_F(Trash, AFreshHomeGetsItsTrashMade)
{
    // No data folder at all yet: the home trash is made, private.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    ASSERT_TRUE(data.startsWith(home()));
    QDir(data).removeRecursively();
    QString error;
    const bool trashed = trash(QStringLiteral("old.txt"), &error);

    ASSERT_TRUE(trashed) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(home() + QStringLiteral("/old.txt")));
    EXPECT_TRUE(QFileInfo::exists(data + QStringLiteral("/Trash/files/old.txt")));
    EXPECT_TRUE(QFileInfo::exists(data + QStringLiteral("/Trash/info/old.txt.trashinfo")));
    EXPECT_EQ(QFileInfo(data + QStringLiteral("/Trash")).permissions() & 0x0077, QFileDevice::Permissions());
    EXPECT_TRUE(QDir(workingFolder()).isEmpty());
}

}  // namespace
