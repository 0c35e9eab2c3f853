#include "desktop_support.h"

#include "QVApplicationInstance.h"
#include "QVLoginItems.h"
#include "QVRunningApplications.h"
#include "QVTerminationSignals.h"
#include "QVWorkspace.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>

namespace {

QString applicationsFolder(const QString &dataFolder)
{
    QDir().mkpath(dataFolder + QStringLiteral("/applications"));
    return dataFolder + QStringLiteral("/applications");
}

TEST(Workspace, ExecValuesSplitAndQuoteRoundTrip)
{
    struct Case {
        QString exec;
        QStringList arguments;
        bool ok;
    };
    const Case cases[] = {
        {QStringLiteral("quorvane"), {QStringLiteral("quorvane")}, true},
        {QStringLiteral("  a   b\tc "), {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}, true},
        {QStringLiteral("\"/opt/my apps/q\" --x"), {QStringLiteral("/opt/my apps/q"), QStringLiteral("--x")}, true},
        {QStringLiteral("\"a\\\"b\\$c\\\\d\\`e\""), {QStringLiteral("a\"b$c\\d`e")}, true},
        {QStringLiteral("\"\""), {QString()}, true},
        {QStringLiteral("\"open"), {}, false},
    };
    for (const Case &c : cases) {
        bool ok = false;
        EXPECT_EQ(QVWorkspace::splitExecValue(c.exec, &ok), c.arguments) << c.exec.toStdString();
        EXPECT_EQ(ok, c.ok) << c.exec.toStdString();
    }
    for (const QString &argument : {QStringLiteral("/a b/c\"d$e`f\\g"), QStringLiteral("plain")}) {
        bool ok = false;
        EXPECT_EQ(QVWorkspace::splitExecValue(QVWorkspace::quotedExecArgument(argument), &ok), QStringList{argument});
    }
}

TEST(Workspace, CommandDropsFileCodesAndExpandsTheOthers)
{
    const QString folder = applicationsFolder(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    const QString entry = folder + QStringLiteral("/org.example.Codes.desktop");
    writeFile(entry,
              "[Desktop Entry]\nType=Application\nName=Codes\nIcon=codes\n"
              "Exec=\"/opt/with\\sspace/prog\" %U --flag %i %c 100%% %k\n"
              "[Desktop Action other]\nExec=wrong\n");
    EXPECT_EQ(QVWorkspace::commandForDesktopEntry(entry),
              (QStringList{QStringLiteral("/opt/with space/prog"), QStringLiteral("--flag"), QStringLiteral("--icon"),
                           QStringLiteral("codes"), QStringLiteral("Codes"), QStringLiteral("100%"), entry}));
    writeFile(entry, "[Desktop Entry]\nType=Application\nExec=\"unterminated\n");
    EXPECT_TRUE(QVWorkspace::commandForDesktopEntry(entry).isEmpty());
}

TEST(Workspace, TheFirstEntryFoundStandsForTheProgram)
{
    QTemporaryDir systemData;
    qputenv("XDG_DATA_DIRS", systemData.path().toUtf8());
    const QString user = applicationsFolder(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    const QString system = applicationsFolder(systemData.path());
    const QString name = QStringLiteral("/org.example.App.desktop");

    EXPECT_TRUE(QVWorkspace::URLForApplicationWithBundleIdentifier(QStringLiteral("org.example.App")).isEmpty());
    writeFile(system + name, "[Desktop Entry]\nType=Application\nExec=app\n");
    EXPECT_EQ(QVWorkspace::URLForApplicationWithBundleIdentifier(QStringLiteral("org.example.App")), system + name);
    writeFile(user + name, "[Desktop Entry]\nType=Application\nExec=app\nHidden=true\n");
    EXPECT_TRUE(QVWorkspace::URLForApplicationWithBundleIdentifier(QStringLiteral("org.example.App")).isEmpty());
    writeFile(user + name, "[Desktop Entry]\nType=Link\nURL=x\n");
    EXPECT_TRUE(QVWorkspace::URLForApplicationWithBundleIdentifier(QStringLiteral("org.example.App")).isEmpty());
    EXPECT_TRUE(QVWorkspace::URLForApplicationWithBundleIdentifier(QStringLiteral("../applications/x")).isEmpty());
    qunsetenv("XDG_DATA_DIRS");
}

// A login item bundle whose program records that it ran.
QString makeLoginItem(const QString &folder, const QString &identifier, const QString &record)
{
    const QString bundle = folder + QStringLiteral("/My Agent.app");
    QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
    writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
              QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                             "<key>CFBundleIdentifier</key><string>%1</string>"
                             "<key>CFBundleExecutable</key><string>agent</string></dict></plist>\n")
                  .arg(identifier)
                  .toUtf8());
    writeFile(bundle + QStringLiteral("/Contents/MacOS/agent"),
              QStringLiteral("#!/bin/sh\necho ran >> '%1'\n").arg(record).toUtf8(), true);
    return bundle;
}

TEST(LoginItems, EnablingWritesAnAutostartEntryAndStartsTheItemOnce)
{
    QTemporaryDir folder;
    const QString record = folder.filePath(QStringLiteral("record"));
    const QString identifier = QStringLiteral("org.example.Agent");
    const auto bundle = QVLoginItems::registerBundle(makeLoginItem(folder.path(), identifier, record));
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->identifier, identifier);

