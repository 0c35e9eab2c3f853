// The host and the plug-in against hostile files and other programs that
// change the folders: links, pipes, odd names, headers without end, a junk
// folder removed behind their back, files in flight between two folders.
#include "mail_fixture.h"

#include "Maildir.h"
#include "QVMailList.h"
#include "QVNotificationProtocol.h"
#include "QVSpamManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString junk(const QString &root)
{
    return root + u"/.Quorvane"_s;
}

// The host's warnings while it lives.
QStringList *capturedLog = nullptr;

void capture(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (capturedLog)
        capturedLog->append(text);
}

class Hostile : public MailHostTest {
protected:
    void SetUp() override
    {
        MailHostTest::SetUp();
        capturedLog = &log_;
        previous_ = qInstallMessageHandler(capture);
    }
    void TearDown() override
    {
        qInstallMessageHandler(previous_);
        capturedLog = nullptr;
        MailHostTest::TearDown();
    }
    qsizetype logged(const QString &text) const
    {
        return std::count_if(log_.begin(), log_.end(), [&](const QString &line) { return line.contains(text); });
    }
    size_t submitted() const { return received(kQVPluginDidReceiveNewMessageNotification).size(); }

    QStringList log_;
    QtMessageHandler previous_ = nullptr;
};

TEST_F(Hostile, LinksPipesAndOddNamesAreSkippedOnceAndNeverOpened)
{
    start();
    // A file the user may not hand out, behind a link in new/.
    const QString secret = dir_.path() + u"/secret"_s;
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(mailMessage(u"<secret@x>"_s, u"root@x"_s, u"Secret"_s, "the secret bytes"));
    }
    ASSERT_TRUE(QFile::link(secret, root() + u"/new/1700000000.link"_s));
    ASSERT_TRUE(QFile::link(secret, root() + u"/cur/1700000001.link:2,"_s));
    // A pipe that would block whoever opens it, and a name that is no UTF-8.
    ASSERT_EQ(::mkfifo(QFile::encodeName(root() + u"/new/1700000002.pipe"_s).constData(), 0600), 0);
    const QByteArray oddName = QFile::encodeName(root() + u"/new/"_s) + "1700000003.\xff\xfe";
    const int fd = ::open(oddName.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    const QByteArray odd = mailMessage(u"<odd-name@x>"_s, u"a@x"_s, u"Odd"_s, "x");
    ASSERT_EQ(::write(fd, odd.constData(), size_t(odd.size())), odd.size());
    ::close(fd);

    deliver(u"INBOX"_s, mailMessage(u"<after@x>"_s, u"b@x"_s, u"After"_s, "x"));
    ASSERT_TRUE(waitFor([&] { return submitted() == 1; }));
    host_->rescan(account_);
    host_->rescan(account_);
    settle();

    ASSERT_EQ(submitted(), 1u);
    EXPECT_EQ(received(kQVPluginDidReceiveNewMessageNotification)[0].stringValue(u"MessageID"_s), u"<after@x>"_s);
    EXPECT_FALSE(host_->messageWithMessageID(u"<secret@x>"_s));
    EXPECT_FALSE(host_->messageWithMessageID(u"<odd-name@x>"_s));
    EXPECT_EQ(logged(u"symbolic link"_s), 2);
    EXPECT_EQ(logged(u"not a regular file"_s), 1);
    EXPECT_EQ(logged(u"not UTF-8"_s), 1);
}

