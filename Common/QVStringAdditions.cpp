#include "QVStringAdditions.h"

#include <cwchar>
#include <stdexcept>

#include <regex.h>

static_assert(sizeof(wchar_t) == 4, "the engine's wide text is UTF-32");

namespace QVAdditions {
namespace {

// Spelled out: [[:alnum:]] and ranges follow the process locale, which under
// Qt is UTF-8 and would let non-ASCII letters through.
#define QV_WORD "[ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_]"
#define QV_LETTER "[ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz]"
#define QV_LETTER_DIGIT "[ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789]"
#define QV_LETTER_DIGIT_HYPHEN "[-ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789]"
#define QV_MAIL_DOMAIN QV_WORD "+([-.]" QV_WORD "+)*\\." QV_WORD "+([-.]" QV_WORD "+)*"

constexpr const char *emailPattern = "^(" QV_WORD "+([-+.']" QV_WORD "+)*@" QV_MAIL_DOMAIN "|\\*@" QV_MAIL_DOMAIN ")$";

// The last label is letters only, as many as a DNS label holds (2 to 63:
// .online, .example and .website are real).
constexpr const char *domainPattern =
    "^(" QV_LETTER_DIGIT "(" QV_LETTER_DIGIT_HYPHEN "{0,61}" QV_LETTER_DIGIT ")?\\.)+" QV_LETTER "{2,63}$";

#undef QV_WORD
#undef QV_LETTER
#undef QV_LETTER_DIGIT
#undef QV_LETTER_DIGIT_HYPHEN
#undef QV_MAIL_DOMAIN

}  // namespace

bool matchesRegularExpressionCString(const QString &string, const char *pattern)
{
    regex_t expression;
    if (pattern == nullptr || regcomp(&expression, pattern, REG_EXTENDED | REG_NOSUB) != 0)
        throw std::invalid_argument("the regular expression does not compile");
    // A NUL would end the C string early and hide what follows it.
    if (string.contains(QChar(0))) {
        regfree(&expression);
        return false;
    }
    const QByteArray text = string.toUtf8();
    const int result = regexec(&expression, text.constData(), 0, nullptr, 0);
    regfree(&expression);
    if (result != 0 && result != REG_NOMATCH)
        throw std::runtime_error("the regular expression could not be matched");
    return result == 0;
}

bool isValidEmailAddress(const QString &string)
{
    return matchesRegularExpressionCString(string, emailPattern);
}

bool isValidDomain(const QString &string)
{
    return matchesRegularExpressionCString(string, domainPattern);
}

QString stringWithUTF32String(const wchar_t *text)
{
    if (!text)
        return QString();
    return stringWithUTF32String(text, std::wcslen(text));
}

QString stringWithUTF32String(const wchar_t *text, std::size_t length)
{
    if (!text)
        return QString();
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(text), static_cast<qsizetype>(length));
}

std::wstring UTF32String(const QString &string)
{
    return string.toStdWString();
}

QString tabsStringWithIndentation(unsigned count)
{
    return QString(static_cast<qsizetype>(count), u'\t');
}

}  // namespace QVAdditions
