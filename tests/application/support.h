// Helpers shared by the application's tests.
#pragma once

#include "QVServiceInfo.h"
#include "wait_for.h"

#include <QCoreApplication>
#include <QDir>
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

// Points the service identity at a machine-id file with `id` in `folder`, so
// a server can be given the credential the application will use; false when
// the file cannot be written.
inline bool useMachineId(const QDir &folder, const QByteArray &id)
{
    const QString path = folder.filePath(QStringLiteral("machine-id"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(id + '\n') != id.size() + 1)
        return false;
    file.close();
    QVServiceInfo::setMachineIdFilesForTesting({path});
    return true;
}

// Two messages from different senders with different words, sharing a link:
// what the servers learn from a report of the first counts for the second.
inline const QByteArray kCampaignFirst = QByteArrayLiteral(
    "From: Offers <offers@deals.example>\r\n"
    "To: someone@example.org\r\n"
    "Subject: Your prize\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "\r\n"
    "Congratulations, you have won a prize. Claim it at http://prize.example.net/claim?id=7 before Friday.\r\n");
inline const QByteArray kCampaignSecond =
    QByteArrayLiteral("From: Winners <team@other.example>\r\n"
                      "To: someone@example.org\r\n"
                      "Subject: Last chance\r\n"
                      "Content-Type: text/plain\r\n"
                      "\r\n"
                      "Only today: visit http://prize.example.net/claim?id=7 and collect your reward now.\r\n");
