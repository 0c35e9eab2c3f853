// The first-run pages. The welcome page asks for the user's e-mail address
// and stores it; the install page asks for the mail plug-in to be
// installed. The main window controller is the delegate of both.
#pragma once

#include "QVViewController.h"

#include <memory>

class QLineEdit;
class QVFBaseButton;
class QVWelcomeViewController;
class QVInstallViewController;

namespace Ui {
class QVWelcomeViewController;
class QVInstallViewController;
}  // namespace Ui

class QVWelcomeViewControllerDelegate {
public:
    virtual void welcomeViewControllerDidEnterEmail(QVWelcomeViewController *) {}

protected:
    ~QVWelcomeViewControllerDelegate() = default;
};

class QVInstallViewControllerDelegate {
public:
    virtual void installViewControllerNeedsInstallPlugin(QVInstallViewController *) {}

protected:
    ~QVInstallViewControllerDelegate() = default;
};

class QVWelcomeViewController final : public QVViewController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVWelcomeViewController)

public:
    explicit QVWelcomeViewController(QWidget *parent = nullptr);
    ~QVWelcomeViewController() override;

    QLineEdit *emailTextField() const;
    QVFBaseButton *saveButton() const;
    // Not owned; may be null.
    void setViewControllerDelegate(QVWelcomeViewControllerDelegate *delegate) { delegate_ = delegate; }

    // Stores a valid address, then tells the delegate; an empty or invalid
    // one gets an alert on the page's window and is not stored.
    void saveEmail();

private:
    void showAlert(const QString &message);

    std::unique_ptr<Ui::QVWelcomeViewController> ui_;
    QVWelcomeViewControllerDelegate *delegate_ = nullptr;
};

class QVInstallViewController final : public QVViewController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVInstallViewController)

public:
    explicit QVInstallViewController(QWidget *parent = nullptr);
    ~QVInstallViewController() override;

    QVFBaseButton *installButton() const;
    // Not owned; may be null.
    void setViewControllerDelegate(QVInstallViewControllerDelegate *delegate) { delegate_ = delegate; }

    void installPluginAndGo();

private:
    std::unique_ptr<Ui::QVInstallViewController> ui_;
    QVInstallViewControllerDelegate *delegate_ = nullptr;
};
