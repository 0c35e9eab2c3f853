#include "QVUserDefaults.h"

#include <QCoreApplication>
#include <QStandardPaths>

QVUserDefaults &QVUserDefaults::standardUserDefaults()
{
    static QVUserDefaults *const defaults = [] {
        const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/Quorvane/Quorvane.conf");
        return new QVUserDefaults(path, QCoreApplication::instance());
    }();
    return *defaults;
}

QVariantMap QVUserDefaults::applicationDefaults()
{
    return {
        {kQVShowInDockKey, false},
        {kQVShowInStatusBarKey, true},
        {kQVSpamDetectionThresholdKey, 2.0},
        {kQVSpamExtendedLoggingKey, true},
        {kQVCheckForUpdatesAtLaunchKey, true},
        {kQVBackendHostKey, QStringLiteral("127.0.0.1")},
        {kQVUpdateServiceKey, QString()},
    };
}

QVUserDefaults::QVUserDefaults(const QString &filePath, QObject *parent)
    : QObject(parent), settings_(filePath, QSettings::IniFormat)
{
}

void QVUserDefaults::registerDefaults(const QVariantMap &defaults)
{
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        registered_.insert(it.key(), it.value());
}

QVariant QVUserDefaults::objectForKey(const QString &key) const
{
    const QVariant stored = settings_.value(key);
    return stored.isValid() ? stored : registered_.value(key);
}

QString QVUserDefaults::stringForKey(const QString &key) const
{
    const QVariant value = objectForKey(key);
    return value.canConvert<QString>() ? value.toString() : QString();
}

bool QVUserDefaults::boolForKey(const QString &key) const
{
    // The ini file keeps "true"/"false"; numbers count as in the original
    // defaults system (non-zero is true).
    const QVariant value = objectForKey(key);
    if (value.userType() == QMetaType::QString) {
        const QString text = value.toString().trimmed().toLower();
        if (text == u"true" || text == u"yes")
            return true;
        bool isNumber = false;
        const double number = text.toDouble(&isNumber);
        return isNumber && number != 0;
    }
    return value.toBool();
}

double QVUserDefaults::doubleForKey(const QString &key) const
{
    bool ok = false;
    const double value = objectForKey(key).toDouble(&ok);
    return ok ? value : 0;
}

void QVUserDefaults::setObject(const QVariant &value, const QString &key)
{
    const QVariant before = objectForKey(key);
    if (value.isValid())
        settings_.setValue(key, value);
    else
        settings_.remove(key);
    settings_.sync();
    if (objectForKey(key) != before)
        emit changed(key);
}
