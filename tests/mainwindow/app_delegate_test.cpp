#include "fakes.h"

#include "QVAppDelegate.h"
#include "QVCMainWindow.h"
#include "QVDistributedNotificationCenter.h"
#include "QVMainWindowAdaptor.h"
#include "QVMainWindowController.h"
#include "QVSpamManager.h"
#include "QVUserDefaults.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

namespace {

class AppDelegate : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto &defaults = QVUserDefaults::standardUserDefaults();
        defaults.registerDefaults(QVUserDefaults::applicationDefaults());
        defaults.setObject(false, kQVCheckForUpdatesAtLaunchKey);
    }

    void TearDown() override
    {
        if (delegate)
            delegate->applicationWillTerminate();
        delegate.reset();
    }

    void launch(bool hidden = false)
    {
        delegate = std::make_unique<QVAppDelegate>(statusBar, QVDistributedNotificationCenter::defaultCenter(),
                                                   QVMainWindowServices{&helper, &alerts, &location});
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching(hidden);
    }

    QWidget *window() const { return delegate->mainController()->window(); }

    FakeStatusBar statusBar;
    FakeHelper helper;
    FakeAlerts alerts;
    FakePluginLocation location;
    std::unique_ptr<QVAppDelegate> delegate;
};

TEST_F(AppDelegate, TheWindowIsHiddenAtLaunchOnlyOnceTheFirstRunIsDone)
{
    // No address: the welcome page stays on the screen.
    launch();
    EXPECT_TRUE(window()->isVisible());
    EXPECT_FALSE(window()->isMinimized());
    EXPECT_EQ(delegate->mainController()->selectedTag(), -1);
    EXPECT_TRUE(QVSpamManager::sharedInstance() != nullptr);
    delegate->applicationWillTerminate();

    // An address but no plug-in: the install page stays on the screen.
    QVUserDefaults::standardUserDefaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    launch();
    EXPECT_TRUE(window()->isVisible());
    EXPECT_EQ(delegate->mainController()->selectedTag(), -1);
    delegate->applicationWillTerminate();

    // Both, with a tray: only the status item is left.
    location.install(QStringLiteral("1"));
    launch();
    EXPECT_FALSE(window()->isVisible());
    EXPECT_EQ(delegate->mainController()->selectedTag(), 1);
    EXPECT_EQ(statusBar.live, 1);
    EXPECT_FALSE(delegate->mainController()->keepsTaskbarEntry());
}

