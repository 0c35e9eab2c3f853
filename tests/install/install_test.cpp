#include "wait_for.h"
#include "PropertyList.h"
#include "QVDistributedNotificationCenter.h"
#include "QVRunningApplications.h"
#include "QVWorkspace.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <functional>
#include <optional>

namespace {

QVariantMap readPlist(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto value = PropertyList::fromXml(file.readAll());
    return value ? value->toMap() : QVariantMap();
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QString logText()
{
    QString text;
    const QString logs =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Quorvane/Logs");
    QDirIterator it(logs, {QStringLiteral("*.log")}, QDir::Files);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

// `cmake --install` of this build, run in workingFolder, as given; all
// components unless one is named.
void installBuild(const QString &prefix, const QString &workingFolder = QDir::currentPath(),
                  const QString &component = {})
{
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.setWorkingDirectory(workingFolder);
    QStringList arguments{QStringLiteral("--install"), QStringLiteral(QV_BUILD_DIR), QStringLiteral("--prefix"),
                          prefix};
    if (!component.isEmpty())
        arguments << QStringLiteral("--component") << component;
    install.start(QStringLiteral(QV_CMAKE_COMMAND), arguments);
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAll().toStdString();
}

void killOwner(const QString &name, int signal)
{
    const auto pid = QDBusConnection::sessionBus().interface()->servicePid(name);
    if (pid.isValid() && pid.value() > 0)
        ::kill(static_cast<pid_t>(pid.value()), signal);
}

TEST(InstalledBundle, LaysOutTheBundleAndRunsTheProgram)
{
    QTemporaryDir prefixFolder;
    ASSERT_TRUE(prefixFolder.isValid());
    // Characters that an Exec key quotes or escapes.
    const QString prefix = prefixFolder.filePath(QStringLiteral("pre\"fix $HOME 100%% `x` with space"));
    ASSERT_NO_FATAL_FAILURE(installBuild(prefix));

    // The layout.
    const QString bundle = prefix + QStringLiteral("/" QV_BUNDLE_INSTALL_DIR);
    const QString contents = bundle + QStringLiteral("/Contents");
    const QVariantMap info = readPlist(contents + QStringLiteral("/Info.plist"));
    EXPECT_EQ(info.value(QStringLiteral("CFBundleIdentifier")).toString(), QStringLiteral("org.quorvane.Quorvane"));
    EXPECT_EQ(info.value(QStringLiteral("CFBundleExecutable")).toString(), QStringLiteral("Quorvane"));
    EXPECT_FALSE(info.value(QStringLiteral("CFBundleShortVersionString")).toString().isEmpty());
    EXPECT_FALSE(info.value(QStringLiteral("CFBundleVersion")).toString().isEmpty());
    EXPECT_FALSE(info.value(QStringLiteral("ProductCode")).toString().isEmpty());
    const QString program = contents + QStringLiteral("/MacOS/Quorvane");
    EXPECT_TRUE(isExecutableFile(program));
    EXPECT_TRUE(QFileInfo(contents + QStringLiteral("/MacOS/libqvcg.so")).isFile());
    EXPECT_TRUE(QFileInfo(contents + QStringLiteral("/MacOS/libqvse.so")).isFile());
    const QString agent = contents + QStringLiteral("/Library/LoginItems/QVLaunchAgent.app/Contents");
    EXPECT_EQ(readPlist(agent + QStringLiteral("/Info.plist")).value(QStringLiteral("CFBundleIdentifier")).toString(),
              QStringLiteral("org.quorvane.QVLaunchAgent"));
    EXPECT_TRUE(isExecutableFile(agent + QStringLiteral("/MacOS/QVLaunchAgent")));
    EXPECT_TRUE(isExecutableFile(contents + QStringLiteral("/Library/LaunchServices/Quorvane-Helper")));
    EXPECT_TRUE(QFileInfo(contents + QStringLiteral("/Resources/Quorvane.svg")).isFile());
    EXPECT_TRUE(
        QFileInfo(prefix + QStringLiteral("/share/icons/hicolor/scalable/apps/org.quorvane.Quorvane.svg")).isFile());
    const QString plugin = contents + QStringLiteral("/PlugIns/Quorvane.mailbundle/Contents");
    EXPECT_FALSE(readPlist(plugin + QStringLiteral("/Info.plist"))
                     .value(QStringLiteral("CFBundleVersion"))
                     .toString()
                     .isEmpty());
    EXPECT_TRUE(QFileInfo(plugin + QStringLiteral("/MacOS/libQuorvane.so")).isFile());
    EXPECT_TRUE(QFileInfo(plugin + QStringLiteral("/Resources/QV_Block.svg")).isFile());
    EXPECT_EQ(QFileInfo(prefix + QStringLiteral("/bin/quorvane")).canonicalFilePath(),
              QFileInfo(program).canonicalFilePath());
    EXPECT_TRUE(QFileInfo(prefix + QStringLiteral("/share/polkit-1/actions/org.quorvane.helper.policy")).isFile());
    const QString applications = prefix + QStringLiteral("/share/applications/");
    EXPECT_EQ(QVWorkspace::commandForDesktopEntry(applications + QStringLiteral("org.quorvane.Quorvane.desktop")),
              QStringList{prefix + QStringLiteral("/bin/quorvane")});
    EXPECT_EQ(QVWorkspace::commandForDesktopEntry(applications + QStringLiteral("org.quorvane.QVLaunchAgent.desktop")),
              QStringList{agent + QStringLiteral("/MacOS/QVLaunchAgent")});

    // The installed program, as the desktop starts it, with a block-listed
    // sender in its list.
    const QString data =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Quorvane");
    QDir().mkpath(data);
    QFile blackList(data + QStringLiteral("/BlackList.plist"));
    ASSERT_TRUE(blackList.open(QIODevice::WriteOnly));
    blackList.write(*PropertyList::toXml(QVariantList{QStringLiteral("spammer@example.com")}));
    blackList.close();

    auto *center = QVDistributedNotificationCenter::defaultCenter();
    QObject observer;
    std::optional<QString> determined;
    center->addObserver(&observer, QStringLiteral("QV_DETERMINED_SPAM"), [&](const QVDistributedNotification &n) {
        determined = n.stringValue(QStringLiteral("MessageID"));
    });

    QProcess quorvane;
    quorvane.setProcessChannelMode(QProcess::ForwardedChannels);
    quorvane.start(prefix + QStringLiteral("/bin/quorvane"),
                   {QStringLiteral("-platform"), QStringLiteral("offscreen")});
    ASSERT_TRUE(quorvane.waitForStarted(10000));
    const QString application = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
    ASSERT_TRUE(waitFor([&] { return QVRunningApplications::isRunning(application); }, 30000));

    // Posts made before the program listens are lost, so ask until it answers.
    const QVariantMap message{
        {QStringLiteral("Message"), QByteArray("From: spammer@example.com\r\nSubject: buy\r\n\r\nnow\r\n")},
        {QStringLiteral("MessageID"), QStringLiteral("<1@example.com>")},
        {QStringLiteral("Address"), QStringLiteral("spammer@example.com")},
        {QStringLiteral("Domain"), QStringLiteral("example.com")}};
    QTimer poster;
    QObject::connect(&poster, &QTimer::timeout,
                     [&] { center->postNotificationName(QStringLiteral("QV_ADD_MESSAGE"), message); });
    poster.start(300);
    EXPECT_TRUE(waitFor([&] { return determined.has_value(); }, 30000));
    poster.stop();
    EXPECT_EQ(determined.value_or(QString()), QStringLiteral("<1@example.com>"));

    // It made the login item an autostart entry and started it.
    const QString agentName = QString::fromLatin1(QVRunningApplications::kLaunchAgentBundleIdentifier);
    const QString autostart = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/org.quorvane.QVLaunchAgent.desktop");
    EXPECT_EQ(QVWorkspace::commandForDesktopEntry(autostart),
              QStringList{agent + QStringLiteral("/MacOS/QVLaunchAgent")});
    EXPECT_TRUE(waitFor([&] { return QVRunningApplications::isRunning(agentName); }, 30000));

    // A second start leaves at once and leaves the first running.
    QProcess second;
    second.start(prefix + QStringLiteral("/bin/quorvane"), {QStringLiteral("-platform"), QStringLiteral("offscreen")});
    EXPECT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(quorvane.state(), QProcess::Running);

    // The desktop's log-out: SIGTERM goes through the ordinary shut-down.
    quorvane.terminate();
    ASSERT_TRUE(quorvane.waitForFinished(30000));
    EXPECT_EQ(quorvane.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(quorvane.exitCode(), 0);
    // The engine's own lines (extended logging is on by default): its worker
    // stopped and its library closed.
    const QString log = logText();
    EXPECT_TRUE(log.contains(QStringLiteral("Stopping worker thread"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("dlclose() succeeded"))) << log.toStdString();
    EXPECT_FALSE(QVRunningApplications::isRunning(application));

    killOwner(agentName, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !QVRunningApplications::isRunning(agentName); }, 10000));
}

// Every installed file below the prefix, relative to it, sorted.
QStringList installedFiles(const QString &prefix)
{
    QStringList files;
    QDirIterator it(prefix, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(prefix).relativeFilePath(it.next());
    files.sort();
    return files;
}

// The product installs without the stand-ins, and the stand-ins keep to a
// folder of their own with their private library; nothing goes into the
// public library folder.
TEST(InstalledBundle, TheComponentsKeepToTheirFolders)
{
    const QString bundle = QStringLiteral(QV_BUNDLE_INSTALL_DIR "/");
    const QString standIns = QStringLiteral(QV_STAND_INS_INSTALL_DIR "/");
    struct Case {
        QString component;
        std::function<bool(const QString &)> belongs;
    };
    const Case cases[] = {
        {QStringLiteral("quorvane"),
         [&](const QString &file) {
             return file.startsWith(bundle) || file == u"bin/quorvane" || file.startsWith(u"share/");
         }},
        {QStringLiteral("stand-ins"), [&](const QString &file) { return file.startsWith(standIns); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.component.toStdString());
        QTemporaryDir prefix;
        ASSERT_TRUE(prefix.isValid());
        ASSERT_NO_FATAL_FAILURE(installBuild(prefix.path(), QDir::currentPath(), c.component));
        const QStringList files = installedFiles(prefix.path());
        EXPECT_FALSE(files.isEmpty());
        for (const QString &file : files)
            EXPECT_TRUE(c.belongs(file)) << file.toStdString();
    }
    // The stand-ins and their library, which the mail host finds beside it.
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    ASSERT_NO_FATAL_FAILURE(installBuild(prefix.path(), QDir::currentPath(), QStringLiteral("stand-ins")));
    for (const char *program : {"qv-classification-server", "qv-mail-host", "qv-run-tool", "qv-update-server"})
        EXPECT_TRUE(isExecutableFile(prefix.filePath(standIns + QString::fromLatin1(program)))) << program;
    EXPECT_TRUE(QFileInfo(prefix.filePath(standIns + QStringLiteral("libqv_mail_runtime.so"))).isFile());
}

// The README's installation: a prefix relative to the folder the install
// runs in, here also reached through a symbolic link. The installed entries
// name the real place, so the agent started from elsewhere starts the
// application, and starts it again after it was killed.
TEST(InstalledBundle, ARelativePrefixGivesEntriesTheAgentCanStart)
{
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    const QString root = QFileInfo(base.path()).canonicalFilePath();
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("checkout")));
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("disk/install")));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/disk/install"), root + QStringLiteral("/checkout/install")));
    ASSERT_NO_FATAL_FAILURE(installBuild(QStringLiteral("install"), root + QStringLiteral("/checkout")));
    const QString prefix = root + QStringLiteral("/disk/install");

    const QString agent = prefix
        + QStringLiteral("/" QV_BUNDLE_INSTALL_DIR
                         "/Contents/Library/LoginItems/QVLaunchAgent.app/Contents/MacOS/QVLaunchAgent");
    const QString applications = prefix + QStringLiteral("/share/applications/");
    EXPECT_EQ(QVWorkspace::commandForDesktopEntry(applications + QStringLiteral("org.quorvane.Quorvane.desktop")),
              QStringList{prefix + QStringLiteral("/bin/quorvane")});
    const QStringList agentCommand =
        QVWorkspace::commandForDesktopEntry(applications + QStringLiteral("org.quorvane.QVLaunchAgent.desktop"));
    ASSERT_EQ(agentCommand, QStringList{agent});

    // The desktop finds the entries through XDG_DATA_DIRS and starts the
    // agent in the home folder, away from the checkout.
    qputenv("XDG_DATA_DIRS", (prefix + QStringLiteral("/share:/usr/share")).toUtf8());
    QProcess agentProcess;
    agentProcess.setProcessChannelMode(QProcess::ForwardedChannels);
    agentProcess.setWorkingDirectory(QDir::homePath());
    agentProcess.start(agentCommand.first(), {});
    ASSERT_TRUE(agentProcess.waitForStarted(10000));
    const QString application = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
    const QString agentName = QString::fromLatin1(QVRunningApplications::kLaunchAgentBundleIdentifier);
    EXPECT_TRUE(waitFor([&] { return QVRunningApplications::isRunning(application); }, 60000));
    ASSERT_TRUE(waitFor([&] { return QVRunningApplications::isRunning(agentName); }, 30000));

    // Killed, it comes back when the plug-in asks for it.
    killOwner(application, SIGKILL);
    ASSERT_TRUE(waitFor([&] { return !QVRunningApplications::isRunning(application); }, 10000));
    ASSERT_TRUE(QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
        QStringLiteral("QV_NEEDS_TO_LAUNCH_CLIENT")));
    EXPECT_TRUE(waitFor([&] { return QVRunningApplications::isRunning(application); }, 60000));

    killOwner(application, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !QVRunningApplications::isRunning(application); }, 30000));
    agentProcess.terminate();
    EXPECT_TRUE(agentProcess.waitForFinished(10000));
    EXPECT_FALSE(logText().contains(QStringLiteral("Couldn't start"))) << logText().toStdString();
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
