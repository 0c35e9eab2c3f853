// Every new message is judged once, whatever the timing: copies, rescues,
// other programs moving files under the plug-in, a crash of the
// application, bursts, mail that came while the host was not running.
#include "mail_fixture.h"

#include "Maildir.h"
#include "QVMailHandler.h"
#include "QVNotificationCenter.h"
#include "QVMailList.h"
#include "QVNotificationProtocol.h"
#include "QVRunningApplications.h"
#include "QVSpamManager.h"
#include "QVSpamNotificationHandler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

using namespace Qt::StringLiterals;
using QVMailHost::MFMessage;

namespace {

const QString kApplication = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
const QString kSpammer = u"Offers <deal@spammer.example>"_s;

QString junk(const QString &root)
{
    return root + u"/.Quorvane"_s;
}

QByteArray campaign(const QString &to, const QString &relay)
{
    QByteArray message = "Received: from " + relay.toUtf8() + " by mx.example.org\r\n";
    message += "From: " + kSpammer.toUtf8() + "\r\nTo: " + to.toUtf8() + "\r\n";
    message += "Subject: Win big\r\nMessage-ID: <campaign-7@spammer.example>\r\n\r\nBuy now\r\n";
    return message;
}

class Timing : public MailHostTest {
protected:
    void SetUp() override
    {
        MailHostTest::SetUp();
        manager_ = makeManager(false);
        manager_->blackList()->addItem(u"spammer.example"_s);
    }
    void TearDown() override
    {
        manager_.reset();
        MailHostTest::TearDown();
    }
    qsizetype inJunk() const { return filesIn(junk(root()) + u"/cur"_s).size(); }
    size_t posted() const { return received(kQVPluginDidReceiveNewMessageNotification).size(); }
    QString spam(int n) const
    {
        return deliver_(mailMessage(u"<spam%1@spammer.example>"_s.arg(n), kSpammer, u"Win"_s, "Buy"));
    }
    QString deliver_(const QByteArray &bytes) const { return Maildir::deliver(root(), bytes); }

