#include "QVDownloader.h"

#include "QVDataAdditions.h"
#include "QVFileManagerAdditions.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

QVDownloader::QVDownloader(QVDownloaderDelegate *delegate, QObject *parent)
    : QObject(parent), delegate_(delegate), manager_(std::make_unique<QNetworkAccessManager>())
{
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (download_) {
            late_ = true;
            download_->abort();
        }
    });
}

QVDownloader::~QVDownloader()
{
    cancelDownload();
}

QString QVDownloader::destination(const QVUpdateFile &file) const
{
    return downloadToPath_ + u'/' + file.name;
}

void QVDownloader::downloadFiles(const QList<QVUpdateFile> &files, const QUrl &baseUrl, const QString &folder)
{
    cancelDownload();
    ++run_;
    downloadFromUrl_ = baseUrl;
    downloadToPath_ = folder.isEmpty() ? QDir::tempPath() : folder;
    filesToDownload_ = files;
    currentFileIndex_ = -1;
    if (!downloadNextFile())
        finish(true);
}

bool QVDownloader::downloadNextFile()
{
    ++currentFileIndex_;
    while (currentFileIndex_ < filesToDownload_.size() && filesToDownload_[currentFileIndex_].isDeleted)
        ++currentFileIndex_;
    if (currentFileIndex_ >= filesToDownload_.size())
        return false;

    const QVUpdateFile &entry = filesToDownload_[currentFileIndex_];
    const QString path = destination(entry);
    received_ = 0;
    tooLarge_ = false;
    late_ = false;
    // Whatever is at the destination goes first; a name that is not one
    // plain component never reaches the file system.
    const QFileInfo existing(path);
    if (QVUpdateSecurity::isPlainFileName(entry.name)) {
        if (existing.isDir() && !existing.isSymLink())
            QDir(path).removeRecursively();
        else if (existing.exists() || existing.isSymLink())
            QFile::remove(path);
    }
    file_.setFileName(path);
    if (!QVUpdateSecurity::isPlainFileName(entry.name) || !file_.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        // Reported from the event loop, unless the run is cancelled first.
        QMetaObject::invokeMethod(
            this,
            [this, run = run_] {
                if (run == run_)
                    finish(false);
            },
            Qt::QueuedConnection);
        return true;
    }
    QNetworkRequest request(QVUpdateSecurity::fileUrl(downloadFromUrl_, entry.name));
    request.setTransferTimeout(transferTimeout_);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    download_ = manager_->get(request);
    connect(download_, &QNetworkReply::readyRead, this, &QVDownloader::onReadyRead);
    connect(download_, &QNetworkReply::finished, this, &QVDownloader::onFinished);
    deadline_.start(QVUpdateLimits::downloadDeadline());
    return true;
}

void QVDownloader::onReadyRead()
{
    const QByteArray chunk = download_->readAll();
    received_ += chunk.size();
    // More than promised cannot pass the check: stop reading now.
    if (received_ > filesToDownload_[currentFileIndex_].size) {
        tooLarge_ = true;
        download_->abort();
        return;
    }
    file_.write(chunk);
    if (delegate_)
        delegate_->downloaderDidReceiveData(this, chunk.size());
}

void QVDownloader::onFinished()
{
    QNetworkReply *reply = download_;
    download_ = nullptr;
    deadline_.stop();
    reply->deleteLater();
    if (!tooLarge_ && reply->error() == QNetworkReply::NoError && reply->bytesAvailable() > 0)
        file_.write(reply->readAll());
    file_.close();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (tooLarge_) {
        file_.remove();
        finish(false);
        return;
    }
    if (reply->error() != QNetworkReply::NoError || status != 200) {
        file_.remove();
        if (delegate_) {
            const QString error = late_                    ? tr("The download did not end in time.")
                : reply->error() != QNetworkReply::NoError ? reply->errorString()
                                                           : tr("The server answered %1.").arg(status);
            delegate_->downloaderDidFail(this, error);
        }
        return;
    }
    if (!checkCurrentFile()) {
        // A file that fails its check is never left to be used.
        file_.remove();
        finish(false);
        return;
    }
    if (!downloadNextFile())
        finish(true);
}

bool QVDownloader::checkCurrentFile() const
{
    const QVUpdateFile &entry = filesToDownload_[currentFileIndex_];
    const QString path = destination(entry);
    return qint64(QVAdditions::dataForkSizeOfFileAtPath(path)) == entry.size
        && QVAdditions::hexRepresentation(QVAdditions::hashOfFileAtPath(path, true)) == entry.md5;
}

void QVDownloader::finish(bool success)
{
    if (!delegate_)
        return;
    if (!success) {
        delegate_->downloaderDidFinish(this, nullptr, nullptr);
        return;
    }
    QStringList paths;
    QStringList toDelete;
    for (const QVUpdateFile &entry : std::as_const(filesToDownload_)) {
        if (entry.isDeleted)
            toDelete << entry.name;
        else
            paths << destination(entry);
    }
    delegate_->downloaderDidFinish(this, &paths, &toDelete);
}

void QVDownloader::cancelDownload()
{
    ++run_;
    deadline_.stop();
    if (download_) {
        QNetworkReply *reply = download_;
        download_ = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
        file_.close();
        file_.remove();
    }
}

QList<QVUpdateFile> QVDownloader::changedFilesAmongFiles(const QList<QVUpdateFile> &files, const QString &folder)
{
    QList<QVUpdateFile> changed;
    for (const QVUpdateFile &entry : files) {
        const QString path = folder + u'/' + entry.name;
        if (entry.isDeleted) {
            if (QFileInfo::exists(path))
                changed << entry;
        } else if (qint64(QVAdditions::dataForkSizeOfFileAtPath(path)) != entry.size
                   || QVAdditions::hexRepresentation(QVAdditions::hashOfFileAtPath(path, true)) != entry.md5) {
            changed << entry;
        }
    }
    return changed;
}
