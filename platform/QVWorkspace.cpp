#include "QVWorkspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace QVWorkspace {
namespace {

constexpr qint64 kDesktopEntryLimit = 1 << 20;

// Only the keys of the main group; localised keys are not needed here.
QHash<QString, QString> readDesktopEntry(const QString &path)
{
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return keys;
    const QString text = QString::fromUtf8(file.read(kDesktopEntryLimit));
    bool inMainGroup = false;
    for (const QString &rawLine : text.split(u'\n')) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!inMainGroup || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!keys.contains(key))
            keys.insert(key, line.mid(equals + 1).trimmed());
    }
    return keys;
}

QString unescapedValue(const QString &value)
{
    QString result;
    result.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\' || i + 1 == value.size()) {
            result += value[i];
            continue;
        }
        switch (value[++i].unicode()) {
        case 's': result += u' '; break;
        case 'n': result += u'\n'; break;
        case 't': result += u'\t'; break;
        case 'r': result += u'\r'; break;
        case '\\': result += u'\\'; break;
        default:
            result += u'\\';
            result += value[i];
            break;
        }
    }
    return result;
}

bool isTrue(const QString &value)
{
    return value == QStringLiteral("true");
}

QProcessEnvironment launchEnvironment(LaunchOptions options)
{
    auto environment = QProcessEnvironment::systemEnvironment();
    if (options & LaunchWithoutActivation) {
        environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
        environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
    }
    return environment;
}

}  // namespace

QString URLForApplicationWithBundleIdentifier(const QString &bundleIdentifier)
{
    if (bundleIdentifier.isEmpty() || bundleIdentifier.contains(u'/'))
        return {};
    const QString name = bundleIdentifier + QStringLiteral(".desktop");
    for (const QString &folder : QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) {
        const QString path = QDir(folder).filePath(name);
        if (!QFileInfo(path).isFile())
            continue;
        // The first entry found stands for the program, even when it hides it.
        const auto keys = readDesktopEntry(path);
        if (keys.value(QStringLiteral("Type")) != QStringLiteral("Application")
            || isTrue(keys.value(QStringLiteral("Hidden"))))
            return {};
        return path;
    }
    return {};
}

QStringList splitExecValue(const QString &exec, bool *ok)
{
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == u'"') {
                quoted = false;
            } else if (c == u'\\' && i + 1 < exec.size() && QStringLiteral("\"`$\\").contains(exec[i + 1])) {
                current += exec[++i];
            } else {
                current += c;
            }
        } else if (c == u' ' || c == u'\t') {
            if (inArgument)
                arguments.append(std::exchange(current, {}));
            inArgument = false;
        } else {
            inArgument = true;
            if (c == u'"')
                quoted = true;
            else
                current += c;
        }
    }
    if (ok)
        *ok = !quoted;
    if (quoted)
        return {};
    if (inArgument)
        arguments.append(current);
    return arguments;
}

QStringList commandForDesktopEntry(const QString &desktopEntryPath)
{
    const auto keys = readDesktopEntry(desktopEntryPath);
    bool ok = false;
    const QStringList raw = splitExecValue(unescapedValue(keys.value(QStringLiteral("Exec"))), &ok);
    QStringList command;
    for (const QString &argument : raw) {
        if (argument == QStringLiteral("%i")) {
            const QString icon = unescapedValue(keys.value(QStringLiteral("Icon")));
            if (!icon.isEmpty())
                command << QStringLiteral("--icon") << icon;
        } else if (argument == QStringLiteral("%c")) {
            command << unescapedValue(keys.value(QStringLiteral("Name")));
        } else if (argument == QStringLiteral("%k")) {
            command << desktopEntryPath;
        } else if (argument.size() == 2 && argument[0] == u'%' && argument[1] != u'%') {
            // File and URL codes: a start without files drops them.
        } else {
            command << QString(argument).replace(QStringLiteral("%%"), QStringLiteral("%"));
        }
    }
    if (!ok || command.isEmpty() || command.first().isEmpty())
        return {};
    return command;
}

bool launchProgram(const QString &program, const QStringList &arguments, LaunchOptions options)
{
    QProcess process;
    process.setProgram(program);
    QStringList all = arguments;
    if (options & LaunchAndHide)
        all << QStringLiteral("--hidden");
    process.setArguments(all);
    process.setProcessEnvironment(launchEnvironment(options));
    process.setWorkingDirectory(QDir::homePath());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

bool launchApplicationAtURL(const QString &desktopEntryPath, LaunchOptions options)
{
    QStringList command = commandForDesktopEntry(desktopEntryPath);
    if (command.isEmpty())
        return false;
    const QString program = command.takeFirst();
    return launchProgram(program, command, options);
}

QString quotedExecArgument(const QString &argument)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (QStringLiteral("\"`$\\").contains(c))
            quoted += u'\\';
        quoted += c;
    }
    return quoted + u'"';
}

QString escapedValue(const QString &value)
{
    QString escaped;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\': escaped += QStringLiteral("\\\\"); break;
        case '\n': escaped += QStringLiteral("\\n"); break;
        case '\t': escaped += QStringLiteral("\\t"); break;
        case '\r': escaped += QStringLiteral("\\r"); break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

}  // namespace QVWorkspace
