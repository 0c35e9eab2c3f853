#include "support.h"

#include "page_host.h"

#include "QVAccountViewController.h"
#include "QVAddEmailOrDomainDialog.h"
#include "QVBundleExtensions.h"
#include "QVButtonCell.h"
#include "QVChangeUserEmailDialog.h"
#include "QVFUndertableControl.h"
#include "QVLanguageList.h"
#include "QVLanguageListViewController.h"
#include "QVListFile.h"
#include "QVListViewController.h"
#include "QVLogger.h"
#include "QVMailList.h"
#include "QVMailPluginController.h"
#include "QVNSImage.h"
#include "QVSettingsViewController.h"
#include "QVTabsViewController.h"
#include "QVUserDefaults.h"
#include "QVWelcomeViewController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QLineEdit>
#include <QMessageBox>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>

#include <gtest/gtest.h>

namespace {

const QString emailKey = QString::fromLatin1(kQVEmailAddressKey);
const QString dockKey = QString::fromLatin1(kQVShowInDockKey);
const QString statusBarKey = QString::fromLatin1(kQVShowInStatusBarKey);

class Pages : public testing::Test {
protected:
    void SetUp() override
    {
        QVUserDefaults &defaults = QVUserDefaults::standardUserDefaults();
        defaults.registerDefaults(QVUserDefaults::applicationDefaults());
        for (const QString &key : {emailKey, dockKey, statusBarKey})
            defaults.removeObjectForKey(key);
        host.show();
    }

