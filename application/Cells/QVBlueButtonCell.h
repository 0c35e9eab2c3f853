// The blue push buttons of the first-run pages, drawn from one stretchable
// image per state with its title in white.
#pragma once

#include "QVButtonCell.h"

#include <QColor>
#include <QMarginsF>
#include <QPointF>
#include <QRectF>
#include <QString>

class QVBlueButtonCell : public QVButtonCell {
public:
    virtual QString normalImageName() const { return QStringLiteral("BlueButton"); }
    virtual QString pressedImageName() const { return QStringLiteral("BlueButtonPressed"); }
    virtual QString disabledImageName() const { return QStringLiteral("BlueButtonDisabled"); }
    // Edge sizes of the nine-part drawing: left, top, right, bottom.
    virtual QMarginsF edgeOffsets() const { return {4, 10, 4, 11}; }
    virtual QPointF textOffset() const { return {-3, -3}; }
    QColor textAttributes() const { return Qt::white; }
    QColor disableTextAttributes() const { return QColor(255, 255, 255, qRound(255 * 0.7)); }

    // The image for the button's state.
    QString imageNameForState(const QVFBaseButton &button) const;
    // The title's frame: moved by the text offset when the image exists,
    // else the frame itself.
    QRectF titleRectForFrame(const QRectF &frame, const QVFBaseButton &button) const;

    void drawWithFrame(QPainter &painter, const QRectF &frame, QVFBaseButton &controlView) override;
    QRectF drawTitle(QPainter &painter, const QString &title, const QRectF &frame, QVFBaseButton &controlView);
};

class QVBlueLargeButtonCell final : public QVBlueButtonCell {
public:
    QString normalImageName() const override { return QStringLiteral("BlueLargeButton"); }
    QString pressedImageName() const override { return QStringLiteral("BlueLargeButtonPressed"); }
    QString disabledImageName() const override { return QStringLiteral("BlueLargeButtonDisabled"); }
    QMarginsF edgeOffsets() const override { return {10, 10, 10, 10}; }
    QPointF textOffset() const override { return {-3, -1}; }
};

// A title drawn like a link: blue, underlined while the pointer is over it;
// a click opens the address kept as the alternate title.
class QVLinkButtonCell final : public QVButtonCell {
public:
    explicit QVLinkButtonCell(QString alternateTitle = QString()) : alternateTitle_(std::move(alternateTitle)) {}

    const QString &alternateTitle() const { return alternateTitle_; }
    void setAlternateTitle(const QString &url) { alternateTitle_ = url; }
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(QVFBaseButton &button, bool highlighted);

    void drawWithFrame(QPainter &painter, const QRectF &frame, QVFBaseButton &controlView) override;
    void setControlView(QVFBaseButton &button) override;
    void mouseEntered(QVFBaseButton &button) override;
    void mouseExited(QVFBaseButton &button) override;
    void mousePressed(QVFBaseButton &button) override;

private:
    QString alternateTitle_;
    bool highlighted_ = false;
};
