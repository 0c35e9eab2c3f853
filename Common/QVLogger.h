// Plain-text log files with five generations per name, written from any
// thread. Code logs through QVLogCore (the application) or QVLogPlugin (the
// plug-in); QVLogCreateArchiveWithLogFiles zips the log folder onto the
// Desktop.
#pragma once

#include <QString>
#include <QStringView>

#include <mutex>
#include <type_traits>

// Generations of a log file: N.log, then N2.log ... N5.log, newest first.
inline constexpr int kQVMaxLogFiles = 5;
// A log file that would grow past this size is rotated within the run, so
// the generations together stay under 50 MB however busy the day.
inline constexpr qint64 kQVMaxLogFileSize = 10 * 1024 * 1024;

class QVLogger {
public:
    // The process-wide logger for `name`; the first call for a name decides
    // its domain. Loggers live until the process ends.
    static QVLogger &sharedLoggerWithDomain(const QString &domain, const QString &name);

    // Writes <data location>/<domain>/Logs/<name>.log; opens nothing yet.
    QVLogger(QString domain, QString name);
    ~QVLogger();
    QVLogger(const QVLogger &) = delete;
    QVLogger &operator=(const QVLogger &) = delete;

    const QString &domain() const { return domain_; }
    const QString &name() const { return name_; }

    // Appends "yyyy:MM:dd HH:mm:ss: <message>\n" in UTF-8 with one write.
    // Control characters of the message (but tabs) are written escaped, so
    // text from elsewhere can never start a line of its own. The first line
    // of a process rotates the generations, and so does a line that would
    // take the file past maximumFileSize(); while the file cannot be opened
    // lines are dropped and each later line tries again.
    void logMessage(QStringView message);

    qint64 maximumFileSize() const;
    void setMaximumFileSize(qint64 bytes);

    // The message as a line holds it: line breaks and other control
    // characters as \n, \r, \xHH or \uHHHH.
    static QString escapedText(QStringView message);

    // Zips <data location>/<domain>/Logs into QVLogs.zip on the Desktop with
    // /usr/bin/zip. On success stores the archive's path in *archiveName
    // when given.
    static bool createArchiveWithLogFilesForDomain(const QString &domain, QString *archiveName);

private:
    // The descriptor, opened (and, once per logger, rotated) on first use;
    // -1 when it cannot be opened. Called with mutex_ held.
    int fileHandle();
    // Pushes N.log to N2.log and so on; the oldest generation is dropped.
    void rotate(const QString &folder) const;

    const QString domain_;
    const QString name_;
    mutable std::mutex mutex_;
    int fileHandle_ = -1;
    bool rotated_ = false;
    qint64 fileSize_ = 0;
    qint64 maximumFileSize_ = kQVMaxLogFileSize;
};

namespace QVLogDetail {

inline QString argument(const QString &text)
{
    return text;
}
inline QString argument(QStringView text)
{
    return text.toString();
}
inline QString argument(const char *utf8)
{
    return QString::fromUtf8(utf8);
}
template <typename Number>
requires std::is_arithmetic_v<Number> QString argument(Number number)
{
    return QString::number(number);
}

}  // namespace QVLogDetail

void QVLogCore(const QString &message);
void QVLogPlugin(const QString &message);

// Format forms: "%1".."%n" placeholders filled in one pass, so text in an
// argument is never taken for a placeholder.
template <typename... Args>
requires(sizeof...(Args) > 0) void QVLogCore(const QString &format, const Args &...args)
{
    QVLogCore(format.arg(QVLogDetail::argument(args)...));
}

template <typename... Args>
requires(sizeof...(Args) > 0) void QVLogPlugin(const QString &format, const Args &...args)
{
    QVLogPlugin(format.arg(QVLogDetail::argument(args)...));
}

// Archives the product's logs; on success stores the archive's path in
// *archivePath when given.
bool QVLogCreateArchiveWithLogFiles(QString *archivePath = nullptr);
