#include "MailHostWindow.h"

#include <QAction>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

// The toolbar images live in a static library's resources.
static void initResources()
{
    Q_INIT_RESOURCE(mailhost);
}

namespace QVMailHost {

namespace {

constexpr int kMailboxRole = Qt::UserRole;
constexpr int kAccountRole = Qt::UserRole + 1;
constexpr int kMessageRole = Qt::UserRole;
constexpr qsizetype kPreviewLimit = 64 * 1024;

// "Name <address>" shows as the name, as mail programs list senders.
QString displayName(const QString &sender)
{
    const qsizetype open = sender.indexOf(u'<');
    QString name = open > 0 ? sender.left(open).trimmed() : sender;
    if (name.size() > 1 && name.startsWith(u'"') && name.endsWith(u'"'))
        name = name.mid(1, name.size() - 2);
    return name.isEmpty() ? sender : name;
}

QIcon iconFor(const QString &path)
{
    return path.isEmpty() ? QIcon() : QIcon(path);
}

// A model menu as a widget menu; items send their action to their target.
void fillMenu(QMenu *menu, const QVObjC::MenuRef &model, const QVObjC::id &sender)
{
    menu->clear();
    if (!model)
        return;
    for (const auto &item : model->items) {
        if (item->separator) {
            menu->addSeparator();
            continue;
        }
        if (item->submenu) {
            QMenu *submenu = menu->addMenu(item->title);
            fillMenu(submenu, item->submenu, sender);
            continue;
        }
        QAction *action = menu->addAction(item->title);
        action->setEnabled(item->enabled);
        QObject::connect(action, &QAction::triggered, menu, [item, sender] {
            if (const QVObjC::id target = item->target.lock())
                QVObjC::send(target, item->action, sender);
        });
    }
}

}  // namespace

MailHostWindow::MailHostWindow(MailHost *host, std::shared_ptr<MessageViewer> viewer, QWidget *parent)
    : QMainWindow(parent),
      host_(host),
      viewer_(std::move(viewer)),
      toolbar_(addToolBar(tr("Toolbar"))),
      mailboxes_(new QTreeWidget),
      messages_(new QTreeWidget),
      preview_(new QPlainTextEdit),
      status_(new QLabel)
{
    initResources();
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Mail"));
    resize(1100, 640);

    toolbar_->setMovable(false);
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolbar_->setIconSize(QSize(28, 28));

    mailboxes_->setHeaderHidden(true);
    mailboxes_->setRootIsDecorated(true);
    mailboxes_->setMinimumWidth(180);

    messages_->setColumnCount(4);
    messages_->setHeaderLabels({QString(), tr("From"), tr("Subject"), tr("Date Received")});
    messages_->setRootIsDecorated(false);
    messages_->setAlternatingRowColors(true);
    messages_->setUniformRowHeights(true);
    messages_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    messages_->header()->setStretchLastSection(false);
    messages_->header()->setSectionResizeMode(0, QHeaderView::Fixed);
    messages_->header()->setSectionResizeMode(1, QHeaderView::Interactive);
    messages_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    messages_->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    messages_->setColumnWidth(0, 22);
    messages_->setColumnWidth(1, 230);

    preview_->setReadOnly(true);
    preview_->setPlaceholderText(tr("No message selected"));
    preview_->setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 9));

    auto *right = new QSplitter(Qt::Vertical);
    right->addWidget(messages_);
    right->addWidget(preview_);
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 2);
    auto *split = new QSplitter;
    split->addWidget(mailboxes_);
    split->addWidget(right);
    split->setStretchFactor(1, 1);
    split->setSizes({200, 900});
    setCentralWidget(split);
    statusBar()->addWidget(status_);

    connect(mailboxes_, &QTreeWidget::currentItemChanged, this, [this] { reloadMessages(); });
    connect(messages_, &QTreeWidget::itemSelectionChanged, this, &MailHostWindow::selectionChanged);
    connect(host_, &MailHost::mailboxesChanged, this, &MailHostWindow::rebuildMailboxes);
    connect(host_, &MailHost::mailboxChanged, this, [this](const QString &uuid) {
        const auto mailbox = currentMailbox();
        if (mailbox && mailbox->uuid() == uuid)
            reloadMessages();
        rebuildMailboxes();
    });

    viewer_->changed = [this] { refreshToolbar(); };
    rebuildToolbar();
    rebuildMailboxes();
}

MailHostWindow::~MailHostWindow()
{
    if (viewer_ && !viewer_->isClosed()) {
        viewer_->changed = nullptr;
        host_->closeViewer(viewer_);
    }
}

