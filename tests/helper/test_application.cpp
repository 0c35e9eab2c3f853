// Stands in for the application when copied to <bundle>/Contents/MacOS/
// Quorvane: asks the real helper through QVPrivilegeOperationManager and
// prints one line per request, "1" for YES and "0" for NO.
//
//   helper_test_application [--launcher PROGRAM ARG...  --] REQUEST...
// where a REQUEST is "release" or an action word and its two paths.
#include "QVHelperProtocol.h"
#include "QVPrivilegeOperationManager.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    QStringList launcher;
    if (!arguments.isEmpty() && arguments.constFirst() == u"--launcher") {
        const qsizetype end = arguments.indexOf(QStringLiteral("--"));
        if (end < 0)
            return 2;
        launcher = arguments.mid(1, end - 1);
        arguments = arguments.mid(end + 1);
    }
    auto &manager = QVPrivilegeOperationManager::sharedManager();
    manager.setLauncherForTesting(launcher);
    manager.setConnectTimeoutForTesting(30 * 1000);
    while (!arguments.isEmpty()) {
        const QString action = arguments.takeFirst();
        if (action == u"release") {
            manager.releaseConnection();
            continue;
        }
        if (arguments.size() < 2)
            return 2;
        const QString first = arguments.takeFirst();
        const QString second = arguments.takeFirst();
        const bool result = action == QLatin1String(QVHelperProtocol::kActionInstallUpdate)
            ? manager.performInstallUpdateWithUpdatePath(first, second)
            : manager.performActionOnHelperTool(action, first, second);
        std::printf("%d\n", result ? 1 : 0);
        std::fflush(stdout);
    }
    manager.releaseConnection();
    return 0;
}
