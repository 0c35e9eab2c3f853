// qv-run-tool: what the run script and the end-to-end test need that a shell
// cannot do well, done with the application's own classes so that the files
// it writes are the ones the application reads.
//
//   qv-run-tool defaults KEY=VALUE...      store settings in Quorvane.conf
//   qv-run-tool lists [--block ENTRY]... [--allow ENTRY]...
//                     [--language CODE=score|remove|receive]...
//   qv-run-tool credential                 print KIND:USER:SECRET of this account
//   qv-run-tool grab FILE.png [X,Y,W,H]    save the X screen, or a rectangle of
//                                          it (needs a display)
//
// Paths follow HOME and the XDG variables, as in the application.
#include "QVLanguageList.h"
#include "QVMailList.h"
#include "QVServiceInfo.h"
#include "QVSpamManager.h"
#include "QVUserDefaults.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QRect>
#include <QScreen>
#include <QStringList>

#include <cstdio>
#include <memory>

namespace {

int usage()
{
    std::fputs(
        "usage: qv-run-tool defaults KEY=VALUE...\n"
        "       qv-run-tool lists [--block ENTRY]... [--allow ENTRY]... [--language CODE=score|remove|receive]...\n"
        "       qv-run-tool credential\n"
        "       qv-run-tool grab FILE.png [X,Y,W,H]\n",
        stderr);
    return 2;
}

int fail(const QString &text)
{
    std::fprintf(stderr, "qv-run-tool: %s\n", qPrintable(text));
    return 1;
}

int writeDefaults(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return usage();
    auto &defaults = QVUserDefaults::standardUserDefaults();
    for (const QString &argument : arguments) {
        const qsizetype equals = argument.indexOf(u'=');
        if (equals <= 0)
            return fail(QStringLiteral("not KEY=VALUE: %1").arg(argument));
        defaults.setObject(argument.mid(equals + 1), argument.left(equals));
    }
    return 0;
}

int editLists(const QStringList &arguments)
{
    if (arguments.isEmpty() || arguments.size() % 2 != 0)
        return usage();
    QVMailList blackList(QStringLiteral("BlackList"));
    QVMailList whiteList(QStringLiteral("WhiteList"));
    QVLanguageList languages;
    for (qsizetype k = 0; k < arguments.size(); k += 2) {
        const QString &option = arguments[k];
        const QString &value = arguments[k + 1];
        if (option == u"--block" || option == u"--allow") {
            QVMailList &list = option == u"--block" ? blackList : whiteList;
            list.addItem(value);
            if (!list.containsItem(value))
                return fail(QStringLiteral("the list %1 refused %2").arg(list.name(), value));
        } else if (option == u"--language") {
            const QStringList parts = value.split(u'=');
            static const QStringList usages{QStringLiteral("score"), QStringLiteral("remove"),
                                            QStringLiteral("receive")};
            const qsizetype usage = parts.size() == 2 ? usages.indexOf(parts[1]) : -1;
            if (usage < 0)
                return fail(QStringLiteral("not CODE=score|remove|receive: %1").arg(value));
            languages.setUsageType(static_cast<int>(usage), parts[0]);
            if (languages.usageTypeForLanguageCode(parts[0]) != usage)
                return fail(QStringLiteral("no language %1 in the language list").arg(parts[0]));
        } else {
            return usage();
        }
    }
    return 0;
}

int printCredential()
{
    const qint64 user = QVServiceInfo::userID().toLongLong();
    std::printf("%u:%u:%s\n", static_cast<unsigned>(QVSpamManager::kUserIdentityKind), static_cast<unsigned>(user),
                qPrintable(QVServiceInfo::machineID()));
    return 0;
}

int grabScreen(const QStringList &arguments)
{
    if (arguments.size() != 1 && arguments.size() != 2)
        return usage();
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return fail(QStringLiteral("no screen"));
    QRect area = screen->geometry();
    if (arguments.size() == 2) {
        const QStringList numbers = arguments[1].split(u',');
        bool ok = numbers.size() == 4;
        int values[4] = {};
        for (qsizetype k = 0; ok && k < 4; ++k)
            values[k] = numbers[k].toInt(&ok);
        if (!ok)
            return fail(QStringLiteral("not X,Y,W,H: %1").arg(arguments[1]));
        area &= QRect(values[0], values[1], values[2], values[3]);
        if (area.isEmpty())
            return fail(QStringLiteral("%1 lies off the screen").arg(arguments[1]));
    }
    if (!screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(arguments[0], "PNG"))
        return fail(QStringLiteral("cannot write %1").arg(arguments[0]));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    // Only grabbing needs a display.
    std::unique_ptr<QCoreApplication> application;
    if (command == u"grab")
        application = std::make_unique<QGuiApplication>(argc, argv);
    else
        application = std::make_unique<QCoreApplication>(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(2);

    if (command == u"defaults")
        return writeDefaults(arguments);
    if (command == u"lists")
        return editLists(arguments);
    if (command == u"credential")
        return arguments.isEmpty() ? printCredential() : usage();
    if (command == u"grab")
        return grabScreen(arguments);
    return usage();
}
