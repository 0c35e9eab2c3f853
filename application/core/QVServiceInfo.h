// Who the application works for, as told to the classification servers, the
// update service and the account web site. Every value is computed anew on
// each call.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>

struct QVUpdateFile;
template <typename T> class QList;

class QVServiceInfo final {
public:
    QVServiceInfo() = delete;

    // "M01:<H>-M01:<H>", H the lower-case hex MD5 of the machine's UUID;
    // empty when the UUID cannot be read.
    static QString machineID();
    // The 16-byte MD5 of the UUID, or empty with a log line.
    static QByteArray macIDMD5();
    // The 32 hex digits of /etc/machine-id (or D-Bus's copy); null when
    // neither holds one.
    static QString macIdentifier();

    // The account record (Account.plist in the application's folder):
    // "userID" and "machineID", empty when missing.
    static QString userID();
    static QString recordedMachineID();

    static QString userEmail();
    static QString userName();
    static QString userSite();

    static QString productCode();
    static QString productPartnerID();
    // "CFBundleShortVersionString.CFBundleVersion", empty when either is.
    static QString productVersion();
    static QString language();
    static QString systemVersion();
    static QString systemBits();

    // The account site's page with the account's parameters.
    static QUrl urlWithPageID(const QString &pageID);
    static QUrl productUrl() { return urlWithPageID(QStringLiteral("HOMEPAGE")); }
    static QUrl supportUrl() { return urlWithPageID(QStringLiteral("SUPPORT")); }

    // The update query and its reply; built with the updater (qv_update).
    // Asks the update service at the setting QVUpdateService and answers the
    // delegate (a QObject that is a QVUpdateDelegate) on this thread; a
    // delegate destroyed meanwhile is not called.
    static void updateWithDelegate(QObject *delegate, bool applicationUpdate = true);
    // The query's parameters, "Chk" last.
    static QStringList updateQueryParameters();
    static QString checksumForParams(const QStringList &params);
    static bool parseTextResponse(const QString &reply, QString *description, QUrl *url, QList<QVUpdateFile> *files);
    static std::uint64_t lastSeenNumber();
    static QString updateInfoFileName() { return QStringLiteral("updateInfo.rtf"); }

    // Tests read the machine's UUID from other files.
    static void setMachineIdFilesForTesting(const QStringList &paths);
};
