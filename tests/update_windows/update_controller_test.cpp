#include "QVMainBundle.h"
#include "QVRunningApplications.h"
#include "QVUpdateController.h"
#include "QVUserDefaults.h"
#include "ui_QVUpdateController.h"
#include "ui_QVUpdateInfoWindow.h"
#include "update_server.hpp"
#include "zip_writer.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>

#include <functional>

using namespace update_test;

namespace {

const QByteArray kDescription = R"({\rtf1\ansi{\fonttbl\f0 Helvetica;}\f0\b What's new\b0\par Faster scanning.\par})";

// The running application's bundle, the update service and a controller
// whose helper and relaunch the test decides.
struct Fixture {
    QTemporaryDir root;
    UpdateServer server{QStringLiteral("Quorvane 2.0 is available")};
    QVUpdateController controller;
    QStringList installed;
    bool helperAnswer = true;
    bool quit = false;
    std::function<bool(const QString &)> launch = [](const QString &) { return true; };

    Fixture()
    {
        QDir().mkpath(root.filePath(QStringLiteral("Quorvane.app/Contents/MacOS")));
        QVMainBundle::setBundlePathForTesting(root.filePath(QStringLiteral("Quorvane.app")));
        QVUserDefaults::standardUserDefaults().setObject(server.service().toString(),
                                                         QString::fromLatin1(kQVUpdateServiceKey));
        controller.setInstaller([this](const QString &update, const QString &install) {
            installed = {update, install};
            return helperAnswer;
        });
        controller.setLauncher([this](const QString &bundle) { return launch(bundle); });
        controller.setTerminator([this] { quit = true; });
        controller.setRelaunchTimeout(1500);
    }
    ~Fixture() { QVMainBundle::setBundlePathForTesting(QString()); }

