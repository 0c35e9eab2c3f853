// qv-mail-host --library DIR --account NAME=MAILDIR [--account ...]
//
// A small mail program over Maildir++ folders that loads mail bundles from
// DIR/Mail/Bundles, the way Mail loads its plug-ins. It owns the bus name
// org.quorvane.MailHost while it runs.
#include "MailHost.h"
#include "MailHostScripting.h"
#include "MailHostWindow.h"
#include "QVRunningApplications.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <malloc.h>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace QVMailHost;

namespace {

int signalPipe[2] = {-1, -1};

// SIGTERM and SIGINT end the program like closing its last window, so
// bundles hear of the termination.
void quitOnSignals(QObject *context)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char byte;
        if (::read(signalPipe[1], &byte, 1) == 1)
            QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = [](int) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(signalPipe[0], &byte, 1);
    };
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char **argv)
{
    // Large short-lived buffers (message files being read) come from and go
    // back to the system at once, rather than growing the heap for good.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qv-mail-host"));
    QApplication::setApplicationDisplayName(QStringLiteral("Mail"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A small Maildir mail program that loads mail bundles."));
    parser.addHelpOption();
    const QCommandLineOption library(QStringLiteral("library"),
                                     QStringLiteral("The Library folder; bundles load from DIR/Mail/Bundles."),
                                     QStringLiteral("DIR"));
    const QCommandLineOption account(QStringLiteral("account"),
                                     QStringLiteral("An account: its name and its Maildir++ folder (repeatable)."),
                                     QStringLiteral("NAME=MAILDIR"));
    parser.addOption(library);
    parser.addOption(account);
    parser.process(application);

    const auto fail = [](const QString &message) {
        std::fprintf(stderr, "qv-mail-host: %s\n", qPrintable(message));
        return 2;
    };
    if (!parser.isSet(library) || !parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("usage: qv-mail-host --library DIR --account NAME=MAILDIR [--account ...]"));
    const QStringList accounts = parser.values(account);
    if (accounts.isEmpty())
        return fail(QStringLiteral("at least one --account NAME=MAILDIR is needed"));

    // Two accounts of one name or over one folder would take each other's
    // mail for their own.
    QList<std::pair<QString, QString>> named;
    for (const QString &value : accounts) {
        const qsizetype equals = value.indexOf(u'=');
        if (equals <= 0 || equals == value.size() - 1)
            return fail(QStringLiteral("--account wants NAME=MAILDIR, not \"%1\"").arg(value));
        const QString name = value.left(equals);
        const QString folder = QDir(value.mid(equals + 1)).absolutePath();
        for (const auto &[otherName, otherFolder] : std::as_const(named)) {
            if (otherName == name)
                return fail(QStringLiteral("two accounts are named \"%1\"").arg(name));
            if (otherFolder == folder)
                return fail(QStringLiteral("two accounts use the folder %1").arg(folder));
        }
        named.append({name, folder});
    }

    if (!QVRunningApplications::claimBundleIdentifier(
            QString::fromLatin1(QVRunningApplications::kMailHostBundleIdentifier)))
        return fail(QStringLiteral("cannot own the bus name %1: another mail host runs, or there is no session bus")
                        .arg(QString::fromLatin1(QVRunningApplications::kMailHostBundleIdentifier)));

    MailHost host(QDir(parser.value(library)).absolutePath());
    for (const auto &[name, folder] : std::as_const(named)) {
        if (!host.addAccount(name, folder))
            return fail(QStringLiteral("cannot use %1 as a Maildir").arg(folder));
    }
    host.loadBundles();
    host.openStores();
    host.setViewerOpener(
        [&host](const std::shared_ptr<MessageViewer> &viewer) { (new MailHostWindow(&host, viewer))->show(); });
    host.newViewer();
    // Scripts drive the window through the bus; once this object answers,
    // the bundles see new mail.
    MailHostScripting scripting(&host);
    if (!scripting.registerObject())
        std::fprintf(stderr, "qv-mail-host: the scripting interface is not on the bus\n");
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &host, [&host] { host.terminate(); });
    quitOnSignals(&host);

    // Without the bus the bundles can neither ask nor hear: rather than
    // filter nothing while looking alive, end with a clear error.
    int status = 0;
    QTimer busWatch;
    QObject::connect(&busWatch, &QTimer::timeout, &host, [&status] {
        if (QDBusConnection::sessionBus().isConnected())
            return;
        std::fprintf(stderr, "qv-mail-host: lost the session bus connection; no mail is filtered, so it stops\n");
        status = 3;
        QCoreApplication::quit();
    });
    busWatch.start(1000);
    const int result = application.exec();
    return status ? status : result;
}
