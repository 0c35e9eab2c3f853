#include "MailHost.h"

#include "Maildir.h"
#include "MessageViewer.h"
#include "PropertyList.h"
#include "QVNotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QThread>

#include <dlfcn.h>
#include <malloc.h>

Q_LOGGING_CATEGORY(lcMailHost, "quorvane.mailhost")

namespace QVMailHost {

namespace {

const QString kMessagesAdded = QStringLiteral("MessageStoreMessagesAdded_inMainThread_");
const QString kWillTerminate = QStringLiteral("NSApplicationWillTerminateNotification");

MailHost *currentHost = nullptr;

}  // namespace

// The host

MailHost::MailHost(QString library, QObject *parent) : QObject(parent), library_(std::move(library))
{
    registerHostClasses();
    currentHost = this;
    rescanTimer_.setSingleShot(true);
    rescanTimer_.setInterval(kRescanDelay);
    connect(&rescanTimer_, &QTimer::timeout, this, [this] {
        const QSet<QString> directories = std::exchange(pendingDirectories_, {});
        firstPendingChange_ = 0;
        for (const auto &account : accounts()) {
            QSet<QString> own;
            for (const QString &directory : directories) {
                if (directory == account->root() || directory.startsWith(account->root() + u'/'))
                    own.insert(directory);
            }
            if (!own.isEmpty())
                scan(account, false, &own);
        }
    });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &MailHost::scheduleRescan);
}

MailHost::~MailHost()
{
    terminate();
    while (!viewers_.empty())
        closeViewer(viewers_.back());
    QVDispatch::drainGlobal();
    if (currentHost == this)
        currentHost = nullptr;
}

MailHost *MailHost::current()
{
    return currentHost;
}

QVObjC::id MailHost::application()
{
    static const QVObjC::id application =
        std::make_shared<QVObjC::Object>(QVObjC::NSClassFromString(QStringLiteral("NSApplication")));
    return application;
}

std::vector<std::shared_ptr<MFMailAccount>> MailHost::accounts() const
{
    std::lock_guard lock(mutex_);
    return accounts_;
}

std::shared_ptr<MFMailAccount> MailHost::addAccount(const QString &name, const QString &root, bool mailAccount)
{
    const QString absoluteRoot = QDir(root).absolutePath();
    {
        std::lock_guard lock(mutex_);
        for (const auto &account : accounts_) {
            // One name or one folder for two accounts would mix their mail.
            if (account->name() == name || account->root() == absoluteRoot) {
                qCWarning(lcMailHost) << "Refused account" << name << "at" << absoluteRoot
                                      << ": an account of that name or folder exists";
                return nullptr;
            }
        }
    }
    if (name.isEmpty() || name.contains(u'/')
        || !Maildir::createMailbox(absoluteRoot, QLatin1String(Maildir::kInboxPath))) {
        qCWarning(lcMailHost) << "Could not use" << root << "as the Maildir of account" << name;
        return nullptr;
    }
    auto account = std::make_shared<MFMailAccount>(
        QVObjC::NSClassFromString(mailAccount ? QStringLiteral("MFMailAccount") : QStringLiteral("MFAccount")), name,
        absoluteRoot);
    auto root_ =
        std::make_shared<MFMailbox>(QVObjC::NSClassFromString(QStringLiteral("MFMailbox")), account, QString());
    account->setRootMailbox(root_);
    std::lock_guard lock(mutex_);
    accounts_.push_back(account);
    return account;
}

void MailHost::openStores()
{
    for (const auto &account : accounts())
        scan(account, true, nullptr);
    emit mailboxesChanged();
    // Reading every folder made many short-lived texts: what they took goes
    // back to the system rather than staying with the host.
    ::malloc_trim(0);
}

void MailHost::rescan(const std::shared_ptr<MFMailAccount> &account)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, account] { rescan(account); }, Qt::QueuedConnection);
        return;
    }
    if (!account) {
        for (const auto &each : accounts())
            scan(each, false, nullptr);
        return;
    }
    scan(account, false, nullptr);
}