    bool infoShown()
    {
        return waitFor([this] { return controller.updateInfoWindow() && controller.updateInfoWindow()->isVisible(); });
    }
    QString alertText()
    {
        waitFor([this] { return controller.alert() != nullptr; });
        if (!controller.alert())
            return QStringLiteral("<no alert>");
        return controller.alert()->informativeText().isEmpty() ? controller.alert()->text()
                                                               : controller.alert()->informativeText();
    }
    // Checks interactively, takes the offered update and waits for the end
    // of the download and unpacking.
    void checkAndDownload()
    {
        controller.startUpdate(false);
        ASSERT_TRUE(infoShown());
        controller.installUpdate();
        waitFor([this] {
            return controller.alert() != nullptr
                || (controller.progressUi() && controller.progressUi()->installAndRelaunchButton->isVisible());
        });
    }
    bool readyToInstall() const
    {
        return controller.progressUi() && controller.progressUi()->installAndRelaunchButton->isVisible()
            && controller.progressUi()->progressTextField->text() == u"Ready to install";
    }
};

TEST(UpdateController, SilentCheckWithoutUpdateShowsNothing)
{
    Fixture f;
    f.controller.startUpdate(true);
    waitFor([] { return false; }, 800);
    EXPECT_EQ(f.controller.window(), nullptr);
    EXPECT_EQ(f.controller.alert(), nullptr);
}

TEST(UpdateController, InteractiveCheckWithoutUpdateSaysUpToDate)
{
    Fixture f;
    f.controller.startUpdate(false);
    ASSERT_TRUE(f.infoShown());
    EXPECT_FALSE(f.controller.infoUi()->installButton->isEnabled());
    EXPECT_EQ(f.controller.alert()->text(), QStringLiteral("Your version is up to date."));
    EXPECT_EQ(f.controller.alert()->informativeText(), QStringLiteral("There are no updates available at this time."));
}

TEST(UpdateController, OnlyADescriptionFileIsUpToDateWithItsText)
{
    Fixture f;
    f.server.put(QStringLiteral("updateInfo.rtf"), kDescription);
    f.controller.startUpdate(false);
    ASSERT_TRUE(f.infoShown());
    EXPECT_FALSE(f.controller.infoUi()->installButton->isEnabled());
    EXPECT_TRUE(f.controller.infoUi()->updateInfoTextView->toPlainText().contains(QStringLiteral("Faster scanning.")));
    EXPECT_EQ(f.controller.alert()->text(), QStringLiteral("Your version is up to date."));
}

TEST(UpdateController, SilentCheckShowsTheDescriptionOfAnUpdate)
{
    Fixture f;
    f.server.put(QStringLiteral("updateInfo.rtf"), kDescription);
    f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Quorvane")));
    f.controller.startUpdate(true);
    ASSERT_TRUE(f.infoShown());
    EXPECT_EQ(f.controller.infoUi()->descriptionTextField->text(), QStringLiteral("Quorvane 2.0 is available"));
    EXPECT_TRUE(f.controller.infoUi()->updateInfoTextView->toPlainText().startsWith(QStringLiteral("What's new")));
    EXPECT_TRUE(f.controller.infoUi()->installButton->isEnabled());
    EXPECT_EQ(f.controller.alert(), nullptr);
}

TEST(UpdateController, InstallsAndQuitsOnlyOnceTheNewInstanceRuns)
{
    Fixture f;
    f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Quorvane")));
    // The new instance: another connection claims the application's name.
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("new-instance"));
    f.launch = [&other](const QString &) {
        return other.registerService(QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier));
    };
    ASSERT_NO_FATAL_FAILURE(f.checkAndDownload());
    ASSERT_TRUE(f.readyToInstall()) << f.alertText().toStdString();
    EXPECT_FALSE(f.controller.progressUi()->cancelButton->isVisible());
    const QString update = f.installed.value(0);
    f.controller.installAndRelaunchUpdate();
    ASSERT_EQ(f.installed.size(), 2);
    EXPECT_TRUE(f.installed[0].endsWith(QStringLiteral("/Quorvane.app")));
    EXPECT_TRUE(QFileInfo(f.installed[0]).isDir());
    EXPECT_EQ(f.installed[1], QVMainBundle::bundlePath());
    // Downloaded and unpacked in a folder of its own that only the user can enter.
    EXPECT_EQ(QFileInfo(QFileInfo(f.installed[0]).path()).permissions()
                  & (QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup),
              0);
    EXPECT_TRUE(waitFor([&] { return f.quit; }));
    EXPECT_EQ(f.controller.alert(), nullptr);
    other.unregisterService(QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier));
    QDBusConnection::disconnectFromBus(QStringLiteral("new-instance"));
}

