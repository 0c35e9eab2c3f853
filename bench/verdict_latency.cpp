// verdict_latency [silent|absent] [messages] [per-second]: how long the
// application takes to answer a bus call while messages arrive for judging
// and the classification servers cannot be reached.
//
// Starts the real Quorvane (beside the engine library, as the bundle lays
// them out) with its servers on a loopback address where nothing listens
// (absent, the default) or where sockets hear and never answer (silent),
// posts the messages as the mail plug-in does (default 50 at 5 a second,
// 100 kB each), and meanwhile asks the application for a property of its
// window every 20 ms. Prints the answer times' median, 95th percentile and
// maximum, and how long the verdicts took.
//
// Run it in a session of its own:
//   tests/support/session.sh build/default/bench/verdict_latency
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString kApplication = QStringLiteral("org.quorvane.Quorvane");

QString coreLog() {
    QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               QStringLiteral("/Quorvane/Logs/QVCore.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

template <typename Condition>
bool waitFor(Condition condition, int milliseconds) {
    const QDeadlineTimer deadline(milliseconds);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * double(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const bool silent = arguments.size() > 1 && arguments[1] == u"silent";
    const int messages = arguments.size() > 2 ? arguments[2].toInt() : 50;
    const int perSecond = arguments.size() > 3 ? std::max(1, arguments[3].toInt()) : 5;

    const QString address = QStringLiteral("127.0.7.%1").arg(20 + getpid() % 200);
    // Silent: the datagrams are heard and connections taken, and nothing is
    // ever answered, as with servers whose replies are lost on the way.
    QUdpSocket hearing;
    QTcpServer listening;
    if (silent && (!hearing.bind(QHostAddress(address), 2409) ||
                   !listening.listen(QHostAddress(address), 2409))) {
        std::fprintf(stderr, "cannot bind %s:2409\n", qPrintable(address));
        return 1;
    }

    QTemporaryDir folder;
    const QString program = folder.filePath(QStringLiteral("Quorvane"));
    if (!QFile::copy(QStringLiteral(QV_APPLICATION_PATH), program) ||
        !QFile::copy(QStringLiteral(QV_ENGINE_LIBRARY_PATH),
                     folder.filePath(QStringLiteral("libqvse.so")))) {
        std::fprintf(stderr, "cannot copy the program\n");
        return 1;
    }
    {
        QSettings settings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                               QStringLiteral("/Quorvane/Quorvane.conf"),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("QVBackendHost"), address);
        settings.setValue(QStringLiteral("QVCheckForUpdatesAtLaunch"), false);
        settings.setValue(QStringLiteral("QVSpamExtendedLogging"), false);
        settings.setValue(QStringLiteral("EmailAddress"), QStringLiteral("someone@example.org"));
    }
    QProcess quorvane;
    quorvane.setProcessChannelMode(QProcess::ForwardedChannels);
    quorvane.start(program, {QStringLiteral("--hidden"), QStringLiteral("-platform"),
                             QStringLiteral("offscreen")});
    auto bus = QDBusConnection::sessionBus();
    if (!quorvane.waitForStarted(10000) ||
        !waitFor([&] { return bus.interface()->isServiceRegistered(kApplication).value(); },
                 30000)) {
        std::fprintf(stderr, "the application did not come up\n");
        return 1;
    }

    QByteArray body;
    for (int line = 0; body.size() < 100 * 1024; ++line)
        body += "Line " + QByteArray::number(line) +
                " of a long offer: visit http://offers.example/item/" +
                QByteArray::number(line % 97) + " for a discount on everything today only.\r\n";
    const auto post = [&](int index) {
        const QString id = QStringLiteral("<%1@latency.example>").arg(index);
        const QString sender = QStringLiteral("sender%1@latency.example").arg(index);
        const QByteArray message = "From: " + sender.toUtf8() + "\r\nSubject: offer " +
                                   QByteArray::number(index) + "\r\n\r\n" + body;
        QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/org/quorvane/Distributed"), QStringLiteral("org.quorvane.Distributed"),
            QStringLiteral("QV_ADD_MESSAGE"));
        signal << QVariantMap{{QStringLiteral("Message"), message},
                              {QStringLiteral("MessageID"), id},
                              {QStringLiteral("Address"), sender},
                              {QStringLiteral("Domain"), sender.section(u'@', 1)}};
        bus.send(signal);
    };
    auto ask = QDBusMessage::createMethodCall(
        kApplication, QStringLiteral("/org/quorvane/Quorvane"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    ask << QStringLiteral("org.quorvane.Quorvane.MainWindow") << QStringLiteral("Visible");
    const auto judged = [] { return int(coreLog().count(QStringLiteral("*** DETECTED "))); };

    std::vector<double> answers;
    int failed = 0;
    int posted = 0;
    QElapsedTimer clock;
    clock.start();
    const qint64 interval = 1000 / perSecond;
    // Until every verdict is given (or a minute has passed), a call every 20 ms.
    while (clock.elapsed() < 60'000) {
        while (posted < messages && clock.elapsed() >= posted * interval) post(posted++);
        QElapsedTimer call;
        call.start();
        const QDBusMessage reply = bus.call(ask, QDBus::Block, 25'000);
        answers.push_back(double(call.nsecsElapsed()) / 1e6);
        failed += reply.type() != QDBusMessage::ReplyMessage;
        if (posted == messages && judged() >= messages) break;
        QThread::msleep(20);
    }
    const qint64 allJudged = clock.elapsed();

    std::printf("servers %s, %d messages of %lld kB at %d a second: %d verdicts in %lld ms\n",
                silent ? "silent" : "absent", messages, static_cast<long long>(body.size() / 1024),
                perSecond, judged(), static_cast<long long>(allJudged));
    std::printf(
        "bus call answered: median %.1f ms, 95th percentile %.1f ms, max %.1f ms (%zu calls, %d "
        "failed)\n",
        percentile(answers, 0.5), percentile(answers, 0.95), percentile(answers, 1.0),
        answers.size(), failed);
    const QString log = coreLog();
    std::printf(
        "lookups failed: %lld (deadline %lld, servers exhausted %lld, no servers %lld)\n",
        static_cast<long long>(log.count(QStringLiteral("Lookup failed with error"))),
        static_cast<long long>(log.count(QStringLiteral("Lookup failed with error: 40000\n"))),
        static_cast<long long>(log.count(QStringLiteral("Lookup failed with error: 40002\n"))),
        static_cast<long long>(log.count(QStringLiteral("Lookup failed with error: 40001\n"))));
    ::kill(static_cast<pid_t>(quorvane.processId()), SIGTERM);
    quorvane.waitForFinished(20000);
    return 0;
}
