#include "QVDebugView.h"

#include <QPainter>

void QVDebugView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    // A 2-wide line centred on the bounds, as a frame drawn inside them.
    painter.setPen(QPen(Qt::green, 2.0));
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}
