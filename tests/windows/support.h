// Helpers of the window tests.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

// Runs events until `condition` holds or five seconds pass.
template <typename Condition> bool waitUntil(Condition condition, int milliseconds = 5000)
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

// A data folder of the test's own for as long as it lives, so that the list
// files one case writes are never another case's.
class ScratchDataHome {
public:
    ScratchDataHome() : saved_(qgetenv("XDG_DATA_HOME")) { qputenv("XDG_DATA_HOME", folder_.path().toLocal8Bit()); }
    ~ScratchDataHome() { qputenv("XDG_DATA_HOME", saved_); }
    ScratchDataHome(const ScratchDataHome &) = delete;
    ScratchDataHome &operator=(const ScratchDataHome &) = delete;

private:
    QTemporaryDir folder_;
    QByteArray saved_;
};
