#include "MailHost.h"

#include "MailMessageHeader.h"
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
#include <QUuid>

#include <dlfcn.h>

Q_LOGGING_CATEGORY(lcMailHost, "quorvane.mailhost")

namespace QVMailHost {

namespace {

// Header fields are read from this much of a file; the rest is body.
constexpr qint64 kHeaderScanLimit = 256 * 1024;
// Larger files are handed to bundles cut here, with a log line.
constexpr qint64 kMaxMessageSize = 64 * 1024 * 1024;

const QString kMessagesAdded = QStringLiteral("MessageStoreMessagesAdded_inMainThread_");
const QString kWillTerminate = QStringLiteral("NSApplicationWillTerminateNotification");

MailHost *currentHost = nullptr;

QString key(const MFMailAccount &account, const QString &uniqueName)
{
    return account.name() + u'/' + uniqueName;
}

void removeFromStore(const std::shared_ptr<MFMailbox> &mailbox, const MFMessage *message)
{
    if (!mailbox || !mailbox->store())
        return;
    std::erase_if(mailbox->store()->messages(), [message](const auto &m) { return m.get() == message; });
}

}  // namespace

std::recursive_mutex &storeMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

// Mailboxes

MFMailbox::MFMailbox(QVObjC::Class *isa, const std::shared_ptr<MFMailAccount> &account, QString path)
    : Object(isa), account_(account), path_(std::move(path))
{
    // Stable across runs, so a mailbox keeps its identity.
    static const QUuid space(QStringLiteral("{4f1f7d6a-0d3e-4b8a-9a51-6a0a6a2bfa11}"));
    uuid_ = QUuid::createUuidV5(space, account->root() + u'\n' + path_).toString(QUuid::WithoutBraces).toUpper();
}

QVObjC::id MFMailbox::account() const
{
    return account_.lock();
}

QString MFMailbox::description() const
{
    const auto account = account_.lock();
    return (account ? account->name() : QString()) + u':' + (path_.isEmpty() ? QStringLiteral("/") : path_);
}

QString MFMailbox::displayName() const
{
    return path_.section(u'/', -1);
}

QString MFMailbox::folder() const
{
    const auto account = account_.lock();
    return account ? Maildir::folderPath(account->root(), path_) : QString();
}

// Accounts

MFMailAccount::MFMailAccount(QVObjC::Class *isa, QString name, QString root)
    : Object(isa), name_(std::move(name)), root_(std::move(root))
{
}

QVObjC::ObjectList MFMailAccount::allMailboxes() const
{
    std::lock_guard lock(storeMutex());
    return QVObjC::ObjectList(mailboxes_.begin(), mailboxes_.end());
}

std::vector<std::shared_ptr<MFMailbox>> MFMailAccount::mailboxes() const
{
    std::lock_guard lock(storeMutex());
    return mailboxes_;
}

std::shared_ptr<MFMailbox> MFMailAccount::inbox() const
{
    return mailboxWithPath(QLatin1String(Maildir::kInboxPath));
}

std::shared_ptr<MFMailbox> MFMailAccount::mailboxWithPath(const QString &path) const
{
    std::lock_guard lock(storeMutex());
    for (const auto &mailbox : mailboxes_) {
        if (mailbox->accountRelativePath() == path)
            return mailbox;
    }
    return nullptr;
}

std::shared_ptr<MFMailbox> MFMailAccount::addMailbox(const QString &path)
{
    std::lock_guard lock(storeMutex());
    if (auto existing = mailboxWithPath(path))
        return existing;
    auto self = std::static_pointer_cast<MFMailAccount>(shared_from_this());
    auto mailbox = std::make_shared<MFMailbox>(QVObjC::NSClassFromString(QStringLiteral("MFMailbox")), self, path);
    mailbox->setStore(std::make_shared<MFMessageStore>(QVObjC::NSClassFromString(QStringLiteral("MFMessageStore")),
                                                       mailbox));
    mailboxes_.push_back(mailbox);
    return mailbox;
}

QVObjC::id MFMailAccount::createMailboxWithParent(QVObjC::id parent, QString name)
{
    const auto parentBox = QVObjC::cast<MFMailbox>(parent);
    if (!parentBox || parentBox->mailAccount().get() != this || !Maildir::isValidMailboxName(name)) {
        qCWarning(lcMailHost) << "Refused to create mailbox" << name << "in account" << name_;
        return nullptr;
    }
    const QString parentPath = parentBox->accountRelativePath();
    const QString path = parentPath.isEmpty() ? name : parentPath + u'/' + name;
    if (!Maildir::createMailbox(root_, path)) {
        qCWarning(lcMailHost) << "Could not create the folder of mailbox" << path << "in" << root_;
        return nullptr;
    }
    auto mailbox = addMailbox(path);
    if (auto *host = MailHost::current()) {
        // Later, on the main thread: shows and watches the new folder.
        QMetaObject::invokeMethod(
            host,
            [host] {
                host->rescan(nullptr);
                emit host->mailboxesChanged();
            },
            Qt::QueuedConnection);
    }
    return mailbox;
}

// Messages

MFMessage::MFMessage(QVObjC::Class *isa, QString uniqueName, QString path, const std::shared_ptr<MFMailbox> &mailbox)
    : Object(isa), uniqueName_(std::move(uniqueName)), path_(std::move(path)), mailbox_(mailbox)
{
}

QVObjC::id MFMessage::mailbox() const
{
    return currentMailbox();
}

std::shared_ptr<MFMailbox> MFMessage::currentMailbox() const
{
    std::lock_guard lock(storeMutex());
    return mailbox_.lock();
}

QString MFMessage::path() const
{
    std::lock_guard lock(storeMutex());
    return path_;
}

void MFMessage::setLocation(QString path, const std::shared_ptr<MFMailbox> &mailbox)
{
    std::lock_guard lock(storeMutex());
    path_ = std::move(path);
    mailbox_ = mailbox;
}

bool MFMessage::isRead() const
{
    return Maildir::isSeen(QFileInfo(path()).fileName());
}

bool MFMessage::load()
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray prefix = file.read(kHeaderScanLimit);
    const auto summary = MailMessageHeader::parse(prefix);
    if (!summary.looksLikeMail)
        return false;
    messageID_ = summary.messageID;
    sender_ = summary.sender;
    subject_ = summary.subject;
    dateSent_ = summary.date;
    dateReceived_ = QFileInfo(file).lastModified();
    return true;
}

