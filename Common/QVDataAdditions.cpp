#include "QVDataAdditions.h"

#include <QCryptographicHash>

namespace QVAdditions {
namespace {

constexpr qsizetype digestLength = 16;

}  // namespace

QString hexRepresentation(const QByteArray &data)
{
    return QString::fromLatin1(data.toHex());
}

QByteArray md5DataForString(const QString &string)
{
    if (string.isEmpty())
        return QByteArray();
    return QCryptographicHash::hash(string.toUtf8(), QCryptographicHash::Md5);
}

QString hexHashToHashForString(const QString &string)
{
    if (string.isEmpty())
        return QString();
    return hexHashString(QCryptographicHash::hash(md5DataForString(string), QCryptographicHash::Md5));
}

QString hexHashString(const QByteArray &digest)
{
    if (digest.size() < digestLength)
        return QString();
    return hexRepresentation(digest.first(digestLength));
}

}  // namespace QVAdditions
