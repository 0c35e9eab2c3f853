#include "QVButtonCell.h"

#include <QMouseEvent>
#include <QPainter>

bool QVButtonCell::isEnabled(const QVFBaseButton &button)
{
    return button.isEnabled();
}

bool QVButtonCell::isHighlighted(const QVFBaseButton &button)
{
    return button.isDown();
}

bool QVButtonCell::showsStateOn(const QVFBaseButton &button)
{
    return button.isCheckable() && button.isChecked();
}

QRectF QVButtonCell::drawTitleText(QPainter &painter, const QString &title, const QRectF &frame,
                                   const QVFBaseButton &button, const QColor &colour)
{
    painter.save();
    painter.setFont(button.font());
    painter.setPen(colour);
    QRectF drawn;
    painter.drawText(frame, Qt::AlignCenter | Qt::TextSingleLine, title, &drawn);
    painter.restore();
    return drawn;
}

QVFBaseButton::QVFBaseButton(QWidget *parent) : QPushButton(parent) {}

QVFBaseButton::~QVFBaseButton() = default;

void QVFBaseButton::setCell(std::unique_ptr<QVButtonCell> cell)
{
    cell_ = std::move(cell);
    if (cell_) {
        setFlat(true);
        setAttribute(Qt::WA_Hover);
        cell_->setControlView(*this);
    }
    update();
}

void QVFBaseButton::paintEvent(QPaintEvent *event)
{
    if (!cell_) {
        QPushButton::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    cell_->drawWithFrame(painter, QRectF(rect()), *this);
}

void QVFBaseButton::enterEvent(QEnterEvent *event)
{
    if (cell_)
        cell_->mouseEntered(*this);
    QPushButton::enterEvent(event);
}

void QVFBaseButton::leaveEvent(QEvent *event)
{
    if (cell_)
        cell_->mouseExited(*this);
    QPushButton::leaveEvent(event);
}

void QVFBaseButton::mousePressEvent(QMouseEvent *event)
{
    if (cell_ && event->button() == Qt::LeftButton && isEnabled())
        cell_->mousePressed(*this);
    QPushButton::mousePressEvent(event);
}
