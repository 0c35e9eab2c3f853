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
#include <QRegularExpression>
#include <QScreen>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <limits>

namespace {

constexpr int kUnzipTimeout = 10 * 60 * 1000;
constexpr qint64 kMaxDescriptionFileSize = 4 * 1024 * 1024;
const QString kUnzip = QStringLiteral("/usr/bin/unzip");

// Runs unzip with `arguments`; its output, or null when it failed.
QByteArray runUnzip(const QStringList &arguments, const QString &folder)
{
    QProcess unzip;
    unzip.setWorkingDirectory(folder);
    unzip.setStandardInputFile(QProcess::nullDevice());
    unzip.setProcessChannelMode(QProcess::SeparateChannels);
    unzip.start(kUnzip, arguments);
    if (!unzip.waitForFinished(kUnzipTimeout)) {
        unzip.kill();
        unzip.waitForFinished(1000);
        return QByteArray();
    }
    if (unzip.exitStatus() != QProcess::NormalExit || unzip.exitCode() != 0)
        return QByteArray();
    const QByteArray output = unzip.readAllStandardOutput();
    return output.isNull() ? QByteArray("") : output;
}

// An archive may only create files and folders below the folder it is
// unpacked in: no absolute names, no "..", no symbolic links.
bool staysInside(const QString &archive, const QString &folder)
{
    const QByteArray names = runUnzip({QStringLiteral("-Z1"), archive}, folder);
    const QByteArray details = runUnzip({QStringLiteral("-Z"), archive}, folder);
    if (names.isNull() || details.isNull())
        return false;
    for (const QByteArray &name : names.split('\n')) {
        if (name.startsWith('/') || name.contains('\\'))
            return false;
        for (const QByteArray &component : name.split('/')) {
            if (component == "..")
                return false;
        }
    }
    static const QRegularExpression link(QStringLiteral("^l[-rwxsStT]{9}\\s"), QRegularExpression::MultilineOption);
    return !link.match(QString::fromUtf8(details)).hasMatch();
}

}  // namespace

QVUpdateController::QVUpdateController(QWidget *parentWindow, QObject *parent)
    : QObject(parent),
      parentWindow_(parentWindow),
      installer_([](const QString &updatePath, const QString &installPath) {
          return QVPrivilegeOperationManager::sharedManager().performInstallUpdateWithUpdatePath(updatePath, installPath);
      }),
      launcher_([](const QString &bundlePath) {
          const QString program = bundlePath + QStringLiteral("/Contents/MacOS/")
                                  + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
          return QProcess::startDetached(program, {});
      }),
      terminator_([] { QCoreApplication::quit(); })
{
}

QVUpdateController::~QVUpdateController()
{
    if (downloader_)
        downloader_->cancelDownload();
    delete alert_.data();
}

void QVUpdateController::startUpdate(bool silently)
{
    if (downloader_)
        downloader_->cancelDownload();
    destinationPath_.clear();
    folder_.reset();
    silent_ = silently;
    if (silently) {
        closeWindow();
        window_ = nullptr;
        QVServiceInfo::updateWithDelegate(this);
        return;
    }
    const QStorageInfo volume(QVMainBundle::bundlePath());
    if (!volume.isValid() || volume.isReadOnly()) {
        errorString_ = tr("Update was started from read only volume.");
        showErrorAlert();
        return;
    }
    downloadingUpdate_ = false;
    showProgressWindow(tr("Checking for updates…"), 0);
    QVServiceInfo::updateWithDelegate(this);
}

