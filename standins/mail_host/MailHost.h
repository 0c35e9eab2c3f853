// The stand-in mail host: the library that finds a message by its
// Message-ID, the scans that keep the model (MailModel.h) in step with the
// Maildir++ folders, message viewers with toolbars, and the bundles loaded
// from <Library>/Mail/Bundles. Bundles see all of it only through the
// object runtime, by the class and method names Mail uses.
#pragma once

#include "MailModel.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QSet>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <mutex>

namespace QVMailHost {

class MessageViewer;

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

    // Reads the mailbox's new/ and cur/ again soon (from any thread): a file
    // of it was not where it was known to be.
    void rescanLater(const std::shared_ptr<MFMailbox> &mailbox);

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
    // Reads the account's folders: all of them, or only `directories` (the
    // root: its mailboxes; a mailbox's new/ or cur/).
    void scan(const std::shared_ptr<MFMailAccount> &account, bool duringOpen, const QSet<QString> *directories);
    // The steps of a scan, with mutex_ held.
    bool discoverMailboxes(MFMailAccount &account, QStringList &added, QStringList &removedFolders);
    void reconcileMailbox(MFMailAccount &account, const std::shared_ptr<MFMailbox> &mailbox, bool readNew, bool readCur,
                          QSet<QString> &fresh, QSet<QString> &listed, QHash<QString, qsizetype> &seen,
                          Changes &changes, bool duringOpen);
    void dropVanished(const MFMailAccount &account, const QStringList &directories,
                      const QHash<QString, qsizetype> &seen, Changes &changes);
    void countOut(const QString &directory);
    // Moves the message's record to `path`, keeping filesIn_ in step.
    void locate(MFMessage &message, const QString &path, const std::shared_ptr<MFMailbox> &mailbox);
    static QString directoryOf(const QString &path);
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
    // The earliest-arrived message of each Message-ID, and the others
    // (newest first).
    QHash<QString, std::weak_ptr<MFMessage>> messagesByID_;
    QMultiHash<QString, std::weak_ptr<MFMessage>> laterByID_;
    quint64 scanGeneration_ = 0;
    QFileSystemWatcher watcher_;
    QTimer rescanTimer_;
    qint64 firstPendingChange_ = 0;  // ms since epoch
    QSet<QString> pendingDirectories_;  // changed folders
    // How many known files each new/ and cur/ holds, so that a folder's
    // scan tells at once whether one of them is missing.
    QHash<QString, qsizetype> filesIn_;
    QStringList loadedBundles_;
    QSet<QString> refusedFiles_;  // reported once each, while they stay
    bool terminated_ = false;
};

}  // namespace QVMailHost
