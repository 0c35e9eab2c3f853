// A main window for pages outside the application: the band with the three
// page buttons over a content view that shows one page at a time.
#pragma once

#include "QVCMainToolbar.h"
#include "QVCMainWindow.h"

class QVViewController;

class PageHost final : public QVCMainWindow, public QVCMainToolbarDelegate {
public:
    PageHost();

    QVCMainToolbar *toolbar() const { return toolbar_; }
    // Shows `page` (deleting the one shown before) with the page button of
    // `tag` selected; -1 selects none and disables the buttons.
    void showPage(QVViewController *page, int tag);
    QVViewController *page() const { return page_; }

    int numberOfItemsForToolbar(QVCMainToolbar *) override { return 3; }
    QVCMainToolbarItem itemForToolbar(QVCMainToolbar *, int index) override;

private:
    QVCMainToolbar *toolbar_;
    QVViewController *page_ = nullptr;
};
