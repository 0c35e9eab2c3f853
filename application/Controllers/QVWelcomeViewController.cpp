#include "QVWelcomeViewController.h"

#include "QVBlueButtonCell.h"
#include "QVNSImage.h"
#include "QVOwnAddress.h"
#include "QVUserDefaults.h"
#include "ui_QVInstallViewController.h"
#include "ui_QVWelcomeViewController.h"

#include <QMessageBox>

namespace {

template <typename Ui> void setUpFirstRunPage(Ui &ui)
{
    const QImage icon = QVNSImage::imageNamedYosemite(QStringLiteral("Quorvane"));
    ui.applicationImage->setPixmap(
        QPixmap::fromImage(icon).scaled(96, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    ui.actionButton->setCell(std::make_unique<QVBlueLargeButtonCell>());
    QFont font = ui.actionButton->font();
    font.setBold(true);
    ui.actionButton->setFont(font);
}

}  // namespace

QVWelcomeViewController::QVWelcomeViewController(QWidget *parent)
    : QVViewController(parent), ui_(std::make_unique<Ui::QVWelcomeViewController>())
{
    ui_->setupUi(this);
    setUpFirstRunPage(*ui_);
    connect(ui_->actionButton, &QPushButton::clicked, this, &QVWelcomeViewController::saveEmail);
    connect(ui_->emailTextField, &QLineEdit::returnPressed, this, &QVWelcomeViewController::saveEmail);
    adoptDesignSize();
}

QVWelcomeViewController::~QVWelcomeViewController() = default;

QLineEdit *QVWelcomeViewController::emailTextField() const
{
    return ui_->emailTextField;
}

QVFBaseButton *QVWelcomeViewController::saveButton() const
{
    return ui_->actionButton;
}

void QVWelcomeViewController::saveEmail()
{
    const QString email = QVOwnAddress::fromEntry(ui_->emailTextField->text());
    if (email.isEmpty()) {
        showAlert(tr("Please enter your e-mail address."));
        return;
    }
    if (!QVOwnAddress::isValid(email)) {
        showAlert(tr("The e-mail address you entered is not valid."));
        return;
    }
    QVUserDefaults::standardUserDefaults().setObject(email, QString::fromLatin1(kQVEmailAddressKey));
    if (delegate_)
        delegate_->welcomeViewControllerDidEnterEmail(this);
}

void QVWelcomeViewController::showAlert(const QString &message)
{
    QWidget *host = window();
    host->raise();
    host->activateWindow();
    auto *alert = new QMessageBox(QMessageBox::Warning, QString(), message, QMessageBox::Ok, host);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->open();
}

QVInstallViewController::QVInstallViewController(QWidget *parent)
    : QVViewController(parent), ui_(std::make_unique<Ui::QVInstallViewController>())
{
    ui_->setupUi(this);
    setUpFirstRunPage(*ui_);
    connect(ui_->actionButton, &QPushButton::clicked, this, &QVInstallViewController::installPluginAndGo);
    adoptDesignSize();
}

QVInstallViewController::~QVInstallViewController() = default;

QVFBaseButton *QVInstallViewController::installButton() const
{
    return ui_->actionButton;
}

void QVInstallViewController::installPluginAndGo()
{
    if (delegate_)
        delegate_->installViewControllerNeedsInstallPlugin(this);
}
