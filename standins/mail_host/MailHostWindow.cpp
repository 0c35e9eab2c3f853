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
#include <QAbstractTableModel>
#include <QItemSelectionModel>
#include <QTableView>
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

// The message list of the selected mailbox, newest first. A row is its
// message alone; texts are made when the view asks for them, so a mailbox of
// a hundred thousand messages costs little beside the messages themselves.
class MailHostWindow::MessageList final : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(rows_.size()); }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : 4; }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        switch (section) {
        case 1: return MailHostWindow::tr("From");
        case 2: return MailHostWindow::tr("Subject");
        case 3: return MailHostWindow::tr("Date Received");
        }
        return QString();
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || size_t(index.row()) >= rows_.size())
            return {};
        const MFMessage &message = *rows_[size_t(index.row())];
        const int column = index.column();
        switch (role) {
        case Qt::DisplayRole:
            switch (column) {
            case 0: return message.isRead() ? QString() : QStringLiteral("\u25CF");
            case 1: return displayName(message.sender());
            case 2: return message.subject().isEmpty() ? MailHostWindow::tr("(no subject)") : message.subject();
            case 3: return QLocale().toString(message.dateReceived(), QLocale::ShortFormat);
            }
            return {};
        case Qt::ToolTipRole: return column == 1 ? QVariant(message.sender()) : QVariant();
        case Qt::FontRole:
            if (column > 0 && !message.isRead()) {
                QFont bold;
                bold.setBold(true);
                return bold;
            }
            return {};
        case Qt::ForegroundRole: return column == 0 ? QVariant(QColor(0x1e, 0x6f, 0xd9)) : QVariant();
        case Qt::TextAlignmentRole: return column == 0 ? QVariant(int(Qt::AlignCenter)) : QVariant();
        }
        return {};
    }

    const std::shared_ptr<MFMessage> &messageAt(int row) const { return rows_[size_t(row)]; }
    qsizetype size() const { return qsizetype(rows_.size()); }
    const std::vector<std::shared_ptr<MFMessage>> &rows() const { return rows_; }

    void reset(std::vector<std::shared_ptr<MFMessage>> messages)
    {
        std::sort(messages.begin(), messages.end(), newerFirst);
        beginResetModel();
        rows_ = std::move(messages);
        byName_.clear();
        for (const auto &message : rows_)
            byName_.insert(message->uniqueName(), message.get());
        endResetModel();
    }

    void insert(const std::shared_ptr<MFMessage> &message)
    {
        if (byName_.contains(message->uniqueName()))
            return;
        const auto at = std::upper_bound(rows_.begin(), rows_.end(), message, newerFirst);
        const int row = int(at - rows_.begin());
        beginInsertRows({}, row, row);
        rows_.insert(at, message);
        byName_.insert(message->uniqueName(), message.get());
        endInsertRows();
    }

    // Removes the rows of these messages, a run of neighbours at a time.
    void remove(const QSet<QString> &uniqueNames)
    {
        std::vector<int> rows;
        for (const QString &unique : uniqueNames) {
            if (const MFMessage *message = byName_.value(unique); message && rowOf(message) >= 0)
                rows.push_back(rowOf(message));
        }
        std::sort(rows.begin(), rows.end(), std::greater<>());
        for (size_t i = 0; i < rows.size();) {
            size_t last = i;
            while (last + 1 < rows.size() && rows[last + 1] == rows[last] - 1)
                ++last;
            const int first = rows[last];
            const int end = rows[i];
            beginRemoveRows({}, first, end);
            for (int each = first; each <= end; ++each)
                byName_.remove(rows_[size_t(each)]->uniqueName());
            rows_.erase(rows_.begin() + first, rows_.begin() + end + 1);
            endRemoveRows();
            i = last + 1;
        }
    }

    void changed(const MFMessage *message)
    {
        if (const int row = rowOf(message); row >= 0)
            emit dataChanged(index(row, 0), index(row, 3));
    }

private:
    static bool newerFirst(const std::shared_ptr<MFMessage> &a, const std::shared_ptr<MFMessage> &b)
    {
        return a->dateReceived() > b->dateReceived();
    }

    // Rows are ordered by date: a message is among those of its date.
    int rowOf(const MFMessage *message) const
    {
        const auto [first, last] =
            std::equal_range(rows_.begin(), rows_.end(), message->dateReceived(), [](const auto &a, const auto &b) {
                const auto date = [](const auto &x) -> QDateTime {
                    if constexpr (std::is_same_v<std::decay_t<decltype(x)>, QDateTime>)
                        return x;
                    else
                        return x->dateReceived();
                };
                return date(a) > date(b);
            });
        for (auto it = first; it != last; ++it) {
            if (it->get() == message)
                return int(it - rows_.begin());
        }
        return -1;
    }

    std::vector<std::shared_ptr<MFMessage>> rows_;
    QHash<QString, const MFMessage *> byName_;  // the listed messages by unique name
};

