#include "MailModel.h"

#include "MailHost.h"
#include "MailMessageHeader.h"
#include "Maildir.h"

#include <QFile>
#include <QSet>
#include <QLoggingCategory>
#include <QUuid>

Q_DECLARE_LOGGING_CATEGORY(lcMailHost)

namespace QVMailHost {

namespace {

// Larger message bodies are handed to bundles cut here, with a log line.
constexpr qint64 kMaxMessageSize = 64 * 1024 * 1024;

// Senders repeat across a mailbox: messages share one copy of each (of the
// first few thousand seen), so a large mailbox holds each sender once.
QString sharedSender(const QString &sender)
{
    static std::mutex mutex;
    static QSet<QString> senders;
    constexpr qsizetype kMostSenders = 20'000;
    std::lock_guard lock(mutex);
    if (const auto found = senders.constFind(sender); found != senders.cend())
        return *found;
    if (senders.size() < kMostSenders)
        senders.insert(sender);
    return sender;
}

}  // namespace

std::mutex &modelMutex()
{
    static std::mutex mutex;
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
    std::lock_guard lock(modelMutex());
    return QVObjC::ObjectList(mailboxes_.begin(), mailboxes_.end());
}

std::vector<std::shared_ptr<MFMailbox>> MFMailAccount::mailboxes() const
{
    std::lock_guard lock(modelMutex());
    return mailboxes_;
}

std::shared_ptr<MFMailbox> MFMailAccount::inbox() const
{
    return mailboxWithPath(QLatin1String(Maildir::kInboxPath));
}

std::shared_ptr<MFMailbox> MFMailAccount::mailboxWithPath(const QString &path) const
{
    std::lock_guard lock(modelMutex());
    for (const auto &mailbox : mailboxes_) {
        if (mailbox->accountRelativePath() == path)
            return mailbox;
    }
    return nullptr;
}

std::shared_ptr<MFMailbox> MFMailAccount::addMailbox(const QString &path)
{
    if (auto existing = mailboxWithPath(path))
        return existing;
    auto self = std::static_pointer_cast<MFMailAccount>(shared_from_this());
    auto mailbox = std::make_shared<MFMailbox>(QVObjC::NSClassFromString(QStringLiteral("MFMailbox")), self, path);
    mailbox->setStore(
        std::make_shared<MFMessageStore>(QVObjC::NSClassFromString(QStringLiteral("MFMessageStore")), mailbox));
    std::lock_guard lock(modelMutex());
    for (const auto &existing : mailboxes_) {
        if (existing->accountRelativePath() == path)
            return existing;  // added meanwhile by another thread
    }
    mailboxes_.push_back(mailbox);
    return mailbox;
}

std::shared_ptr<MFMailbox> MFMailAccount::adoptMailbox(const std::shared_ptr<MFMailbox> &mailbox)
{
    std::lock_guard lock(modelMutex());
    for (const auto &existing : mailboxes_) {
        if (existing->accountRelativePath() == mailbox->accountRelativePath())
            return existing;
    }
    mailboxes_.push_back(mailbox);
    return mailbox;
}

bool MFMailAccount::removeMailbox(const QString &path)
{
    if (path == QLatin1String(Maildir::kInboxPath))
        return false;
    std::lock_guard lock(modelMutex());
    return std::erase_if(mailboxes_, [&path](const auto &mailbox) { return mailbox->accountRelativePath() == path; })
        > 0;
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
        host->rescanLater(mailbox);
        QMetaObject::invokeMethod(
            host, [host] { emit host->mailboxesChanged(); }, Qt::QueuedConnection);
    }
    return mailbox;
}

// Messages

MFMessage::MFMessage(QVObjC::Class *isa, QString uniqueName, QString path, const std::shared_ptr<MFMailbox> &mailbox)
    : Object(isa), uniqueName_(std::move(uniqueName))
{
    setLocation(std::move(path), mailbox);
}

QVObjC::id MFMessage::mailbox() const
{
    return currentMailbox();
}

std::shared_ptr<MFMailbox> MFMessage::currentMailbox() const
{
    std::lock_guard lock(modelMutex());
    return mailbox_.lock();
}

QString MFMessage::path() const
{
    std::lock_guard lock(modelMutex());
    if (!oddPath_.isNull())
        return oddPath_;
    const auto mailbox = mailbox_.lock();
    if (!mailbox)
        return {};
    return mailbox->folder() + (inCur_ ? QLatin1String("/cur/") : QLatin1String("/new/")) + uniqueName_ + suffix_;
}

bool MFMessage::isAt(const QString &path) const
{
    return this->path() == path;
}

