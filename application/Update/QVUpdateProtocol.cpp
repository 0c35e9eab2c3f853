#include "QVUpdateProtocol.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace {

// Reads the reply field by field: CR and LF before a field are skipped; a
// field runs to the next CR LF.
class ReplyScanner {
public:
    explicit ReplyScanner(QStringView text) : text_(text) {}

    std::optional<QStringView> text()
    {
        while (position_ < text_.size() && (text_[position_] == u'\r' || text_[position_] == u'\n'))
            ++position_;
        if (position_ >= text_.size())
            return std::nullopt;
        qsizetype end = text_.indexOf(u"\r\n", position_);
        if (end < 0)
            end = text_.size();
        const QStringView field = text_.mid(position_, end - position_);
        position_ = end;
        return field;
    }

    // A whole field of an optional "-" and decimal digits within the range.
    std::optional<std::int64_t> number(std::int64_t minimum, std::int64_t maximum)
    {
        const auto field = text();
        if (!field || field->isEmpty() || field->size() > 20)
            return std::nullopt;
        const bool negative = field->front() == u'-';
        if (negative && field->size() == 1)
            return std::nullopt;
        std::uint64_t magnitude = 0;
        for (const QChar c : field->mid(negative ? 1 : 0)) {
            if (c < u'0' || c > u'9')
                return std::nullopt;
            const std::uint64_t digit = c.unicode() - u'0';
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
                return std::nullopt;
            magnitude = magnitude * 10 + digit;
        }
        const std::uint64_t limit = negative ? std::uint64_t(0) - std::uint64_t(minimum) : std::uint64_t(maximum);
        if ((negative && minimum >= 0) || magnitude > limit)
            return std::nullopt;
        return negative ? std::int64_t(0 - magnitude) : std::int64_t(magnitude);
    }

    bool atEnd()
    {
        while (position_ < text_.size() && (text_[position_] == u'\r' || text_[position_] == u'\n'))
            ++position_;
        return position_ >= text_.size();
    }

private:
    QStringView text_;
    qsizetype position_ = 0;
};

constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

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

// 127.0.0.0/8 written as four decimal numbers.
bool isLoopbackIPv4(const QString &host)
{
    const QStringList parts = host.split(u'.');
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        bool ok = false;
        if (part.isEmpty() || part.size() > 3 || part.toUInt(&ok) > 255 || !ok)
            return false;
    }
    return parts[0] == u"127";
}

}  // namespace

QString QVUpdateProtocol::doubleHash(const QString &text)
{
    if (text.isEmpty())
        return QString();
    const QByteArray once = QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5);
    return QString::fromLatin1(QCryptographicHash::hash(once, QCryptographicHash::Md5).toHex());
}

QString QVUpdateProtocol::checksumForParams(const QStringList &params)
{
    QString accumulator;
    for (const QString &parameter : params) {
        if (parameter.isEmpty())
            continue;
        const QStringList pieces = parameter.split(u'=');
        if (pieces.size() == 2 && pieces[0].compare(u"Chk", Qt::CaseInsensitive) != 0)
            accumulator += pieces[0] + pieces[1];
    }
    return doubleHash(percentEscaped(accumulator).toLower());
}

namespace QVUpdateSecurity {

bool isLoopbackHttp(const QUrl &url)
{
    if (!url.isValid() || url.scheme() != u"http" || !url.userInfo().isEmpty())
        return false;
    const QString host = url.host();
    return host == u"localhost" || host == u"::1" || isLoopbackIPv4(host);
}

bool isTrustedUrl(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    return url.scheme() == u"https" || isLoopbackHttp(url);
}

bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') && !name.contains(QChar(0))
        && name.toUtf8().size() <= 255;
}

QUrl fileUrl(const QUrl &base, const QString &name)
{
    return base.resolved(QUrl(QString::fromLatin1(QUrl::toPercentEncoding(name)), QUrl::StrictMode));
}

}  // namespace QVUpdateSecurity

bool QVUpdateReply::parse(const QString &reply, bool verifyChecksum, QString *description, QUrl *url,
                          QList<QVUpdateFile> *files)
{
    ReplyScanner scanner(reply);
    const auto checksum = scanner.text();
    if (!checksum)
        return false;
    if (*checksum == u"0" && scanner.atEnd()) {
        if (description)
            *description = QString();
        if (url)
            *url = QUrl();
        if (files)
            files->clear();
        return true;
    }
    const auto descriptionField = scanner.text();
    const auto field3 = scanner.number(kInt64Min, kInt64Max);
    if (!descriptionField || !field3)
        return false;
    // What the checksum covers, built only when it is checked.
    QString hashed;
    const auto cover = [&hashed, verifyChecksum](auto &&...parts) {
        if (verifyChecksum)
            (hashed.append(parts), ...);
    };
    cover(*descriptionField, QString::number(*field3));

    // A reply may end after field 3: no files.
    QString baseText;
    std::int64_t count = 0;
    if (!scanner.atEnd()) {
        baseText = scanner.text()->toString();
        const auto n = scanner.number(0, std::numeric_limits<int>::max());
        if (!n)
            return false;
        count = *n;
    }
    QUrl baseUrl;
    QList<QVUpdateFile> entries;
    if (!baseText.isEmpty() && count > 0) {
        baseUrl = QUrl(baseText, QUrl::StrictMode);
        if (!QVUpdateSecurity::isTrustedUrl(baseUrl))
            return false;
        cover(baseText, QString::number(count));
        std::int64_t announced = 0;
        // One entry per group read; the count alone allocates nothing.
        for (std::int64_t i = 0; i < count; ++i) {
            const auto name = scanner.text();
            if (!name || !QVUpdateSecurity::isPlainFileName(name->toString()))
                return false;
            const auto first = scanner.number(kInt64Min, kInt64Max);
            if (!first)
                return false;
            const auto md5 = scanner.text();
            if (!md5)
                return false;
            const auto size = scanner.number(0, kInt64Max);
            if (!size)
                return false;
            const auto flag = scanner.number(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
            if (!flag)
                return false;
            const auto last = scanner.number(kInt64Min, kInt64Max);
            if (!last)
                return false;
            // Together the files may not announce more than an update may
            // hold (deleted entries count as the sizes they name).
            announced += *size;
            if (announced > QVUpdateProtocol::kMaxUpdateSize)
                return false;
            cover(*name, QString::number(*first), *md5, QString::number(*size), QString::number(*flag),
                  QString::number(*last));
            entries.append({name->toString(), md5->toString(), *size, (*flag & 0xFF) != 0});
        }
    }
    if (verifyChecksum && QVUpdateProtocol::doubleHash(hashed.toLower()).compare(*checksum, Qt::CaseInsensitive) != 0)
        return false;
    if (description)
        *description = descriptionField->toString();
    if (url)
        *url = baseUrl;
    if (files)
        *files = entries;
    return true;
}
