#include "QVHelperChannel.h"
#include "QVHelperProtocol.h"
#include "QVMainBundle.h"
#include "QVPrivilegeOperationManager.h"
#include "bundle_tree.hpp"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QTimer>

using namespace helper_test;
using namespace QVHelperProtocol;

namespace {

// The real helper program, copied to where an installed application keeps
// it, started without pkexec.
QString placeHelper(const Trees &trees)
{
    const QString folder = trees.bundle + QStringLiteral("/Contents/Library/LaunchServices");
    QDir().mkpath(folder);
    const QString path = folder + QStringLiteral("/Quorvane-Helper");
    QFile::remove(path);
    QFile::copy(QStringLiteral(QV_HELPER_PROGRAM), path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// The stand-in application as the bundle's program, so that the helper
// finds the program of its bundle at the other end.
QString placeApplication(const Trees &trees)
{
    const QString path = trees.bundle + QStringLiteral("/Contents/MacOS/Quorvane");
    QFile::remove(path);
    QFile::copy(QStringLiteral(QV_HELPER_TEST_APPLICATION), path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// Runs the bundle's program with `arguments`; its answers, one per request.
QStringList runApplication(const Trees &trees, const QStringList &arguments)
{
    QProcess application;
    application.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    application.start(trees.bundle + QStringLiteral("/Contents/MacOS/Quorvane"), arguments);
    if (!application.waitForFinished(120 * 1000)) {
        application.kill();
        application.waitForFinished();
        return {QStringLiteral("timeout")};
    }
    return QString::fromLatin1(application.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

TEST(HelperClient, TheApplicationTalksToTheRealHelperOverItsChannel)
{
    Trees trees;
    placeHelper(trees);
    placeApplication(trees);
    const QDir runtime(qEnvironmentVariable("XDG_RUNTIME_DIR", QDir::tempPath()));
    const auto runtimeEntries = [&runtime] {
        return runtime.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    };
    const QStringList before = runtimeEntries();
    const QString install = QLatin1String(kActionInstallMailPlugin);
    // One helper answers the requests of one run until it is released; a
    // refused request is NO and the helper goes on.
    EXPECT_EQ(runApplication(trees,
                             {install, trees.plugin, trees.library, install, trees.base() + QStringLiteral("/nowhere"),
                              trees.library, QLatin1String(kActionUninstallMailPlugin), trees.plugin, trees.library,
                              QStringLiteral("release"), install, trees.plugin, trees.library}),
              (QStringList{QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("1")}));
    EXPECT_TRUE(QFileInfo(trees.installed()).isDir());

    const QString update = makeApplication(trees.base() + QStringLiteral("/download"),
                                           QStringLiteral("org.quorvane.Quorvane"), "new program");
    EXPECT_EQ(runApplication(trees, {QLatin1String(kActionInstallUpdate), update, trees.bundle}),
              QStringList{QStringLiteral("1")});
    EXPECT_EQ(readFile(trees.bundle + QStringLiteral("/Contents/MacOS/Quorvane")), "new program");
    EXPECT_EQ(runtimeEntries(), before) << "nothing made, nothing left in the runtime folder";
}

TEST(HelperClient, ASameUserProcessWithEveryTrickReachesNothingAndTheGenuineRequestIsServed)
{
    // The attacker prepares a listener recorded under the application's
    // future pid, starts the application (pid reuse made certain in a
    // private pid namespace), and while the stand-in pkexec "asks for the
    // password" puts its listener on every socket path it can find.
    Trees trees;
    placeHelper(trees);
    const QString program = placeApplication(trees);
    const QString victim = trees.base() + QStringLiteral("/victim/Library");
    QDir().mkpath(victim);
    const QString log = trees.base() + QStringLiteral("/attacker.log");
    QProcess attack;
    attack.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    attack.start(QStringLiteral("unshare"),
                 {QStringLiteral("--user"), QStringLiteral("--map-root-user"), QStringLiteral("--pid"),
                  QStringLiteral("--fork"), QStringLiteral("--mount-proc"), QStringLiteral(QV_HELPER_ATTACKER), victim,
                  trees.plugin, log, program, QStringLiteral("--launcher"), QStringLiteral("/bin/sh"),
                  QStringLiteral("-c"), QStringLiteral("sleep 1; exec \"$0\" \"$@\""), QStringLiteral("--"),
                  QLatin1String(kActionInstallMailPlugin), trees.plugin, trees.library});
    ASSERT_TRUE(attack.waitForFinished(120 * 1000));
    const QByteArray said = readFile(log);
    if (attack.exitCode() != 0 || said.contains("no ns_last_pid"))
        GTEST_SKIP() << "no private pid namespace here: " << said.constData();
    ASSERT_TRUE(said.contains("application is 400")) << said.constData();
    EXPECT_EQ(QString::fromLatin1(attack.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
              QStringList{QStringLiteral("1")})
        << said.constData();
    EXPECT_TRUE(QFileInfo(trees.installed()).isDir());
    EXPECT_FALSE(QFileInfo::exists(victim + QStringLiteral("/Mail"))) << said.constData();
    EXPECT_FALSE(said.contains("served")) << said.constData();
}

TEST(HelperClient, TheHelperServesNoProcessButTheBundlesProgram)
{
    // This test program is the helper's parent and listens on the socket,
    // but it is not the program of the helper's bundle.
    Trees trees;
    placeHelper(trees);
    QVMainBundle::setBundlePathForTesting(trees.bundle);
    auto &manager = QVPrivilegeOperationManager::sharedManager();
    manager.setLauncherForTesting({});
    manager.setConnectTimeoutForTesting(30000);
    EXPECT_FALSE(
        manager.performActionOnHelperTool(QLatin1String(kActionInstallMailPlugin), trees.plugin, trees.library));
    EXPECT_FALSE(QFileInfo::exists(trees.installed()));
    EXPECT_FALSE(manager.isConnected());
    QVMainBundle::setBundlePathForTesting(QString());
}

TEST(HelperClient, TheHelperRefusesToRunWithoutTheApplicationsChannel)
{
    // Started by hand, or with standard input that is not a socket pair
    // made by the invoking user, the helper does nothing.
    Trees trees;
    const QString helper = placeHelper(trees);
    placeApplication(trees);
    struct Case {
        const char *name;
        QString input;
    };
    const QString file = trees.base() + QStringLiteral("/request");
    writeFile(file,
              QVHelperChannel::encode({{QLatin1String(kActionKey), QLatin1String(kActionInstallMailPlugin)},
                                       {QLatin1String(kSourcePathKey), trees.plugin},
                                       {QLatin1String(kLibraryPathKey), trees.library}}));
    for (const Case &c : {Case{"no input", QProcess::nullDevice()}, Case{"a file of requests", file}}) {
        SCOPED_TRACE(c.name);
        QProcess process;
        process.setStandardInputFile(c.input);
        process.start(helper, {});
        ASSERT_TRUE(process.waitForFinished(30000));
        EXPECT_NE(process.exitCode(), 0);
        EXPECT_FALSE(QFileInfo::exists(trees.installed()));
    }
}

TEST(HelperClient, OnlyTheProcessTheApplicationStartedIsHeard)
{
    // The started program hands its channel to another process, which
    // answers YES to everything: the application hears nothing from it.
    Trees trees;
    QVMainBundle::setBundlePathForTesting(trees.bundle);
    auto &manager = QVPrivilegeOperationManager::sharedManager();
    manager.setLauncherForTesting({QStringLiteral(QV_HELPER_IMPOSTOR)});
    manager.setConnectTimeoutForTesting(30000);
    EXPECT_FALSE(manager.performInstallUpdateWithUpdatePath(trees.base() + QStringLiteral("/download/Quorvane.app"),
                                                            trees.bundle));
    EXPECT_FALSE(manager.isConnected());
    manager.setLauncherForTesting({});
    QVMainBundle::setBundlePathForTesting(QString());
}

TEST(HelperClient, ASecondRequestWhileOneWaitsIsRefusedWithoutHarm)
{
    Trees trees;
    placeHelper(trees);
    QVMainBundle::setBundlePathForTesting(trees.bundle);
    auto &manager = QVPrivilegeOperationManager::sharedManager();
    // The password dialog's wait: the helper starts a second later.
    manager.setLauncherForTesting(
        {QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("sleep 1; exec \"$0\" \"$@\"")});
    manager.setConnectTimeoutForTesting(30000);
    std::vector<bool> busySeen;
    const auto watch = QObject::connect(&manager, &QVPrivilegeOperationManager::busyChanged,
                                        [&](bool busy) { busySeen.push_back(busy); });
    std::optional<bool> second;
    bool busyDuringSecond = false;
    QTimer::singleShot(200, [&] {
        busyDuringSecond = manager.isBusy();
        second =
            manager.performActionOnHelperTool(QLatin1String(kActionUninstallMailPlugin), trees.plugin, trees.library);
    });
    // The first one goes on to its end (NO here: this test is not the
    // bundle's program).
    EXPECT_FALSE(
        manager.performActionOnHelperTool(QLatin1String(kActionInstallMailPlugin), trees.plugin, trees.library));
    ASSERT_TRUE(second.has_value());
    EXPECT_FALSE(*second);
    EXPECT_TRUE(busyDuringSecond);
    EXPECT_FALSE(manager.isBusy());
    EXPECT_EQ(busySeen, (std::vector<bool>{true, false}));
    QObject::disconnect(watch);
    manager.setLauncherForTesting({});
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
    EXPECT_FALSE(
        manager.performActionOnHelperTool(QLatin1String(kActionInstallMailPlugin), trees.plugin, trees.library));
    EXPECT_FALSE(manager.isConnected());
    QVMainBundle::setBundlePathForTesting(QString());
}

}  // namespace
