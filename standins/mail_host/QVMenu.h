// Menus as plain values, built by bundles and shown by the host's window,
// which asks each item's target to validate the item before the menu opens.
#pragma once

#include "QVObjectRuntime.h"

#include <memory>
#include <vector>

struct QVMenuItem {
    QString title;
    QVObjC::SEL action;  // empty: no action (a submenu holder or a separator)
    QVObjC::weak_id target;  // menus never keep their targets alive
    QString keyEquivalent;
    QVObjC::MenuRef submenu;
    bool separator = false;
    bool enabled = true;

    static QVObjC::MenuItemRef separatorItem();
};

struct QVMenu {
    QString title;
    std::vector<QVObjC::MenuItemRef> items;

    QVObjC::MenuItemRef addItem(const QString &title, const QVObjC::SEL &action, const QString &keyEquivalent = {});
    void addSeparator() { items.push_back(QVMenuItem::separatorItem()); }

    // Asks every target that answers validateMenuItem: (recursively), the way
    // a menu validates before it opens.
    void update();
};
