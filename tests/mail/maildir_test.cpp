// Reading message headers and moving Maildir files, without a host.
#include "mail_fixture.h"

#include "MailMessageHeader.h"
#include "Maildir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kToBlankLine = -1;

struct HeaderCase {
    const char *name;
    QByteArray bytes;
    bool looksLikeMail;
    qsizetype headerLength;  // kToBlankLine: up to and with the first "\n\n"
    QString messageID, sender, subject;
};

TEST(MailMessageHeader, SummariesOfTable)
{
    const QByteArray crlf = "From: Jane <jane@example.com>\r\nSubject: Hi\r\nMessage-ID: <1@x>\r\n\r\nbody";
    const HeaderCase cases[] = {
        {"crlf", crlf, true, crlf.indexOf("body"), u"<1@x>"_s, u"Jane <jane@example.com>"_s, u"Hi"_s},
        {"folded and lf", "Subject: one\n two\nMessage-Id: <2@x> (note)\n\nb", true, kToBlankLine, u"<2@x>"_s, u""_s,
         u"one two"_s},
        {"encoded words joined", "Subject: =?UTF-8?B?w4Q=?= =?ISO-8859-1?Q?_=E4?= end\n\n", true, kToBlankLine, u""_s,
         u""_s, u"Ä ä end"_s},
        {"bad encoded word kept", "From: =?utf-8?q?a b?= <z@z>\n\n", true, kToBlankLine, u""_s,
         u"=?utf-8?q?a b?= <z@z>"_s, u""_s},
        {"raw utf-8 and latin-1", "Subject: Gr\xc3\xbc\xc3\x9f \xe9t\xe9\n\n", true, kToBlankLine, u""_s, u""_s,
         u"Grüß été"_s},
        {"no blank line", "From: a@b\nSubject: s", true, 20, u""_s, u"a@b"_s, u"s"_s},
        {"mbox line first", "From a@b Tue Dec  8\nSubject: m\n\n", true, kToBlankLine, u""_s, u""_s, u"m"_s},
        {"binary", QByteArray("\x00\x01zz\n\n", 6), false, 6, u""_s, u""_s, u""_s},
        {"first field counts", "Subject: a\nSubject: b\n\n", true, kToBlankLine, u""_s, u""_s, u"a"_s},
        {"empty", "", false, 0, u""_s, u""_s, u""_s},
    };
    for (const HeaderCase &c : cases) {
        const auto summary = MailMessageHeader::parse(c.bytes);
        EXPECT_EQ(summary.looksLikeMail, c.looksLikeMail) << c.name;
        const qsizetype expected = c.headerLength == kToBlankLine ? c.bytes.indexOf("\n\n") + 2 : c.headerLength;
        EXPECT_EQ(summary.headerLength, expected) << c.name;
        EXPECT_EQ(summary.messageID, c.messageID) << c.name;
        EXPECT_EQ(summary.sender, c.sender) << c.name;
        EXPECT_EQ(summary.subject, c.subject) << c.name;
    }
    const auto dated = MailMessageHeader::parse("Date: Tue, 08 Dec 2026 10:00:00 +0000 (UTC)\n\n");
    EXPECT_EQ(dated.date, QDateTime(QDate(2026, 12, 8), QTime(10, 0), Qt::UTC));
}

TEST(Maildir, FoldersOfMailboxPaths)
{
    const std::pair<QString, QString> cases[] = {
        {u"INBOX"_s, u"/m"_s},    {u"inbox"_s, u"/m"_s}, {u""_s, u"/m"_s}, {u"Quorvane"_s, u"/m/.Quorvane"_s},
        {u"A/B"_s, u"/m/.A.B"_s},
    };
    for (const auto &[path, folder] : cases)
        EXPECT_EQ(Maildir::folderPath(u"/m"_s, path), folder) << path;
    for (const auto &name : {u""_s, u"a.b"_s, u"a/b"_s, u".."_s, u"tab\t"_s})
        EXPECT_FALSE(Maildir::isValidMailboxName(name)) << name;
    EXPECT_TRUE(Maildir::isValidMailboxName(u"Quorvane"_s));
}

TEST(Maildir, MovesKeepNamesAndFlagsAndNeverReplace)
{
    QTemporaryDir dir;
    const QString root = dir.path();
    ASSERT_TRUE(Maildir::createMailbox(root, u"INBOX"_s));
    ASSERT_TRUE(Maildir::createMailbox(root, u"Quorvane"_s));
    ASSERT_TRUE(Maildir::createMailbox(root, u"A/B"_s));
    EXPECT_EQ(Maildir::mailboxPaths(root), (QStringList{u"INBOX"_s, u"A/B"_s, u"Quorvane"_s}));
    EXPECT_TRUE(QFile::exists(root + u"/.Quorvane/maildirfolder"_s));

    const QString fresh = Maildir::deliver(root, "Subject: x\n\nfresh");
    ASSERT_TRUE(fresh.contains(u"/new/"_s));
    QString moved, error;
    ASSERT_TRUE(Maildir::moveIntoFolder(fresh, root + u"/.Quorvane"_s, &moved, &error));
    EXPECT_EQ(QFileInfo(moved).fileName(), Maildir::uniqueName(QFileInfo(fresh).fileName()) + u":2,"_s);
    EXPECT_TRUE(moved.contains(u"/.Quorvane/cur/"_s));

    QString seen;
    ASSERT_TRUE(Maildir::setSeen(moved, true, &seen, &error));
    EXPECT_TRUE(Maildir::isSeen(QFileInfo(seen).fileName()));
    QString back;
    ASSERT_TRUE(Maildir::moveIntoFolder(seen, root, &back, &error));
    EXPECT_EQ(Maildir::flags(QFileInfo(back).fileName()), u"S"_s);

    // A file of the same name already in the target stays, and so does ours.
    const QString twin = root + u"/.Quorvane/cur/"_s + QFileInfo(back).fileName();
    QFile other(twin);
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.write("other");
    other.close();
    EXPECT_FALSE(Maildir::moveIntoFolder(back, root + u"/.Quorvane"_s, &moved, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFile::exists(back));
    QFile kept(twin);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("other"));

    // A vanished file fails with a reason.
    EXPECT_FALSE(Maildir::moveIntoFolder(root + u"/cur/gone:2,"_s, root + u"/.Quorvane"_s, &moved, &error));
}

}  // namespace
