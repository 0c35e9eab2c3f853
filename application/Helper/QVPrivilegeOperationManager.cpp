#include "QVPrivilegeOperationManager.h"

#include "QVHelperProtocol.h"
#include "QVMainBundle.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

extern char **environ;

using namespace QVHelperProtocol;

namespace {

// The helper may copy a whole application bundle.
constexpr int kRequestTimeout = 10 * 60 * 1000;

void systemLog(const QString &message)
{
    syslog(LOG_NOTICE, "%s", message.toUtf8().constData());
}

// Starts `command` with `input` as its standard input; 0 on failure (errno
// then says why).
pid_t spawnWithInput(const QStringList &command, int input)
{
    std::vector<QByteArray> arguments;
    for (const QString &argument : command)
        arguments.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // The launcher starts with no signal blocked or ignored by this process.
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (posix_spawnattr_init(&attributes) != 0)
        return 0;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        return 0;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    pid_t pid = 0;
    int error = posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    if (error == 0)
        error = posix_spawnattr_setsigmask(&attributes, &none);
    if (error == 0)
        error = posix_spawnattr_setsigdefault(&attributes, &all);
    if (error == 0)
        error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned = error != 0 ? error : posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    errno = spawned;
    return spawned == 0 ? pid : 0;
}

}  // namespace

QVPrivilegeOperationManager &QVPrivilegeOperationManager::sharedManager()
{
    static auto *manager = new QVPrivilegeOperationManager;
    return *manager;
}

QVPrivilegeOperationManager::QVPrivilegeOperationManager() = default;

QVPrivilegeOperationManager::~QVPrivilegeOperationManager()
{
    invalidate();
}

