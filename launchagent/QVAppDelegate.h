// The launch agent: keeps the desktop application running while the user is
// logged in. It starts the application once when it starts itself and again
// whenever the mail plug-in asks for it.
#pragma once

#include <QObject>
#include <QString>

class QVDistributedNotificationCenter;

class QVAppDelegate final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVAppDelegate)

public:
    QVAppDelegate(QVDistributedNotificationCenter *center, QObject *parent = nullptr);
    ~QVAppDelegate() override;

    void applicationDidFinishLaunching();
    void needsToLaunchClient();
    // Starts the application hidden and without the focus unless it runs or
    // is not installed.
    void launchClient();

private:
    QVDistributedNotificationCenter *center_;
};