TEST_F(Hostile, AHeaderWithoutEndIsCutSoEveryPostStaysSmall)
{
    start();
    // Bare CR line ends: no line of the header ever ends, so no blank line.
    QByteArray message = "From: a@x\rSubject: cr\rMessage-ID: <cr@x>\r\r";
    while (message.size() < 3 * 1024 * 1024)
        message += QByteArray(1000, 'z') + '\r';
    deliver(u"INBOX"_s, message);
    ASSERT_TRUE(waitFor([&] { return submitted() == 1; }));
    const QByteArray posted = received(kQVPluginDidReceiveNewMessageNotification)[0].dataValue(u"Message"_s);
    EXPECT_EQ(posted, message.left(256 * 1024 + 100'000));

    // Its one "line" holds every field: the host reads no Message-ID.
    const auto all = account_->inbox()->store()->copyOfAllMessages();
    ASSERT_EQ(all.size(), 1);
    const auto stored = QVObjC::cast<QVMailHost::MFMessage>(all.front());
    EXPECT_TRUE(stored->messageID().isEmpty());
    EXPECT_EQ(stored->headerData().size(), 256 * 1024);
    EXPECT_EQ(stored->headerData() + stored->bodyData(), message);
}

TEST_F(Hostile, TheJunkFolderIsMadeAgainWhenAMoveNeedsIt)
{
    auto manager = makeManager(false);
    manager->blackList()->addItem(u"spammer.example"_s);
    start();
    int n = 0;
    const auto spam = [&] {
        return deliver(u"INBOX"_s,
                       mailMessage(u"<spam%1@spammer.example>"_s.arg(++n), u"s@spammer.example"_s, u"Win"_s, "Buy"));
    };
    spam();
    ASSERT_TRUE(waitFor([&] { return filesIn(junk(root()) + u"/cur"_s).size() == 1; }));

    // Removed while the host runs, seen by a scan before the next spam...
    ASSERT_TRUE(QDir(junk(root())).removeRecursively());
    ASSERT_TRUE(waitFor([&] { return !account_->mailboxWithPath(u"Quorvane"_s); }));
    const QString second = spam();
    ASSERT_TRUE(waitFor([&] { return filesIn(junk(root()) + u"/cur"_s).size() == 1; }));
    EXPECT_FALSE(QFile::exists(second));

    // ...and removed just before a move, with no scan in between.
    ASSERT_TRUE(QDir(junk(root())).removeRecursively());
    const QString third = spam();
    ASSERT_TRUE(waitFor([&] { return filesIn(junk(root()) + u"/cur"_s).size() == 1; }));
    EXPECT_FALSE(QFile::exists(third));
    EXPECT_EQ(host_->messageWithMessageID(u"<spam3@spammer.example>"_s)->currentMailbox()->accountRelativePath(),
              u"Quorvane"_s);
}

TEST_F(Hostile, AFileInFlightBetweenTwoScansIsFollowedNotSubmittedAgain)
{
    start();
    const QString file = deliver(u"Quorvane"_s, mailMessage(u"<flight@x>"_s, u"a@x"_s, u"Flight"_s, "x"));
    const auto message = waitForMessage(u"<flight@x>"_s);
    ASSERT_TRUE(message);
    settle();
    ASSERT_EQ(submitted(), 0u);

    // Another program moves it out of the account and back into the inbox;
    // a scan falls between the two steps.
    const QString away = dir_.path() + u"/in-flight"_s;
    ASSERT_TRUE(QFile::rename(file, away));
    host_->rescan(account_);
    EXPECT_EQ(host_->messageWithMessageID(u"<flight@x>"_s), message);
    const QString back = root() + u"/new/"_s + QFileInfo(file).fileName();
    ASSERT_TRUE(QFile::rename(away, back));
    host_->rescan(account_);
    settle();

    EXPECT_EQ(message->path(), back);
    EXPECT_EQ(message->currentMailbox(), account_->inbox());
    EXPECT_EQ(submitted(), 0u);
    EXPECT_EQ(logged(u"is gone"_s), 0);
}

TEST_F(Hostile, ARefusedFileIsForgottenOnceItIsGone)
{
    start();
    // A half-written file that is no message yet, under a name that a
    // delivery agent later uses for a real message.
    const QString name = root() + u"/new/1700000009.M1P1Q1.host"_s;
    const auto write = [&](const QByteArray &bytes) {
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    };
    write("\x01\x02 no header here");
    host_->rescan(account_);
    host_->rescan(account_);
    EXPECT_EQ(logged(u"not a mail message"_s), 1);

    ASSERT_TRUE(QFile::remove(name));
    host_->rescan(account_);
    write(mailMessage(u"<later@x>"_s, u"a@x"_s, u"Later"_s, "x"));
    host_->rescan(account_);
    ASSERT_TRUE(waitFor([&] { return submitted() == 1; }));
    EXPECT_EQ(received(kQVPluginDidReceiveNewMessageNotification)[0].stringValue(u"MessageID"_s), u"<later@x>"_s);
}

TEST_F(Hostile, AccountsOfOneNameOrFolderAreRefused)
{
    EXPECT_FALSE(host_->addAccount(u"Work"_s, dir_.path() + u"/Other"_s));
    EXPECT_FALSE(host_->addAccount(u"Other"_s, root()));
    EXPECT_TRUE(host_->addAccount(u"Other"_s, dir_.path() + u"/Other"_s));
}

}  // namespace
