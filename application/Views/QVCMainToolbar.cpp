#include "QVCMainToolbar.h"

#include <QPainter>
#include <QPixmap>
#include <QToolButton>

namespace {

// A disabled button's text and icon are faded, as the platform's are.
constexpr qreal kDisabledOpacity = 0.35;

QIcon iconOf(const QImage &image)
{
    if (image.isNull())
        return QIcon();
    QIcon icon(QPixmap::fromImage(image));
    QImage faded = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    faded.fill(Qt::transparent);
    QPainter painter(&faded);
    painter.setOpacity(kDisabledOpacity);
    painter.drawImage(0, 0, image);
    painter.end();
    icon.addPixmap(QPixmap::fromImage(faded), QIcon::Disabled);
    return icon;
}

}  // namespace

QVCMainToolbar::QVCMainToolbar(QWidget *parent) : QWidget(parent) {}

QVCMainToolbar::~QVCMainToolbar() = default;

void QVCMainToolbar::setDelegate(QVCMainToolbarDelegate *delegate)
{
    if (delegate == delegate_)
        return;
    delegate_ = delegate;
    qDeleteAll(buttons_);
    buttons_.clear();
    items_.clear();
    if (!delegate_)
        return;

    const int count = delegate_->numberOfItemsForToolbar(this);
    buttons_.reserve(count);
    items_.reserve(count);
    QFont font = this->font();
    font.setPixelSize(11);
    QPalette palette = this->palette();
    const QColor text = QColor::fromRgbF(0.08f, 0.08f, 0.08f);
    palette.setColor(QPalette::Active, QPalette::ButtonText, text);
    palette.setColor(QPalette::Inactive, QPalette::ButtonText, text);
    palette.setColor(QPalette::Disabled, QPalette::ButtonText,
                     QColor::fromRgbF(0.08f, 0.08f, 0.08f, float(kDisabledOpacity)));
    for (int index = 0; index < count; ++index) {
        QVCMainToolbarItem item = delegate_->itemForToolbar(this, index);
        auto *button = new QToolButton(this);
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setFont(font);
        button->setPalette(palette);
        button->setText(item.title);
        button->setToolTip(item.tooltip);
        button->setIcon(iconOf(item.icon));
        if (!item.icon.isNull())
            button->setIconSize(item.icon.deviceIndependentSize().toSize());
        button->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; background: transparent; }"));
        if (item.action)
            connect(button, &QToolButton::clicked, this, [action = item.action] { action(); });
        button->show();
        buttons_.append(button);
        items_.append(std::move(item));
    }
    layoutButtons();
}

void QVCMainToolbar::setSelectedItemTag(int tag)
{
    selectedItemTag_ = tag;
    for (qsizetype index = 0; index < buttons_.size(); ++index) {
        const QVCMainToolbarItem &item = items_[index];
        buttons_[index]->setIcon(iconOf(item.tag == tag ? item.pressedIcon : item.icon));
    }
}

void QVCMainToolbar::setItemEnabled(bool enabled, int tag)
{
    for (qsizetype index = 0; index < buttons_.size(); ++index) {
        if (items_[index].tag == tag) {
            buttons_[index]->setEnabled(enabled);
            return;
        }
    }
}

void QVCMainToolbar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutButtons();
}

void QVCMainToolbar::layoutButtons()
{
    const int count = int(buttons_.size());
    if (count == 0)
        return;
    const int rowWidth = count * buttonWidth() + (count - 1) * kButtonGap;
    int x = (width() - rowWidth) / 2;
    const int y = height() - kBottomMargin - kButtonHeight;
    for (QToolButton *button : std::as_const(buttons_)) {
        button->setGeometry(x, y, buttonWidth(), kButtonHeight);
        x += buttonWidth() + kButtonGap;
    }
}
