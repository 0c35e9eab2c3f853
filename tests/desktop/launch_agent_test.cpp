#include "desktop_support.h"

#include "QVAppDelegate.h"
#include "QVDistributedNotificationCenter.h"
#include "QVRunningApplications.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

const QString kApplication = QString::fromLatin1(QVRunningApplications::kApplicationBundleIdentifier);
const QString kAgent = QString::fromLatin1(QVRunningApplications::kLaunchAgentBundleIdentifier);

// The agent as the desktop starts it, and a fake application whose desktop
// entry records each start with a mark and its arguments.
class LaunchAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder_.isValid());
        record_ = folder_.filePath(QStringLiteral("launches"));
        installFakeApplication(QStringLiteral("A"));
    }

    void TearDown() override
    {
        if (agent_.state() != QProcess::NotRunning) {
            agent_.terminate();
            agent_.waitForFinished(5000);
        }
    }

    void installFakeApplication(const QString &mark)
    {
        const QString program = folder_.filePath(QStringLiteral("fake-quorvane-") + mark);
        writeFile(program, QStringLiteral("#!/bin/sh\necho \"%1 $*\" >> '%2'\n").arg(mark, record_).toUtf8(), true);
        const QString applications =
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/applications");
        QDir().mkpath(applications);
        writeFile(
            applications + u'/' + kApplication + QStringLiteral(".desktop"),
            QStringLiteral("[Desktop Entry]\nType=Application\nName=Quorvane\nExec=\"%1\" %U\n").arg(program).toUtf8());
    }

    void removeFakeApplication()
    {
        QFile::remove(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                      + QStringLiteral("/applications/") + kApplication + QStringLiteral(".desktop"));
    }

    void startAgent()
    {
        agent_.setProgram(QStringLiteral(QV_LAUNCH_AGENT_PATH));
        agent_.setProcessChannelMode(QProcess::ForwardedChannels);
        agent_.start();
        ASSERT_TRUE(agent_.waitForStarted(5000));
        // The agent owns its name once it listens.
        ASSERT_TRUE(waitFor([] { return QVRunningApplications::isRunning(kAgent); }));
    }

    void post()
    {
        ASSERT_TRUE(QVDistributedNotificationCenter::defaultCenter()->postNotificationName(
            QStringLiteral("QV_NEEDS_TO_LAUNCH_CLIENT")));
    }

    QTemporaryDir folder_;
    QString record_;
    QProcess agent_;
};

TEST_F(LaunchAgent, StartsTheAbsentApplicationHiddenOnceAtItsStart)
{
    startAgent();
    ASSERT_TRUE(waitFor([&] { return readLines(record_).size() == 1; }));
    EXPECT_EQ(readLines(record_), QStringList{QStringLiteral("A --hidden")});
}

TEST_F(LaunchAgent, StartsNothingWhileTheApplicationRuns)
{
    ASSERT_TRUE(QVRunningApplications::claimBundleIdentifier(kApplication));
    // The agent owns its name only after its own start has looked for the
    // application, so once the name is there that look found it running.
    startAgent();
    QVRunningApplications::releaseBundleIdentifier(kApplication);
    installFakeApplication(QStringLiteral("B"));
    post();
    ASSERT_TRUE(waitFor([&] { return !readLines(record_).isEmpty(); }));
    EXPECT_EQ(readLines(record_), QStringList{QStringLiteral("B --hidden")});
}

TEST_F(LaunchAgent, KeepsRunningWhenTheApplicationIsNotInstalled)
{
    removeFakeApplication();
    startAgent();
    installFakeApplication(QStringLiteral("C"));
    post();
    ASSERT_TRUE(waitFor([&] { return !readLines(record_).isEmpty(); }));
    EXPECT_EQ(readLines(record_), QStringList{QStringLiteral("C --hidden")});
    EXPECT_EQ(agent_.state(), QProcess::Running);
}

TEST_F(LaunchAgent, ASecondAgentLeaves)
{
    ASSERT_TRUE(QVRunningApplications::claimBundleIdentifier(kApplication));
    startAgent();
    QProcess second;
    second.start(QStringLiteral(QV_LAUNCH_AGENT_PATH), {});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(agent_.state(), QProcess::Running);
    QVRunningApplications::releaseBundleIdentifier(kApplication);
}

