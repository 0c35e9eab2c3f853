// Named images of the application's views and the nine-part drawing of the
// blue buttons. Images are SVG files served from the resources (":/images/"),
// rendered once per name at their own size.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QString>
#include <QVersionNumber>

namespace QVNSImage {

// The running system's version for the lookup below. This platform has no
// "~yosemite" look, so it reports none.
QVersionNumber operatingSystemVersion();

// The image called `name` (an extension such as ".png" is ignored). On a
// system of version 10.10 or later with a minor number of at least 10 the
// "~yosemite" variant is preferred when one exists. A null image when there
// is none.
QImage imageNamedYosemite(const QString &name, const QVersionNumber &osVersion = operatingSystemVersion());

// A new image of the rectangle's size (in device-independent pixels,
// measured from the top-left corner) with the image's content inside it.
QImage imageFromRect(const QImage &image, const QRectF &rect);

// Draws the image over `destination` in nine parts: the corners unscaled,
// the edges stretched along their length, the centre both ways.
void drawInRect(QPainter &painter, const QImage &image, const QRectF &destination, qreal topEdge, qreal leftEdge,
                qreal bottomEdge, qreal rightEdge,
                QPainter::CompositionMode operation = QPainter::CompositionMode_SourceOver, qreal fraction = 1.0);

// Draws the image as three parts over `destination`: the left cap at its
// own width, the fill stretched, the right cap, each at the caps' height.
void drawThreePartImage(QPainter &painter, const QRectF &destination, const QImage &left, const QImage &fill,
                        const QImage &right, qreal fraction = 1.0);

}  // namespace QVNSImage
