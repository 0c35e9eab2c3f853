// The installed system, run the way `scripts/run.sh --headless` runs it:
// messages are delivered into a Maildir one by one, and the test looks at
// where each file ends up, at the application's log, and at what stopping
// the system leaves behind. Faults: files that are not mail, a mailbox
// folder that disappears, a classification server that stops answering,
// and an application that is killed while mail keeps arriving.
#include "loopback_address.h"
#include "wait_for.h"
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTcpServer>

#include <csignal>
#include <functional>

namespace {

const QString kSamples = QStringLiteral(QV_SAMPLES_DIRECTORY);

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray sample(const QString &name)
{
    return readFile(kSamples + u'/' + name);
}

QString messageID(const QByteArray &message)
{
    for (const QByteArray &line : message.split('\n')) {
        if (line.trimmed().isEmpty())
            break;
        if (line.toLower().startsWith("message-id:"))
            return QString::fromUtf8(line.mid(11)).trimmed();
    }
    return QString();
}

// The same message under another Message-ID, so that answers about it
// cannot be taken for answers about the original.
QByteArray renamed(QByteArray message, const QByteArray &tag)
{
    const QByteArray id = messageID(message).toUtf8();
    return message.replace(id, QByteArray(id).insert(1, tag + '.'));
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// The system started by the run script over a Maildir of the test's own.
class RunningSystem {
public:
    RunningSystem(const QString &folder, const QString &backend) : folder_(folder)
    {
        for (const char *sub : {"/maildir/cur", "/maildir/new", "/maildir/tmp"})
            QDir().mkpath(folder_ + QLatin1String(sub));
        // The run script puts the samples' senders and language on the lists
        // only for its own sample Maildir; the test does the same for its own.
        QProcess lists;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), runFolder() + QStringLiteral("/home"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), runFolder() + QStringLiteral("/home/.config"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), runFolder() + QStringLiteral("/home/.local/share"));
        lists.setProcessEnvironment(environment);
        lists.start(QStringLiteral(QV_RUN_TOOL),
                    {QStringLiteral("lists"), QStringLiteral("--block"), QStringLiteral("offers@bulk-deals.test"),
                     QStringLiteral("--allow"), QStringLiteral("anna.berg@friends.test"), QStringLiteral("--language"),
                     QStringLiteral("it=remove")});
        listsWritten_ = lists.waitForFinished(30000) && lists.exitCode() == 0;
        script_.setProcessChannelMode(QProcess::MergedChannels);
        script_.start(QStringLiteral("sh"),
                      {QStringLiteral(QV_SOURCE_DIRECTORY "/scripts/start-system.sh"), QStringLiteral("--prefix"),
                       QStringLiteral(QV_INSTALL_PREFIX), QStringLiteral("--run-folder"), runFolder(),
                       QStringLiteral("--maildir"), maildir(), QStringLiteral("--headless"),
                       QStringLiteral("--backend"), backend, QStringLiteral("--update-port"),
                       QString::number(freePort())});
    }

    ~RunningSystem()
    {
        if (script_.state() != QProcess::NotRunning) {
            script_.kill();
            script_.waitForFinished(5000);
        }
    }

    bool listsWritten() const { return listsWritten_; }
    QString runFolder() const { return folder_ + QStringLiteral("/run"); }
    QString maildir() const { return folder_ + QStringLiteral("/maildir"); }
    QString logFolder() const { return runFolder() + QStringLiteral("/home/.local/share/Quorvane/Logs"); }
    QString coreLog() const { return QString::fromUtf8(readFile(logFolder() + QStringLiteral("/QVCore.log"))); }
    QString output() const { return QString::fromUtf8(output_); }

    bool waitForOutput(const QString &text, int milliseconds)
    {
        return waitFor(
                   [&] {
                       script_.waitForReadyRead(20);
                       output_ += script_.readAll();
                       return output().contains(text) || script_.state() == QProcess::NotRunning;
                   },
                   milliseconds)
            && output().contains(text);
    }

    // Interrupts the script; true when it stopped everything and left.
    bool stop()
    {
        // A script that has already ended has no pid, and kill(0) would
        // interrupt the test's own process group.
        if (script_.processId() > 0) {
            ::kill(static_cast<pid_t>(script_.processId()), SIGINT);
        }
        const bool finished = script_.waitForFinished(90000);
        output_ += script_.readAll();
        return finished && script_.exitStatus() == QProcess::NormalExit && script_.exitCode() == 0;
    }

    qint64 pid(const QString &name) const
    {
        return readFile(runFolder() + QStringLiteral("/state/") + name + QStringLiteral(".pid")).trimmed().toLongLong();
    }

