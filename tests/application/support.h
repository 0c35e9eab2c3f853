// Helpers shared by the application's tests.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QString>

// Runs the event loop until the condition holds or the time is up.
template <typename Condition>
bool waitFor(Condition condition, int milliseconds = 5000)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}

// The application's log as written so far.
inline QString coreLog()
{
    QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
               + QStringLiteral("/Quorvane/Logs/QVCore.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

inline qsizetype logCount(const QString &text)
{
    return coreLog().count(text);
}
