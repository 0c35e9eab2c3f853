#include "QVNSImage.h"

#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QSvgRenderer>

// The images are compiled into this static library; a program that links
// it reaches them only through this reference.
static void initializeImageResources()
{
    Q_INIT_RESOURCE(images);
}

namespace QVNSImage {

namespace {

QString resourcePath(const QString &name)
{
    QString base = name;
    for (const char *extension : {".png", ".tiff", ".tif", ".pdf", ".svg"}) {
        if (base.endsWith(QLatin1String(extension), Qt::CaseInsensitive)) {
            base.chop(qsizetype(qstrlen(extension)));
            break;
        }
    }
    return QStringLiteral(":/images/%1.svg").arg(base);
}

// Rendered at the screen's pixel ratio so that edges stay sharp; one image
// per name for the life of the process (main thread only).
QImage renderedImage(const QString &name)
{
    static QHash<QString, QImage> cache;
    static const bool initialized = (initializeImageResources(), true);
    Q_UNUSED(initialized);
    const QString path = resourcePath(name);
    if (const auto found = cache.constFind(path); found != cache.cend())
        return *found;
    QImage image;
    if (QFile::exists(path)) {
        QSvgRenderer renderer(path);
        if (renderer.isValid()) {
            const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
            const QSize size = renderer.defaultSize();
            image = QImage(size * ratio, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(ratio);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
        }
    }
    cache.insert(path, image);
    return image;
}

}  // namespace

QVersionNumber operatingSystemVersion()
{
    return {};
}

QImage imageNamedYosemite(const QString &name, const QVersionNumber &osVersion)
{
    if (name.isEmpty())
        return {};
    QString candidate = name;
    if (osVersion.segmentCount() >= 2 && osVersion.majorVersion() >= 10 && osVersion.minorVersion() >= 10) {
        const qsizetype dot = name.lastIndexOf(u'.');
        candidate =
            dot > 0 ? name.left(dot) + QStringLiteral("~yosemite") + name.mid(dot) : name + QStringLiteral("~yosemite");
    }
    QImage image = renderedImage(candidate);
    if (image.isNull() && candidate != name)
        image = renderedImage(name);
    return image;
}

QImage imageFromRect(const QImage &image, const QRectF &rect)
{
    if (image.isNull() || rect.isEmpty())
        return {};
    const QSizeF logical = image.deviceIndependentSize();
    const qreal sx = image.width() / logical.width();
    const qreal sy = image.height() / logical.height();
    const QRect pixels = QRectF(rect.x() * sx, rect.y() * sy, rect.width() * sx, rect.height() * sy)
                             .toAlignedRect()
                             .intersected(image.rect());
    QImage crop = image.copy(pixels);
    crop.setDevicePixelRatio(image.devicePixelRatio());
    return crop;
}

void drawInRect(QPainter &painter, const QImage &image, const QRectF &destination, qreal topEdge, qreal leftEdge,
                qreal bottomEdge, qreal rightEdge, QPainter::CompositionMode operation, qreal fraction)
{
    if (image.isNull())
        return;
    const QSizeF size = image.deviceIndependentSize();
    const qreal t = topEdge, l = leftEdge, b = bottomEdge, r = rightEdge;
    const qreal cw = size.width() - l - r;
    const qreal ch = size.height() - t - b;
    // Destination columns and rows: the corners keep their size.
    const qreal dx[3] = {destination.x(), destination.x() + l, destination.right() - r};
    const qreal dw[3] = {l, destination.width() - l - r, r};
    const qreal dy[3] = {destination.y(), destination.y() + t, destination.bottom() - b};
    const qreal dh[3] = {t, destination.height() - t - b, b};
    const qreal sx[3] = {0, l, l + cw};
    const qreal sw[3] = {l, cw, r};
    const qreal sy[3] = {0, t, t + ch};
    const qreal sh[3] = {t, ch, b};

    painter.save();
    painter.setCompositionMode(operation);
    painter.setOpacity(painter.opacity() * fraction);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            if (dw[column] <= 0 || dh[row] <= 0 || sw[column] <= 0 || sh[row] <= 0)
                continue;
            const QImage piece = imageFromRect(image, QRectF(sx[column], sy[row], sw[column], sh[row]));
            painter.drawImage(QRectF(dx[column], dy[row], dw[column], dh[row]), piece);
        }
    }
    painter.restore();
}

void drawThreePartImage(QPainter &painter, const QRectF &destination, const QImage &left, const QImage &fill,
                        const QImage &right, qreal fraction)
{
    if (left.isNull() || fill.isNull() || right.isNull())
        return;
    const qreal lw = left.deviceIndependentSize().width();
    const qreal rw = right.deviceIndependentSize().width();
    const qreal h = destination.height();
    painter.save();
    painter.setOpacity(painter.opacity() * fraction);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(destination.x(), destination.y(), lw, h), left);
    if (destination.width() > lw + rw)
        painter.drawImage(QRectF(destination.x() + lw, destination.y(), destination.width() - lw - rw, h), fill);
    painter.drawImage(QRectF(destination.right() - rw, destination.y(), rw, h), right);
    painter.restore();
}

}  // namespace QVNSImage
