// The first-run install as a fresh account meets it: no Library folder yet,
// the real helper program (started without pkexec) doing the copy.
#include "fakes.h"

#include "QVMainBundle.h"
#include "QVMainWindowController.h"
#include "QVPrivilegeOperationManager.h"
#include "bundle_tree.hpp"

#include <gtest/gtest.h>

#include <cerrno>
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

}  // namespace
