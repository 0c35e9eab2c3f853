// qv-screenshots DIR: builds every page of the main window, the dialogs and
// the window's band, and writes one PNG each into DIR, named after the page
// or dialog class. Works under -platform offscreen. Uses a scratch home, so
// the user's settings and lists are never touched.
#include "page_host.h"

#include "QVAccountViewController.h"
#include "QVAddEmailOrDomainDialog.h"
#include "QVChangeUserEmailDialog.h"
#include "QVLanguageList.h"
#include "QVLanguageListViewController.h"
#include "QVListViewController.h"
#include "QVMainBundle.h"
#include "QVMailList.h"
#include "QVMailPluginController.h"
#include "QVSettingsViewController.h"
#include "QVTabsViewController.h"
#include "QVUserDefaults.h"
#include "QVWelcomeViewController.h"
#include "PropertyList.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

class PluginState final : public QVMailPluginController {
public:
    bool isMailPluginInstalled() const override { return true; }
    void installMailPlugin() override {}
    void uninstallMailPlugin() override {}
    QMetaObject::Connection observeMailPluginInstalled(QObject *, std::function<void()>) override { return {}; }
};

bool save(QWidget &widget, const QString &folder, const QString &name)
{
    widget.show();
    QApplication::processEvents();
    const QString path = folder + u'/' + name + QStringLiteral(".png");
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "qv-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool savePage(PageHost &host, QVViewController *page, int tag, const QString &folder, const char *name)
{
    host.showPage(page, tag);
    return save(host, folder, QString::fromLatin1(name));
}

}  // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return 1;
    for (const char *variable : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const QString path = scratch.filePath(QString::fromLatin1(variable));
        QDir().mkpath(path);
        qputenv(variable, QFile::encodeName(path));
    }
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: qv-screenshots DIR\n");
        return 2;
    }
    const QString folder = arguments.at(1);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "qv-screenshots: cannot create %s\n", qPrintable(folder));
        return 1;
    }

    // A bundle whose Info.plist gives the version shown on the account page.
    const QString bundle = scratch.filePath(QStringLiteral("Quorvane.app"));
    QDir().mkpath(bundle + QStringLiteral("/Contents"));
    QFile info(bundle + QStringLiteral("/Contents/Info.plist"));
    const auto plist =
        PropertyList::toXml(QVariantMap{{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.0")},
                                        {QStringLiteral("CFBundleVersion"), QStringLiteral("1")}});
    if (plist && info.open(QIODevice::WriteOnly))
        info.write(*plist);
    info.close();
    QVMainBundle::setBundlePathForTesting(bundle);

    QVUserDefaults &defaults = QVUserDefaults::standardUserDefaults();
    defaults.registerDefaults(QVUserDefaults::applicationDefaults());
    defaults.setObject(QStringLiteral("jane.doe@example.com"), QString::fromLatin1(kQVEmailAddressKey));

    QVMailList blackList(QStringLiteral("BlackList"));
    for (const char *entry : {"offers@deals.example.com", "*@lottery.example.net", "casino-bonus.example",
                              "newsletter@spam.example.org", "promo.example.info"})
        blackList.addItem(QString::fromLatin1(entry));
    QVMailList whiteList(QStringLiteral("WhiteList"));
    for (const char *entry : {"colleague@example.com", "family.example.org"})
        whiteList.addItem(QString::fromLatin1(entry));
    QVLanguageList languages;
    languages.setUsageType(1, QStringLiteral("ru"));
    languages.setUsageType(2, QStringLiteral("de"));

    PluginState pluginState;
    PageHost host;
    host.show();
    bool ok = true;

    PageHost chrome;
    chrome.toolbar()->setSelectedItemTag(1);
    chrome.resize(520, 100);
    ok &= save(chrome, folder, QStringLiteral("QVCMainWindow"));

    auto *list = new QVListViewController(&blackList);
    list->tableView()->selectRow(1);
    ok &= savePage(host, list, 0, folder, "QVListViewController");
    ok &= savePage(host, new QVLanguageListViewController(languages), 0, folder, "QVLanguageListViewController");

    auto *tabs = new QVTabsViewController;
    tabs->addTabNamed(QObject::tr("Blacklist"), new QVListViewController(&blackList));
    tabs->addTabNamed(QObject::tr("Whitelist"), new QVListViewController(&whiteList));
    tabs->addTabNamed(QObject::tr("Language Filters"), new QVLanguageListViewController(languages));
    ok &= savePage(host, tabs, 0, folder, "QVTabsViewController");

    ok &= savePage(host, new QVSettingsViewController(&pluginState), 1, folder, "QVSettingsViewController");
    ok &= savePage(host, new QVAccountViewController, 2, folder, "QVAccountViewController");
    ok &= savePage(host, new QVWelcomeViewController, -1, folder, "QVWelcomeViewController");
    ok &= savePage(host, new QVInstallViewController, -1, folder, "QVInstallViewController");

    QVAddEmailOrDomainDialog addDialog;
    addDialog.setItem(QStringLiteral("*@lottery.example.net"));
    ok &= save(addDialog, folder, QStringLiteral("QVAddEmailOrDomainDialog"));
    QVChangeUserEmailDialog changeDialog;
    changeDialog.setItem(QStringLiteral("jane.doe@example"));
    ok &= save(changeDialog, folder, QStringLiteral("QVChangeUserEmailDialog"));

    return ok ? 0 : 1;
}
