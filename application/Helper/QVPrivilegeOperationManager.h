// The application's one road to work that needs administrator rights:
// installing or removing the Mail plug-in and installing an update. The work
// is done by the helper program Quorvane-Helper, started as root through
// pkexec (polkit asks for an administrator's password) and reached only
// through the channel handed to it as its standard input (QVHelperChannel).
// The helper ends with its channel; the next request starts it, and asks,
// again.
//
// Every call blocks the calling (main) thread until the helper answers; only
// the password dialog's wait runs the event loop. One request at a time: a
// request made meanwhile is refused (busyChanged lets windows disable the
// buttons that start one).
#pragma once

#include "QVHelperChannel.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

#include <sys/types.h>

class QVPrivilegeOperationManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVPrivilegeOperationManager)

public:
    static QVPrivilegeOperationManager &sharedManager();
    ~QVPrivilegeOperationManager() override;

    // Starts the helper `label` of the main bundle through the launcher,
    // its standard input the far end of a fresh channel.
    void submitJobWithLabel(const QString &label);
    // Waits until the started helper says it is ready (or gives up).
    void connectServiceWithLabel(const QString &label);

    // ACTION_INSTALL_MAIL_PLUGIN or ACTION_UNINSTALL_MAIL_PLUGIN with the
    // plug-in bundle inside the application and the user's Library folder.
    bool performActionOnHelperTool(const QString &action, const QString &sourcePath, const QString &libraryPath);
    // ACTION_INSTALL_UPDATE: the unpacked bundle over the running one.
    bool performInstallUpdateWithUpdatePath(const QString &updatePath, const QString &installPath);

    bool isConnected() const;
    // A request is in progress.
    bool isBusy() const { return busy_; }
    // Ends the connection; the helper exits and the next request starts it
    // again.
    void releaseConnection() { invalidate(); }

    // The program that starts the helper with root rights (pkexec);
    // tests start it directly with an empty launcher.
    void setLauncherForTesting(const QStringList &launcher);
    // The helper program to start; empty returns to the main bundle's.
    void setHelperPathForTesting(const QString &path);
    // How long to wait for the helper to connect (milliseconds).
    void setConnectTimeoutForTesting(int milliseconds);

Q_SIGNALS:
    void busyChanged(bool busy);

private:
    QVPrivilegeOperationManager();
    bool performRequest(const QVariantMap &request);
    bool sendRequest(const QVariantMap &request);
    void setBusy(bool busy);
    void invalidate();
    // The started process has ended (collected, its status kept).
    bool helperHasExited();

    // By absolute path: no PATH lookup decides what runs as root.
    QStringList launcher_{QStringLiteral("/usr/bin/pkexec")};
    QString helperPathForTesting_;
    int connectTimeout_ = 5 * 60 * 1000;
    QVHelperChannel channel_;
    pid_t helper_ = 0;  // the launcher's process, which becomes the helper
    std::optional<int> exitStatus_;
    bool helperReady_ = false;
    bool busy_ = false;
};
