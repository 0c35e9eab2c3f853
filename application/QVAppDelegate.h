// The desktop application's delegate: registers the defaults, runs the
// start-up after launch (login item, spam manager, main window, status item,
// observers, plug-in version check) and the shut-down in order, and carries
// the status menu's actions and the plug-in's page-switch requests.
#pragma once

#include "Controllers/QVMainWindowServices.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QAction;
class QMenu;
class QVDistributedNotificationCenter;
class QVMainWindowController;
class QVStatusBar;
class QVStatusItem;

class QVAppDelegate final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVAppDelegate)

public:
    QVAppDelegate(QVStatusBar &statusBar, QVDistributedNotificationCenter *center, QVMainWindowServices services = {},
                  QObject *parent = nullptr);
    ~QVAppDelegate() override;

    // Before launch completes: the defaults, and whether the application
    // keeps a taskbar entry (read once; a change counts at the next launch).
    void applicationWillFinishLaunching();
    // The start-up; hidden: started by the login item, the window stays off
    // the screen.
    void applicationDidFinishLaunching(bool hidden = false);
    void applicationWillTerminate();
    // Quits through the ordinary shut-down: the event loop ends, and
    // requests still waiting are dropped at once rather than handled first.
    static void terminate();
    // Someone asked for the running application (a second start): the window.
    void applicationOpenUntitledFile();

    void showStatusBar();
    void hideStatusBar();
    bool isStatusItemShown() const { return statusItem_ != nullptr; }
    QMenu *statusMenu() const { return statusMenu_.get(); }
    QVMainWindowController *mainController() const { return mainController_.get(); }

    // Status menu actions.
    void installMailPlugin();
    void uninstallMailPlugin();
    void settings();
    void activateAndShowAccountPage();
    void gotoSupportPage();
    void checkForUpdates();
    // Enables the menu's items for what can be done now.
    void validateMenuItems();

    void shouldShowSettingsPageNotification();
    void shouldShowAccountPageNotification();

private:
    void registerLoginItem();
    void buildStatusMenu();
    void userDefaultsChanged(const QString &key);
    // The window must stay reachable: without a status item the application
    // keeps a taskbar entry.
    bool keepsTaskbarEntry() const;
    void updateTaskbarPresence();

    QVStatusBar &statusBar_;
    QVDistributedNotificationCenter *center_;
    QVMainWindowServices services_;
    bool showInDock_ = false;
    std::unique_ptr<QMenu> statusMenu_;
    QAction *uninstallAction_ = nullptr;
    std::unique_ptr<QVStatusItem> statusItem_;
    std::unique_ptr<QVMainWindowController> mainController_;
    QMetaObject::Connection defaultsConnection_;
};
