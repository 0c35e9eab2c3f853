// What the main window controller asks of the world outside its window: the
// privileged helper, alerts, and where the mail plug-in lies. Small
// interfaces, so that tests can stand in for each.
#pragma once

#include <QString>

class QWidget;

// The privileged helper's plug-in actions ("ACTION_INSTALL_MAIL_PLUGIN",
// "ACTION_UNINSTALL_MAIL_PLUGIN"); blocks until the helper answers.
class QVMailPluginHelper {
public:
    enum class Answer {
        Done,
        // The helper ran and said no.
        Refused,
        // No helper answered: the authorization was cancelled or refused, or
        // the helper could not start.
        NotReached,
    };

    virtual ~QVMailPluginHelper() = default;
    virtual Answer performActionOnHelperTool(const QString &action, const QString &sourcePath,
                                             const QString &libraryPath) = 0;
};

struct QVAlert {
    enum class Style { Informational, Critical };

    QString messageText;
    QString informativeText;
    // Empty: the platform's OK.
    QString defaultButtonTitle;
    Style style = Style::Informational;
};

class QVAlertPresenter {
public:
    // The default button's answer of runModal.
    static constexpr int kDefaultReturn = 1;

    virtual ~QVAlertPresenter() = default;
    // Application-modal; kDefaultReturn when the default button ended it.
    virtual int runModal(const QVAlert &alert) = 0;
    // Window-modal on window; returns at once.
    virtual void beginSheet(const QVAlert &alert, QWidget *window) = 0;
};

// The user's Library folder and the plug-in the application carries.
class QVMailPluginLocation {
public:
    virtual ~QVMailPluginLocation() = default;
    virtual QString libraryPath() const = 0;
    virtual QString bundledPluginPath() const = 0;
};

// The real ones: the helper client, message boxes, the folders on disk.
QVMailPluginHelper &defaultMailPluginHelper();
QVAlertPresenter &defaultAlertPresenter();
QVMailPluginLocation &defaultMailPluginLocation();

struct QVMainWindowServices {
    QVMailPluginHelper *helper = &defaultMailPluginHelper();
    QVAlertPresenter *alerts = &defaultAlertPresenter();
    QVMailPluginLocation *plugin = &defaultMailPluginLocation();
};
