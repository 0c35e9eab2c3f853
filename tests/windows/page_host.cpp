#include "page_host.h"

#include "QVNSImage.h"
#include "QVViewController.h"

#include <QVBoxLayout>

PageHost::PageHost() : toolbar_(new QVCMainToolbar(titleBarView()))
{
    setTitleBarHeight(50.0);
    auto *bandLayout = new QVBoxLayout(titleBarView());
    bandLayout->setContentsMargins(0, 0, 0, 0);
    bandLayout->addWidget(toolbar_);
    toolbar_->setDelegate(this);
    auto *contentLayout = new QVBoxLayout(contentView());
    contentLayout->setContentsMargins(0, 0, 0, 0);
    setWindowTitle(QStringLiteral("Quorvane"));
}

QVCMainToolbarItem PageHost::itemForToolbar(QVCMainToolbar *, int index)
{
    static const char *const names[] = {"Filters", "Settings", "Account"};
    const QString name = QString::fromLatin1(names[index]);
    QVCMainToolbarItem item;
    item.title = name;
    item.icon = QVNSImage::imageNamedYosemite(name);
    item.pressedIcon = QVNSImage::imageNamedYosemite(name + QStringLiteral("Active"));
    item.tag = index;
    return item;
}

void PageHost::showPage(QVViewController *page, int tag)
{
    delete page_;
    page_ = page;
    contentView()->layout()->addWidget(page);
    // The window's minimum size still holds the old page's until the
    // layouts run again.
    contentView()->layout()->activate();
    layout()->activate();
    const QSize size = page->viewSize();
    resize(size.width(), size.height() + int(titleBarHeight()));
    toolbar_->setSelectedItemTag(tag);
    for (int item = 0; item < 3; ++item)
        toolbar_->setItemEnabled(tag != -1, item);
}
