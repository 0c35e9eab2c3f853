// What the mail host reads from a message file's header. The files come from
// anywhere (delivery agents, other mail programs, a user's copy command), so
// any bytes must give a result: a file that does not start like a message
// is reported as such, never guessed at.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

namespace MailMessageHeader {

struct Summary {
    bool looksLikeMail = false;
    // Bytes of the header including the blank line that ends it; the whole
    // input when no blank line was found.
    qsizetype headerLength = 0;
    QString messageID;  // trimmed, as written (angle brackets kept)
    QString sender;  // the From field, encoded words decoded
    QString subject;
    QDateTime date;  // invalid when missing or unreadable
};

// Parses the header at the start of `bytes` (which may be only the first
// part of a file; fields beyond it are not seen).
Summary parse(QByteArrayView bytes);

// The header field's text with RFC 2047 encoded words decoded and folding
// removed.
QString decodeFieldText(QByteArrayView raw);

// The offset just past the blank line that ends the header, or -1.
qsizetype headerEnd(QByteArrayView bytes);

}  // namespace MailMessageHeader
