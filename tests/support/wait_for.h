// Bounded waits for tests that run an event loop: the loop runs until the
// condition holds or the time is up, and the condition's last answer is
// returned.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

template <typename Condition>
bool waitFor(Condition condition, int milliseconds = 10'000) {
    const QDeadlineTimer deadline(milliseconds);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}
