#include "temporary_home.h"

#include "QVFileManagerAdditions.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <stop_token>

using namespace Qt::StringLiterals;

namespace {

class FileHelpers : public TemporaryHome {
protected:
    QString path(const QString &name) const { return home() + u'/' + name; }
    QString create(const QString &name, const QByteArray &bytes)
    {
        writeFile(path(name), bytes);
        return path(name);
    }
};

TEST_F(FileHelpers, ItemTestsFollowNoFinalLink)
{
    const QString file = create(u"folder/file.txt"_s, "abc");
    ASSERT_TRUE(QFile::link(path(u"folder"_s), path(u"link"_s)));
    struct Case {
        QString path;
        bool link, folder, visible;
    };
    const Case cases[] = {
        {file, false, false, true},
        {path(u"folder"_s), false, true, true},
        {path(u"link"_s), true, false, true},
        {path(u"missing"_s), false, false, false},
        {create(u".hidden"_s, "x"), false, false, false},
        {create(u"%temp"_s, "x"), false, false, false},
        {create(u"backup~"_s, "x"), false, false, false},
        {u"/home"_s, false, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        EXPECT_EQ(QVAdditions::isLinkAtPath(c.path), c.link);
        EXPECT_EQ(QVAdditions::isFolderAtPath(c.path), c.folder);
        EXPECT_EQ(QVAdditions::isFileVisibleAtPath(c.path), c.visible);
    }
    EXPECT_FALSE(QVAdditions::makeFSRef(nullptr, file, true));
    struct stat status {};
    bool folder = false;
    ASSERT_TRUE(QVAdditions::makeFSRef(&status, path(u"link"_s), true, &folder));
    EXPECT_TRUE(folder);
}

TEST_F(FileHelpers, SystemLocations)
{
    for (const char *yes :
         {"/usr", "/etc/", "/Var", "/media/ann/USB/usr", "/mnt/disk/home", "/tmp/.cache", "/x/notes~"})
        EXPECT_TRUE(QVAdditions::isFileSystemAtPath(QString::fromLatin1(yes))) << yes;
    for (const char *no : {"/usr/share", "/home/ann", "/media/ann/USB", "/data/etc", "/"})
        EXPECT_FALSE(QVAdditions::isFileSystemAtPath(QString::fromLatin1(no))) << no;
    EXPECT_TRUE(QVAdditions::isMountedVolumeOfItemAtPath(home()));
}

TEST_F(FileHelpers, SizesOfTreesAndUnits)
{
    create(u"tree/a"_s, QByteArray(1000, 'a'));
    create(u"tree/sub/b"_s, QByteArray(24, 'b'));
    create(u"tree/sub/.c"_s, "cc");
    QFile::link(path(u"tree/a"_s), path(u"tree/link"_s));
    const auto linkSize = QVAdditions::dataForkSizeOfFileAtPath(path(u"tree/link"_s));
    EXPECT_EQ(QVAdditions::dataForkSizeOfAllItemsAtPath(path(u"tree"_s)), 1026u + linkSize);
    EXPECT_EQ(QVAdditions::totalSizeOfAllItemsAtPath(path(u"tree"_s)), 1026u + linkSize);
    EXPECT_EQ(QVAdditions::resourceForkSizeOfAllItemsAtPath(path(u"tree"_s)), 0u);
    EXPECT_EQ(QVAdditions::dataForkSizeOfAllItemsAtPath(path(u"tree/a"_s)), 1000u);
    EXPECT_EQ(QVAdditions::dataForkSizeOfAllItemsAtPath(path(u"none"_s)), 0u);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(QVAdditions::dataForkSizeOfAllItemsAtPath(path(u"tree"_s), stop.get_token()), 0u);
    EXPECT_EQ(QVAdditions::bytesInUnit(0), 1);
    EXPECT_EQ(QVAdditions::bytesInUnit(2), 1000000);
    EXPECT_EQ(QVAdditions::bytesInUnit(5), 1000000000000000);
    EXPECT_EQ(QVAdditions::bytesInUnit(6), 0);
}

TEST_F(FileHelpers, FolderDigestsCoverEveryEntryInOrder)
{
    create(u"one/a"_s, "alpha");
    create(u"one/b/c"_s, "gamma");
    create(u"two/a"_s, "alpha");
    create(u"two/b/c"_s, "gamma");
    const QByteArray digest = QVAdditions::hashOfAllItemsAtPath(path(u"one"_s), true);
    ASSERT_EQ(digest.size(), 16);
    EXPECT_EQ(QVAdditions::hashOfAllItemsAtPath(path(u"two"_s), true), digest);
    const auto md5 = [](const QByteArray &bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Md5); };
    EXPECT_EQ(digest, md5(md5("alpha") + md5(md5("gamma"))));
    create(u"two/b/c"_s, "delta");
    EXPECT_NE(QVAdditions::hashOfAllItemsAtPath(path(u"two"_s), true), digest);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_TRUE(QVAdditions::hashOfAllItemsAtPath(path(u"one"_s), true, stop.get_token()).isNull());
}

TEST_F(FileHelpers, KindsBundlesAndTexts)
{
    const QString text = create(u"notes.txt"_s, "hello\n");
    EXPECT_FALSE(QVAdditions::humanReadableFileTypeForItemAtPath(text).isEmpty());
    EXPECT_EQ(QVAdditions::humanReadableFileTypeForItemAtPath(path(u"none"_s)), u""_s);
    EXPECT_TRUE(QVAdditions::createdDateForItemAtPath(path(u"none"_s)).isNull());
    EXPECT_FALSE(QVAdditions::lastOpenDateForItemAtPath(text).isNull());

    create(u"Q.app/Contents/Info.plist"_s,
           "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
           "<string>org.quorvane.Quorvane</string></dict></plist>");
    EXPECT_EQ(QVAdditions::bundleIdForPath(path(u"Q.app"_s)), u"org.quorvane.Quorvane"_s);
    EXPECT_TRUE(QVAdditions::bundleIdForPath(home()).isNull());

    EXPECT_EQ(QVAdditions::stringFromFileType(QVFileTypeOther), u"Other"_s);
    EXPECT_EQ(QVAdditions::stringFromFileType(QVFileType(0)), u"Other"_s);
    EXPECT_EQ(QVAdditions::stringFromFileType(QVFileTypeApplication), u"Application"_s);
    EXPECT_EQ(QVAdditions::stringFromFileType(QVFileTypeMusic), u"Music"_s);
    EXPECT_EQ(QVAdditions::stringFromFileType(QVFileType(7)), u"Other"_s);
    EXPECT_EQ(&QVAdditions::sharedLockObject(), &QVAdditions::sharedLockObject());

    const QString documents =
        QVAdditions::findSystemFolderType(QStandardPaths::DocumentsLocation, QVAdditions::QVFolderDomain::User);
    EXPECT_EQ(documents, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
}

TEST_F(FileHelpers, TrashAndVolumes)
{
    // The user's trash lies in the data folder, here inside the test's home.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    ASSERT_TRUE(data.startsWith(home()));
    QDir().mkpath(data);
    const QString file = create(u"old.txt"_s, "x");
    QString error;
    ASSERT_TRUE(QVAdditions::trashFileAtPath(file, &error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_TRUE(QFileInfo::exists(data + u"/Trash/files/old.txt"_s));
    EXPECT_FALSE(QVAdditions::trashFileAtPath(path(u"missing"_s), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QVAdditions::trashFileAtPath(QString(), &error));

    const QList<QVVolumeInfo> volumes = QVAdditions::volumeInfos();
    ASSERT_FALSE(volumes.isEmpty());
    for (const QVVolumeInfo &volume : volumes) {
        EXPECT_FALSE(volume.name.isEmpty());
        EXPECT_TRUE(volume.rootPath.startsWith(u'/'));
        EXPECT_GT(volume.totalSize, 0u);
        EXPECT_LE(volume.freeSize, volume.totalSize);
    }
}

}  // namespace