void MailHost::rescanLater(const std::shared_ptr<MFMailbox> &mailbox)
{
    if (!mailbox)
        return;
    const QString folder = mailbox->folder();
    QPointer<MailHost> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, folder] {
            if (!self)
                return;
            self->scheduleRescan(folder + QStringLiteral("/new"));
            self->scheduleRescan(folder + QStringLiteral("/cur"));
        },
        Qt::QueuedConnection);
}

void MailHost::scheduleRescan(const QString &path)
{
    // Only the folder that changed is read again: the account's root (its
    // mailboxes), or one mailbox's new/ or cur/.
    pendingDirectories_.insert(path);
    // Quiet time after each change, but never longer than the ceiling after
    // the first: a steady stream must not hold every message back.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!rescanTimer_.isActive() || firstPendingChange_ == 0) {
        firstPendingChange_ = now;
        rescanTimer_.start(kRescanDelay);
    } else if (now - firstPendingChange_ + kRescanDelay <= kRescanCeiling) {
        rescanTimer_.start(kRescanDelay);
    }
}

void MailHost::watch(const std::shared_ptr<MFMailAccount> &account)
{
    QStringList paths{account->root()};
    for (const auto &mailbox : account->mailboxes())
        paths << mailbox->folder() + QStringLiteral("/new") << mailbox->folder() + QStringLiteral("/cur");
    const QStringList watched = watcher_.directories();
    QStringList wanted;
    for (const QString &path : std::as_const(paths)) {
        if (!watched.contains(path) && QFileInfo(path).isDir())
            wanted << path;
    }
    if (!wanted.isEmpty())
        watcher_.addPaths(wanted);
}

// One scan's findings, announced once the mutex is released.
struct MailHost::Changes {
    bool mailboxes = false;
    QHash<QString, QVObjC::ObjectList> added;  // by mailbox uuid
    QHash<QString, QStringList> removed;  // by mailbox uuid
    QList<std::pair<QString, QVObjC::id>> changed;
    std::vector<std::pair<std::shared_ptr<MFMessageStore>, QVObjC::ObjectList>> arrived;  // new mail per store
    std::vector<std::pair<std::shared_ptr<MFMessageStore>, QVObjC::ObjectList>> unseen;  // in new/ at the open
    QSet<QString> rescan;  // folders to read again soon
};

void MailHost::scan(const std::shared_ptr<MFMailAccount> &account, bool duringOpen, const QSet<QString> *directories)
{
    Changes changes;
    {
        std::lock_guard lock(mutex_);
        QStringList added, removedFolders;
        if (!directories || directories->contains(account->root()))
            changes.mailboxes = discoverMailboxes(*account, added, removedFolders);
        ++scanGeneration_;
        QSet<QString> fresh;  // unique names of files new in this scan
        QSet<QString> listed;  // refused files still there
        QStringList scanned = removedFolders;  // the folders read, and those gone
        QHash<QString, qsizetype> seen;  // known files found in each folder read
        for (const auto &mailbox : account->mailboxes()) {
            const QString folder = mailbox->folder();
            const bool whole = !directories || added.contains(mailbox->accountRelativePath());
            const bool readNew = whole || directories->contains(folder + QStringLiteral("/new"));
            const bool readCur = whole || directories->contains(folder + QStringLiteral("/cur"));
            if (!readNew && !readCur)
                continue;
            if (readNew)
                scanned << folder + QStringLiteral("/new");
            if (readCur)
                scanned << folder + QStringLiteral("/cur");
            const qsizetype before = changes.arrived.size();
            reconcileMailbox(*account, mailbox, readNew, readCur, fresh, listed, seen, changes, duringOpen);
            if (duringOpen && qsizetype(changes.arrived.size()) == before)
                changes.arrived.emplace_back(mailbox->store(), QVObjC::ObjectList());
        }
        dropVanished(*account, scanned, seen, changes);
        // Refused files are forgotten once they are gone, so the set stays
        // as small as the folders' odd files.
        for (auto it = refusedFiles_.begin(); it != refusedFiles_.end();) {
            const bool inScanned = scanned.contains(it->left(it->lastIndexOf(u'/')));
            it = inScanned && !listed.contains(*it) ? refusedFiles_.erase(it) : std::next(it);
        }
    }
    watch(account);
    announce(changes, duringOpen);
}

