#include "QVPluginBundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>

namespace QVPluginBundle {

QString bundlePath()
{
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<const void *>(&bundlePath), &info) || !info.dli_fname)
        return {};
    // <bundle>/Contents/MacOS/<library>
    QDir dir = QFileInfo(QFile::decodeName(info.dli_fname)).absoluteDir();
    return dir.cdUp() && dir.cdUp() ? dir.absolutePath() : QString();
}

QString imagePath(const char *name)
{
    const QString path =
        bundlePath() + QStringLiteral("/Contents/Resources/") + QLatin1String(name) + QStringLiteral(".svg");
    return QFileInfo::exists(path) ? path : QString();
}

}  // namespace QVPluginBundle
