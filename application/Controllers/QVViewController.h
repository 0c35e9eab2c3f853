// The base of the main window's pages. A page is a widget that takes its
// size from its interface file (grown to what its layout needs), so the
// main window can fit itself to the page it shows.
//
// Dialogs that a page opens are its children. When a page goes away while
// one is open (the window switched pages), the dialog ends as Cancel without
// calling back into the vanishing page.
#pragma once

#include <QWidget>

class QVViewController : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVViewController)

public:
    explicit QVViewController(QWidget *parent = nullptr);
    ~QVViewController() override;

    // The size the page is laid out for.
    QSize viewSize() const { return size(); }

signals:
    // The page grew to hold what it shows (a tab added, for instance).
    void viewSizeChanged(QSize size);

protected:
    // Takes the interface file's size, grown to what the layout needs.
    void adoptDesignSize();
};
