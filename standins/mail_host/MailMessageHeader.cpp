#include "MailMessageHeader.h"

#include <QStringDecoder>

namespace MailMessageHeader {

namespace {

constexpr qsizetype kMaxFieldLength = 64 * 1024;  // longer fields are cut for display

bool isFieldNameChar(char c)
{
    return c > 32 && c < 127 && c != ':';
}

// "Name:" at the start of a line.
qsizetype fieldNameLength(QByteArrayView line)
{
    qsizetype i = 0;
    while (i < line.size() && isFieldNameChar(line[i]))
        ++i;
    return i > 0 && i < line.size() && line[i] == ':' ? i : -1;
}

QString decodeCharset(const QByteArray &charset, const QByteArray &bytes)
{
    // A language suffix (RFC 2231) is not part of the charset name.
    QByteArray name = charset;
    if (const qsizetype star = name.indexOf('*'); star >= 0)
        name.truncate(star);
    QStringDecoder decoder(name.constData());
    if (!decoder.isValid())
        return QString::fromLatin1(bytes);
    return decoder.decode(bytes);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray decodeQ(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// One encoded word "=?charset?B|Q?text?=" starting at `at`; its decoded text
// and length, or length 0 when there is none.
std::pair<QString, qsizetype> encodedWord(QByteArrayView raw, qsizetype at)
{
    if (!raw.sliced(at).startsWith("=?"))
        return {{}, 0};
    const qsizetype charsetEnd = raw.indexOf('?', at + 2);
    if (charsetEnd < 0 || charsetEnd + 2 >= raw.size() || raw[charsetEnd + 2] != '?')
        return {{}, 0};
    const char encoding = raw[charsetEnd + 1];
    const qsizetype textStart = charsetEnd + 3;
    const qsizetype textEnd = raw.indexOf("?=", textStart);
    if (textEnd < 0)
        return {{}, 0};
    const QByteArrayView text = raw.sliced(textStart, textEnd - textStart);
    if (text.contains(' '))
        return {{}, 0};
    QByteArray bytes;
    if (encoding == 'B' || encoding == 'b')
        bytes = QByteArray::fromBase64(text.toByteArray());
    else if (encoding == 'Q' || encoding == 'q')
        bytes = decodeQ(text);
    else
        return {{}, 0};
    const QByteArray charset = raw.sliced(at + 2, charsetEnd - at - 2).toByteArray();
    return {decodeCharset(charset, bytes), textEnd + 2 - at};
}

}  // namespace

qsizetype headerEnd(QByteArrayView bytes)
{
    // A line that is empty, or holds only CR, ends the header.
    qsizetype lineStart = 0;
    while (lineStart < bytes.size()) {
        const qsizetype newline = bytes.indexOf('\n', lineStart);
        if (newline < 0)
            return -1;
        const qsizetype length = newline - lineStart;
        if (length == 0 || (length == 1 && bytes[lineStart] == '\r'))
            return newline + 1;
        lineStart = newline + 1;
    }
    return -1;
}

QString decodeFieldText(QByteArrayView raw)
{
    if (raw.size() > kMaxFieldLength)
        raw = raw.first(kMaxFieldLength);
    QString out;
    QString pendingSpace;  // white space between two encoded words is dropped
    bool lastWasEncoded = false;
    qsizetype i = 0;
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (c == ' ' || c == '\t') {
            pendingSpace += QLatin1Char(' ');
            ++i;
            continue;
        }
        if (const auto [text, length] = encodedWord(raw, i); length > 0) {
            if (!lastWasEncoded)
                out += pendingSpace;
            out += text;
            pendingSpace.clear();
            lastWasEncoded = true;
            i += length;
            continue;
        }
        out += pendingSpace;
        pendingSpace.clear();
        lastWasEncoded = false;
        // Raw bytes: UTF-8 when valid (as modern mail is), else Latin-1.
        qsizetype end = i;
        while (end < raw.size() && raw[end] != ' ' && raw[end] != '\t' && raw[end] != '\r' && raw[end] != '\n')
            ++end;
        const QByteArrayView word = raw.sliced(i, end - i);
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString decoded = utf8.decode(word);
        out += utf8.hasError() ? QString::fromLatin1(word) : decoded;
        i = end;
    }
    return out.simplified();
}

Summary parse(QByteArrayView bytes)
{
    Summary summary;
    const qsizetype end = headerEnd(bytes);
    summary.headerLength = end < 0 ? bytes.size() : end;
    const QByteArrayView header = bytes.first(summary.headerLength);

    // The first line must be a header field, or the "From " line that mbox
    // tools leave in front of a message.
    const qsizetype firstNewline = header.indexOf('\n');
    const QByteArrayView firstLine = firstNewline < 0 ? header : header.first(firstNewline);
    summary.looksLikeMail = fieldNameLength(firstLine) > 0 || firstLine.startsWith("From ");
    if (!summary.looksLikeMail)
        return summary;

    QByteArray messageID, from, subject, date;
    QByteArray *current = nullptr;
    qsizetype lineStart = 0;
    while (lineStart < header.size()) {
        qsizetype newline = header.indexOf('\n', lineStart);
        if (newline < 0)
            newline = header.size();
        QByteArrayView line = header.sliced(lineStart, newline - lineStart);
        if (line.endsWith('\r'))
            line.chop(1);
        lineStart = newline + 1;
        if (line.isEmpty())
            break;
        if (line[0] == ' ' || line[0] == '\t') {
            // Continuation of the field before.
            if (current && current->size() < kMaxFieldLength)
                current->append(' ').append(line.trimmed());
            continue;
        }
        current = nullptr;
        const qsizetype nameLength = fieldNameLength(line);
        if (nameLength <= 0)
            continue;
        const QByteArray name = line.first(nameLength).toByteArray().toLower();
        QByteArray *field = name == "message-id" ? &messageID
            : name == "from"                     ? &from
            : name == "subject"                  ? &subject
            : name == "date"                     ? &date
                                                 : nullptr;
        // The first occurrence of a field counts.
        if (field && field->isNull()) {
            *field = line.sliced(nameLength + 1).trimmed().toByteArray();
            if (field->isNull())
                *field = QByteArray("");
            current = field;
        }
    }
    summary.messageID = QString::fromLatin1(messageID.trimmed()).simplified();
    if (summary.messageID.contains(QLatin1Char(' ')))
        summary.messageID = summary.messageID.section(QLatin1Char(' '), 0, 0);
    summary.sender = decodeFieldText(from);
    summary.subject = decodeFieldText(subject);
    QString dateText = QString::fromLatin1(date).simplified();
    if (const qsizetype comment = dateText.indexOf(QLatin1Char('(')); comment > 0)
        dateText.truncate(comment);
    summary.date = QDateTime::fromString(dateText.trimmed(), Qt::RFC2822Date);
    return summary;
}

}  // namespace MailMessageHeader
