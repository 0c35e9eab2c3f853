// What the settings page needs of the main window controller: the mail
// plug-in's installed state, a way to be told when it changes, and the
// install and remove actions.
#pragma once

#include <QMetaObject>

#include <functional>

class QObject;

class QVMailPluginController {
public:
    virtual bool isMailPluginInstalled() const = 0;
    virtual void installMailPlugin() = 0;
    virtual void uninstallMailPlugin() = 0;
    // Calls `handler` whenever isMailPluginInstalled() may have changed, as
    // long as `context` lives.
    virtual QMetaObject::Connection observeMailPluginInstalled(QObject *context, std::function<void()> handler) = 0;

protected:
    ~QVMailPluginController() = default;
};
