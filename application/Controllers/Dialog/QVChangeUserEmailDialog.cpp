#include "QVChangeUserEmailDialog.h"

#include "QVStringAdditions.h"
#include "ui_QVChangeUserEmailDialog.h"

QVChangeUserEmailDialog::QVChangeUserEmailDialog(QWidget *parent)
    : QVCWindowController(parent), ui_(std::make_unique<Ui::QVChangeUserEmailDialog>()), item_(QStringLiteral(""))
{
    ui_->setupUi(this);
    ui_->itemLabel->setText(itemTitle());
    ui_->okButton->setEnabled(isValidItem());
    connect(ui_->itemField, &QLineEdit::textChanged, this, &QVChangeUserEmailDialog::setItem);
    connect(this, &QVChangeUserEmailDialog::itemChanged, this,
            [this] { ui_->okButton->setEnabled(isValidItem()); });
    connect(ui_->okButton, &QPushButton::clicked, this, &QVCWindowController::okClick);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QVCWindowController::cancelClick);
}

QVChangeUserEmailDialog::~QVChangeUserEmailDialog() = default;

void QVChangeUserEmailDialog::setItem(const QString &item)
{
    if (item == item_)
        return;
    item_ = item;
    if (ui_->itemField->text() != item)
        ui_->itemField->setText(item);
    emit itemChanged();
}

QString QVChangeUserEmailDialog::itemTitle()
{
    return tr("Enter your email:");
}

bool QVChangeUserEmailDialog::isValidItem() const
{
    return QVAdditions::isValidEmailAddress(item_);
}
