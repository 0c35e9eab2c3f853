#include "QVTabsViewController.h"

#include "ui_QVTabsViewController.h"

#include <QTabBar>

QVTabsViewController::QVTabsViewController(QWidget *parent)
    : QVViewController(parent), ui_(std::make_unique<Ui::QVTabsViewController>())
{
    ui_->setupUi(this);
}

QVTabsViewController::~QVTabsViewController() = default;

QTabWidget *QVTabsViewController::tabView() const
{
    return ui_->tabView;
}

void QVTabsViewController::addTabNamed(const QString &name, QVViewController *child)
{
    const int index = ui_->tabView->addTab(child, name);
    ui_->tabView->tabBar()->setTabData(index, name);
    children_.insert(name, child);
    adoptDesignSize();
}

void QVTabsViewController::selectTabWithName(const QString &name)
{
    QTabBar *bar = ui_->tabView->tabBar();
    for (int index = 0; index < bar->count(); ++index) {
        if (bar->tabData(index).toString() == name) {
            ui_->tabView->setCurrentIndex(index);
            return;
        }
    }
}