TEST_F(AppDelegate, WithoutATrayTheWindowIsNeverLeftUnreachable)
{
    QVUserDefaults::standardUserDefaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    location.install(QStringLiteral("1"));
    statusBar.available = false;
    launch(true);
    // Minimized, not hidden: the taskbar entry stays, and closing keeps it.
    EXPECT_TRUE(delegate->mainController()->keepsTaskbarEntry());
    EXPECT_TRUE(window()->isMinimized() || window()->isVisible());
    EXPECT_FALSE(window()->isHidden());
    delegate->mainController()->showWindow();
    window()->close();
    EXPECT_TRUE(waitFor([&] { return !window()->isHidden() && window()->isMinimized(); }));

    // Quitting closes every window first; the main window does not refuse.
    QTimer::singleShot(0, [] { QCoreApplication::quit(); });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

// Without a tray the window carries the application's menu, Quit included,
// and Ctrl+Q quits from the window whether or not there is a tray; the
// window grows by the menu bar, so the page keeps its size.
TEST_F(AppDelegate, TheWindowCarriesTheMenuAndCtrlQWithoutATray)
{
    QVUserDefaults::standardUserDefaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    location.install(QStringLiteral("1"));
    for (const bool tray : {false, true}) {
        SCOPED_TRACE(tray);
        statusBar.available = tray;
        launch();
        QVMainWindowController *controller = delegate->mainController();
        controller->showWindow();
        QAction *quit = nullptr;
        for (QAction *action : window()->actions()) {
            if (action->shortcut() == QKeySequence(QKeySequence::Quit))
                quit = action;
        }
        ASSERT_TRUE(quit) << "Ctrl+Q reaches the window";
        EXPECT_EQ(quit->text(), QStringLiteral("Quit Quorvane"));
        ASSERT_TRUE(controller->menuBar());
        EXPECT_EQ(controller->menuBar()->isVisibleTo(window()), !tray);
        if (!tray) {
            const QList<QAction *> menus = controller->menuBar()->actions();
            ASSERT_EQ(menus.size(), 1);
            EXPECT_TRUE(menus[0]->menu()->actions().contains(quit));
        }
        const int heightBefore = window()->height();
        // Turning the status item off and on shows and hides the bar, and
        // the window grows and shrinks by it.
        if (tray) {
            QVUserDefaults::standardUserDefaults().setObject(false, kQVShowInStatusBarKey);
            EXPECT_TRUE(controller->menuBar()->isVisibleTo(window()));
            EXPECT_EQ(window()->height(), heightBefore + controller->menuBar()->sizeHint().height());
            QVUserDefaults::standardUserDefaults().setObject(true, kQVShowInStatusBarKey);
            EXPECT_FALSE(controller->menuBar()->isVisibleTo(window()));
            EXPECT_EQ(window()->height(), heightBefore);
        }
        delegate->applicationWillTerminate();
        delegate.reset();
    }
}

TEST_F(AppDelegate, TheStatusItemFollowsTheSettingWithoutDuplicates)
{
    auto &defaults = QVUserDefaults::standardUserDefaults();
    launch();
    EXPECT_EQ(statusBar.live, 1);
    delegate->showStatusBar();
    defaults.setObject(true, kQVShowInStatusBarKey);
    EXPECT_EQ(statusBar.live, 1);
    EXPECT_EQ(statusBar.created, 1);

    defaults.setObject(false, kQVShowInStatusBarKey);
    EXPECT_EQ(statusBar.live, 0);
    EXPECT_FALSE(delegate->isStatusItemShown());
    // With no status item the window keeps its taskbar entry.
    EXPECT_TRUE(delegate->mainController()->keepsTaskbarEntry());
    defaults.setObject(true, kQVShowInStatusBarKey);
    EXPECT_EQ(statusBar.live, 1);
    EXPECT_EQ(statusBar.created, 2);

    delegate->applicationWillTerminate();
    EXPECT_EQ(statusBar.live, 0);
    defaults.setObject(false, kQVShowInStatusBarKey);
    defaults.setObject(true, kQVShowInStatusBarKey);
    EXPECT_EQ(statusBar.live, 0);
    delegate.reset();
}

TEST_F(AppDelegate, TheUninstallItemIsEnabledOnlyWhileThePluginIsInstalled)
{
    launch();
    QAction *uninstall = nullptr;
    for (QAction *action : delegate->statusMenu()->actions())
        if (action->text() == QStringLiteral("Uninstall Mail extension"))
            uninstall = action;
    ASSERT_NE(uninstall, nullptr);
    delegate->validateMenuItems();
    EXPECT_FALSE(uninstall->isEnabled());
    location.install(QStringLiteral("1"), QStringLiteral("Bundles (Disabled)"));
    delegate->validateMenuItems();
    EXPECT_TRUE(uninstall->isEnabled());
}

TEST_F(AppDelegate, APageSwitchRequestBringsTheHiddenWindowForward)
{
    QVUserDefaults::standardUserDefaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    location.install(QStringLiteral("1"));
    launch();
    ASSERT_FALSE(window()->isVisible());
    ASSERT_TRUE(QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QStringLiteral("QV_SWITCH_TO_ACCOUNT_PAGE")));
    EXPECT_TRUE(waitFor([&] { return window()->isVisible() && delegate->mainController()->selectedTag() == 2; }));
    ASSERT_TRUE(QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QStringLiteral("QV_SWITCH_TO_SETTINGS_PAGE")));
    EXPECT_TRUE(waitFor([&] { return delegate->mainController()->selectedTag() == 1; }));
}

