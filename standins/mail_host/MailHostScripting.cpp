#include "MailHostScripting.h"

#include "MailHostWindow.h"
#include "MessageViewer.h"

#include <QApplication>
#include <QDBusConnection>
#include <QTimer>
#include <QToolButton>

namespace QVMailHost {

namespace {

std::shared_ptr<ToolbarSegment> findSegment(const MessageViewer &viewer, const QString &identifier, int segment)
{
    for (const auto &item : viewer.toolbarItems()) {
        if (item->identifier == identifier && segment >= 0 && segment < static_cast<int>(item->segments.size()))
            return item->segments[static_cast<size_t>(segment)];
    }
    return nullptr;
}

}  // namespace

MailHostScripting::MailHostScripting(MailHost *host, QObject *parent) : QObject(parent), host_(host) {}

bool MailHostScripting::registerObject()
{
    return QDBusConnection::sessionBus().registerObject(QStringLiteral("/org/quorvane/MailHost"), this,
                                                        QDBusConnection::ExportAllSlots);
}

MailHostWindow *MailHostScripting::firstWindow() const
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<MailHostWindow *>(widget))
            return window;
    }
    return nullptr;
}

int MailHostScripting::Viewers() const
{
    int built = 0;
    for (QWidget *widget : QApplication::topLevelWidgets())
        built += qobject_cast<MailHostWindow *>(widget) ? 1 : 0;
    return built;
}

bool MailHostScripting::SelectMessage(const QString &messageID)
{
    MailHostWindow *window = firstWindow();
    const auto message = messageID.isEmpty() ? nullptr : host_->messageWithMessageID(messageID);
    const auto mailbox = message ? message->currentMailbox() : nullptr;
    const auto account = mailbox ? mailbox->mailAccount() : nullptr;
    if (!window || !account)
        return false;
    window->selectMailbox(account->name(), mailbox->accountRelativePath());
    window->selectMessages({messageID});
    return true;
}

bool MailHostScripting::ClickToolbarItem(const QString &identifier, int segment)
{
    const auto found = host_->viewers().empty() ? nullptr : findSegment(*host_->viewers().front(), identifier, segment);
    if (!found)
        return false;
    found->validate();
    if (!found->enabled)
        return false;
    found->perform(QVObjC::id(found));
    return true;
}

bool MailHostScripting::ChooseMenuItem(const QString &identifier, int segment, const QString &titles)
{
    const auto found = host_->viewers().empty() ? nullptr : findSegment(*host_->viewers().front(), identifier, segment);
    if (!found || !found->menu)
        return false;
    found->menu->update();
    QVObjC::MenuRef menu = found->menu;
    const QStringList path = titles.split(u'/');
    for (qsizetype level = 0; menu && level < path.size(); ++level) {
        QVObjC::MenuItemRef chosen;
        for (const auto &item : menu->items) {
            if (!item->separator && item->title == path[level])
                chosen = item;
        }
        if (!chosen)
            return false;
        if (level + 1 < path.size()) {
            menu = chosen->submenu;
            continue;
        }
        const QVObjC::id target = chosen->target.lock();
        if (!chosen->enabled || chosen->action.isEmpty() || !target)
            return false;
        QVObjC::send(target, chosen->action, QVObjC::id(found));
        return true;
    }
    return false;
}

bool MailHostScripting::OpenMenu(const QString &identifier, int segment)
{
    MailHostWindow *window = firstWindow();
    const auto found = host_->viewers().empty() ? nullptr : findSegment(*host_->viewers().front(), identifier, segment);
    if (!window || !found || !found->menu)
        return false;
    for (QToolButton *button : window->findChildren<QToolButton *>()) {
        if (button->menu() && button->text() == found->label) {
            // The menu runs an event loop of its own: not inside this call.
            QTimer::singleShot(0, button, &QToolButton::showMenu);
            return true;
        }
    }
    return false;
}

bool MailHostScripting::CloseMenu()
{
    QWidget *popup = QApplication::activePopupWidget();
    if (!popup)
        return false;
    popup->close();
    return true;
}

}  // namespace QVMailHost
