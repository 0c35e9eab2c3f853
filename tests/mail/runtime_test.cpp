// The object runtime and the local notification centre the host and its
// bundles share.
#include "mail_fixture.h"

#include "QVNotificationCenter.h"
#include "QVObjectRuntime.h"

using namespace Qt::StringLiterals;
using QVObjC::Class;
using QVObjC::id;

namespace {

Class *testClass(const QString &name, Class *superclass = nullptr)
{
    if (Class *existing = QVObjC::NSClassFromString(name))
        return existing;
    return QVObjC::objc_registerClass(name, superclass);
}

TEST(ObjectRuntime, SendsCheckTypesAndFollowTheSuperclassChain)
{
    Class *base = testClass(u"RuntimeTestBase"_s);
    Class *derived = testClass(u"RuntimeTestDerived"_s, base);
    int calls = 0;
    using Length = std::function<qint64(const id &, QString)>;
    const bool added = QVObjC::addMethod(base, u"lengthOf:"_s, Length([&](const id &, QString s) {
                                             ++calls;
                                             return qint64(s.size());
                                         }));
    ASSERT_TRUE(added);
    const bool addedAgain =
        QVObjC::addMethod(base, u"lengthOf:"_s, Length([](const id &, QString) { return qint64(-1); }));
    EXPECT_FALSE(addedAgain);
    const id object = std::make_shared<QVObjC::Object>(derived);

    EXPECT_EQ(QVObjC::send<qint64>(object, u"lengthOf:"_s, u"four"_s), 4);
    EXPECT_EQ(QVObjC::method_getTypeEncoding(QVObjC::class_getInstanceMethod(derived, u"lengthOf:"_s)), "q@:S");
    // Wrong argument or result types, unknown selectors and nil receivers
    // give a default result and call nothing.
    EXPECT_EQ(QVObjC::send<qint64>(object, u"lengthOf:"_s, QByteArray("four")), 0);
    EXPECT_FALSE(QVObjC::send<bool>(object, u"lengthOf:"_s, u"four"_s));
    EXPECT_EQ(QVObjC::send<qint64>(object, u"unknown:"_s, u"x"_s), 0);
    EXPECT_EQ(QVObjC::send<qint64>(id(), u"lengthOf:"_s, u"x"_s), 0);
    EXPECT_EQ(calls, 1);

    EXPECT_TRUE(QVObjC::isKindOfClass(object, base));
    EXPECT_FALSE(QVObjC::isKindOfClass(std::make_shared<QVObjC::Object>(base), derived));
    EXPECT_TRUE(QVObjC::respondsToSelector(object, u"lengthOf:"_s));
    EXPECT_FALSE(QVObjC::respondsToSelector(object, u"other"_s));
    EXPECT_FALSE(QVObjC::objc_registerClass(u"RuntimeTestBase"_s, nullptr));
}

TEST(ObjectRuntime, ExchangedImplementationsSwapBehaviourAndTypes)
{
    Class *cls = testClass(u"RuntimeTestExchange"_s);
    QVObjC::addMethod<QString>(cls, u"a"_s, std::function<QString(const id &)>([](const id &) { return u"A"_s; }));
    QVObjC::addMethod<QString>(cls, u"b"_s, std::function<QString(const id &)>([](const id &) { return u"B"_s; }));
    const id object = std::make_shared<QVObjC::Object>(cls);
    QVObjC::Method *a = QVObjC::class_getInstanceMethod(cls, u"a"_s);
    QVObjC::Method *b = QVObjC::class_getInstanceMethod(cls, u"b"_s);
    QVObjC::method_exchangeImplementations(a, b);
    EXPECT_EQ(QVObjC::send<QString>(object, u"a"_s), u"B"_s);
    EXPECT_EQ(QVObjC::send<QString>(object, u"b"_s), u"A"_s);
    // A copy of an implementation added under a new name keeps working.
    EXPECT_TRUE(QVObjC::class_addMethod(cls, u"saved"_s, QVObjC::method_getImplementation(a),
                                        QVObjC::method_getTypeEncoding(a)));
    EXPECT_EQ(QVObjC::send<QString>(object, u"saved"_s), u"B"_s);
}

TEST(NotificationCenter, ObjectFiltersAndRemovalDuringDelivery)
{
    QVNotificationCenter center;
    const id first = std::make_shared<QVObjC::Object>(nullptr);
    const id second = std::make_shared<QVObjC::Object>(nullptr);
    int any = 0, onlyFirst = 0, removed = 0;
    int tokenAny = 0, tokenFirst = 0, tokenRemoved = 0;
    center.addObserver(&tokenAny, u"N"_s, nullptr, [&](const QVNotification &) {
        ++any;
        center.removeObserver(&tokenRemoved);  // removed observers hear nothing more
    });
    center.addObserver(&tokenFirst, u"N"_s, first, [&](const QVNotification &n) {
        ++onlyFirst;
        EXPECT_EQ(n.object, first);
    });
    center.addObserver(&tokenRemoved, u"N"_s, nullptr, [&](const QVNotification &) { ++removed; });
    center.postNotification(u"N"_s, second);
    center.postNotification(u"N"_s, first, {{u"key"_s, 1}});
    center.postNotification(u"Other"_s, first);
    EXPECT_EQ(any, 2);
    EXPECT_EQ(onlyFirst, 1);
    EXPECT_EQ(removed, 0);
}

}  // namespace
