// The host's viewer window: mailboxes on the left, the message list and the
// selected message on the right, and the viewer's toolbar on top, built from
// the items the viewer's toolbar methods gave (bundles' items included).
#pragma once

#include "MessageViewer.h"

#include <QMainWindow>

#include <memory>

class QLabel;
class QPlainTextEdit;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace QVMailHost {

class MailHostWindow final : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MailHostWindow)

public:
    MailHostWindow(MailHost *host, std::shared_ptr<MessageViewer> viewer, QWidget *parent = nullptr);
    ~MailHostWindow() override;

    // Selects the mailbox (by account and path) and, when given, messages.
    void selectMailbox(const QString &account, const QString &path);
    void selectMessages(const QStringList &messageIDs);

private:
    void rebuildMailboxes();
    void reloadMessages();
    void selectionChanged();
    void rebuildToolbar();
    void refreshToolbar();
    void showMessage();
    std::shared_ptr<MFMailbox> currentMailbox() const;

    MailHost *host_;
    std::shared_ptr<MessageViewer> viewer_;
    QToolBar *toolbar_;
    QTreeWidget *mailboxes_;
    QTreeWidget *messages_;
    QPlainTextEdit *preview_;
    QLabel *status_;
    std::vector<std::pair<QToolButton *, std::weak_ptr<ToolbarSegment>>> buttons_;
    bool reloading_ = false;
};

}  // namespace QVMailHost