    // Each case reads and writes list files of its own.
    ScratchDataHome dataHome;
    QVUserDefaults &defaults = QVUserDefaults::standardUserDefaults();
    PageHost host;
};

TEST_F(Pages, ListPageRemovesEverySelectedRowInOneChange)
{
    QVMailList list(QStringLiteral("BlackList"));
    for (const char *entry : {"a@example.com", "b.example.com", "c@example.com", "d.example.com"})
        list.addItem(QString::fromLatin1(entry));
    auto *page = new QVListViewController(&list);
    host.showPage(page, 0);
    QAbstractButton *minus = page->undertableControl()->minusButton();
    EXPECT_FALSE(minus->isEnabled());
    EXPECT_TRUE(page->hasItems());

    int changes = 0;
    QObject::connect(&list, &QVMailList::VQMailListDidChange, page, [&] { ++changes; });
    page->removeItem();
    EXPECT_EQ(changes, 0);

    QItemSelectionModel *selection = page->tableView()->selectionModel();
    QAbstractItemModel *model = page->tableView()->model();
    selection->select(model->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection->select(model->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    EXPECT_TRUE(minus->isEnabled());
    minus->click();
    EXPECT_EQ(changes, 1);
    ASSERT_EQ(list.numberOfItems(), 2);
    EXPECT_EQ(list.itemAtIndex(0), QStringLiteral("b.example.com"));
    EXPECT_EQ(list.itemAtIndex(1), QStringLiteral("d.example.com"));
    EXPECT_EQ(model->rowCount(), 2);
    EXPECT_FALSE(minus->isEnabled());
}

TEST_F(Pages, ListPageReloadsWhenTheListChangesElsewhere)
{
    QVMailList list(QStringLiteral("WhiteList"));
    auto *page = new QVListViewController(&list);
    host.showPage(page, 0);
    EXPECT_FALSE(page->hasItems());
    EXPECT_EQ(page->tableView()->model()->rowCount(), 0);

    int announced = 0;
    QObject::connect(page, &QVListViewController::hasItemsChanged, page, [&] { ++announced; });
    list.addItem(QStringLiteral("Friend@Example.com"));
    EXPECT_EQ(announced, 1);
    ASSERT_EQ(page->tableView()->model()->rowCount(), 1);
    EXPECT_EQ(page->tableView()->model()->index(0, 0).data().toString(), QStringLiteral("friend@example.com"));
    EXPECT_TRUE(page->hasItems());
}

TEST_F(Pages, ListPageAddsWhatTheDialogConfirms)
{
    QVMailList list(QStringLiteral("BlackList"));
    auto *page = new QVListViewController(&list);
    host.showPage(page, 0);
    page->undertableControl()->plusButton()->click();
    ASSERT_TRUE(page->addDialog());
    page->addDialog()->setItem(QStringLiteral("*@spam.example.com"));
    page->addDialog()->okClick();
    ASSERT_EQ(list.numberOfItems(), 1);
    EXPECT_EQ(page->tableView()->model()->rowCount(), 1);

    page->addItem();
    page->addDialog()->setItem(QStringLiteral("other.example.com"));
    page->addDialog()->cancelClick();
    EXPECT_EQ(list.numberOfItems(), 1);
}

TEST_F(Pages, LanguagePageNamesFlagsAndSavesEachChoice)
{
    const QString file = QVNSBundleExtensions::applicationSupportDirectory() + QStringLiteral("/LanguageList.plist");
    ASSERT_TRUE(QVListFile::write(file,
                                  QVariantList{QVariantMap{{QStringLiteral("languageCode"), QStringLiteral("qqq")},
                                                           {QStringLiteral("languageUsage"), 0}},
                                               QVariantMap{{QStringLiteral("languageCode"), QStringLiteral("pt-BR")},
                                                           {QStringLiteral("languageUsage"), 2}}}));
    QVLanguageList list;
    auto *page = new QVLanguageListViewController(list);
    host.showPage(page, 0);
    ASSERT_EQ(page->numberOfRows(), 2);

    int qqq = -1, brazil = -1;
    for (int row = 0; row < 2; ++row)
        (list.itemAtIndex(row).languageCode() == QStringLiteral("qqq") ? qqq : brazil) = row;
    const auto value = [&](const char *column, int row) {
        return page->objectValueForTableColumn(QString::fromLatin1(column), row);
    };
    EXPECT_EQ(value("EnglishName", qqq).toString(), QStringLiteral("Wrong code: qqq"));
    EXPECT_EQ(value("EnglishName", brazil).toString(), QStringLiteral("Portuguese (Brazil)"));
    EXPECT_EQ(value("Flag", brazil).value<QImage>(), QVNSImage::imageNamedYosemite(QStringLiteral("pt")));
    EXPECT_TRUE(value("Flag", qqq).value<QImage>().isNull()
                == QVNSImage::imageNamedYosemite(QStringLiteral("qq")).isNull());
    EXPECT_EQ(value("State", brazil).toInt(), 2);
    EXPECT_FALSE(value("Other", brazil).isValid());

    EXPECT_TRUE(QVLanguageListViewController::flagImageForLanguageCode(QStringLiteral("xx")).isNull());
    EXPECT_FALSE(QVLanguageListViewController::flagImageForLanguageCode(QStringLiteral("zh-TW")).isNull());

    // Choosing in the table writes the file at once.
    auto *usage = qobject_cast<QComboBox *>(page->tableView()->cellWidget(qqq, 2));
    ASSERT_TRUE(usage);
    EXPECT_EQ(usage->currentIndex(), 0);
    usage->setCurrentIndex(1);
    emit usage->activated(1);
    EXPECT_EQ(list.usageTypeForLanguageCode(QStringLiteral("qqq")), 1);
    const QVListFile::Contents stored = QVListFile::read(file);
    ASSERT_EQ(stored.status, QVListFile::Contents::Loaded);
    bool found = false;
    for (const QVariant &entry : stored.items) {
        const QVariantMap item = entry.toMap();
        if (item.value(QStringLiteral("languageCode")) == QStringLiteral("qqq")) {
            EXPECT_EQ(item.value(QStringLiteral("languageUsage")).toInt(), 1);
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(Pages, TabsPageShowsItsChildrenUnderTheirNames)
{
    QVMailList black(QStringLiteral("BlackList")), white(QStringLiteral("WhiteList"));
    QVLanguageList languages;
    auto *tabs = new QVTabsViewController;
    tabs->addTabNamed(QStringLiteral("Blacklist"), new QVListViewController(&black));
    tabs->addTabNamed(QStringLiteral("Whitelist"), new QVListViewController(&white));
    tabs->addTabNamed(QStringLiteral("Language Filters"), new QVLanguageListViewController(languages));
    host.showPage(tabs, 0);
    ASSERT_EQ(tabs->tabView()->count(), 3);
    EXPECT_EQ(tabs->tabView()->tabText(2), QStringLiteral("Language Filters"));
    tabs->selectTabWithName(QStringLiteral("Whitelist"));
    EXPECT_EQ(tabs->tabView()->currentIndex(), 1);
    EXPECT_EQ(tabs->tabView()->currentWidget(), tabs->viewControllerNamed(QStringLiteral("Whitelist")));
}

class FakePluginController final : public QObject, public QVMailPluginController {
    Q_OBJECT

public:
    bool installed = false;
    int installs = 0, removals = 0;

    bool isMailPluginInstalled() const override { return installed; }
    void installMailPlugin() override { ++installs; }
    void uninstallMailPlugin() override { ++removals; }
    QMetaObject::Connection observeMailPluginInstalled(QObject *context, std::function<void()> handler) override
    {
        return connect(this, &FakePluginController::installedChanged, context, std::move(handler));
    }
    void setInstalled(bool value)
    {
        installed = value;
        emit installedChanged();
    }

signals:
    void installedChanged();
};

TEST_F(Pages, TurningTheDockIconOffTurnsTheStatusItemOn)
{
    FakePluginController plugin;
    auto *page = new QVSettingsViewController(&plugin);
    host.showPage(page, 1);
    auto *dock = page->findChild<QCheckBox *>(QStringLiteral("showInDockCheckBox"));
    auto *statusBar = page->findChild<QCheckBox *>(QStringLiteral("showInStatusBarCheckBox"));
    ASSERT_TRUE(dock && statusBar);

    defaults.setObject(true, dockKey);
    EXPECT_TRUE(dock->isChecked());
    statusBar->click();
    EXPECT_FALSE(defaults.boolForKey(statusBarKey));
    dock->click();
    EXPECT_FALSE(defaults.boolForKey(dockKey));
    EXPECT_TRUE(defaults.boolForKey(statusBarKey));
    EXPECT_TRUE(statusBar->isChecked());

    // With the status item on, turning the Dock icon off changes nothing else.
    defaults.setObject(true, dockKey);
    int changes = 0;
    QObject::connect(&defaults, &QVUserDefaults::changed, page, [&](const QString &key) {
        if (key == statusBarKey)
            ++changes;
    });
    defaults.setObject(false, dockKey);
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(defaults.boolForKey(statusBarKey));
}

// A check box shows a setting as the application reads it (boolForKey),
// whatever form the stored value takes; unticking writes a plain false.
TEST_F(Pages, SettingsCheckBoxesAgreeWithBoolForKey)
{
    const QVariant stored[] = {QStringLiteral("no"),
                               QStringLiteral("off"),
                               QStringLiteral("NO"),
                               QStringLiteral("0"),
                               QStringLiteral(""),
                               QStringLiteral("yes"),
                               QStringLiteral("1"),
                               QStringLiteral("true"),
                               QStringLiteral(" TRUE "),
                               QStringLiteral("2.5"),
                               0,
                               1,
                               false,
                               true};
    for (const QVariant &value : stored) {
        SCOPED_TRACE(value.toString().toStdString());
        defaults.setObject(value, statusBarKey);
        auto *page = new QVSettingsViewController(nullptr);
        host.showPage(page, 1);
        auto *statusBar = page->findChild<QCheckBox *>(QStringLiteral("showInStatusBarCheckBox"));
        ASSERT_TRUE(statusBar);
        EXPECT_EQ(statusBar->isChecked(), defaults.boolForKey(statusBarKey));
        // Changed elsewhere while the page is shown.
        defaults.setObject(value, dockKey);
        auto *dock = page->findChild<QCheckBox *>(QStringLiteral("showInDockCheckBox"));
        EXPECT_EQ(dock->isChecked(), defaults.boolForKey(dockKey));
    }
}

// Without an update service the check at launch would do nothing: it is not
// shown ticked, cannot be ticked, and the page says why.
TEST_F(Pages, TheUpdateCheckIsOffWithoutAnUpdateService)
{
    const QString serviceKey = QString::fromLatin1(kQVUpdateServiceKey);
    for (const bool configured : {false, true}) {
        SCOPED_TRACE(configured);
        defaults.setObject(configured ? QStringLiteral("https://updates.example/") : QString(), serviceKey);
        defaults.setObject(true, QString::fromLatin1(kQVCheckForUpdatesAtLaunchKey));
        auto *page = new QVSettingsViewController(nullptr);
        host.showPage(page, 1);
        auto *check = page->findChild<QCheckBox *>(QStringLiteral("checkForUpdatesCheckBox"));
        auto *note = page->findChild<QLabel *>(QStringLiteral("noUpdateServiceLabel"));
        ASSERT_TRUE(check && note);
        EXPECT_EQ(check->isChecked(), configured);
        EXPECT_EQ(check->isEnabled(), configured);
        EXPECT_EQ(note->isVisibleTo(page), !configured);
    }
    defaults.removeObjectForKey(serviceKey);
    defaults.removeObjectForKey(QString::fromLatin1(kQVCheckForUpdatesAtLaunchKey));
}

// The level shown is the one in force: a stored value outside 0..4 (a
// hand-edited or corrupt file) works as the middle threshold, 50.
TEST_F(Pages, SettingsPageShowsTheDetectionLevelInForce)
{
    const QString key = QString::fromLatin1(kQVSpamDetectionThresholdKey);
    const struct {
        QVariant stored;
        int shown;
    } cases[] = {{0, 0}, {4, 4}, {3.9, 3}, {50, 2}, {-1, 2}, {QStringLiteral("high"), 2}};
    for (const auto &c : cases) {
        defaults.setObject(c.stored, key);
        auto *page = new QVSettingsViewController(nullptr);
        host.showPage(page, 1);
        auto *level = page->findChild<QComboBox *>(QStringLiteral("detectionLevelCombo"));
        ASSERT_TRUE(level);
        EXPECT_EQ(level->currentIndex(), c.shown) << c.stored.toString().toStdString();
    }
    defaults.removeObjectForKey(key);
}

TEST_F(Pages, PluginButtonFollowsTheInstalledState)
{
    FakePluginController plugin;
    auto *page = new QVSettingsViewController(&plugin);
    host.showPage(page, 1);
    QAbstractButton *button = page->installOrUninstallPluginButton();
    EXPECT_EQ(button->text(), QStringLiteral("Install Mail extension"));
    button->click();
    EXPECT_EQ(plugin.installs, 1);
    plugin.setInstalled(true);
    EXPECT_EQ(button->text(), QStringLiteral("Uninstall Mail extension"));
    button->click();
    EXPECT_EQ(plugin.removals, 1);
}

// The archive goes to the desktop folder, made when missing; a failed
// archive says so on the window and gives the button back; an archive no
// file manager can show is named on the window.
TEST_F(Pages, CollectLogsMakesTheDesktopFolderAndTellsOfAFailure)
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    QVLogCore(QStringLiteral("a line to collect"));
    struct Case {
        const char *name;
        bool blocked;
        bool opens;  // a folder opener is there
    };
    for (const Case &c : {Case{"no desktop folder yet", false, true}, Case{"a file in the folder's place", true, true},
                          Case{"no file manager", false, false}}) {
        SCOPED_TRACE(c.name);
        QDir(desktop).removeRecursively();
        QFile::remove(desktop);
        if (c.blocked) {
            QFile blocker(desktop);
            ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
        }
        auto *page = new QVSettingsViewController(nullptr);
        page->setFolderOpenerForTesting([opens = c.opens](const QUrl &) { return opens; });
        host.showPage(page, 1);
        bool finished = false, succeeded = false;
        QObject::connect(page, &QVSettingsViewController::logArchiveFinished, page, [&](bool success, const QString &) {
            finished = true;
            succeeded = success;
        });
        page->collectLogsButton()->click();
        EXPECT_FALSE(page->collectLogsButton()->isEnabled());
        ASSERT_TRUE(waitUntil([&] { return finished; }, 30'000));
        EXPECT_TRUE(page->collectLogsButton()->isEnabled());
        QMessageBox *alert = host.findChild<QMessageBox *>();
        if (c.blocked) {
            EXPECT_FALSE(succeeded);
            ASSERT_TRUE(alert);
            EXPECT_EQ(alert->text(), QStringLiteral("Couldn't collect the log files."));
            EXPECT_TRUE(alert->informativeText().contains(desktop));
            alert->close();
            ASSERT_TRUE(waitUntil([&] { return !host.findChild<QMessageBox *>(); }));
        } else if (c.opens) {
            EXPECT_TRUE(succeeded);
            EXPECT_FALSE(alert);
            EXPECT_TRUE(QFileInfo::exists(desktop + QStringLiteral("/QVLogs.zip")));
        } else {
            EXPECT_TRUE(succeeded);
            ASSERT_TRUE(alert);
            EXPECT_TRUE(alert->informativeText().contains(desktop + QStringLiteral("/QVLogs.zip")));
            alert->close();
            ASSERT_TRUE(waitUntil([&] { return !host.findChild<QMessageBox *>(); }));
        }
    }
    QFile::remove(desktop);
}

class WelcomeDelegate final : public QVWelcomeViewControllerDelegate {
public:
    QStringList storedWhenTold;
    void welcomeViewControllerDidEnterEmail(QVWelcomeViewController *) override
    {
        storedWhenTold << QVUserDefaults::standardUserDefaults().stringForKey(emailKey);
    }
};

TEST_F(Pages, WelcomePageAlertsOnBadAddressesAndStoresBeforeTellingItsDelegate)
{
    auto *page = new QVWelcomeViewController;
    WelcomeDelegate delegate;
    page->setViewControllerDelegate(&delegate);
    host.showPage(page, -1);

    const struct {
        const char *text;
        const char *alert;
    } refused[] = {{"", "Please enter your e-mail address."},
                   {"  ", "Please enter your e-mail address."},
                   {"jane.example.com", "The e-mail address you entered is not valid."},
                   // The lists' form for a whole domain is nobody's own address.
                   {"*@example.org", "The e-mail address you entered is not valid."}};
    for (const auto &c : refused) {
        page->emailTextField()->setText(QString::fromLatin1(c.text));
        page->saveButton()->click();
        QMessageBox *alert = host.findChild<QMessageBox *>();
        ASSERT_TRUE(alert) << c.text;
        EXPECT_EQ(alert->text(), QString::fromLatin1(c.alert));
        EXPECT_TRUE(alert->informativeText().isEmpty());
        EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
        alert->close();
        ASSERT_TRUE(waitUntil([&] { return !host.findChild<QMessageBox *>(); }));
        EXPECT_FALSE(defaults.objectForKey(emailKey).isValid());
        EXPECT_TRUE(delegate.storedWhenTold.isEmpty());
    }

    page->emailTextField()->setText(QStringLiteral(" jane@example.com "));
    page->saveButton()->click();
    EXPECT_EQ(delegate.storedWhenTold, QStringList{QStringLiteral("jane@example.com")});
    EXPECT_FALSE(host.findChild<QMessageBox *>());

    // Without a delegate the address is stored all the same.
    page->setViewControllerDelegate(nullptr);
    page->emailTextField()->setText(QStringLiteral("john@example.com"));
    page->saveButton()->click();
    EXPECT_EQ(defaults.stringForKey(emailKey), QStringLiteral("john@example.com"));
}

class InstallDelegate final : public QVInstallViewControllerDelegate {
public:
    int asked = 0;
    void installViewControllerNeedsInstallPlugin(QVInstallViewController *) override { ++asked; }
};

TEST_F(Pages, InstallPageAsksItsDelegate)
{
    auto *page = new QVInstallViewController;
    host.showPage(page, -1);
    page->installButton()->click();
    InstallDelegate delegate;
    page->setViewControllerDelegate(&delegate);
    page->installButton()->click();
    EXPECT_EQ(delegate.asked, 1);
}

TEST_F(Pages, AccountPageChangesTheAddressOnlyOnOk)
{
    defaults.setObject(QStringLiteral("old@example.com"), emailKey);
    auto *page = new QVAccountViewController;
    host.showPage(page, 2);
    EXPECT_EQ(page->userEmailLabel()->text(), QStringLiteral("old@example.com"));
    EXPECT_EQ(page->appVersionLabel()->text(), QStringLiteral(" ()"));

    page->changeEmail();
    ASSERT_TRUE(page->changeEmailDialog());
    page->changeEmailDialog()->setItem(QStringLiteral("new@example.com"));
    page->changeEmailDialog()->cancelClick();
    EXPECT_EQ(defaults.stringForKey(emailKey), QStringLiteral("old@example.com"));
    EXPECT_EQ(page->userEmailLabel()->text(), QStringLiteral("old@example.com"));

    ASSERT_TRUE(waitUntil([&] { return !page->changeEmailDialog(); }));
    page->changeEmail();
    // The address is stored without the blanks around it.
    page->changeEmailDialog()->setItem(QStringLiteral(" new@example.com\t"));
    EXPECT_TRUE(page->changeEmailDialog()->isValidItem());
    page->changeEmailDialog()->okClick();
    EXPECT_EQ(defaults.stringForKey(emailKey), QStringLiteral("new@example.com"));
    EXPECT_EQ(page->userEmailLabel()->text(), QStringLiteral("new@example.com"));
}

}  // namespace

#include "pages_test.moc"
