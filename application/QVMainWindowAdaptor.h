// What the main window shows, readable on the session bus for whoever drives
// the application from outside (the mail plug-in's menu asks for a page, a
// script checks that it came up): the interface
// org.quorvane.Quorvane.MainWindow beside org.freedesktop.Application on the
// application's bus object. Read-only.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QPointer>

class QVAppDelegate;

class QVMainWindowAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVMainWindowAdaptor)
    Q_CLASSINFO("D-Bus Interface", "org.quorvane.Quorvane.MainWindow")
    Q_PROPERTY(bool Visible READ visible)
    Q_PROPERTY(int SelectedPage READ selectedPage)

public:
    // busObject: the object exported with its adaptors (it owns this one).
    QVMainWindowAdaptor(QObject *busObject, QVAppDelegate *delegate);

    // On the screen: shown and not minimized.
    bool visible() const;
    // The selected page button's tag: 0 filters, 1 settings, 2 account;
    // -1 on the first-run pages and before the window exists.
    int selectedPage() const;

private:
    QPointer<QVAppDelegate> delegate_;
};
