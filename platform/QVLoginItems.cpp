#include "QVLoginItems.h"

#include "PropertyList.h"
#include "QVRunningApplications.h"
#include "QVWorkspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace QVLoginItems {
namespace {

QString stringValue(const QVariantMap &map, const char *key)
{
    const QVariant value = map.value(QString::fromLatin1(key));
    return value.userType() == QMetaType::QString ? value.toString() : QString();
}

}  // namespace

std::optional<Bundle> registerBundle(const QString &bundlePath)
{
    const QString contents = bundlePath + QStringLiteral("/Contents");
    QFile file(contents + QStringLiteral("/Info.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto plist = PropertyList::fromXml(file.read(1 << 20));
    if (!plist)
        return std::nullopt;
    const QVariantMap info = plist->toMap();
    Bundle bundle{QDir::cleanPath(QFileInfo(bundlePath).absoluteFilePath()), stringValue(info, "CFBundleIdentifier"),
                  stringValue(info, "CFBundleExecutable")};
    if (bundle.identifier.isEmpty() || bundle.identifier.contains(u'/') || bundle.executablePath.isEmpty()
        || bundle.executablePath.contains(u'/'))
        return std::nullopt;
    bundle.executablePath = bundle.path + QStringLiteral("/Contents/MacOS/") + bundle.executablePath;
    const QFileInfo program(bundle.executablePath);
    if (!program.isFile() || !program.isExecutable())
        return std::nullopt;
    return bundle;
}

QString autostartEntryPath(const QString &identifier)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/")
        + identifier + QStringLiteral(".desktop");
}

bool setEnabled(const Bundle &bundle, bool enabled)
{
    const QString path = autostartEntryPath(bundle.identifier);
    if (!enabled)
        return !QFileInfo::exists(path) || QFile::remove(path);

    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=%1\n"
                                         "Exec=%2\n"
                                         "NoDisplay=true\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(QVWorkspace::escapedValue(QFileInfo(bundle.path).completeBaseName()),
                                   QVWorkspace::escapedValue(QVWorkspace::quotedExecArgument(
                                       QString(bundle.executablePath).replace(u'%', QStringLiteral("%%")))));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(entry.toUtf8()) < 0 || !file.commit())
        return false;
    if (!QVRunningApplications::isRunning(bundle.identifier))
        QVWorkspace::launchProgram(bundle.executablePath, {}, QVWorkspace::LaunchWithoutActivation);
    return true;
}

}  // namespace QVLoginItems
