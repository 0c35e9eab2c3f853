#include "QVAppDelegate.h"

#include "Controllers/QVMainWindowController.h"
#include "QVDistributedNotificationCenter.h"
#include "QVLoginItems.h"
#include "QVCMainWindow.h"
#include "QVMainBundle.h"
#include "QVNSImage.h"
#include "QVNotificationProtocol.h"
#include "QVServiceInfo.h"
#include "QVSpamManager.h"
#include "QVStatusBar.h"
#include "QVUserDefaults.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QKeySequence>
#include <QMenu>
#include <QPixmap>
#include <QWidget>

QVAppDelegate::QVAppDelegate(QVStatusBar &statusBar, QVDistributedNotificationCenter *center,
                             QVMainWindowServices services, QObject *parent)
    : QObject(parent), statusBar_(statusBar), center_(center), services_(services)
{
}

QVAppDelegate::~QVAppDelegate() = default;

void QVAppDelegate::applicationWillFinishLaunching()
{
    auto &defaults = QVUserDefaults::standardUserDefaults();
    defaults.registerDefaults(QVUserDefaults::applicationDefaults());
    showInDock_ = defaults.boolForKey(kQVShowInDockKey);
}

void QVAppDelegate::applicationDidFinishLaunching(bool hidden)
{
    auto &defaults = QVUserDefaults::standardUserDefaults();
    registerLoginItem();
    QVSpamManager::sharedInstance();

    mainController_ = std::make_unique<QVMainWindowController>(services_);
    mainController_->setKeepsTaskbarEntry(showInDock_ || !defaults.boolForKey(kQVShowInStatusBarKey)
                                          || !statusBar_.isAvailable());
    const bool firstRunDone =
        !defaults.stringForKey(kQVEmailAddressKey).isEmpty() && mainController_->isMailPluginInstalled();
    // A window that stays off the screen is never shown first.
    if (firstRunDone || hidden)
        mainController_->orderOut();
    else
        mainController_->showWindow();

    buildStatusMenu();
    if (defaults.boolForKey(kQVShowInStatusBarKey))
        showStatusBar();
    else
        updateTaskbarPresence();
    defaultsConnection_ = connect(&defaults, &QVUserDefaults::changed, this, &QVAppDelegate::userDefaultsChanged);

    center_->addObserver(this, QString::fromLatin1(kQVPluginSwitchToSettingsPageNotification),
                         [this](const QVDistributedNotification &) { shouldShowSettingsPageNotification(); });
    center_->addObserver(this, QString::fromLatin1(kQVPluginSwitchToAccountPageNotification),
                         [this](const QVDistributedNotification &) { shouldShowAccountPageNotification(); });

    mainController_->checkPluginVersionAndInsallIfNeed();
}

void QVAppDelegate::applicationWillTerminate()
{
    QVSpamManager::shutDown();
    hideStatusBar();
    disconnect(defaultsConnection_);
    center_->removeObserver(this);
}

void QVAppDelegate::terminate()
{
    QVSpamManager::stopTakingRequests();
    QCoreApplication::exit(0);
}

void QVAppDelegate::applicationOpenUntitledFile()
{
    if (mainController_)
        mainController_->showWindow();
}

void QVAppDelegate::registerLoginItem()
{
    const QString agent = QVMainBundle::bundlePath() + QStringLiteral("/Contents/Library/LoginItems/QVLaunchAgent.app");
    if (!QDir(agent).exists())
        return;
    if (const auto bundle = QVLoginItems::registerBundle(agent))
        QVLoginItems::setEnabled(*bundle, true);
}

// Status item ----------------------------------------------------------------

