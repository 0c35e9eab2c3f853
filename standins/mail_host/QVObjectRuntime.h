// A small object runtime for the mail host and the bundles it loads: classes
// found by name, methods found by selector, implementations that can be added
// and exchanged at run time, and typed sends that refuse a call whose types
// do not match the method's encoding. Bundles reach the host's classes only
// through this runtime, by name.
//
// How the host (qv-mail-host) and the plug-in (Quorvane.mailbundle) meet:
//
// Loading. The host registers its classes (MFMailAccount, MFMailbox,
// MFMessage, MFMessageStore, MFLibrary, MessageViewer, SegmentedToolbarItem
// ...) with this runtime, which lives in one shared library (libqv_mail_
// runtime) so that host and bundle see the same table. For each
// <Library>/Mail/Bundles/*.mailbundle it reads Contents/Info.plist, dlopens
// the named executable, sends "load" to every class the library registered
// (the plug-in's QVMessageViewer exchanges four MessageViewer methods for
// its own, keeping the host's under "original_" names) and "initialize" to
// the principal class (which registers the bundle and watches the host's
// termination notification).
//
// Viewers. A viewer builds its toolbar by sending the toolbar selectors to
// itself, so the exchanged methods add the item "QV_QUORVANE". Building it
// makes the viewer's QVMessageActionHandler, and the first handler makes the
// shared QVMailHandler, which from then on observes the host's local
// notification "MessageStoreMessagesAdded_inMainThread_".
//
// New mail. The host watches the Maildir folders; after a change it waits
// for 50 ms of quiet (250 ms at most), scans, and posts one notification per
// store with the new messages (flagged "during open" at start-up, which the
// plug-in ignores; what lay in the inbox's new/ follows as new mail). The
// plug-in reads each unread inbox message through headerData and
// bodyDataWithLimit: (the host's addition to bodyData, which reads only the
// bytes asked for), posts QV_ADD_MESSAGE on the session bus, and remembers
// the message object it posted.
//
// Answers. QV_DETERMINED_SPAM, QV_BLOCK_LETTER and QV_BLOCK_UNBLOCK carry a
// Message-ID only. The plug-in moves the message object it remembered for
// that request, never one looked up by Message-ID alone, through a viewer's
// transferMessages:... (on the main thread) or MFMessageStore's
// copyMessages:toMailbox:shouldDelete: (on the global queue). The host
// renames the file into the target folder's cur/, making the folder again
// if another program removed it.
//
// Threads. Everything above runs on the host's main thread except moves and
// emptying on the global queue (QVDispatch); the host's public entry points
// take its mutex, the model's fields a leaf lock, and the runtime's table a
// reader/writer lock.
//
// Type encodings: the result, "@:" for the receiver and selector, then one
// letter per argument:
//   v void   B bool   q qint64   @ object   # class   : selector
//   S QString   D QByteArray   L QStringList   A object list   T QDateTime
//   M menu   I menu item
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <any>
#include <functional>
#include <memory>
#include <vector>

struct QVMenu;
struct QVMenuItem;

namespace QVObjC {

class Class;

// Every object of the runtime. Objects are shared; a reference that must not
// keep its object alive is a weak_id.
class Object : public std::enable_shared_from_this<Object> {
public:
    explicit Object(Class *isa) : isa_(isa) {}
    virtual ~Object();
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    Class *isa() const { return isa_; }

private:
    Class *isa_;
};

using id = std::shared_ptr<Object>;
using weak_id = std::weak_ptr<Object>;
using ObjectList = QList<id>;
using SEL = QString;
using MenuRef = std::shared_ptr<QVMenu>;
using MenuItemRef = std::shared_ptr<QVMenuItem>;

template <typename T> struct Encoding;
template <> struct Encoding<void> {
    static constexpr char value = 'v';
};
template <> struct Encoding<bool> {
    static constexpr char value = 'B';
};
template <> struct Encoding<qint64> {
    static constexpr char value = 'q';
};
template <> struct Encoding<id> {
    static constexpr char value = '@';
};
template <> struct Encoding<Class *> {
    static constexpr char value = '#';
};
template <> struct Encoding<QString> {
    static constexpr char value = 'S';
};
template <> struct Encoding<QByteArray> {
    static constexpr char value = 'D';
};
template <> struct Encoding<QStringList> {
    static constexpr char value = 'L';
};
template <> struct Encoding<ObjectList> {
    static constexpr char value = 'A';
};
template <> struct Encoding<QDateTime> {
    static constexpr char value = 'T';
};
template <> struct Encoding<MenuRef> {
    static constexpr char value = 'M';
};
template <> struct Encoding<MenuItemRef> {
    static constexpr char value = 'I';
};

template <typename R, typename... Args> QByteArray encode()
{
    const char arguments[] = {Encoding<Args>::value..., '\0'};
    return QByteArray(1, Encoding<R>::value) + "@:" + arguments;
}

// An implementation: a std::function<R(const id &self, Args...)> for
// instance methods, <R(Class *cls, Args...)> for class methods.
using IMP = std::any;

struct Method {
    SEL name;
    QByteArray types;
    IMP implementation;
};

class Class {
public:
    Class(QString name, Class *superclass) : name_(std::move(name)), superclass_(superclass) {}
    Class(const Class &) = delete;
    Class &operator=(const Class &) = delete;

