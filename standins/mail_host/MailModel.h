// The mail host's model: accounts kept as Maildir++ folders, their
// mailboxes, messages and stores, as bundles see them through the object
// runtime by the class and method names Mail uses. The host (MailHost.h)
// keeps them in step with the folders.
#pragma once

#include "QVObjectRuntime.h"

#include <QDateTime>
#include <QHash>

#include <memory>
#include <mutex>
#include <vector>

namespace QVMailHost {

class MailHost;
class MFMailAccount;
class MFMailbox;
class MFMessage;
class MFMessageStore;
class MessageViewer;

// Guards the fields of accounts, mailboxes, stores and messages that bundles
// read from any thread (the global queue too). Held only inside one getter
// or setter, never while taking another lock.
std::mutex &modelMutex();

class MFMailbox final : public QVObjC::Object {
public:
    MFMailbox(QVObjC::Class *isa, const std::shared_ptr<MFMailAccount> &account, QString path);

    QString uuid() const { return uuid_; }
    QString accountRelativePath() const { return path_; }
    QVObjC::id account() const;
    std::shared_ptr<MFMailAccount> mailAccount() const { return account_.lock(); }
    QString description() const;
    QString displayName() const;
    QString folder() const;
    std::shared_ptr<MFMessageStore> store() const { return store_; }
    void setStore(std::shared_ptr<MFMessageStore> store) { store_ = std::move(store); }

private:
    std::weak_ptr<MFMailAccount> account_;
    QString path_;
    QString uuid_;
    std::shared_ptr<MFMessageStore> store_;  // null for the root mailbox
};

class MFMailAccount final : public QVObjC::Object {
public:
    MFMailAccount(QVObjC::Class *isa, QString name, QString root);

    const QString &name() const { return name_; }
    const QString &root() const { return root_; }

    QVObjC::ObjectList allMailboxes() const;
    QVObjC::id rootMailbox() const { return rootMailbox_; }
    QVObjC::id createMailboxWithParent(QVObjC::id parent, QString name);
    QString description() const { return name_; }

    std::shared_ptr<MFMailbox> inbox() const;
    std::shared_ptr<MFMailbox> mailboxWithPath(const QString &path) const;
    std::vector<std::shared_ptr<MFMailbox>> mailboxes() const;
    // Adds the mailbox object for a folder that exists on disk.
    std::shared_ptr<MFMailbox> addMailbox(const QString &path);
    // The account's mailbox for that mailbox's path: the mailbox itself,
    // listed again when it was forgotten.
    std::shared_ptr<MFMailbox> adoptMailbox(const std::shared_ptr<MFMailbox> &mailbox);
    // Forgets a mailbox whose folder is gone; false for INBOX.
    bool removeMailbox(const QString &path);
    void setRootMailbox(std::shared_ptr<MFMailbox> root) { rootMailbox_ = std::move(root); }

private:
    QString name_;
    QString root_;
    QVObjC::id rootMailbox_;
    std::vector<std::shared_ptr<MFMailbox>> mailboxes_;
};

class MFMessage final : public QVObjC::Object {
public:
    MFMessage(QVObjC::Class *isa, QString uniqueName, QString path, const std::shared_ptr<MFMailbox> &mailbox);

    QVObjC::id mailbox() const;
    std::shared_ptr<MFMailbox> currentMailbox() const;
    QString path() const;
    // Whether the file is at `path`.
    bool isAt(const QString &path) const;
    void setLocation(QString path, const std::shared_ptr<MFMailbox> &mailbox);
    const QString &uniqueName() const { return uniqueName_; }

    bool isRead() const;
    QByteArray headerData() const;
    QByteArray bodyData() const;
    // The first `limit` bytes of the body; only they are read.
    QByteArray bodyDataWithLimit(qint64 limit) const;
    QString messageID() const { return messageID_; }
    QString sender() const { return sender_; }
    QString subject() const { return subject_; }
    QDateTime dateReceived() const { return dateReceived_; }
    QDateTime dateSent() const { return dateSent_; }
    QVObjC::ObjectList gmailLabels() const { return {}; }
    QString description() const { return messageID_.isEmpty() ? uniqueName_ : messageID_; }

    // Reads the header fields; false (with *error) when the file is not a
    // regular file or not a message.
    bool load(QString *error = nullptr);

    // The header ends at its blank line or after kHeaderLimit bytes, so
    // that no file can make a header of unbounded size.
    static constexpr qint64 kHeaderLimit = 256 * 1024;

private:
    // `length` bytes from `offset` (all when negative); null when the file
    // cannot be read (the host then looks for it again). Bodies beyond
    // kMaxMessageSize are cut there.
    QByteArray readRange(qint64 offset, qint64 length) const;

    const QString uniqueName_;
    // The file is <mailbox folder>/cur/ (or new/) <unique name><suffix_>;
    // a path of another form is kept whole in oddPath_.
    QString suffix_;
    QString oddPath_;
    bool inCur_ = false;
    std::weak_ptr<MFMailbox> mailbox_;
    QString messageID_;
    QString sender_;
    QString subject_;
    QDateTime dateReceived_;
    QDateTime dateSent_;
    qint64 headerLength_ = 0;
    bool read_ = false;  // from the file's flags

    // The host's bookkeeping, under its mutex: the last scan that found the
    // file, and whether the scan before this one missed it.
    friend class MailHost;
    quint64 lastSeen_ = 0;
    bool missing_ = false;
};

class MFMessageStore final : public QVObjC::Object {
public:
    MFMessageStore(QVObjC::Class *isa, const std::shared_ptr<MFMailbox> &mailbox) : Object(isa), mailbox_(mailbox) {}

    QVObjC::ObjectList copyOfAllMessages() const;
    void deleteMessages(QVObjC::ObjectList messages, bool moveToTrash);

    std::shared_ptr<MFMailbox> mailbox() const { return mailbox_.lock(); }
    void add(const std::shared_ptr<MFMessage> &message);
    void remove(const MFMessage *message);
    qsizetype count() const;

private:
    std::weak_ptr<MFMailbox> mailbox_;
    std::vector<std::shared_ptr<MFMessage>> messages_;  // in no particular order
    QHash<const MFMessage *, qsizetype> positions_;  // index into messages_
};

}  // namespace QVMailHost
