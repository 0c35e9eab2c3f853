// The bar under a list's table: a plus and a minus button on a light strip,
// each followed by a separator line.
#pragma once

#include <QWidget>

class QVFBaseButton;

class QVFUndertableControl final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVFUndertableControl)

public:
    static constexpr int kHeight = 23;

    explicit QVFUndertableControl(QWidget *parent = nullptr);
    ~QVFUndertableControl() override;

    QVFBaseButton *plusButton() const { return plusButton_; }
    QVFBaseButton *minusButton() const { return minusButton_; }

    QSize sizeHint() const override { return {200, kHeight}; }
    QSize minimumSizeHint() const override { return {52, kHeight}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QVFBaseButton *plusButton_;
    QVFBaseButton *minusButton_;
};
