#include "QVDataAdditions.h"
#include "QVMainBundle.h"
#include "QVServiceInfo.h"
#include "QVUpdateFile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

// A bundle whose Info.plist holds the given values.
class Bundle {
public:
    Bundle(const QString &shortVersion, const QString &build, const QString &productCode = QString())
    {
        QDir().mkpath(folder_.filePath(QStringLiteral("Q.app/Contents")));
        QString dict;
        const auto add = [&dict](const char *key, const QString &value) {
            if (!value.isNull())
                dict += QStringLiteral("<key>%1</key><string>%2</string>").arg(QLatin1String(key), value);
        };
        add("CFBundleShortVersionString", shortVersion);
        add("CFBundleVersion", build);
        add("ProductCode", productCode);
        QFile plist(folder_.filePath(QStringLiteral("Q.app/Contents/Info.plist")));
        plist.open(QIODevice::WriteOnly);
        plist.write(
            QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>%1</dict></plist>")
                .arg(dict)
                .toUtf8());
        plist.close();
        QVMainBundle::setBundlePathForTesting(folder_.filePath(QStringLiteral("Q.app")));
    }
    ~Bundle() { QVMainBundle::setBundlePathForTesting(QString()); }

private:
    QTemporaryDir folder_;
};

TEST(UpdateQuery, VersionNumberPacksSixteenBitGroups)
{
    struct Case {
        QString shortVersion, build;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {QStringLiteral("2.1.0"), QStringLiteral("17"), 562954248388625ull},  // groups 2, 1, 0, 17
        {QStringLiteral("1.5"), QString(), 0},
        {QStringLiteral("1.5"), QStringLiteral(""), 0},
        {QStringLiteral("1.5"), QStringLiteral("3"), (1ull << 32) | (5ull << 16) | 3},
        {QStringLiteral("1..5"), QStringLiteral("3"), (1ull << 32) | (5ull << 16) | 3},
        {QStringLiteral("70000"), QStringLiteral("1"), (70000ull & 0xFFFF) << 16 | 1},
        // Components past the fourth push the first ones out.
        {QStringLiteral("1.2.3.4"), QStringLiteral("5"), (2ull << 48) | (3ull << 32) | (4ull << 16) | 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.shortVersion.toStdString() + "/" + c.build.toStdString());
        Bundle bundle(c.shortVersion, c.build);
        EXPECT_EQ(QVServiceInfo::lastSeenNumber(), c.expected);
    }
}

TEST(UpdateQuery, ChecksumKnownAnswers)
{
    // MD5(MD5()) of the lower-cased run-together names and values, worked
    // out by hand.
    Bundle bundle(QStringLiteral("2.1.0"), QStringLiteral("17"), QStringLiteral("QVLX"));
    const QStringList parameters = QVServiceInfo::updateQueryParameters();
    const QStringList expectedNames{QStringLiteral("Action=QueryUpdate"),  QStringLiteral("Schema=4"),
                                    QStringLiteral("UpdateSchema=4"),      QStringLiteral("ProductName=QVLX"),
                                    QStringLiteral("Lsn=562954248388625"), QStringLiteral("Lang=en"),
                                    QStringLiteral("AutoUpdate=0"),        QStringLiteral("ReleaseType=1"),
                                    QStringLiteral("ResForm=1"),           QStringLiteral("UpdateKey=")};
    ASSERT_EQ(parameters.size(), 11);
    EXPECT_EQ(parameters.mid(0, 10), expectedNames);
    EXPECT_EQ(parameters.last(), QStringLiteral("Chk=6d681496c3ef0ec5068425194336d366"));
    // "Chk" of any case and pieces that are not name=value are left out;
    // what a URL cannot hold is escaped before lower-casing.
    EXPECT_EQ(QVServiceInfo::checksumForParams({QStringLiteral("Name=a b%c"), QStringLiteral("chk=1"), QString(),
                                                QStringLiteral("x=y=z"), QStringLiteral("novalue")}),
              QStringLiteral("a69d1a2cb6176f943ec6cf870612fb17"));
}