    const QString &name() const { return name_; }
    Class *superclass() const { return superclass_; }

private:
    friend struct Registry;
    QString name_;
    Class *superclass_;
    std::vector<std::unique_ptr<Method>> instanceMethods_;
    std::vector<std::unique_ptr<Method>> classMethods_;
};

// Classes. A new class is announced for its load stage until someone takes
// the list (the host does after opening each bundle).
Class *NSClassFromString(const QString &name);
Class *objc_registerClass(const QString &name, Class *superclass);
std::vector<Class *> takeClassesAwaitingLoad();

// Methods (searched up the superclass chain). The pointers stay valid for
// the life of the process.
Method *class_getInstanceMethod(Class *cls, const SEL &name);
Method *class_getClassMethod(Class *cls, const SEL &name);
// False when the class itself already has a method of that name.
bool class_addMethod(Class *cls, const SEL &name, IMP implementation, const QByteArray &types);
bool class_addClassMethod(Class *cls, const SEL &name, IMP implementation, const QByteArray &types);
IMP method_getImplementation(Method *method);
QByteArray method_getTypeEncoding(Method *method);
void method_exchangeImplementations(Method *a, Method *b);

bool isKindOfClass(const id &object, const Class *cls);
bool respondsToSelector(const id &object, const SEL &name);
bool classRespondsToSelector(Class *cls, const SEL &name);

namespace detail {
// A copy of the method's implementation when the types match; otherwise
// logs why the send fails and gives an empty IMP.
IMP lookup(Class *cls, bool classMethod, const SEL &name, const QByteArray &types, const QString &receiver);
}  // namespace detail

// Sends a message. Unknown selectors and wrong types log a line and give a
// default result instead of crashing the host.
template <typename R = void, typename... Args> R send(const id &receiver, const SEL &name, Args... args)
{
    if (!receiver)
        return R();
    const IMP imp = detail::lookup(receiver->isa(), false, name, encode<R, Args...>(), receiver->isa()->name());
    const auto *function = std::any_cast<std::function<R(const id &, Args...)>>(&imp);
    if (!function)
        return R();
    return (*function)(receiver, std::move(args)...);
}

template <typename R = void, typename... Args> R sendClass(Class *receiver, const SEL &name, Args... args)
{
    if (!receiver)
        return R();
    const IMP imp = detail::lookup(receiver, true, name, encode<R, Args...>(), receiver->name());
    const auto *function = std::any_cast<std::function<R(Class *, Args...)>>(&imp);
    if (!function)
        return R();
    return (*function)(receiver, std::move(args)...);
}

// Defining methods from lambdas or members of the C++ class behind a
// runtime class.
template <typename R, typename... Args>
bool addMethod(Class *cls, const SEL &name, std::function<R(const id &, Args...)> function)
{
    return class_addMethod(cls, name, IMP(std::move(function)), encode<R, Args...>());
}

template <typename R, typename... Args>
bool addClassMethod(Class *cls, const SEL &name, std::function<R(Class *, Args...)> function)
{
    return class_addClassMethod(cls, name, IMP(std::move(function)), encode<R, Args...>());
}

template <typename T, typename R, typename... Args>
bool addMemberMethod(Class *cls, const SEL &name, R (T::*member)(Args...))
{
    return addMethod<R, Args...>(cls, name,
                                 std::function<R(const id &, Args...)>([member](const id &self, Args... args) -> R {
                                     auto *object = dynamic_cast<T *>(self.get());
                                     if (!object)
                                         return R();
                                     return (object->*member)(std::move(args)...);
                                 }));
}

template <typename T, typename R, typename... Args>
bool addMemberMethod(Class *cls, const SEL &name, R (T::*member)(Args...) const)
{
    return addMethod<R, Args...>(cls, name,
                                 std::function<R(const id &, Args...)>([member](const id &self, Args... args) -> R {
                                     const auto *object = dynamic_cast<const T *>(self.get());
                                     if (!object)
                                         return R();
                                     return (object->*member)(std::move(args)...);
                                 }));
}

// The C++ object behind an id, or null when it is of another kind.
template <typename T> std::shared_ptr<T> cast(const id &object)
{
    return std::dynamic_pointer_cast<T>(object);
}

template <typename T, typename... ConstructorArgs>
std::shared_ptr<T> make(const QString &className, ConstructorArgs &&...args)
{
    return std::make_shared<T>(NSClassFromString(className), std::forward<ConstructorArgs>(args)...);
}

}  // namespace QVObjC
