#include "QVLogger.h"

#include "QVBundleExtensions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <ctime>
#include <map>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString logsFolder(const QString &domain)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u'/' + domain
        + QStringLiteral("/Logs");
}

// "yyyy:MM:dd HH:mm:ss" in the process's time zone.
QByteArray currentDate()
{
    // Time-zone data is loaded once, before any thread formats a date.
    static std::once_flag timeZoneLoaded;
    std::call_once(timeZoneLoaded, [] { ::tzset(); });
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[32];
    if (!::localtime_r(&now, &local) || std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local) == 0)
        return QByteArrayLiteral("0000:00:00 00:00:00");
    return QByteArray(text);
}

// Generation 1 is N.log, generation k > 1 is Nk.log.
QString generationPath(const QString &folder, const QString &name, int generation)
{
    return folder + u'/' + name + (generation > 1 ? QString::number(generation) : QString()) + QStringLiteral(".log");
}

}  // namespace

QVLogger &QVLogger::sharedLoggerWithDomain(const QString &domain, const QString &name)
{
    // Never freed: threads may still log while the process exits.
    static auto *mutex = new std::mutex;
    static auto *cache = new std::map<QString, std::unique_ptr<QVLogger>>;
    std::lock_guard lock(*mutex);
    auto &logger = (*cache)[name];
    if (!logger)
        logger = std::make_unique<QVLogger>(domain, name);
    return *logger;
}

QVLogger::QVLogger(QString domain, QString name) : domain_(std::move(domain)), name_(std::move(name)) {}

QVLogger::~QVLogger()
{
    if (fileHandle_ >= 0)
        ::close(fileHandle_);
}

void QVLogger::rotate(const QString &folder) const
{
    QFile::remove(generationPath(folder, name_, kQVMaxLogFiles));
    for (int generation = kQVMaxLogFiles - 1; generation >= 1; --generation)
        QFile::rename(generationPath(folder, name_, generation), generationPath(folder, name_, generation + 1));
}

int QVLogger::fileHandle()
{
    if (fileHandle_ >= 0)
        return fileHandle_;

    const QString folder = logsFolder(domain_);
    QDir().mkpath(folder);
    // Once per logger and process: a failed open must not push the older
    // generations out one by one.
    if (!rotated_) {
        rotated_ = true;
        rotate(folder);
    }
    const QByteArray path = QFile::encodeName(generationPath(folder, name_, 1));
    fileHandle_ = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    struct stat status {};
    fileSize_ = fileHandle_ >= 0 && ::fstat(fileHandle_, &status) == 0 ? status.st_size : 0;
    return fileHandle_;
}

qint64 QVLogger::maximumFileSize() const
{
    std::lock_guard lock(mutex_);
    return maximumFileSize_;
}

void QVLogger::setMaximumFileSize(qint64 bytes)
{
    std::lock_guard lock(mutex_);
    maximumFileSize_ = bytes;
}

QString QVLogger::escapedText(QStringView message)
{
    const auto needsEscape = [](char16_t c) {
        return (c < 0x20 && c != u'\t') || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029;
    };
    if (std::none_of(message.begin(), message.end(), [&](QChar c) { return needsEscape(c.unicode()); }))
        return message.toString();
    QString escaped;
    escaped.reserve(message.size() + 16);
    for (const QChar c : message) {
        const char16_t code = c.unicode();
        if (!needsEscape(code))
            escaped += c;
        else if (code == u'\n')
            escaped += u"\\n";
        else if (code == u'\r')
            escaped += u"\\r";
        else if (code < 0x100)
            escaped += QStringLiteral("\\x%1").arg(uint(code), 2, 16, QLatin1Char('0'));
        else
            escaped += QStringLiteral("\\u%1").arg(uint(code), 4, 16, QLatin1Char('0'));
    }
    return escaped;
}

void QVLogger::logMessage(QStringView message)
{
    const QByteArray bytes = currentDate() + ": " + escapedText(message).toUtf8() + '\n';

    std::lock_guard lock(mutex_);
    if (fileHandle_ >= 0 && fileSize_ > 0 && fileSize_ + bytes.size() > maximumFileSize_) {
        ::close(fileHandle_);
        fileHandle_ = -1;
        rotate(logsFolder(domain_));
    }
    const int descriptor = fileHandle();
    if (descriptor < 0)
        return;
    const char *next = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, next, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        next += written;
        left -= written;
        fileSize_ += written;
    }
}

bool QVLogger::createArchiveWithLogFilesForDomain(const QString &domain, QString *archiveName)
{
    const QString logs = logsFolder(domain);
    if (!QFileInfo(logs).isDir())
        return false;
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty() || !QFileInfo(desktop).isDir())
        return false;
    const QString archive = desktop + QStringLiteral("/QVLogs.zip");
    // The logs are the owner's alone, and so is their archive: it is made
    // owner-only under a name of its own, then replaces an older archive
    // whole (zip would otherwise add to the old one, keeping its mode).
    const QString partial = desktop + QStringLiteral("/.QVLogs-%1.zip").arg(QCoreApplication::applicationPid());
    QFile::remove(partial);

    // The plug-in runs in no container here: its log lies in the same folder.
    QProcess zip;
    zip.setProgram(QStringLiteral("/usr/bin/zip"));
    zip.setArguments({QStringLiteral("-rj"), partial, logs});
    zip.setStandardOutputFile(QProcess::nullDevice());
    zip.setStandardErrorFile(QProcess::nullDevice());
    zip.setChildProcessModifier([] { ::umask(077); });
    zip.start();
    const bool zipped = zip.waitForFinished(-1) && zip.exitStatus() == QProcess::NormalExit && zip.exitCode() == 0;
    if (!zipped || !QFile::setPermissions(partial, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(archive).constData()) != 0) {
        QFile::remove(partial);
        return false;
    }
    if (archiveName)
        *archiveName = archive;
    return true;
}

void QVLogCore(const QString &message)
{
    static QVLogger &logger =
        QVLogger::sharedLoggerWithDomain(QVNSBundleExtensions::productName(), QStringLiteral("QVCore"));
    logger.logMessage(message);
}

void QVLogPlugin(const QString &message)
{
    static QVLogger &logger =
        QVLogger::sharedLoggerWithDomain(QVNSBundleExtensions::productName(), QStringLiteral("QVMailPlugin"));
    logger.logMessage(message);
}

bool QVLogCreateArchiveWithLogFiles(QString *archivePath)
{
    return QVLogger::createArchiveWithLogFilesForDomain(QVNSBundleExtensions::productName(), archivePath);
}