bool MailHost::discoverMailboxes(MFMailAccount &account, QStringList &added, QStringList &removedFolders)
{
    const QStringList onDisk = Maildir::mailboxPaths(account.root());
    bool changed = false;
    for (const QString &path : onDisk) {
        if (!account.mailboxWithPath(path)) {
            account.addMailbox(path);
            added << path;
            changed = true;
        }
    }
    // A folder that another program removed is no mailbox any more: a
    // bundle that needs it makes it again.
    for (const auto &mailbox : account.mailboxes()) {
        const QString path = mailbox->accountRelativePath();
        if (!onDisk.contains(path) && account.removeMailbox(path)) {
            qCInfo(lcMailHost) << "Mailbox" << mailbox->description() << "is gone from the disk";
            removedFolders << mailbox->folder() + QStringLiteral("/new") << mailbox->folder() + QStringLiteral("/cur");
            changed = true;
        }
    }
    return changed;
}

void MailHost::refuse(const QString &path, const QString &reason, QSet<QString> &listed)
{
    listed.insert(path);
    if (refusedFiles_.contains(path))
        return;
    refusedFiles_.insert(path);
    qCWarning(lcMailHost).noquote() << "Skipped" << path << ":" << reason;
}

void MailHost::reconcileMailbox(MFMailAccount &account, const std::shared_ptr<MFMailbox> &mailbox, bool readNew,
                                bool readCur, QSet<QString> &fresh, QSet<QString> &listed,
                                QHash<QString, qsizetype> &seen, Changes &changes, bool duringOpen)
{
    QList<Maildir::Skipped> skipped;
    const QString folder = mailbox->folder();
    const QList<Maildir::Entry> entries = Maildir::messageFiles(folder, &skipped, readNew, readCur);
    qsizetype &seenNew = seen[folder + QStringLiteral("/new")];
    qsizetype &seenCur = seen[folder + QStringLiteral("/cur")];
    for (const auto &odd : std::as_const(skipped))
        refuse(odd.path, odd.reason, listed);

    auto &known = messagesByAccount_[account.name()];
    const QString uuid = mailbox->uuid();
    std::vector<const Maildir::Entry *> arrivals;
    for (const Maildir::Entry &entry : entries) {
        const auto found = known.constFind(entry.uniqueName);
        const MFMessage *existing = found == known.cend() ? nullptr : found->get();
        if ((existing && existing->lastSeen_ == scanGeneration_) || fresh.contains(entry.uniqueName)) {
            refuse(entry.path, QStringLiteral("another file has the same unique name"), listed);
            continue;
        }
        if (existing) {
            const std::shared_ptr<MFMessage> &message = *found;
            message->lastSeen_ = scanGeneration_;
            message->missing_ = false;
            ++(entry.inCur ? seenCur : seenNew);
            if (message->isAt(entry.path))
                continue;
            // Moved, or its flags changed, by another program: followed.
            const auto previous = message->currentMailbox();
            locate(*message, entry.path, mailbox);
            if (previous != mailbox) {
                if (previous) {
                    previous->store()->remove(message.get());
                    changes.removed[previous->uuid()].append(message->uniqueName());
                }
                mailbox->store()->add(message);
                changes.added[uuid].append(message);
            } else {
                changes.changed.append({uuid, message});
            }
            continue;
        }
        if (refusedFiles_.contains(entry.path)) {
            listed.insert(entry.path);
            continue;
        }
        fresh.insert(entry.uniqueName);
        arrivals.push_back(&entry);
    }

    // New files in delivery order, which their names give.
    std::sort(arrivals.begin(), arrivals.end(), [](const Maildir::Entry *a, const Maildir::Entry *b) {
        return a->uniqueName != b->uniqueName ? a->uniqueName < b->uniqueName : a->path < b->path;
    });
    QVObjC::ObjectList arrived;
    QVObjC::ObjectList unseen;
    // Mail that came into the inbox's new/ while the host was not running
    // is new mail, announced as such once the stores are open.
    const bool isInbox = mailbox->accountRelativePath() == QLatin1String(Maildir::kInboxPath);
    const QString newFolder = mailbox->folder() + QStringLiteral("/new/");
    for (const Maildir::Entry *entry : arrivals) {
        auto message = std::make_shared<MFMessage>(QVObjC::NSClassFromString(QStringLiteral("MFMessage")),
                                                   entry->uniqueName, entry->path, mailbox);
        QString error;
        if (!message->load(&error)) {
            fresh.remove(entry->uniqueName);
            if (QFileInfo::exists(entry->path))
                refuse(entry->path, error, listed);
            else
                changes.rescan.insert(entry->path.left(entry->path.lastIndexOf(u'/')));  // moved while we looked
            continue;
        }
        message->lastSeen_ = scanGeneration_;
        ++(entry->inCur ? seenCur : seenNew);
        index(account, message);
        mailbox->store()->add(message);
        if (duringOpen && isInbox && entry->path.startsWith(newFolder))
            unseen.append(message);
        else
            arrived.append(message);
        changes.added[uuid].append(message);
    }
    if (!arrived.isEmpty())
        changes.arrived.emplace_back(mailbox->store(), arrived);
    if (!unseen.isEmpty())
        changes.unseen.emplace_back(mailbox->store(), unseen);
}

