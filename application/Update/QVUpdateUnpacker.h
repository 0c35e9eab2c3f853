// Unpacks a downloaded update archive with unzip in the archive's own
// folder, without blocking: what unzip may write is bounded (per file by a
// file-size limit, in all by watching what it writes, in number by counting
// what it reports), and the result is judged by what is on disk afterwards,
// not by unzip's listing: only folders and regular files, at most
// QVUpdateProtocol::kMaxUpdateSize bytes and as many items as the helper
// copies (QVHelperProtocol::kMaxCopyItems).
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <memory>

class QVUpdateUnpacker final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVUpdateUnpacker)

public:
    explicit QVUpdateUnpacker(QObject *parent = nullptr);
    ~QVUpdateUnpacker() override;

    // Starts unpacking; finished() follows, unless cancelled first.
    void unpack(const QString &archivePath);
    // Stops unzip; no finished() follows.
    void cancel();

    // <folder>/<archive name without its extension>.app
    static QString bundlePathForArchive(const QString &archivePath);
    // Every item below `folder` is a folder or a regular file, the files
    // other than `except` hold at most `budget` bytes together, and there
    // are at most `items` besides `except`.
    static bool isPlainTree(const QString &folder, const QString &except, qint64 budget, qint64 items);

    void setTimeoutForTesting(int milliseconds) { timeout_ = milliseconds; }
    // Tests bound the update far below kMaxUpdateSize.
    void setLimitForTesting(qint64 bytes) { limit_ = bytes; }
    void setItemLimitForTesting(qint64 items) { itemLimit_ = items; }
    // Unpacks without the listing's check first, to show that the count
    // during unpacking holds on its own.
    void skipListingForTesting() { checkListing_ = false; }

Q_SIGNALS:
    // `bundlePath` is the unpacked application on success.
    void finished(bool success, const QString &bundlePath);

private:
    void watch();
    void countItems();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void end(bool success);

    std::unique_ptr<QProcess> unzip_;
    QTimer watch_;
    QString archive_;
    int timeout_ = 10 * 60 * 1000;
    qint64 limit_;
    qint64 itemLimit_;
    qint64 itemsReported_ = 0;
    bool checkListing_ = true;
    qint64 started_ = 0;
    quint64 run_ = 0;  // a new run or a cancel drops what was pending
};
