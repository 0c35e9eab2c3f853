#include "PropertyList.h"

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>
#include <QXmlStreamReader>

#include <cmath>
#include <limits>

namespace PropertyList {
namespace {

class Reader {
public:
    explicit Reader(QByteArrayView xml) : bytes_(QByteArray::fromRawData(xml.data(), xml.size())), xml_(bytes_) {}

    std::optional<QVariant> document()
    {
        if (!nextElement() || xml_.tokenType() != QXmlStreamReader::StartElement || xml_.name() != u"plist")
            return fail(QStringLiteral("the document is not a property list"));
        if (!nextElement() || xml_.tokenType() != QXmlStreamReader::StartElement)
            return fail(QStringLiteral("the property list holds no value"));
        std::optional<QVariant> root = value(1);
        if (!root)
            return std::nullopt;
        if (!nextElement() || xml_.tokenType() != QXmlStreamReader::EndElement)
            return fail(QStringLiteral("the property list holds more than one value"));
        while (!xml_.atEnd()) {
            xml_.readNext();
            if (xml_.tokenType() == QXmlStreamReader::StartElement
                || (xml_.tokenType() == QXmlStreamReader::Characters && !xml_.isWhitespace()))
                return fail(QStringLiteral("content after the property list"));
        }
        if (xml_.hasError())
            return fail(xml_.errorString());
        return root;
    }

    QString error() const { return error_; }

private:
    std::optional<QVariant> fail(const QString &reason)
    {
        if (error_.isEmpty())
            error_ = xml_.hasError() ? xml_.errorString() : reason;
        return std::nullopt;
    }

    // Moves to the next start or end tag, skipping whitespace, comments and
    // processing instructions; false on anything else.
    bool nextElement()
    {
        while (!xml_.atEnd()) {
            switch (xml_.readNext()) {
            case QXmlStreamReader::StartElement:
            case QXmlStreamReader::EndElement: return true;
            case QXmlStreamReader::Characters:
                if (!xml_.isWhitespace())
                    return false;
                break;
            case QXmlStreamReader::StartDocument:
            case QXmlStreamReader::DTD:
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction: break;
            default: return false;
            }
        }
        return false;
    }

