// Quorvane-Helper: started as root through pkexec by the application, it
// answers the requests that come on its standard input, the application's
// end of a socket pair (see QVHelperChannel), and exits when that ends.
// It connects to nothing and listens on nothing, so no other process can
// put itself between the two. Who may start it is polkit's to decide (the
// administrator's password); the check below that its parent runs the
// program of the helper's bundle only keeps other programs from using it
// openly: a process of the user can still become that program.
#include "QVHelperChannel.h"
#include "QVHelperProtocol.h"
#include "QVHelperTool.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdlib>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

using namespace QVHelperProtocol;

namespace {

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

// The parent runs <bundle>/Contents/MacOS/Quorvane, compared by file
// identity. The parent's number is read before and after its program: a
// parent that exits meanwhile hands the helper to another process at once,
// so an unchanged number means the same living process throughout, never a
// later one that was given the number again.
bool parentRunsTheApplication(const QString &bundlePath)
{
    const pid_t parent = ::getppid();
    struct stat running {};
    struct stat program {};
    const QByteArray executable = "/proc/" + QByteArray::number(parent) + "/exe";
    const QByteArray expected = QFile::encodeName(bundlePath + QStringLiteral("/Contents/MacOS/Quorvane"));
    const bool same = parent > 1 && ::stat(executable.constData(), &running) == 0
        && ::lstat(expected.constData(), &program) == 0 && S_ISREG(program.st_mode) && running.st_dev == program.st_dev
        && running.st_ino == program.st_ino;
    if (!same || ::getppid() != parent) {
        syslog(LOG_ERR, "Refused to serve process %d: it does not run %s", int(parent), expected.constData());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char *argv[])
{
    openlog(kHelperLabel, LOG_PID | LOG_PERROR, LOG_AUTHPRIV);
    const uid_t user = invokingUser();
    const passwd *account = getpwuid(user);
    auto channel = QVHelperChannel::fromStandardInput(user);
    if (!account || !channel) {
        syslog(LOG_ERR, "Refused to start: standard input is not the application's channel");
        return EXIT_FAILURE;
    }
    // Nothing else reads the channel through standard input.
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDIN_FILENO) != STDIN_FILENO) {
        syslog(LOG_ERR, "Refused to start: standard input cannot be closed");
        return EXIT_FAILURE;
    }
    ::close(null);

    QCoreApplication application(argc, argv);
    // The installed application is three levels above the helper:
    // <bundle>/Contents/Library/LaunchServices/Quorvane-Helper.
    QDir bundle(QCoreApplication::applicationDirPath());
    bundle.cdUp();
    bundle.cdUp();
    bundle.cdUp();
    if (!parentRunsTheApplication(bundle.absolutePath()))
        return EXIT_FAILURE;
    QVHelperTool tool(bundle.absolutePath(), user, account->pw_gid);

    if (!channel->send({{QLatin1String(kReadyKey), true}}))
        return EXIT_FAILURE;
    // One answer per request until the application closes its end.
    while (auto request = channel->receive(-1)) {
        if (!channel->send(tool.perform(*request)))
            break;
    }
    return EXIT_SUCCESS;
}
