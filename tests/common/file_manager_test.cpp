#include "temporary_home.h"

#include "QVBundleExtensions.h"
#include "QVFileManagerAdditions.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stop_token>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

class FileManager : public TemporaryHome {
protected:
    QString path(const QString &name) const { return home() + u'/' + name; }

    QString create(const QString &name, const QByteArray &bytes)
    {
        writeFile(path(name), bytes);
        return path(name);
    }

    static QByteArray pattern(qsizetype size, char salt = 0)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((i * 31 + salt) & 0xFF);
        return bytes;
    }

    static QByteArray md5(QByteArrayView bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Md5); }
};

TEST_F(FileManager, DataForkSizes)
{
    EXPECT_EQ(QVAdditions::dataForkSizeOfFileAtPath(create(u"file"_s, pattern(5000))), 5000u);
    EXPECT_EQ(QVAdditions::dataForkSizeOfFileAtPath(create(u"empty"_s, QByteArray())), 0u);
    EXPECT_EQ(QVAdditions::dataForkSizeOfFileAtPath(home()), 0u);
    EXPECT_EQ(QVAdditions::dataForkSizeOfFileAtPath(path(u"missing"_s)), 0u);
    ASSERT_TRUE(QFile::link(path(u"file"_s), path(u"link"_s)));
    EXPECT_EQ(QVAdditions::dataForkSizeOfFileAtPath(path(u"link"_s)), quint64(path(u"file"_s).toUtf8().size()))
        << "a final link is not followed";
}

TEST_F(FileManager, DigestsOfWholeFilesAndFirstBlocks)
{
    const QByteArray large = pattern(200000);
    QByteArray sameStart = large.first(4096);
    sameStart.append("different tail");
    struct Case {
        QString file;
        bool whole;
        QByteArray expected;
    } cases[] = {
        {create(u"abc"_s, "abc"), true, QByteArray::fromHex("900150983cd24fb0d6963f7d28e17f72")},
        {create(u"empty"_s, QByteArray()), true, QByteArray::fromHex("d41d8cd98f00b204e9800998ecf8427e")},
        {create(u"empty"_s, QByteArray()), false, QByteArray::fromHex("d41d8cd98f00b204e9800998ecf8427e")},
        {path(u"missing"_s), true, QByteArray::fromHex("d41d8cd98f00b204e9800998ecf8427e")},
        {path(u"missing"_s), false, QByteArray::fromHex("d41d8cd98f00b204e9800998ecf8427e")},
        {create(u"large"_s, large), true, md5(large)},
        {path(u"large"_s), false, md5(large.first(4096))},
        {create(u"same-start"_s, sameStart), false, md5(large.first(4096))},
        {path(u"same-start"_s), true, md5(sameStart)},
        {create(u"short"_s, pattern(100)), false, md5(pattern(100))},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(QVAdditions::hashOfFileAtPath(c.file, c.whole).toHex(), c.expected.toHex())
            << c.file.toStdString() << (c.whole ? " whole" : " first block");
    }
}

TEST_F(FileManager, UnreadableItemsHaveNoDigest)
{
    const QString fifo = path(u"fifo"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // /proc/self/mem is a regular file whose first read fails.
    for (const QString &item : {home(), fifo, u"/proc/self/mem"_s, create(u"file"_s, "x") + u"/below"_s}) {
        EXPECT_TRUE(QVAdditions::hashOfFileAtPath(item, true).isNull()) << item.toStdString();
        EXPECT_TRUE(QVAdditions::hashOfFileAtPath(item, false).isNull()) << item.toStdString();
    }
}

TEST_F(FileManager, ACancelledDigestIsNull)
{
    const QString file = create(u"large"_s, pattern(300000));
    std::stop_source operation;
    EXPECT_FALSE(QVAdditions::hashOfFileAtPath(file, true, operation.get_token()).isNull());
    operation.request_stop();
    EXPECT_TRUE(QVAdditions::hashOfFileAtPath(file, true, operation.get_token()).isNull());
    EXPECT_TRUE(QVAdditions::hashOfFileAtPath(file, false, operation.get_token()).isNull());
}

TEST_F(FileManager, FileTypes)
{
    QFile self(u"/proc/self/exe"_s);
    ASSERT_TRUE(self.open(QIODevice::ReadOnly));
    const QString program = create(u"program"_s, self.read(4096));
    ASSERT_TRUE(QDir().mkpath(path(u"Quorvane.app/Contents"_s)));
    ASSERT_TRUE(QDir().mkpath(path(u"folder"_s)));

    const struct {
        QString item;
        QVFileType type;
    } cases[] = {
        {create(u"paper.pdf"_s, "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"), QVFileTypeImage},
        {create(u"picture.png"_s, QByteArray::fromHex("89504e470d0a1a0a0000000d49484452")), QVFileTypeImage},
        {create(u"song.mp3"_s, "ID3\x03\x00\x00\x00\x00\x00\x00"), QVFileTypeMusic},
        {create(u"clip.mp4"_s, QByteArray::fromHex("0000001866747970") + "mp42"), QVFileTypeMovie},
        {create(u"notes.txt"_s, "plain text\n"), QVFileTypeDocument},
        {create(u"data.json"_s, "{\"a\": 1}\n"), QVFileTypeDocument},
        {create(u"letter.docx"_s, QByteArray::fromHex("504b0304")), QVFileTypeDocument},
        {create(u"bundle.zip"_s, QByteArray::fromHex("504b0304140000000000")), QVFileTypeArchive},
        {create(u"source.tar.gz"_s, QByteArray::fromHex("1f8b0800000000000003")), QVFileTypeArchive},
        {program, QVFileTypeApplication},
        {path(u"Quorvane.app"_s), QVFileTypeApplication},
        {path(u"folder"_s), QVFileTypeOther},
        {create(u"noise.bin"_s, QByteArray::fromHex("00ff00ff13")), QVFileTypeOther},
        {path(u"missing"_s), QVFileTypeOther},
    };
    for (const auto &c : cases)
        EXPECT_EQ(QVAdditions::fileTypeForItemAtPath(c.item), c.type) << c.item.toStdString();
}

TEST_F(FileManager, ApplicationSupportFolderIsCreated)
{
    EXPECT_EQ(QVNSBundleExtensions::productName(), u"Quorvane"_s);
    const QString folder = QVNSBundleExtensions::applicationSupportDirectory();
    EXPECT_EQ(folder, productFolder());
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_TRUE(folder.startsWith(home()));
}

}  // namespace
