#include "QVAddEmailOrDomainDialog.h"

#include "QVStringAdditions.h"
#include "ui_QVAddEmailOrDomainDialog.h"

QVAddEmailOrDomainDialog::QVAddEmailOrDomainDialog(QWidget *parent)
    : QVCWindowController(parent), ui_(std::make_unique<Ui::QVAddEmailOrDomainDialog>()), item_(QStringLiteral(""))
{
    ui_->setupUi(this);
    ui_->itemLabel->setText(itemTitle());
    ui_->okButton->setEnabled(isValidItem());
    connect(ui_->itemField, &QLineEdit::textChanged, this, &QVAddEmailOrDomainDialog::setItem);
    connect(this, &QVAddEmailOrDomainDialog::itemChanged, this,
            [this] { ui_->okButton->setEnabled(isValidItem()); });
    connect(ui_->okButton, &QPushButton::clicked, this, &QVCWindowController::okClick);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QVCWindowController::cancelClick);
}

QVAddEmailOrDomainDialog::~QVAddEmailOrDomainDialog() = default;

void QVAddEmailOrDomainDialog::setItem(const QString &item)
{
    if (item == item_)
        return;
    item_ = item;
    if (ui_->itemField->text() != item)
        ui_->itemField->setText(item);
    emit itemChanged();
}

QString QVAddEmailOrDomainDialog::itemTitle()
{
    return tr("Email or Domain:");
}

bool QVAddEmailOrDomainDialog::isValidItem() const
{
    return QVAdditions::isValidEmailAddress(item_) || QVAdditions::isValidDomain(item_);
}
