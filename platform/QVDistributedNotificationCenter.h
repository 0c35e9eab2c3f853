// Notifications between the application, the mail plug-in and the launch
// agent, carried as D-Bus signals on the session bus so that any process on
// the bus can post or observe them with ordinary tools:
//
//   path      /org/quorvane/Distributed
//   interface org.quorvane.Distributed
//   member    the notification name (QV_ADD_MESSAGE ...)
//   argument  a{sv}: "Message" as ay, every other value as s
//
// Posting never waits for anyone: a post that nobody hears is lost.
// Delivery runs on the thread that owns the centre (the main thread).
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <vector>

class QDBusMessage;

// One received or posted notification. Values of the wrong type were
// dropped on receipt, so a missing and a mistyped value look the same.
struct QVDistributedNotification {
    QString name;
    QVariantMap userInfo;

    // Null when the key is missing.
    QString stringValue(const QString &key) const;
    QByteArray dataValue(const QString &key) const;
    bool contains(const QString &key) const { return userInfo.contains(key); }
};

class QVDistributedNotificationCenter final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVDistributedNotificationCenter)

public:
    using Handler = std::function<void(const QVDistributedNotification &)>;

    // The session bus's centre, made on first use on the calling thread
    // (call it first from the main thread).
    static QVDistributedNotificationCenter *defaultCenter();

    explicit QVDistributedNotificationCenter(const QDBusConnection &connection, QObject *parent = nullptr);
    ~QVDistributedNotificationCenter() override;

    // False when the bus is not reachable or the name is not a valid member
    // name; the post is dropped then.
    bool postNotificationName(const QString &name, const QVariantMap &userInfo = {});

    // Calls handler for every `name` from any sender until the observer is
    // removed or destroyed. One observer may observe several names.
    void addObserver(QObject *observer, const QString &name, Handler handler);
    void removeObserver(QObject *observer);
    void removeObserver(QObject *observer, const QString &name);

    // The user info as it travels: "Message" as bytes, the rest as text.
    static QVariantMap sanitizedUserInfo(const QVariantMap &userInfo);

private slots:
    void deliver(const QDBusMessage &message);

private:
    struct Observation {
        QObject *observer;
        Handler handler;
    };

    void subscribe(const QString &name);
    void unsubscribeUnusedNames();

    QDBusConnection connection_;
    QHash<QString, std::vector<Observation>> observations_;
    QHash<QObject *, QMetaObject::Connection> destroyedConnections_;
};
