#include "QVPrivilegeOperationManager.h"

#include "QVHelperPeer.h"
#include "QVHelperProtocol.h"
#include "QVMainBundle.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusServer>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <syslog.h>

using namespace QVHelperProtocol;

namespace {

// The helper may copy a whole application bundle.
constexpr int kRequestTimeout = 10 * 60 * 1000;

void systemLog(const QString &message)
{
    syslog(LOG_NOTICE, "%s", message.toUtf8().constData());
}

QVariantMap replyDictionary(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    const QVariant first = reply.arguments().constFirst();
    if (first.canConvert<QDBusArgument>()) {
        const auto argument = first.value<QDBusArgument>();
        if (argument.currentType() != QDBusArgument::MapType)
            return {};
        QVariantMap map;
        argument >> map;
        return map;
    }
    return first.userType() == QMetaType::QVariantMap ? first.toMap() : QVariantMap();
}

}  // namespace

QVPrivilegeOperationManager &QVPrivilegeOperationManager::sharedManager()
{
    static auto *manager = new QVPrivilegeOperationManager;
    return *manager;
}

QVPrivilegeOperationManager::QVPrivilegeOperationManager() = default;

QVPrivilegeOperationManager::~QVPrivilegeOperationManager()
{
    invalidate();
}

void QVPrivilegeOperationManager::submitJobWithLabel(const QString &label)
{
    invalidate();
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    // QTemporaryDir makes the folder 0700: only this user (and root) can
    // reach the socket in it.
    socketFolder_ = std::make_unique<QTemporaryDir>(runtime + QStringLiteral("/quorvane-helper-XXXXXX"));
    if (!socketFolder_->isValid()) {
        systemLog(QStringLiteral("Couldn't submit job with label: \"%1\" Error: %2")
                      .arg(label, socketFolder_->errorString()));
        socketFolder_.reset();
        return;
    }
    server_ =
        std::make_unique<QDBusServer>(QStringLiteral("unix:path=") + socketFolder_->filePath(QStringLiteral("socket")));
    if (!server_->isConnected()) {
        systemLog(QStringLiteral("Couldn't submit job with label: \"%1\" Error: %2")
                      .arg(label, server_->lastError().message()));
        invalidate();
        return;
    }
    connect(server_.get(), &QDBusServer::newConnection, this, [this](const QDBusConnection &connection) {
        // The first connection is the helper; nothing else is let in, also
        // no other process of this user that found the socket first.
        const auto peer = QVHelperPeer::credentials(connection);
        if (helperConnection_ || !helper_ || helper_->state() == QProcess::NotRunning || !peer
            || peer->pid != helper_->processId()) {
            if (peer)
                systemLog(QStringLiteral("Refused a helper connection from process %1.").arg(peer->pid));
            QDBusConnection::disconnectFromPeer(connection.name());
            return;
        }
        helperConnection_ = std::make_unique<QDBusConnection>(connection);
        // Requests go out once the helper says it serves them.
        helperConnection_->connect(QString(), QLatin1String(kObjectPath), QLatin1String(kInterface),
                                   QLatin1String(kReadySignal), this, SLOT(helperDidBecomeReady()));
    });

    const QString program = helperPathForTesting_.isEmpty()
        ? QVMainBundle::contentsPath() + QStringLiteral("/Library/LaunchServices/") + label
        : helperPathForTesting_;
    QStringList command = launcher_;
    command << program << QLatin1String(kAddressOption) << server_->address();
    helper_ = std::make_unique<QProcess>();
    helper_->setProcessChannelMode(QProcess::ForwardedChannels);
    helper_->setInputChannelMode(QProcess::ForwardedInputChannel);
    helper_->start(command.takeFirst(), command);
    if (!helper_->waitForStarted()) {
        systemLog(
            QStringLiteral("Couldn't submit job with label: \"%1\" Error: %2").arg(label, helper_->errorString()));
        helper_.reset();
    }
}