    std::unique_ptr<QVSpamManager> manager_;
};

// A campaign mailed to two addresses of the user: same Message-ID, From and
// Subject, other To and Received. Neither copy is taken for a rescue.
TEST_F(Timing, BothCopiesOfACampaignToTwoAddressesEndInJunk)
{
    start();
    deliver(u"INBOX"_s, campaign(u"me@home.example"_s, u"relay-a.example"_s));
    ASSERT_TRUE(waitFor([&] { return inJunk() == 1; }));
    deliver(u"INBOX"_s, campaign(u"me@work.example"_s, u"relay-b.example"_s));
    ASSERT_TRUE(waitFor([&] { return inJunk() == 2; }));
    EXPECT_TRUE(filesIn(root() + u"/new"_s).isEmpty());

    // Delivered together, both wait for their verdicts at once: each answer
    // could be for either, so they move once both answers are in.
    deliver(u"INBOX"_s, campaign(u"me@home.example"_s, u"relay-c.example"_s));
    deliver(u"INBOX"_s, campaign(u"me@work.example"_s, u"relay-d.example"_s));
    ASSERT_TRUE(waitFor([&] { return inJunk() == 4; }));
    EXPECT_TRUE(filesIn(root() + u"/new"_s).isEmpty());
}

TEST_F(Timing, EveryOneOfFiveIdenticalCopiesEndsInJunk)
{
    start();
    const QByteArray copy = campaign(u"me@home.example"_s, u"relay-a.example"_s);
    for (int n = 0; n < 5; ++n) {
        deliver(u"INBOX"_s, copy);
        settle(100);
    }
    ASSERT_TRUE(waitFor([&] { return inJunk() == 5; }, 20'000));
    EXPECT_TRUE(filesIn(root() + u"/new"_s).isEmpty());
}

// Taken out of the junk folder by a program that writes a new file before
// it deletes the old one: a rescue, not judged again.
TEST_F(Timing, ARescueCopiedOutBeforeItsJunkCopyIsDeletedIsNotJudgedAgain)
{
    start();
    deliver(u"INBOX"_s, mailMessage(u"<kept@spammer.example>"_s, kSpammer, u"Win"_s, "Buy"));
    ASSERT_TRUE(waitFor([&] { return inJunk() == 1; }));
    ASSERT_EQ(posted(), 1u);
    const QString inJunkFile = junk(root()) + u"/cur/"_s + filesIn(junk(root()) + u"/cur"_s).front();
    QFile file(inJunkFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString back = deliver(u"INBOX"_s, file.readAll());
    file.close();
    settle(400);  // the host has seen the new file; its twin is still in junk
    ASSERT_TRUE(QFile::remove(inJunkFile));
    ASSERT_TRUE(waitFor([&] { return inJunk() == 0; }));
    settle(QVMailHandler::kRescueWaitMs + 500);
    EXPECT_EQ(posted(), 1u);
    EXPECT_TRUE(QFile::exists(back));
}

// Another program marks the file seen-by-a-client (new/x to cur/x:2,, still
// unread) just before the verdict arrives: the move is done all the same.
TEST_F(Timing, AMoveThatFailsBecauseAnotherProgramRenamedTheFileIsRetried)
{
    manager_.reset();  // the answer comes from the test
    start();
    const QString file = deliver(u"INBOX"_s, mailMessage(u"<renamed@spammer.example>"_s, kSpammer, u"Win"_s, "Buy"));
    ASSERT_TRUE(waitFor([&] { return posted() == 1; }));
    const QString renamed = root() + u"/cur/"_s + QFileInfo(file).fileName() + u":2,"_s;
    ASSERT_TRUE(QFile::rename(file, renamed));
    QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QString::fromLatin1(kQVClientDidDetermineSpamNotification), {{u"MessageID"_s, u"<renamed@spammer.example>"_s}});
    ASSERT_TRUE(waitFor([&] { return inJunk() == 1; }));
    EXPECT_FALSE(QFile::exists(renamed));
}

// The junk folder cannot take the message (its cur/ is a file): the move is
// tried again, and done once the folder can be made.
TEST_F(Timing, AMoveIntoAJunkFolderThatCannotBeWrittenIsDoneOnceItCan)
{
    ASSERT_TRUE(QDir().mkpath(junk(root())));
    QFile blocker(junk(root()) + u"/cur"_s);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    start();
    const QString file = spam(1);
    spam(2);
    ASSERT_TRUE(waitFor([&] { return received(kQVClientDidDetermineSpamNotification).size() == 2; }));
    settle(500);
    EXPECT_TRUE(QFile::exists(file));
    // Meanwhile the user files the second one: its move is no longer wanted.
    Maildir::createMailbox(root(), u"Archive"_s);
    host_->rescan(account_);
    const auto filed = host_->messageWithMessageID(u"<spam2@spammer.example>"_s);
    ASSERT_TRUE(filed);
    ASSERT_EQ(host_->transferMessages({filed}, account_->mailboxWithPath(u"Archive"_s), true), 1);
    ASSERT_TRUE(QFile::remove(junk(root()) + u"/cur"_s));
    ASSERT_TRUE(waitFor([&] { return inJunk() == 1; }));
    EXPECT_FALSE(QFile::exists(file));
    settle(500);
    EXPECT_EQ(filed->currentMailbox()->accountRelativePath(), u"Archive"_s);
    EXPECT_EQ(inJunk(), 1);
}

// The file moves between the scan that found it and the read: the post
// waits for the file to be found again, and carries its bytes.
TEST_F(Timing, AFileMovedBeforeItIsReadIsPostedWithItsBytesOnce)
{
    start();
    const QByteArray message = mailMessage(u"<moving@spammer.example>"_s, kSpammer, u"Win"_s, "Buy now");
    QObject mover;
    QVNotificationCenter::defaultCenter().addObserver(
        &mover, u"MessageStoreMessagesAdded_inMainThread_"_s, nullptr, [&](const QVNotification &) {
            for (const QString &name : filesIn(root() + u"/new"_s))
                QFile::rename(root() + u"/new/"_s + name, root() + u"/cur/"_s + name + u":2,"_s);
        });
    deliver(u"INBOX"_s, message);
    ASSERT_TRUE(waitFor([&] { return inJunk() == 1; }));
    settle();
    QVNotificationCenter::defaultCenter().removeObserver(&mover);
    const auto posts = received(kQVPluginDidReceiveNewMessageNotification);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].dataValue(u"Message"_s), message);
}

// The application dies with requests waiting; once it runs again, what it
// had not judged is judged. Judging a message twice moves nothing twice and
// changes no list.
TEST_F(Timing, WhatTheApplicationLostInACrashIsJudgedOnceItRunsAgain)
{
    manager_->whiteList()->addItem(u"friend.example"_s);
    start();
    deliver(u"INBOX"_s, mailMessage(u"<judged@spammer.example>"_s, kSpammer, u"Win"_s, "Buy"));
    ASSERT_TRUE(waitFor([&] { return inJunk() == 1; }));
    deliver(u"INBOX"_s, mailMessage(u"<ham@friend.example>"_s, u"a@friend.example"_s, u"Hi"_s, "Hello"));
    ASSERT_TRUE(waitFor([&] { return posted() == 2; }));
    settle();

    // Gone with its queue: these requests reach nobody.
    manager_.reset();
    for (int n = 0; n < 3; ++n)
        spam(n);
    ASSERT_TRUE(waitFor([&] { return posted() == 5; }));
    QVRunningApplications::releaseBundleIdentifier(kApplication);
    ownsApplicationName_ = false;
    settle();

    manager_ = makeManager(false);
    manager_->blackList()->addItem(u"spammer.example"_s);
    manager_->whiteList()->addItem(u"friend.example"_s);
    const qsizetype blocked = manager_->blackList()->numberOfItems();
    const qsizetype allowed = manager_->whiteList()->numberOfItems();
    ASSERT_TRUE(QVRunningApplications::claimBundleIdentifier(kApplication));
    ownsApplicationName_ = true;
    ASSERT_TRUE(waitFor([&] { return inJunk() == 4; }));
    settle();
    EXPECT_EQ(filesIn(root() + u"/new"_s).size(), 1);  // the ham
    EXPECT_EQ(inJunk(), 4);
    EXPECT_EQ(manager_->blackList()->numberOfItems(), blocked);
    EXPECT_EQ(manager_->whiteList()->numberOfItems(), allowed);
}

// The application's side of a flood: what its queue cannot take is dropped
// and named, request by request.
TEST_F(Timing, TheApplicationNamesEachVerdictRequestItDrops)
{
    manager_ = makeManager(true, 100, 3000);  // busy with the first until the rest arrived
    auto *center = QVDistributedNotificationCenter::defaultCenter();
    const QByteArray message = mailMessage(u"<x@bulk.example>"_s, u"offers@bulk.example"_s, u"Win"_s, "Buy");
    constexpr qsizetype kRequests = QVSpamNotificationHandler::kMaximumWaitingRequests + 200;
    for (qsizetype n = 0; n < kRequests; ++n) {
        center->postNotificationName(QString::fromLatin1(kQVPluginDidReceiveNewMessageNotification),
                                     {{u"Message"_s, message},
                                      {u"MessageID"_s, u"<flood%1@bulk.example>"_s.arg(n)},
                                      {u"Address"_s, u"offers@bulk.example"_s},
                                      {u"Domain"_s, u"bulk.example"_s}});
    }
    ASSERT_TRUE(waitFor(
        [&] {
            return received(kQVClientDidDetermineSpamNotification).size()
                + received(kQVClientDidDropMessageNotification).size()
                == size_t(kRequests);
        },
        60'000))
        << received(kQVClientDidDetermineSpamNotification).size() << " answered, "
        << received(kQVClientDidDropMessageNotification).size() << " dropped";
    const auto dropped = received(kQVClientDidDropMessageNotification);
    EXPECT_FALSE(dropped.empty());
    QSet<QString> answered;
    for (const auto &n : received(kQVClientDidDetermineSpamNotification))
        answered.insert(n.stringValue(u"MessageID"_s));
    for (const auto &n : dropped)
        EXPECT_FALSE(answered.contains(n.stringValue(u"MessageID"_s)));
}

// The plug-in's side: a request the application dropped is posted again.
TEST_F(Timing, ARequestTheApplicationDroppedIsPostedAgain)
{
    manager_.reset();  // the answers come from the test
    start();
    spam(1);
    ASSERT_TRUE(waitFor([&] { return posted() == 1; }));
    QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QString::fromLatin1(kQVClientDidDropMessageNotification), {{u"MessageID"_s, u"<spam1@spammer.example>"_s}});
    ASSERT_TRUE(waitFor([&] { return posted() == 2; }));
    const auto posts = received(kQVPluginDidReceiveNewMessageNotification);
    EXPECT_EQ(posts[1].dataValue(u"Message"_s), posts[0].dataValue(u"Message"_s));
    QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QString::fromLatin1(kQVClientDidDetermineSpamNotification), {{u"MessageID"_s, u"<spam1@spammer.example>"_s}});
    ASSERT_TRUE(waitFor([&] { return inJunk() == 1; }));
}

// A drop names only a Message-ID: when two different messages wait under
// it, both are posted again, and the answers to the spam one's two posts
// must not move the other one with it.
TEST_F(Timing, ADropUnderASharedMessageIDMovesNoOtherMessage)
{
    manager_.reset();  // the answers come from the test
    start();
    const QString shared = u"<shared@bulk.example>"_s;
    deliver(u"INBOX"_s, mailMessage(shared, u"friend@people.example"_s, u"Lunch"_s, "See you at noon"));
    deliver(u"INBOX"_s, mailMessage(shared, kSpammer, u"Win"_s, "Buy"));
    ASSERT_TRUE(waitFor([&] { return posted() == 2; }));
    auto *center = QVDistributedNotificationCenter::defaultCenter();
    center->postNotificationName(QString::fromLatin1(kQVClientDidDropMessageNotification), {{u"MessageID"_s, shared}});
    ASSERT_TRUE(waitFor([&] { return posted() == 4; }));
    // The spam's first post and its second are answered; the other
    // message's are not.
    for (int answer = 0; answer < 2; ++answer)
        center->postNotificationName(QString::fromLatin1(kQVClientDidDetermineSpamNotification),
                                     {{u"MessageID"_s, shared}});
    settle();
    EXPECT_EQ(inJunk(), 0);
}

// Mail delivered while the host was not running is examined at its start.
TEST_F(Timing, MailThatCameWhileTheHostWasNotRunningIsExamined)
{
    deliver(u"INBOX"_s, mailMessage(u"<early@spammer.example>"_s, kSpammer, u"Win"_s, "Buy"));
    deliver(u"INBOX"_s, mailMessage(u"<early@friend.example>"_s, u"a@friend.example"_s, u"Hi"_s, "Hello"));
    start();
    ASSERT_TRUE(waitFor([&] { return inJunk() == 1; }));
    settle();
    EXPECT_EQ(posted(), 2u);
}

// A Message-ID that the bus or the application cannot carry does not let a
// block-listed spam through.
TEST_F(Timing, AMessageIDTooLongOrHoldingANulStillBringsTheVerdictBack)
{
    start();
    const QByteArray nul = "From: " + kSpammer.toUtf8() + "\r\nSubject: Win\r\nMessage-ID: <a" + QByteArray(1, '\0')
        + "b@spammer.example>\r\n\r\nBuy\r\n";
    const QByteArray longID = "From: " + kSpammer.toUtf8() + "\r\nSubject: Win\r\nMessage-ID: <"
        + QByteArray(70'000, 'x') + "@spammer.example>\r\n\r\nBuy\r\n";
    deliver(u"INBOX"_s, nul);
    deliver(u"INBOX"_s, longID);
    ASSERT_TRUE(waitFor([&] { return inJunk() == 2; }));
}

// A junk folder that is a link would take spam out of the account: it is
// never followed, and the spam stays where it is.
TEST_F(Timing, AJunkFolderThatIsALinkIsNeverFollowed)
{
    const QString elsewhere = dir_.path() + u"/elsewhere"_s;
    ASSERT_TRUE(Maildir::createMailbox(elsewhere, u"INBOX"_s));
    ASSERT_TRUE(QFile::link(elsewhere, junk(root())));
    start();
    const QString file = spam(1);
    ASSERT_TRUE(waitFor([&] { return !received(kQVClientDidDetermineSpamNotification).empty(); }));
    settle(500);
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_TRUE(filesIn(elsewhere + u"/cur"_s).isEmpty());
    EXPECT_TRUE(filesIn(elsewhere + u"/new"_s).isEmpty());
}

}  // namespace
