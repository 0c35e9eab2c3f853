#include "QVMainBundle.h"

#include "PropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace QVMainBundle {
namespace {
QString &testBundlePath()
{
    static QString path;
    return path;
}
}  // namespace

QString executableFolder()
{
    return QCoreApplication::applicationDirPath();
}

QString bundlePath()
{
    if (!testBundlePath().isEmpty())
        return testBundlePath();
    return QDir::cleanPath(executableFolder() + QStringLiteral("/../.."));
}

QString contentsPath()
{
    return bundlePath() + QStringLiteral("/Contents");
}

QVariantMap infoDictionary()
{
    QFile file(contentsPath() + QStringLiteral("/Info.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto value = PropertyList::fromXml(file.read(1 << 20));
    return value ? value->toMap() : QVariantMap();
}

QString infoString(const QString &key)
{
    const QVariant value = infoDictionary().value(key);
    return value.userType() == QMetaType::QString ? value.toString() : QString();
}

void setBundlePathForTesting(const QString &path)
{
    testBundlePath() = path;
}

}  // namespace QVMainBundle