    // Written into tmp/ and renamed into new/, as a delivery agent does.
    QString deliver(const QByteArray &message)
    {
        const QString name = QStringLiteral("%1.P%2Q%3.e2e")
                                 .arg(QDateTime::currentSecsSinceEpoch())
                                 .arg(QCoreApplication::applicationPid())
                                 .arg(++delivered_);
        QFile file(maildir() + QStringLiteral("/tmp/") + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(message) != message.size())
            return QString();
        file.close();
        return QFile::rename(file.fileName(), maildir() + QStringLiteral("/new/") + name) ? name : QString();
    }

    // "inbox" or "Quorvane" while the file lies there exactly once; else
    // "missing" or "duplicated".
    QString whereIs(const QString &name) const
    {
        QStringList places;
        const std::pair<const char *, const char *> folders[] = {{"inbox", ""}, {"Quorvane", "/.Quorvane"}};
        for (const auto &[place, path] : folders)
            for (const char *sub : {"/new", "/cur"})
                for (const QString &file :
                     QDir(maildir() + QLatin1String(path) + QLatin1String(sub)).entryList(QDir::Files))
                    if (file == name || file.startsWith(name + u':'))
                        places << QLatin1String(place);
        return places.size() == 1 ? places.front()
            : places.isEmpty()    ? QStringLiteral("missing")
                                  : QStringLiteral("duplicated");
    }

    bool ends(const QString &name, const QString &place, int milliseconds = 15000) const
    {
        return waitFor([&] { return whereIs(name) == place; }, milliseconds);
    }

    bool verdictLogged(const QString &id, int milliseconds = 30000) const
    {
        return waitFor(
            [&] {
                const QString log = coreLog();
                return log.contains(QStringLiteral("*** DETECTED SPAM: ") + id + u'\n')
                    || log.contains(QStringLiteral("*** DETECTED NOT SPAM: ") + id + u'\n');
            },
            milliseconds);
    }

    bool spam(const QString &id) const
    {
        return coreLog().contains(QStringLiteral("*** DETECTED SPAM: ") + id + u'\n');
    }

    // The manager's lines about one message.
    QString linesAbout(const QString &id) const
    {
        const QString log = coreLog();
        const qsizetype start = log.lastIndexOf(QStringLiteral("*** Checking for SPAM messageID ") + id + u',');
        if (start < 0)
            return QString();
        const qsizetype end = log.indexOf(QStringLiteral("*** DETECTED"), start);
        return log.mid(start, end < 0 ? -1 : end - start);
    }

    // The mail host's scripting interface: what a click in its window does.
    bool host(const QString &method, const QVariantList &arguments)
    {
        QDBusInterface mailHost(QStringLiteral("org.quorvane.MailHost"), QStringLiteral("/org/quorvane/MailHost"),
                                QStringLiteral("org.quorvane.MailHost"));
        const QDBusMessage reply = mailHost.callWithArgumentList(QDBus::Block, method, arguments);
        return reply.type() == QDBusMessage::ReplyMessage
            && (reply.arguments().isEmpty() || reply.arguments().front().toBool());
    }

    // What the application's main window shows: whether it is on the screen,
    // and the tag of its page (0 filters, 1 settings, 2 account, -1 first run).
    QVariant mainWindow(const QString &property) const
    {
        auto message = QDBusMessage::createMethodCall(
            QStringLiteral("org.quorvane.Quorvane"), QStringLiteral("/org/quorvane/Quorvane"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        message << QStringLiteral("org.quorvane.Quorvane.MainWindow") << property;
        const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return QVariant();
        return reply.arguments().front().value<QDBusVariant>().variant();
    }

    bool mainWindowShows(int page, int milliseconds = 15000) const
    {
        return waitFor(
            [&] {
                const QVariant selected = mainWindow(QStringLiteral("SelectedPage"));
                return mainWindow(QStringLiteral("Visible")).toBool() && selected.isValid() && selected.toInt() == page;
            },
            milliseconds);
    }

    bool clickBlockSegment(const QString &id)
    {
        return host(QStringLiteral("SelectMessage"), {id})
            && host(QStringLiteral("ClickToolbarItem"), {QStringLiteral("QV_QUORVANE"), 0});
    }

private:
    QString folder_;
    QProcess script_;
    QByteArray output_;
    int delivered_ = 0;
    bool listsWritten_ = false;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.isValid());
        // Other runs of the suite may run beside this one: the classification
        // server gets a loopback address of this run's own (its port is
        // fixed), and another when that one is taken.
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (unsigned attempt = 0; attempt < quorvane::testing::loopback_attempts; ++attempt) {
            const QString backend = QString::fromStdString(quorvane::testing::loopback_address(test, attempt));
            system_ = std::make_unique<RunningSystem>(scratch_.path() + QStringLiteral("/%1").arg(attempt), backend);
            ASSERT_TRUE(system_->listsWritten());
            if (system_->waitForOutput(QStringLiteral("\nready\n"), 120000))
                return;
            if (!system_->output().contains(QStringLiteral("classification server did not start")))
                break;
        }
        FAIL() << qPrintable(system_->output());
    }

