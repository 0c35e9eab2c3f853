#include "QVMenu.h"

QVObjC::MenuItemRef QVMenuItem::separatorItem()
{
    auto item = std::make_shared<QVMenuItem>();
    item->separator = true;
    return item;
}

QVObjC::MenuItemRef QVMenu::addItem(const QString &title, const QVObjC::SEL &action, const QString &keyEquivalent)
{
    auto item = std::make_shared<QVMenuItem>();
    item->title = title;
    item->action = action;
    item->keyEquivalent = keyEquivalent;
    items.push_back(item);
    return item;
}

void QVMenu::update()
{
    const QString validate = QStringLiteral("validateMenuItem:");
    for (const auto &item : items) {
        if (item->submenu)
            item->submenu->update();
        if (item->separator || item->action.isEmpty())
            continue;
        const QVObjC::id target = item->target.lock();
        if (QVObjC::respondsToSelector(target, validate))
            item->enabled = QVObjC::send<bool>(target, validate, item);
    }
}
