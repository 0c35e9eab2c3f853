#include "QVHelperTool.h"

#include "PropertyList.h"
#include "QVHelperProtocol.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

using namespace QVHelperProtocol;

namespace {

constexpr int kMaxTreeDepth = 64;
constexpr off_t kMaxInfoPlistSize = 1024 * 1024;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept : fd_(other.release()) {}
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// `error` is the errno of the failure, saved where it happened: anything
// run in between (a clean-up, a log line) may change errno.
void logFailure(const char *what, const QString &path, int error)
{
    syslog(LOG_ERR, "%s: %s (%s)", what, encoded(path).constData(), error != 0 ? strerror(error) : "refused");
}

// An absolute path that names itself: no symbolic link, ".", ".." or double
// slash anywhere in it.
bool isPlainAbsolutePath(const QString &path)
{
    if (!path.startsWith(u'/') || QDir::cleanPath(path) != path)
        return false;
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(encoded(path).constData(), nullptr), &std::free);
    return real && QFile::decodeName(real.get()) == path;
}

Descriptor openDirectory(const QString &path)
{
    return Descriptor(::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

Descriptor openChildDirectory(int parent, const char *name)
{
    return Descriptor(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Removes the item `name` in `parent` and everything below it, never
// following a link.
bool removeTree(int parent, const char *name, int depth = 0)
{
    struct stat status {};
    if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(status.st_mode))
        return ::unlinkat(parent, name, 0) == 0;
    if (depth > kMaxTreeDepth)
        return false;
    Descriptor folder = openChildDirectory(parent, name);
    if (!folder)
        return false;
    DIR *listing = ::fdopendir(::dup(folder.get()));
    if (!listing)
        return false;
    bool removed = true;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        removed = removeTree(folder.get(), entry->d_name, depth + 1) && removed;
    }
    ::closedir(listing);
    return removed && ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

// How a tree is copied: for whom, with which permission bits, and how much
// it may hold. Only folders and regular files are copied: a link or any
// other kind of item fails the copy (ELOOP, EPERM), as does going past the
// budget (EFBIG).
struct CopyRules {
    bool change = false;
    uid_t user = 0;
    gid_t group = 0;
    mode_t modeMask = 07777;
    qint64 bytesLeft = QVHelperProtocol::kMaxCopySize;
    qint64 itemsLeft = QVHelperProtocol::kMaxCopyItems;
};

// Ownership goes through the open descriptor, never by name: the folders
// written into may be the user's, who could swap a name for a link.
bool applyOwner(int fd, const CopyRules &rules)
{
    return !rules.change || ::fchown(fd, rules.user, rules.group) == 0;
}

bool spend(CopyRules &rules, qint64 bytes)
{
    if (--rules.itemsLeft < 0 || bytes > rules.bytesLeft) {
        errno = EFBIG;
        return false;
    }
    rules.bytesLeft -= bytes;
    return true;
}

bool copyFile(int sourceParent, const char *name, int targetParent, CopyRules &rules)
{
    Descriptor source(::openat(sourceParent, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!source)
        return false;
    struct stat status {};
    if (::fstat(source.get(), &status) != 0)
        return false;
    if (!S_ISREG(status.st_mode)) {
        errno = EPERM;
        return false;
    }
    if (!spend(rules, status.st_size))
        return false;
    Descriptor target(::openat(targetParent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target)
        return false;
    // What was checked is the size when opened; the copy stops there too.
    qint64 left = status.st_size;
    char buffer[64 * 1024];
    while (left > 0) {
        const ssize_t count = ::read(source.get(), buffer, size_t(std::min<qint64>(left, sizeof buffer)));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0)
            break;
        left -= count;
        for (ssize_t written = 0; written < count;) {
            const ssize_t step = ::write(target.get(), buffer + written, size_t(count - written));
            if (step < 0 && errno == EINTR)
                continue;
            if (step < 0)
                return false;
            if (step == 0) {
                errno = EIO;
                return false;
            }
            written += step;
        }
    }
    return applyOwner(target.get(), rules) && ::fchmod(target.get(), status.st_mode & rules.modeMask) == 0;
}

// Copies the contents of folder `source` into the empty folder `target`.
bool copyTree(int source, int target, CopyRules &rules, int depth = 0)
{
    if (depth > kMaxTreeDepth) {
        errno = ELOOP;
        return false;
    }
    DIR *listing = ::fdopendir(::dup(source));
    if (!listing)
        return false;
    bool copied = true;
    while (copied) {
        errno = 0;
        const dirent *entry = ::readdir(listing);
        if (!entry) {
            copied = errno == 0;
            break;
        }
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat status {};
        if (::fstatat(source, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            copied = false;
        } else if (S_ISDIR(status.st_mode)) {
            Descriptor from = openChildDirectory(source, name);
            copied = from && spend(rules, 0) && ::mkdirat(target, name, 0700) == 0;
            Descriptor to = copied ? openChildDirectory(target, name) : Descriptor();
            copied = copied && to && copyTree(from.get(), to.get(), rules, depth + 1) && applyOwner(to.get(), rules)
                && ::fchmod(to.get(), (status.st_mode & rules.modeMask) | S_IRWXU) == 0;
        } else if (S_ISREG(status.st_mode)) {
            copied = copyFile(source, name, target, rules);
        } else {
            errno = S_ISLNK(status.st_mode) ? ELOOP : EPERM;
            copied = false;
        }
    }
    const int error = errno;
    ::closedir(listing);
    errno = error;
    return copied;
}

// A fresh folder ".<name>.<random>" in `parent`; its name in *stagingName.
bool makeStagingFolder(int parent, const QString &name, QByteArray *stagingName)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        *stagingName = QFile::encodeName(
            QStringLiteral(".%1.%2").arg(name).arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0')));
        if (::mkdirat(parent, stagingName->constData(), 0700) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Puts the staged folder in place of `name` atomically; the item it replaced
// is removed. On failure `name` is as it was.
bool swapIntoPlace(int parent, const QByteArray &staging, const QByteArray &name)
{
    if (::renameat2(parent, staging.constData(), parent, name.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EEXIST && errno != ENOTEMPTY && errno != EINVAL)
        return false;
    if (::renameat2(parent, staging.constData(), parent, name.constData(), RENAME_EXCHANGE) == 0) {
        removeTree(parent, staging.constData());
        return true;
    }
    if (errno != EINVAL)
        return false;
    // A file system without exchange: set the old one aside, put the new one
    // in, and put the old one back when that fails.
    const QByteArray aside = staging + ".old";
    const bool hadOld = ::renameat(parent, name.constData(), parent, aside.constData()) == 0;
    if (!hadOld && errno != ENOENT)
        return false;
    if (::renameat(parent, staging.constData(), parent, name.constData()) != 0) {
        if (hadOld)
            ::renameat(parent, aside.constData(), parent, name.constData());
        return false;
    }
    if (hadOld)
        removeTree(parent, aside.constData());
    return true;
}

// CFBundleIdentifier of <bundle>/Contents/Info.plist read below the open
// bundle folder without following links; empty when unreadable.
QString bundleIdentifier(int bundle)
{
    Descriptor contents = openChildDirectory(bundle, "Contents");
    if (!contents)
        return QString();
    Descriptor info(::openat(contents.get(), "Info.plist", O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!info || ::fstat(info.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxInfoPlistSize)
        return QString();
    QFile file;
    if (!file.open(info.get(), QIODevice::ReadOnly))
        return QString();
    const auto plist = PropertyList::fromXml(file.read(kMaxInfoPlistSize));
    if (!plist)
        return QString();
    return plist->toMap().value(QStringLiteral("CFBundleIdentifier")).toString();
}

bool hasProgramFolder(int bundle)
{
    Descriptor contents = openChildDirectory(bundle, "Contents");
    return contents && openChildDirectory(contents.get(), "MacOS");
}

}  // namespace

QVHelperTool::QVHelperTool(QString bundlePath, uid_t user, gid_t group)
    : bundlePath_(std::move(bundlePath)), user_(user), group_(group)
{
}

QVariantMap QVHelperTool::perform(const QVariantMap &request)
{
    const QString action = request.value(kActionKey).toString();
    bool result = false;
    if (action == kActionInstallMailPlugin) {
        result = installMailPlugin(request.value(kSourcePathKey).toString(), request.value(kLibraryPathKey).toString());
    } else if (action == kActionUninstallMailPlugin) {
        result =
            uninstallMailPlugin(request.value(kSourcePathKey).toString(), request.value(kLibraryPathKey).toString());
    } else if (action == kActionInstallUpdate) {
        result = installUpdate(request.value(kUpdatePathKey).toString(), request.value(kInstallPathKey).toString());
    } else {
        syslog(LOG_ERR, "Unknown action: \"%s\"", action.toUtf8().constData());
    }
    syslog(LOG_NOTICE, "%s: %s", action.toUtf8().constData(), result ? "done" : "failed");
    return {{QString::fromLatin1(kResultKey), result}};
}

QString QVHelperTool::pluginName(const QString &sourcePath) const
{
    if (!isPlainAbsolutePath(sourcePath) || !isPlainAbsolutePath(bundlePath_))
        return QString();
    const QString name = sourcePath.section(u'/', -1);
    if (sourcePath != bundlePath_ + QStringLiteral("/Contents/PlugIns/") + name
        || (name != QLatin1String(kMailPluginBundleName) && name != QLatin1String(kMailPluginBundleNameFor109)))
        return QString();
    struct stat status {};
    if (::lstat(encoded(sourcePath).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return QString();
    return name;
}

int QVHelperTool::openUserFolder(const QString &libraryPath, const char *folder, bool create) const
{
    if (!isPlainAbsolutePath(libraryPath))
        return -1;
    Descriptor current = openDirectory(libraryPath);
    struct stat status {};
    if (!current || ::fstat(current.get(), &status) != 0 || status.st_uid != user_)
        return -1;
    for (const char *name : {"Mail", folder}) {
        const bool created = create && ::mkdirat(current.get(), name, 0700) == 0;
        Descriptor next = openChildDirectory(current.get(), name);
        if (!next || ::fstat(next.get(), &status) != 0)
            return -1;
        // A folder made here is ours and empty until handed to the user,
        // through its descriptor: the name may be something else by now.
        if (created && status.st_uid == geteuid() && status.st_uid != user_ && status.st_nlink == 2
            && ::fchown(next.get(), user_, group_) == 0)
            status.st_uid = user_;
        if (status.st_uid != user_)
            return -1;
        current.reset(next.release());
    }
    return current.release();
}

bool QVHelperTool::installMailPlugin(const QString &sourcePath, const QString &libraryPath)
{
    const QString name = pluginName(sourcePath);
    if (name.isEmpty()) {
        syslog(LOG_ERR, "Refused plug-in source: %s", encoded(sourcePath).constData());
        return false;
    }
    Descriptor bundles(openUserFolder(libraryPath, "Bundles", true));
    if (!bundles) {
        syslog(LOG_ERR, "Refused library folder: %s", encoded(libraryPath).constData());
        return false;
    }
    Descriptor source = openDirectory(sourcePath);
    QByteArray staging;
    if (!source || !makeStagingFolder(bundles.get(), name, &staging)) {
        logFailure("Couldn't prepare the plug-in copy", sourcePath, errno);
        return false;
    }
    CopyRules rules{geteuid() == 0, user_, group_, 0777};
    Descriptor target = openChildDirectory(bundles.get(), staging.constData());
    const bool copied = target && copyTree(source.get(), target.get(), rules) && applyOwner(target.get(), rules)
        && ::fchmod(target.get(), 0755) == 0;
    if (!copied || !swapIntoPlace(bundles.get(), staging, encoded(name))) {
        logFailure("Couldn't install the plug-in", sourcePath, errno);
        removeTree(bundles.get(), staging.constData());
        return false;
    }
    return true;
}

bool QVHelperTool::uninstallMailPlugin(const QString &sourcePath, const QString &libraryPath)
{
    const QString name = pluginName(sourcePath);
    if (name.isEmpty()) {
        syslog(LOG_ERR, "Refused plug-in source: %s", encoded(sourcePath).constData());
        return false;
    }
    bool removed = true;
    int error = 0;
    for (const char *folder : {"Bundles", "Bundles (Disabled)"}) {
        Descriptor bundles(openUserFolder(libraryPath, folder, false));
        if (!bundles) {
            // A folder that is missing holds no plug-in; one that is not the
            // user's own is refused.
            const QString path = libraryPath + QStringLiteral("/Mail/") + QLatin1String(folder);
            struct stat status {};
            if (::lstat(encoded(path).constData(), &status) == 0 || errno != ENOENT
                || !isPlainAbsolutePath(libraryPath)) {
                error = error != 0 ? error : (errno == ENOENT ? EPERM : errno);
                removed = false;
            }
            continue;
        }
        if (!removeTree(bundles.get(), encoded(name).constData())) {
            error = error != 0 ? error : errno;
            removed = false;
        }
    }
    if (!removed)
        logFailure("Couldn't remove the plug-in", libraryPath, error);
    return removed;
}

bool QVHelperTool::installUpdate(const QString &updatePath, const QString &installPath)
{
    if (!isPlainAbsolutePath(installPath) || installPath != bundlePath_ || !isPlainAbsolutePath(updatePath)
        || installPath == QStringLiteral("/")) {
        syslog(LOG_ERR, "Refused update %s for %s", encoded(updatePath).constData(), encoded(installPath).constData());
        return false;
    }
    Descriptor installed = openDirectory(installPath);
    Descriptor update = openDirectory(updatePath);
    const QString identifier = installed ? bundleIdentifier(installed.get()) : QString();
    if (!update || identifier.isEmpty()) {
        syslog(LOG_ERR, "Refused update %s: not an application", encoded(updatePath).constData());
        return false;
    }
    const QString parentPath =
        installPath.section(u'/', 0, -2, QString::SectionSkipEmpty | QString::SectionIncludeLeadingSep);
    const QString name = installPath.section(u'/', -1);
    Descriptor parent = openDirectory(parentPath.isEmpty() ? QStringLiteral("/") : parentPath);
    QByteArray staging;
    if (!parent || !makeStagingFolder(parent.get(), name, &staging)) {
        logFailure("Couldn't prepare the update", installPath, errno);
        return false;
    }
    // The copy is checked, not the caller's folder, which its owner could
    // change after any check.
    CopyRules rules{false, 0, 0, 0755};
    Descriptor staged = openChildDirectory(parent.get(), staging.constData());
    bool ready = staged && copyTree(update.get(), staged.get(), rules) && ::fchmod(staged.get(), 0755) == 0;
    if (ready && (bundleIdentifier(staged.get()) != identifier || !hasProgramFolder(staged.get()))) {
        syslog(LOG_ERR, "Refused update %s: not a bundle of %s", encoded(updatePath).constData(),
               identifier.toUtf8().constData());
        errno = 0;
        ready = false;
    }
    if (!ready || !swapIntoPlace(parent.get(), staging, encoded(name))) {
        logFailure("Couldn't install the update", installPath, errno);
        removeTree(parent.get(), staging.constData());
        return false;
    }
    return true;
}
