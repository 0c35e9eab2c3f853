// Tells when sheets begin and end on one window. A sheet is any modal
// dialog or alert that blocks the window; the window itself reports being
// blocked and unblocked, so no code that opens a dialog has to announce it,
// and nothing outside this window is watched.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class SheetTracker final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SheetTracker)

public:
    // Follows `window` until either of the two is destroyed.
    explicit SheetTracker(QWidget *window, QObject *parent = nullptr);
    ~SheetTracker() override;

    bool hasSheet() const { return blocked_; }

signals:
    void sheetWillBegin();
    void sheetDidEnd();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> window_;
    bool blocked_ = false;
};
