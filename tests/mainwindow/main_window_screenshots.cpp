// qv-main-window-screenshots DIR: the main window on each of its pages, as
// PNG files in DIR (also under -platform offscreen).
#include "fakes.h"

#include "QVMainWindowController.h"
#include "QVSpamManager.h"
#include "QVUserDefaults.h"

#include <QDir>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    if (argc < 2) {
        qWarning("usage: qv-main-window-screenshots DIR");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(folder.path());
    auto &defaults = QVUserDefaults::standardUserDefaults();
    defaults.registerDefaults(QVUserDefaults::applicationDefaults());
    defaults.setObject(false, kQVCheckForUpdatesAtLaunchKey);

    FakeHelper helper;
    FakeAlerts alerts;
    FakePluginLocation location;
    QVMainWindowController controller(QVMainWindowServices{&helper, &alerts, &location});
    controller.showWindow();
    const auto shoot = [&](const QString &name) {
        QCoreApplication::processEvents();
        controller.window()->grab().save(folder.filePath(name + QStringLiteral(".png")));
    };
    // The way a user goes: the first-run pages, then each button's page.
    shoot(QStringLiteral("MainWindow-Welcome"));
    defaults.setObject(QStringLiteral("jane@example.com"), kQVEmailAddressKey);
    controller.welcomeViewControllerDidEnterEmail(nullptr);
    shoot(QStringLiteral("MainWindow-Install"));
    location.carry(QStringLiteral("1"));
    location.install(QStringLiteral("1"));
    controller.installViewControllerNeedsInstallPlugin(nullptr);
    shoot(QStringLiteral("MainWindow-Settings"));
    const auto shootPage = [&](QVMainWindowController::Page page, const QString &name) {
        controller.requestPage(page);
        QCoreApplication::processEvents();
        shoot(name);
    };
    shootPage(QVMainWindowController::Page::Filters, QStringLiteral("MainWindow-Filters"));
    shootPage(QVMainWindowController::Page::Account, QStringLiteral("MainWindow-Account"));
    QVSpamManager::shutDown();
    return 0;
}