void MailHost::dropVanished(const MFMailAccount &account, const QStringList &directories,
                            const QHash<QString, qsizetype> &seen, Changes &changes)
{
    // Only a folder that holds fewer of its known files than it should is
    // looked at file by file (rare: another program deleted or moved some).
    QSet<QString> short_;
    for (const QString &directory : directories) {
        if (filesIn_.value(directory) != seen.value(directory))
            short_.insert(directory);
    }
    std::vector<std::shared_ptr<MFMessage>> gone;
    if (!short_.isEmpty()) {
        for (const auto &message : std::as_const(messagesByAccount_[account.name()])) {
            if (message->lastSeen_ == scanGeneration_ || !short_.contains(directoryOf(message->path())))
                continue;
            // Missed once: it may be on its way between two folders.
            if (!message->missing_) {
                message->missing_ = true;
                changes.rescan.insert(directoryOf(message->path()));
                continue;
            }
            gone.push_back(message);
        }
    }
    for (const auto &message : gone) {
        qCInfo(lcMailHost) << "Message" << message->path() << "is gone from account" << account.name();
        if (const auto mailbox = message->currentMailbox()) {
            mailbox->store()->remove(message.get());
            changes.removed[mailbox->uuid()].append(message->uniqueName());
        }
        unindex(account, message);
    }
}

void MailHost::announce(const Changes &changes, bool duringOpen)
{
    if (changes.mailboxes)
        emit mailboxesChanged();
    for (auto it = changes.removed.cbegin(); it != changes.removed.cend(); ++it)
        emit messagesRemoved(it.key(), it.value());
    for (auto it = changes.added.cbegin(); it != changes.added.cend(); ++it)
        emit messagesAdded(it.key(), it.value());
    for (const auto &[uuid, message] : changes.changed)
        emit messageChanged(uuid, message);
    if (!changes.rescan.isEmpty()) {
        if (!rescanTimer_.isActive())
            firstPendingChange_ = QDateTime::currentMSecsSinceEpoch();
        rescanTimer_.start(kRescanDelay);
        pendingDirectories_.unite(changes.rescan);
    }
    for (const auto &[store, messages] : changes.arrived) {
        QVNotificationCenter::defaultCenter().postNotification(
            kMessagesAdded, store,
            {{QStringLiteral("messages"), QVariant::fromValue(messages)},
             {QStringLiteral("MessageStoreMessagesAddedDuringOpen"), duringOpen}});
    }
    // After the open, as mail fetched at start: bundles that start watching
    // while the host opens (with its first viewer) see it too.
    for (const auto &[store, messages] : changes.unseen) {
        QMetaObject::invokeMethod(
            this,
            [store = store, messages = messages] {
                QVNotificationCenter::defaultCenter().postNotification(
                    kMessagesAdded, store,
                    {{QStringLiteral("messages"), QVariant::fromValue(messages)},
                     {QStringLiteral("MessageStoreMessagesAddedDuringOpen"), false}});
            },
            Qt::QueuedConnection);
    }
}

