#include "QVHelperProtocol.h"
#include "QVMainBundle.h"
#include "QVPrivilegeOperationManager.h"
#include "bundle_tree.hpp"

#include <gtest/gtest.h>

#include <QFile>

using namespace helper_test;

namespace {

// The real helper program, copied to where an installed application keeps
// it, started without pkexec.
QString placeHelper(const Trees &trees)
{
    const QString folder = trees.bundle + QStringLiteral("/Contents/Library/LaunchServices");
    QDir().mkpath(folder);
    const QString path = folder + QStringLiteral("/Quorvane-Helper");
    QFile::copy(QStringLiteral(QV_HELPER_PROGRAM), path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

TEST(HelperClient, TalksToTheRealHelperOverAPrivateConnection)
{
    Trees trees;
    placeHelper(trees);
    QVMainBundle::setBundlePathForTesting(trees.bundle);
    auto &manager = QVPrivilegeOperationManager::sharedManager();
    manager.setLauncherForTesting({});
    using namespace QVHelperProtocol;

    ASSERT_TRUE(manager.performActionOnHelperTool(QLatin1String(kActionInstallMailPlugin), trees.plugin, trees.library));
    EXPECT_TRUE(QFileInfo(trees.installed()).isDir());
    EXPECT_TRUE(manager.isConnected());

    // The same helper answers the next request; a refused one is NO.
    EXPECT_FALSE(manager.performActionOnHelperTool(QLatin1String(kActionInstallMailPlugin),
                                                   trees.base() + QStringLiteral("/nowhere"), trees.library));
    EXPECT_TRUE(manager.performActionOnHelperTool(QLatin1String(kActionUninstallMailPlugin), trees.plugin, trees.library));
    EXPECT_FALSE(QFileInfo::exists(trees.installed()));

    const QString update = makeApplication(trees.base() + QStringLiteral("/download"),
                                           QStringLiteral("org.quorvane.Quorvane"), "new program");
    EXPECT_TRUE(manager.performInstallUpdateWithUpdatePath(update, trees.bundle));
    EXPECT_EQ(readFile(trees.bundle + QStringLiteral("/Contents/MacOS/Quorvane")), "new program");

    // The update replaced the helper too; after its connection goes, the next
    // request starts a helper again.
    placeHelper(trees);
    manager.releaseConnection();
    EXPECT_FALSE(manager.isConnected());
    EXPECT_TRUE(manager.performActionOnHelperTool(QLatin1String(kActionInstallMailPlugin), trees.plugin, trees.library));
    QVMainBundle::setBundlePathForTesting(QString());
}

TEST(HelperClient, AMissingHelperIsNo)
{
    Trees trees;
    QVMainBundle::setBundlePathForTesting(trees.bundle);
    auto &manager = QVPrivilegeOperationManager::sharedManager();
    manager.setLauncherForTesting({});
    manager.setConnectTimeoutForTesting(3000);
    manager.releaseConnection();
    EXPECT_FALSE(manager.performActionOnHelperTool(QLatin1String(QVHelperProtocol::kActionInstallMailPlugin),
                                                   trees.plugin, trees.library));
    EXPECT_FALSE(manager.isConnected());
    QVMainBundle::setBundlePathForTesting(QString());
}

}  // namespace
