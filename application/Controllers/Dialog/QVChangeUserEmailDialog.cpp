#include "QVChangeUserEmailDialog.h"

#include "QVOwnAddress.h"
#include "ui_QVChangeUserEmailDialog.h"

QVChangeUserEmailDialog::QVChangeUserEmailDialog(QWidget *parent)
    : QVCItemDialog(parent), ui_(std::make_unique<Ui::QVChangeUserEmailDialog>())
{
    ui_->setupUi(this);
    bindItemControls(ui_->itemLabel, itemTitle(), ui_->itemField, ui_->okButton, ui_->cancelButton);
}

QVChangeUserEmailDialog::~QVChangeUserEmailDialog() = default;

QString QVChangeUserEmailDialog::itemTitle()
{
    return tr("Enter your email:");
}

bool QVChangeUserEmailDialog::isValidItem() const
{
    return QVOwnAddress::isValid(QVOwnAddress::fromEntry(item()));
}