void QVPrivilegeOperationManager::connectServiceWithLabel(const QString &label)
{
    if (!helper_)
        return;
    // pkexec shows its password dialog meanwhile; the helper connects once
    // it is allowed to run.
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(20);
    const QDeadlineTimer deadline(connectTimeout_);
    helperReady_ = false;
    // Anything the loop runs may have ended the helper (helper_ null).
    while (!helperReady_ && helper_ && helper_->state() != QProcess::NotRunning && !deadline.hasExpired())
        loop.exec();
    if (helperReady_ && helperConnection_ && helperConnection_->isConnected())
        return;
    if (!helper_) {
        systemLog(QStringLiteral("Couldn't connect to the service \"%1\".").arg(label));
    } else if (helper_->state() == QProcess::NotRunning) {
        // pkexec answers 126 when the dialog was dismissed, 127 when the
        // user is not authorised.
        systemLog(QStringLiteral("Failed to create AuthorizationRef, return code %1").arg(helper_->exitCode()));
    } else {
        systemLog(QStringLiteral("Couldn't connect to the service \"%1\".").arg(label));
    }
    invalidate();
}

bool QVPrivilegeOperationManager::isConnected() const
{
    return helperConnection_ && helperConnection_->isConnected() && helper_ && helper_->state() != QProcess::NotRunning;
}

void QVPrivilegeOperationManager::invalidate()
{
    helperReady_ = false;
    if (helperConnection_) {
        const QString name = helperConnection_->name();
        helperConnection_.reset();
        QDBusConnection::disconnectFromPeer(name);
    }
    server_.reset();
    if (helper_) {
        // Without its connection the helper ends by itself.
        if (!helper_->waitForFinished(5000)) {
            helper_->terminate();
            helper_->waitForFinished(1000);
        }
        helper_.reset();
    }
    socketFolder_.reset();
}

bool QVPrivilegeOperationManager::performRequest(const QVariantMap &request)
{
    // Waiting for the password runs an event loop, in which the user can ask
    // again; that second request is refused, the first goes on.
    if (busy_) {
        systemLog(QStringLiteral("Refused a helper request: another one is in progress."));
        return false;
    }
    setBusy(true);
    const bool result = sendRequest(request);
    setBusy(false);
    return result;
}

void QVPrivilegeOperationManager::setBusy(bool busy)
{
    busy_ = busy;
    Q_EMIT busyChanged(busy);
}

bool QVPrivilegeOperationManager::sendRequest(const QVariantMap &request)
{
    if (helperConnection_ && !isConnected()) {
        systemLog(QStringLiteral("XPC connection invalid, releasing."));
        invalidate();
    }
    if (!helperConnection_) {
        submitJobWithLabel(QLatin1String(kHelperLabel));
        connectServiceWithLabel(QLatin1String(kHelperLabel));
        if (!helperConnection_)
            return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QString(), QLatin1String(kObjectPath), QLatin1String(kInterface),
                                                       QLatin1String(kPerformMethod));
    call << request;
    const QDBusMessage reply = helperConnection_->call(call, QDBus::Block, kRequestTimeout);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        systemLog(QStringLiteral("Unexpected XPC connection error.") + u' ' + reply.errorMessage());
        return false;
    }
    const QVariant result = replyDictionary(reply).value(QLatin1String(kResultKey));
    return result.userType() == QMetaType::Bool && result.toBool();
}

bool QVPrivilegeOperationManager::performActionOnHelperTool(const QString &action, const QString &sourcePath,
                                                            const QString &libraryPath)
{
    return performRequest({{QLatin1String(kActionKey), action},
                           {QLatin1String(kSourcePathKey), sourcePath},
                           {QLatin1String(kLibraryPathKey), libraryPath}});
}

bool QVPrivilegeOperationManager::performInstallUpdateWithUpdatePath(const QString &updatePath,
                                                                     const QString &installPath)
{
    return performRequest({{QLatin1String(kActionKey), QLatin1String(kActionInstallUpdate)},
                           {QLatin1String(kUpdatePathKey), updatePath},
                           {QLatin1String(kInstallPathKey), installPath}});
}

void QVPrivilegeOperationManager::helperDidBecomeReady()
{
    helperReady_ = true;
}

void QVPrivilegeOperationManager::setLauncherForTesting(const QStringList &launcher)
{
    launcher_ = launcher;
}

void QVPrivilegeOperationManager::setHelperPathForTesting(const QString &path)
{
    helperPathForTesting_ = path;
}

void QVPrivilegeOperationManager::setConnectTimeoutForTesting(int milliseconds)
{
    connectTimeout_ = milliseconds;
}
