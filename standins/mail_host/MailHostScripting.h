// The mail host's scripting interface on the session bus, for the run script
// and the end-to-end test: what a user does in the viewer window, done by
// name. Object /org/quorvane/MailHost, interface org.quorvane.MailHost.
#pragma once

#include <QObject>
#include <QString>

namespace QVMailHost {

class MailHost;
class MailHostWindow;

class MailHostScripting final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MailHostScripting)
    Q_CLASSINFO("D-Bus Interface", "org.quorvane.MailHost")

public:
    explicit MailHostScripting(MailHost *host, QObject *parent = nullptr);

    // Exports the object; false when the bus refuses it.
    bool registerObject();

public slots:
    // The number of viewer windows whose toolbar is built: from the first
    // one on, the host's bundles see new mail.
    int Viewers() const;
    // Shows the mailbox that holds the message with this Message-ID in the
    // first viewer window and selects that message; false when no mailbox
    // holds one.
    bool SelectMessage(const QString &messageID);
    // Presses a segment of a toolbar item as a click does: validated first,
    // nothing when disabled (false).
    bool ClickToolbarItem(const QString &identifier, int segment);
    // Chooses an item of a segment's menu by its titles ("Show Settings",
    // "Black List/Add Address"), validated first as a menu does before it
    // opens; false when there is no such enabled item.
    bool ChooseMenuItem(const QString &identifier, int segment, const QString &titles);
    // Opens a segment's menu in the first viewer window as a click does, once
    // the call has returned; CloseMenu closes the open one. False when there
    // is no such menu, or none open.
    bool OpenMenu(const QString &identifier, int segment);
    bool CloseMenu();

private:
    MailHostWindow *firstWindow() const;

    MailHost *host_;
};

}  // namespace QVMailHost
