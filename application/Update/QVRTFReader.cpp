#include "QVRTFReader.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QStringDecoder>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <optional>

namespace {

struct GroupState {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int halfPoints = 24;
    int colour = 0;
    Qt::Alignment alignment = Qt::AlignLeft;
    bool skipped = false;  // a destination whose text is not shown
    bool colourTable = false;  // \colortbl: its text defines colours
    int unicodeSkip = 1;  // \ucN: characters that stand in for \uN
};

// The character set of \'hh escapes: Windows-1252, which RTF writers use
// for Western text by default.
QString fromAnsi(char byte)
{
    static const std::array<char16_t, 32> high = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                                  0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    const auto c = static_cast<unsigned char>(byte);
    if (c >= 0x80 && c < 0xA0)
        return QString(QChar(high[c - 0x80]));
    return QString(QChar(c));
}

class Reader {
public:
    Reader(QByteArrayView input, QTextDocument *document) : input_(input), cursor_(document) {}

    void run()
    {
        stack_.append(GroupState{});
        while (position_ < input_.size()) {
            const char c = input_[position_];
            if (c == '{') {
                ++position_;
                flush();
                if (stack_.size() >= QVRTFReader::kMaxGroupDepth) {
                    skipGroup();
                    continue;
                }
                stack_.append(stack_.last());
                stack_.last().colourTable = false;
                if (position_ + 1 < input_.size() && input_[position_] == '\\' && input_[position_ + 1] == '*')
                    stack_.last().skipped = true;
            } else if (c == '}') {
                ++position_;
                flush();
                if (stack_.size() > 1)
                    stack_.removeLast();
                else
                    return;  // the end of the document's group
            } else if (c == '\\') {
                controlWord();
            } else if (c == '\r' || c == '\n') {
                ++position_;
            } else {
                ++position_;
                text(QString(QChar(static_cast<unsigned char>(c))));
            }
        }
        flush();
    }

private:
    GroupState &state() { return stack_.last(); }

    // Skips a whole group whose opening brace was read, its nesting
    // counted without keeping state.
    void skipGroup()
    {
        for (qsizetype depth = 1; position_ < input_.size() && depth > 0; ++position_) {
            const char c = input_[position_];
            if (c == '\\')
                ++position_;
            else if (c == '{')
                ++depth;
            else if (c == '}')
                --depth;
        }
    }

    void controlWord()
    {
        ++position_;
        if (position_ >= input_.size())
            return;
        const char first = input_[position_];
        if (!std::isalpha(static_cast<unsigned char>(first))) {
            ++position_;
            controlSymbol(first);
            return;
        }
        const qsizetype start = position_;
        while (position_ < input_.size() && std::isalpha(static_cast<unsigned char>(input_[position_]))
               && position_ - start < 32)
            ++position_;
        const QByteArrayView word = input_.sliced(start, position_ - start);
        std::optional<int> parameter;
        bool negative = false;
        if (position_ < input_.size() && input_[position_] == '-') {
            negative = true;
            ++position_;
        }
        qint64 value = 0;
        bool digits = false;
        while (position_ < input_.size() && std::isdigit(static_cast<unsigned char>(input_[position_]))) {
            value = std::min<qint64>(value * 10 + (input_[position_] - '0'), 1 << 20);
            digits = true;
            ++position_;
        }
        if (digits)
            parameter = int(negative ? -value : value);
        if (position_ < input_.size() && input_[position_] == ' ')
            ++position_;
        apply(word, parameter);
    }

    void controlSymbol(char symbol)
    {
        switch (symbol) {
        case '\\':
        case '{':
        case '}': text(QString(QChar(symbol))); break;
        case '~': text(QString(QChar(0x00A0))); break;
        case '_': text(QString(QChar(0x2011))); break;
        case '\'': {
            if (position_ + 2 <= input_.size()) {
                bool ok = false;
                const int byte = QByteArray(input_.sliced(position_, 2).data(), 2).toInt(&ok, 16);
                position_ += 2;
                if (ok)
                    text(fromAnsi(char(byte)));
            }
            break;
        }
        case '\r':
        case '\n': paragraph(); break;
        default:  // \*, \- and others carry no text
            break;
        }
    }