TEST(UpdateController, AFailedInstallOrRelaunchKeepsTheApplicationRunning)
{
    struct Case {
        const char *name;
        bool helperAnswer;
        bool launches;
    };
    const Case cases[] = {{"helper answers NO", false, true},
                          {"new instance never starts", true, true},
                          {"new instance cannot be launched", true, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Quorvane")));
        f.helperAnswer = c.helperAnswer;
        f.launch = [&c](const QString &) { return c.launches; };
        ASSERT_NO_FATAL_FAILURE(f.checkAndDownload());
        ASSERT_TRUE(f.readyToInstall());
        f.controller.installAndRelaunchUpdate();
        EXPECT_EQ(f.alertText(), QStringLiteral("Couldn't update Quorvane."));
        EXPECT_FALSE(f.quit);
        EXPECT_EQ(f.controller.alert()->icon(), QMessageBox::Critical);
    }
}

TEST(UpdateController, RefusesFilesAndArchivesThatAreNotAnUpdate)
{
    struct Case {
        const char *name;
        std::function<void(Fixture &)> arrange;
        QString alert;
    };
    const QString wrongData = QStringLiteral("Wrong file data.");
    const QString wrongFormat = QStringLiteral("Wrong update format.");
    const std::vector<Case> cases = {
        {"two archives",
         [](Fixture &f) {
             f.server.put(QStringLiteral("A.zip"), zipArchive(bundleEntries("A")));
             f.server.put(QStringLiteral("B.zip"), zipArchive(bundleEntries("B")));
         },
         wrongData},
        {"a file changed after the reply",
         [](Fixture &f) { f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Quorvane"))); },
         wrongData},
        {"a corrupt archive",
         [](Fixture &f) {
             f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Quorvane")).left(100));
         },
         wrongFormat},
        {"a folder not named after the archive",
         [](Fixture &f) { f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Other"))); },
         wrongFormat},
        {"not an application",
         [](Fixture &f) {
             f.server.put(QStringLiteral("Quorvane.zip"), zipArchive({{"Quorvane.txt", "text"}}));
         },
         wrongFormat},
        {"an entry leaving the folder",
         [](Fixture &f) {
             QList<ZipEntry> entries = bundleEntries("Quorvane");
             entries.append(ZipEntry{"../escaped", "x"});
             f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(entries));
         },
         wrongFormat},
        {"a link entry made on VMS",
         [](Fixture &f) {
             // Listed as "RWED,RWED,RWED" by unzip -Z, yet unpacked as a link.
             QList<ZipEntry> entries = bundleEntries("Quorvane");
             entries.append(ZipEntry{"Quorvane.app/Contents/MacOS/data", "/etc/shadow", true, 0x021E});
             f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(entries));
         },
         wrongFormat},
        {"an archive announcing more than an update holds",
         [](Fixture &f) {
             QList<ZipEntry> entries = bundleEntries("Quorvane");
             entries.append(
                 ZipEntry{"Quorvane.app/Contents/big", "x", false, 0x031E, QVUpdateProtocol::kMaxUpdateSize});
             f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(entries));
         },
         wrongFormat},
        {"a link entry",
         [](Fixture &f) {
             QList<ZipEntry> entries = bundleEntries("Quorvane");
             entries.append(ZipEntry{"Quorvane.app/Contents/Resources", f.root.path().toUtf8(), true});
             entries.append(ZipEntry{"Quorvane.app/Contents/Resources/planted", "x"});
             f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(entries));
         },
         wrongFormat},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.arrange(f);
        f.controller.startUpdate(false);
        ASSERT_TRUE(f.infoShown());
        if (c.alert == wrongData && std::string(c.name) != "two archives")
            f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Changed")));
        f.controller.installUpdate();
        EXPECT_EQ(f.alertText(), QStringLiteral("%1").arg(c.alert));
        EXPECT_EQ(f.controller.alert()->text(), QStringLiteral("Update Error!"));
        EXPECT_TRUE(f.installed.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(f.root.filePath(QStringLiteral("planted"))));
        EXPECT_FALSE(QFileInfo::exists(QDir::tempPath() + QStringLiteral("/escaped")));
    }
}

TEST(UpdateController, ClicksAndChecksDuringTheInstallChangeNothing)
{
    // While the helper waits for the password the event loop runs: a second
    // click, a new check or Cancel must not start a second request or
    // disturb the first.
    Fixture f;
    f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Quorvane")));
    int requests = 0;
    bool buttonEnabledMeanwhile = true;
    f.helperAnswer = false;
    f.controller.setInstaller([&](const QString &, const QString &) {
        ++requests;
        EXPECT_EQ(f.controller.phase(), QVUpdateController::Phase::Installing);
        buttonEnabledMeanwhile = f.controller.progressUi()->installAndRelaunchButton->isEnabled();
        QEventLoop passwordDialog;
        QTimer::singleShot(50, [&] {
            f.controller.installAndRelaunchUpdate();
            f.controller.startUpdate(false);
            f.controller.cancelUpdate();
            f.controller.progressUi()->installAndRelaunchButton->click();
        });
        QTimer::singleShot(300, &passwordDialog, &QEventLoop::quit);
        passwordDialog.exec();
        return false;
    });
    ASSERT_NO_FATAL_FAILURE(f.checkAndDownload());
    ASSERT_TRUE(f.readyToInstall());
    EXPECT_TRUE(f.controller.progressUi()->installAndRelaunchButton->isEnabled());
    f.controller.installAndRelaunchUpdate();
    EXPECT_EQ(requests, 1);
    EXPECT_FALSE(buttonEnabledMeanwhile);
    EXPECT_EQ(f.alertText(), QStringLiteral("Couldn't update Quorvane."));
    EXPECT_EQ(f.controller.phase(), QVUpdateController::Phase::Idle);
}

