#include "QVAppDelegate.h"

#include "QVDistributedNotificationCenter.h"
#include "QVLogger.h"
#include "QVNotificationProtocol.h"
#include "QVRunningApplications.h"
#include "QVWorkspace.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QFileInfo>

namespace {

// The agent's lines go beside the application's logs, where "Collect Log
// Files" finds them, and to its standard error for the session's journal.
void log(const QString &message)
{
    static QVLogger &logger =
        QVLogger::sharedLoggerWithDomain(QStringLiteral("Quorvane"), QStringLiteral("QVLaunchAgent"));
    logger.logMessage(message);
    qWarning("QVLaunchAgent: %s", qUtf8Printable(message));
}

QString applicationIdentifier()
{
    return QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
}

}  // namespace

QVAppDelegate::QVAppDelegate(QVDistributedNotificationCenter *center, QObject *parent)
    : QObject(parent),
      center_(center),
      startWatch_(new QDBusServiceWatcher(applicationIdentifier(), QDBusConnection::sessionBus(),
                                          QDBusServiceWatcher::WatchForRegistration, this))
{
    connect(startWatch_, &QDBusServiceWatcher::serviceRegistered, &startCheck_, &QTimer::stop);
    startCheck_.setSingleShot(true);
    startCheck_.setInterval(kStartDeadline);
    connect(&startCheck_, &QTimer::timeout, this, &QVAppDelegate::checkStart);
}

QVAppDelegate::~QVAppDelegate()
{
    center_->removeObserver(this);
}

void QVAppDelegate::applicationDidFinishLaunching()
{
    launchClient();
    center_->addObserver(this, QString::fromLatin1(kQVPluginNeedsToLaunchClientNotification),
                         [this](const QVDistributedNotification &) { needsToLaunchClient(); });
}

void QVAppDelegate::needsToLaunchClient()
{
    launchClient();
}

void QVAppDelegate::launchClient()
{
    const QString identifier = applicationIdentifier();
    if (QVRunningApplications::isRunning(identifier))
        return;
    const QString application = QVWorkspace::URLForApplicationWithBundleIdentifier(identifier);
    if (application.isEmpty()) {
        log(QStringLiteral("No desktop entry %1.desktop is installed; Quorvane was not started").arg(identifier));
        return;
    }
    const QStringList command = QVWorkspace::commandForDesktopEntry(application);
    const QString program = command.value(0);
    if (!QVWorkspace::launchApplicationAtURL(application,
                                             QVWorkspace::LaunchAndHide | QVWorkspace::LaunchWithoutActivation)) {
        QString reason = QStringLiteral("it could not be run");
        if (program.isEmpty())
            reason = QStringLiteral("its Exec key names no program");
        else if (QFileInfo(program).isRelative())
            reason = QStringLiteral("its program %1 is a relative path").arg(program);
        else if (!QFileInfo(program).isExecutable())
            reason = QStringLiteral("its program %1 is missing or not executable").arg(program);
        log(QStringLiteral("Couldn't start Quorvane from %1: %2").arg(application, reason));
        return;
    }
    startedCommand_ = command.join(u' ');
    startCheck_.start();
}

void QVAppDelegate::checkStart()
{
    if (!QVRunningApplications::isRunning(applicationIdentifier()))
        log(QStringLiteral("Quorvane (%1) did not start within %2 s")
                .arg(startedCommand_, QString::number(startCheck_.interval() / 1000.0)));
}

void QVAppDelegate::setStartDeadlineForTesting(std::chrono::milliseconds deadline)
{
    startCheck_.setInterval(deadline);
}
