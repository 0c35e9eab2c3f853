#include "desktop_support.h"

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
        writeFile(applications + u'/' + kApplication + QStringLiteral(".desktop"),
                  QStringLiteral("[Desktop Entry]\nType=Application\nName=Quorvane\nExec=\"%1\" %U\n")
                      .arg(program)
                      .toUtf8());
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
    startAgent();
    post();
    // Requests are handled in order: once the start after the release shows
    // up, the earlier request has been answered with nothing.
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
    post();
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
}

}  // namespace
