#include "QVDistributedNotificationCenter.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>

namespace {

const QString kPath = QStringLiteral("/org/quorvane/Distributed");
const QString kInterface = QStringLiteral("org.quorvane.Distributed");
const QString kMessageKey = QStringLiteral("Message");

// D-Bus member names: letters, digits and underscores, not starting with a
// digit, at most 255 characters.
bool isMemberName(const QString &name)
{
    if (name.isEmpty() || name.size() > 255 || name.front().isDigit())
        return false;
    for (QChar c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != u'_')
            return false;
    }
    return true;
}

// A value as received: plain, or still wrapped in QDBusVariant or a
// QDBusArgument for the `ay` of "Message".
QVariant unwrap(QVariant value)
{
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const auto argument = qvariant_cast<QDBusArgument>(value);
        if (argument.currentSignature() == QLatin1String("ay")) {
            QByteArray bytes;
            argument >> bytes;
            return bytes;
        }
        return {};
    }
    return value;
}

}  // namespace

QString QVDistributedNotification::stringValue(const QString &key) const
{
    const QVariant value = userInfo.value(key);
    return value.userType() == QMetaType::QString ? value.toString() : QString();
}

QByteArray QVDistributedNotification::dataValue(const QString &key) const
{
    const QVariant value = userInfo.value(key);
    return value.userType() == QMetaType::QByteArray ? value.toByteArray() : QByteArray();
}

QVDistributedNotificationCenter *QVDistributedNotificationCenter::defaultCenter()
{
    // Lives until the process ends: tearing bus subscriptions down while Qt
    // D-Bus itself shuts down can hang.
    static auto *const center = new QVDistributedNotificationCenter(QDBusConnection::sessionBus());
    return center;
}

QVDistributedNotificationCenter::QVDistributedNotificationCenter(const QDBusConnection &connection, QObject *parent)
    : QObject(parent), connection_(connection)
{
}

QVDistributedNotificationCenter::~QVDistributedNotificationCenter()
{
    for (auto it = observations_.cbegin(); it != observations_.cend(); ++it)
        connection_.disconnect(QString(), kPath, kInterface, it.key(), this, SLOT(deliver(QDBusMessage)));
    for (const auto &connection : std::as_const(destroyedConnections_))
        QObject::disconnect(connection);
}

QVariantMap QVDistributedNotificationCenter::sanitizedUserInfo(const QVariantMap &userInfo)
{
    QVariantMap sanitized;
    for (auto it = userInfo.cbegin(); it != userInfo.cend(); ++it) {
        const QVariant value = unwrap(it.value());
        const int wanted = it.key() == kMessageKey ? QMetaType::QByteArray : QMetaType::QString;
        if (value.userType() == wanted)
            sanitized.insert(it.key(), value);
    }
    return sanitized;
}

bool QVDistributedNotificationCenter::postNotificationName(const QString &name, const QVariantMap &userInfo)
{
    if (!isMemberName(name) || !connection_.isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, name);
    signal << sanitizedUserInfo(userInfo);
    return connection_.send(signal);
}

void QVDistributedNotificationCenter::addObserver(QObject *observer, const QString &name, Handler handler)
{
    if (!observer || !handler || !isMemberName(name))
        return;
    auto &list = observations_[name];
    if (list.empty())
        subscribe(name);
    list.push_back({observer, std::move(handler)});
    if (!destroyedConnections_.contains(observer)) {
        destroyedConnections_.insert(
            observer, connect(observer, &QObject::destroyed, this, [this, observer] { removeObserver(observer); }));
    }
}

void QVDistributedNotificationCenter::removeObserver(QObject *observer)
{
    for (auto &list : observations_)
        std::erase_if(list, [observer](const Observation &o) { return o.observer == observer; });
    if (const auto it = destroyedConnections_.find(observer); it != destroyedConnections_.end()) {
        QObject::disconnect(it.value());
        destroyedConnections_.erase(it);
    }
    unsubscribeUnusedNames();
}

void QVDistributedNotificationCenter::removeObserver(QObject *observer, const QString &name)
{
    if (const auto it = observations_.find(name); it != observations_.end())
        std::erase_if(it.value(), [observer](const Observation &o) { return o.observer == observer; });
    bool stillObserving = false;
    for (const auto &list : std::as_const(observations_)) {
        for (const auto &o : list)
            stillObserving = stillObserving || o.observer == observer;
    }
    if (!stillObserving)
        removeObserver(observer);
    else
        unsubscribeUnusedNames();
}

void QVDistributedNotificationCenter::subscribe(const QString &name)
{
    connection_.connect(QString(), kPath, kInterface, name, this, SLOT(deliver(QDBusMessage)));
}

void QVDistributedNotificationCenter::unsubscribeUnusedNames()
{
    for (auto it = observations_.begin(); it != observations_.end();) {
        if (it.value().empty()) {
            connection_.disconnect(QString(), kPath, kInterface, it.key(), this, SLOT(deliver(QDBusMessage)));
            it = observations_.erase(it);
        } else {
            ++it;
        }
    }
}

void QVDistributedNotificationCenter::deliver(const QDBusMessage &message)
{
    QVDistributedNotification notification{message.member(), {}};
    const QVariantList arguments = message.arguments();
    if (!arguments.isEmpty() && arguments.front().userType() == qMetaTypeId<QDBusArgument>()) {
        const auto argument = qvariant_cast<QDBusArgument>(arguments.front());
        if (argument.currentSignature() == QLatin1String("a{sv}")) {
            QVariantMap raw;
            argument >> raw;
            notification.userInfo = sanitizedUserInfo(raw);
        }
    } else if (!arguments.isEmpty() && arguments.front().userType() == QMetaType::QVariantMap) {
        notification.userInfo = sanitizedUserInfo(arguments.front().toMap());
    }

    // Copies: a handler may add or remove observers.
    const auto found = observations_.constFind(notification.name);
    if (found == observations_.cend())
        return;
    const std::vector<Observation> targets = found.value();
    for (const auto &target : targets) {
        const auto current = observations_.constFind(notification.name);
        if (current == observations_.cend())
            break;
        const bool stillThere = std::any_of(current->begin(), current->end(),
                                            [&](const Observation &o) { return o.observer == target.observer; });
        if (stillThere)
            target.handler(notification);
    }
}