TEST(UpdateController, ClosingTheWindowBeforeTheAnswerDropsIt)
{
    Fixture f;
    f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Quorvane")));
    f.controller.startUpdate(false);
    ASSERT_TRUE(f.controller.progressWindow()->isVisible());
    EXPECT_EQ(f.controller.progressUi()->progressTextField->text(), QStringLiteral("Checking for updates…"));
    f.controller.cancelUpdate();
    waitFor([] { return false; }, 800);
    EXPECT_TRUE(!f.controller.updateInfoWindow() || !f.controller.updateInfoWindow()->isVisible());
    EXPECT_EQ(f.controller.alert(), nullptr);
}

TEST(UpdateController, AnUnreachableServiceSaysTryAgainLater)
{
    Fixture f;
    QVUserDefaults::standardUserDefaults().setObject(QStringLiteral("http://127.0.0.1:1"),
                                                     QString::fromLatin1(kQVUpdateServiceKey));
    f.controller.startUpdate(false);
    EXPECT_FALSE(f.alertText().isEmpty());
    EXPECT_EQ(f.controller.window(), f.controller.progressWindow());
    EXPECT_FALSE(f.controller.progressWindow()->isVisible());
}

}  // namespace

namespace {

// With QV_SCREENSHOT_DIR set, saves each window of the update as a PNG there
// to be looked at.
TEST(UpdateController, Screenshots)
{
    const QString folder = qEnvironmentVariable("QV_SCREENSHOT_DIR");
    if (folder.isEmpty())
        GTEST_SKIP() << "QV_SCREENSHOT_DIR not set";
    const QByteArray description =
        R"({\rtf1\ansi\ansicpg1252{\fonttbl\f0\fswiss Helvetica;}{\colortbl;\red0\green0\blue0;\red30\green90\blue180;})"
        R"(\f0\fs28\b\cf2 What\'92s new in Quorvane 2.0\b0\cf0\fs24\par\par)"
        R"(\'95 Messages are scanned up to twice as fast.\par)"
        R"(\'95 The allow and block lists accept whole domains.\par)"
        R"(\'95 Fixed: the junk mailbox is created when it is {\i missing}.\par\par)"
        R"({\fs20 Quorvane 2.0 needs about 40 MB of disk space.}\par})";
    Fixture f;
    f.server.put(QStringLiteral("updateInfo.rtf"), description);
    f.server.put(QStringLiteral("Quorvane.zip"), zipArchive(bundleEntries("Quorvane")));
    f.controller.startUpdate(false);
    f.controller.progressWindow()->grab().save(folder + QStringLiteral("/update-checking.png"));
    ASSERT_TRUE(f.infoShown());
    f.controller.updateInfoWindow()->grab().save(folder + QStringLiteral("/update-info.png"));
    f.controller.installUpdate();
    f.controller.progressUi()->progressIndicator->setValue(f.controller.progressUi()->progressIndicator->maximum() / 3);
    f.controller.progressWindow()->grab().save(folder + QStringLiteral("/update-downloading.png"));
    ASSERT_TRUE(waitFor([&] { return f.readyToInstall(); }));
    f.controller.progressWindow()->grab().save(folder + QStringLiteral("/update-ready.png"));

    Fixture none;
    none.controller.startUpdate(false);
    ASSERT_TRUE(none.infoShown());
    waitFor([] { return false; }, 300);
    none.controller.updateInfoWindow()->grab().save(folder + QStringLiteral("/update-none.png"));
    none.controller.alert()->grab().save(folder + QStringLiteral("/update-none-alert.png"));
    f.helperAnswer = false;
    f.controller.installAndRelaunchUpdate();
    f.controller.alert()->grab().save(folder + QStringLiteral("/update-failed-alert.png"));
}

}  // namespace
