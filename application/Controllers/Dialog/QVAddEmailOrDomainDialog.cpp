#include "QVAddEmailOrDomainDialog.h"

#include "QVStringAdditions.h"
#include "ui_QVAddEmailOrDomainDialog.h"

QVAddEmailOrDomainDialog::QVAddEmailOrDomainDialog(QWidget *parent)
    : QVCItemDialog(parent), ui_(std::make_unique<Ui::QVAddEmailOrDomainDialog>())
{
    ui_->setupUi(this);
    bindItemControls(ui_->itemLabel, itemTitle(), ui_->itemField, ui_->okButton, ui_->cancelButton);
}

QVAddEmailOrDomainDialog::~QVAddEmailOrDomainDialog() = default;

QString QVAddEmailOrDomainDialog::itemTitle()
{
    return tr("Email or Domain:");
}

bool QVAddEmailOrDomainDialog::isValidItem() const
{
    return QVAdditions::isValidEmailAddress(item()) || QVAdditions::isValidDomain(item());
}
