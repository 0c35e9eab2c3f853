// The application's one window: the drawn band with its three page buttons
// on top, below it one page at a time. It chooses the first page, swaps
// pages and resizes the window to each, enables the page buttons, installs,
// removes and version-checks the mail plug-in through the privileged helper,
// and starts update checks.
#pragma once

#include "QVCMainToolbar.h"
#include "QVCMainWindow.h"
#include "QVDownloader.h"
#include "QVMailPluginController.h"
#include "QVMainWindowServices.h"
#include "QVWelcomeViewController.h"

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <memory>

class QVUpdateController;
class QVViewController;

class QVMainWindowController final : public QObject,
                                     public QVCMainToolbarDelegate,
                                     public QVWelcomeViewControllerDelegate,
                                     public QVInstallViewControllerDelegate,
                                     public QVMailPluginController,
                                     public QVDownloaderDelegate {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVMainWindowController)

public:
    explicit QVMainWindowController(QVMainWindowServices services = {}, QObject *parent = nullptr);
    ~QVMainWindowController() override;

    // The window, loaded (and its first page chosen) on first use.
    QVCMainWindow *window();
    bool isWindowLoaded() const { return window_ != nullptr; }
    QVCMainToolbar *toolbar() const { return toolbar_; }
    // Shows the window (normal, raised, active).
    void showWindow();
    // Takes the window off the screen: minimized while the application keeps
    // a taskbar entry, else hidden.
    void orderOut();
    // Whether closing or ordering out minimizes rather than hides.
    void setKeepsTaskbarEntry(bool keeps) { keepsTaskbarEntry_ = keeps; }
    bool keepsTaskbarEntry() const { return keepsTaskbarEntry_; }

    // Pages; each makes a new page, also when that page is shown.
    void filtersPage();
    void settingsPage();
    void accountPage();
    void showWelcomeScreen();
    void showInstallPluginScreen();
    QWidget *currentController() const { return currentController_; }
    void setCurrentController(QWidget *page);
    void changeWindowSizeForDelta(QSize delta);

    // The page buttons' data source: tags 0, 1, 2; -1 selects none (the
    // first-run pages).
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
    QString pluginBundleName() const;
    bool isMailPluginInstalled() const override;
    QString installedPluginVersion() const;
    QString bundledPluginVersion() const;
    void installMailPlugin() override;
    void uninstallMailPlugin() override;
    QMetaObject::Connection observeMailPluginInstalled(QObject *context, std::function<void()> handler) override;
    void doMailPluginInstall(bool quiet);
    void doMailPluginUninstall();
    // Offers the newer plug-in the application carries.
    void checkPluginVersionAndInsallIfNeed();

    // Updates: the interactive check, and the answers of a downloader given
    // this controller as its delegate (files into the application's folder).
    QVUpdateController &updateController();
    void checkForUpdates();
    void downloaderDidFinish(QVDownloader *downloader, const QStringList *paths,
                             const QStringList *filesToDelete) override;
    void downloaderDidFail(QVDownloader *downloader, const QString &error) override;

signals:
    // A plug-in install or removal that the helper carried out.
    void mailPluginInstalledChanged(bool installed);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void awakeFromNib();
    void showPage(QVViewController *page, int tag);
    void windowWillBeginSheet();
    void windowDidEndSheet();
    bool isSheetOfWindow(QObject *object) const;
    void mailPluginActionDone(bool done, const QVAlert &alert);

    QVMainWindowServices services_;
    QVCMainWindow *window_ = nullptr;
    QVCMainToolbar *toolbar_ = nullptr;
    QWidget *containerView_ = nullptr;
    QPointer<QWidget> currentController_;
    std::unique_ptr<QVUpdateController> updateController_;
    bool enabledToolbar_ = false;
    bool keepsTaskbarEntry_ = true;
    int openSheets_ = 0;
};
