#include "QVApplicationInstance.h"

#include "QVRunningApplications.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QThread>

class QVApplicationAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit QVApplicationAdaptor(QVApplicationInstance *instance) : QDBusAbstractAdaptor(instance), instance_(instance)
    {
    }

public slots:
    void Activate(const QVariantMap &) { emit instance_->activationRequested(); }

private:
    QVApplicationInstance *instance_;
};

QVApplicationInstance::QVApplicationInstance(QString bundleIdentifier, QObject *parent)
    : QObject(parent), bundleIdentifier_(std::move(bundleIdentifier))
{
    new QVApplicationAdaptor(this);
    // Qt says nothing when the bus goes away; a cheap poll notices.
    connectionCheck_.setInterval(1000);
    connect(&connectionCheck_, &QTimer::timeout, this, &QVApplicationInstance::checkConnection);
}

// Nothing here waits for the bus: its replies queue behind every request it
// already holds for this process. The names go with the connection when the
// process ends, and are released before that without waiting.
QVApplicationInstance::~QVApplicationInstance()
{
    if (claimed_) {
        QVRunningApplications::releaseBundleIdentifier(bundleIdentifier_);
        QDBusConnection::sessionBus().unregisterObject(objectPathForBundleIdentifier(bundleIdentifier_));
    }
    if (locked_)
        QVRunningApplications::releaseBundleIdentifier(lockName());
}

bool QVApplicationInstance::lock()
{
    if (!locked_)
        locked_ = QVRunningApplications::claimBundleIdentifier(lockName());
    return locked_;
}

QString QVApplicationInstance::objectPathForBundleIdentifier(const QString &bundleIdentifier)
{
    QString path = u'/' + bundleIdentifier;
    path.replace(u'.', u'/').replace(u'-', u'_');
    return path;
}

bool QVApplicationInstance::claim()
{
    if (claimed_)
        return true;
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    // The object first: whoever sees the name can call it at once.
    const QString path = objectPathForBundleIdentifier(bundleIdentifier_);
    if (!bus.registerObject(path, this, QDBusConnection::ExportAdaptors))
        return false;
    claimed_ = QVRunningApplications::claimBundleIdentifier(bundleIdentifier_);
    if (!claimed_)
        bus.unregisterObject(path);
    else
        connectionCheck_.start();
    return claimed_;
}

void QVApplicationInstance::checkConnection()
{
    if (QDBusConnection::sessionBus().isConnected())
        return;
    connectionCheck_.stop();
    emit busDisconnected();
}

bool QVApplicationInstance::activateRunningInstance(int milliseconds) const
{
    // The other start may still be on its way to claiming the name.
    const QDeadlineTimer deadline(milliseconds);
    while (!QVRunningApplications::isRunning(bundleIdentifier_) && !deadline.hasExpired())
        QThread::msleep(50);
    return activateRunningInstance();
}

bool QVApplicationInstance::activateRunningInstance() const
{
    auto message =
        QDBusMessage::createMethodCall(bundleIdentifier_, objectPathForBundleIdentifier(bundleIdentifier_),
                                       QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
    message << QVariantMap();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

#include "QVApplicationInstance.moc"
