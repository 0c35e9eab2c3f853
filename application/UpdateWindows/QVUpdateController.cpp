#include "QVUpdateController.h"

#include "ui_QVUpdateController.h"
#include "ui_QVUpdateInfoWindow.h"

#include "QVFileManagerAdditions.h"
#include "QVMainBundle.h"
#include "QVPrivilegeOperationManager.h"
#include "QVRTFReader.h"
#include "QVRunningApplications.h"
#include "QVServiceInfo.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <limits>

namespace {

constexpr qint64 kMaxDescriptionFileSize = 4 * 1024 * 1024;

}  // namespace

class QVUpdateController::QueryRelay final : public QObject, public QVUpdateDelegate {
public:
    explicit QueryRelay(QVUpdateController &controller) : controller_(controller) {}
    void updateDidFinishWithResult(bool result, const QString &description, const QUrl &url,
                                   const QList<QVUpdateFile> &files, const QString &error) override
    {
        controller_.updateDidFinishWithResult(result, description, url, files, error);
    }

private:
    QVUpdateController &controller_;
};

QVUpdateController::QVUpdateController(QWidget *parentWindow, QObject *parent)
    : QObject(parent),
      parentWindow_(parentWindow),
      installer_([](const QString &updatePath, const QString &installPath) {
          return QVPrivilegeOperationManager::sharedManager().performInstallUpdateWithUpdatePath(updatePath,
                                                                                                 installPath);
      }),
      launcher_([](const QString &bundlePath) {
          const QString program = bundlePath + QStringLiteral("/Contents/MacOS/")
              + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
          return QProcess::startDetached(program, {});
      }),
      terminator_([] { QCoreApplication::quit(); })
{
    connect(&unpacker_, &QVUpdateUnpacker::finished, this, &QVUpdateController::unpackDidFinish);
    // The helper takes one request at a time: the button waits while
    // another part of the application has one in progress.
    connect(&QVPrivilegeOperationManager::sharedManager(), &QVPrivilegeOperationManager::busyChanged, this,
            &QVUpdateController::updateInstallButton);
}

QVUpdateController::~QVUpdateController()
{
    if (downloader_)
        downloader_->cancelDownload();
    unpacker_.cancel();
    delete alert_.data();
}

void QVUpdateController::setPhase(Phase phase)
{
    phase_ = phase;
    updateInstallButton();
}

void QVUpdateController::stopWork()
{
    query_.reset();
    if (downloader_)
        downloader_->cancelDownload();
    unpacker_.cancel();
}

void QVUpdateController::startUpdate(bool silently)
{
    // The helper's request and the relaunch are not interrupted.
    if (phase_ == Phase::Installing || phase_ == Phase::Relaunching)
        return;
    stopWork();
    destinationPath_.clear();
    folder_.reset();
    if (silently) {
        closeWindow();
        window_ = nullptr;
        setPhase(Phase::CheckingSilently);
    } else {
        const QStorageInfo volume(QVMainBundle::bundlePath());
        if (!volume.isValid() || volume.isReadOnly()) {
            errorString_ = tr("Update was started from read only volume.");
            showErrorAlert();
            return;
        }
        showProgressWindow(tr("Checking for updates…"), 0);
        setPhase(Phase::Checking);
    }
    query_ = std::make_unique<QueryRelay>(*this);
    QVServiceInfo::updateWithDelegate(query_.get());
}

void QVUpdateController::updateDidFinishWithResult(bool result, const QString &description, const QUrl &url,
                                                   const QList<QVUpdateFile> &files, const QString &error)
{
    if (phase_ != Phase::Checking && phase_ != Phase::CheckingSilently)
        return;
    const bool silent = phase_ == Phase::CheckingSilently;
    if (!result) {
        if (silent) {
            setPhase(Phase::Idle);
        } else if (error.isEmpty()) {
            errorString_ = tr("Try again later.");
            showErrorAlert();
        } else {
            closeWindow();
            showAlertForError(error);
        }
        return;
    }
    descriptionText_ = description;
    downloadUrl_ = url;
    filesToDownload_ = files;
    std::optional<QVUpdateFile> descriptionFile;
    for (qsizetype i = 0; i < filesToDownload_.size(); ++i) {
        if (filesToDownload_[i].name == QVServiceInfo::updateInfoFileName()) {
            descriptionFile = filesToDownload_.takeAt(i);
            break;
        }
    }
    if (silent && filesToDownload_.isEmpty()) {
        setPhase(Phase::Idle);
        return;
    }
    if (!descriptionFile) {
        showUpdateInfoWindow();
        return;
    }
    setPhase(Phase::FetchingDescription);
    if (!downloader_)
        downloader_ = std::make_unique<QVDownloader>(this);
    downloader_->downloadFile(*descriptionFile, downloadUrl_, privateFolder());
}

