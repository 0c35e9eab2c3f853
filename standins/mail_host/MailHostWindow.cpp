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

// A row of the message list, kept with its message and its date.
class MailHostWindow::MessageItem final : public QTreeWidgetItem {
public:
    explicit MessageItem(const std::shared_ptr<MFMessage> &message)
        : message_(message), received_(message->dateReceived())
    {
        setText(1, displayName(message->sender()));
        setText(2, message->subject().isEmpty() ? MailHostWindow::tr("(no subject)") : message->subject());
        setText(3, QLocale().toString(received_, QLocale::ShortFormat));
        setData(0, kMessageRole, message->uniqueName());
        setToolTip(1, message->sender());
        setForeground(0, QColor(0x1e, 0x6f, 0xd9));
        setTextAlignment(0, Qt::AlignCenter);
        refresh();
    }

    std::shared_ptr<MFMessage> message() const { return message_.lock(); }
    const QDateTime &received() const { return received_; }

    // The unread dot and bold face follow the read state.
    void refresh()
    {
        const auto message = message_.lock();
        const bool read = !message || message->isRead();
        setText(0, read ? QString() : QStringLiteral("\u25CF"));
        QFont font = this->font(1);
        font.setBold(!read);
        for (int column = 1; column < 4; ++column)
            setFont(column, font);
    }

private:
    std::weak_ptr<MFMessage> message_;
    QDateTime received_;
};

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
    // Fitting a column to its contents lays out every row's text on each
    // change: the date column gets the width of a long date once.
    messages_->header()->setSectionResizeMode(3, QHeaderView::Interactive);
    messages_->setColumnWidth(0, 22);
    messages_->setColumnWidth(1, 230);
    messages_->setColumnWidth(3,
                              messages_->fontMetrics().horizontalAdvance(QLocale().toString(
                                  QDateTime(QDate(2026, 12, 28), QTime(23, 58)), QLocale::ShortFormat))
                                  + 24);

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
    connect(host_, &MailHost::messagesAdded, this, &MailHostWindow::addMessages);
    connect(host_, &MailHost::messagesRemoved, this, &MailHostWindow::removeMessages);
    connect(host_, &MailHost::messageChanged, this, &MailHostWindow::updateMessage);
    countTimer_.setSingleShot(true);
    countTimer_.setInterval(200);
    connect(&countTimer_, &QTimer::timeout, this, &MailHostWindow::updateCounts);
    repaintTimer_.setSingleShot(true);
    repaintTimer_.setInterval(100);
    connect(&repaintTimer_, &QTimer::timeout, this, &MailHostWindow::flushList);

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
    mailboxItems_.clear();
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
            const QString path = mailbox->accountRelativePath();
            auto *item = new QTreeWidgetItem(accountItem);
            item->setData(0, kAccountRole, account->name());
            item->setData(0, kMailboxRole, path);
            item->setIcon(0,
                          QIcon(path == QLatin1String("INBOX") ? QStringLiteral(":/mailhost/inbox.svg")
                                                               : QStringLiteral(":/mailhost/folder.svg")));
            mailboxItems_.insert(mailbox->uuid(), item);
            uncounted_.insert(mailbox->uuid());
            if (mailbox->uuid() == currentUuid || (!select && currentUuid.isEmpty()))
                select = item;
        }
    }
    updateCounts();
    mailboxes_->expandAll();
    reloading_ = false;
    if (select)
        mailboxes_->setCurrentItem(select);
}

void MailHostWindow::repaintLater()
{
    if (!repaintTimer_.isActive())
        repaintTimer_.start();
}

void MailHostWindow::flushList()
{
    repaintTimer_.stop();
    if (pendingAdds_.isEmpty() && pendingRemoves_.isEmpty())
        return;
    messages_->setUpdatesEnabled(false);
    for (const QString &unique : std::as_const(pendingRemoves_))
        delete items_.take(unique);
    for (const auto &weak : std::as_const(pendingAdds_)) {
        if (const auto message = weak.lock())
            insertItem(message);
    }
    pendingRemoves_.clear();
    pendingAdds_.clear();
    messages_->setUpdatesEnabled(true);
}

void MailHostWindow::countLater(const QString &uuid)
{
    uncounted_.insert(uuid);
    if (!countTimer_.isActive())
        countTimer_.start();
}

void MailHostWindow::updateCounts()
{
    for (const QString &uuid : std::as_const(uncounted_)) {
        QTreeWidgetItem *item = mailboxItems_.value(uuid);
        if (!item)
            continue;
        const QString accountName = item->data(0, kAccountRole).toString();
        const QString path = item->data(0, kMailboxRole).toString();
        std::shared_ptr<MFMailbox> mailbox;
        for (const auto &account : host_->accounts()) {
            if (account->name() == accountName)
                mailbox = account->mailboxWithPath(path);
        }
        int unread = 0;
        if (mailbox) {
            for (const auto &message : mailbox->store()->copyOfAllMessages())
                unread += QVObjC::cast<MFMessage>(message)->isRead() ? 0 : 1;
        }
        const QString name = path == QLatin1String("INBOX") ? tr("Inbox") : path;
        item->setText(0, unread ? QStringLiteral("%1  (%2)").arg(name).arg(unread) : name);
        QFont font = item->font(0);
        font.setBold(unread > 0);
        item->setFont(0, font);
    }
    uncounted_.clear();
    updateStatus();
}