QString MailHost::directoryOf(const QString &path)
{
    return path.left(path.lastIndexOf(u'/'));
}

void MailHost::locate(MFMessage &message, const QString &path, const std::shared_ptr<MFMailbox> &mailbox)
{
    const QString previous = directoryOf(message.path());
    const QString next = directoryOf(path);
    if (previous != next) {
        countOut(previous);
        ++filesIn_[next];
    }
    message.setLocation(path, mailbox);
}

void MailHost::countOut(const QString &directory)
{
    const auto count = filesIn_.find(directory);
    if (count != filesIn_.end() && --*count <= 0)
        filesIn_.erase(count);
}

void MailHost::index(const MFMailAccount &account, const std::shared_ptr<MFMessage> &message)
{
    ++filesIn_[directoryOf(message->path())];
    messagesByAccount_[account.name()].insert(message->uniqueName(), message);
    if (message->messageID().isEmpty())
        return;
    // Most Message-IDs are one message's: the others wait in a second table.
    const auto first = messagesByID_.find(message->messageID());
    if (first == messagesByID_.end())
        messagesByID_.insert(message->messageID(), message);
    else
        laterByID_.insert(message->messageID(), message);
}

void MailHost::unindex(const MFMailAccount &account, const std::shared_ptr<MFMessage> &message)
{
    countOut(directoryOf(message->path()));
    messagesByAccount_[account.name()].remove(message->uniqueName());
    const QString &messageID = message->messageID();
    for (auto it = laterByID_.find(messageID); it != laterByID_.end() && it.key() == messageID;) {
        const auto other = it.value().lock();
        it = !other || other == message ? laterByID_.erase(it) : std::next(it);
    }
    const auto first = messagesByID_.find(messageID);
    if (first == messagesByID_.end())
        return;
    const auto held = first->lock();
    if (held && held != message)
        return;
    // The earliest of the others takes its place (laterByID_ holds the
    // newest first).
    std::weak_ptr<MFMessage> next;
    auto nextIt = laterByID_.end();
    for (auto it = laterByID_.find(messageID); it != laterByID_.end() && it.key() == messageID; ++it)
        nextIt = it;
    if (nextIt != laterByID_.end()) {
        next = nextIt.value();
        laterByID_.erase(nextIt);
        *first = next;
    } else {
        messagesByID_.erase(first);
    }
}

