// The plug-in in the mail host, talking to the application's real
// notification handler over the session bus, moving real Maildir files.
#include "mail_fixture.h"

#include "Maildir.h"
#include "QVMailList.h"
#include "QVNotificationProtocol.h"
#include "QVSpamManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <tuple>

using namespace Qt::StringLiterals;

namespace {

QString junk(const QString &root)
{
    return root + u"/.Quorvane"_s;
}

class EndToEnd : public MailHostTest {};

TEST_F(EndToEnd, NewUnreadInboxMessageIsSubmittedWithHeaderAndCappedBody)
{
    start();
    const QByteArray body(150'000, 'x');
    const QByteArray message =
        mailMessage(u"<big@example.com>"_s, u"Jane Doe <Jane.Doe@Example.COM>"_s, u"Big"_s, body);
    deliver(u"INBOX"_s, message);

    ASSERT_TRUE(waitFor([&] { return !received(kQVPluginDidReceiveNewMessageNotification).empty(); }));
    settle();
    const auto requests = received(kQVPluginDidReceiveNewMessageNotification);
    ASSERT_EQ(requests.size(), 1u);
    const qsizetype headerLength = message.size() - body.size();
    EXPECT_EQ(requests[0].dataValue(u"Message"_s), message.left(headerLength + 100'000));
    EXPECT_EQ(requests[0].stringValue(u"MessageID"_s), u"<big@example.com>"_s);
    EXPECT_EQ(requests[0].stringValue(u"Address"_s), u"Jane.Doe@Example.COM"_s);
    EXPECT_EQ(requests[0].stringValue(u"Domain"_s), u"Example.COM"_s);
    EXPECT_TRUE(received(kQVPluginNeedsToLaunchClientNotification).empty());
}

TEST_F(EndToEnd, SenderAddressAndDomainOfTable)
{
    start();
    const std::tuple<QString, QString, QString> cases[] = {
        {u"Ann <Ann@Example.org>"_s, u"Ann@Example.org"_s, u"Example.org"_s},
        {u"bare@example.net"_s, u"bare@example.net"_s, u"example.net"_s},
        {u"Broken <broken@example.com"_s, u"broken@example.com"_s, u"example.com"_s},
        {u"postmaster"_s, u"postmaster"_s, u""_s},
        {u"a@b@c <x@y@z>"_s, u"x@y@z"_s, u"y@z"_s},
    };
    int n = 0;
    for (const auto &[from, address, domain] : cases)
        deliver(u"INBOX"_s, mailMessage(u"<s%1@example.com>"_s.arg(n++), from, u"S"_s, "x"));
    ASSERT_TRUE(
        waitFor([&] { return received(kQVPluginDidReceiveNewMessageNotification).size() == std::size(cases); }));
    for (const auto &request : received(kQVPluginDidReceiveNewMessageNotification)) {
        const int index = request.stringValue(u"MessageID"_s).mid(2).section(u'@', 0, 0).toInt();
        EXPECT_EQ(request.stringValue(u"Address"_s), std::get<1>(cases[index])) << index;
        EXPECT_EQ(request.stringValue(u"Domain"_s), std::get<2>(cases[index])) << index;
    }
}

TEST_F(EndToEnd, AMessageWithoutMessageIDIsPostedWithItsBytesAlone)
{
    start();
    const QByteArray message = mailMessage(QString(), u"a@example.com"_s, u"No id"_s, "x");
    deliver(u"INBOX"_s, message);
    ASSERT_TRUE(waitFor([&] { return !received(kQVPluginDidReceiveNewMessageNotification).empty(); }));
    const auto request = received(kQVPluginDidReceiveNewMessageNotification).front();
    EXPECT_EQ(request.userInfo.keys(), QStringList{u"Message"_s});
    EXPECT_EQ(request.dataValue(u"Message"_s), message);
}

TEST_F(EndToEnd, AnswersForMessagesThatAreNoLongerWhereExpectedMoveNothing)
{
    auto *center = QVDistributedNotificationCenter::defaultCenter();
    start();
    deliver(u"INBOX"_s, mailMessage(u"<filed@example.com>"_s, u"a@example.com"_s, u"F"_s, "x"));
    deliver(u"INBOX"_s, mailMessage(u"<inbox@example.com>"_s, u"b@example.com"_s, u"I"_s, "x"));
    const auto filed = waitForMessage(u"<filed@example.com>"_s);
    const auto inbox = waitForMessage(u"<inbox@example.com>"_s);
    ASSERT_TRUE(filed && inbox);
    Maildir::createMailbox(root(), u"Archive"_s);
    host_->rescan(account_);
    ASSERT_EQ(host_->transferMessages({filed}, account_->mailboxWithPath(u"Archive"_s), true), 1);

    // The user filed it before the verdict; an unblock of a message outside
    // the junk mailbox; an answer naming no known message.
    center->postNotificationName(QString::fromLatin1(kQVClientDidDetermineSpamNotification),
                                 {{u"MessageID"_s, u"<filed@example.com>"_s}});
    center->postNotificationName(QString::fromLatin1(kQVClientDidUnblockLetterNotification),
                                 {{u"MessageID"_s, u"<inbox@example.com>"_s}});
    center->postNotificationName(QString::fromLatin1(kQVClientDidBlockLetterNotification),
                                 {{u"MessageID"_s, u"<unknown@example.com>"_s}});
    center->postNotificationName(QString::fromLatin1(kQVClientDidBlockLetterNotification));
    ASSERT_TRUE(waitFor([&] { return received(kQVClientDidBlockLetterNotification).size() == 2; }));
    settle();
    EXPECT_EQ(filed->currentMailbox()->accountRelativePath(), u"Archive"_s);
    EXPECT_EQ(inbox->currentMailbox()->accountRelativePath(), u"INBOX"_s);
}

TEST_F(EndToEnd, MessagesOfOtherAccountKindsAreNeverMoved)
{
    const auto feeds = host_->addAccount(u"Feeds"_s, dir_.path() + u"/Feeds"_s, false);
    ASSERT_TRUE(feeds);
    start();
    Maildir::deliver(dir_.path() + u"/Feeds"_s, mailMessage(u"<feed@example.com>"_s, u"f@example.com"_s, u"F"_s, "x"));
    const auto item = waitForMessage(u"<feed@example.com>"_s);
    ASSERT_TRUE(item);
    QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QString::fromLatin1(kQVClientDidBlockLetterNotification), {{u"MessageID"_s, u"<feed@example.com>"_s}});
    ASSERT_TRUE(waitFor([&] { return !received(kQVClientDidBlockLetterNotification).empty(); }));
    settle();
    EXPECT_EQ(item->currentMailbox()->accountRelativePath(), u"INBOX"_s);
    EXPECT_FALSE(QFileInfo::exists(dir_.path() + u"/Feeds/.Quorvane"_s));
}

TEST_F(EndToEnd, SpamVerdictMovesTheFileIntoTheJunkMailboxMadeUnderTheRoot)
{
    auto manager = makeManager(false);
    manager->blackList()->addItem(u"spammer.example"_s);
    start();
    const QString file =
        deliver(u"INBOX"_s,
                mailMessage(u"<spam@spammer.example>"_s, u"Offers <deal@spammer.example>"_s, u"Win"_s, "Buy now\r\n"));
    const QString unique = Maildir::uniqueName(QFileInfo(file).fileName());

    ASSERT_TRUE(waitFor([&] { return !filesIn(junk(root()) + u"/cur"_s).isEmpty(); }));
    EXPECT_EQ(filesIn(junk(root()) + u"/cur"_s), QStringList{unique + u":2,"_s});
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_TRUE(QFileInfo(junk(root()) + u"/new"_s).isDir());
    EXPECT_TRUE(QFileInfo(junk(root()) + u"/tmp"_s).isDir());
    ASSERT_EQ(received(kQVClientDidDetermineSpamNotification).size(), 1u);
    EXPECT_EQ(host_->messageWithMessageID(u"<spam@spammer.example>"_s)->currentMailbox()->accountRelativePath(),
              u"Quorvane"_s);
}

TEST_F(EndToEnd, ReadMessagesAndMessagesOutsideTheInboxAreNotSubmitted)
{
    start();
    deliver(u"INBOX"_s, mailMessage(u"<read@example.com>"_s, u"a@example.com"_s, u"Read"_s, "x"), u"S"_s);
    deliver(u"Archive"_s, mailMessage(u"<archived@example.com>"_s, u"b@example.com"_s, u"Archived"_s, "x"));
    ASSERT_TRUE(waitForMessage(u"<archived@example.com>"_s));
    ASSERT_TRUE(waitForMessage(u"<read@example.com>"_s));
    deliver(u"INBOX"_s, mailMessage(u"<unread@example.com>"_s, u"c@example.com"_s, u"Unread"_s, "x"));
    ASSERT_TRUE(waitFor([&] { return !received(kQVPluginDidReceiveNewMessageNotification).empty(); }));
    settle();
    const auto requests = received(kQVPluginDidReceiveNewMessageNotification);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].stringValue(u"MessageID"_s), u"<unread@example.com>"_s);
}

TEST_F(EndToEnd, MessagesSeenBeforeTheOpenAreIgnoredAndOddFilesAreLeftAlone)
{
    // Seen by a mail program before (in cur/), and elsewhere than the inbox.
    deliver(u"INBOX"_s, mailMessage(u"<old@example.com>"_s, u"a@example.com"_s, u"Old"_s, "x"), u""_s);
    deliver(u"Archive"_s, mailMessage(u"<filed@example.com>"_s, u"a@example.com"_s, u"Filed"_s, "x"));
    const QString oddFile = root() + u"/new/not-mail"_s;
    QFile odd(oddFile);
    ASSERT_TRUE(odd.open(QIODevice::WriteOnly));
    odd.write(QByteArray("\x00\x01\x02 binary", 10));
    odd.close();
    start();
    ASSERT_TRUE(host_->messageWithMessageID(u"<old@example.com>"_s));
    deliver(u"INBOX"_s, mailMessage(u"<fresh@example.com>"_s, u"b@example.com"_s, u"Fresh"_s, "x"));
    ASSERT_TRUE(waitFor([&] { return !received(kQVPluginDidReceiveNewMessageNotification).empty(); }));
    settle();
    const auto requests = received(kQVPluginDidReceiveNewMessageNotification);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].stringValue(u"MessageID"_s), u"<fresh@example.com>"_s);
    EXPECT_TRUE(QFile::exists(oddFile));
}