std::shared_ptr<MFMailbox> MailHostWindow::currentMailbox() const
{
    const QTreeWidgetItem *item = mailboxes_->currentItem();
    if (!item)
        return nullptr;
    const QString accountName = item->data(0, kAccountRole).toString();
    const QString path = item->data(0, kMailboxRole).toString();
    for (const auto &account : host_->accounts()) {
        if (account->name() == accountName)
            return account->mailboxWithPath(path);
    }
    return nullptr;
}

void MailHostWindow::rebuildMailboxes()
{
    const auto current = currentMailbox();
    const QString currentUuid = current ? current->uuid() : QString();
    reloading_ = true;
    mailboxes_->clear();
    QTreeWidgetItem *select = nullptr;
    for (const auto &account : host_->accounts()) {
        auto *accountItem = new QTreeWidgetItem(mailboxes_, {account->name()});
        accountItem->setFlags(Qt::ItemIsEnabled);
        QFont bold = accountItem->font(0);
        bold.setBold(true);
        accountItem->setFont(0, bold);
        auto mailboxes = account->mailboxes();
        std::stable_sort(mailboxes.begin(), mailboxes.end(), [](const auto &a, const auto &b) {
            const bool aInbox = a->accountRelativePath() == QLatin1String("INBOX");
            const bool bInbox = b->accountRelativePath() == QLatin1String("INBOX");
            return aInbox != bInbox ? aInbox : a->accountRelativePath() < b->accountRelativePath();
        });
        for (const auto &mailbox : mailboxes) {
            int unread = 0;
            for (const auto &message : mailbox->store()->copyOfAllMessages())
                unread += QVObjC::cast<MFMessage>(message)->isRead() ? 0 : 1;
            const QString path = mailbox->accountRelativePath();
            const QString name = path == QLatin1String("INBOX") ? tr("Inbox") : path;
            auto *item = new QTreeWidgetItem(accountItem, {unread ? QStringLiteral("%1  (%2)").arg(name).arg(unread) : name});
            item->setData(0, kAccountRole, account->name());
            item->setData(0, kMailboxRole, path);
            item->setIcon(0, QIcon(path == QLatin1String("INBOX") ? QStringLiteral(":/mailhost/inbox.svg")
                                                                   : QStringLiteral(":/mailhost/folder.svg")));
            if (unread) {
                QFont font = item->font(0);
                font.setBold(true);
                item->setFont(0, font);
            }
            if (mailbox->uuid() == currentUuid || (!select && currentUuid.isEmpty()))
                select = item;
        }
    }
    mailboxes_->expandAll();
    reloading_ = false;
    if (select)
        mailboxes_->setCurrentItem(select);
}

void MailHostWindow::reloadMessages()
{
    if (reloading_)
        return;
    const auto mailbox = currentMailbox();
    QStringList selected;
    for (const QTreeWidgetItem *item : messages_->selectedItems())
        selected << item->data(0, kMessageRole).toString();

    reloading_ = true;
    messages_->clear();
    int unread = 0;
    QVObjC::ObjectList all = mailbox ? mailbox->store()->copyOfAllMessages() : QVObjC::ObjectList();
    std::sort(all.begin(), all.end(), [](const QVObjC::id &a, const QVObjC::id &b) {
        return QVObjC::cast<MFMessage>(a)->dateReceived() > QVObjC::cast<MFMessage>(b)->dateReceived();
    });
    for (const auto &object : all) {
        const auto message = QVObjC::cast<MFMessage>(object);
        const bool read = message->isRead();
        unread += read ? 0 : 1;
        auto *item = new QTreeWidgetItem(messages_, {read ? QString() : QStringLiteral("\u25CF"), displayName(message->sender()),
                                                     message->subject().isEmpty() ? tr("(no subject)") : message->subject(),
                                                     QLocale().toString(message->dateReceived(), QLocale::ShortFormat)});
        item->setData(0, kMessageRole, message->uniqueName());
        item->setToolTip(1, message->sender());
        item->setForeground(0, QColor(0x1e, 0x6f, 0xd9));
        item->setTextAlignment(0, Qt::AlignCenter);
        if (!read) {
            QFont font = item->font(1);
            font.setBold(true);
            for (int column = 1; column < 4; ++column)
                item->setFont(column, font);
        }
        if (selected.contains(message->uniqueName()))
            item->setSelected(true);
    }
    reloading_ = false;
    status_->setText(!mailbox ? QString()
                     : all.size() == 1 ? tr("1 message, %1 unread").arg(unread)
                                       : tr("%1 messages, %2 unread").arg(all.size()).arg(unread));
    setWindowTitle(mailbox ? QStringLiteral("%1 — %2").arg(mailbox->accountRelativePath() == QLatin1String("INBOX")
                                                               ? tr("Inbox")
                                                               : mailbox->accountRelativePath(),
                                                           mailbox->mailAccount()->name())
                           : tr("Mail"));
    selectionChanged();
}

