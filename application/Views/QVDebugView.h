// A view that only outlines itself in green, for finding a view's bounds
// while laying out a page.
#pragma once

#include <QWidget>

class QVDebugView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVDebugView)

public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *event) override;
};
