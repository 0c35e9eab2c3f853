#include "QVMainWindowServices.h"

#include "QVMailPlugin.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

QMessageBox *makeMessageBox(const QVAlert &alert, QWidget *parent)
{
    auto *box = new QMessageBox(parent);
    box->setIcon(alert.style == QVAlert::Style::Critical ? QMessageBox::Critical : QMessageBox::Information);
    box->setText(alert.messageText);
    box->setInformativeText(alert.informativeText);
    QPushButton *button = alert.defaultButtonTitle.isEmpty()
        ? box->addButton(QMessageBox::Ok)
        : box->addButton(alert.defaultButtonTitle, QMessageBox::AcceptRole);
    box->setDefaultButton(button);
    return box;
}

class MessageBoxAlerts final : public QVAlertPresenter {
public:
    int runModal(const QVAlert &alert) override
    {
        QMessageBox *box = makeMessageBox(alert, nullptr);
        box->setWindowModality(Qt::ApplicationModal);
        box->exec();
        const bool byDefault = box->clickedButton() == box->defaultButton();
        delete box;
        return byDefault ? kDefaultReturn : 0;
    }

    void beginSheet(const QVAlert &alert, QWidget *window) override
    {
        QMessageBox *box = makeMessageBox(alert, window);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
};

class DiskPluginLocation final : public QVMailPluginLocation {
public:
    QString libraryPath() const override { return QVMailPlugin::userLibraryPath(); }
    QString bundledPluginPath() const override { return QVMailPlugin::bundledPluginPath(); }
};

}  // namespace

QVAlertPresenter &defaultAlertPresenter()
{
    static MessageBoxAlerts alerts;
    return alerts;
}

QVMailPluginLocation &defaultMailPluginLocation()
{
    static DiskPluginLocation location;
    return location;
}
