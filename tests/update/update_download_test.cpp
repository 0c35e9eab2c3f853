#include "QVDownloader.h"
#include "QVServiceInfo.h"
#include "QVUserDefaults.h"
#include "update_server.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <optional>

using update_test::UpdateServer;

namespace {

QString md5(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

QVUpdateFile entry(const QString &name, const QByteArray &content, bool deleted = false)
{
    return {name, md5(content), content.size(), deleted};
}

struct Recorder final : QVDownloaderDelegate {
    bool finished = false;
    std::optional<QStringList> paths;
    std::optional<QStringList> toDelete;
    std::optional<QString> failure;
    qint64 received = 0;

    void downloaderDidFinish(QVDownloader *, const QStringList *p, const QStringList *d) override
    {
        finished = true;
        paths = p ? std::optional(*p) : std::nullopt;
        toDelete = d ? std::optional(*d) : std::nullopt;
    }
    void downloaderDidReceiveData(QVDownloader *, qint64 length) override { received += length; }
    void downloaderDidFail(QVDownloader *, const QString &error) override { failure = error; }
    bool ended() const { return finished || failure.has_value(); }
};

TEST(Downloader, FetchesInListOrderAndSkipsDeletedEntries)
{
    UpdateServer server;
    ASSERT_NE(server.port(), 0);
    const QByteArray big(300 * 1024, 'z');
    server.put(QStringLiteral("b.zip"), big);
    server.put(QStringLiteral("a b.txt"), "hello");
    QTemporaryDir folder;
    // A file already at the destination is replaced.
    QFile old(folder.filePath(QStringLiteral("b.zip")));
    old.open(QIODevice::WriteOnly);
    old.write("stale");
    old.close();

    Recorder recorder;
    QVDownloader downloader(&recorder);
    downloader.downloadFiles({entry(QStringLiteral("b.zip"), big), entry(QStringLiteral("gone.dat"), "x", true),
                              entry(QStringLiteral("a b.txt"), "hello")},
                             server.files(), folder.path());
    ASSERT_TRUE(waitFor([&] { return recorder.ended(); }));
    ASSERT_TRUE(recorder.paths.has_value());
    EXPECT_EQ(*recorder.paths,
              (QStringList{folder.filePath(QStringLiteral("b.zip")), folder.filePath(QStringLiteral("a b.txt"))}));
    EXPECT_EQ(*recorder.toDelete, QStringList{QStringLiteral("gone.dat")});
    EXPECT_EQ(recorder.received, big.size() + 5);
    EXPECT_EQ(QFileInfo(folder.filePath(QStringLiteral("b.zip"))).size(), big.size());
    EXPECT_TRUE(QVDownloader::changedFilesAmongFiles(
                    {entry(QStringLiteral("b.zip"), big), entry(QStringLiteral("a b.txt"), "hello")}, folder.path())
                    .isEmpty());
    EXPECT_EQ(QVDownloader::changedFilesAmongFiles({entry(QStringLiteral("b.zip"), "other"),
                                                    entry(QStringLiteral("a b.txt"), "x", true),
                                                    entry(QStringLiteral("none"), "x", true)},
                                                   folder.path())
                  .size(),
              2);

    // Only deleted entries: done at once with their names.
    Recorder deletedOnly;
    QVDownloader second(&deletedOnly);
    second.downloadFiles({entry(QStringLiteral("old.rtf"), "x", true)}, server.files(), folder.path());
    ASSERT_TRUE(deletedOnly.finished);
    EXPECT_EQ(*deletedOnly.paths, QStringList());
    EXPECT_EQ(*deletedOnly.toDelete, QStringList{QStringLiteral("old.rtf")});
}

TEST(Downloader, AFileThatFailsItsCheckEndsTheRunAndIsRemoved)
{
    UpdateServer server;
    server.put(QStringLiteral("a.zip"), "abc");
    server.put(QStringLiteral("b.zip"), "def");
    struct Case {
        const char *name;
        QVUpdateFile file;
    };
    const Case cases[] = {
        {"wrong size", {QStringLiteral("a.zip"), md5("abc"), 4, false}},
        {"larger than promised", {QStringLiteral("a.zip"), md5("abc"), 2, false}},
        {"wrong MD5", {QStringLiteral("a.zip"), md5("abd"), 3, false}},
        {"upper-case MD5", {QStringLiteral("a.zip"), md5("abc").toUpper(), 3, false}},
        {"not a plain name", {QStringLiteral("../a.zip"), md5("abc"), 3, false}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir folder;
        Recorder recorder;
        QVDownloader downloader(&recorder);
        downloader.downloadFiles({c.file, entry(QStringLiteral("b.zip"), "def")}, server.files(), folder.path());
        ASSERT_TRUE(waitFor([&] { return recorder.ended(); }));
        EXPECT_TRUE(recorder.finished);
        EXPECT_FALSE(recorder.paths.has_value());
        EXPECT_FALSE(recorder.toDelete.has_value());
        EXPECT_TRUE(QDir(folder.path()).isEmpty()) << "nothing is kept, nothing else fetched";
    }
}

TEST(Downloader, TransferErrorsAndCancelling)
{
    UpdateServer server;
    server.put(QStringLiteral("a.zip"), QByteArray(4 * 1024 * 1024, 'a'));
    QTemporaryDir folder;
    Recorder missing;
    QVDownloader downloader(&missing);
    downloader.downloadFiles({entry(QStringLiteral("none.zip"), "x")}, server.files(), folder.path());
    ASSERT_TRUE(waitFor([&] { return missing.ended(); }));
    EXPECT_FALSE(missing.finished);
    EXPECT_TRUE(missing.failure.has_value());
    EXPECT_FALSE(QFileInfo::exists(folder.filePath(QStringLiteral("none.zip"))));

    Recorder cancelled;
    QVDownloader second(&cancelled);
    second.downloadFiles({entry(QStringLiteral("a.zip"), QByteArray(4 * 1024 * 1024, 'a'))}, server.files(),
                         folder.path());
    second.cancelDownload();
    waitFor([] { return false; }, 500);
    EXPECT_FALSE(cancelled.ended());
    EXPECT_FALSE(QFileInfo::exists(folder.filePath(QStringLiteral("a.zip"))));
}

struct QueryRecorder final : QObject, QVUpdateDelegate {
    std::optional<bool> result;
    QString description;
    QUrl url;
    QList<QVUpdateFile> files;
    QString error;
    void updateDidFinishWithResult(bool r, const QString &d, const QUrl &u, const QList<QVUpdateFile> &f,
                                   const QString &e) override
    {
        result = r;
        description = d;
        url = u;
        files = f;
        error = e;
    }
};

TEST(UpdateService, AnswersTheQueryWithItsFiles)
{
    UpdateServer server(QStringLiteral("Quorvane 2.0 brings speed"));
    QVUserDefaults::standardUserDefaults().setObject(server.service().toString(),
                                                     QString::fromLatin1(kQVUpdateServiceKey));

    QueryRecorder none;
    QVServiceInfo::updateWithDelegate(&none);
    ASSERT_TRUE(waitFor([&] { return none.result.has_value(); }));
    EXPECT_TRUE(*none.result);
    EXPECT_TRUE(none.files.isEmpty());

    server.put(QStringLiteral("Quorvane.zip"), "zip");
    server.put(QStringLiteral("updateInfo.rtf"), "{\\rtf1 x}");
    QueryRecorder some;
    QVServiceInfo::updateWithDelegate(&some);
    ASSERT_TRUE(waitFor([&] { return some.result.has_value(); }));
    ASSERT_TRUE(*some.result);
    EXPECT_EQ(some.description, QStringLiteral("Quorvane 2.0 brings speed"));
    EXPECT_EQ(some.url, server.files());
    ASSERT_EQ(some.files.size(), 2);
    EXPECT_EQ(some.files[0], entry(QStringLiteral("Quorvane.zip"), "zip"));

    // A delegate gone before the answer is not called.
    auto *gone = new QueryRecorder;
    QVServiceInfo::updateWithDelegate(gone);
    delete gone;
    waitFor([] { return false; }, 300);
}

TEST(UpdateService, RefusesQueriesOutOfOrderOrWithAWrongChecksum)
{
    UpdateServer server;
    QNetworkAccessManager manager;
    const QStringList good = QVServiceInfo::updateQueryParameters();
    QStringList swapped = good;
    swapped.swapItemsAt(1, 2);
    QStringList wrong = good;
    wrong.last() = QStringLiteral("Chk=00000000000000000000000000000000");
    const std::pair<QStringList, int> cases[] = {{good, 200}, {swapped, 400}, {wrong, 400}, {good.mid(0, 10), 400}};
    for (const auto &[parameters, status] : cases) {
        QUrl url = server.service();
        url.setPath(QStringLiteral("/enterprise/service.axd"));
        url.setQuery(parameters.join(u'&'));
        QNetworkReply *reply = manager.get(QNetworkRequest(url));
        ASSERT_TRUE(waitFor([&] { return reply->isFinished(); }));
        EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        reply->deleteLater();
    }
}

// A service that answers every request with a long body, one byte at a
// time, never idle long enough for a transfer timeout.
class TricklingServer final {
public:
    TricklingServer()
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = server_.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nContent-Type: text/plain\r\n\r\n");
                auto *drip = new QTimer(socket);
                QObject::connect(drip, &QTimer::timeout, socket, [socket] { socket->write("0"); });
                drip->start(50);
            }
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort())); }

