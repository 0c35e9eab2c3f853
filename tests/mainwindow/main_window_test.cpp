#include "fakes.h"

#include "QVMainWindowController.h"
#include "QVSettingsViewController.h"
#include "QVWelcomeViewController.h"
#include "QVUserDefaults.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialog>
#include <QToolButton>

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        defaults().setObject(false, kQVCheckForUpdatesAtLaunchKey);
    }

    static QVUserDefaults &defaults()
    {
        auto &defaults = QVUserDefaults::standardUserDefaults();
        defaults.registerDefaults(QVUserDefaults::applicationDefaults());
        return defaults;
    }

    std::unique_ptr<QVMainWindowController> makeController()
    {
        return std::make_unique<QVMainWindowController>(QVMainWindowServices{&helper, &alerts, &location});
    }

    FakeHelper helper;
    FakeAlerts alerts;
    FakePluginLocation location;
};

TEST_F(MainWindow, TheFirstPageFollowsTheAddressAndThePlugin)
{
    struct Case {
        QString email;
        bool installed;
        int tag;
        bool enabled;
        const char *page;
    };
    const Case cases[] = {
        {QString(), true, -1, false, "QVWelcomeViewController"},
        {QStringLiteral("me@example.com"), false, -1, false, "QVInstallViewController"},
        {QStringLiteral("me@example.com"), true, 1, true, "QVSettingsViewController"},
    };
    for (const Case &c : cases) {
        FakePluginLocation place;
        if (c.installed)
            place.install(QStringLiteral("1"));
        defaults().setObject(c.email.isNull() ? QVariant() : QVariant(c.email), kQVEmailAddressKey);
        QVMainWindowController controller(QVMainWindowServices{&helper, &alerts, &place});
        controller.window();
        EXPECT_EQ(controller.selectedTag(), c.tag) << c.email.toStdString();
        EXPECT_EQ(controller.isToolbarEnabled(), c.enabled) << c.email.toStdString();
        ASSERT_NE(controller.currentController(), nullptr);
        EXPECT_STREQ(controller.currentController()->metaObject()->className(), c.page);
        for (QAbstractButton *button : controller.toolbar()->buttons())
            EXPECT_EQ(button->isEnabled(), c.enabled);
    }
}

