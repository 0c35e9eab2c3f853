// The host's viewer window: mailboxes on the left, the message list and the
// selected message on the right, and the viewer's toolbar on top, built from
// the items the viewer's toolbar methods gave (bundles' items included).
#pragma once

#include "MessageViewer.h"

#include <QHash>
#include <QMainWindow>
#include <QSet>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QToolBar;
class QToolButton;
class QTableView;
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
    class MessageList;

    void rebuildMailboxes();
    void reloadMessages();
    // Incremental changes of the current mailbox's list.
    void addMessages(const QString &uuid, const QVObjC::ObjectList &messages);
    void removeMessages(const QString &uuid, const QStringList &uniqueNames);
    void updateMessage(const QString &uuid, const QVObjC::id &message);
    std::vector<std::shared_ptr<MFMessage>> selectedMessages() const;
    // Selects exactly the listed messages that are wanted.
    void select(const std::function<bool(const MFMessage &)> &wanted);
    // Unread counts of changed mailboxes, at most a few times a second.
    void countLater(const QString &uuid);
    void updateCounts();
    void updateStatus();
    // The list takes changes in batches, a few times a second: each change
    // of a view's rows lays out every row again.
    void repaintLater();
    void flushList();
    void selectionChanged();
    void rebuildToolbar();
    void refreshToolbar();
    void showMessage();
    std::shared_ptr<MFMailbox> currentMailbox() const;

    MailHost *host_;
    std::shared_ptr<MessageViewer> viewer_;
    QToolBar *toolbar_;
    QTreeWidget *mailboxes_;
    QTableView *messages_;
    MessageList *list_;
    QPlainTextEdit *preview_;
    QLabel *status_;
    std::vector<std::pair<QToolButton *, std::weak_ptr<ToolbarSegment>>> buttons_;
    QHash<QString, QTreeWidgetItem *> mailboxItems_;  // by mailbox uuid
    QSet<QString> uncounted_;
    QTimer countTimer_;
    QTimer repaintTimer_;
    QHash<QString, std::weak_ptr<MFMessage>> pendingAdds_;  // by unique name
    QSet<QString> pendingRemoves_;
    bool reloading_ = false;
};

}  // namespace QVMailHost
