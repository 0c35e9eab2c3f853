#include "QVServiceInfo.h"

#include "PropertyList.h"
#include "QVBundleExtensions.h"
#include "QVDataAdditions.h"
#include "QVLogger.h"
#include "QVMainBundle.h"
#include "QVUserDefaults.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QSysInfo>

namespace {

const QString kAccountSitePage = QStringLiteral("http://account.quorvane.com/LoginSystem/GotoPage");

QStringList &machineIdFiles()
{
    static QStringList paths{QStringLiteral("/etc/machine-id"), QStringLiteral("/var/lib/dbus/machine-id")};
    return paths;
}

QString accountRecordValue(const QString &key)
{
    QFile file(QVNSBundleExtensions::applicationSupportDirectory() + QStringLiteral("/Account.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const auto record = PropertyList::fromXml(file.read(64 * 1024));
    if (!record)
        return QString();
    const QVariant value = record->toMap().value(key);
    if (value.userType() == QMetaType::QString)
        return value.toString();
    if (value.userType() == QMetaType::LongLong || value.userType() == QMetaType::Int)
        return QString::number(value.toLongLong());
    return QString();
}

}  // namespace

QString QVServiceInfo::macIdentifier()
{
    static const QRegularExpression hex32(QStringLiteral("^[0-9a-fA-F]{32}$"));
    for (const QString &path : std::as_const(machineIdFiles())) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString id = QString::fromLatin1(file.read(256)).trimmed();
        if (hex32.match(id).hasMatch())
            return id;
    }
    return QString();
}

QByteArray QVServiceInfo::macIDMD5()
{
    const QString uuid = macIdentifier();
    if (uuid.isEmpty()) {
        QVLogCore(QCoreApplication::translate("QVServiceInfo", "*** Couldn't generate mac identifier."));
        return QByteArray();
    }
    return QVAdditions::md5DataForString(uuid);
}

QString QVServiceInfo::machineID()
{
    const QByteArray digest = macIDMD5();
    if (digest.isEmpty())
        return QString();
    const QString hash = QVAdditions::hexHashString(digest);
    return QStringLiteral("M01:%1-M01:%1").arg(hash);
}

QString QVServiceInfo::userID()
{
    return accountRecordValue(QStringLiteral("userID"));
}

QString QVServiceInfo::recordedMachineID()
{
    return accountRecordValue(QStringLiteral("machineID"));
}

QString QVServiceInfo::userEmail()
{
    const QVariant value = QVUserDefaults::standardUserDefaults().objectForKey(kQVEmailAddressKey);
    return value.isValid() ? value.toString() : QString();
}

QString QVServiceInfo::userName()
{
    const QString email = userEmail();
    const qsizetype at = email.indexOf(u'@');
    return at < 0 ? QStringLiteral("") : email.left(at);
}

QString QVServiceInfo::userSite()
{
    const QString email = userEmail();
    const qsizetype at = email.indexOf(u'@');
    return at < 0 ? QStringLiteral("") : email.mid(at + 1);
}

QString QVServiceInfo::productCode()
{
    return QVMainBundle::infoString(QStringLiteral("ProductCode"));
}

QString QVServiceInfo::productPartnerID()
{
    return QVMainBundle::infoString(QStringLiteral("ProductPartnerID"));
}

QString QVServiceInfo::productVersion()
{
    const QString shortVersion = QVMainBundle::infoString(QStringLiteral("CFBundleShortVersionString"));
    const QString build = QVMainBundle::infoString(QStringLiteral("CFBundleVersion"));
    if (shortVersion.isEmpty() || build.isEmpty())
        return QStringLiteral("");
    return shortVersion + u'.' + build;
}

QString QVServiceInfo::language()
{
    // The application ships its English texts only, so the preferred
    // localization is English whatever the user's languages are.
    static const QStringList localizations{QStringLiteral("en")};
    for (const QString &name : QLocale::system().uiLanguages()) {
        const QString code = QLocale(name).name().section(u'_', 0, 0);
        if (localizations.contains(code))
            return code;
    }
    return localizations.front();
}

QString QVServiceInfo::systemVersion()
{
    // The kernel's release: "6.1.0-18-amd64" gives "6.1.0".
    static const QRegularExpression threeNumbers(QStringLiteral("^(\\d+)\\.(\\d+)\\.(\\d+)"));
    const auto match = threeNumbers.match(QSysInfo::kernelVersion());
    if (!match.hasMatch())
        return QStringLiteral("");
    return QStringLiteral("%1.%2.%3")
        .arg(match.captured(1).toInt())
        .arg(match.captured(2).toInt())
        .arg(match.captured(3).toInt());
}

QString QVServiceInfo::systemBits()
{
    return QSysInfo::WordSize == 64 ? QStringLiteral("64") : QStringLiteral("32");
}

QUrl QVServiceInfo::urlWithPageID(const QString &pageID)
{
    const QStringList parameters{
        QStringLiteral("Login_Product=") + productCode(),
        QStringLiteral("Login_PartnerID=") + productPartnerID(),
        QStringLiteral("Login_Lang=") + language(),
        QStringLiteral("Login_UserID=") + userID(),
        // The account site compares the recorded machine with this one.
        QStringLiteral("Login_MachineID=%1-%2").arg(recordedMachineID(), machineID()),
        QStringLiteral("Goto_Page=") + pageID,
    };
    const QString address = QStringLiteral("%1?%2").arg(kAccountSitePage, parameters.join(u'&'));
    QVLogCore(QCoreApplication::translate("QVServiceInfo", "Generated goto page query: %1"), address);
    const QUrl url(address, QUrl::StrictMode);
    return url.isValid() ? url : QUrl();
}

void QVServiceInfo::setMachineIdFilesForTesting(const QStringList &paths)
{
    machineIdFiles() = paths;
}
