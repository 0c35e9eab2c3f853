#include "QVUpdateUnpacker.h"

#include "QVHelperProtocol.h"
#include "QVUpdateProtocol.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kUnzip = QStringLiteral("/usr/bin/unzip");
constexpr int kListingTimeout = 60 * 1000;
constexpr int kWatchInterval = 50;
constexpr int kMaxTreeDepth = 64;

// unzip's output for a listing, or null when it failed.
QByteArray listing(const QStringList &arguments, const QString &folder)
{
    QProcess unzip;
    unzip.setWorkingDirectory(folder);
    unzip.setStandardInputFile(QProcess::nullDevice());
    unzip.start(kUnzip, arguments);
    if (!unzip.waitForFinished(kListingTimeout)) {
        unzip.kill();
        unzip.waitForFinished(1000);
        return QByteArray();
    }
    if (unzip.exitStatus() != QProcess::NormalExit || unzip.exitCode() != 0)
        return QByteArray();
    const QByteArray output = unzip.readAllStandardOutput();
    return output.isNull() ? QByteArray("") : output;
}

// What the archive says of itself, a first and cheap refusal: no absolute
// names, no "..", and not more than an update may hold, in bytes or in
// items. The archive could lie; what unzip writes is checked again on disk.
bool listsAcceptableNames(const QString &archive, const QString &folder, qint64 limit, qint64 itemLimit)
{
    // The totals first, which unzip gives at once: "<n> files, <bytes> bytes
    // uncompressed, <bytes> bytes compressed: ...".
    const QByteArray totals = listing({QStringLiteral("-Zt"), archive}, folder);
    const QList<QByteArray> words = totals.simplified().split(' ');
    bool ok = false;
    bool counted = false;
    const qint64 unpacked = words.size() > 2 ? words[2].toLongLong(&ok) : -1;
    const qint64 items = words.size() > 2 ? words[0].toLongLong(&counted) : -1;
    if (!ok || !counted || unpacked < 0 || unpacked > limit || items < 0 || items > itemLimit)
        return false;
    const QByteArray names = listing({QStringLiteral("-Z1"), archive}, folder);
    if (names.isNull() || names.count('\n') > itemLimit)
        return false;
    for (const QByteArray &name : names.split('\n')) {
        if (name.startsWith('/') || name.contains('\\'))
            return false;
        for (const QByteArray &component : name.split('/')) {
            if (component == "..")
                return false;
        }
    }
    return true;
}