std::pair<QByteArray, QByteArray> MFMessage::readParts() const
{
    const QString file = path();
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        qCWarning(lcMailHost) << "Could not read message" << file << ":" << in.errorString();
        return {};
    }
    if (in.size() > kMaxMessageSize)
        qCWarning(lcMailHost) << "Message" << file << "is larger than" << kMaxMessageSize << "bytes; it is cut there";
    const QByteArray bytes = in.read(kMaxMessageSize);
    const qsizetype end = MailMessageHeader::headerEnd(bytes);
    if (end < 0)
        return {bytes, QByteArray("")};
    return {bytes.left(end), bytes.mid(end)};
}

QByteArray MFMessage::headerData() const
{
    return readParts().first;
}

QByteArray MFMessage::bodyData() const
{
    return readParts().second;
}

// Stores

QVObjC::ObjectList MFMessageStore::copyOfAllMessages() const
{
    std::lock_guard lock(storeMutex());
    return QVObjC::ObjectList(messages_.begin(), messages_.end());
}

void MFMessageStore::deleteMessages(QVObjC::ObjectList messages, bool moveToTrash)
{
    if (auto *host = MailHost::current()) {
        if (moveToTrash) {
            // The host keeps no trash: messages stay where they are.
            qCWarning(lcMailHost) << "Moving to the trash is not supported; nothing deleted";
            return;
        }
        host->deleteMessages(*this, messages);
    }
}

// The host

MailHost::MailHost(QString library, QObject *parent) : QObject(parent), library_(std::move(library))
{
    registerHostClasses();
    currentHost = this;
    rescanTimer_.setSingleShot(true);
    rescanTimer_.setInterval(50);
    connect(&rescanTimer_, &QTimer::timeout, this, [this] {
        const QStringList roots = std::exchange(pendingRescans_, {});
        for (const auto &account : accounts_) {
            if (roots.contains(account->root()))
                rescan(account);
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

std::shared_ptr<MFMailAccount> MailHost::addAccount(const QString &name, const QString &root, bool mailAccount)
{
    const QString absoluteRoot = QDir(root).absolutePath();
    if (name.isEmpty() || !Maildir::createMailbox(absoluteRoot, QLatin1String(Maildir::kInboxPath))) {
        qCWarning(lcMailHost) << "Could not use" << root << "as the Maildir of account" << name;
        return nullptr;
    }
    auto account = std::make_shared<MFMailAccount>(
        QVObjC::NSClassFromString(mailAccount ? QStringLiteral("MFMailAccount") : QStringLiteral("MFAccount")), name,
        absoluteRoot);
    auto root_ = std::make_shared<MFMailbox>(QVObjC::NSClassFromString(QStringLiteral("MFMailbox")), account, QString());
    account->setRootMailbox(root_);
    {
        std::lock_guard lock(storeMutex());
        accounts_.push_back(account);
    }
    return account;
}

void MailHost::openStores()
{
    for (const auto &account : accounts_)
        scanAccount(account, true);
    emit mailboxesChanged();
}

void MailHost::rescan(const std::shared_ptr<MFMailAccount> &account)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, account] { rescan(account); }, Qt::QueuedConnection);
        return;
    }
    if (!account) {
        for (const auto &each : accounts_)
            scanAccount(each, false);
        return;
    }
    scanAccount(account, false);
}