private:
    QTcpServer server_;
};

TEST(UpdateService, ATricklingServiceIsCutOffAtTheDeadlines)
{
    TricklingServer server;
    QVUpdateLimits::setDeadlinesForTesting(1000, 1000);
    QVUserDefaults::standardUserDefaults().setObject(server.url().toString(), QString::fromLatin1(kQVUpdateServiceKey));
    QueryRecorder query;
    QVServiceInfo::updateWithDelegate(&query);
    ASSERT_TRUE(waitFor([&] { return query.result.has_value(); }, 30000));
    EXPECT_FALSE(*query.result);
    EXPECT_FALSE(query.error.isEmpty());

    QTemporaryDir folder;
    Recorder download;
    QVDownloader downloader(&download);
    QUrl files = server.url();
    files.setPath(QStringLiteral("/files/"));
    downloader.downloadFiles({{QStringLiteral("a.zip"), md5("x"), 100000, false}}, files, folder.path());
    ASSERT_TRUE(waitFor([&] { return download.ended(); }, 30000));
    EXPECT_FALSE(download.finished);
    EXPECT_TRUE(download.failure.has_value());
    EXPECT_FALSE(QFileInfo::exists(folder.filePath(QStringLiteral("a.zip"))));
    QVUpdateLimits::setDeadlinesForTesting(2 * 60 * 1000, 30 * 60 * 1000);
}

