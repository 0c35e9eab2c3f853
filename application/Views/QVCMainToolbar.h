// The row of page buttons in the main window's top band: buttons of 72 by 40
// with the icon above the title, 8 apart, centred, 3 above the band's
// bottom. The data source says how many there are and what each shows.
#pragma once

#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>

#include <functional>

class QToolButton;
class QVCMainToolbar;

struct QVCMainToolbarItem {
    QString title;
    QImage icon;
    // Shown while the item's page is selected.
    QImage pressedIcon;
    QString tooltip;
    std::function<void()> action;
    int tag = 0;
};

class QVCMainToolbarDelegate {
public:
    virtual int numberOfItemsForToolbar(QVCMainToolbar *toolbar) = 0;
    virtual QVCMainToolbarItem itemForToolbar(QVCMainToolbar *toolbar, int index) = 0;

protected:
    ~QVCMainToolbarDelegate() = default;
};

class QVCMainToolbar final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVCMainToolbar)

public:
    static constexpr int kButtonHeight = 40;
    static constexpr int kButtonGap = 8;
    static constexpr int kBottomMargin = 3;

    explicit QVCMainToolbar(QWidget *parent = nullptr);
    ~QVCMainToolbar() override;

    static constexpr int buttonWidth() { return 72; }

    QVCMainToolbarDelegate *delegate() const { return delegate_; }
    // A new data source rebuilds every button; the same one changes nothing.
    void setDelegate(QVCMainToolbarDelegate *delegate);

    int selectedItemTag() const { return selectedItemTag_; }
    // The button of the item with that tag shows its pressed icon, the others
    // their normal icon. -1 selects none.
    void setSelectedItemTag(int tag);
    // Enables the first button whose item has that tag; none has it: nothing.
    void setItemEnabled(bool enabled, int tag);

    const QList<QToolButton *> &buttons() const { return buttons_; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void layoutButtons();

    QVCMainToolbarDelegate *delegate_ = nullptr;
    QList<QToolButton *> buttons_;
    QList<QVCMainToolbarItem> items_;
    int selectedItemTag_ = 0;
};