void MailHost::scheduleRescan(const QString &path)
{
    for (const auto &account : accounts_) {
        if ((path == account->root() || path.startsWith(account->root() + u'/')) && !pendingRescans_.contains(account->root()))
            pendingRescans_.append(account->root());
    }
    rescanTimer_.start();
}

void MailHost::watch(const std::shared_ptr<MFMailAccount> &account)
{
    QStringList paths{account->root()};
    for (const auto &mailbox : account->mailboxes()) {
        paths << mailbox->folder() + QStringLiteral("/new") << mailbox->folder() + QStringLiteral("/cur");
    }
    const QStringList watched = watcher_.directories();
    for (const QString &path : paths) {
        if (!watched.contains(path) && QFileInfo(path).isDir())
            watcher_.addPath(path);
    }
}

void MailHost::scanAccount(const std::shared_ptr<MFMailAccount> &account, bool duringOpen)
{
    std::vector<std::pair<std::shared_ptr<MFMessageStore>, QVObjC::ObjectList>> added;
    QSet<QString> changed;
    bool mailboxesAdded = false;
    {
        std::lock_guard lock(storeMutex());
        for (const QString &path : Maildir::mailboxPaths(account->root())) {
            if (!account->mailboxWithPath(path)) {
                account->addMailbox(path);
                mailboxesAdded = true;
            }
        }
        QSet<QString> seen;
        for (const auto &mailbox : account->mailboxes()) {
            QVObjC::ObjectList arrived;
            for (const Maildir::Entry &entry : Maildir::messageFiles(mailbox->folder())) {
                const QString messageKey = key(*account, entry.uniqueName);
                if (seen.contains(messageKey)) {
                    if (!refusedFiles_.contains(entry.path)) {
                        refusedFiles_.insert(entry.path);
                        qCWarning(lcMailHost) << "Skipped" << entry.path << ": another file has the same unique name";
                    }
                    continue;
                }
                seen.insert(messageKey);
                if (const auto existing = messagesByUniqueName_.value(messageKey)) {
                    if (existing->path() == entry.path)
                        continue;
                    // Moved, or its flags changed, by another program.
                    const auto previous = existing->currentMailbox();
                    if (previous != mailbox) {
                        removeFromStore(previous, existing.get());
                        mailbox->store()->messages().push_back(existing);
                        if (previous)
                            changed.insert(previous->uuid());
                    }
                    existing->setLocation(entry.path, mailbox);
                    changed.insert(mailbox->uuid());
                    continue;
                }
                if (refusedFiles_.contains(entry.path))
                    continue;
                auto message = std::make_shared<MFMessage>(QVObjC::NSClassFromString(QStringLiteral("MFMessage")),
                                                           entry.uniqueName, entry.path, mailbox);
                if (!message->load()) {
                    refusedFiles_.insert(entry.path);
                    qCWarning(lcMailHost) << "Skipped" << entry.path << ": not a mail message";
                    continue;
                }
                messagesByUniqueName_.insert(messageKey, message);
                mailbox->store()->messages().push_back(message);
                arrived.append(message);
                changed.insert(mailbox->uuid());
            }
            if (!arrived.isEmpty() || duringOpen)
                added.emplace_back(mailbox->store(), arrived);
        }
        // Files that left every folder of the account.
        const QString prefix = account->name() + u'/';
        for (auto it = messagesByUniqueName_.begin(); it != messagesByUniqueName_.end();) {
            if (it.key().startsWith(prefix) && !seen.contains(it.key())) {
                qCInfo(lcMailHost) << "Message" << it.value()->path() << "is gone from account" << account->name();
                const auto mailbox = it.value()->currentMailbox();
                removeFromStore(mailbox, it.value().get());
                if (mailbox)
                    changed.insert(mailbox->uuid());
                it = messagesByUniqueName_.erase(it);
            } else {
                ++it;
            }
        }
    }
    watch(account);
    if (mailboxesAdded)
        emit mailboxesChanged();
    for (const QString &uuid : std::as_const(changed))
        emit mailboxChanged(uuid);
    for (const auto &[store, messages] : added) {
        QVNotificationCenter::defaultCenter().postNotification(
            kMessagesAdded, store,
            {{QStringLiteral("messages"), QVariant::fromValue(messages)},
             {QStringLiteral("MessageStoreMessagesAddedDuringOpen"), duringOpen}});
    }
}

