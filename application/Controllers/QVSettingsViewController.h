// The "Settings" page: the detection level and extended logging (kept by
// QVSpamSetttings), the Dock and status-bar choices, the update check, the
// button that installs or removes the mail plug-in, and the button that
// collects the log files into an archive.
#pragma once

#include "QVViewController.h"

#include <QDesktopServices>
#include <QUrl>

#include <functional>
#include <memory>

class QAbstractButton;
class QVMailPluginController;
class QVSpamSetttings;

namespace Ui {
class QVSettingsViewController;
}

class QVSettingsViewController final : public QVViewController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVSettingsViewController)

public:
    // `mainController` must outlive the page.
    explicit QVSettingsViewController(QVMailPluginController *mainController, QWidget *parent = nullptr);
    ~QVSettingsViewController() override;

    static QVSpamSetttings &settings();

    QAbstractButton *collectLogsButton() const;
    QAbstractButton *installOrUninstallPluginButton() const;

    // Title and action of the plug-in button from the installed state.
    void updateInstallUninstallButton();
    // Archives the logs off the main thread, then shows the archive in the
    // file manager. The button stays disabled while the archive is made.
    void collectLogFiles();

    // What opens a folder when no file manager offers to show a file
    // (QDesktopServices::openUrl); false when nothing could.
    void setFolderOpenerForTesting(std::function<bool(const QUrl &)> opener);

signals:
    void logArchiveFinished(bool success, const QString &archivePath);

private:
    void showDetectionSettings();
    void installOrUninstallPlugin();
    void logArchiveDidFinish(bool success, const QString &archivePath);
    void revealInFileManager(const QString &path);

    std::unique_ptr<Ui::QVSettingsViewController> ui_;
    QVMailPluginController *mainController_;
    bool pluginInstalled_ = false;
    std::function<bool(const QUrl &)> revealer_ = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
};