    void TearDown() override
    {
        if (!system_)
            return;
        EXPECT_TRUE(system_->stop()) << qPrintable(system_->output());
        const QString log = system_->coreLog();
        // The gateway's trace of closing the engine (extended logging is on).
        EXPECT_TRUE(log.contains(QStringLiteral("dlclose() succeeded"))) << "the engine was not shut down";
        EXPECT_FALSE(log.contains(QStringLiteral("Failed to shut down engine")));
    }

    // Delivers a sample and waits for its verdict; the file's name.
    QString deliverAndJudge(const QByteArray &message)
    {
        const QString name = system_->deliver(message);
        EXPECT_FALSE(name.isEmpty());
        EXPECT_TRUE(system_->verdictLogged(messageID(message))) << qPrintable(messageID(message));
        return name;
    }

    QTemporaryDir scratch_;
    std::unique_ptr<RunningSystem> system_;
};

TEST_F(EndToEnd, EachSampleTakesItsRoadAndTheCampaignIsCaughtAfterABlock)
{
    const struct {
        const char *file;
        const char *place;
        const char *reason;
    } roads[] = {
        {"01-block-listed-sender.eml", "Quorvane", "*** SPAM: blacklisted"},
        {"02-allow-listed-sender-spam-text.eml", "inbox", "*** NOT SPAM: whitelisted"},
        {"03-test-pattern.eml", "Quorvane", "*** SPAM: Threshold"},
        {"04-language-marked-remove.eml", "Quorvane", "*** SPAM: Language Remove"},
        {"05-ordinary-mail.eml", "inbox", "probability 0"},
        {"06-campaign-first.eml", "inbox", "probability 0"},
    };
    QStringList names;
    for (const auto &road : roads) {
        SCOPED_TRACE(road.file);
        const QByteArray message = sample(QString::fromLatin1(road.file));
        const QString name = deliverAndJudge(message);
        names << name;
        EXPECT_TRUE(system_->ends(name, QString::fromLatin1(road.place))) << qPrintable(system_->whereIs(name));
        EXPECT_TRUE(system_->linesAbout(messageID(message)).contains(QString::fromLatin1(road.reason)))
            << qPrintable(system_->linesAbout(messageID(message)));
    }

    // The collaborative road: the first message of the campaign is blocked
    // from the toolbar, moved and reported; the second is caught by its score.
    const QString first = messageID(sample(QStringLiteral("06-campaign-first.eml")));
    ASSERT_TRUE(system_->clickBlockSegment(first));
    EXPECT_TRUE(system_->ends(names.back(), QStringLiteral("Quorvane")));
    EXPECT_TRUE(waitFor([&] { return system_->coreLog().contains(QStringLiteral("*** BLOCKED: ") + first); }, 15000));
    EXPECT_TRUE(waitFor(
        [&] {
            return readFile(system_->runFolder() + QStringLiteral("/logs/classification-server.log"))
                .contains("learned report");
        },
        15000));
    const QByteArray second = sample(QStringLiteral("07-campaign-second.eml"));
    const QString secondName = deliverAndJudge(second);
    EXPECT_TRUE(system_->spam(messageID(second))) << qPrintable(system_->linesAbout(messageID(second)));
    EXPECT_TRUE(system_->ends(secondName, QStringLiteral("Quorvane")));

    // Unblock brings the first message back into the inbox.
    ASSERT_TRUE(system_->clickBlockSegment(first));
    EXPECT_TRUE(system_->ends(names.back(), QStringLiteral("inbox")));
    EXPECT_TRUE(system_->coreLog().contains(QStringLiteral("*** UNBLOCKED: ") + first));

    // The plug-in's menu brings the application's window up; while no e-mail
    // address is stored the first-run page stays whatever page it names.
    EXPECT_EQ(system_->mainWindow(QStringLiteral("SelectedPage")), QVariant(-1));
    for (const char *item : {"Show Settings", "Show Account"}) {
        SCOPED_TRACE(item);
        EXPECT_TRUE(system_->host(QStringLiteral("ChooseMenuItem"),
                                  {QStringLiteral("QV_QUORVANE"), 1, QString::fromLatin1(item)}));
        EXPECT_TRUE(system_->mainWindowShows(-1))
            << "visible " << qPrintable(system_->mainWindow(QStringLiteral("Visible")).toString()) << ", page "
            << qPrintable(system_->mainWindow(QStringLiteral("SelectedPage")).toString());
    }

    // Nothing moved behind the test's back.
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(system_->whereIs(names[k]), QString::fromLatin1(roads[k].place)) << roads[k].file;
    }
}