void MailHostWindow::selectionChanged()
{
    if (reloading_)
        return;
    const auto mailbox = currentMailbox();
    QVObjC::ObjectList selection;
    if (mailbox) {
        const QVObjC::ObjectList all = mailbox->store()->copyOfAllMessages();
        for (const QTreeWidgetItem *item : messages_->selectedItems()) {
            const QString unique = item->data(0, kMessageRole).toString();
            for (const auto &object : all) {
                if (QVObjC::cast<MFMessage>(object)->uniqueName() == unique)
                    selection.append(object);
            }
        }
    }
    viewer_->setSelection(mailbox, selection);  // validates the toolbar
    showMessage();
}

void MailHostWindow::showMessage()
{
    const QVObjC::ObjectList selection = viewer_->selectedMessages();
    if (selection.size() != 1) {
        preview_->clear();
        return;
    }
    const auto message = QVObjC::cast<MFMessage>(selection.front());
    QString text = tr("From: %1\nSubject: %2\nDate: %3\n\n")
                       .arg(message->sender(), message->subject(),
                            QLocale().toString(message->dateSent().isValid() ? message->dateSent()
                                                                             : message->dateReceived(),
                                               QLocale::LongFormat));
    QByteArray body = message->bodyData();
    if (body.size() > kPreviewLimit)
        body.truncate(kPreviewLimit);
    preview_->setPlainText(text + QString::fromUtf8(body));
}

void MailHostWindow::selectMailbox(const QString &account, const QString &path)
{
    for (int i = 0; i < mailboxes_->topLevelItemCount(); ++i) {
        QTreeWidgetItem *accountItem = mailboxes_->topLevelItem(i);
        for (int j = 0; j < accountItem->childCount(); ++j) {
            QTreeWidgetItem *item = accountItem->child(j);
            if (item->data(0, kAccountRole).toString() == account && item->data(0, kMailboxRole).toString() == path)
                mailboxes_->setCurrentItem(item);
        }
    }
}

void MailHostWindow::selectMessages(const QStringList &messageIDs)
{
    const auto mailbox = currentMailbox();
    if (!mailbox)
        return;
    const QVObjC::ObjectList all = mailbox->store()->copyOfAllMessages();
    for (int i = 0; i < messages_->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = messages_->topLevelItem(i);
        for (const auto &object : all) {
            const auto message = QVObjC::cast<MFMessage>(object);
            if (message->uniqueName() == item->data(0, kMessageRole).toString())
                item->setSelected(messageIDs.contains(message->messageID()));
        }
    }
}

void MailHostWindow::rebuildToolbar()
{
    toolbar_->clear();
    buttons_.clear();
    bool first = true;
    for (const auto &item : viewer_->toolbarItems()) {
        if (!first)
            toolbar_->addSeparator();
        first = false;
        for (const auto &segment : item->segments) {
            auto *button = new QToolButton;
            button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
            button->setAutoRaise(true);
            button->setMinimumWidth(64);
            const std::weak_ptr<ToolbarSegment> weak = segment;
            if (segment->menu) {
                auto *menu = new QMenu(button);
                button->setMenu(menu);
                button->setPopupMode(QToolButton::InstantPopup);
                // Menus validate their items before they show.
                connect(menu, &QMenu::aboutToShow, menu, [menu, weak] {
                    if (const auto s = weak.lock()) {
                        s->menu->update();
                        fillMenu(menu, s->menu, s);
                    }
                });
            }
            connect(button, &QToolButton::clicked, this, [weak] {
                if (const auto s = weak.lock())
                    s->perform(s);
            });
            toolbar_->addWidget(button);
            buttons_.emplace_back(button, weak);
        }
    }
    refreshToolbar();
}

void MailHostWindow::refreshToolbar()
{
    for (const auto &[button, weak] : buttons_) {
        const auto segment = weak.lock();
        if (!segment)
            continue;
        button->setText(segment->label);
        button->setToolTip(segment->toolTip);
        button->setIcon(iconFor(segment->imagePath));
        button->setEnabled(segment->enabled || segment->menu);
    }
}

}  // namespace QVMailHost
