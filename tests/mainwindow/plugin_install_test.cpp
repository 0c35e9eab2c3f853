// The first-run install as a fresh account meets it: no Library folder yet,
// the real helper program (started without pkexec) doing the copy.
#include "fakes.h"

#include "QVMainBundle.h"
#include "QVMainWindowController.h"
#include "QVPrivilegeOperationManager.h"
#include "QVButtonCell.h"
#include "QVUserDefaults.h"
#include "bundle_tree.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTimer>

#include <cerrno>
#include <optional>
#include <cstring>

#include <unistd.h>

namespace {

using namespace helper_test;

struct TreeLocation final : QVMailPluginLocation {
    explicit TreeLocation(const Trees &trees) : trees_(trees) {}
    QString libraryPath() const override { return trees_.library; }
    QString bundledPluginPath() const override { return trees_.plugin; }
    const Trees &trees_;
};

TEST(PluginInstall, AFreshAccountGetsThePluginThroughTheRealHelper)
{
    Trees trees;
    const QString helperFolder = trees.bundle + QStringLiteral("/Contents/Library/LaunchServices");
    QDir().mkpath(helperFolder);
    ASSERT_TRUE(QFile::copy(QStringLiteral(QV_HELPER_PROGRAM), helperFolder + QStringLiteral("/Quorvane-Helper")));
    // The helper serves only the program of its bundle: this test program,
    // linked in as that program.
    const QString programFolder = trees.bundle + QStringLiteral("/Contents/MacOS");
    QDir().mkpath(programFolder);
    const QByteArray program = QFile::encodeName(programFolder + QStringLiteral("/Quorvane"));
    QFile::remove(QFile::decodeName(program));
    if (::link(QFile::encodeName(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).constData(),
               program.constData())
        != 0) {
        GTEST_SKIP() << "the test program cannot be linked into the bundle: " << std::strerror(errno);
    }
    // A fresh account: the data folder has no Library folder.
    ASSERT_TRUE(QDir(trees.library).removeRecursively());
    QVMainBundle::setBundlePathForTesting(trees.bundle);
    auto &manager = QVPrivilegeOperationManager::sharedManager();
    manager.setLauncherForTesting({});

    FakeAlerts alerts;
    TreeLocation location(trees);
    QVMainWindowController controller(QVMainWindowServices{&defaultMailPluginHelper(), &alerts, &location});
    controller.installMailPlugin();
    ASSERT_EQ(alerts.sheets.size(), 1u);
    EXPECT_EQ(alerts.sheets[0].messageText, QStringLiteral("Quorvane extension for Mail was sucessfully installed."))
        << alerts.sheets[0].informativeText.toStdString();
    EXPECT_TRUE(QFileInfo(trees.installed()).isDir());
    EXPECT_TRUE(controller.isMailPluginInstalled());

    // No helper runs (the password dialog dismissed, say): the removal fails
    // and says that the permission was missing.
    manager.releaseConnection();
    manager.setHelperPathForTesting(trees.base() + QStringLiteral("/nowhere/Quorvane-Helper"));
    controller.uninstallMailPlugin();
    ASSERT_EQ(alerts.sheets.size(), 2u);
    EXPECT_EQ(alerts.sheets[1].messageText, QStringLiteral("Couldn't uninstall Quorvane extension for Mail."));
    EXPECT_TRUE(alerts.sheets[1].informativeText.contains(QStringLiteral("permission")));
    EXPECT_TRUE(controller.isMailPluginInstalled());

    manager.setHelperPathForTesting(QString());
    manager.releaseConnection();
    QVMainBundle::setBundlePathForTesting(QString());
}

TEST(PluginInstall, ThePluginButtonStaysOffWhileAHelperRequestWaits)
{
    Trees trees;
    // A helper that never connects, as while its password dialog is up.
    const QString waiting = trees.base() + QStringLiteral("/waiting-helper");
    QFile script(waiting);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nsleep 1\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVMainBundle::setBundlePathForTesting(trees.bundle);
    auto &manager = QVPrivilegeOperationManager::sharedManager();
    manager.setLauncherForTesting({});
    manager.setHelperPathForTesting(waiting);

    QVUserDefaults::standardUserDefaults().setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    FakeAlerts alerts;
    TreeLocation location(trees);
    QVMainWindowController controller(QVMainWindowServices{&defaultMailPluginHelper(), &alerts, &location});
    // An address but no plug-in: the first run's install page.
    controller.showWindow();
    auto *install = qobject_cast<QVInstallViewController *>(controller.currentController());
    ASSERT_NE(install, nullptr);
    QAbstractButton *button = install->installButton();
    ASSERT_TRUE(button->isEnabled());

    std::optional<bool> enabledWhileWaiting;
    QTimer::singleShot(0, button, [&] { enabledWhileWaiting = button->isEnabled(); });
    controller.installMailPlugin();
    ASSERT_TRUE(enabledWhileWaiting.has_value());
    EXPECT_FALSE(*enabledWhileWaiting);
    EXPECT_TRUE(button->isEnabled());
    EXPECT_FALSE(QFileInfo::exists(trees.installed()));

    manager.setHelperPathForTesting(QString());
    manager.releaseConnection();
    QVMainBundle::setBundlePathForTesting(QString());
    QVUserDefaults::standardUserDefaults().removeObjectForKey(kQVEmailAddressKey);
}

}  // namespace