// A start that cannot work is logged with its reason, and the agent keeps
// listening: the delegate in this process, against broken desktop entries.
QString agentLog()
{
    QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
               + QStringLiteral("/Quorvane/Logs/QVLaunchAgent.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

struct BrokenStart {
    const char *name;
    // The Exec value; %1 is a temporary folder.
    const char *exec;
    const char *logged;
};

class LaunchAgentFailure : public ::testing::TestWithParam<BrokenStart> {};

TEST_P(LaunchAgentFailure, IsLoggedWithItsReason)
{
    QVRunningApplications::releaseBundleIdentifier(kApplication);
    ASSERT_FALSE(QVRunningApplications::isRunning(kApplication));
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // A program that runs but never claims the application's name.
    writeFile(folder.filePath(QStringLiteral("silent")), "#!/bin/sh\nexit 0\n", true);
    writeFile(folder.filePath(QStringLiteral("not-executable")), "#!/bin/sh\n");
    const QString applications =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/applications");
    QDir().mkpath(applications);
    writeFile(applications + u'/' + kApplication + QStringLiteral(".desktop"),
              QStringLiteral("[Desktop Entry]\nType=Application\nName=Quorvane\nExec=%1\n")
                  .arg(QString::fromUtf8(GetParam().exec).replace(QStringLiteral("%1"), folder.path()))
                  .toUtf8());

    // The first line this process logs starts a new generation of the file.
    const QString before = agentLog();
    const auto added = [&] {
        const QString now = agentLog();
        return now.startsWith(before) ? now.mid(before.size()) : now;
    };
    QVAppDelegate delegate(QVDistributedNotificationCenter::defaultCenter());
    delegate.setStartDeadlineForTesting(std::chrono::milliseconds(200));
    delegate.launchClient();
    const QString expected = QString::fromUtf8(GetParam().logged);
    EXPECT_TRUE(waitFor([&] { return added().contains(expected); })) << agentLog().toStdString();
    EXPECT_EQ(added().count(u'\n'), 1) << agentLog().toStdString();
}

// An application that comes up at once and is quit before the deadline did
// start: nothing is logged.
TEST(LaunchAgentStart, AnApplicationThatCameUpAndQuitIsNoFailedStart)
{
    QTemporaryDir folder;
    const QString program = folder.filePath(QStringLiteral("quick"));
    writeFile(program, "#!/bin/sh\nexit 0\n", true);
    const QString applications =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/applications");
    QDir().mkpath(applications);
    writeFile(applications + u'/' + kApplication + QStringLiteral(".desktop"),
              QStringLiteral("[Desktop Entry]\nType=Application\nName=Quorvane\nExec=\"%1\"\n").arg(program).toUtf8());
    const QString before = agentLog();
    QVAppDelegate delegate(QVDistributedNotificationCenter::defaultCenter());
    delegate.setStartDeadlineForTesting(std::chrono::milliseconds(500));
    delegate.launchClient();
    // The application claims its name, then quits well before the deadline.
    ASSERT_TRUE(QVRunningApplications::claimBundleIdentifier(kApplication));
    QVRunningApplications::releaseBundleIdentifier(kApplication);
    ASSERT_FALSE(QVRunningApplications::isRunning(kApplication));
    const auto failureLogged = [&] {
        const QString now = agentLog();
        return (now.startsWith(before) ? now.mid(before.size()) : now).contains(u"did not start");
    };
    EXPECT_FALSE(waitFor(failureLogged, 1500)) << agentLog().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Starts, LaunchAgentFailure,
    ::testing::Values(
        // What a relative install prefix used to write.
        BrokenStart{"RelativeProgram", "\"install/bin/quorvane\"",
                    "its program install/bin/quorvane is a relative path"},
        BrokenStart{"MissingProgram", "\"%1/gone\"", "/gone is missing or not executable"},
        BrokenStart{"ProgramNotExecutable", "\"%1/not-executable\"", "/not-executable is missing or not executable"},
        BrokenStart{"NoProgram", "\"\"", "its Exec key names no program"},
        BrokenStart{"ApplicationNeverComesUp", "\"%1/silent\" --flag", "/silent --flag) did not start within 0.2 s"}),
    [](const ::testing::TestParamInfo<BrokenStart> &info) { return std::string(info.param.name); });

}  // namespace