QString QVUpdateController::privateFolder()
{
    // A fresh folder only this user can enter, so that nobody can plant or
    // swap what gets installed.
    if (!folder_)
        folder_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/Quorvane-update-XXXXXX"));
    return folder_->isValid() ? folder_->path() : QStringLiteral("/nonexistent");
}

void QVUpdateController::loadProgressWindow()
{
    if (progressWindow_)
        return;
    progressWindow_ = std::make_unique<QDialog>(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint);
    progressUi_ = std::make_unique<Ui::QVUpdateController>();
    progressUi_->setupUi(progressWindow_.get());
    connect(progressUi_->cancelButton, &QPushButton::clicked, this, &QVUpdateController::cancelUpdate);
    connect(progressUi_->installAndRelaunchButton, &QPushButton::clicked, this,
            &QVUpdateController::installAndRelaunchUpdate);
    connect(progressWindow_.get(), &QDialog::rejected, this, &QVUpdateController::cancelUpdate);
}

void QVUpdateController::showProgressWindow(const QString &text, qint64 maximum)
{
    closeWindow();
    loadProgressWindow();
    progressUi_->progressTextField->setText(text);
    progressScale_ = std::max<qint64>(1, maximum / std::numeric_limits<int>::max() + 1);
    progressValue_ = 0;
    progressUi_->progressIndicator->setRange(0, int(maximum / progressScale_));
    progressUi_->progressIndicator->setValue(0);
    progressUi_->cancelButton->show();
    progressUi_->installAndRelaunchButton->hide();
    showWindow(progressWindow_.get());
}

void QVUpdateController::showUpdateInfoWindow()
{
    closeWindow();
    setPhase(Phase::ShowingInfo);
    if (!updateInfoWindow_) {
        updateInfoWindow_ = std::make_unique<QDialog>(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint);
        infoUi_ = std::make_unique<Ui::QVUpdateInfoWindow>();
        infoUi_->setupUi(updateInfoWindow_.get());
        connect(infoUi_->installButton, &QPushButton::clicked, this, &QVUpdateController::installUpdate);
        connect(infoUi_->skipButton, &QPushButton::clicked, this, &QVUpdateController::skipUpdate);
        connect(updateInfoWindow_.get(), &QDialog::rejected, this, &QVUpdateController::skipUpdate);
    }
    infoUi_->descriptionTextField->setText(descriptionText_);
    infoUi_->updateInfoTextView->clear();
    if (!destinationPath_.isEmpty()) {
        QFile file(destinationPath_);
        if (file.open(QIODevice::ReadOnly))
            QVRTFReader::read(file.read(kMaxDescriptionFileSize), infoUi_->updateInfoTextView->document());
        infoUi_->updateInfoTextView->moveCursor(QTextCursor::Start);
    }
    infoUi_->installButton->setEnabled(!filesToDownload_.isEmpty());
    showWindow(updateInfoWindow_.get());

    if (filesToDownload_.isEmpty()) {
        QApplication::setActiveWindow(updateInfoWindow_.get());
        auto *box = new QMessageBox(QMessageBox::Information, tr("Quorvane Update"), tr("Your version is up to date."),
                                    QMessageBox::Ok, updateInfoWindow_.get());
        box->setInformativeText(tr("There are no updates available at this time."));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        connect(box, &QMessageBox::finished, this, &QVUpdateController::skipUpdate);
        alert_ = box;
        box->open();
    }
}

void QVUpdateController::installUpdate()
{
    if (phase_ != Phase::ShowingInfo || filesToDownload_.isEmpty())
        return;
    showDownloadWindow();
}

void QVUpdateController::showDownloadWindow()
{
    qint64 total = 0;
    for (const QVUpdateFile &file : std::as_const(filesToDownload_))
        total += std::max<qint64>(0, std::min(file.size, std::numeric_limits<qint64>::max() - total));
    showProgressWindow(tr("Downloading…"), total);
    setPhase(Phase::Downloading);
    if (!downloader_)
        downloader_ = std::make_unique<QVDownloader>(this);
    downloader_->downloadFiles(filesToDownload_, downloadUrl_, privateFolder());
}

void QVUpdateController::downloaderDidReceiveData(QVDownloader *, qint64 length)
{
    if (phase_ != Phase::Downloading || !progressUi_)
        return;
    progressValue_ += length;
    progressUi_->progressIndicator->setValue(
        int(std::min<qint64>(progressValue_ / progressScale_, progressUi_->progressIndicator->maximum())));
}

void QVUpdateController::downloaderDidFinish(QVDownloader *, const QStringList *paths, const QStringList *)
{
    if (phase_ != Phase::FetchingDescription && phase_ != Phase::Downloading)
        return;
    if (!paths || paths->size() != 1) {
        errorString_ = tr("Wrong file data.");
        showErrorAlert();
        return;
    }
    destinationPath_ = paths->constFirst();
    if (phase_ == Phase::FetchingDescription) {
        showUpdateInfoWindow();
        return;
    }
    showProgressWindow(tr("Extracting…"), 0);
    setPhase(Phase::Unpacking);
    unpacker_.unpack(destinationPath_);
}