qint64 MailHost::transferMessages(const QVObjC::ObjectList &messages, const QVObjC::id &target, bool deleteOriginals)
{
    auto targetBox = QVObjC::cast<MFMailbox>(target);
    const auto targetAccount = targetBox ? targetBox->mailAccount() : nullptr;
    if (!targetBox || !targetBox->store() || !targetAccount || targetBox->accountRelativePath().isEmpty()) {
        qCWarning(lcMailHost) << "Refused to move messages into something that is not a mailbox";
        return 0;
    }
    qint64 moved = 0;
    Changes changes;
    std::vector<std::shared_ptr<MFMailbox>> lookAgain;  // where a file was not found
    {
        std::lock_guard lock(mutex_);
        const QString folder = targetBox->folder();
        if (!Maildir::isMailboxFolder(folder)) {
            // Removed by another program since: a move needs it, so it is
            // made again rather than failing every move from now on.
            if (!Maildir::createMailbox(targetAccount->root(), targetBox->accountRelativePath())) {
                qCWarning(lcMailHost) << "Could not make the folder of mailbox" << targetBox->description() << "again";
                return 0;
            }
            qCInfo(lcMailHost) << "Made the folder of mailbox" << targetBox->description() << "again";
            targetBox = targetAccount->adoptMailbox(targetBox);
            changes.mailboxes = true;
        }
        for (const auto &object : messages) {
            const auto message = QVObjC::cast<MFMessage>(object);
            if (!message)
                continue;
            const auto source = message->currentMailbox();
            if (source == targetBox) {
                ++moved;
                continue;
            }
            if (!deleteOriginals) {
                // A copy is a new message: the rescan announces it.
                const QByteArray header = message->headerData();
                const QByteArray body = message->bodyData();
                const QString flags = Maildir::flags(QFileInfo(message->path()).fileName());
                if (header.isNull() || body.isNull() || Maildir::deliver(folder, header + body, flags).isEmpty()) {
                    qCWarning(lcMailHost) << "Could not copy" << message->path() << "to" << targetBox->description();
                    continue;
                }
                ++moved;
                continue;
            }
            QString newPath, error;
            if (!Maildir::moveIntoFolder(message->path(), folder, &newPath, &error)) {
                // Most likely another program moved or deleted it: the
                // rescan finds out where it went.
                qCWarning(lcMailHost) << "Could not move" << message->path() << "to" << targetBox->description() << ":"
                                      << error;
                lookAgain.push_back(source);
                continue;
            }
            if (source) {
                source->store()->remove(message.get());
                changes.removed[source->uuid()].append(message->uniqueName());
            }
            targetBox->store()->add(message);
            locate(*message, newPath, targetBox);
            changes.added[targetBox->uuid()].append(message);
            const auto sourceAccount = source ? source->mailAccount() : nullptr;
            if (sourceAccount && sourceAccount != targetAccount) {
                messagesByAccount_[sourceAccount->name()].remove(message->uniqueName());
                messagesByAccount_[targetAccount->name()].insert(message->uniqueName(), message);
                message->missing_ = false;
            }
            ++moved;
        }
    }
    // Announced on the main thread: moves also come from worker threads.
    QPointer<MailHost> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, changes = std::move(changes), lookAgain] {
            if (!self)
                return;
            self->announce(changes, false);
            for (const auto &mailbox : lookAgain)
                self->rescanLater(mailbox);
        },
        Qt::QueuedConnection);
    return moved;
}

void MailHost::deleteMessages(MFMessageStore &store, const QVObjC::ObjectList &messages)
{
    const auto mailbox = store.mailbox();
    const auto account = mailbox ? mailbox->mailAccount() : nullptr;
    if (!account)
        return;
    Changes changes;
    {
        std::lock_guard lock(mutex_);
        for (const auto &object : messages) {
            const auto message = QVObjC::cast<MFMessage>(object);
            if (!message || message->currentMailbox() != mailbox)
                continue;
            const QString path = message->path();
            if (!QFile::remove(path) && QFileInfo::exists(path)) {
                qCWarning(lcMailHost) << "Could not delete" << path;
                continue;
            }
            mailbox->store()->remove(message.get());
            changes.removed[mailbox->uuid()].append(message->uniqueName());
            unindex(*account, message);
        }
    }
    QPointer<MailHost> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, changes = std::move(changes)] {
            if (self)
                self->announce(changes, false);
        },
        Qt::QueuedConnection);
}

bool MailHost::setRead(const std::shared_ptr<MFMessage> &message, bool read)
{
    QString newPath, error;
    bool marked = false;
    {
        std::lock_guard lock(mutex_);
        marked = Maildir::setSeen(message->path(), read, &newPath, &error);
        if (marked)
            locate(*message, newPath, message->currentMailbox());
    }
    if (!marked) {
        qCWarning(lcMailHost) << "Could not mark" << message->path() << ":" << error;
        rescanLater(message->currentMailbox());
        return false;
    }
    if (const auto mailbox = message->currentMailbox())
        emit messageChanged(mailbox->uuid(), message);
    return true;
}

std::shared_ptr<MFMessage> MailHost::messageWithMessageID(const QString &messageID) const
{
    if (messageID.isEmpty())
        return nullptr;
    std::lock_guard lock(mutex_);
    if (auto first = messagesByID_.value(messageID).lock())
        return first;
    // The others are held newest first: the last live one arrived earliest.
    std::shared_ptr<MFMessage> earliest;
    for (auto it = laterByID_.constFind(messageID); it != laterByID_.cend() && it.key() == messageID; ++it) {
        if (auto message = it.value().lock())
            earliest = std::move(message);
    }
    return earliest;
}

