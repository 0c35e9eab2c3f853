// The application's one window: the drawn band with its three page buttons
// on top, below it one page at a time. It chooses the first page, swaps
// pages and fits the window to each, enables the page buttons (off while a
// sheet is up and on the first-run pages), and offers the mail plug-in's
// install and removal (carried out by QVMailPluginInstaller) and the update
// checks.
#pragma once

#include "QVCMainToolbar.h"
#include "QVCMainWindow.h"
#include "QVMailPluginController.h"
#include "QVMailPluginInstaller.h"
#include "QVMainWindowServices.h"
#include "QVWelcomeViewController.h"

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QWidget>

#include <memory>
#include <optional>

class QAction;
class QMenu;
class QMenuBar;
class QVUpdateController;
class SheetTracker;

class QVMainWindowController final : public QObject,
                                     public QVCMainToolbarDelegate,
                                     public QVWelcomeViewControllerDelegate,
                                     public QVInstallViewControllerDelegate,
                                     public QVMailPluginController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVMainWindowController)

public:
    // The three button pages carry their button's tag; the first-run pages
    // select no button (tag -1).
    enum class Page { Filters = 0, Settings = 1, Account = 2, Welcome, Install };
    static int tagOf(Page page);

    explicit QVMainWindowController(QVMainWindowServices services = {}, QObject *parent = nullptr);
    ~QVMainWindowController() override;

    // The window, loaded (and its first page chosen) on first use.
    QVCMainWindow *window();
    bool isWindowLoaded() const { return window_ != nullptr; }
    QVCMainToolbar *toolbar() const { return toolbar_; }
    // Shows the window (normal, raised, active).
    void showWindow();
    // Takes the window off the screen without ever activating it: minimized
    // while the application keeps a taskbar entry, else hidden. Also the
    // way to load the window for a start that must not show it.
    void orderOut();
    // Whether closing or ordering out minimizes rather than hides. An
    // application that keeps a taskbar entry also shows its menu in the
    // window (there may be no status item to reach it by).
    void setKeepsTaskbarEntry(bool keeps);
    bool keepsTaskbarEntry() const { return keepsTaskbarEntry_; }
    // The application's menu, shown in a menu bar while the application
    // keeps a taskbar entry, and the quit action, whose shortcut (Ctrl+Q)
    // works in the window in any case. Both must outlive the window.
    void setApplicationMenu(QMenu *menu, QAction *quit);
    QMenuBar *menuBar() const { return menuBar_; }

    // Requests for a button page, from the buttons, the status menu or a
    // peer on the bus. The switch happens at the next turn of the event
    // loop to the page asked for last, so a burst costs one switch; a page
    // already shown is kept; a first-run page stays until the first run is
    // done.
    void filtersPage() { requestPage(Page::Filters); }
    void settingsPage() { requestPage(Page::Settings); }
    void accountPage() { requestPage(Page::Account); }
    void requestPage(Page page);
    // The page shown; empty for a page set through setCurrentController.
    std::optional<Page> currentPage() const { return currentPage_; }
    QWidget *currentController() const { return currentController_; }
    // Shows `page` (owned from then on) and fits the window to it.
    void setCurrentController(QWidget *page);
    void changeWindowSizeForDelta(QSize delta);

    // The page buttons' data source: tags 0, 1, 2.
    int numberOfItemsForToolbar(QVCMainToolbar *toolbar) override;
    QVCMainToolbarItem itemForToolbar(QVCMainToolbar *toolbar, int index) override;
    int selectedTag() const;
    void enableToolbar();
    void disableToolbar();
    void validateToolbarItems();
    bool isToolbarEnabled() const { return enabledToolbar_; }

    // Answers of the first-run pages.
    void welcomeViewControllerDidEnterEmail(QVWelcomeViewController *page) override;
    void installViewControllerNeedsInstallPlugin(QVInstallViewController *page) override;

    // The mail plug-in, read from disk on every call.
    QVMailPluginInstaller &pluginInstaller() { return installer_; }
    bool isMailPluginInstalled() const override { return installer_.isInstalled(); }
    // Both tell the user how it went on a sheet over the shown window.
    void installMailPlugin() override;
    void uninstallMailPlugin() override;
    QMetaObject::Connection observeMailPluginInstalled(QObject *context, std::function<void()> handler) override;
    // Offers the newer plug-in the application carries.
    // ("Insall" is the name's established spelling, kept on purpose.)
    void checkPluginVersionAndInsallIfNeed();

    // The interactive update check.
    QVUpdateController &updateController();
    void checkForUpdates();

signals:
    // A plug-in install or removal that the helper carried out.
    void mailPluginInstalledChanged(bool installed);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Once the window is on the screen: a sheet naming the damaged lists
    // kept aside since the user was last told, and what of them was kept.
    void tellOfSetAsideLists();
    void awakeFromNib();
    void switchTo(Page page);
    void performPendingSwitch();
    bool isFirstRunPageShown() const;
    void windowWillClose();
    void showOutcome(const QVMailPluginInstaller::Outcome &outcome);

    QVMainWindowServices services_;
    QVMailPluginInstaller installer_;
    QVCMainWindow *window_ = nullptr;
    QVCMainToolbar *toolbar_ = nullptr;
    QWidget *containerView_ = nullptr;
    std::unique_ptr<SheetTracker> sheets_;
    QPointer<QWidget> currentController_;
    std::optional<Page> currentPage_;
    // Set while a switch waits for the event loop.
    std::optional<Page> pendingPage_;
    std::unique_ptr<QVUpdateController> updateController_;
    bool enabledToolbar_ = false;
    bool keepsTaskbarEntry_ = true;
    QPointer<QMenu> applicationMenu_;
    QPointer<QAction> quitAction_;
    QMenuBar *menuBar_ = nullptr;
    void installApplicationMenu();
    int menuBarHeight() const;
};
