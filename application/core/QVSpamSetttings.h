// The user's detection level as a score threshold, and whether the engine's
// trace lines go to the log.
#pragma once

#include <cstdint>

class QVUserDefaults;

// Three t's and "Extened": the names the settings page and the application's
// other parts know it by; kept as they are.
class QVSpamSetttings final {
public:
    static QVSpamSetttings &sharedInstance();

    explicit QVSpamSetttings(QVUserDefaults &defaults) : defaults_(defaults) {}

    // QVSpamDetectionThreshold truncated toward zero. Text that is not a
    // number and NaN read as level 2; infinities and values beyond 32 bits
    // are clamped into them.
    int detectionLevel() const;
    void setDetectionLevel(uint32_t level);
    // Levels 0 to 4 give 10, 30, 50, 70 and 90; anything else 50.
    uint32_t detectionThreshold() const;

    bool isExtenedLogging() const;
    void setExtenedLogging(bool extendedLogging);

private:
    QVUserDefaults &defaults_;
};