    void apply(QByteArrayView word, std::optional<int> parameter)
    {
        GroupState &s = state();
        const int value = parameter.value_or(1);
        if (word == "par" || word == "sect") {
            paragraph();
        } else if (word == "line") {
            text(QString(QChar::LineSeparator));
        } else if (word == "tab") {
            text(QStringLiteral("\t"));
        } else if (word == "b") {
            flush();
            s.bold = value != 0;
        } else if (word == "i") {
            flush();
            s.italic = value != 0;
        } else if (word == "ul") {
            flush();
            s.underline = value != 0;
        } else if (word == "ulnone") {
            flush();
            s.underline = false;
        } else if (word == "fs") {
            flush();
            s.halfPoints = std::clamp(value, 8, 144);
        } else if (word == "cf") {
            flush();
            s.colour = std::max(0, value);
        } else if (word == "plain") {
            flush();
            s.bold = s.italic = s.underline = false;
            s.halfPoints = 24;
            s.colour = 0;
        } else if (word == "pard") {
            s.alignment = Qt::AlignLeft;
        } else if (word == "qc") {
            s.alignment = Qt::AlignHCenter;
        } else if (word == "qr") {
            s.alignment = Qt::AlignRight;
        } else if (word == "qj") {
            s.alignment = Qt::AlignJustify;
        } else if (word == "ql") {
            s.alignment = Qt::AlignLeft;
        } else if (word == "uc") {
            s.unicodeSkip = std::clamp(value, 0, 8);
        } else if (word == "u") {
            text(QString(QChar(char16_t(value < 0 ? value + 65536 : value))));
            skipFallback(s.unicodeSkip);
        } else if (word == "colortbl") {
            s.skipped = true;
            s.colourTable = true;
            colours_ = {QColor()};
        } else if (s.colourTable && (word == "red" || word == "green" || word == "blue")) {
            QColor &colour = colours_.last();
            if (!colour.isValid())
                colour = QColor(0, 0, 0);
            const int component = std::clamp(value, 0, 255);
            if (word == "red")
                colour.setRed(component);
            else if (word == "green")
                colour.setGreen(component);
            else
                colour.setBlue(component);
        } else if (word == "fonttbl" || word == "stylesheet" || word == "info" || word == "pict" || word == "header"
                   || word == "footer" || word == "headerl" || word == "headerr" || word == "footerl"
                   || word == "footerr" || word == "footnote" || word == "fldinst" || word == "object"
                   || word == "xmlnstbl" || word == "listtable" || word == "listoverridetable"
                   || word == "expandedcolortbl" || word == "NeXTGraphic") {
            s.skipped = true;
        } else if (word == "emdash") {
            text(QString(QChar(0x2014)));
        } else if (word == "endash") {
            text(QString(QChar(0x2013)));
        } else if (word == "bullet") {
            text(QString(QChar(0x2022)));
        } else if (word == "lquote") {
            text(QString(QChar(0x2018)));
        } else if (word == "rquote") {
            text(QString(QChar(0x2019)));
        } else if (word == "ldblquote") {
            text(QString(QChar(0x201C)));
        } else if (word == "rdblquote") {
            text(QString(QChar(0x201D)));
        }
    }

    // The characters that follow \uN for readers without Unicode.
    void skipFallback(int count)
    {
        for (int i = 0; i < count && position_ < input_.size(); ++i) {
            const char c = input_[position_];
            if (c == '{' || c == '}')
                return;
            if (c == '\\' && position_ + 1 < input_.size() && input_[position_ + 1] == '\'')
                position_ += std::min<qsizetype>(4, input_.size() - position_);
            else
                ++position_;
        }
    }

    void text(const QString &characters)
    {
        if (state().colourTable) {
            if (characters.contains(u';'))
                colours_.append(QColor());
            return;
        }
        if (state().skipped)
            return;
        if (pending_.isEmpty())
            pendingState_ = state();
        else if (!sameLook(pendingState_, state()))
            flush(), pendingState_ = state();
        pending_ += characters;
    }

    static bool sameLook(const GroupState &a, const GroupState &b)
    {
        return a.bold == b.bold && a.italic == b.italic && a.underline == b.underline && a.halfPoints == b.halfPoints
            && a.colour == b.colour;
    }

    void flush()
    {
        if (pending_.isEmpty())
            return;
        QTextCharFormat format;
        format.setFontWeight(pendingState_.bold ? QFont::Bold : QFont::Normal);
        format.setFontItalic(pendingState_.italic);
        format.setFontUnderline(pendingState_.underline);
        format.setFontPointSize(pendingState_.halfPoints / 2.0);
        if (pendingState_.colour > 0 && pendingState_.colour < colours_.size()
            && colours_[pendingState_.colour].isValid())
            format.setForeground(colours_[pendingState_.colour]);
        QTextBlockFormat block = cursor_.blockFormat();
        block.setAlignment(state().alignment);
        cursor_.setBlockFormat(block);
        cursor_.insertText(pending_, format);
        pending_.clear();
    }

    void paragraph()
    {
        if (state().skipped)
            return;
        flush();
        QTextBlockFormat block = cursor_.blockFormat();
        block.setAlignment(state().alignment);
        cursor_.setBlockFormat(block);
        cursor_.insertBlock();
    }

    QByteArrayView input_;
    qsizetype position_ = 0;
    QTextCursor cursor_;
    QList<GroupState> stack_;
    QList<QColor> colours_{QColor()};
    QString pending_;
    GroupState pendingState_;
};

}  // namespace

namespace QVRTFReader {

bool read(QByteArrayView rtf, QTextDocument *document)
{
    document->clear();
    if (!rtf.startsWith("{\\rtf"))
        return false;
    Reader reader(rtf.first(std::min(rtf.size(), kMaxInputSize)).sliced(1), document);
    reader.run();
    return true;
}

}  // namespace QVRTFReader
