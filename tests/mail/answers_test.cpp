// Which message an answer moves, over real Maildir folders: only one that
// was posted under that Message-ID and still waits for the answer.
#include "mail_fixture.h"

#include "Maildir.h"
#include "QVMailList.h"
#include "QVNotificationProtocol.h"
#include "QVPendingAnswers.h"
#include "QVSpamManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;
using QVMailHost::MFMessage;

namespace {

QString junk(const QString &root)
{
    return root + u"/.Quorvane"_s;
}

void answer(const char *name, const QString &messageID)
{
    QVDistributedNotificationCenter::defaultCenter()->postNotificationName(QString::fromLatin1(name),
                                                                           {{u"MessageID"_s, messageID}});
}

class Answers : public MailHostTest {
protected:
    QString where(const std::shared_ptr<MFMessage> &message) const
    {
        return message->currentMailbox()->accountRelativePath();
    }
    // Waits until the plug-in has heard `count` answers of that name, and a
    // little more for the moves they start.
    void heard(const char *name, size_t count)
    {
        ASSERT_TRUE(waitFor([&] { return received(name).size() >= count; }));
        settle();
    }
};

// The attack of the issue: a spam that reuses the Message-ID of a message
// the user has read (and of one filed elsewhere) must move itself only.
TEST_F(Answers, ASpamReusingTheMessageIDOfReadMailMovesOnlyItself)
{
    auto manager = makeManager(false);
    manager->blackList()->addItem(u"spammer.example"_s);
    const QString id = u"<list-post-42@lists.example.org>"_s;
    deliver(u"INBOX"_s, mailMessage(id, u"List <list@lists.example.org>"_s, u"Weekly news"_s, "Hello list\r\n"),
            u"S"_s);
    deliver(u"Archive"_s, mailMessage(id, u"List <list@lists.example.org>"_s, u"Weekly news"_s, "Hello list\r\n"));
    start();
    const auto read = waitForMessage(id);
    ASSERT_TRUE(read);
    const QString readFile = read->path();

    deliver(u"INBOX"_s, mailMessage(id, u"Offers <deal@spammer.example>"_s, u"Win"_s, "Buy now\r\n"));
    ASSERT_TRUE(waitFor([&] { return filesIn(junk(root()) + u"/cur"_s).size() == 1; }));
    heard(kQVClientDidDetermineSpamNotification, 1);

    // The spam went; the read message and the archived one stayed.
    EXPECT_TRUE(QFile::exists(readFile));
    EXPECT_EQ(filesIn(root() + u"/cur"_s).size(), 1);
    EXPECT_EQ(filesIn(root() + u"/.Archive/new"_s).size(), 1);
    QFile moved(junk(root()) + u"/cur/"_s + filesIn(junk(root()) + u"/cur"_s).front());
    ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
    EXPECT_TRUE(moved.readAll().contains("Buy now"));

    // A second answer under that Message-ID finds nothing waiting.
    answer(kQVClientDidDetermineSpamNotification, id);
    heard(kQVClientDidDetermineSpamNotification, 2);
    EXPECT_TRUE(QFile::exists(readFile));
    EXPECT_EQ(filesIn(junk(root()) + u"/cur"_s).size(), 1);
}

TEST_F(Answers, AVerdictMovesOnlyWhatWasPostedAndIsStillInTheInbox)
{
    start();
    struct Case {
        const char *name;
        QString messageID;
        QString flags;  // as delivered; null: new/
        bool readLater;  // the user opens it before the answer
        bool moved;
    };
    const Case cases[] = {
        {"never submitted: read on arrival", u"<read@x>"_s, u"S"_s, false, false},
        {"opened before the verdict, still in the inbox", u"<read-later@x>"_s, QString(), true, true},
        {"no Message-ID at all", QString(), QString(), false, false},
    };
    for (const Case &c : cases) {
        deliver(u"INBOX"_s, mailMessage(c.messageID, u"a@x"_s, QString::fromLatin1(c.name), "x"), c.flags);
    }
    ASSERT_TRUE(waitFor([&] { return account_->inbox()->store()->count() == qsizetype(std::size(cases)); }));
    ASSERT_TRUE(waitFor([&] { return received(kQVPluginDidReceiveNewMessageNotification).size() == 2; }));
    for (const Case &c : cases) {
        if (!c.readLater)
            continue;
        const auto message = host_->messageWithMessageID(c.messageID);
        ASSERT_TRUE(message);
        ASSERT_TRUE(host_->setRead(message, true));
    }
    for (const Case &c : cases)
        answer(kQVClientDidDetermineSpamNotification, c.messageID);
    heard(kQVClientDidDetermineSpamNotification, std::size(cases));
    for (const Case &c : cases) {
        if (c.messageID.isEmpty())
            continue;
        EXPECT_EQ(where(host_->messageWithMessageID(c.messageID)), c.moved ? u"Quorvane"_s : u"INBOX"_s) << c.name;
    }
}

TEST_F(Answers, TwoDifferentWaitingMessagesUnderOneMessageIDAreBothLeftCopiesAreNot)
{
    start();
    const QString shared = u"<shared@x>"_s;
    deliver(u"INBOX"_s, mailMessage(shared, u"friend@x"_s, u"Real"_s, "from a friend"));
    ASSERT_TRUE(waitFor([&] { return received(kQVPluginDidReceiveNewMessageNotification).size() == 1; }));
    deliver(u"INBOX"_s, mailMessage(shared, u"spam@y"_s, u"Forged"_s, "forged"));
    ASSERT_TRUE(waitFor([&] { return received(kQVPluginDidReceiveNewMessageNotification).size() == 2; }));

    answer(kQVClientDidDetermineSpamNotification, shared);
    heard(kQVClientDidDetermineSpamNotification, 1);
    EXPECT_EQ(account_->inbox()->store()->count(), 2);
    EXPECT_FALSE(QFileInfo::exists(junk(root())));

    // Two copies of one message may stand for each other: the earliest goes.
    const QByteArray copy = mailMessage(u"<copy@x>"_s, u"list@x"_s, u"Twice"_s, "same bytes");
    const QString first = deliver(u"INBOX"_s, copy);
    ASSERT_TRUE(waitFor([&] { return received(kQVPluginDidReceiveNewMessageNotification).size() == 3; }));
    const QString second = deliver(u"INBOX"_s, copy);
    ASSERT_TRUE(waitFor([&] { return received(kQVPluginDidReceiveNewMessageNotification).size() == 4; }));
    answer(kQVClientDidDetermineSpamNotification, u"<copy@x>"_s);
    ASSERT_TRUE(waitFor([&] { return filesIn(junk(root()) + u"/cur"_s).size() == 1; }));
    EXPECT_FALSE(QFile::exists(first));
    EXPECT_TRUE(QFile::exists(second));
}

TEST_F(Answers, BlockMovesTheSelectedMessageNotAnotherWithItsMessageID)
{
    auto manager = makeManager(true);
    manager->whiteList()->addItem(u"x"_s);  // verdicts leave everything in the inbox
    const QString shared = u"<twin@x>"_s;
    const QString other = deliver(u"INBOX"_s, mailMessage(shared, u"a@x"_s, u"First"_s, "first"), u"S"_s);
    start();
    deliver(u"INBOX"_s, mailMessage(shared, u"b@x"_s, u"Second"_s, "second"));
    ASSERT_TRUE(waitFor([&] { return account_->inbox()->store()->count() == 2; }));
    std::shared_ptr<MFMessage> selected;
    for (const auto &object : account_->inbox()->store()->copyOfAllMessages()) {
        const auto message = QVObjC::cast<MFMessage>(object);
        if (message->subject() == u"Second"_s)
            selected = message;
    }
    ASSERT_TRUE(selected);

    viewer_->setSelection(account_->inbox(), {selected});
    const auto block = pluginSegment(0);
    ASSERT_TRUE(block);
    block->perform(block);
    ASSERT_TRUE(waitFor([&] { return where(selected) == u"Quorvane"_s; }));
    heard(kQVClientDidBlockLetterNotification, 1);
    EXPECT_TRUE(QFile::exists(other));

    // Unblocking brings back that message; a stray unblock moves nothing.
    viewer_->setSelection(account_->mailboxWithPath(u"Quorvane"_s), {selected});
    block->perform(block);
    ASSERT_TRUE(waitFor([&] { return where(selected) == u"INBOX"_s; }));
    answer(kQVClientDidBlockLetterNotification, shared);
    heard(kQVClientDidBlockLetterNotification, 2);
    EXPECT_EQ(where(selected), u"INBOX"_s);
    EXPECT_TRUE(QFile::exists(other));
}

TEST_F(Answers, SpamTakenOutOfTheJunkFolderAsANewFileIsNotJudgedAgain)
{
    auto manager = makeManager(false);
    manager->blackList()->addItem(u"spammer.example"_s);
    start();
    const QByteArray spam = mailMessage(u"<back@spammer.example>"_s, u"s@spammer.example"_s, u"Win"_s, "Buy");
    deliver(u"INBOX"_s, spam);
    ASSERT_TRUE(waitFor([&] { return filesIn(junk(root()) + u"/cur"_s).size() == 1; }));
    ASSERT_EQ(received(kQVPluginDidReceiveNewMessageNotification).size(), 1u);

    // Another program copies it back into the inbox, the way Python's
    // mailbox or a mail client does: a new file, the old one deleted.
    const QString inJunk = junk(root()) + u"/cur/"_s + filesIn(junk(root()) + u"/cur"_s).front();
    QFile file(inJunk);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    ASSERT_TRUE(QFile::remove(inJunk));
    const QString back = deliver(u"INBOX"_s, bytes);
    ASSERT_TRUE(waitFor([&] {
        const auto message = host_->messageWithMessageID(u"<back@spammer.example>"_s);
        return message && message->path() == back;
    }));
    settle();
    EXPECT_EQ(received(kQVPluginDidReceiveNewMessageNotification).size(), 1u);
    EXPECT_TRUE(QFile::exists(back));

    // Another message under that Message-ID is judged as usual.
    deliver(u"INBOX"_s, mailMessage(u"<back@spammer.example>"_s, u"s@spammer.example"_s, u"Other"_s, "Buy"));
    ASSERT_TRUE(waitFor([&] { return received(kQVPluginDidReceiveNewMessageNotification).size() == 2u; }));
}

TEST(PendingAnswers, EntriesAreBoundedAndGoneMessagesForgotten)
{
    QVPendingAnswers pending(8);
    QVObjC::Class *cls = QVObjC::NSClassFromString(u"NSObject"_s);
    std::vector<QVObjC::id> alive;
    for (int i = 0; i < 20; ++i) {
        auto message = std::make_shared<QVObjC::Object>(cls);
        pending.add(QVPendingAnswers::Kind::Verdict, u"<%1@x>"_s.arg(i), message, "f");
        if (i % 2 == 0)
            alive.push_back(message);  // the others are gone at once
        EXPECT_LE(pending.size(), 8);
    }
    const auto always = [](const QVObjC::id &) { return true; };
    // The newest live entries are still answered; gone ones never are.
    EXPECT_EQ(pending.take(QVPendingAnswers::Kind::Verdict, u"<18@x>"_s, always).outcome,
              QVPendingAnswers::Outcome::Found);
    EXPECT_EQ(pending.take(QVPendingAnswers::Kind::Verdict, u"<19@x>"_s, always).outcome,
              QVPendingAnswers::Outcome::None);
    EXPECT_EQ(pending.take(QVPendingAnswers::Kind::Verdict, u"<0@x>"_s, always).outcome,
              QVPendingAnswers::Outcome::None);
    // Kinds do not answer for each other.
    EXPECT_EQ(pending.take(QVPendingAnswers::Kind::Block, u"<16@x>"_s, always).outcome,
              QVPendingAnswers::Outcome::None);
    EXPECT_EQ(pending.take(QVPendingAnswers::Kind::Verdict, u"<16@x>"_s, always).outcome,
              QVPendingAnswers::Outcome::Found);
}

}  // namespace
