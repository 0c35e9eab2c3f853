#include "fakes.h"

#include "QVBundleExtensions.h"
#include "QVListFile.h"
#include "QVMailList.h"
#include "QVMainWindowController.h"
#include "QVSettingsViewController.h"
#include "QVViewController.h"
#include "QVWelcomeViewController.h"
#include "QVUserDefaults.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCursor>
#include <QDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QToolButton>

#include <unistd.h>

namespace {

using Page = QVMainWindowController::Page;
using Answer = QVMailPluginHelper::Answer;

// Runs the event loop's posted work, deferred deletions included.
void settle()
{
    for (int round = 0; round < 3; ++round) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        defaults().setObject(false, kQVCheckForUpdatesAtLaunchKey);
        defaults().removeObjectForKey(kQVEmailAddressKey);
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

    // A controller past the first run, on the settings page.
    std::unique_ptr<QVMainWindowController> makeSettledController()
    {
        defaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
        location.install(QStringLiteral("1"));
        auto controller = makeController();
        controller->showWindow();
        return controller;
    }

    static const char *pageClass(const QVMainWindowController &controller)
    {
        return controller.currentController() ? controller.currentController()->metaObject()->className() : "";
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
        EXPECT_STREQ(pageClass(controller), c.page);
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

    defaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    location.install(QStringLiteral("1"));
    controller->welcomeViewControllerDidEnterEmail(nullptr);
    ASSERT_TRUE(controller->isToolbarEnabled());
    EXPECT_TRUE(runSheet());
    EXPECT_TRUE(controller->isToolbarEnabled());

    // A sheet destroyed while shown ends too; two sheets end with the last.
    auto *first = new QDialog(controller->window());
    first->setWindowModality(Qt::WindowModal);
    first->show();
    auto *second = new QMessageBox(controller->window());
    second->setWindowModality(Qt::WindowModal);
    second->show();
    EXPECT_FALSE(controller->isToolbarEnabled());
    delete second;
    EXPECT_FALSE(controller->isToolbarEnabled());
    // Asking for the buttons while a sheet is up changes nothing.
    controller->enableToolbar();
    EXPECT_FALSE(controller->isToolbarEnabled());
    delete first;
    EXPECT_TRUE(controller->isToolbarEnabled());
    for (QAbstractButton *button : controller->toolbar()->buttons())
        EXPECT_TRUE(button->isEnabled());
}

TEST_F(MainWindow, APageSwapFitsTheWindowToThePageAndKeepsItsTopEdge)
{
    auto controller = makeController();
    controller->showWindow();
    QWidget *window = controller->window();
    const int band = qRound(controller->window()->titleBarHeight());
    const auto page = [](int width, int height) {
        auto *widget = new QWidget;
        widget->resize(width, height);
        return widget;
    };
    controller->setCurrentController(page(360, 220));
    const QRect small = window->geometry();
    EXPECT_EQ(small.size(), QSize(360, 220 + band));

    QWidget *large = page(420, 300);
    controller->setCurrentController(large);
    const QRect after = window->geometry();
    EXPECT_EQ(after.topLeft(), small.topLeft());
    EXPECT_EQ(after.size(), QSize(420, 300 + band));
    EXPECT_EQ(controller->currentController(), large);

    // The page shown again changes nothing.
    controller->setCurrentController(large);
    EXPECT_EQ(window->geometry(), after);

    // The same size whatever page came before.
    controller->setCurrentController(page(360, 220));
    EXPECT_EQ(window->geometry(), small);
}

// A window given a position before it is first shown is put there, title
// bar and all, instead of where the window manager puts new windows.
TEST_F(MainWindow, TheWindowLeavesItsFirstPlacementToTheWindowManager)
{
    auto controller = makeSettledController();
    controller->requestPage(Page::Filters);
    settle();
    EXPECT_FALSE(controller->window()->testAttribute(Qt::WA_Moved));
}

TEST_F(MainWindow, EachPageHasOneWindowSizeWhateverCameBefore)
{
    auto controller = makeSettledController();
    QWidget *window = controller->window();
    std::map<Page, QSize> sizes;
    const Page order[] = {Page::Settings, Page::Filters, Page::Account, Page::Settings,
                          Page::Account,  Page::Filters, Page::Settings};
    for (Page page : order) {
        controller->requestPage(page);
        settle();
        ASSERT_EQ(controller->currentPage(), page);
        const auto [known, added] = sizes.emplace(page, window->size());
        EXPECT_EQ(window->size(), known->second) << int(page);
    }
}

TEST_F(MainWindow, InstallAndRemovalSayWhatHappenedAndSignalOnlyOnSuccess)
{
    auto controller = makeController();
    int changed = 0;
    QObject::connect(controller.get(), &QVMainWindowController::mailPluginInstalledChanged, [&] { ++changed; });

    // Nothing carried: the helper is not asked, and the user learns why.
    controller->installMailPlugin();
    EXPECT_TRUE(helper.requests.empty());
    ASSERT_EQ(alerts.sheets.size(), 1u);
    EXPECT_EQ(alerts.sheets[0].messageText, QStringLiteral("Couldn't install Quorvane extension for Mail."));
    EXPECT_TRUE(alerts.sheets[0].informativeText.contains(location.bundledPluginPath()));
    alerts.sheets.clear();

    location.carry(QStringLiteral("2"));
    struct Case {
        bool install;
        Answer answer;
        QString message;
        bool explained;
        QVAlert::Style style;
    };
    const QString installed = QStringLiteral("Quorvane extension for Mail was sucessfully installed.");
    const QString notInstalled = QStringLiteral("Couldn't install Quorvane extension for Mail.");
    const QString uninstalled = QStringLiteral("Quorvane extension for Mail was sucessfully uninstalled.");
    const QString notUninstalled = QStringLiteral("Couldn't uninstall Quorvane extension for Mail.");
    const Case cases[] = {
        {true, Answer::Done, installed, false, QVAlert::Style::Informational},
        {true, Answer::Refused, notInstalled, true, QVAlert::Style::Critical},
        {true, Answer::NotReached, notInstalled, true, QVAlert::Style::Critical},
        {false, Answer::Done, uninstalled, true, QVAlert::Style::Informational},
        {false, Answer::Refused, notUninstalled, true, QVAlert::Style::Critical},
        {false, Answer::NotReached, notUninstalled, true, QVAlert::Style::Critical},
    };
    int successes = 0;
    QStringList reasons;
    for (const Case &c : cases) {
        helper.answer = c.answer;
        if (c.install)
            controller->installMailPlugin();
        else
            controller->uninstallMailPlugin();
        successes += c.answer == Answer::Done;
        ASSERT_FALSE(helper.requests.empty());
        EXPECT_EQ(helper.requests.back().action,
                  c.install ? QStringLiteral("ACTION_INSTALL_MAIL_PLUGIN")
                            : QStringLiteral("ACTION_UNINSTALL_MAIL_PLUGIN"));
        EXPECT_EQ(helper.requests.back().sourcePath, location.bundledPluginPath());
        EXPECT_EQ(helper.requests.back().libraryPath, location.libraryPath());
        ASSERT_FALSE(alerts.sheets.empty());
        EXPECT_EQ(alerts.sheets.back().messageText, c.message);
        EXPECT_EQ(!alerts.sheets.back().informativeText.isEmpty(), c.explained);
        EXPECT_EQ(alerts.sheets.back().style, c.style);
        EXPECT_EQ(alerts.sheetWindows.back(), controller->window());
        EXPECT_TRUE(controller->window()->isVisible());
        EXPECT_EQ(changed, successes);
        if (c.answer != Answer::Done)
            reasons << alerts.sheets.back().informativeText;
    }
    EXPECT_EQ(helper.requests.size(), 6u);
    // A refusal and a missing permission read differently.
    EXPECT_NE(reasons[0], reasons[1]);
}

// On a fresh account the data folder has no Library folder; the helper, as
// root, refuses one that is missing or not the user's own.
TEST_F(MainWindow, InstallMakesTheUsersLibraryFolderFirstAndRefusesOneThatIsNot)
{
    location.carry(QStringLiteral("1"));
    auto controller = makeController();
    ASSERT_FALSE(QFileInfo::exists(location.libraryPath()));
    controller->installMailPlugin();
    ASSERT_EQ(helper.requests.size(), 1u);
    for (const QString &folder : {QString(), QStringLiteral("/Mail"), QStringLiteral("/Mail/Bundles")}) {
        const QFileInfo made(location.libraryPath() + folder);
        EXPECT_TRUE(made.isDir() && !made.isSymLink()) << folder.toStdString();
        EXPECT_EQ(made.ownerId(), ::getuid()) << folder.toStdString();
    }

    // A Library folder that is a link elsewhere (another user's folder, say),
    // or a file in the way: the helper is not asked, and the user learns why.
    QTemporaryDir elsewhere;
    struct Case {
        const char *name;
        std::function<void(const QString &)> make;
    };
    const Case cases[] = {
        {"link", [&](const QString &path) { QFile::link(elsewhere.path(), path); }},
        {"file",
         [](const QString &path) {
             QFile file(path);
             file.open(QIODevice::WriteOnly);
         }},
        {"link below",
         [&](const QString &path) {
             QDir().mkpath(path);
             QFile::link(elsewhere.path(), path + QStringLiteral("/Mail"));
         }},
    };
    for (const Case &c : cases) {
        FakeHelper caseHelper;
        FakeAlerts caseAlerts;
        FakePluginLocation place;
        place.carry(QStringLiteral("1"));
        c.make(place.libraryPath());
        QVMainWindowController caseController(QVMainWindowServices{&caseHelper, &caseAlerts, &place});
        caseController.installMailPlugin();
        EXPECT_TRUE(caseHelper.requests.empty()) << c.name;
        ASSERT_EQ(caseAlerts.sheets.size(), 1u) << c.name;
        EXPECT_EQ(caseAlerts.sheets[0].style, QVAlert::Style::Critical) << c.name;
        EXPECT_FALSE(caseAlerts.sheets[0].informativeText.isEmpty()) << c.name;
    }
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
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

TEST_F(MainWindow, TheFirstRunPagesLeadToTheSettingsPage)
{
    auto controller = makeController();
    controller->window();
    defaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    controller->welcomeViewControllerDidEnterEmail(nullptr);
    EXPECT_STREQ(pageClass(*controller), "QVInstallViewController");
    EXPECT_FALSE(controller->isToolbarEnabled());

    // The helper refuses: the install page stays.
    location.carry(QStringLiteral("1"));
    helper.answer = Answer::Refused;
    controller->installViewControllerNeedsInstallPlugin(nullptr);
    EXPECT_STREQ(pageClass(*controller), "QVInstallViewController");

    // The helper installs (here: the fake puts the bundle in place).
    helper.answer = Answer::Done;
    location.install(QStringLiteral("1"));
    controller->installViewControllerNeedsInstallPlugin(nullptr);
    EXPECT_STREQ(pageClass(*controller), "QVSettingsViewController");
    EXPECT_EQ(controller->selectedTag(), 1);
    EXPECT_TRUE(controller->isToolbarEnabled());

    // The buttons switch pages; the page shown is kept when asked again.
    controller->toolbar()->buttons().at(0)->click();
    EXPECT_TRUE(waitFor([&] { return controller->currentPage() == Page::Filters; }));
    EXPECT_EQ(controller->selectedTag(), 0);
    controller->toolbar()->buttons().at(2)->click();
    EXPECT_TRUE(waitFor([&] { return controller->currentPage() == Page::Account; }));
    QWidget *account = controller->currentController();
    controller->accountPage();
    settle();
    EXPECT_EQ(controller->currentController(), account);
}

// An install asked for from elsewhere (the status menu) also ends the
// install page.
TEST_F(MainWindow, AnInstallFromAnywhereEndsTheInstallPage)
{
    defaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    location.carry(QStringLiteral("1"));
    auto controller = makeController();
    controller->showWindow();
    ASSERT_EQ(controller->currentPage(), Page::Install);
    location.install(QStringLiteral("1"));
    controller->installMailPlugin();
    EXPECT_EQ(controller->currentPage(), Page::Settings);
    EXPECT_TRUE(controller->isToolbarEnabled() || !alerts.sheets.empty());
}

// Whatever asks for a page (the buttons, the status menu, a peer's request)
// during the first run, the first-run page stays with its buttons off.
TEST_F(MainWindow, TheFirstRunPagesStayWhateverAsksForAPage)
{
    for (const bool withAddress : {false, true}) {
        defaults().setObject(withAddress ? QVariant(QStringLiteral("me@example.com")) : QVariant(), kQVEmailAddressKey);
        auto controller = makeController();
        controller->showWindow();
        const Page firstRun = withAddress ? Page::Install : Page::Welcome;
        ASSERT_EQ(controller->currentPage(), firstRun);
        QWidget *shown = controller->currentController();
        controller->settingsPage();
        controller->accountPage();
        controller->filtersPage();
        controller->requestPage(Page::Welcome);
        settle();
        EXPECT_EQ(controller->currentPage(), firstRun);
        EXPECT_EQ(controller->currentController(), shown);
        EXPECT_EQ(controller->selectedTag(), -1);
        EXPECT_FALSE(controller->isToolbarEnabled());
        for (QAbstractButton *button : controller->toolbar()->buttons())
            EXPECT_FALSE(button->isEnabled());
    }
}

// A flood of page requests (any peer on the bus can send them) builds one
// page, the last one asked for, and leaves no other page behind.
TEST_F(MainWindow, ABurstOfPageRequestsCostsOneSwitch)
{
    auto controller = makeSettledController();
    settle();
    struct PageCounter final : QObject {
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::ChildAdded
                && qobject_cast<QVViewController *>(static_cast<QChildEvent *>(event)->child()))
                ++added;
            return false;
        }
        int added = 0;
    } counter;
    controller->window()->contentView()->installEventFilter(&counter);
    for (int request = 0; request < 10'000; ++request)
        controller->requestPage(request % 2 ? Page::Filters : Page::Account);
    settle();
    EXPECT_EQ(counter.added, 1);
    EXPECT_EQ(controller->currentPage(), Page::Filters);
    EXPECT_EQ(controller->window()->contentView()->findChildren<QVViewController *>(Qt::FindDirectChildrenOnly).size(),
              1);

    // The page already shown: nothing is built.
    for (int request = 0; request < 1'000; ++request)
        controller->filtersPage();
    settle();
    EXPECT_EQ(counter.added, 1);
    controller->window()->contentView()->removeEventFilter(&counter);
}

// Closing the window with a sheet up and deleting the controller ends
// cleanly: nothing of the controller runs on a half-destroyed window.
TEST_F(MainWindow, TheControllerGoesWithItsWindowAndOpenSheets)
{
    auto controller = makeSettledController();
    auto *sheet = new QMessageBox(controller->window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->show();
    controller->requestPage(Page::Account);
    controller.reset();
    settle();
    SUCCEED();
}

}  // namespace

// A damaged list is repaired at start-up, before any window: the user hears
// of it once, on a sheet over the window once it is on the screen.
TEST_F(MainWindow, ADamagedListIsToldOnceTheWindowIsShown)
{
    QVListFile::takeSetAsideFiles();
    const QString path = QVNSBundleExtensions::applicationSupportDirectory() + QStringLiteral("/BlackList.plist");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<?xml version=\"1.0\"?><plist><array><string>kept.example</string><string>cut o");
    file.close();
    {
        QVMailList list(QStringLiteral("BlackList"));
        ASSERT_EQ(list.numberOfItems(), 1);
    }
    defaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    location.install(QStringLiteral("1"));
    auto controller = makeController();
    controller->orderOut();
    settle();
    EXPECT_TRUE(alerts.sheets.empty()) << "nobody would see it";

    controller->showWindow();
    ASSERT_TRUE(waitFor([&] { return !alerts.sheets.empty(); }));
    ASSERT_EQ(alerts.sheets.size(), 1u);
    EXPECT_TRUE(alerts.sheets[0].informativeText.contains(QStringLiteral("Blacklist")));
    EXPECT_TRUE(alerts.sheets[0].informativeText.contains(QStringLiteral("the one entry that could be read was kept")));
    EXPECT_TRUE(alerts.sheets[0].informativeText.contains(path + QStringLiteral(".corrupt")));
    controller->orderOut();
    controller->showWindow();
    settle();
    EXPECT_EQ(alerts.sheets.size(), 1u) << "told once";
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".corrupt"));
}

// A sheet takes the pointer from a page button without the button hearing
// it leave or the press end: once the sheet is gone the buttons are drawn
// plain, not raised, until the pointer comes back.
TEST_F(MainWindow, PageButtonsAreDrawnPlainAfterASheet)
{
    auto controller = makeSettledController();
    ASSERT_TRUE(controller->isToolbarEnabled());
    QCursor::setPos(controller->window()->mapToGlobal(QPoint(-100, -100)));
    {
        QDialog sheet(controller->window());
        sheet.setWindowModality(Qt::WindowModal);
        sheet.show();
        for (QAbstractButton *button : controller->toolbar()->buttons()) {
            button->setAttribute(Qt::WA_UnderMouse, true);
            button->setDown(true);
        }
    }
    ASSERT_TRUE(controller->isToolbarEnabled());
    for (QAbstractButton *button : controller->toolbar()->buttons()) {
        EXPECT_FALSE(button->isDown()) << button->text().toStdString();
        EXPECT_FALSE(button->underMouse()) << button->text().toStdString();
    }
}
