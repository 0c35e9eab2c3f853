// Helpers of the window tests.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QThread>

// Runs events until `condition` holds or five seconds pass.
template <typename Condition>
bool waitUntil(Condition condition, int milliseconds = 5000)
{
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // Deferred deletions wait for an event loop; tests run outside one.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(2);
    }
    return true;
}

inline QImage normalized(const QImage &image)
{
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}