void QVUpdateController::updateDidFinishWithResult(bool result, const QString &description, const QUrl &url,
                                                   const QList<QVUpdateFile> &files, const QString &error)
{
    if (window_ && !window_->isVisible())
        return;  // closed or cancelled meanwhile
    if (!result) {
        if (!window_)
            return;
        if (error.isEmpty()) {
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
    if (!window_ && filesToDownload_.isEmpty())
        return;
    if (!descriptionFile) {
        showUpdateInfoWindow();
        return;
    }
    downloadingUpdate_ = false;
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
    connect(progressUi_->installAndRelaunchButton, &QPushButton::clicked, this, &QVUpdateController::installAndRelaunchUpdate);
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
    progressUi_->installAndRelaunchButton->setEnabled(true);
    showWindow(progressWindow_.get());
}

void QVUpdateController::showUpdateInfoWindow()
{
    closeWindow();
    if (!updateInfoWindow_) {
        updateInfoWindow_ = std::make_unique<QDialog>(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint);
        infoUi_ = std::make_unique<Ui::QVUpdateInfoWindow>();
        infoUi_->setupUi(updateInfoWindow_.get());
        connect(infoUi_->installButton, &QPushButton::clicked, this, &QVUpdateController::installUpdate);
        connect(infoUi_->skipButton, &QPushButton::clicked, this, &QVUpdateController::skipUpdate);
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
        connect(box, &QMessageBox::finished, this, &QVUpdateController::closeWindow);
        alert_ = box;
        box->open();
    }
}

void QVUpdateController::installUpdate()
{
    showDownloadWindow();
}

void QVUpdateController::showDownloadWindow()
{
    downloadingUpdate_ = true;
    qint64 total = 0;
    for (const QVUpdateFile &file : std::as_const(filesToDownload_))
        total += std::max<qint64>(0, std::min(file.size, std::numeric_limits<qint64>::max() - total));
    showProgressWindow(tr("Downloading…"), total);
    if (!downloader_)
        downloader_ = std::make_unique<QVDownloader>(this);
    downloader_->downloadFiles(filesToDownload_, downloadUrl_, privateFolder());
}

void QVUpdateController::downloaderDidReceiveData(QVDownloader *, qint64 length)
{
    if (!window_ || !progressUi_)
        return;
    progressValue_ += length;
    progressUi_->progressIndicator->setValue(int(std::min<qint64>(progressValue_ / progressScale_,
                                                                  progressUi_->progressIndicator->maximum())));
}

void QVUpdateController::downloaderDidFinish(QVDownloader *, const QStringList *paths, const QStringList *)
{
    if (!paths || paths->size() != 1) {
        errorString_ = tr("Wrong file data.");
        showErrorAlert();
        return;
    }
    destinationPath_ = paths->constFirst();
    if (!downloadingUpdate_) {
        showUpdateInfoWindow();
        return;
    }
    showExtractWindow();
    if (!extractAppBundle()) {
        errorString_ = tr("Wrong update format.");
        showErrorAlert();
        return;
    }
    setupControllsForInstallAndRelaunch();
}

void QVUpdateController::downloaderDidFail(QVDownloader *, const QString &error)
{
    closeWindow();
    showAlertForError(error);
}

void QVUpdateController::showExtractWindow()
{
    showProgressWindow(tr("Extracting…"), 0);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

bool QVUpdateController::extractAppBundle()
{
    const QFileInfo archive(destinationPath_);
    const QString folder = archive.path();
    destinationPath_ = folder + u'/' + archive.completeBaseName() + QStringLiteral(".app");
    if (!staysInside(archive.filePath(), folder))
        return false;
    if (runUnzip({QStringLiteral("-oqq"), archive.filePath()}, folder).isNull())
        return false;
    const QFileInfo bundle(destinationPath_);
    return !bundle.isSymLink() && QVAdditions::fileTypeForItemAtPath(destinationPath_) == QVFileTypeApplication;
}

void QVUpdateController::setupControllsForInstallAndRelaunch()
{
    progressUi_->progressTextField->setText(tr("Ready to install"));
    progressUi_->progressIndicator->setRange(0, 1);
    progressUi_->progressIndicator->setValue(1);
    progressUi_->cancelButton->hide();
    progressUi_->installAndRelaunchButton->show();
    progressUi_->installAndRelaunchButton->setFocus();
}

void QVUpdateController::installAndRelaunchUpdate()
{
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
    progressUi_->installAndRelaunchButton->setEnabled(false);
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
    QVRunningApplications::claimBundleIdentifier(QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier));
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
    if (progressUi_)
        progressUi_->progressIndicator->setRange(0, 1);
    if (downloader_)
        downloader_->cancelDownload();
    closeWindow();
}

void QVUpdateController::skipUpdate()
{
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
    const QRect area = anchor ? anchor->frameGeometry()
                              : (window->screen() ? window->screen()->availableGeometry() : QRect());
    if (area.isValid())
        window->move(area.center() - window->rect().center());
    window->show();
    window->raise();
    window->activateWindow();
}

void QVUpdateController::closeWindow()
{
    if (window_)
        window_->hide();
}
