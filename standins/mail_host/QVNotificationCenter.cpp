#include "QVNotificationCenter.h"

#include <QCoreApplication>
#include <QThreadPool>

QVNotificationCenter &QVNotificationCenter::defaultCenter()
{
    static auto *const center = new QVNotificationCenter;  // observers may outlive static destruction
    return *center;
}

void QVNotificationCenter::addObserver(const void *observer, const QString &name, const QVObjC::id &object,
                                       Handler handler)
{
    if (!observer || name.isEmpty() || !handler)
        return;
    std::lock_guard lock(mutex_);
    observations_.push_back({observer, name, object, object == nullptr, std::move(handler)});
}

void QVNotificationCenter::removeObserver(const void *observer)
{
    std::lock_guard lock(mutex_);
    std::erase_if(observations_, [observer](const Observation &o) { return o.observer == observer; });
}

void QVNotificationCenter::postNotification(const QString &name, const QVObjC::id &object, const QVariantMap &userInfo)
{
    // Handlers run unlocked on a copy: they may add or remove observers.
    std::vector<std::pair<const void *, Handler>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto &o : observations_) {
            if (o.name == name && (o.anyObject || (object && o.object.lock() == object)))
                targets.emplace_back(o.observer, o.handler);
        }
    }
    const QVNotification notification{name, object, userInfo};
    for (const auto &target : targets) {
        const void *observer = target.first;
        bool stillObserving = false;
        {
            std::lock_guard lock(mutex_);
            stillObserving = std::any_of(observations_.begin(), observations_.end(),
                                         [&](const Observation &o) { return o.observer == observer; });
        }
        if (stillObserving)
            target.second(notification);
    }
}

namespace QVDispatch {

void asyncMain(std::function<void()> work)
{
    if (auto *application = QCoreApplication::instance())
        QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
}

void asyncGlobal(std::function<void()> work)
{
    QThreadPool::globalInstance()->start(std::move(work));
}

void drainGlobal()
{
    QThreadPool::globalInstance()->waitForDone();
}

}  // namespace QVDispatch