TEST_F(EndToEnd, WithoutTheApplicationEachBatchAsksForItOnce)
{
    start(false);
    // The handler asked once when it was made.
    ASSERT_TRUE(waitFor([&] { return !received(kQVPluginNeedsToLaunchClientNotification).empty(); }));
    settle();
    clearReceived();
    deliver(u"INBOX"_s, mailMessage(u"<one@example.com>"_s, u"a@example.com"_s, u"One"_s, "x"));
    deliver(u"INBOX"_s, mailMessage(u"<two@example.com>"_s, u"b@example.com"_s, u"Two"_s, "x"));
    ASSERT_TRUE(waitFor([&] { return received(kQVPluginDidReceiveNewMessageNotification).size() == 2; }));
    settle();
    EXPECT_EQ(received(kQVPluginNeedsToLaunchClientNotification).size(), 1u);
    EXPECT_EQ(received(kQVPluginDidReceiveNewMessageNotification).size(), 2u);
}

TEST_F(EndToEnd, BlockAndUnblockRoundTrip)
{
    auto manager = makeManager(true);
    start();
    const QByteArray body(1'200'000, 'y');
    const QByteArray message = mailMessage(u"<ham@example.com>"_s, u"Friend <friend@example.com>"_s, u"Hi"_s, body);
    const qsizetype headerLength = message.size() - body.size();
    manager->whiteList()->addItem(u"friend@example.com"_s);  // the verdict leaves it in the inbox
    deliver(u"INBOX"_s, message);
    const auto mail = waitForMessage(u"<ham@example.com>"_s);
    ASSERT_TRUE(mail);

    viewer_->setSelection(account_->inbox(), {mail});
    const auto block = pluginSegment(0);
    ASSERT_TRUE(block);
    EXPECT_TRUE(block->enabled);
    EXPECT_EQ(block->label, u"Block"_s);
    block->perform(block);
    ASSERT_TRUE(waitFor([&] { return mail->currentMailbox()->accountRelativePath() == u"Quorvane"_s; }));
    ASSERT_EQ(received(kQVPluginBlockMessageNotification).size(), 1u);
    EXPECT_EQ(received(kQVPluginBlockMessageNotification)[0].dataValue(u"Message"_s).size(), headerLength + 100'000);
    EXPECT_EQ(filesIn(junk(root()) + u"/cur"_s).size(), 1);

    viewer_->setSelection(account_->mailboxWithPath(u"Quorvane"_s), {mail});
    EXPECT_TRUE(block->enabled);
    EXPECT_EQ(block->label, u"Unblock"_s);
    EXPECT_TRUE(block->imagePath.endsWith(u"QV_Unblock.svg"_s));
    block->perform(block);
    ASSERT_TRUE(waitFor([&] { return mail->currentMailbox()->accountRelativePath() == u"INBOX"_s; }));
    const auto unblocks = received(kQVPluginUnblockMessageNotification);
    ASSERT_EQ(unblocks.size(), 1u);
    EXPECT_EQ(unblocks[0].dataValue(u"Message"_s), message.left(headerLength + 1'000'000));
    EXPECT_EQ(filesIn(root() + u"/cur"_s).size(), 1);
    EXPECT_TRUE(filesIn(junk(root()) + u"/cur"_s).isEmpty());
}

TEST_F(EndToEnd, ListActionsAddEachSelectedSender)
{
    auto manager = makeManager(false);
    start();
    deliver(u"INBOX"_s, mailMessage(u"<l1@example.com>"_s, u"Ann <Ann@Lists.Example>"_s, u"1"_s, "x"));
    deliver(u"INBOX"_s, mailMessage(u"<l2@example.com>"_s, u"postmaster"_s, u"2"_s, "x"));
    const auto first = waitForMessage(u"<l1@example.com>"_s);
    const auto second = waitForMessage(u"<l2@example.com>"_s);
    ASSERT_TRUE(first && second);

    viewer_->setSelection(account_->inbox(), {});
    const auto addDomain = menuItem(u"addDomainToBlackList:"_s);
    ASSERT_TRUE(addDomain);
    pluginSegment(1)->menu->update();
    EXPECT_FALSE(addDomain->enabled);

    viewer_->setSelection(account_->inbox(), {first, second});
    pluginSegment(1)->menu->update();
    EXPECT_TRUE(addDomain->enabled);
    const QVObjC::id sender = pluginSegment(1);
    for (const auto &action : {u"addAddressToBlackList:"_s, u"addDomainToBlackList:"_s, u"addAddressToWhiteList:"_s,
                               u"addDomainToWhiteList:"_s}) {
        const auto item = menuItem(action);
        ASSERT_TRUE(item);
        QVObjC::send(item->target.lock(), item->action, sender);
    }
    ASSERT_TRUE(waitFor([&] { return received(kQVPluginAddDomainToWhiteListNotification).size() == 2; }));
    settle();
    EXPECT_TRUE(manager->blackList()->containsItem(u"ann@lists.example"_s));
    EXPECT_TRUE(manager->blackList()->containsItem(u"postmaster"_s));
    EXPECT_TRUE(manager->blackList()->containsItem(u"lists.example"_s));
    EXPECT_TRUE(manager->whiteList()->containsItem(u"ann@lists.example"_s));
    EXPECT_TRUE(manager->whiteList()->containsItem(u"lists.example"_s));
    const auto domains = received(kQVPluginAddDomainToBlackListNotification);
    ASSERT_EQ(domains.size(), 2u);
    EXPECT_EQ(domains[0].stringValue(u"Domain"_s), u"Lists.Example"_s);
    EXPECT_EQ(domains[1].stringValue(u"Domain"_s), u""_s);
    EXPECT_EQ(received(kQVPluginAddAddressToBlackListNotification).size(), 2u);
    EXPECT_EQ(received(kQVPluginAddAddressToWhiteListNotification).size(), 2u);
}

TEST_F(EndToEnd, EmptyingTheJunkMailboxDeletesItsMessagesOnly)
{
    start();
    viewer_->setSelection(nullptr, {});
    const auto empty = menuItem(u"removeAllSpamMessages:"_s);
    ASSERT_TRUE(empty);
    pluginSegment(1)->menu->update();
    EXPECT_FALSE(empty->enabled);

    deliver(u"Quorvane"_s, mailMessage(u"<j1@example.com>"_s, u"a@example.com"_s, u"J1"_s, "x"));
    deliver(u"Quorvane"_s, mailMessage(u"<j2@example.com>"_s, u"b@example.com"_s, u"J2"_s, "x"), u"S"_s);
    const QString kept = deliver(u"INBOX"_s, mailMessage(u"<keep@example.com>"_s, u"c@example.com"_s, u"K"_s, "x"));
    ASSERT_TRUE(waitForMessage(u"<j1@example.com>"_s));
    ASSERT_TRUE(waitForMessage(u"<j2@example.com>"_s));

    viewer_->setSelection(account_->inbox(), {});
    pluginSegment(1)->menu->update();
    EXPECT_TRUE(empty->enabled);
    QVObjC::send(empty->target.lock(), empty->action, QVObjC::id(pluginSegment(1)));
    ASSERT_TRUE(waitFor(
        [&] { return filesIn(junk(root()) + u"/cur"_s).isEmpty() && filesIn(junk(root()) + u"/new"_s).isEmpty(); }));
    EXPECT_TRUE(QFile::exists(kept));
    EXPECT_FALSE(host_->messageWithMessageID(u"<j1@example.com>"_s));
}

TEST_F(EndToEnd, AnswerForAMessageMovedAwayByAnotherProgramIsDropped)
{
    start();
    const QString file = deliver(u"INBOX"_s, mailMessage(u"<moved@example.com>"_s, u"a@example.com"_s, u"M"_s, "x"));
    ASSERT_TRUE(waitFor([&] { return !received(kQVPluginDidReceiveNewMessageNotification).empty(); }));

    // Another mail program files it away, then the verdict arrives.
    const QString elsewhere = dir_.path() + u"/elsewhere"_s;
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    const QString movedTo = elsewhere + u"/"_s + QFileInfo(file).fileName();
    const QByteArray bytes = [&] {
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    ASSERT_TRUE(QFile::rename(file, movedTo));
    QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QString::fromLatin1(kQVClientDidDetermineSpamNotification), {{u"MessageID"_s, u"<moved@example.com>"_s}});
    ASSERT_TRUE(waitFor([&] { return !received(kQVClientDidDetermineSpamNotification).empty(); }));
    settle(500);

    QFile moved(movedTo);
    ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
    EXPECT_EQ(moved.readAll(), bytes);
    EXPECT_TRUE(filesIn(junk(root()) + u"/cur"_s).isEmpty());
    EXPECT_FALSE(host_->messageWithMessageID(u"<moved@example.com>"_s));
}

}  // namespace
