// The update query's parameters and checksum on QVServiceInfo, and its reply
// parser.
#include "QVServiceInfo.h"
#include "QVUpdateFile.h"

#include "QVDataAdditions.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// Escapes what a URL cannot hold, as the service computes it: letters,
// digits and URL punctuation stay.
QString percentEscaped(const QString &text)
{
    static constexpr char kept[] = "-_.!~*'();/?:@&=+$,#";
    QString escaped;
    for (const char byte : text.toUtf8()) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || (c != 0 && std::strchr(kept, c) != nullptr))
            escaped += QLatin1Char(char(c));
        else
            escaped += QStringLiteral("%%1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
    }
    return escaped;
}

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
    QString accumulator;
    for (const QString &parameter : params) {
        if (parameter.isEmpty())
            continue;
        const QStringList pieces = parameter.split(u'=');
        if (pieces.size() == 2 && pieces[0].compare(u"Chk", Qt::CaseInsensitive) != 0)
            accumulator += pieces[0] + pieces[1];
    }
    return QVAdditions::hexHashToHashForString(percentEscaped(accumulator).toLower());
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
