#include "QVMailPlugin.h"

#include "PropertyList.h"
#include "QVMainBundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QVersionNumber>

namespace QVMailPlugin {

QString pluginBundleName()
{
    return QStringLiteral("Quorvane.mailbundle");
}

QString userLibraryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Library");
}

QStringList pluginFolders(const QString &libraryPath)
{
    if (libraryPath.isEmpty())
        return {};
    return {libraryPath + QStringLiteral("/Mail/Bundles"), libraryPath + QStringLiteral("/Mail/Bundles (Disabled)")};
}

QString installedPluginPath(const QString &libraryPath)
{
    for (const QString &folder : pluginFolders(libraryPath)) {
        const QString path = folder + u'/' + pluginBundleName();
        if (QFileInfo(folder).isDir() && QFileInfo::exists(path))
            return path;
    }
    return {};
}

QString bundledPluginPath()
{
    return QVMainBundle::contentsPath() + QStringLiteral("/PlugIns/") + pluginBundleName();
}

QString bundleVersion(const QString &bundlePath)
{
    if (bundlePath.isEmpty())
        return {};
    QFile file(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto plist = PropertyList::fromXml(file.read(1 << 20));
    if (!plist)
        return {};
    const QVariant version = plist->toMap().value(QStringLiteral("CFBundleVersion"));
    return version.userType() == QMetaType::QString ? version.toString() : QString();
}

int compareVersions(const QString &a, const QString &b)
{
    const auto number = [](const QString &text) {
        const QVersionNumber version = QVersionNumber::fromString(text.trimmed());
        return version.normalized();  // a null version is 0
    };
    return QVersionNumber::compare(number(a), number(b));
}

}  // namespace QVMailPlugin
