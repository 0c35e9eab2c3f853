// The machine identifier that authenticates every network request.
#include "QVServiceInfo.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

class MachineIdentifier : public ::testing::Test {
protected:
    void TearDown() override
    {
        QVServiceInfo::setMachineIdFilesForTesting(
            {QStringLiteral("/etc/machine-id"), QStringLiteral("/var/lib/dbus/machine-id")});
    }

    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = folder.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }

    QTemporaryDir folder;
};

TEST_F(MachineIdentifier, IsStableAndMadeFromTheUUID)
{
    const QByteArray uuid = "3d1219c7c4c5404aaa1f6d2a48adfda4";
    const QString unusable = write(QStringLiteral("unusable"), "not an id\n");
    QVServiceInfo::setMachineIdFilesForTesting(
        {folder.filePath("missing"), unusable, write(QStringLiteral("machine-id"), " " + uuid + "\n")});
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(uuid, QCryptographicHash::Md5).toHex());
    const QString id = QVServiceInfo::machineID();
    EXPECT_EQ(id, QStringLiteral("M01:%1-M01:%1").arg(hash));
    // "M01:", 32 hex digits, "-M01:", the same digits: 4 + 32 + 5 + 32.
    EXPECT_EQ(id.size(), 73);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^M01:([0-9a-f]{32})-M01:\\1$")).match(id).hasMatch());
    EXPECT_EQ(QVServiceInfo::machineID(), id);
}

TEST_F(MachineIdentifier, IsEmptyWithOneLogLinePerCallWhenUnreadable)
{
    const QString line = QStringLiteral("*** Couldn't generate mac identifier.");
    const QString tooShort = write(QStringLiteral("short"), "3d1219c7c4c5404aaa1f6d2a48adfda\n");
    const QString notHex = write(QStringLiteral("nothex"), "3d1219c7c4c5404aaa1f6d2a48adfdaz\n");
    const QStringList unreadable[] = {{folder.filePath("missing")}, {tooShort}, {notHex}, {}};
    for (const QStringList &files : unreadable) {
        SCOPED_TRACE(files.join(u' ').toStdString());
        QVServiceInfo::setMachineIdFilesForTesting(files);
        const qsizetype before = logCount(line);
        EXPECT_TRUE(QVServiceInfo::machineID().isEmpty());
        EXPECT_TRUE(QVServiceInfo::machineID().isEmpty());
        EXPECT_EQ(logCount(line), before + 2);
    }
}

}  // namespace