    ASSERT_TRUE(QVLoginItems::setEnabled(*bundle, true));
    const QString entry = QVLoginItems::autostartEntryPath(identifier);
    EXPECT_TRUE(entry.startsWith(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                                 + QStringLiteral("/autostart/")));
    EXPECT_EQ(QVWorkspace::commandForDesktopEntry(entry), QStringList{bundle->executablePath});
    ASSERT_TRUE(waitFor([&] { return readLines(record).size() == 1; }));

    // While the item owns its name, enabling again only rewrites the entry.
    ASSERT_TRUE(QVRunningApplications::claimBundleIdentifier(identifier));
    ASSERT_TRUE(QVLoginItems::setEnabled(*bundle, true));
    QVRunningApplications::releaseBundleIdentifier(identifier);
    ASSERT_TRUE(QVLoginItems::setEnabled(*bundle, false));
    EXPECT_FALSE(QFile::exists(entry));
    EXPECT_EQ(readLines(record).size(), 1);
}

TEST(LoginItems, WhatIsNoProgramBundleIsNotRegistered)
{
    QTemporaryDir folder;
    const QString bundle =
        makeLoginItem(folder.path(), QStringLiteral("org.example.Agent"), QStringLiteral("/dev/null"));
    QFile::setPermissions(bundle + QStringLiteral("/Contents/MacOS/agent"), QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_FALSE(QVLoginItems::registerBundle(bundle).has_value());
    EXPECT_FALSE(QVLoginItems::registerBundle(folder.filePath(QStringLiteral("missing.app"))).has_value());
    writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
              "<plist><dict><key>CFBundleExecutable</key>"
              "<string>../../x</string></dict></plist>");
    EXPECT_FALSE(QVLoginItems::registerBundle(bundle).has_value());
}

TEST(ApplicationInstance, ASecondInstanceActivatesTheFirst)
{
    const QString identifier = QStringLiteral("org.example.Single");
    QVApplicationInstance first(identifier);
    ASSERT_TRUE(first.claim());
    int activations = 0;
    QObject::connect(&first, &QVApplicationInstance::activationRequested, [&] { ++activations; });

    // The second start comes from another connection, as another process would.
    auto other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("second"));
    auto reply = other.interface()->registerService(identifier, QDBusConnectionInterface::DontQueueService,
                                                    QDBusConnectionInterface::DontAllowReplacement);
    EXPECT_NE(reply.value(), QDBusConnectionInterface::ServiceRegistered);
    auto call =
        QDBusMessage::createMethodCall(identifier, QVApplicationInstance::objectPathForBundleIdentifier(identifier),
                                       QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
    call << QVariantMap();
    other.asyncCall(call);
    EXPECT_TRUE(waitFor([&] { return activations == 1; }));
    QDBusConnection::disconnectFromBus(QStringLiteral("second"));
    EXPECT_EQ(QVApplicationInstance::objectPathForBundleIdentifier(QStringLiteral("org.quorvane.Quorvane")),
              QStringLiteral("/org/quorvane/Quorvane"));
}

TEST(TerminationSignals, SigtermAndSigintArriveOnTheEventLoop)
{
    QVTerminationSignals termination;
    QList<int> received;
    QObject::connect(&termination, &QVTerminationSignals::terminationRequested,
                     [&](int number) { received << number; });
    ::raise(SIGTERM);
    ::raise(SIGINT);
    EXPECT_TRUE(waitFor([&] { return received.size() == 2; }));
    EXPECT_EQ(received, (QList<int>{SIGTERM, SIGINT}));
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