void MailHostWindow::updateStatus()
{
    flushList();
    const auto mailbox = currentMailbox();
    int unread = 0;
    for (auto it = items_.cbegin(); it != items_.cend(); ++it)
        unread += it.value()->text(0).isEmpty() ? 0 : 1;
    const qsizetype total = items_.size();
    status_->setText(!mailbox         ? QString()
                         : total == 1 ? tr("1 message, %1 unread").arg(unread)
                                      : tr("%1 messages, %2 unread").arg(total).arg(unread));
    setWindowTitle(mailbox ? QStringLiteral("%1 — %2").arg(mailbox->accountRelativePath() == QLatin1String("INBOX")
                                                               ? tr("Inbox")
                                                               : mailbox->accountRelativePath(),
                                                           mailbox->mailAccount()->name())
                           : tr("Mail"));
}

void MailHostWindow::insertItem(const std::shared_ptr<MFMessage> &message)
{
    if (items_.contains(message->uniqueName()))
        return;
    auto *item = new MessageItem(message);
    // Newest first: new mail usually goes to the top.
    int low = 0;
    int high = messages_->topLevelItemCount();
    while (low < high) {
        const int middle = (low + high) / 2;
        if (static_cast<MessageItem *>(messages_->topLevelItem(middle))->received() > item->received())
            low = middle + 1;
        else
            high = middle;
    }
    messages_->insertTopLevelItem(low, item);
    items_.insert(message->uniqueName(), item);
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
    pendingAdds_.clear();
    pendingRemoves_.clear();
    messages_->clear();
    items_.clear();
    QVObjC::ObjectList all = mailbox ? mailbox->store()->copyOfAllMessages() : QVObjC::ObjectList();
    std::sort(all.begin(), all.end(), [](const QVObjC::id &a, const QVObjC::id &b) {
        return QVObjC::cast<MFMessage>(a)->dateReceived() > QVObjC::cast<MFMessage>(b)->dateReceived();
    });
    QList<QTreeWidgetItem *> rows;
    rows.reserve(all.size());
    for (const auto &object : std::as_const(all)) {
        const auto message = QVObjC::cast<MFMessage>(object);
        if (items_.contains(message->uniqueName()))
            continue;
        auto *item = new MessageItem(message);
        items_.insert(message->uniqueName(), item);
        rows.append(item);
    }
    messages_->addTopLevelItems(rows);
    for (const QString &unique : std::as_const(selected)) {
        if (QTreeWidgetItem *item = items_.value(unique))
            item->setSelected(true);
    }
    reloading_ = false;
    updateStatus();
    selectionChanged();
}

void MailHostWindow::addMessages(const QString &uuid, const QVObjC::ObjectList &messages)
{
    countLater(uuid);
    const auto mailbox = currentMailbox();
    if (!mailbox || mailbox->uuid() != uuid)
        return;
    for (const auto &object : messages) {
        if (const auto message = QVObjC::cast<MFMessage>(object))
            pendingAdds_.insert(message->uniqueName(), message);
    }
    repaintLater();
}

void MailHostWindow::removeMessages(const QString &uuid, const QStringList &uniqueNames)
{
    countLater(uuid);
    const auto mailbox = currentMailbox();
    if (!mailbox || mailbox->uuid() != uuid)
        return;
    for (const QString &unique : uniqueNames) {
        pendingAdds_.remove(unique);
        pendingRemoves_.insert(unique);
    }
    repaintLater();
}

void MailHostWindow::updateMessage(const QString &uuid, const QVObjC::id &message)
{
    countLater(uuid);
    const auto changed = QVObjC::cast<MFMessage>(message);
    if (MessageItem *item = changed ? items_.value(changed->uniqueName()) : nullptr) {
        if (item->message() == changed)
            item->refresh();
    }
    if (const auto selection = viewer_->selectedMessages(); selection.contains(message))
        viewer_->validateToolbar();
}

void MailHostWindow::selectionChanged()
{
    if (reloading_)
        return;
    const auto mailbox = currentMailbox();
    QVObjC::ObjectList selection;
    if (mailbox) {
        for (QTreeWidgetItem *item : messages_->selectedItems()) {
            if (const auto message = static_cast<MessageItem *>(item)->message())
                selection.append(message);
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
    QString text =
        tr("From: %1\nSubject: %2\nDate: %3\n\n")
            .arg(message->sender(), message->subject(),
                 QLocale().toString(message->dateSent().isValid() ? message->dateSent() : message->dateReceived(),
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
    flushList();
    for (auto it = items_.cbegin(); it != items_.cend(); ++it) {
        const auto message = it.value()->message();
        it.value()->setSelected(message && messageIDs.contains(message->messageID()));
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