// Bytes the process has written so far; -1 when it cannot be read.
qint64 bytesWritten(qint64 pid)
{
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

bool walk(int folder, ino_t except, qint64 &budget, qint64 &items, int depth)
{
    if (depth > kMaxTreeDepth)
        return false;
    DIR *entries = ::fdopendir(::dup(folder));
    if (!entries)
        return false;
    bool plain = true;
    while (plain) {
        errno = 0;
        const dirent *entry = ::readdir(entries);
        if (!entry) {
            plain = errno == 0;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat status {};
        if (--items < 0 || ::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            plain = false;
        } else if (S_ISDIR(status.st_mode)) {
            const int child = ::openat(folder, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            plain = child >= 0 && walk(child, except, budget, items, depth + 1);
            if (child >= 0)
                ::close(child);
        } else if (S_ISREG(status.st_mode)) {
            if (status.st_ino != except)
                budget -= status.st_size;
            plain = budget >= 0;
        } else {
            plain = false;  // a link, a device, a pipe or a socket
        }
    }
    ::closedir(entries);
    return plain;
}

}  // namespace

QVUpdateUnpacker::QVUpdateUnpacker(QObject *parent)
    : QObject(parent), limit_(QVUpdateProtocol::kMaxUpdateSize), itemLimit_(QVHelperProtocol::kMaxCopyItems)
{
    watch_.setInterval(kWatchInterval);
    connect(&watch_, &QTimer::timeout, this, &QVUpdateUnpacker::watch);
}

QVUpdateUnpacker::~QVUpdateUnpacker()
{
    cancel();
}

QString QVUpdateUnpacker::bundlePathForArchive(const QString &archivePath)
{
    const QFileInfo archive(archivePath);
    return archive.path() + u'/' + archive.completeBaseName() + QStringLiteral(".app");
}

bool QVUpdateUnpacker::isPlainTree(const QString &folder, const QString &except, qint64 budget, qint64 items)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat skipped {};
    const ino_t exceptInode = ::lstat(QFile::encodeName(except).constData(), &skipped) == 0 ? skipped.st_ino : 0;
    // The archive itself is one more item.
    ++items;
    const bool plain = walk(fd, exceptInode, budget, items, 0);
    ::close(fd);
    return plain;
}

void QVUpdateUnpacker::unpack(const QString &archivePath)
{
    cancel();
    archive_ = archivePath;
    const QString folder = QFileInfo(archivePath).path();
    if (checkListing_ && !listsAcceptableNames(archivePath, folder, limit_, itemLimit_)) {
        QMetaObject::invokeMethod(
            this,
            [this, run = run_] {
                if (run == run_)
                    end(false);
            },
            Qt::QueuedConnection);
        return;
    }
    unzip_ = std::make_unique<QProcess>();
    unzip_->setWorkingDirectory(folder);
    unzip_->setStandardInputFile(QProcess::nullDevice());
    // One line of output per item made: counted as it comes.
    unzip_->setStandardErrorFile(QProcess::nullDevice());
    itemsReported_ = 0;
    connect(unzip_.get(), &QProcess::readyReadStandardOutput, this, &QVUpdateUnpacker::countItems);
    // No one file past the cap: the kernel stops unzip (SIGXFSZ).
    unzip_->setChildProcessModifier([bytes = limit_] {
        const rlimit limit{rlim_t(bytes), rlim_t(bytes)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    connect(unzip_.get(), &QProcess::finished, this, &QVUpdateUnpacker::onFinished);
    connect(unzip_.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(false);
    });
    started_ = QDateTime::currentMSecsSinceEpoch();
    unzip_->start(kUnzip, {QStringLiteral("-o"), archivePath});
    watch_.start();
}

void QVUpdateUnpacker::watch()
{
    if (!unzip_ || unzip_->state() != QProcess::Running)
        return;
    // All files together: what unzip has written so far, with room for
    // its own few lines of output.
    const qint64 written = bytesWritten(unzip_->processId());
    const bool late = QDateTime::currentMSecsSinceEpoch() - started_ > timeout_;
    if (late || written > limit_ + 64 * 1024)
        unzip_->kill();
}

void QVUpdateUnpacker::countItems()
{
    if (!unzip_)
        return;
    // "Archive: <name>" comes first, then a line per folder or file.
    itemsReported_ += unzip_->readAllStandardOutput().count('\n');
    if (itemsReported_ > itemLimit_ + 1 && unzip_->state() == QProcess::Running)
        unzip_->kill();
}

void QVUpdateUnpacker::onFinished(int exitCode, QProcess::ExitStatus status)
{
    countItems();
    const bool unpacked = status == QProcess::NormalExit && exitCode == 0;
    const QString folder = QFileInfo(archive_).path();
    end(unpacked && itemsReported_ <= itemLimit_ + 1 && isPlainTree(folder, archive_, limit_, itemLimit_));
}

void QVUpdateUnpacker::end(bool success)
{
    watch_.stop();
    if (unzip_) {
        unzip_->disconnect(this);
        unzip_.release()->deleteLater();
    }
    Q_EMIT finished(success, success ? bundlePathForArchive(archive_) : QString());
}

void QVUpdateUnpacker::cancel()
{
    ++run_;
    watch_.stop();
    if (!unzip_)
        return;
    unzip_->disconnect(this);
    if (unzip_->state() != QProcess::NotRunning) {
        unzip_->kill();
        unzip_->waitForFinished(1000);
    }
    unzip_.reset();
}
