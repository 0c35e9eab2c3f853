// The application's settings: stored values in
// $XDG_CONFIG_HOME/Quorvane/Quorvane.conf (ini format) over registered
// defaults, which are never written. changed(key) stands in for key-value
// observing.
#pragma once

#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <QVariantMap>

inline constexpr char kQVShowInDockKey[] = "QVShowInDock";
inline constexpr char kQVShowInStatusBarKey[] = "QVShowInStatusBar";
inline constexpr char kQVSpamDetectionThresholdKey[] = "QVSpamDetectionThreshold";
inline constexpr char kQVSpamExtendedLoggingKey[] = "QVSpamExtendedLogging";
inline constexpr char kQVCheckForUpdatesAtLaunchKey[] = "QVCheckForUpdatesAtLaunch";
inline constexpr char kQVEmailAddressKey[] = "EmailAddress";
// Where the classification servers and the update service are found.
inline constexpr char kQVBackendHostKey[] = "QVBackendHost";
inline constexpr char kQVUpdateServiceKey[] = "QVUpdateService";

class QVUserDefaults final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVUserDefaults)

public:
    // The process's settings, made on first use.
    static QVUserDefaults &standardUserDefaults();
    // The application's defaults: dock off, status bar on, level 2, extended
    // logging on, update check on, the back end on this machine and no
    // update service (none is asked until one is set). Registered at
    // start-up before anything reads them.
    static QVariantMap applicationDefaults();

    explicit QVUserDefaults(const QString &filePath, QObject *parent = nullptr);

    // Adds to the registered defaults (later registrations win).
    void registerDefaults(const QVariantMap &defaults);

    // The stored value, else the registered default, else an invalid QVariant.
    QVariant objectForKey(const QString &key) const;
    QString stringForKey(const QString &key) const;
    bool boolForKey(const QString &key) const;
    // 0 when the value is missing or is not a number.
    double doubleForKey(const QString &key) const;

    // Stores and writes the value; announces it when it changed. An invalid
    // value removes the stored one.
    void setObject(const QVariant &value, const QString &key);
    void removeObjectForKey(const QString &key) { setObject(QVariant(), key); }

    QString filePath() const { return settings_.fileName(); }

signals:
    void changed(const QString &key);

private:
    mutable QSettings settings_;
    QVariantMap registered_;
};
