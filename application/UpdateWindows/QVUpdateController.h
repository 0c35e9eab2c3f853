// The self-update as the user sees it: check (silently at launch or on the
// user's request), the update's description, the download with progress,
// unpacking, installing through the privileged helper and relaunching.
//
// The controller is always in one phase; every event is taken only in the
// phases that expect it, so that a late answer, a second start or a click
// meanwhile cannot mix two runs. Nothing blocks or re-enters the event loop
// except the helper's install request.
#pragma once

#include "QVDownloader.h"
#include "QVUpdateFile.h"
#include "QVUpdateUnpacker.h"

#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <memory>

class QTemporaryDir;
class QTimer;
class QWidget;
namespace Ui {
class QVUpdateController;
class QVUpdateInfoWindow;
}  // namespace Ui

class QVUpdateController final : public QObject, public QVUpdateDelegate, public QVDownloaderDelegate {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVUpdateController)

public:
    enum class Phase {
        Idle,  // no window of the update
        CheckingSilently,  // the query, without a window
        Checking,  // the query, with the progress window
        FetchingDescription,  // the update's description file
        ShowingInfo,  // the info window
        Downloading,  // the update's files, with progress
        Unpacking,  // unzip runs
        ReadyToInstall,  // the install-and-relaunch button waits
        Installing,  // the helper installs
        Relaunching,  // waiting for the new instance to run
    };
    Q_ENUM(Phase)

    // `parentWindow` (the main window, may be null) parents the update's
    // windows and alerts.
    explicit QVUpdateController(QWidget *parentWindow = nullptr, QObject *parent = nullptr);
    ~QVUpdateController() override;

    // Silently: no window unless an update is found; otherwise the check
    // shows its progress and every outcome.
    void startUpdate(bool silently);

    // The windows' actions.
    void cancelUpdate();
    void installUpdate();
    void skipUpdate();
    void installAndRelaunchUpdate();

    void updateDidFinishWithResult(bool result, const QString &description, const QUrl &url,
                                   const QList<QVUpdateFile> &files, const QString &error) override;
    void downloaderDidFinish(QVDownloader *downloader, const QStringList *paths,
                             const QStringList *filesToDelete) override;
    void downloaderDidReceiveData(QVDownloader *downloader, qint64 length) override;
    void downloaderDidFail(QVDownloader *downloader, const QString &error) override;

    // What installs the unpacked bundle (the privileged helper by default).
    using Installer = std::function<bool(const QString &updatePath, const QString &installPath)>;
    void setInstaller(Installer installer) { installer_ = std::move(installer); }
    // What starts the new instance (the bundle's program by default) and
    // what ends this one (quitting the application by default).
    using Launcher = std::function<bool(const QString &bundlePath)>;
    void setLauncher(Launcher launcher) { launcher_ = std::move(launcher); }
    void setTerminator(std::function<void()> terminator) { terminator_ = std::move(terminator); }
    void setRelaunchTimeout(int milliseconds) { relaunchTimeout_ = milliseconds; }

    Phase phase() const { return phase_; }
    // The window shown now (progress or info), and the last alert.
    QDialog *window() const { return window_; }
    QMessageBox *alert() const { return alert_; }
    QDialog *progressWindow() const { return progressWindow_.get(); }
    QDialog *updateInfoWindow() const { return updateInfoWindow_.get(); }
    Ui::QVUpdateController *progressUi() const { return progressUi_.get(); }
    Ui::QVUpdateInfoWindow *infoUi() const { return infoUi_.get(); }

private:
    class QueryRelay;

    void setPhase(Phase phase);
    void loadProgressWindow();
    void showProgressWindow(const QString &text, qint64 maximum);
    void showUpdateInfoWindow();
    void showDownloadWindow();
    void unpackDidFinish(bool success, const QString &bundlePath);
    // ("Controlls" is the name's established spelling, kept on purpose.)
    void setupControllsForInstallAndRelaunch();
    void updateInstallButton();
    void showErrorAlert();
    void showAlertForError(const QString &error);
    void showWindow(QDialog *window);
    void closeWindow();
    void stopWork();
    void waitForRelaunch(QString bundlePath);
    void failRelaunch();
    QString privateFolder();

    QWidget *parentWindow_;
    std::unique_ptr<Ui::QVUpdateController> progressUi_;
    std::unique_ptr<Ui::QVUpdateInfoWindow> infoUi_;
    std::unique_ptr<QDialog> progressWindow_;
    std::unique_ptr<QDialog> updateInfoWindow_;
    QPointer<QDialog> window_;
    QPointer<QMessageBox> alert_;
    Phase phase_ = Phase::Idle;
    // Hears the pending query; replaced by each check, so that an answer
    // to an abandoned check reaches nobody.
    std::unique_ptr<QueryRelay> query_;

    QString errorString_;
    QString descriptionText_;
    QUrl downloadUrl_;
    QList<QVUpdateFile> filesToDownload_;
    QString destinationPath_;
    std::unique_ptr<QVDownloader> downloader_;
    QVUpdateUnpacker unpacker_;
    std::unique_ptr<QTemporaryDir> folder_;
    qint64 progressScale_ = 1;
    qint64 progressValue_ = 0;

    Installer installer_;
    Launcher launcher_;
    std::function<void()> terminator_;
    int relaunchTimeout_ = 30 * 1000;
    std::unique_ptr<QTimer> relaunchWatch_;
};
