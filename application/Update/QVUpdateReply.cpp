// The update query's parameters and checksum on QVServiceInfo, and its reply
// parser.
#include "QVServiceInfo.h"
#include "QVUpdateFile.h"

#include <algorithm>
#include <limits>

namespace {

// Leading decimal value of a version component, saturated like a C int.
std::int64_t componentValue(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = std::min<std::int64_t>(value * 10 + (text[i].unicode() - u'0'), std::int64_t(1) << 31);
    value = negative ? -value : value;
    return std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
}

}  // namespace

std::uint64_t QVServiceInfo::lastSeenNumber()
{
    std::uint64_t number = 0;
    const QString version = productVersion();
    for (const QStringView component : QStringView(version).split(u'.', Qt::SkipEmptyParts))
        number = (number << 16) | (std::uint64_t(componentValue(component)) & 0xFFFF);
    return number;
}

QString QVServiceInfo::checksumForParams(const QStringList &params)
{
    return QVUpdateProtocol::checksumForParams(params);
}

QStringList QVServiceInfo::updateQueryParameters()
{
    QStringList parameters{
        QStringLiteral("Action=QueryUpdate"),
        QStringLiteral("Schema=4"),
        QStringLiteral("UpdateSchema=4"),
        QStringLiteral("ProductName=") + productCode(),
        QStringLiteral("Lsn=") + QString::number(qint64(lastSeenNumber())),
        QStringLiteral("Lang=") + language(),
        QStringLiteral("AutoUpdate=0"),
        QStringLiteral("ReleaseType=1"),
        QStringLiteral("ResForm=1"),
        QStringLiteral("UpdateKey="),
    };
    parameters << QStringLiteral("Chk=") + checksumForParams(parameters);
    return parameters;
}

bool QVServiceInfo::parseTextResponse(const QString &reply, QString *description, QUrl *url, QList<QVUpdateFile> *files)
{
    return QVUpdateReply::parse(reply, true, description, url, files);
}
