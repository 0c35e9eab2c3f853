// The user's own e-mail address as the welcome page and the change dialog
// take it: surrounding blanks dropped, and the "*@domain" form, which the
// lists use for a whole domain, refused.
#pragma once

#include "QVStringAdditions.h"

#include <QString>

namespace QVOwnAddress {

inline QString fromEntry(const QString &entry)
{
    return entry.trimmed();
}

inline bool isValid(const QString &address)
{
    return !address.startsWith(QLatin1String("*@")) && QVAdditions::isValidEmailAddress(address);
}

}  // namespace QVOwnAddress
