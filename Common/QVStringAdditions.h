// String helpers: the address and domain checks of the list and account
// dialogs, and the engine's UTF-32 text.
#pragma once

#include <QString>

#include <cstddef>
#include <string>

namespace QVAdditions {

// A POSIX extended regular expression (no sub-matches) found anywhere in the
// string's UTF-8 text, unless the pattern is anchored. Text holding a NUL
// never matches. A pattern that does not compile throws
// std::invalid_argument; a matching error other than no match throws
// std::runtime_error.
bool matchesRegularExpressionCString(const QString &string, const char *pattern);

// The whole string is an address ("user@example.com") or a wildcard address
// for a whole domain ("*@example.com"); ASCII only.
bool isValidEmailAddress(const QString &string);

// The whole string is a domain: labels of ASCII letters, digits and inner
// hyphens, each followed by ".", then 2 to 6 ASCII letters.
bool isValidDomain(const QString &string);

// The engine's wide text (UTF-32, 4-byte wchar_t). A null pointer gives a
// null string; the first form stops at the terminating zero.
QString stringWithUTF32String(const wchar_t *text);
QString stringWithUTF32String(const wchar_t *text, std::size_t length);

// The UTF-32 form of the string, no terminator counted in its size.
std::wstring UTF32String(const QString &string);

// `count` tab characters.
QString tabsStringWithIndentation(unsigned count);

}  // namespace QVAdditions