QString reply(const QString &description, const QString &field3, const QString &url, const QString &count,
              const QList<QStringList> &groups, const QString &separator = QStringLiteral("\r\n"))
{
    QString hashed = description + field3 + url + count;
    QStringList lines{description, field3, url, count};
    for (const QStringList &group : groups) {
        hashed += group.join(QString());
        lines += group;
    }
    return QVAdditions::hexHashToHashForString(hashed.toLower()) + separator + lines.join(separator) + separator;
}

QStringList group(const QString &name, const QString &size = QStringLiteral("3"),
                  const QString &md5 = QStringLiteral("900150983cd24fb0d6963f7d28e17f72"))
{
    return {name, QStringLiteral("0"), md5, size, QStringLiteral("0"), QStringLiteral("0")};
}

TEST(UpdateReply, AcceptsWellFormedReplies)
{
    QString description = QStringLiteral("untouched");
    QUrl url;
    QList<QVUpdateFile> files;

    // Known answer, upper-case checksum digits.
    const QString full = QStringLiteral(
        "8C90471CCE413ADA6151E9D0C75C5CBA\r\nQuorvane 2.2 is here\r\n7\r\nhttps://updates.example.com/u/\r\n2\r\n"
        "2a.zip\r\n5\r\nab56b4d92b40713acc5af89985d4b786\r\n100\r\n0\r\n0\r\n"
        "\r\n"  // an empty line is skipped
        "updateInfo.rtf\r\n0\r\n900150983cd24fb0d6963f7d28e17f72\r\n3\r\n1\r\n0\r\n");
    ASSERT_TRUE(QVServiceInfo::parseTextResponse(full, &description, &url, &files));
    EXPECT_EQ(description, QStringLiteral("Quorvane 2.2 is here"));
    EXPECT_EQ(url, QUrl(QStringLiteral("https://updates.example.com/u/")));
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0],
              (QVUpdateFile{QStringLiteral("2a.zip"), QStringLiteral("ab56b4d92b40713acc5af89985d4b786"), 100, false}));
    EXPECT_EQ(
        files[1],
        (QVUpdateFile{QStringLiteral("updateInfo.rtf"), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"), 3, true}));

    // "0" alone: no update.
    ASSERT_TRUE(QVServiceInfo::parseTextResponse(QStringLiteral("0\r\n"), &description, &url, &files));
    EXPECT_TRUE(description.isNull());
    EXPECT_TRUE(files.isEmpty());

    // Only description and field 3 are covered when there are no files.
    ASSERT_TRUE(QVServiceInfo::parseTextResponse(
        QStringLiteral("c527c12ea4cc953baee706920a399791\r\nOnly words\r\n0\r\n"), &description, &url, &files));
    EXPECT_EQ(description, QStringLiteral("Only words"));
    EXPECT_TRUE(files.isEmpty());
    // Plain HTTP is for this machine only; names with spaces or percent
    // signs are single components.
    ASSERT_TRUE(QVServiceInfo::parseTextResponse(reply(QStringLiteral("d"), QStringLiteral("1"),
                                                       QStringLiteral("http://127.0.0.1:2480/files/"),
                                                       QStringLiteral("1"), {group(QStringLiteral("Quorvane 2%.zip"))}),
                                                 &description, &url, &files));
    EXPECT_EQ(files.value(0).name, QStringLiteral("Quorvane 2%.zip"));
    EXPECT_EQ(QVUpdateSecurity::fileUrl(url, files[0].name).toString(QUrl::FullyEncoded),
              QStringLiteral("http://127.0.0.1:2480/files/Quorvane%202%25.zip"));
}

TEST(UpdateReply, RefusesHostileOrBrokenReplies)
{
    const QString https = QStringLiteral("https://updates.example.com/u/");
    const QString one = QStringLiteral("1");
    struct Case {
        const char *name;
        QString text;
    };
    const std::vector<Case> cases = {
        {"empty", QString()},
        {"only line breaks", QStringLiteral("\r\n\r\n")},
        {"0 followed by more", QStringLiteral("0\r\nmore\r\n")},
        {"wrong checksum", QStringLiteral("8c90471cce413ada6151e9d0c75c5cbb\r\nOnly words\r\n0\r\n")},
        {"checksum only", QStringLiteral("c527c12ea4cc953baee706920a399791\r\n")},
        {"field 3 not a number",
         reply(QStringLiteral("d"), QStringLiteral("x1"), https, one, {group(QStringLiteral("a.zip"))})},
        {"field 3 overflowing",
         reply(QStringLiteral("d"), QStringLiteral("99999999999999999999"), https, one,
               {group(QStringLiteral("a.zip"))})},
        {"count missing", QStringLiteral("x\r\nd\r\n1\r\nhttps://h/\r\n")},
        {"negative count", reply(QStringLiteral("d"), one, https, QStringLiteral("-1"), {})},
        {"huge count, one group",
         reply(QStringLiteral("d"), one, https, QStringLiteral("2147483647"), {group(QStringLiteral("a.zip"))})},
        {"count past 32 bits",
         reply(QStringLiteral("d"), one, https, QStringLiteral("9223372036854775807"),
               {group(QStringLiteral("a.zip"))})},
        {"group cut short", reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral("a.zip")).mid(0, 4)})},
        {"negative size",
         reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral("a.zip"), QStringLiteral("-3"))})},
        {"overflowing size",
         reply(QStringLiteral("d"), one, https, one,
               {group(QStringLiteral("a.zip"), QStringLiteral("9223372036854775808"))})},
        {"size with junk",
         reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral("a.zip"), QStringLiteral("3k"))})},
        {"flag past 32 bits",
         reply(QStringLiteral("d"), one, https, one,
               {{QStringLiteral("a.zip"), QStringLiteral("0"), QStringLiteral("m"), QStringLiteral("3"),
                 QStringLiteral("4294967296"), QStringLiteral("0")}})},
        {"plain HTTP elsewhere",
         reply(QStringLiteral("d"), one, QStringLiteral("http://updates.example.com/u/"), one,
               {group(QStringLiteral("a.zip"))})},
        {"another scheme",
         reply(QStringLiteral("d"), one, QStringLiteral("file:///tmp/"), one, {group(QStringLiteral("a.zip"))})},
        {"relative base",
         reply(QStringLiteral("d"), one, QStringLiteral("/u/"), one, {group(QStringLiteral("a.zip"))})},
        // File names that are not one plain component.
        {"name ..", reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral(".."))})},
        {"name .", reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral("."))})},
        {"name ../x", reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral("../x"))})},
        {"name /abs", reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral("/etc/passwd"))})},
        {"name a/b", reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral("a/b"))})},
        {"name http://h/x", reply(QStringLiteral("d"), one, https, one, {group(QStringLiteral("http://h/x"))})},
        {"name too long", reply(QStringLiteral("d"), one, https, one, {group(QString(256, u'a'))})},
        // More than an update may hold, in one file or in all together.
        {"one file past the cap",
         reply(QStringLiteral("d"), one, https, one,
               {group(QStringLiteral("a.zip"), QString::number(QVUpdateProtocol::kMaxUpdateSize + 1))})},
        {"files past the cap together",
         reply(QStringLiteral("d"), one, https, QStringLiteral("2"),
               {group(QStringLiteral("a.zip"), QString::number(QVUpdateProtocol::kMaxUpdateSize / 2 + 1)),
                group(QStringLiteral("b.zip"), QString::number(QVUpdateProtocol::kMaxUpdateSize / 2 + 1))})},
        {"loopback spelled as a name",
         reply(QStringLiteral("d"), one, QStringLiteral("http://127.0.0.1.example.com/u/"), one,
               {group(QStringLiteral("a.zip"))})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QString description = QStringLiteral("untouched");
        QUrl url(QStringLiteral("https://untouched/"));
        QList<QVUpdateFile> files{QVUpdateFile{QStringLiteral("kept"), {}, 1, false}};
        EXPECT_FALSE(QVServiceInfo::parseTextResponse(c.text, &description, &url, &files));
        EXPECT_EQ(description, QStringLiteral("untouched"));
        EXPECT_EQ(url, QUrl(QStringLiteral("https://untouched/")));
        EXPECT_EQ(files.size(), 1);
    }
}

}  // namespace
