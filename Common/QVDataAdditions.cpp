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

QString hexHash(const unsigned char *digest)
{
    if (!digest)
        return QString();
    return hexRepresentation(QByteArray::fromRawData(reinterpret_cast<const char *>(digest), digestLength));
}

QString hexHashToHashForString(const QString &string)
{
    if (string.isEmpty())
        return QString();
    const QByteArray twice = QCryptographicHash::hash(md5DataForString(string), QCryptographicHash::Md5);
    return hexHash(reinterpret_cast<const unsigned char *>(twice.constData()));
}

QString hexHashString(const QByteArray &digest)
{
    if (digest.size() < digestLength)
        return QString();
    return hexHash(reinterpret_cast<const unsigned char *>(digest.constData()));
}

}  // namespace QVAdditions