TEST_F(EndToEnd, FaultsLoseNoMessageAndFilteringGoesOn)
{
    QStringList names;
    const QByteArray blocked = sample(QStringLiteral("01-block-listed-sender.eml"));

    // Files that are not mail.
    QByteArray binary(4096, '\0');
    QRandomGenerator generator(17);
    for (char &byte : binary)
        byte = static_cast<char>(generator.bounded(256));
    QByteArray large = sample(QStringLiteral("05-ordinary-mail.eml"));
    large.replace("Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n",
                  "Content-Type: multipart/mixed; boundary=\"cut\"\n");
    large = renamed(large, "large");
    large.replace("\nHi Sam,", "\n--cut\nContent-Type: text/plain\n\nHi Sam,");
    large += "\n--cut\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n";
    const QByteArray chunk = QByteArray(57, 'Q').toBase64() + '\n';
    while (large.size() < 20 * 1024 * 1024)
        large += chunk;
    large += "--cut--\n";
    for (const QByteArray &message :
         {binary, QByteArray(), large, readFile(kSamples + QStringLiteral("/faults/header-without-body.eml"))})
        names << system_->deliver(message);
    // Mail behind them is still judged.
    names << deliverAndJudge(renamed(blocked, "after-bad-files"));
    EXPECT_TRUE(system_->ends(names.back(), QStringLiteral("Quorvane")));

    // The junk mailbox's folder disappears: the next spam makes it again.
    const QString junk = system_->maildir() + QStringLiteral("/.Quorvane");
    ASSERT_TRUE(QDir(junk).removeRecursively());
    names.clear();
    names << deliverAndJudge(renamed(blocked, "folder-gone"));
    EXPECT_TRUE(system_->ends(names.back(), QStringLiteral("Quorvane")));
    names << deliverAndJudge(renamed(blocked, "folder-back"));
    EXPECT_TRUE(system_->ends(names.back(), QStringLiteral("Quorvane")));

    // The classification server stops answering, then comes back. The second
    // message of the campaign is caught only through the server's answer.
    const QByteArray first = sample(QStringLiteral("06-campaign-first.eml"));
    const QByteArray second = sample(QStringLiteral("07-campaign-second.eml"));
    names << deliverAndJudge(first);
    ASSERT_TRUE(system_->clickBlockSegment(messageID(first)));
    EXPECT_TRUE(system_->ends(names.back(), QStringLiteral("Quorvane")));
    ASSERT_TRUE(waitFor(
        [&] {
            return readFile(system_->runFolder() + QStringLiteral("/logs/classification-server.log"))
                .contains("learned report");
        },
        15000));
    const qint64 server = system_->pid(QStringLiteral("classification-server"));
    ASSERT_GT(server, 0);
    ::kill(static_cast<pid_t>(server), SIGSTOP);
    names << deliverAndJudge(renamed(second, "server-stopped"));
    ::kill(static_cast<pid_t>(server), SIGCONT);
    EXPECT_EQ(system_->whereIs(names.back()), QStringLiteral("inbox"));
    names << deliverAndJudge(renamed(second, "server-back"));
    EXPECT_TRUE(system_->ends(names.back(), QStringLiteral("Quorvane")));

    // The application is killed while mail keeps arriving; the launch agent
    // starts it again, the plug-in posts again what it may have lost, and
    // filtering goes on.
    auto *bus = QDBusConnection::sessionBus().interface();
    const QDBusReply<uint> application = bus->servicePid(QStringLiteral("org.quorvane.Quorvane"));
    ASSERT_TRUE(application.isValid());
    ::kill(static_cast<pid_t>(application.value()), SIGKILL);
    QStringList duringRestart;
    for (int k = 0; k < 3; ++k)
        duringRestart << system_->deliver(renamed(blocked, "restart-" + QByteArray::number(k)));
    EXPECT_TRUE(waitFor(
        [&] {
            const QDBusReply<uint> again = bus->servicePid(QStringLiteral("org.quorvane.Quorvane"));
            return again.isValid() && again.value() != application.value();
        },
        30000))
        << "the application was not started again";
    const QString afterRestart = deliverAndJudge(renamed(blocked, "after-restart"));
    EXPECT_TRUE(system_->ends(afterRestart, QStringLiteral("Quorvane")));

    for (const QString &name : duringRestart + names)
        EXPECT_NE(system_->whereIs(name), QStringLiteral("missing")) << qPrintable(name);
    for (const QString &name : duringRestart) {
        EXPECT_NE(system_->whereIs(name), QStringLiteral("duplicated")) << qPrintable(name);
        EXPECT_TRUE(system_->ends(name, QStringLiteral("Quorvane"))) << qPrintable(name);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
