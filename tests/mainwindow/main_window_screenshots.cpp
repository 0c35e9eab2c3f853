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
    shoot(QStringLiteral("MainWindow-Welcome"));
    controller.showInstallPluginScreen();
    shoot(QStringLiteral("MainWindow-Install"));
    controller.settingsPage();
    controller.enableToolbar();
    shoot(QStringLiteral("MainWindow-Settings"));
    controller.filtersPage();
    shoot(QStringLiteral("MainWindow-Filters"));
    controller.accountPage();
    shoot(QStringLiteral("MainWindow-Account"));
    QVSpamManager::shutDown();
    return 0;
}