MailHostWindow::MailHostWindow(MailHost *host, std::shared_ptr<MessageViewer> viewer, QWidget *parent)
    : QMainWindow(parent),
      host_(host),
      viewer_(std::move(viewer)),
      toolbar_(addToolBar(tr("Toolbar"))),
      mailboxes_(new QTreeWidget),
      messages_(new QTableView),
      list_(new MessageList(this)),
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

    // A table keeps nothing per row but the vertical header's fixed size:
    // rows come and go at a mailbox's size without a layout of all of them.
    messages_->setModel(list_);
    messages_->setShowGrid(false);
    messages_->setWordWrap(false);
    messages_->setAlternatingRowColors(true);
    messages_->setSelectionBehavior(QAbstractItemView::SelectRows);
    messages_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    messages_->verticalHeader()->hide();
    messages_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    messages_->verticalHeader()->setDefaultSectionSize(messages_->fontMetrics().height() + 6);
    messages_->horizontalHeader()->setHighlightSections(false);
    messages_->horizontalHeader()->setStretchLastSection(false);
    messages_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Fixed);
    messages_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Interactive);
    messages_->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    // Fitting a column to its contents lays out every row's text on each
    // change: the date column gets the width of a long date once.
    messages_->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Interactive);
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
    connect(messages_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MailHostWindow::selectionChanged);
    connect(host_, &MailHost::mailboxesChanged, this, &MailHostWindow::rebuildMailboxes);
    connect(host_, &MailHost::messagesAdded, this, &MailHostWindow::addMessages);
    connect(host_, &MailHost::messagesRemoved, this, &MailHostWindow::removeMessages);
    connect(host_, &MailHost::messageChanged, this, &MailHostWindow::updateMessage);
    countTimer_.setSingleShot(true);
    // Counting reads every message of a mailbox: once a second at most.
    countTimer_.setInterval(1000);
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
    list_->remove(pendingRemoves_);
    for (const auto &weak : std::as_const(pendingAdds_)) {
        if (const auto message = weak.lock())
            list_->insert(message);
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
    qsizetype unread = 0;
    for (const auto &message : list_->rows())
        unread += message->isRead() ? 0 : 1;
    const qsizetype total = list_->size();
    status_->setText(!mailbox         ? QString()
                         : total == 1 ? tr("1 message, %1 unread").arg(unread)
                                      : tr("%1 messages, %2 unread").arg(total).arg(unread));
    setWindowTitle(mailbox ? QStringLiteral("%1 — %2").arg(mailbox->accountRelativePath() == QLatin1String("INBOX")
                                                               ? tr("Inbox")
                                                               : mailbox->accountRelativePath(),
                                                           mailbox->mailAccount()->name())
                           : tr("Mail"));
}

std::vector<std::shared_ptr<MFMessage>> MailHostWindow::selectedMessages() const
{
    std::vector<std::shared_ptr<MFMessage>> selected;
    for (const QModelIndex &index : messages_->selectionModel()->selectedRows())
        selected.push_back(list_->messageAt(index.row()));
    return selected;
}

void MailHostWindow::reloadMessages()
{
    if (reloading_)
        return;
    const auto mailbox = currentMailbox();
    QSet<QString> selected;
    for (const auto &message : selectedMessages())
        selected.insert(message->uniqueName());

    reloading_ = true;
    pendingAdds_.clear();
    pendingRemoves_.clear();
    std::vector<std::shared_ptr<MFMessage>> all;
    if (mailbox) {
        for (const auto &object : mailbox->store()->copyOfAllMessages())
            all.push_back(QVObjC::cast<MFMessage>(object));
    }
    list_->reset(std::move(all));
    select([&selected](const MFMessage &message) { return selected.contains(message.uniqueName()); });
    reloading_ = false;
    updateStatus();
    selectionChanged();
}

void MailHostWindow::select(const std::function<bool(const MFMessage &)> &wanted)
{
    QItemSelection selection;
    const auto &rows = list_->rows();
    for (size_t row = 0; row < rows.size(); ++row) {
        if (wanted(*rows[row]))
            selection.select(list_->index(int(row), 0), list_->index(int(row), 3));
    }
    messages_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
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
    const auto mailbox = currentMailbox();
    if (const auto changed = QVObjC::cast<MFMessage>(message); changed && mailbox && mailbox->uuid() == uuid)
        list_->changed(changed.get());
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
        for (const auto &message : selectedMessages())
            selection.append(message);
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
    select([&messageIDs](const MFMessage &message) { return messageIDs.contains(message.messageID()); });
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