void QVPrivilegeOperationManager::submitJobWithLabel(const QString &label)
{
    invalidate();
    int ends[2];
    if (!QVHelperChannel::makePair(ends)) {
        systemLog(QStringLiteral("Couldn't submit job with label: \"%1\" Error: %2")
                      .arg(label, QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    QVHelperChannel far(ends[1]);
    channel_ = QVHelperChannel(ends[0]);
    // Only the process started here may write to this end: pkexec becomes
    // the helper in that same process.
    if (!channel_.stampWriters()) {
        systemLog(QStringLiteral("Couldn't submit job with label: \"%1\" Error: %2")
                      .arg(label, QString::fromLocal8Bit(std::strerror(errno))));
        channel_.close();
        return;
    }
    const QString program = helperPathForTesting_.isEmpty()
        ? QVMainBundle::contentsPath() + QStringLiteral("/Library/LaunchServices/") + label
        : helperPathForTesting_;
    helper_ = spawnWithInput(QStringList(launcher_) << program, far.descriptor());
    exitStatus_.reset();
    channel_.acceptOnlyFrom(helper_);
    if (helper_ == 0) {
        systemLog(QStringLiteral("Couldn't submit job with label: \"%1\" Error: %2")
                      .arg(label, QString::fromLocal8Bit(std::strerror(errno))));
        invalidate();
    }
}

void QVPrivilegeOperationManager::connectServiceWithLabel(const QString &label)
{
    if (helper_ == 0)
        return;
    // pkexec shows its password dialog meanwhile; the helper speaks once it
    // is allowed to run.
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(20);
    const QDeadlineTimer deadline(connectTimeout_);
    helperReady_ = false;
    // Anything the loop runs may have ended the helper (helper_ 0).
    while (helper_ != 0 && !deadline.hasExpired()) {
        if (channel_.hasInput()) {
            const auto hello = channel_.receive(1000);
            helperReady_ = hello && hello->value(QLatin1String(kReadyKey)).toBool();
            break;
        }
        if (helperHasExited())
            break;
        loop.exec();
    }
    if (helperReady_)
        return;
    // A launcher that gave up closes the channel as it exits.
    const QDeadlineTimer grace(1000);
    while (helper_ != 0 && !helperHasExited() && !grace.hasExpired())
        QThread::msleep(10);
    if (helper_ != 0 && exitStatus_) {
        // pkexec answers 126 when the dialog was dismissed, 127 when the
        // user is not authorised.
        systemLog(QStringLiteral("Failed to create AuthorizationRef, return code %1").arg(exitStatus_.value_or(-1)));
    } else {
        systemLog(QStringLiteral("Couldn't connect to the service \"%1\".").arg(label));
    }
    invalidate();
}

bool QVPrivilegeOperationManager::helperHasExited()
{
    if (helper_ == 0 || exitStatus_)
        return true;
    int status = 0;
    const pid_t done = ::waitpid(helper_, &status, WNOHANG);
    if (done == 0)
        return false;
    exitStatus_ = done == helper_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

bool QVPrivilegeOperationManager::isConnected() const
{
    if (!helperReady_ || !channel_.isOpen() || helper_ == 0 || exitStatus_)
        return false;
    // Still running, not collected.
    siginfo_t info{};
    return ::waitid(P_PID, id_t(helper_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

void QVPrivilegeOperationManager::invalidate()
{
    helperReady_ = false;
    // Without its channel the helper ends by itself.
    channel_.close();
    if (helper_ != 0) {
        const QDeadlineTimer deadline(5000);
        while (!helperHasExited() && !deadline.hasExpired())
            QThread::msleep(10);
        if (!helperHasExited()) {
            // A launcher that does not end: ask, then collect it whenever
            // it goes.
            ::kill(helper_, SIGTERM);
            std::thread([pid = helper_] { ::waitpid(pid, nullptr, 0); }).detach();
        }
    }
    helper_ = 0;
    exitStatus_.reset();
}

bool QVPrivilegeOperationManager::performRequest(const QVariantMap &request)
{
    // Waiting for the password runs an event loop, in which the user can ask
    // again; that second request is refused, the first goes on.
    if (busy_) {
        systemLog(QStringLiteral("Refused a helper request: another one is in progress."));
        return false;
    }
    setBusy(true);
    const bool result = sendRequest(request);
    setBusy(false);
    return result;
}

void QVPrivilegeOperationManager::setBusy(bool busy)
{
    busy_ = busy;
    Q_EMIT busyChanged(busy);
}

bool QVPrivilegeOperationManager::sendRequest(const QVariantMap &request)
{
    if (helper_ != 0 && !isConnected()) {
        systemLog(QStringLiteral("XPC connection invalid, releasing."));
        invalidate();
    }
    if (helper_ == 0) {
        submitJobWithLabel(QLatin1String(kHelperLabel));
        connectServiceWithLabel(QLatin1String(kHelperLabel));
        if (!helperReady_)
            return false;
    }
    const std::optional<QVariantMap> reply =
        channel_.send(request) ? channel_.receive(kRequestTimeout) : std::optional<QVariantMap>();
    if (!reply) {
        systemLog(QStringLiteral("Unexpected XPC connection error."));
        invalidate();
        return false;
    }
    const QVariant result = reply->value(QLatin1String(kResultKey));
    return result.userType() == QMetaType::Bool && result.toBool();
}

bool QVPrivilegeOperationManager::performActionOnHelperTool(const QString &action, const QString &sourcePath,
                                                            const QString &libraryPath)
{
    return performRequest({{QLatin1String(kActionKey), action},
                           {QLatin1String(kSourcePathKey), sourcePath},
                           {QLatin1String(kLibraryPathKey), libraryPath}});
}

bool QVPrivilegeOperationManager::performInstallUpdateWithUpdatePath(const QString &updatePath,
                                                                     const QString &installPath)
{
    return performRequest({{QLatin1String(kActionKey), QLatin1String(kActionInstallUpdate)},
                           {QLatin1String(kUpdatePathKey), updatePath},
                           {QLatin1String(kInstallPathKey), installPath}});
}

void QVPrivilegeOperationManager::setLauncherForTesting(const QStringList &launcher)
{
    launcher_ = launcher;
}

void QVPrivilegeOperationManager::setHelperPathForTesting(const QString &path)
{
    helperPathForTesting_ = path;
}

void QVPrivilegeOperationManager::setConnectTimeoutForTesting(int milliseconds)
{
    connectTimeout_ = milliseconds;
}
