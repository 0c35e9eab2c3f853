#include "QVFUndertableControl.h"

#include "QVFBaseButtonCell.h"
#include "QVNSImage.h"

#include <QPainter>
#include <QPainterPath>

namespace {

QVFBaseButton *squareButton(QWidget *parent, const QString &imageName, const QString &toolTip)
{
    auto *button = new QVFBaseButton(parent);
    button->setCell(std::make_unique<QVFGraySquareButtonCell>());
    const QImage image = QVNSImage::imageNamedYosemite(imageName);
    button->setIcon(QIcon(QPixmap::fromImage(image)));
    button->setIconSize(image.deviceIndependentSize().toSize());
    button->setToolTip(toolTip);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

}  // namespace

QVFUndertableControl::QVFUndertableControl(QWidget *parent)
    : QWidget(parent),
      plusButton_(squareButton(this, QStringLiteral("Undertable_Plus.png"), tr("Add"))),
      minusButton_(squareButton(this, QStringLiteral("Undertable_Minus.png"), tr("Remove")))
{
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QVFUndertableControl::~QVFUndertableControl() = default;

void QVFUndertableControl::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // Below the top line, 24 wide, one after the other.
    plusButton_->setGeometry(1, 1, 24, height() - 1);
    minusButton_->setGeometry(26, 1, 24, height() - 1);
}

void QVFUndertableControl::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRectF bounds(rect());
    const QImage strip = QVNSImage::imageNamedYosemite(QStringLiteral("Undertable.png"));
    QVNSImage::drawThreePartImage(painter, bounds, strip, strip, strip);

    const QImage separator = QVNSImage::imageNamedYosemite(QStringLiteral("Undertable_Separator.png"));
    const QBrush lineBrush = separator.isNull() ? QBrush(Qt::gray) : QBrush(separator);
    const qreal w = bounds.width(), h = bounds.height();
    // The top, left and right edges (the table above draws none at its foot).
    QPainterPath edges;
    edges.moveTo(0.5, h);
    edges.lineTo(0.5, 0.5);
    edges.lineTo(w - 0.5, 0.5);
    edges.lineTo(w - 0.5, h);
    painter.strokePath(edges, QPen(lineBrush, 1.0));
    painter.fillRect(QRectF(25, 1, 1, h - 1), lineBrush);
    painter.fillRect(QRectF(50, 1, 1, h - 1), lineBrush);
}
