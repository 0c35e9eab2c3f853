// The stand-in mail host: accounts kept as Maildir++ folders, their
// mailboxes, messages and stores, the library that finds a message by its
// Message-ID, message viewers with toolbars, and the bundles loaded from
// <Library>/Mail/Bundles. Bundles see all of it only through the object
// runtime, by the class and method names Mail uses.
#pragma once

#include "QVObjectRuntime.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QSet>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <mutex>

namespace QVMailHost {

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
    // Whether the file is at `path`, without copying the path.
    bool isAt(const QString &path) const;
    void setLocation(QString path, const std::shared_ptr<MFMailbox> &mailbox);
    const QString &uniqueName() const { return uniqueName_; }

    bool isRead() const;
    QByteArray headerData() const;
    QByteArray bodyData() const;
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
    // is gone. Bodies beyond kMaxMessageSize are cut there.
    QByteArray readRange(qint64 offset, qint64 length) const;

    const QString uniqueName_;
    QString path_;
    std::weak_ptr<MFMailbox> mailbox_;
    QString messageID_;
    QString sender_;
    QString subject_;
    QDateTime dateReceived_;
    QDateTime dateSent_;
    qint64 headerLength_ = 0;

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
    QHash<const MFMessage *, qsizetype> positions_;     // index into messages_
};

// The host. Its public entry points take one plain mutex (the stores are
// also used from bundles' worker threads) and release it before anything
// is announced, so observers may call back in.
class MailHost final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MailHost)

public:
    // One host at a time; `library` holds Mail/Bundles.
    explicit MailHost(QString library, QObject *parent = nullptr);
    ~MailHost() override;

    static MailHost *current();
    // The process's application object, the object of the termination
    // notification.
    static QVObjC::id application();

    // A Maildir++ folder as an account; `mailAccount` false makes an account
    // of another kind, whose messages are never moved by bundles. Null when
    // the folder cannot be made a Maildir, or the name or folder is taken.
    std::shared_ptr<MFMailAccount> addAccount(const QString &name, const QString &root, bool mailAccount = true);
    std::vector<std::shared_ptr<MFMailAccount>> accounts() const;

    // Reads every mailbox and starts watching; each store announces its
    // messages as added during open.
    void openStores();
    // Reads the account's folders again now (every account for null): new
    // files are announced, moved ones followed, vanished ones dropped.
    void rescan(const std::shared_ptr<MFMailAccount> &account);

    // Loads <library>/Mail/Bundles/*.mailbundle; gives the number loaded.
    int loadBundles();
    QStringList loadedBundles() const { return loadedBundles_; }

    // Viewers: made with their toolbar built through the runtime; closing
    // sends dealloc.
    std::shared_ptr<MessageViewer> newViewer();
    void closeViewer(const std::shared_ptr<MessageViewer> &viewer);
    const std::vector<std::shared_ptr<MessageViewer>> &viewers() const { return viewers_; }
    void forgetViewer(const MessageViewer *viewer);
    // Called for viewers that bundles ask for (newDefaultMessageViewer);
    // the program opens a window for them.
    void setViewerOpener(std::function<void(const std::shared_ptr<MessageViewer> &)> opener)
    {
        viewerOpener_ = std::move(opener);
    }

    // Posts the termination notification once.
    void terminate();

    // The core of moves and copies; the number of messages moved.
    qint64 transferMessages(const QVObjC::ObjectList &messages, const QVObjC::id &target, bool deleteOriginals);
    void deleteMessages(MFMessageStore &store, const QVObjC::ObjectList &messages);
    bool setRead(const std::shared_ptr<MFMessage> &message, bool read);

    // The library: the earliest-arrived message with this Message-ID,
    // wherever it lies now.
    std::shared_ptr<MFMessage> messageWithMessageID(const QString &messageID) const;
    QVObjC::ObjectList inboxMailboxes() const;

    // The quiet time after a folder change before it is read, and the most
    // a change waits however steadily changes follow.
    static constexpr int kRescanDelay = 50;
    static constexpr int kRescanCeiling = 250;

signals:
    // Messages that came into a mailbox: delivered, or moved there.
    void messagesAdded(const QString &uuid, const QVObjC::ObjectList &messages);
    // Messages that left a mailbox (moved away or deleted), by unique name.
    void messagesRemoved(const QString &uuid, const QStringList &uniqueNames);
    // A message's read state changed.
    void messageChanged(const QString &uuid, const QVObjC::id &message);
    void mailboxesChanged();

private:
    struct Changes;
    void scanAccount(const std::shared_ptr<MFMailAccount> &account, bool duringOpen);
    // The steps of a scan, with mutex_ held.
    bool discoverMailboxes(MFMailAccount &account);
    void reconcileMailbox(MFMailAccount &account, const std::shared_ptr<MFMailbox> &mailbox, QSet<QString> &fresh,
                          QSet<QString> &listed, Changes &changes);
    void dropVanished(const MFMailAccount &account, Changes &changes);
    void refuse(const QString &path, const QString &reason, QSet<QString> &listed);
    // Without mutex_: signals and the added-messages notification.
    void announce(const Changes &changes, bool duringOpen);

    void index(const MFMailAccount &account, const std::shared_ptr<MFMessage> &message);
    void unindex(const MFMailAccount &account, const std::shared_ptr<MFMessage> &message);
    void watch(const std::shared_ptr<MFMailAccount> &account);
    void scheduleRescan(const QString &path);
    void loadBundle(const QString &path);

    mutable std::mutex mutex_;
    QString library_;
    std::vector<std::shared_ptr<MFMailAccount>> accounts_;
    std::vector<std::shared_ptr<MessageViewer>> viewers_;
    std::function<void(const std::shared_ptr<MessageViewer> &)> viewerOpener_;
    // Each account's messages by unique name. A message that a scan misses
    // is dropped only when the next scan misses it too, so a file in flight
    // between two folders is followed.
    QHash<QString, QHash<QString, std::shared_ptr<MFMessage>>> messagesByAccount_;
    QHash<QString, std::vector<std::weak_ptr<MFMessage>>> messagesByID_;  // in order of arrival
    quint64 scanGeneration_ = 0;
    QFileSystemWatcher watcher_;
    QTimer rescanTimer_;
    qint64 firstPendingChange_ = 0;  // ms since epoch
    QStringList pendingRescans_;     // account roots
    QStringList loadedBundles_;
    QSet<QString> refusedFiles_;  // reported once each, while they stay
    bool terminated_ = false;
};

}  // namespace QVMailHost
