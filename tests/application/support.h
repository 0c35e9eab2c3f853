// Helpers shared by the application's tests.
#pragma once

#include "wait_for.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QString>

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
