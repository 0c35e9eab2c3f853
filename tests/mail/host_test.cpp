// The mail host over Maildirs that other programs change meanwhile.
#include "mail_fixture.h"

#include "Maildir.h"
#include "QVNotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;
using QVMailHost::MFMessage;

namespace {

class Host : public MailHostTest {
protected:
    void SetUp() override
    {
        MailHostTest::SetUp();
        QVNotificationCenter::defaultCenter().addObserver(
            this, u"MessageStoreMessagesAdded_inMainThread_"_s, nullptr, [this](const QVNotification &n) {
                batches_.push_back({n.userInfo.value(u"messages"_s).value<QVObjC::ObjectList>().size(),
                                    n.userInfo.value(u"MessageStoreMessagesAddedDuringOpen"_s).toBool()});
            });
    }
    void TearDown() override
    {
        QVNotificationCenter::defaultCenter().removeObserver(this);
        MailHostTest::TearDown();
    }
    std::vector<std::pair<qsizetype, bool>> batches_;  // messages, during open
};

TEST_F(Host, OpeningAnnouncesEveryStoreAndLaterMailOnce)
{
    deliver(u"INBOX"_s, mailMessage(u"<a@x>"_s, u"a@x"_s, u"A"_s, "x"));
    deliver(u"Archive"_s, mailMessage(u"<b@x>"_s, u"b@x"_s, u"B"_s, "x"));
    deliver(u"INBOX"_s, mailMessage(u"<seen@x>"_s, u"s@x"_s, u"Seen"_s, "x"), u""_s);
    host_->openStores();
    ASSERT_EQ(batches_.size(), 2u);  // INBOX (its cur/) and Archive
    for (const auto &[count, duringOpen] : batches_) {
        EXPECT_EQ(count, 1);
        EXPECT_TRUE(duringOpen);
    }
    // What lay in the inbox's new/ follows as new mail.
    ASSERT_TRUE(waitFor([&] { return batches_.size() == 3; }));
    EXPECT_EQ(batches_[2], (std::pair<qsizetype, bool>{1, false}));
    batches_.clear();
    deliver(u"INBOX"_s, mailMessage(u"<c@x>"_s, u"c@x"_s, u"C"_s, "x"));
    ASSERT_TRUE(waitFor([&] { return !batches_.empty(); }));
    settle();
    ASSERT_EQ(batches_.size(), 1u);
    EXPECT_EQ(batches_[0], (std::pair<qsizetype, bool>{1, false}));
}

TEST_F(Host, FollowsMovesAndDeletionsByOtherPrograms)
{
    host_->openStores();
    const QString file = deliver(u"INBOX"_s, mailMessage(u"<m@x>"_s, u"m@x"_s, u"M"_s, "x"));
    const auto message = waitForMessage(u"<m@x>"_s);
    ASSERT_TRUE(message);
    settle();
    batches_.clear();

    // Another program files it into a folder it just made, marking it read.
    ASSERT_TRUE(Maildir::createMailbox(root(), u"Projects/2026"_s));
    const QString filed = root() + u"/.Projects.2026/cur/"_s + QFileInfo(file).fileName() + u":2,S"_s;
    ASSERT_TRUE(QFile::rename(file, filed));
    ASSERT_TRUE(waitFor([&] { return message->path() == filed; }));
    EXPECT_EQ(message->currentMailbox()->accountRelativePath(), u"Projects/2026"_s);
    EXPECT_TRUE(message->isRead());
    EXPECT_EQ(host_->messageWithMessageID(u"<m@x>"_s), message);
    EXPECT_TRUE(batches_.empty());  // a move is not new mail

    ASSERT_TRUE(QFile::remove(filed));
    ASSERT_TRUE(waitFor([&] { return !host_->messageWithMessageID(u"<m@x>"_s); }));
    EXPECT_TRUE(account_->mailboxWithPath(u"Projects/2026"_s)->store()->copyOfAllMessages().isEmpty());
}

TEST_F(Host, MovesCopiesAndReadStateWorkOnTheFiles)
{
    host_->openStores();
    deliver(u"INBOX"_s, mailMessage(u"<t@x>"_s, u"t@x"_s, u"T"_s, "body"));
    const auto message = waitForMessage(u"<t@x>"_s);
    ASSERT_TRUE(message);
    const QVObjC::id archive = QVObjC::send<QVObjC::id>(QVObjC::id(account_), u"createMailboxWithParent:name:"_s,
                                                        account_->rootMailbox(), u"Archive"_s);
    ASSERT_TRUE(archive);
    EXPECT_EQ(QVObjC::send<QString>(archive, u"accountRelativePath"_s), u"Archive"_s);
    EXPECT_FALSE(QVObjC::send<QVObjC::id>(QVObjC::id(account_), u"createMailboxWithParent:name:"_s,
                                          account_->rootMailbox(), u"../escape"_s));

    // A copy is a second message; the original stays.
    EXPECT_EQ(host_->transferMessages({message}, archive, false), 1);
    const auto archived = [&] { return filesIn(root() + u"/.Archive/new"_s) + filesIn(root() + u"/.Archive/cur"_s); };
    ASSERT_TRUE(waitFor([&] { return archived().size() == 1; }));
    EXPECT_EQ(message->currentMailbox(), account_->inbox());

    EXPECT_TRUE(host_->setRead(message, true));
    EXPECT_TRUE(message->isRead());
    EXPECT_EQ(host_->transferMessages({message}, archive, true), 1);
    EXPECT_EQ(message->currentMailbox()->accountRelativePath(), u"Archive"_s);
    EXPECT_TRUE(Maildir::isSeen(QFileInfo(message->path()).fileName()));
    EXPECT_EQ(archived().size(), 2);
    EXPECT_EQ(message->bodyData(), QByteArray("body"));
    EXPECT_TRUE(message->headerData().endsWith("\r\n\r\n"));

    // Not a mailbox: nothing moves.
    EXPECT_EQ(host_->transferMessages({message}, QVObjC::id(account_), true), 0);
}

}  // namespace
