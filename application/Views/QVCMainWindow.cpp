#include "QVCMainWindow.h"

#include <QEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <QWindow>

#include <cstdlib>

namespace {

constexpr int kNoiseSize = 128;
constexpr double kNoiseFactor = 0.015;
// Height of a band before the window controller sets its own.
constexpr double kMinimumTitleBarHeight = 22.0;

const QImage &noiseImage()
{
    static const QImage noise = QVCMainWindowTitlebarView::newNoiseImage(kNoiseSize, kNoiseSize, kNoiseFactor);
    return noise;
}

}  // namespace

QVCMainWindowTitlebarView::QVCMainWindowTitlebarView(QWidget *parent) : QWidget(parent)
{
    setAutoFillBackground(false);
}

QVCMainWindowTitlebarView::~QVCMainWindowTitlebarView() = default;

void QVCMainWindowTitlebarView::setShowsBaselineSeparator(bool shows)
{
    if (shows == showsBaselineSeparator_)
        return;
    showsBaselineSeparator_ = shows;
    update();
}

QVCMainWindowTitlebarView::Colours QVCMainWindowTitlebarView::coloursForState(bool active)
{
    return active ? Colours{0.66, 0.9, 0.408} : Colours{0.878, 0.976, 0.655};
}

QImage QVCMainWindowTitlebarView::newNoiseImage(int width, int height, double factor)
{
    QImage image(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < width; ++x)
            line[x] = uchar(int((std::rand() % 256) * factor));
    }
    return image;
}

bool QVCMainWindowTitlebarView::isActive() const
{
    return isActiveWindow();
}

void QVCMainWindowTitlebarView::paintEvent(QPaintEvent *)
{
    const bool active = isActive();
    const Colours colours = coloursForState(active);
    QPainter painter(this);

    // The top line is left to the window; the gradient runs bottom to top.
    const QRectF band(0, 1, width(), height() - 1);
    QLinearGradient gradient(band.bottomLeft(), band.topLeft());
    gradient.setColorAt(
        0, QColor::fromRgbF(float(colours.gradientStart), float(colours.gradientStart), float(colours.gradientStart)));
    gradient.setColorAt(
        1, QColor::fromRgbF(float(colours.gradientEnd), float(colours.gradientEnd), float(colours.gradientEnd)));
    painter.fillRect(band, gradient);

    if (active) {
        painter.save();
        painter.setCompositionMode(QPainter::CompositionMode_Plus);
        painter.drawTiledPixmap(rect(), QPixmap::fromImage(noiseImage()));
        painter.restore();
    }

    if (showsBaselineSeparator_) {
        const float grey = float(colours.separator);
        painter.fillRect(QRectF(0, height() - 1, width(), 1), QColor::fromRgbF(grey, grey, grey));
        painter.fillRect(QRectF(0, height() - 2, width(), 1), QColor::fromRgbF(1, 1, 1, 0.12f));
    }
}

void QVCMainWindowTitlebarView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange)
        update();
    QWidget::changeEvent(event);
}

void QVCMainWindowTitlebarView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // The window manager moves the window when it can; otherwise the window
    // follows the pointer.
    QWindow *handle = window()->windowHandle();
    if (handle && handle->startSystemMove())
        return;
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - window()->frameGeometry().topLeft();
}

void QVCMainWindowTitlebarView::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging_ && (event->buttons() & Qt::LeftButton))
        window()->move(event->globalPosition().toPoint() - dragOffset_);
    else
        QWidget::mouseMoveEvent(event);
}

void QVCMainWindowTitlebarView::mouseReleaseEvent(QMouseEvent *event)
{
    dragging_ = false;
    QWidget::mouseReleaseEvent(event);
}

QVCMainWindow::QVCMainWindow(QWidget *parent)
    : QWidget(parent, Qt::Window),
      layout_(new QVBoxLayout(this)),
      titleBarView_(new QVCMainWindowTitlebarView(this)),
      contentView_(new QWidget(this))
{
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
    layout_->addWidget(titleBarView_);
    layout_->addWidget(contentView_, 1);
    setTitleBarHeight(kMinimumTitleBarHeight);
}

QVCMainWindow::~QVCMainWindow() = default;

void QVCMainWindow::setTitleBarHeight(double height)
{
    if (height == titleBarHeight_)
        return;
    cachedTitleBarHeight_ = height;
    applyTitleBarHeight(height);
}

void QVCMainWindow::applyTitleBarHeight(double height)
{
    titleBarHeight_ = height;
    titleBarView_->setFixedHeight(qRound(height));
    titleBarView_->update();
}

bool QVCMainWindow::showsBaselineSeparator() const
{
    return titleBarView_->showsBaselineSeparator();
}

void QVCMainWindow::setShowsBaselineSeparator(bool shows)
{
    titleBarView_->setShowsBaselineSeparator(shows);
}

void QVCMainWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::WindowStateChange && hideTitleBarInFullScreen_) {
        if (isFullScreen()) {
            applyTitleBarHeight(0);
            titleBarView_->hide();
        } else {
            applyTitleBarHeight(cachedTitleBarHeight_);
            titleBarView_->show();
        }
    }
    QWidget::changeEvent(event);
}

void QVCMainWindow::closeEvent(QCloseEvent *event)
{
    emit windowWillClose();
    QWidget::closeEvent(event);
}
