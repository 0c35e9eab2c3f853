#include "QVAccountViewController.h"

#include "Dialog/QVChangeUserEmailDialog.h"
#include "QVBlueButtonCell.h"
#include "QVMainBundle.h"
#include "QVNSImage.h"
#include "QVOwnAddress.h"
#include "QVServiceInfo.h"
#include "QVUserDefaults.h"
#include "QVValueTransformer.h"
#include "ui_QVAccountViewController.h"

#include <QDesktopServices>

QVAccountViewController::QVAccountViewController(QWidget *parent)
    : QVViewController(parent), ui_(std::make_unique<Ui::QVAccountViewController>())
{
    ui_->setupUi(this);
    ui_->userImage->setPixmap(QPixmap::fromImage(QVNSImage::imageNamedYosemite(QStringLiteral("UserImage"))));
    ui_->visitSiteButton->setCell(std::make_unique<QVLinkButtonCell>());
    ui_->visitSiteButton->setFocusPolicy(Qt::TabFocus);

    const QString userID = QVServiceInfo::userID();
    ui_->userIDLabel->setText(userID.isEmpty() ? tr("None") : userID);
    // The address label follows the stored address from wherever it changes.
    QVBindings::bindUserDefaults(this, QVUserDefaults::standardUserDefaults());
    ui_->appVersionLabel->setText(
        QStringLiteral("%1 (%2)").arg(QVMainBundle::infoString(QStringLiteral("CFBundleShortVersionString")),
                                      QVMainBundle::infoString(QStringLiteral("CFBundleVersion"))));

    connect(ui_->changeEmailButton, &QPushButton::clicked, this, &QVAccountViewController::changeEmail);
    connect(ui_->visitSiteButton, &QPushButton::clicked, this, &QVAccountViewController::visitSite);
    adoptDesignSize();
}

QVAccountViewController::~QVAccountViewController() = default;

QLabel *QVAccountViewController::userIDLabel() const
{
    return ui_->userIDLabel;
}

QLabel *QVAccountViewController::userEmailLabel() const
{
    return ui_->userEmailLabel;
}

QLabel *QVAccountViewController::appVersionLabel() const
{
    return ui_->appVersionLabel;
}

void QVAccountViewController::changeEmail()
{
    if (changeEmailDialog_)
        return;
    changeEmailDialog_ = new QVChangeUserEmailDialog(this);
    connect(changeEmailDialog_, &QVCWindowController::sheetDidEnd, this,
            &QVAccountViewController::changeUserEmailDialog);
    changeEmailDialog_->beginSheetForHostWindow(window());
}

void QVAccountViewController::changeUserEmailDialog(QVCWindowController *dialog, int code)
{
    if (code != QVCWindowController::kQVDialogOk)
        return;
    const QString email = QVOwnAddress::fromEntry(static_cast<QVChangeUserEmailDialog *>(dialog)->item());
    QVUserDefaults::standardUserDefaults().setObject(email, QString::fromLatin1(kQVEmailAddressKey));
    ui_->userEmailLabel->setText(email);
}

void QVAccountViewController::visitSite()
{
    QDesktopServices::openUrl(QVServiceInfo::productUrl());
}
