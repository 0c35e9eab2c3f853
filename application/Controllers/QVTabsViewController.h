// A page that shows several named pages in a tab view, each under its name
// (the filters page: "Blacklist", "Whitelist", "Language Filters").
#pragma once

#include "QVViewController.h"

#include <QHash>

#include <memory>

class QTabWidget;

namespace Ui {
class QVTabsViewController;
}

class QVTabsViewController final : public QVViewController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVTabsViewController)

public:
    explicit QVTabsViewController(QWidget *parent = nullptr);
    ~QVTabsViewController() override;

    QTabWidget *tabView() const;

    // Adds a tab labelled `name` showing `child`, which the tab view takes.
    void addTabNamed(const QString &name, QVViewController *child);
    void selectTabWithName(const QString &name);
    QVViewController *viewControllerNamed(const QString &name) const { return children_.value(name); }

private:
    std::unique_ptr<Ui::QVTabsViewController> ui_;
    QHash<QString, QVViewController *> children_;
};
