// Reads the update's description, an RTF file, into a text document: the
// paragraphs, line breaks and tabs, bold, italic, underline, font sizes,
// colours and alignment; pictures, fields and other destinations are left
// out. Qt has no RTF reader of its own.
#pragma once

#include <QByteArrayView>

class QTextDocument;

namespace QVRTFReader {

// Replaces the document's content. False when the data is not RTF (it does
// not begin with "{\rtf"); the document is then left empty. Groups nested
// deeper than a limit and input past it are dropped, never followed.
bool read(QByteArrayView rtf, QTextDocument *document);

inline constexpr int kMaxGroupDepth = 128;
inline constexpr qsizetype kMaxInputSize = 4 * 1024 * 1024;

}  // namespace QVRTFReader