TEST(UpdateService, NoDefaultTrustsThisMachinesPorts)
{
    // A fresh account names no service: there is no query at all. A plain
    // HTTP service on this machine counts only where it was written into the
    // settings, since any local user may hold that port.
    UpdateServer server;
    auto &defaults = QVUserDefaults::standardUserDefaults();
    defaults.registerDefaults(QVUserDefaults::applicationDefaults());
    defaults.removeObjectForKey(QString::fromLatin1(kQVUpdateServiceKey));
    EXPECT_TRUE(defaults.stringForKey(QString::fromLatin1(kQVUpdateServiceKey)).isEmpty());
    QueryRecorder none;
    QVServiceInfo::updateWithDelegate(&none);
    ASSERT_TRUE(waitFor([&] { return none.result.has_value(); }));
    EXPECT_FALSE(*none.result);
    EXPECT_FALSE(none.error.isEmpty());

    defaults.registerDefaults({{QString::fromLatin1(kQVUpdateServiceKey), server.service().toString()}});
    QueryRecorder registered;
    QVServiceInfo::updateWithDelegate(&registered);
    ASSERT_TRUE(waitFor([&] { return registered.result.has_value(); }));
    EXPECT_FALSE(*registered.result);

    defaults.setObject(server.service().toString(), QString::fromLatin1(kQVUpdateServiceKey));
    QueryRecorder written;
    QVServiceInfo::updateWithDelegate(&written);
    ASSERT_TRUE(waitFor([&] { return written.result.has_value(); }));
    EXPECT_TRUE(*written.result);
    defaults.registerDefaults(QVUserDefaults::applicationDefaults());
}

TEST(UpdateService, PlainHttpOnlyOnThisMachine)
{
    QVUserDefaults::standardUserDefaults().setObject(QStringLiteral("http://updates.example.com"),
                                                     QString::fromLatin1(kQVUpdateServiceKey));
    QueryRecorder recorder;
    QVServiceInfo::updateWithDelegate(&recorder);
    ASSERT_TRUE(waitFor([&] { return recorder.result.has_value(); }));
    EXPECT_FALSE(*recorder.result);
    EXPECT_FALSE(recorder.error.isEmpty());
    EXPECT_TRUE(QVUpdateSecurity::isTrustedUrl(QUrl(QStringLiteral("https://updates.example.com"))));
    EXPECT_TRUE(QVUpdateSecurity::isTrustedUrl(QUrl(QStringLiteral("http://[::1]:80/"))));
    EXPECT_TRUE(QVUpdateSecurity::isTrustedUrl(QUrl(QStringLiteral("http://localhost:2480/"))));
    EXPECT_FALSE(QVUpdateSecurity::isTrustedUrl(QUrl(QStringLiteral("http://127.0.0.1.example.com/"))));
    EXPECT_FALSE(QVUpdateSecurity::isTrustedUrl(QUrl(QStringLiteral("ftp://127.0.0.1/"))));
    EXPECT_TRUE(QVUpdateSecurity::isTrustedUrl(QUrl(QStringLiteral("http://127.8.9.10:2480/"))));
    EXPECT_FALSE(QVUpdateSecurity::isTrustedUrl(QUrl(QStringLiteral("http://10.0.0.1/"))));
    EXPECT_FALSE(QVUpdateSecurity::isTrustedUrl(QUrl(QStringLiteral("http://user@127.0.0.1/"))));
}

}  // namespace
