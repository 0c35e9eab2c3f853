// page_switch_burst [N]: N page-switch requests (default 10,000), alternating
// between the settings and the account page, posted over the session bus as
// the mail plug-in posts them, to a running application delegate. Prints how
// many pages were built and how much the process grew.
//
// Run it in a session of its own: tests/support/session.sh build/.../page_switch_burst
#include "QVAppDelegate.h"
#include "QVDistributedNotificationCenter.h"
#include "QVMainWindowController.h"
#include "QVStatusBar.h"
#include "QVUserDefaults.h"
#include "QVViewController.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>

#include <cstdio>

namespace {

long residentKiB() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * 4 : 0;
}

struct PageCounter final : QObject {
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::ChildAdded &&
            qobject_cast<QVViewController*>(static_cast<QChildEvent*>(event)->child()))
            ++built;
        return false;
    }
    int built = 0;
};

}  // namespace

int main(int argc, char** argv) {
    // The offscreen platform warns of every raise the window asks for.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtWarningMsg && type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const int requests = argc > 1 ? std::atoi(argv[1]) : 10'000;

    // Past the first run: an address and an installed plug-in.
    auto& defaults = QVUserDefaults::standardUserDefaults();
    defaults.registerDefaults(QVUserDefaults::applicationDefaults());
    defaults.setObject(false, kQVCheckForUpdatesAtLaunchKey);
    defaults.setObject(QStringLiteral("me@example.com"), kQVEmailAddressKey);
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                  QStringLiteral("/Library/Mail/Bundles/Quorvane.mailbundle"));

    QVAppDelegate delegate(QVStatusBar::systemStatusBar(),
                           QVDistributedNotificationCenter::defaultCenter());
    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching(false);
    PageCounter counter;
    delegate.mainController()->window()->contentView()->installEventFilter(&counter);
    QCoreApplication::processEvents();
    const long before = residentKiB();

    QElapsedTimer timer;
    timer.start();
    auto* center = QVDistributedNotificationCenter::defaultCenter();
    for (int request = 0; request < requests; ++request)
        center->postNotificationName(request % 2 ? QStringLiteral("QV_SWITCH_TO_SETTINGS_PAGE")
                                                 : QStringLiteral("QV_SWITCH_TO_ACCOUNT_PAGE"));
    // The last request asks for the settings page (N even) or the account
    // page; wait until it is shown and the bus is quiet.
    const int last = requests % 2 ? 2 : 1;
    long peak = before;
    QElapsedTimer quiet;
    quiet.start();
    int seen = -1;
    while (quiet.elapsed() < 500) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        peak = std::max(peak, residentKiB());
        const int tag = delegate.mainController()->selectedTag();
        if (tag != seen || tag != last) {
            seen = tag;
            quiet.restart();
        }
    }
    const qint64 elapsed = timer.elapsed() - 500;
    std::printf(
        "%d requests: %d pages built, %lld ms, resident %ld KiB before, %ld KiB peak (+%ld KiB)\n",
        requests, counter.built, static_cast<long long>(elapsed), before, peak, peak - before);
    delegate.applicationWillTerminate();
    return 0;
}