void QVAppDelegate::buildStatusMenu()
{
    statusMenu_ = std::make_unique<QMenu>();
    QMenu *menu = statusMenu_.get();
    menu->addAction(tr("Settings…"), this, &QVAppDelegate::settings);
    menu->addAction(tr("Account…"), this, &QVAppDelegate::activateAndShowAccountPage);
    menu->addSeparator();
    menu->addAction(tr("Install Mail extension"), this, &QVAppDelegate::installMailPlugin);
    uninstallAction_ = menu->addAction(tr("Uninstall Mail extension"), this, &QVAppDelegate::uninstallMailPlugin);
    menu->addAction(tr("Check for Updates…"), this, &QVAppDelegate::checkForUpdates);
    menu->addAction(tr("Support"), this, &QVAppDelegate::gotoSupportPage);
    menu->addSeparator();
    // exit, not quit: quit asks the windows to close, and closing only
    // minimizes or hides the main window.
    QAction *quit = menu->addAction(tr("Quit Quorvane"), qApp, &QVAppDelegate::terminate);
    quit->setShortcut(QKeySequence::Quit);
    quit->setShortcutContext(Qt::WindowShortcut);
    connect(menu, &QMenu::aboutToShow, this, &QVAppDelegate::validateMenuItems);
    // The same menu in the window, for a desktop without a tray.
    menu->setTitle(tr("Quorvane"));
    if (mainController_)
        mainController_->setApplicationMenu(menu, quit);
}

void QVAppDelegate::validateMenuItems()
{
    if (uninstallAction_ && mainController_)
        uninstallAction_->setEnabled(mainController_->isMailPluginInstalled());
}

void QVAppDelegate::showStatusBar()
{
    if (!statusItem_) {
        statusItem_ = statusBar_.statusItem();
        statusItem_->setActivationHandler([this] { applicationOpenUntitledFile(); });
    }
    statusItem_->setMenu(statusMenu_.get());
    validateMenuItems();
    // A template image: the tray may recolour it to suit its theme.
    QIcon image(QPixmap::fromImage(QVNSImage::imageNamedYosemite(QStringLiteral("statusbar_active"))));
    image.setIsMask(true);
    statusItem_->setImage(image);
    updateTaskbarPresence();
}

void QVAppDelegate::hideStatusBar()
{
    statusItem_.reset();
    updateTaskbarPresence();
}

bool QVAppDelegate::keepsTaskbarEntry() const
{
    return showInDock_ || !statusItem_ || !statusBar_.isAvailable();
}

void QVAppDelegate::updateTaskbarPresence()
{
    if (!mainController_)
        return;
    const bool keeps = keepsTaskbarEntry();
    mainController_->setKeepsTaskbarEntry(keeps);
    // A hidden window with nothing else to reach it by comes back minimized.
    QWidget *window = mainController_->isWindowLoaded() ? mainController_->window() : nullptr;
    if (keeps && window && window->isHidden())
        window->showMinimized();
}

void QVAppDelegate::userDefaultsChanged(const QString &key)
{
    if (key != QLatin1String(kQVShowInStatusBarKey))
        return;
    if (QVUserDefaults::standardUserDefaults().boolForKey(kQVShowInStatusBarKey))
        showStatusBar();
    else
        hideStatusBar();
}

// Actions --------------------------------------------------------------------

void QVAppDelegate::installMailPlugin()
{
    mainController_->installMailPlugin();
}

void QVAppDelegate::uninstallMailPlugin()
{
    mainController_->uninstallMailPlugin();
}

void QVAppDelegate::settings()
{
    mainController_->showWindow();
    mainController_->settingsPage();
}

void QVAppDelegate::activateAndShowAccountPage()
{
    mainController_->showWindow();
    mainController_->accountPage();
}

void QVAppDelegate::gotoSupportPage()
{
    QDesktopServices::openUrl(QVServiceInfo::supportUrl());
}

void QVAppDelegate::checkForUpdates()
{
    mainController_->checkForUpdates();
}

void QVAppDelegate::shouldShowSettingsPageNotification()
{
    settings();
}

void QVAppDelegate::shouldShowAccountPageNotification()
{
    activateAndShowAccountPage();
}