QVObjC::ObjectList MailHost::inboxMailboxes() const
{
    QVObjC::ObjectList inboxes;
    for (const auto &account : accounts()) {
        if (auto inbox = account->inbox())
            inboxes.append(inbox);
    }
    return inboxes;
}

// Viewers

std::shared_ptr<MessageViewer> MailHost::newViewer()
{
    auto viewer = std::make_shared<MessageViewer>(QVObjC::NSClassFromString(QStringLiteral("MessageViewer")));
    viewers_.push_back(viewer);
    if (const auto all = accounts(); !all.empty())
        viewer->setSelection(all.front()->inbox(), {});
    viewer->buildToolbar();
    if (viewerOpener_)
        viewerOpener_(viewer);
    return viewer;
}

void MailHost::closeViewer(const std::shared_ptr<MessageViewer> &viewer)
{
    if (!viewer)
        return;
    const auto keep = viewer;
    QVObjC::send(QVObjC::id(keep), QStringLiteral("dealloc"));
    forgetViewer(keep.get());  // in case a bundle's dealloc did not hand on
}

void MailHost::forgetViewer(const MessageViewer *viewer)
{
    std::erase_if(viewers_, [viewer](const auto &v) { return v.get() == viewer; });
}

void MailHost::terminate()
{
    if (terminated_)
        return;
    terminated_ = true;
    QVNotificationCenter::defaultCenter().postNotification(kWillTerminate, application());
}

// Bundles

int MailHost::loadBundles()
{
    const QDir bundles(library_ + QStringLiteral("/Mail/Bundles"));
    const QStringList names = bundles.entryList({QStringLiteral("*.mailbundle")}, QDir::Dirs, QDir::Name);
    for (const QString &name : names)
        loadBundle(bundles.filePath(name));
    return int(loadedBundles_.size());
}

void MailHost::loadBundle(const QString &path)
{
    QFile infoFile(path + QStringLiteral("/Contents/Info.plist"));
    if (!infoFile.open(QIODevice::ReadOnly)) {
        qCWarning(lcMailHost) << "Bundle" << path << "has no Contents/Info.plist";
        return;
    }
    QString error;
    const auto info = PropertyList::fromXml(infoFile.read(1024 * 1024), &error);
    const QVariantMap dictionary = info ? info->toMap() : QVariantMap();
    const QString executable = dictionary.value(QStringLiteral("CFBundleExecutable")).toString();
    const QString principal = dictionary.value(QStringLiteral("NSPrincipalClass")).toString();
    if (executable.isEmpty() || executable.contains(u'/') || principal.isEmpty()) {
        qCWarning(lcMailHost) << "Bundle" << path << "does not name its executable and principal class" << error;
        return;
    }
    if (QVObjC::NSClassFromString(principal)) {
        // Loaded before in this process: its classes are in place.
        loadedBundles_.append(path);
        return;
    }
    const QByteArray library = QFile::encodeName(path + QStringLiteral("/Contents/MacOS/") + executable);
    QVObjC::takeClassesAwaitingLoad();  // earlier registrations are not this bundle's
    if (!::dlopen(library.constData(), RTLD_NOW | RTLD_LOCAL)) {
        qCWarning(lcMailHost) << "Could not load bundle" << path << ":" << ::dlerror();
        return;
    }
    for (QVObjC::Class *cls : QVObjC::takeClassesAwaitingLoad()) {
        if (QVObjC::classRespondsToSelector(cls, QStringLiteral("load")))
            QVObjC::sendClass(cls, QStringLiteral("load"));
    }
    QVObjC::Class *principalClass = QVObjC::NSClassFromString(principal);
    if (!principalClass) {
        qCWarning(lcMailHost) << "Bundle" << path << "has no class" << principal;
        return;
    }
    if (QVObjC::classRespondsToSelector(principalClass, QStringLiteral("initialize")))
        QVObjC::sendClass(principalClass, QStringLiteral("initialize"));
    loadedBundles_.append(path);
    qCInfo(lcMailHost) << "Loaded bundle" << path;
}

}  // namespace QVMailHost
