#include "QVAppDelegate.h"

#include "QVDistributedNotificationCenter.h"
#include "QVNotificationProtocol.h"
#include "QVRunningApplications.h"
#include "QVWorkspace.h"

QVAppDelegate::QVAppDelegate(QVDistributedNotificationCenter *center, QObject *parent)
    : QObject(parent), center_(center)
{
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
    const QString identifier = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
    if (QVRunningApplications::isRunning(identifier))
        return;
    const QString application = QVWorkspace::URLForApplicationWithBundleIdentifier(identifier);
    if (application.isEmpty())
        return;
    QVWorkspace::launchApplicationAtURL(application,
                                        QVWorkspace::LaunchAndHide | QVWorkspace::LaunchWithoutActivation);
}
