#include "QVBlueButtonCell.h"

#include "QVNSImage.h"

#include <QDesktopServices>
#include <QPainter>
#include <QUrl>

QString QVBlueButtonCell::imageNameForState(const QVFBaseButton &button) const
{
    if (!isEnabled(button))
        return disabledImageName();
    if (isHighlighted(button) || showsStateOn(button))
        return pressedImageName();
    return normalImageName();
}

QRectF QVBlueButtonCell::titleRectForFrame(const QRectF &frame, const QVFBaseButton &button) const
{
    if (QVNSImage::imageNamedYosemite(imageNameForState(button)).isNull())
        return frame;
    const QPointF offset = textOffset();
    return QRectF(frame.x() + offset.x() + 4, frame.y() + offset.y(), frame.width() - (offset.x() + 4),
                  frame.height() - offset.y());
}

void QVBlueButtonCell::drawWithFrame(QPainter &painter, const QRectF &frame, QVFBaseButton &controlView)
{
    const QImage image = QVNSImage::imageNamedYosemite(imageNameForState(controlView));
    if (!image.isNull()) {
        const QMarginsF edges = edgeOffsets();
        QVNSImage::drawInRect(painter, image, frame, edges.top(), edges.left(), edges.bottom(), edges.right());
    }
    if (!controlView.text().isEmpty())
        drawTitle(painter, controlView.text(), titleRectForFrame(frame, controlView), controlView);
}

QRectF QVBlueButtonCell::drawTitle(QPainter &painter, const QString &title, const QRectF &frame,
                                   QVFBaseButton &controlView)
{
    return drawTitleText(painter, title, frame, controlView,
                         isEnabled(controlView) ? textAttributes() : disableTextAttributes());
}

void QVLinkButtonCell::setHighlighted(QVFBaseButton &button, bool highlighted)
{
    highlighted_ = highlighted;
    button.update();
}

void QVLinkButtonCell::drawWithFrame(QPainter &painter, const QRectF &frame, QVFBaseButton &controlView)
{
    QFont font = controlView.font();
    font.setUnderline(highlighted_);
    painter.save();
    painter.setFont(font);
    painter.setPen(QColor(0x1a, 0x5f, 0xd0));
    painter.drawText(frame, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, controlView.text());
    painter.restore();
}

void QVLinkButtonCell::setControlView(QVFBaseButton &button)
{
    // As wide as its text, so that it lines up with the labels beside it.
    const QFontMetrics metrics(button.font());
    button.setFixedSize(metrics.horizontalAdvance(button.text()) + 2, metrics.height() + 6);
    button.setMouseTracking(true);
    button.update();
}

void QVLinkButtonCell::mouseEntered(QVFBaseButton &button)
{
    setHighlighted(button, true);
    button.setCursor(Qt::PointingHandCursor);
}

void QVLinkButtonCell::mouseExited(QVFBaseButton &button)
{
    setHighlighted(button, false);
    button.unsetCursor();
}

void QVLinkButtonCell::mousePressed(QVFBaseButton &)
{
    if (!alternateTitle_.isEmpty())
        QDesktopServices::openUrl(QUrl(alternateTitle_));
}
