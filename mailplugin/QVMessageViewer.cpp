#include "QVMessageViewer.h"

#include "QVLogger.h"
#include "QVMessageActionHandler.h"

using QVObjC::id;

namespace {

// Constant-initialised: the class is registered while the library loads.
constexpr QLatin1String kItemForIdentifier("toolbar:itemForItemIdentifier:willBeInsertedIntoToolbar:");
constexpr QLatin1String kAllowedIdentifiers("toolbarAllowedItemIdentifiers:");
constexpr QLatin1String kDefaultIdentifiers("toolbarDefaultItemIdentifiers:");
constexpr QLatin1String kDealloc("dealloc");

// The name under which the host's own implementation is kept.
QString original(QLatin1String selector)
{
    return QStringLiteral("original_") + selector;
}

// The registry owns its handlers and lives as long as the process.
std::vector<std::shared_ptr<QVMessageActionHandler>> &registry()
{
    static auto *const handlers = new std::vector<std::shared_ptr<QVMessageActionHandler>>;
    return *handlers;
}

QStringList withPluginItem(QStringList identifiers)
{
    identifiers.append(QString::fromLatin1(kQVToolbarItemIdentifier));
    return identifiers;
}

}  // namespace

void QVMessageViewer::load()
{
    QVObjC::Class *mailViewer = QVObjC::NSClassFromString(QStringLiteral("MessageViewer"));
    QVObjC::Class *carrier = QVObjC::NSClassFromString(QStringLiteral("QVMessageViewer"));
    if (!mailViewer || !carrier) {
        QVLogPlugin(QStringLiteral("The host has no MessageViewer class; the toolbar item is not offered."));
        return;
    }
    for (const QLatin1String selector : {kItemForIdentifier, kAllowedIdentifiers, kDefaultIdentifiers, kDealloc}) {
        QVObjC::Method *hostMethod = QVObjC::class_getInstanceMethod(mailViewer, selector);
        QVObjC::Method *replacement = QVObjC::class_getInstanceMethod(carrier, selector);
        if (!hostMethod || !replacement) {
            QVLogPlugin(QStringLiteral("The host's MessageViewer lacks %1; it is not hooked."), QString(selector));
            continue;
        }
        if (QVObjC::class_addMethod(mailViewer, original(selector), QVObjC::method_getImplementation(hostMethod),
                                    QVObjC::method_getTypeEncoding(hostMethod)))
            QVObjC::method_exchangeImplementations(hostMethod, replacement);
    }
}

const std::vector<std::shared_ptr<QVMessageActionHandler>> &QVMessageViewer::handlers()
{
    return registry();
}

std::shared_ptr<QVMessageActionHandler> QVMessageViewer::addHandleForViewer(const id &viewer)
{
    auto handler = QVMessageActionHandler::create();
    handler->setMessageViewer(viewer);
    registry().push_back(handler);
    return handler;
}

std::shared_ptr<QVMessageActionHandler> QVMessageViewer::handleForViewer(const id &viewer)
{
    for (const auto &handler : registry()) {
        if (viewer && handler->messageViewer() == viewer)
            return handler;
    }
    return nullptr;
}

void QVMessageViewer::removeHandleForViewer(const id &viewer)
{
    auto &handlers = registry();
    const auto it = std::find_if(handlers.begin(), handlers.end(),
                                 [&](const auto &handler) { return viewer && handler->messageViewer() == viewer; });
    if (it != handlers.end())
        handlers.erase(it);
}

id QVMessageViewer::toolbarItem(const id &self, id toolbar, QString identifier, bool willBeInserted)
{
    if (identifier != QLatin1String(kQVToolbarItemIdentifier))
        return QVObjC::send<id>(self, original(kItemForIdentifier), toolbar, identifier, willBeInserted);
    auto handler = handleForViewer(self);
    if (!handler)
        handler = addHandleForViewer(self);
    return handler->toolbarItem(identifier);
}

QStringList QVMessageViewer::toolbarAllowedItemIdentifiers(const id &self, id toolbar)
{
    return withPluginItem(QVObjC::send<QStringList>(self, original(kAllowedIdentifiers), toolbar));
}

QStringList QVMessageViewer::toolbarDefaultItemIdentifiers(const id &self, id toolbar)
{
    return withPluginItem(QVObjC::send<QStringList>(self, original(kDefaultIdentifiers), toolbar));
}

void QVMessageViewer::dealloc(const id &self)
{
    removeHandleForViewer(self);
    QVObjC::send(self, original(kDealloc));
}

void QVMessageViewer::registerClass()
{
    QVObjC::Class *cls = QVObjC::objc_registerClass(QStringLiteral("QVMessageViewer"),
                                                    QVObjC::NSClassFromString(QStringLiteral("NSObject")));
    if (!cls)
        return;
    using Item = std::function<id(const id &, id, QString, bool)>;
    using Identifiers = std::function<QStringList(const id &, id)>;
    using Dealloc = std::function<void(const id &)>;
    QVObjC::addMethod(cls, kItemForIdentifier, Item(&QVMessageViewer::toolbarItem));
    QVObjC::addMethod(cls, kAllowedIdentifiers, Identifiers(&QVMessageViewer::toolbarAllowedItemIdentifiers));
    QVObjC::addMethod(cls, kDefaultIdentifiers, Identifiers(&QVMessageViewer::toolbarDefaultItemIdentifiers));
    QVObjC::addMethod(cls, kDealloc, Dealloc(&QVMessageViewer::dealloc));
    // Placeholders: at run time these names reach the host's saved methods.
    QVObjC::addMethod(cls, original(kItemForIdentifier), Item([](const id &, id, QString, bool) { return id(); }));
    QVObjC::addMethod(cls, original(kAllowedIdentifiers), Identifiers([](const id &, id) { return QStringList(); }));
    QVObjC::addMethod(cls, original(kDefaultIdentifiers), Identifiers([](const id &, id) { return QStringList(); }));
    QVObjC::addMethod(cls, original(kDealloc), Dealloc([](const id &) {}));
    QVObjC::addClassMethod(cls, QStringLiteral("load"),
                           std::function<void(QVObjC::Class *)>([](QVObjC::Class *) { QVMessageViewer::load(); }));
}
