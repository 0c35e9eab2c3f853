// Quorvane-Helper: started as root through pkexec by the application, it
// connects back to the one application process that started it, over the
// private socket named on its command line, answers that process's requests
// and exits when the connection ends.
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
    HelperService service(tool);
    if (!connection.registerObject(QLatin1String(kObjectPath), &service, QDBusConnection::ExportScriptableSlots))
        return EXIT_FAILURE;
    connection.send(QDBusMessage::createSignal(QLatin1String(kObjectPath), QLatin1String(kInterface),
                                               QLatin1String(kReadySignal)));

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
