// The application's one window: the drawn band with its three page buttons
// on top, below it one page at a time. It chooses the first page, swaps
// pages and resizes the window to each, enables the page buttons, installs,
// removes and version-checks the mail plug-in through the privileged helper,
// and starts update checks.
#pragma once

#include "QVMainWindowServices.h"

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <QSize>
#include <QString>

#include <memory>


class QVMainWindowController final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVMainWindowController)

public:
    explicit QVMainWindowController(QVMainWindowServices services = {}, QObject *parent = nullptr);
    ~QVMainWindowController() override;

    // The window, loaded (and its first page chosen) on first use.
    QWidget *window();
    bool isWindowLoaded() const { return window_ != nullptr; }
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

    // Page buttons: tags 0, 1, 2; -1 selects none (the first-run pages).
    int selectedTag() const;
    void enableToolbar();
    void disableToolbar();
    void validateToolbarItems();
    bool isToolbarEnabled() const { return enabledToolbar_; }

    // Answers of the first-run pages.
    void welcomeViewControllerDidEnterEmail();
    void installViewControllerNeedsInstallPlugin();

    // The mail plug-in, read from disk on every call.
    QString pluginBundleName() const;
    bool isMailPluginInstalled() const;
    QString installedPluginVersion() const;
    QString bundledPluginVersion() const;
    void installMailPlugin();
    void uninstallMailPlugin();
    void doMailPluginInstall(bool quiet);
    void doMailPluginUninstall();
    // Offers the newer plug-in the application carries.
    void checkPluginVersionAndInsallIfNeed();

    // The interactive update check.
    void checkForUpdates();

signals:
    // A plug-in install or removal that the helper carried out.
    void mailPluginInstalledChanged(bool installed);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void awakeFromNib();
    void activateAndShowWindow();
    void windowWillBeginSheet();
    void windowDidEndSheet();
    bool isSheetOfWindow(QObject *object) const;
    void setSelectedTag(int tag);
    void startUpdate(bool silently);
    void mailPluginActionDone(bool installed, const QVAlert &alert);

    QVMainWindowServices services_;
    QWidget *window_ = nullptr;
    QWidget *containerView_ = nullptr;
    QPointer<QWidget> currentController_;
    bool enabledToolbar_ = false;
    bool keepsTaskbarEntry_ = true;
    int openSheets_ = 0;
    int selectedTag_ = -1;
};