void QVUpdateController::downloaderDidFail(QVDownloader *, const QString &error)
{
    if (phase_ != Phase::FetchingDescription && phase_ != Phase::Downloading)
        return;
    closeWindow();
    showAlertForError(error);
}

void QVUpdateController::unpackDidFinish(bool success, const QString &bundlePath)
{
    if (phase_ != Phase::Unpacking)
        return;
    if (!success || QFileInfo(bundlePath).isSymLink()
        || QVAdditions::fileTypeForItemAtPath(bundlePath) != QVFileTypeApplication) {
        errorString_ = tr("Wrong update format.");
        showErrorAlert();
        return;
    }
    destinationPath_ = bundlePath;
    setupControllsForInstallAndRelaunch();
}

void QVUpdateController::setupControllsForInstallAndRelaunch()
{
    progressUi_->progressTextField->setText(tr("Ready to install"));
    progressUi_->progressIndicator->setRange(0, 1);
    progressUi_->progressIndicator->setValue(1);
    progressUi_->cancelButton->hide();
    progressUi_->installAndRelaunchButton->show();
    setPhase(Phase::ReadyToInstall);
    progressUi_->installAndRelaunchButton->setFocus();
}

void QVUpdateController::updateInstallButton()
{
    if (progressUi_) {
        progressUi_->installAndRelaunchButton->setEnabled(phase_ == Phase::ReadyToInstall
                                                          && !QVPrivilegeOperationManager::sharedManager().isBusy());
    }
}

void QVUpdateController::installAndRelaunchUpdate()
{
    // One install at a time: clicks while the helper asks for the password
    // find the phase moved on.
    if (phase_ != Phase::ReadyToInstall || QVPrivilegeOperationManager::sharedManager().isBusy())
        return;
    setPhase(Phase::Installing);
    const QString bundlePath = QVMainBundle::bundlePath();
    if (!installer_(destinationPath_, bundlePath)) {
        failRelaunch();
        return;
    }
    waitForRelaunch(bundlePath);
}

void QVUpdateController::waitForRelaunch(QString bundlePath)
{
    // The new instance claims the application's name once it runs; this one
    // lets go of it first and quits only when that has happened.
    setPhase(Phase::Relaunching);
    const QString name = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
    QVRunningApplications::releaseBundleIdentifier(name);
    if (!launcher_(bundlePath)) {
        failRelaunch();
        return;
    }
    relaunchWatch_ = std::make_unique<QTimer>();
    const QDeadlineTimer deadline(relaunchTimeout_);
    connect(relaunchWatch_.get(), &QTimer::timeout, this, [this, name, deadline] {
        if (QVRunningApplications::isRunning(name)) {
            relaunchWatch_->stop();
            terminator_();
        } else if (deadline.hasExpired()) {
            relaunchWatch_->stop();
            failRelaunch();
        }
    });
    relaunchWatch_->start(100);
}

void QVUpdateController::failRelaunch()
{
    QVRunningApplications::claimBundleIdentifier(
        QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier));
    setPhase(Phase::Idle);
    closeWindow();
    auto *box = new QMessageBox(QMessageBox::Critical, tr("Quorvane Update"), tr("Couldn't update Quorvane."),
                                QMessageBox::Ok, parentWindow_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    alert_ = box;
    box->open();
}

void QVUpdateController::cancelUpdate()
{
    if (phase_ == Phase::Installing || phase_ == Phase::Relaunching || phase_ == Phase::Idle)
        return;
    stopWork();
    if (progressUi_)
        progressUi_->progressIndicator->setRange(0, 1);
    closeWindow();
}

void QVUpdateController::skipUpdate()
{
    if (phase_ != Phase::ShowingInfo)
        return;
    closeWindow();
}

void QVUpdateController::showErrorAlert()
{
    closeWindow();
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Quorvane Update"), tr("Update Error!"), QMessageBox::Ok,
                                parentWindow_);
    box->setInformativeText(errorString_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    alert_ = box;
    box->open();
}

void QVUpdateController::showAlertForError(const QString &error)
{
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Quorvane Update"), error, QMessageBox::Ok, parentWindow_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    alert_ = box;
    box->open();
}

void QVUpdateController::showWindow(QDialog *window)
{
    window_ = window;
    const QWidget *anchor = parentWindow_ && parentWindow_->isVisible() ? parentWindow_ : nullptr;
    const QRect area =
        anchor ? anchor->frameGeometry() : (window->screen() ? window->screen()->availableGeometry() : QRect());
    if (area.isValid())
        window->move(area.center() - window->rect().center());
    window->show();
    window->raise();
    window->activateWindow();
}

void QVUpdateController::closeWindow()
{
    // Every window closed ends the run, except the one the relaunch waits
    // behind; the phase says so before anything else can happen.
    if (phase_ != Phase::Installing && phase_ != Phase::Relaunching)
        setPhase(Phase::Idle);
    if (window_)
        window_->hide();
}
