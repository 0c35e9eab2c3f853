#include "QVObjectRuntime.h"

#include <QDebug>

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace QVObjC {

Object::~Object() = default;

// Sends come from any thread (the stores are used from the global queue);
// exchanges are rare, so one reader/writer lock guards the whole table.
struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<QString, std::unique_ptr<Class>> classes;
    std::vector<Class *> awaitingLoad;

    static Registry &shared()
    {
        static Registry *const registry = new Registry;  // lives as long as any class
        return *registry;
    }

    static std::vector<std::unique_ptr<Method>> &methods(Class *cls, bool classMethods)
    {
        return classMethods ? cls->classMethods_ : cls->instanceMethods_;
    }

    // Caller holds the lock.
    static Method *find(Class *cls, bool classMethods, const SEL &name)
    {
        for (; cls; cls = cls->superclass_) {
            for (const auto &method : methods(cls, classMethods)) {
                if (method->name == name)
                    return method.get();
            }
        }
        return nullptr;
    }

    static bool add(Class *cls, bool classMethods, const SEL &name, IMP implementation, const QByteArray &types)
    {
        if (!cls || name.isEmpty() || !implementation.has_value())
            return false;
        auto &registry = shared();
        std::unique_lock lock(registry.mutex);
        auto &list = methods(cls, classMethods);
        for (const auto &method : list) {
            if (method->name == name)
                return false;
        }
        list.push_back(std::make_unique<Method>(Method{name, types, std::move(implementation)}));
        return true;
    }
};

Class *NSClassFromString(const QString &name)
{
    auto &registry = Registry::shared();
    std::shared_lock lock(registry.mutex);
    const auto it = registry.classes.find(name);
    return it == registry.classes.end() ? nullptr : it->second.get();
}

Class *objc_registerClass(const QString &name, Class *superclass)
{
    auto &registry = Registry::shared();
    std::unique_lock lock(registry.mutex);
    if (name.isEmpty() || registry.classes.contains(name))
        return nullptr;
    auto &slot = registry.classes[name];
    slot = std::make_unique<Class>(name, superclass);
    registry.awaitingLoad.push_back(slot.get());
    return slot.get();
}

std::vector<Class *> takeClassesAwaitingLoad()
{
    auto &registry = Registry::shared();
    std::unique_lock lock(registry.mutex);
    return std::exchange(registry.awaitingLoad, {});
}

Method *class_getInstanceMethod(Class *cls, const SEL &name)
{
    auto &registry = Registry::shared();
    std::shared_lock lock(registry.mutex);
    return Registry::find(cls, false, name);
}

Method *class_getClassMethod(Class *cls, const SEL &name)
{
    auto &registry = Registry::shared();
    std::shared_lock lock(registry.mutex);
    return Registry::find(cls, true, name);
}

bool class_addMethod(Class *cls, const SEL &name, IMP implementation, const QByteArray &types)
{
    return Registry::add(cls, false, name, std::move(implementation), types);
}

bool class_addClassMethod(Class *cls, const SEL &name, IMP implementation, const QByteArray &types)
{
    return Registry::add(cls, true, name, std::move(implementation), types);
}

IMP method_getImplementation(Method *method)
{
    if (!method)
        return {};
    auto &registry = Registry::shared();
    std::shared_lock lock(registry.mutex);
    return method->implementation;
}

QByteArray method_getTypeEncoding(Method *method)
{
    if (!method)
        return {};
    auto &registry = Registry::shared();
    std::shared_lock lock(registry.mutex);
    return method->types;
}

void method_exchangeImplementations(Method *a, Method *b)
{
    if (!a || !b)
        return;
    auto &registry = Registry::shared();
    std::unique_lock lock(registry.mutex);
    std::swap(a->implementation, b->implementation);
    std::swap(a->types, b->types);
}

bool isKindOfClass(const id &object, const Class *cls)
{
    if (!object || !cls)
        return false;
    for (const Class *c = object->isa(); c; c = c->superclass()) {
        if (c == cls)
            return true;
    }
    return false;
}

bool respondsToSelector(const id &object, const SEL &name)
{
    return object && class_getInstanceMethod(object->isa(), name);
}

bool classRespondsToSelector(Class *cls, const SEL &name)
{
    return cls && class_getClassMethod(cls, name);
}

namespace detail {

IMP lookup(Class *cls, bool classMethod, const SEL &name, const QByteArray &types, const QString &receiver)
{
    auto &registry = Registry::shared();
    std::shared_lock lock(registry.mutex);
    const Method *method = Registry::find(cls, classMethod, name);
    if (!method) {
        qWarning().noquote() << QStringLiteral("%1%2 does not respond to %3")
                                    .arg(classMethod ? QStringLiteral("+") : QStringLiteral("-"), receiver, name);
        return {};
    }
    if (method->types != types) {
        qWarning().noquote() << QStringLiteral("%1 sent to %2 with types %3, but the method takes %4")
                                    .arg(name, receiver, QString::fromLatin1(types),
                                         QString::fromLatin1(method->types));
        return {};
    }
    return method->implementation;
}

}  // namespace detail

}  // namespace QVObjC
