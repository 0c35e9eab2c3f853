// Quorvane-Helper: started as root through pkexec by the application, it
// connects back to the one application process that started it, over the
// private socket named on its command line, answers that process's requests
// and exits when the connection ends.
//
// The socket's folder belongs to the user, so any process of the user could
// put its own server at that path while pkexec asks for the password. The
// helper therefore serves only a listener that is its own parent (pkexec
// runs the helper in its own process, the application's child), belongs to
// the invoking user and runs the program of the bundle the helper came with.
#include "QVHelperPeer.h"
#include "QVHelperProtocol.h"
#include "QVHelperTool.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdlib>

#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

using namespace QVHelperProtocol;

namespace {

class HelperService final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.quorvane.Helper")

public:
    explicit HelperService(QVHelperTool &tool) : tool_(tool) {}

public Q_SLOTS:
    Q_SCRIPTABLE QVariantMap Perform(const QVariantMap &request) { return tool_.perform(request); }

private:
    QVHelperTool &tool_;
};

// The user on whose behalf the helper works: the one pkexec names, or the
// caller itself when started without pkexec.
uid_t invokingUser()
{
    if (geteuid() == 0) {
        bool ok = false;
        const uint uid = qEnvironmentVariable("PKEXEC_UID").toUInt(&ok);
        if (ok)
            return uid;
    }
    return getuid();
}

// Only a socket in a folder that the invoking user owns and nobody else can
// enter is the application that started us.
bool isPrivateSocket(const QString &address, uid_t user)
{
    if (!address.startsWith(QLatin1String("unix:")))
        return false;
    QString socket;
    for (const QString &field : address.mid(5).split(u',')) {
        if (field.startsWith(QLatin1String("path=")))
            socket = field.mid(5);
        else if (!field.startsWith(QLatin1String("guid=")))
            return false;
    }
    const QString folder = QFileInfo(socket).path();
    struct stat status {};
    if (!socket.startsWith(u'/') || ::lstat(QFile::encodeName(folder).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == user && (status.st_mode & 0777) == 0700;
}

// The process at the other end listened on the socket, is the helper's
// parent, is the user's and runs <bundle>/Contents/MacOS/Quorvane (compared
// by file identity, so that a renamed or deleted copy does not pass).
bool isStartingApplication(const QDBusConnection &connection, uid_t user, const QString &bundlePath)
{
    const auto peer = QVHelperPeer::credentials(connection);
    const pid_t parent = ::getppid();
    if (!peer) {
        syslog(LOG_ERR, "Refused the connection: its peer is unknown");
        return false;
    }
    if (parent <= 1 || peer->pid != parent || peer->uid != user) {
        syslog(LOG_ERR, "Refused the connection: peer %d (uid %u) is not the application %d (uid %u)", int(peer->pid),
               unsigned(peer->uid), int(parent), unsigned(user));
        return false;
    }
    struct stat running {};
    struct stat program {};
    const QByteArray executable = "/proc/" + QByteArray::number(parent) + "/exe";
    const QByteArray expected = QFile::encodeName(bundlePath + QStringLiteral("/Contents/MacOS/Quorvane"));
    if (::stat(executable.constData(), &running) != 0 || ::lstat(expected.constData(), &program) != 0
        || !S_ISREG(program.st_mode) || running.st_dev != program.st_dev || running.st_ino != program.st_ino) {
        syslog(LOG_ERR, "Refused the connection: process %d does not run %s", int(parent), expected.constData());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char *argv[])
{
    openlog(kHelperLabel, LOG_PID | LOG_PERROR, LOG_AUTHPRIV);
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const qsizetype option = arguments.indexOf(QLatin1String(kAddressOption));
    const QString address = option > 0 && option + 1 < arguments.size() ? arguments.at(option + 1) : QString();
    const uid_t user = invokingUser();
    const passwd *account = getpwuid(user);
    if (!account || !isPrivateSocket(address, user)) {
        syslog(LOG_ERR, "Refused to serve address \"%s\"", address.toUtf8().constData());
        return EXIT_FAILURE;
    }
    // The installed application is three levels above the helper:
    // <bundle>/Contents/Library/LaunchServices/Quorvane-Helper.
    QDir bundle(QCoreApplication::applicationDirPath());
    bundle.cdUp();
    bundle.cdUp();
    bundle.cdUp();
    QVHelperTool tool(bundle.absolutePath(), user, account->pw_gid);

    QDBusConnection connection = QDBusConnection::connectToPeer(address, QStringLiteral("application"));
    if (!connection.isConnected()) {
        syslog(LOG_ERR, "Couldn't connect to \"%s\": %s", address.toUtf8().constData(),
               connection.lastError().message().toUtf8().constData());
        return EXIT_FAILURE;
    }
    if (!isStartingApplication(connection, user, bundle.absolutePath())) {
        QDBusConnection::disconnectFromPeer(QStringLiteral("application"));
        return EXIT_FAILURE;
    }
    HelperService service(tool);
    if (!connection.registerObject(QLatin1String(kObjectPath), &service, QDBusConnection::ExportScriptableSlots))
        return EXIT_FAILURE;
    connection.send(
        QDBusMessage::createSignal(QLatin1String(kObjectPath), QLatin1String(kInterface), QLatin1String(kReadySignal)));

    // The application going away ends the connection, and the helper with it.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&connection] {
        if (!connection.isConnected())
            QCoreApplication::quit();
    });
    watch.start(200);
    const int status = application.exec();
    QDBusConnection::disconnectFromPeer(QStringLiteral("application"));
    return status;
}

#include "main.moc"
