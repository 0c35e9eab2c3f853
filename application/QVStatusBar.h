// The status item of the application: an icon in the desktop's tray with the
// status menu. Behind an interface, so that tests can count items.
#pragma once

#include <QIcon>

#include <functional>

#include <memory>

class QMenu;

class QVStatusItem {
public:
    virtual ~QVStatusItem() = default;
    virtual void setImage(const QIcon &image) = 0;
    virtual void setMenu(QMenu *menu) = 0;
    // Asks for the window (a click on the item, where the tray reports one).
    virtual void setActivationHandler(std::function<void()> handler) = 0;
};

class QVStatusBar {
public:
    virtual ~QVStatusBar() = default;
    // Whether the desktop has a tray to put items into.
    virtual bool isAvailable() const = 0;
    // A new item, shown while it lives.
    virtual std::unique_ptr<QVStatusItem> statusItem() = 0;

    // The desktop's tray (QSystemTrayIcon).
    static QVStatusBar &systemStatusBar();
};