TEST_F(MainWindow, ASheetDisablesThePageButtonsButFirstRunPagesKeepThemOff)
{
    auto controller = makeController();
    controller->showWindow();
    ASSERT_EQ(controller->selectedTag(), -1);

    const auto runSheet = [&] {
        QDialog sheet(controller->window());
        sheet.setWindowModality(Qt::WindowModal);
        sheet.show();
        const bool disabledMeanwhile = !controller->isToolbarEnabled();
        sheet.hide();
        return disabledMeanwhile;
    };
    EXPECT_TRUE(runSheet());
    EXPECT_FALSE(controller->isToolbarEnabled());

    controller->settingsPage();
    controller->enableToolbar();
    ASSERT_TRUE(controller->isToolbarEnabled());
    EXPECT_TRUE(runSheet());
    EXPECT_TRUE(controller->isToolbarEnabled());

    // A sheet destroyed while shown ends too.
    auto *sheet = new QDialog(controller->window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->show();
    EXPECT_FALSE(controller->isToolbarEnabled());
    delete sheet;
    EXPECT_TRUE(controller->isToolbarEnabled());
}

TEST_F(MainWindow, APageSwapResizesTheWindowAndKeepsItsTopEdge)
{
    auto controller = makeController();
    controller->showWindow();
    QWidget *window = controller->window();
    auto *small = new QWidget;
    small->resize(360, 220);
    controller->setCurrentController(small);
    const QRect before = window->geometry();

    auto *large = new QWidget;
    large->resize(420, 300);
    controller->setCurrentController(large);
    const QRect after = window->geometry();
    EXPECT_EQ(after.top(), before.top());
    EXPECT_EQ(after.left(), before.left());
    EXPECT_EQ(after.height() - before.height(), 80);
    EXPECT_EQ(after.width() - before.width(), 60);
    EXPECT_EQ(controller->currentController(), large);

    // The page shown again changes nothing.
    controller->setCurrentController(large);
    EXPECT_EQ(window->geometry(), after);
}

TEST_F(MainWindow, InstallAndRemovalTellTheUserAndSignalOnlyOnSuccess)
{
    auto controller = makeController();
    int changed = 0;
    QObject::connect(controller.get(), &QVMainWindowController::mailPluginInstalledChanged, [&] { ++changed; });

    // Nothing carried: nothing asked, nothing shown.
    controller->installMailPlugin();
    EXPECT_TRUE(helper.requests.empty());
    EXPECT_TRUE(alerts.sheets.empty());

    location.carry(QStringLiteral("2"));
    struct Case {
        bool install, answer;
        QString message, informative;
        QVAlert::Style style;
    };
    const Case cases[] = {
        {true, true, QStringLiteral("Quorvane extension for Mail was sucessfully installed."), QString(),
         QVAlert::Style::Informational},
        {true, false, QStringLiteral("Couldn't install Quorvane extension for Mail."), QString(),
         QVAlert::Style::Critical},
        {false, true, QStringLiteral("Quorvane extension for Mail was sucessfully uninstalled."),
         QStringLiteral("You can install the extension later."), QVAlert::Style::Informational},
        {false, false, QStringLiteral("Couldn't uninstall Quorvane extension for Mail."), QString(),
         QVAlert::Style::Critical},
    };
    int successes = 0;
    for (const Case &c : cases) {
        helper.answer = c.answer;
        if (c.install)
            controller->installMailPlugin();
        else
            controller->uninstallMailPlugin();
        successes += c.answer;
        ASSERT_FALSE(helper.requests.empty());
        EXPECT_EQ(helper.requests.back().action, c.install ? QStringLiteral("ACTION_INSTALL_MAIL_PLUGIN")
                                                           : QStringLiteral("ACTION_UNINSTALL_MAIL_PLUGIN"));
        EXPECT_EQ(helper.requests.back().sourcePath, location.bundledPluginPath());
        EXPECT_EQ(helper.requests.back().libraryPath, location.libraryPath());
        ASSERT_FALSE(alerts.sheets.empty());
        EXPECT_EQ(alerts.sheets.back().messageText, c.message);
        EXPECT_EQ(alerts.sheets.back().informativeText, c.informative);
        EXPECT_EQ(alerts.sheets.back().style, c.style);
        EXPECT_EQ(alerts.sheetWindows.back(), controller->window());
        EXPECT_TRUE(controller->window()->isVisible());
        EXPECT_EQ(changed, successes);
    }
    EXPECT_EQ(helper.requests.size(), 4u);
}

TEST_F(MainWindow, ANewerCarriedPluginIsOffered)
{
    struct Case {
        QString installed, carried;
        bool offered;
    };
    const Case cases[] = {
        {QStringLiteral("9"), QStringLiteral("12"), true},
        {QStringLiteral("1.9"), QStringLiteral("1.10"), true},
        {QStringLiteral("12"), QStringLiteral("12"), false},
        {QStringLiteral("12"), QStringLiteral("9"), false},
        {QString(), QStringLiteral("12"), false},
    };
    for (const Case &c : cases) {
        FakeHelper caseHelper;
        FakeAlerts caseAlerts;
        FakePluginLocation place;
        if (!c.installed.isNull())
            place.install(c.installed);
        place.carry(c.carried);
        QVMainWindowController controller(QVMainWindowServices{&caseHelper, &caseAlerts, &place});
        controller.checkPluginVersionAndInsallIfNeed();
        ASSERT_EQ(caseAlerts.modals.size(), c.offered ? 1u : 0u) << c.installed.toStdString();
        EXPECT_EQ(caseHelper.requests.size(), c.offered ? 1u : 0u);
        if (c.offered) {
            EXPECT_EQ(caseAlerts.modals[0].messageText,
                      QStringLiteral("There's new version of Quorvane extension for Mail."));
            EXPECT_EQ(caseAlerts.modals[0].informativeText,
                      QStringLiteral("Highly recommended to install the new plugin."));
            EXPECT_EQ(caseAlerts.modals[0].defaultButtonTitle, QStringLiteral("Install"));
        }
    }
    // Declined: nothing installed.
    location.install(QStringLiteral("1"));
    location.carry(QStringLiteral("2"));
    alerts.modalAnswer = 0;
    makeController()->checkPluginVersionAndInsallIfNeed();
    EXPECT_EQ(alerts.modals.size(), 1u);
    EXPECT_TRUE(helper.requests.empty());
}

}  // namespace

namespace {

TEST_F(MainWindow, TheFirstRunPagesLeadToTheSettingsPage)
{
    auto controller = makeController();
    controller->window();
    defaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    controller->welcomeViewControllerDidEnterEmail(nullptr);
    EXPECT_STREQ(controller->currentController()->metaObject()->className(), "QVInstallViewController");
    EXPECT_FALSE(controller->isToolbarEnabled());

    // The helper refuses: the install page stays.
    location.carry(QStringLiteral("1"));
    helper.answer = false;
    controller->installViewControllerNeedsInstallPlugin(nullptr);
    EXPECT_STREQ(controller->currentController()->metaObject()->className(), "QVInstallViewController");

    // The helper installs (here: the fake puts the bundle in place).
    helper.answer = true;
    location.install(QStringLiteral("1"));
    controller->installViewControllerNeedsInstallPlugin(nullptr);
    EXPECT_STREQ(controller->currentController()->metaObject()->className(), "QVSettingsViewController");
    EXPECT_EQ(controller->selectedTag(), 1);
    EXPECT_TRUE(controller->isToolbarEnabled());

    // Each button makes a new page of its own.
    controller->toolbar()->buttons().at(0)->click();
    EXPECT_STREQ(controller->currentController()->metaObject()->className(), "QVTabsViewController");
    EXPECT_EQ(controller->selectedTag(), 0);
    controller->toolbar()->buttons().at(2)->click();
    EXPECT_STREQ(controller->currentController()->metaObject()->className(), "QVAccountViewController");
    QWidget *account = controller->currentController();
    controller->accountPage();
    EXPECT_NE(controller->currentController(), account);
}

}  // namespace
