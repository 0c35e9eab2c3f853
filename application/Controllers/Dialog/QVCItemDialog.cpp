#include "QVCItemDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

QVCItemDialog::QVCItemDialog(QWidget *parent) : QVCWindowController(parent), item_(QStringLiteral("")) {}

QVCItemDialog::~QVCItemDialog() = default;

void QVCItemDialog::setItem(const QString &item)
{
    if (item == item_)
        return;
    item_ = item;
    if (field_ && field_->text() != item)
        field_->setText(item);
    emit itemChanged();
}

void QVCItemDialog::bindItemControls(QLabel *label, const QString &title, QLineEdit *field, QPushButton *ok,
                                     QPushButton *cancel)
{
    field_ = field;
    label->setText(title);
    ok->setEnabled(isValidItem());
    connect(field, &QLineEdit::textChanged, this, &QVCItemDialog::setItem);
    connect(this, &QVCItemDialog::itemChanged, ok, [this, ok] { ok->setEnabled(isValidItem()); });
    connect(ok, &QPushButton::clicked, this, &QVCWindowController::okClick);
    connect(cancel, &QPushButton::clicked, this, &QVCWindowController::cancelClick);
}