qint64 MailHost::transferMessages(const QVObjC::ObjectList &messages, const QVObjC::id &target, bool deleteOriginals)
{
    const auto targetBox = QVObjC::cast<MFMailbox>(target);
    if (!targetBox || !targetBox->store() || !targetBox->mailAccount()) {
        qCWarning(lcMailHost) << "Refused to move messages into something that is not a mailbox";
        return 0;
    }
    qint64 moved = 0;
    QSet<QString> changed{targetBox->uuid()};
    bool rescanNeeded = false;
    {
        std::lock_guard lock(storeMutex());
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
                const auto [header, body] = std::pair{message->headerData(), message->bodyData()};
                const QString flags = Maildir::flags(QFileInfo(message->path()).fileName());
                if (header.isNull() || Maildir::deliver(targetBox->folder(), header + body, flags).isEmpty()) {
                    qCWarning(lcMailHost) << "Could not copy" << message->path() << "to" << targetBox->description();
                    continue;
                }
                ++moved;
                rescanNeeded = true;
                continue;
            }
            QString newPath, error;
            if (!Maildir::moveIntoFolder(message->path(), targetBox->folder(), &newPath, &error)) {
                // Most likely another program moved or deleted it: the
                // rescan finds out where it went.
                qCWarning(lcMailHost) << "Could not move" << message->path() << "to" << targetBox->description() << ":"
                                      << error;
                rescanNeeded = true;
                continue;
            }
            removeFromStore(source, message.get());
            targetBox->store()->messages().push_back(message);
            message->setLocation(newPath, targetBox);
            const auto sourceAccount = source ? source->mailAccount() : nullptr;
            const auto targetAccount = targetBox->mailAccount();
            if (sourceAccount && sourceAccount != targetAccount) {
                messagesByUniqueName_.remove(key(*sourceAccount, message->uniqueName()));
                messagesByUniqueName_.insert(key(*targetAccount, message->uniqueName()), message);
            }
            if (source)
                changed.insert(source->uuid());
            ++moved;
        }
    }
    QPointer<MailHost> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, changed, rescanNeeded] {
            if (!self)
                return;
            for (const QString &uuid : changed)
                emit self->mailboxChanged(uuid);
            if (rescanNeeded)
                self->rescan(nullptr);
        },
        Qt::QueuedConnection);
    return moved;
}

void MailHost::deleteMessages(MFMessageStore &store, const QVObjC::ObjectList &messages)
{
    const auto mailbox = store.mailbox();
    {
        std::lock_guard lock(storeMutex());
        for (const auto &object : messages) {
            const auto message = QVObjC::cast<MFMessage>(object);
            if (!message || message->currentMailbox() != mailbox)
                continue;
            const QString path = message->path();
            if (!QFile::remove(path) && QFileInfo::exists(path)) {
                qCWarning(lcMailHost) << "Could not delete" << path;
                continue;
            }
            removeFromStore(mailbox, message.get());
            if (const auto account = mailbox->mailAccount())
                messagesByUniqueName_.remove(key(*account, message->uniqueName()));
        }
    }
    if (mailbox) {
        const QString uuid = mailbox->uuid();
        QMetaObject::invokeMethod(this, [this, uuid] { emit mailboxChanged(uuid); }, Qt::QueuedConnection);
    }
}

bool MailHost::setRead(const std::shared_ptr<MFMessage> &message, bool read)
{
    std::lock_guard lock(storeMutex());
    QString newPath, error;
    if (!Maildir::setSeen(message->path(), read, &newPath, &error)) {
        qCWarning(lcMailHost) << "Could not mark" << message->path() << ":" << error;
        rescan(nullptr);
        return false;
    }
    message->setLocation(newPath, message->currentMailbox());
    if (const auto mailbox = message->currentMailbox())
        emit mailboxChanged(mailbox->uuid());
    return true;
}

std::shared_ptr<MFMessage> MailHost::messageWithMessageID(const QString &messageID) const
{
    if (messageID.isEmpty())
        return nullptr;
    std::lock_guard lock(storeMutex());
    for (const auto &message : messagesByUniqueName_) {
        if (message->messageID() == messageID)
            return message;
    }
    return nullptr;
}

QVObjC::ObjectList MailHost::inboxMailboxes() const
{
    QVObjC::ObjectList inboxes;
    for (const auto &account : accounts_) {
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
    if (!accounts_.empty())
        viewer->setSelection(accounts_.front()->inbox(), {});
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