// A start that keeps the window off the screen (the login item's --hidden,
// or any start after the first run) never shows the window in front nor
// lets it take the focus, whether or not a taskbar entry is kept.
TEST_F(AppDelegate, AHiddenStartNeverShowsOrFocusesTheWindow)
{
    struct ShowWatch final : QObject {
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            auto *window = qobject_cast<QVCMainWindow *>(watched);
            if (window && event->type() == QEvent::Show) {
                ++shows;
                if (!window->isMinimized() || !window->testAttribute(Qt::WA_ShowWithoutActivating))
                    ++inFront;
            }
            return false;
        }
        int shows = 0, inFront = 0;
    };
    struct Case {
        const char *name;
        bool firstRunDone, hidden, tray, dock, statusItem;
        bool minimized;
    };
    const Case cases[] = {
        {"login item, tray", true, true, true, false, true, false},
        {"login item, no tray", true, true, false, false, true, true},
        {"login item, dock", true, true, true, true, true, true},
        {"login item, status item off", true, true, true, false, false, true},
        {"start after the first run, dock", true, false, true, true, true, true},
        {"login item during the first run, no tray", false, true, false, false, true, true},
    };
    auto &defaults = QVUserDefaults::standardUserDefaults();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakePluginLocation place;
        if (c.firstRunDone)
            place.install(QStringLiteral("1"));
        defaults.setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
        defaults.setObject(c.dock, kQVShowInDockKey);
        defaults.setObject(c.statusItem, kQVShowInStatusBarKey);
        statusBar.available = c.tray;
        ShowWatch watch;
        qApp->installEventFilter(&watch);
        delegate = std::make_unique<QVAppDelegate>(statusBar, QVDistributedNotificationCenter::defaultCenter(),
                                                   QVMainWindowServices{&helper, &alerts, &place});
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching(c.hidden);
        waitFor([] { return false; }, 200);
        qApp->removeEventFilter(&watch);
        EXPECT_EQ(watch.inFront, 0);
        EXPECT_EQ(window()->isMinimized(), c.minimized);
        EXPECT_EQ(window()->isHidden(), !c.minimized);
        // The offscreen platform activates every window it shows; a real
        // display with a window manager says whether the focus moved.
        if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
            EXPECT_NE(QApplication::activeWindow(), window());
        }
        // Brought up by the user, it comes to the front as usual.
        delegate->applicationOpenUntitledFile();
        EXPECT_TRUE(window()->isVisible() && !window()->isMinimized());
        EXPECT_FALSE(window()->testAttribute(Qt::WA_ShowWithoutActivating));
        delegate->applicationWillTerminate();
        delegate.reset();
    }
    defaults.removeObjectForKey(kQVShowInDockKey);
    defaults.removeObjectForKey(kQVShowInStatusBarKey);
}

// What the main window shows, read over the bus from another connection, as
// another process would.
TEST_F(AppDelegate, TheBusTellsWhetherTheWindowIsShownAndOnWhichPage)
{
    QObject exported;
    const QString path = QStringLiteral("/org/example/MainWindow");
    ASSERT_TRUE(QDBusConnection::sessionBus().registerObject(path, &exported, QDBusConnection::ExportAdaptors));
    QVUserDefaults::standardUserDefaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    location.install(QStringLiteral("1"));
    launch();
    // Added after the export, as the application adds it: found at call time.
    new QVMainWindowAdaptor(&exported, delegate.get());

    auto other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("reader"));
    const auto read = [&](const char *property) {
        auto message =
            QDBusMessage::createMethodCall(QDBusConnection::sessionBus().baseService(), path,
                                           QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        message << QStringLiteral("org.quorvane.Quorvane.MainWindow") << QString::fromLatin1(property);
        QDBusPendingReply<QDBusVariant> reply = other.asyncCall(message);
        waitFor([&] { return reply.isFinished(); });
        return reply.isValid() ? reply.value().variant() : QVariant();
    };
    // Hidden at launch, on the settings page.
    EXPECT_EQ(read("Visible"), QVariant(false));
    EXPECT_EQ(read("SelectedPage"), QVariant(1));
    delegate->activateAndShowAccountPage();
    EXPECT_EQ(read("Visible"), QVariant(true));
    EXPECT_EQ(read("SelectedPage"), QVariant(2));
    delegate->mainController()->orderOut();
    EXPECT_EQ(read("Visible"), QVariant(false));

    QDBusConnection::disconnectFromBus(QStringLiteral("reader"));
    QDBusConnection::sessionBus().unregisterObject(path);
}

}  // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
