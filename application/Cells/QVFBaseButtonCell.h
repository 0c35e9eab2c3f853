// A button drawn from three images (left cap, fill, right cap) in a normal,
// a pressed and a disabled form, with its title in white; and the grey
// square buttons of the bar under a table.
#pragma once

#include "QVButtonCell.h"

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRectF>

class QVFBaseButtonCell : public QVButtonCell {
public:
    struct Background {
        QImage left, fill, right;
        qreal opacity = 1.0;
        bool isComplete() const { return !left.isNull() && !fill.isNull() && !right.isNull(); }
    };

    virtual QImage leftImage() const { return {}; }
    virtual QImage fillImage() const { return {}; }
    virtual QImage rightImage() const { return {}; }
    virtual QImage leftPressedImage() const { return {}; }
    virtual QImage fillPressedImage() const { return {}; }
    virtual QImage rightPressedImage() const { return {}; }
    virtual QImage leftDisabledImage() const { return {}; }
    virtual QImage fillDisabledImage() const { return {}; }
    virtual QImage rightDisabledImage() const { return {}; }
    virtual QPointF textOffset() const { return {-3.0, -3.0}; }
    virtual QPointF imageOffset() const { return {0.0, -3.0}; }
    virtual QPointF backgroundOffset() const { return {0.0, 0.0}; }
    virtual QColor textAttributes() const { return Qt::white; }
    virtual QColor disableTextAttributes() const { return QColor(255, 255, 255, qRound(255 * 0.7)); }
    virtual qreal imageOpacity() const { return 1.0; }
    virtual qreal disabledImageOpacity() const { return 1.0; }

    // The images for the button's state: disabled, pressed (also while
    // checked), or normal.
    Background backgroundForState(const QVFBaseButton &button) const;
    // Where the title goes: beside the left cap when all three images
    // exist, else the whole frame.
    QRectF titleRectForFrame(const QRectF &frame, const QVFBaseButton &button) const;

    void drawWithFrame(QPainter &painter, const QRectF &frame, QVFBaseButton &controlView) override;
    QRectF drawTitle(QPainter &painter, const QString &title, const QRectF &frame, QVFBaseButton &controlView);
};

class QVFGraySquareButtonCell final : public QVFBaseButtonCell {
public:
    QImage leftImage() const override;
    QImage fillImage() const override { return leftImage(); }
    QImage rightImage() const override { return leftImage(); }
    QImage leftPressedImage() const override;
    QImage fillPressedImage() const override { return leftPressedImage(); }
    QImage rightPressedImage() const override { return leftPressedImage(); }
    QImage leftDisabledImage() const override { return leftImage(); }
    QImage fillDisabledImage() const override { return leftImage(); }
    QImage rightDisabledImage() const override { return leftImage(); }
    QPointF imageOffset() const override { return {0.0, 0.0}; }
};
