// The update reply's grammar and the rules for what a reply may name: no
// application state, so that the fuzzer links it alone.
#include "QVUpdateFile.h"

#include "QVDataAdditions.h"

#include <QHostAddress>

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

}  // namespace

namespace QVUpdateSecurity {

bool isTrustedUrl(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    if (url.scheme() == u"https")
        return true;
    if (url.scheme() != u"http")
        return false;
    const QString host = url.host();
    return host == u"localhost" || QHostAddress(host).isLoopback();
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
    QString hashed = descriptionField->toString() + QString::number(*field3);

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
        hashed += baseText + QString::number(count);
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
            hashed += name->toString() + QString::number(*first) + md5->toString() + QString::number(*size)
                      + QString::number(*flag) + QString::number(*last);
            entries.append({name->toString(), md5->toString(), *size, (*flag & 0xFF) != 0});
        }
    }
    if (verifyChecksum
        && QVAdditions::hexHashToHashForString(hashed.toLower()).compare(*checksum, Qt::CaseInsensitive) != 0)
        return false;
    if (description)
        *description = descriptionField->toString();
    if (url)
        *url = baseUrl;
    if (files)
        *files = entries;
    return true;
}