void MFMessage::setLocation(QString path, const std::shared_ptr<MFMailbox> &mailbox)
{
    // Kept in parts: a hundred thousand messages then hold their unique
    // names once and their folders not at all.
    static const QString seen = QStringLiteral(":2,S");
    static const QString noFlags = QStringLiteral(":2,");
    const qsizetype slash = path.lastIndexOf(u'/');
    const QStringView name = QStringView(path).sliced(slash + 1);
    const QStringView directory = QStringView(path).first(std::max<qsizetype>(slash, 0));
    const QString folder = mailbox ? mailbox->folder() : QString();
    const bool inCur = directory.endsWith(u"/cur");
    const bool regular = !folder.isEmpty() && (inCur || directory.endsWith(u"/new")) && directory.chopped(4) == folder
        && name.startsWith(uniqueName_);
    QString suffix;
    if (regular) {
        const QStringView rest = name.sliced(uniqueName_.size());
        suffix = rest == seen ? seen : rest == noFlags ? noFlags : rest.toString();
    }
    const bool read = Maildir::isSeen(name.toString());
    std::lock_guard lock(modelMutex());
    inCur_ = inCur;
    suffix_ = std::move(suffix);
    oddPath_ = regular ? QString() : std::move(path);
    read_ = read;
    mailbox_ = mailbox;
}

bool MFMessage::isRead() const
{
    std::lock_guard lock(modelMutex());
    return read_;
}

bool MFMessage::load(QString *error)
{
    QFile file;
    if (!Maildir::openRegularFile(path(), file, error))
        return false;
    const QByteArray prefix = file.read(kHeaderLimit);
    const auto summary = MailMessageHeader::parse(prefix);
    if (!summary.looksLikeMail) {
        if (error)
            *error = QStringLiteral("not a mail message");
        return false;
    }
    messageID_ = summary.messageID;
    sender_ = sharedSender(summary.sender);
    subject_ = summary.subject;
    dateSent_ = summary.date.toUTC();  // held without an allocation of its own
    dateReceived_ = file.fileTime(QFileDevice::FileModificationTime);
    headerLength_ = summary.headerLength;
    return true;
}

QByteArray MFMessage::readRange(qint64 offset, qint64 length) const
{
    const QString name = path();
    QFile in;
    QString error;
    if (!Maildir::openRegularFile(name, in, &error)) {
        qCWarning(lcMailHost) << "Could not read message" << name << ":" << error;
        // Most likely moved by another program: the host finds it again by
        // its unique name, and a later read gets it.
        if (auto *host = MailHost::current())
            host->rescanLater(currentMailbox());
        return {};
    }
    qint64 available = std::max<qint64>(0, in.size() - offset);
    if (length < 0 && available > kMaxMessageSize) {
        qCWarning(lcMailHost) << "Message" << name << "is larger than" << kMaxMessageSize << "bytes; it is cut there";
        available = kMaxMessageSize;
    }
    const qint64 wanted = length < 0 ? available : std::min(length, available);
    if (wanted == 0)
        return QByteArray("");
    if (!in.seek(offset))
        return {};
    QByteArray bytes = in.read(wanted);
    if (bytes.isNull())
        qCWarning(lcMailHost) << "Could not read message" << name << ":" << in.errorString();
    return bytes;
}

QByteArray MFMessage::headerData() const
{
    return readRange(0, headerLength_);
}

QByteArray MFMessage::bodyData() const
{
    return readRange(headerLength_, -1);
}

QByteArray MFMessage::bodyDataWithLimit(qint64 limit) const
{
    return readRange(headerLength_, std::max<qint64>(0, limit));
}

// Stores

QVObjC::ObjectList MFMessageStore::copyOfAllMessages() const
{
    std::lock_guard lock(modelMutex());
    return QVObjC::ObjectList(messages_.begin(), messages_.end());
}

void MFMessageStore::add(const std::shared_ptr<MFMessage> &message)
{
    std::lock_guard lock(modelMutex());
    if (positions_.contains(message.get()))
        return;
    positions_.insert(message.get(), qsizetype(messages_.size()));
    messages_.push_back(message);
}

void MFMessageStore::remove(const MFMessage *message)
{
    std::lock_guard lock(modelMutex());
    // The last message takes the place of the one that leaves: constant
    // time, so a burst of moves costs no more per message than one.
    const auto found = positions_.find(message);
    if (found == positions_.end())
        return;
    const qsizetype position = *found;
    positions_.erase(found);
    if (position != qsizetype(messages_.size()) - 1) {
        messages_[size_t(position)] = std::move(messages_.back());
        positions_[messages_[size_t(position)].get()] = position;
    }
    messages_.pop_back();
}

qsizetype MFMessageStore::count() const
{
    std::lock_guard lock(modelMutex());
    return qsizetype(messages_.size());
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

}  // namespace QVMailHost
