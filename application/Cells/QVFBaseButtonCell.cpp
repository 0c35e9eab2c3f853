#include "QVFBaseButtonCell.h"

#include "QVNSImage.h"

#include <QPainter>

QVFBaseButtonCell::Background QVFBaseButtonCell::backgroundForState(const QVFBaseButton &button) const
{
    if (!isEnabled(button))
        return {leftDisabledImage(), fillDisabledImage(), rightDisabledImage(), disabledImageOpacity()};
    if (isHighlighted(button) || showsStateOn(button))
        return {leftPressedImage(), fillPressedImage(), rightPressedImage(), imageOpacity()};
    return {leftImage(), fillImage(), rightImage(), imageOpacity()};
}

QRectF QVFBaseButtonCell::titleRectForFrame(const QRectF &frame, const QVFBaseButton &button) const
{
    const Background background = backgroundForState(button);
    if (!background.isComplete())
        return frame;
    const QPointF offset = textOffset();
    const qreal leftWidth = background.left.deviceIndependentSize().width();
    return QRectF(frame.x() + leftWidth + offset.x(), frame.y() + offset.y(), frame.width() - (leftWidth + offset.x()),
                  frame.height() - offset.y());
}

void QVFBaseButtonCell::drawWithFrame(QPainter &painter, const QRectF &frame, QVFBaseButton &controlView)
{
    const Background background = backgroundForState(controlView);
    if (background.isComplete()) {
        const QPointF offset = backgroundOffset();
        const QRectF area(frame.x() + offset.x(), frame.y() + offset.y(), frame.width(),
                          background.left.deviceIndependentSize().height());
        QVNSImage::drawThreePartImage(painter, area, background.left, background.fill, background.right,
                                      background.opacity);
    }
    if (!controlView.text().isEmpty())
        drawTitle(painter, controlView.text(), titleRectForFrame(frame, controlView), controlView);

    const QIcon icon = controlView.icon();
    if (!icon.isNull()) {
        const QSize size = controlView.iconSize();
        const QRectF imageFrame = frame.translated(imageOffset());
        const QRectF target(imageFrame.center().x() - size.width() / 2.0, imageFrame.center().y() - size.height() / 2.0,
                            size.width(), size.height());
        icon.paint(&painter, target.toAlignedRect(), Qt::AlignCenter,
                   isEnabled(controlView) ? QIcon::Normal : QIcon::Disabled);
    }
}

QRectF QVFBaseButtonCell::drawTitle(QPainter &painter, const QString &title, const QRectF &frame,
                                    QVFBaseButton &controlView)
{
    return drawTitleText(painter, title, frame, controlView,
                         isEnabled(controlView) ? textAttributes() : disableTextAttributes());
}

QImage QVFGraySquareButtonCell::leftImage() const
{
    return QVNSImage::imageNamedYosemite(QStringLiteral("Undertable.png"));
}

QImage QVFGraySquareButtonCell::leftPressedImage() const
{
    return QVNSImage::imageNamedYosemite(QStringLiteral("Undertable_Pressed.png"));
}
