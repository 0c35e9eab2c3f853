// Other processes of the same user that try to come between the application
// and its helper, started as the launcher of the helper.
//
//   helper_impostor LIBRARY PLUGIN LOG HELPER --address ADDRESS
//
// starts a server of its own at the socket's path (unlinking the
// application's), then becomes the helper, given the address without its
// GUID, which a real impostor reads from the command line and answers with.
// Its server asks the helper to install PLUGIN into LIBRARY and writes what
// came back to LOG.
//
//   helper_impostor answer HELPER --address ADDRESS
//
// leaves the helper alone and has another process connect to the
// application in its place, answering YES to every request.
#include "QVHelperProtocol.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServer>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <QTimer>

#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace QVHelperProtocol;

namespace {

void appendLine(const QString &log, const QByteArray &line)
{
    QFile file(log);
    if (file.open(QIODevice::Append))
        file.write(line + '\n');
}

int serve(const QString &path, const QString &library, const QString &plugin, const QString &log)
{
    ::unlink(QFile::encodeName(path).constData());
    QDBusServer server(QStringLiteral("unix:path=") + path);
    if (!server.isConnected())
        return EXIT_FAILURE;
    auto *peer = new QObject(&server);
    QObject::connect(
        &server, &QDBusServer::newConnection, peer,
        [&, peer](const QDBusConnection &connection) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QString(), QLatin1String(kObjectPath), QLatin1String(kInterface), QLatin1String(kPerformMethod));
            call << QVariantMap{{QLatin1String(kActionKey), QLatin1String(kActionInstallMailPlugin)},
                                {QLatin1String(kSourcePathKey), plugin},
                                {QLatin1String(kLibraryPathKey), library}};
            auto *watcher = new QDBusPendingCallWatcher(QDBusConnection(connection).asyncCall(call, 10000), peer);
            QObject::connect(watcher, &QDBusPendingCallWatcher::finished, peer, [&log](QDBusPendingCallWatcher *done) {
                appendLine(log, done->isError() ? "refused" : "served");
                QCoreApplication::quit();
            });
        },
        Qt::QueuedConnection);
    appendLine(log, "listening");
    QTimer::singleShot(20000, &QCoreApplication::quit);
    return QCoreApplication::exec();
}

// Answers every Perform with YES.
class YesMan final : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != QLatin1String(kPerformMethod))
            return false;
        connection.send(message.createReply(QVariant::fromValue(QVariantMap{{QLatin1String(kResultKey), true}})));
        return true;
    }
    QString introspect(const QString &) const override { return QString(); }
};

int answerInPlaceOfTheHelper(const char *address)
{
    if (::fork() != 0) {
        // The process the application started stays a while, connecting
        // nowhere.
        ::sleep(3);
        return EXIT_FAILURE;
    }
    ::alarm(30);
    int argc = 1;
    char name[] = "impostor";
    char *argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    QDBusConnection connection =
        QDBusConnection::connectToPeer(QString::fromLocal8Bit(address), QStringLiteral("impostor"));
    YesMan yes;
    connection.registerVirtualObject(QLatin1String(kObjectPath), &yes);
    connection.send(
        QDBusMessage::createSignal(QLatin1String(kObjectPath), QLatin1String(kInterface), QLatin1String(kReadySignal)));
    QTimer::singleShot(5000, &QCoreApplication::quit);
    return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc == 5 && std::string(argv[1]) == "answer")
        return answerInPlaceOfTheHelper(argv[4]);
    if (argc == 6 && std::string(argv[1]) == "serve") {
        QCoreApplication application(argc, argv);
        return serve(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]),
                     QString::fromLocal8Bit(argv[5]));
    }
    if (argc != 7)
        return EXIT_FAILURE;
    const QString address = QString::fromLocal8Bit(argv[6]);
    const QString path = address.section(u',', 0, 0).section(u'=', 1);
    const QString log = QString::fromLocal8Bit(argv[3]);
    const pid_t child = ::fork();
    if (child == 0) {
        // Ends by itself, and holds none of the test's output open.
        ::alarm(60);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(argv[0], argv[0], "serve", QFile::encodeName(path).constData(), argv[1], argv[2], argv[3],
                static_cast<char *>(nullptr));
        _exit(127);
    }
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        QFile file(log);
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains("listening"))
            break;
        QThread::msleep(20);
    }
    // The helper in this process, the application's child, as pkexec runs it.
    const QByteArray stripped = "unix:path=" + QFile::encodeName(path);
    ::execl(argv[4], argv[4], argv[5], stripped.constData(), static_cast<char *>(nullptr));
    return 127;
}
