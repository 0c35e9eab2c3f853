// Who the application works for, as told to the classification servers, the
// update service and the account web site. Every value is computed anew on
// each call.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

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

    // Tests read the machine's UUID from other files.
    static void setMachineIdFilesForTesting(const QStringList &paths);
};
