// Fetches the files of an update one after the other into a folder and
// checks each against the size and MD5 the update reply promised.
#pragma once

#include "QVUpdateFile.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QVDownloader;

class QVDownloaderDelegate {
public:
    virtual ~QVDownloaderDelegate() = default;
    // The end of a run: on success the full paths of the fetched files and
    // the names of the entries to delete, in list order; on failure both
    // null. Not called after a transfer error or a cancel.
    virtual void downloaderDidFinish(QVDownloader *downloader, const QStringList *paths,
                                     const QStringList *filesToDelete) = 0;
    virtual void downloaderDidReceiveData(QVDownloader *, qint64 length) { Q_UNUSED(length); }
    // A transfer failed; the run ends without a finish call.
    virtual void downloaderDidFail(QVDownloader *, const QString &error) { Q_UNUSED(error); }
};

class QVDownloader final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVDownloader)

public:
    explicit QVDownloader(QVDownloaderDelegate *delegate, QObject *parent = nullptr);
    ~QVDownloader() override;

    // An empty folder means the temporary folder.
    void downloadFiles(const QList<QVUpdateFile> &files, const QUrl &baseUrl, const QString &folder);
    void downloadFile(const QVUpdateFile &file, const QUrl &baseUrl, const QString &folder)
    {
        downloadFiles({file}, baseUrl, folder);
    }
    // Stops the transfer in progress; no delegate call follows.
    void cancelDownload();

    // The entries whose file in `folder` is not as listed, and the deleted
    // entries whose file is still there.
    static QList<QVUpdateFile> changedFilesAmongFiles(const QList<QVUpdateFile> &files, const QString &folder);

    qint64 currentFileIndex() const { return currentFileIndex_; }
    void setTransferTimeout(int milliseconds) { transferTimeout_ = milliseconds; }

private:
    bool downloadNextFile();
    bool checkCurrentFile() const;
    void onReadyRead();
    void onFinished();
    void finish(bool success);
    QString destination(const QVUpdateFile &file) const;

    QVDownloaderDelegate *delegate_;
    std::unique_ptr<QNetworkAccessManager> manager_;
    QUrl downloadFromUrl_;
    QString downloadToPath_;
    QList<QVUpdateFile> filesToDownload_;
    qint64 currentFileIndex_ = -1;
    QPointer<QNetworkReply> download_;
    QFile file_;
    quint64 run_ = 0;  // a new run or a cancel ends what was pending
    qint64 received_ = 0;
    bool tooLarge_ = false;
    bool late_ = false;
    // Nothing received for transferTimeout_ ends a transfer; deadline_ ends
    // it however slowly bytes keep coming.
    int transferTimeout_ = 60 * 1000;
    QTimer deadline_;
};