    // The text of the current element up to its end tag; nested elements and
    // unresolved entities are errors.
    std::optional<QString> text()
    {
        QString collected;
        while (!xml_.atEnd()) {
            switch (xml_.readNext()) {
            case QXmlStreamReader::Characters: collected += xml_.text(); break;
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction: break;
            case QXmlStreamReader::EndElement: return collected;
            default: return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // Reads the element whose start tag is the current token.
    std::optional<QVariant> value(int depth)
    {
        if (depth > maxDepth)
            return fail(QStringLiteral("nested too deeply"));
        const QStringView name = xml_.name();
        if (name == u"array")
            return array(depth);
        if (name == u"dict")
            return dictionary(depth);
        if (name == u"true" || name == u"false")
            return boolean(name == u"true");

        const QString element = name.toString();
        std::optional<QString> content = text();
        if (!content)
            return fail(QStringLiteral("malformed <%1>").arg(element));
        if (element == u"string")
            return QVariant(*content);
        if (element == u"integer")
            return integer(content->trimmed());
        if (element == u"real")
            return real(content->trimmed());
        if (element == u"data")
            return data(*content);
        if (element == u"date") {
            QDateTime date = QDateTime::fromString(content->trimmed(), Qt::ISODate);
            if (!date.isValid())
                return fail(QStringLiteral("malformed <date>"));
            return QVariant(date);
        }
        return fail(QStringLiteral("unknown element <%1>").arg(element));
    }

    std::optional<QVariant> array(int depth)
    {
        QVariantList items;
        while (nextElement()) {
            if (xml_.tokenType() == QXmlStreamReader::EndElement)
                return QVariant(items);
            std::optional<QVariant> item = value(depth + 1);
            if (!item)
                return std::nullopt;
            items.append(std::move(*item));
        }
        return fail(QStringLiteral("malformed <array>"));
    }

    std::optional<QVariant> dictionary(int depth)
    {
        QVariantMap entries;
        while (nextElement()) {
            if (xml_.tokenType() == QXmlStreamReader::EndElement)
                return QVariant(entries);
            if (xml_.name() != u"key")
                return fail(QStringLiteral("<dict> entry without <key>"));
            std::optional<QString> key = text();
            if (!key || !nextElement() || xml_.tokenType() != QXmlStreamReader::StartElement)
                return fail(QStringLiteral("malformed <dict> entry"));
            std::optional<QVariant> item = value(depth + 1);
            if (!item)
                return std::nullopt;
            entries.insert(*key, std::move(*item));
        }
        return fail(QStringLiteral("malformed <dict>"));
    }

    std::optional<QVariant> boolean(bool truth)
    {
        std::optional<QString> content = text();
        if (!content || !content->trimmed().isEmpty())
            return fail(QStringLiteral("malformed boolean"));
        return QVariant(truth);
    }

    std::optional<QVariant> integer(const QString &digits)
    {
        bool ok = false;
        if (qlonglong signedValue = digits.toLongLong(&ok, 10); ok)
            return QVariant(signedValue);
        if (qulonglong unsignedValue = digits.toULongLong(&ok, 10); ok)
            return QVariant(unsignedValue);
        if (digits.startsWith(u"0x", Qt::CaseInsensitive)) {
            if (qulonglong hexValue = digits.sliced(2).toULongLong(&ok, 16); ok)
                return QVariant(hexValue);
        }
        return fail(QStringLiteral("malformed <integer>"));
    }

    std::optional<QVariant> real(const QString &digits)
    {
        const QString lower = digits.toLower();
        if (lower == u"nan")
            return QVariant(std::numeric_limits<double>::quiet_NaN());
        if (lower == u"infinity" || lower == u"+infinity" || lower == u"inf" || lower == u"+inf")
            return QVariant(std::numeric_limits<double>::infinity());
        if (lower == u"-infinity" || lower == u"-inf")
            return QVariant(-std::numeric_limits<double>::infinity());
        bool ok = false;
        const double number = digits.toDouble(&ok);
        if (!ok)
            return fail(QStringLiteral("malformed <real>"));
        return QVariant(number);
    }

    std::optional<QVariant> data(const QString &base64)
    {
        QByteArray packed;
        for (QChar c : base64) {
            if (!c.isSpace())
                packed.append(c.toLatin1());
        }
        auto decoded = QByteArray::fromBase64Encoding(packed, QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return fail(QStringLiteral("malformed <data>"));
        return QVariant(*decoded);
    }

    QByteArray bytes_;
    QXmlStreamReader xml_;
    QString error_;
};

// Characters XML 1.0 can carry: tab, line feed, carriage return, and the
// rest of Unicode less the other C0 controls, surrogates and U+FFFE/U+FFFF.
bool appendEscaped(QString &out, QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        switch (c) {
        case u'&': out.append(u"&amp;"); continue;
        case u'<': out.append(u"&lt;"); continue;
        case u'>': out.append(u"&gt;"); continue;
        // A raw carriage return would come back as a line feed.
        case u'\r': out.append(u"&#13;"); continue;
        case u'\t':
        case u'\n': out += QChar(c); continue;
        default: break;
        }
        if (c < 0x20 || c == 0xFFFE || c == 0xFFFF)
            return false;
        if (QChar::isHighSurrogate(c)) {
            if (i + 1 >= text.size() || !text[i + 1].isLowSurrogate())
                return false;
            out += QChar(c);
            out += text[++i];
            continue;
        }
        if (QChar::isLowSurrogate(c))
            return false;
        out += QChar(c);
    }
    return true;
}

QString realText(double number)
{
    if (std::isnan(number))
        return QStringLiteral("nan");
    if (std::isinf(number))
        return number > 0 ? QStringLiteral("+infinity") : QStringLiteral("-infinity");
    return QString::number(number, 'g', 17);
}

void appendLine(QString &out, int depth, QStringView text)
{
    out.append(QString(depth, u'\t')).append(text).append(u'\n');
}

bool appendValue(QString &out, const QVariant &value, int depth)
{
    if (depth > maxDepth)
        return false;
    switch (value.typeId()) {
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        const QVariantList items = value.toList();
        if (items.isEmpty()) {
            appendLine(out, depth, u"<array/>");
            return true;
        }
        appendLine(out, depth, u"<array>");
        for (const QVariant &item : items) {
            if (!appendValue(out, item, depth + 1))
                return false;
        }
        appendLine(out, depth, u"</array>");
        return true;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap entries = value.toMap();
        if (entries.isEmpty()) {
            appendLine(out, depth, u"<dict/>");
            return true;
        }
        appendLine(out, depth, u"<dict>");
        for (auto entry = entries.cbegin(); entry != entries.cend(); ++entry) {
            QString key = QStringLiteral("<key>");
            if (!appendEscaped(key, entry.key()))
                return false;
            appendLine(out, depth + 1, key.append(u"</key>"));
            if (!appendValue(out, entry.value(), depth + 1))
                return false;
        }
        appendLine(out, depth, u"</dict>");
        return true;
    }
    case QMetaType::QString: {
        QString text = QStringLiteral("<string>");
        if (!appendEscaped(text, value.toString()))
            return false;
        appendLine(out, depth, text.append(u"</string>"));
        return true;
    }
    case QMetaType::Bool: appendLine(out, depth, value.toBool() ? u"<true/>" : u"<false/>"); return true;
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        appendLine(out, depth, QStringLiteral("<integer>%1</integer>").arg(value.toLongLong()));
        return true;
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        appendLine(out, depth, QStringLiteral("<integer>%1</integer>").arg(value.toULongLong()));
        return true;
    case QMetaType::Float:
    case QMetaType::Double:
        appendLine(out, depth, QStringLiteral("<real>%1</real>").arg(realText(value.toDouble())));
        return true;
    default: return false;
    }
}

}  // namespace

std::optional<QVariant> fromXml(QByteArrayView xml, QString *error)
{
    Reader reader(xml);
    std::optional<QVariant> result = reader.document();
    if (!result && error)
        *error = reader.error();
    return result;
}

std::optional<QByteArray> toXml(const QVariant &value)
{
    QString out = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                 "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                 "<plist version=\"1.0\">\n");
    if (!appendValue(out, value, 0))
        return std::nullopt;
    out.append(u"</plist>\n");
    return out.toUtf8();
}

}  // namespace PropertyList
