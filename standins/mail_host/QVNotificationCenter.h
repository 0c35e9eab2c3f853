// The process's local notification centre: observers register for a name
// and, optionally, one object; a post calls the matching observers at once,
// on the posting thread, in the order they registered.
#pragma once

#include "QVObjectRuntime.h"

#include <QVariantMap>

#include <functional>
#include <mutex>
#include <vector>

Q_DECLARE_METATYPE(QVObjC::ObjectList)

struct QVNotification {
    QString name;
    QVObjC::id object;
    QVariantMap userInfo;  // object lists travel as QVObjC::ObjectList
};

class QVNotificationCenter final {
public:
    using Handler = std::function<void(const QVNotification &)>;

    static QVNotificationCenter &defaultCenter();

    QVNotificationCenter() = default;
    QVNotificationCenter(const QVNotificationCenter &) = delete;
    QVNotificationCenter &operator=(const QVNotificationCenter &) = delete;

    // A null object observes the name from every sender.
    void addObserver(const void *observer, const QString &name, const QVObjC::id &object, Handler handler);
    void removeObserver(const void *observer);
    void postNotification(const QString &name, const QVObjC::id &object, const QVariantMap &userInfo = {});

private:
    struct Observation {
        const void *observer;
        QString name;
        QVObjC::weak_id object;
        bool anyObject;
        Handler handler;
    };

    std::mutex mutex_;
    std::vector<Observation> observations_;
};

// Queues of work, after libdispatch: the main queue runs on the main
// thread's event loop, the global queue on a pool of threads.
namespace QVDispatch {

void asyncMain(std::function<void()> work);
void asyncGlobal(std::function<void()> work);
// Waits until the global queue is idle (used at exit and by tests).
void drainGlobal();

}  // namespace QVDispatch
