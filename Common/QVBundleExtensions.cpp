#include "QVBundleExtensions.h"

#include <QDir>
#include <QStandardPaths>

namespace QVNSBundleExtensions {

QString productName()
{
    return QStringLiteral("Quorvane");
}

QString applicationSupportDirectory()
{
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u'/' + productName();
    QDir().mkpath(path);
    return path;
}

}  // namespace QVNSBundleExtensions
