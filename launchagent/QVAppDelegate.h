// The launch agent: keeps the desktop application running while the user is
// logged in. It starts the application once when it starts itself and again
// whenever the mail plug-in asks for it.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

class QDBusServiceWatcher;
class QVDistributedNotificationCenter;

class QVAppDelegate final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVAppDelegate)

public:
    // How long a started application has to appear on the session bus
    // before the agent logs that it did not (one that came up and quit
    // meanwhile did start).
    static constexpr std::chrono::seconds kStartDeadline{60};

    QVAppDelegate(QVDistributedNotificationCenter *center, QObject *parent = nullptr);
    ~QVAppDelegate() override;

    void applicationDidFinishLaunching();
    void needsToLaunchClient();
    // Starts the application hidden and without the focus unless it runs or
    // is not installed. A start that fails, or an application that does not
    // come up within the deadline, is logged.
    void launchClient();

    void setStartDeadlineForTesting(std::chrono::milliseconds deadline);

private:
    void checkStart();

    QVDistributedNotificationCenter *center_;
    // Ends the start check as soon as the application comes up, however
    // briefly it runs.
    QDBusServiceWatcher *startWatch_;
    QTimer startCheck_;
    QString startedCommand_;
};
