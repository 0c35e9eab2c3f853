#include "QVQuorvanePluginMailCore.h"

#include "QVMailHandler.h"
#include "QVMessageActionHandler.h"
#include "QVMessageViewer.h"
#include "QVNotificationCenter.h"

using QVObjC::Class;

namespace {

// The observer token of the class itself.
const int classToken = 0;

}  // namespace

void QVQuorvanePluginMailCore::initialize()
{
    registerBundle();
}

void QVQuorvanePluginMailCore::registerBundle()
{
    Class *mailBundle = QVObjC::NSClassFromString(QStringLiteral("MVMailBundle"));
    if (QVObjC::classRespondsToSelector(mailBundle, QStringLiteral("registerBundle")))
        QVObjC::sendClass(mailBundle, QStringLiteral("registerBundle"));
    const QVObjC::id application = QVObjC::sendClass<QVObjC::id>(
        QVObjC::NSClassFromString(QStringLiteral("NSApplication")), QStringLiteral("sharedApplication"));
    auto &center = QVNotificationCenter::defaultCenter();
    center.removeObserver(&classToken);  // initialize may come again from a new host
    center.addObserver(&classToken, QStringLiteral("NSApplicationWillTerminateNotification"), application,
                       [](const QVNotification &) { applicationWillTerminate(); });
}

void QVQuorvanePluginMailCore::applicationWillTerminate()
{
    QVMailHandler::shutDownPluginMail();
}

void QVQuorvanePluginMailCore::registerClass()
{
    Class *cls = QVObjC::objc_registerClass(QStringLiteral("QVQuorvanePluginMailCore"),
                                            QVObjC::NSClassFromString(QStringLiteral("NSObject")));
    if (!cls)
        return;
    QVObjC::addClassMethod(cls, QStringLiteral("initialize"),
                           std::function<void(Class *)>([](Class *) { QVQuorvanePluginMailCore::initialize(); }));
    QVObjC::addClassMethod(cls, QStringLiteral("registerBundle"),
                           std::function<void(Class *)>([](Class *) { QVQuorvanePluginMailCore::registerBundle(); }));
    QVObjC::addClassMethod(cls, QStringLiteral("hasPreferencesPanel"), std::function<bool(Class *)>([](Class *) {
                               return QVQuorvanePluginMailCore::hasPreferencesPanel();
                           }));
}

namespace {

// The runtime learns the bundle's classes as the library is loaded, before
// the host runs their load stage.
const struct ClassRegistration {
    ClassRegistration()
    {
        QVMessageActionHandler::registerClass();
        QVMessageViewer::registerClass();
        QVQuorvanePluginMailCore::registerClass();
    }
} registration;

}  // namespace
