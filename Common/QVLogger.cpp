#include "QVLogger.h"

#include "QVBundleExtensions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <ctime>
#include <map>
#include <memory>

#include <fcntl.h>
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
    return folder + u'/' + name + (generation > 1 ? QString::number(generation) : QString())
        + QStringLiteral(".log");
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
        QFile::remove(generationPath(folder, name_, kQVMaxLogFiles));
        for (int generation = kQVMaxLogFiles - 1; generation >= 1; --generation)
            QFile::rename(generationPath(folder, name_, generation),
                          generationPath(folder, name_, generation + 1));
    }
    const QByteArray path = QFile::encodeName(generationPath(folder, name_, 1));
    fileHandle_ = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    return fileHandle_;
}

void QVLogger::logMessage(QStringView message)
{
    const QByteArray bytes = currentDate() + ": " + message.toUtf8() + '\n';

    std::lock_guard lock(mutex_);
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

    // The plug-in runs in no container here: its log lies in the same folder.
    QProcess zip;
    zip.setProgram(QStringLiteral("/usr/bin/zip"));
    zip.setArguments({QStringLiteral("-rj"), archive, logs});
    zip.setStandardOutputFile(QProcess::nullDevice());
    zip.setStandardErrorFile(QProcess::nullDevice());
    zip.start();
    if (!zip.waitForFinished(-1) || zip.exitStatus() != QProcess::NormalExit || zip.exitCode() != 0)
        return false;
    if (!QFileInfo::exists(archive))
        return false;
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
    static QVLogger &logger = QVLogger::sharedLoggerWithDomain(QVNSBundleExtensions::productName(),
                                                               QStringLiteral("QVMailPlugin"));
    logger.logMessage(message);
}

bool QVLogCreateArchiveWithLogFiles(QString *archivePath)
{
    return QVLogger::createArchiveWithLogFilesForDomain(QVNSBundleExtensions::productName(),
                                                       archivePath);
}
