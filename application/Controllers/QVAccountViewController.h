// The "Account" page: the user identity, the stored e-mail address (which
// the change-e-mail dialog replaces) and the application's version.
#pragma once

#include "QVViewController.h"

#include <QPointer>

#include <memory>

class QLabel;
class QVCWindowController;
class QVChangeUserEmailDialog;

namespace Ui {
class QVAccountViewController;
}

class QVAccountViewController final : public QVViewController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVAccountViewController)

public:
    explicit QVAccountViewController(QWidget *parent = nullptr);
    ~QVAccountViewController() override;

    QLabel *userIDLabel() const;
    QLabel *userEmailLabel() const;
    QLabel *appVersionLabel() const;

    void changeEmail();
    void visitSite();
    // The change-e-mail dialog while it is open.
    QVChangeUserEmailDialog *changeEmailDialog() const { return changeEmailDialog_; }

private:
    void changeUserEmailDialog(QVCWindowController *dialog, int code);

    std::unique_ptr<Ui::QVAccountViewController> ui_;
    QPointer<QVChangeUserEmailDialog> changeEmailDialog_;
};
