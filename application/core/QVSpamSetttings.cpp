#include "QVSpamSetttings.h"

#include "QVUserDefaults.h"

#include <cmath>
#include <limits>

namespace {
constexpr int kDefaultLevel = 2;
}

QVSpamSetttings &QVSpamSetttings::sharedInstance()
{
    static QVSpamSetttings settings(QVUserDefaults::standardUserDefaults());
    return settings;
}

int QVSpamSetttings::detectionLevel() const
{
    bool isNumber = false;
    const double level = defaults_.objectForKey(kQVSpamDetectionThresholdKey).toDouble(&isNumber);
    if (!isNumber || std::isnan(level))
        return kDefaultLevel;
    constexpr double lowest = std::numeric_limits<int>::min();
    constexpr double highest = std::numeric_limits<int>::max();
    if (level <= lowest)
        return std::numeric_limits<int>::min();
    if (level >= highest)
        return std::numeric_limits<int>::max();
    return static_cast<int>(level);  // truncates toward zero
}

void QVSpamSetttings::setDetectionLevel(uint32_t level)
{
    defaults_.setObject(static_cast<double>(level), kQVSpamDetectionThresholdKey);
}

uint32_t QVSpamSetttings::detectionThreshold() const
{
    const auto level = static_cast<uint32_t>(detectionLevel());
    return level <= 4 ? level * 20 + 10 : 50;
}

bool QVSpamSetttings::isExtenedLogging() const
{
    return defaults_.boolForKey(kQVSpamExtendedLoggingKey);
}

void QVSpamSetttings::setExtenedLogging(bool extendedLogging)
{
    defaults_.setObject(extendedLogging, kQVSpamExtendedLoggingKey);
}
