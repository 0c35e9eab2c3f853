#include "temporary_home.h"

#include "PropertyList.h"
#include "QVLanguageList.h"

#include <QFile>
#include <QLocale>

using namespace Qt::StringLiterals;

namespace {

class LanguageList : public TemporaryHome {
protected:
    void SetUp() override
    {
        TemporaryHome::SetUp();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void TearDown() override
    {
        QLocale::setDefault(QLocale::system());
        TemporaryHome::TearDown();
    }

    QString listPath() const { return productFolder() + u"/LanguageList.plist"_s; }

    static QStringList codes(const QVLanguageList &list)
    {
        QStringList result;
        for (qsizetype i = 0; i < list.numberOfItems(); ++i)
            result.append(list.itemAtIndex(i).languageCode());
        return result;
    }

    void writeList(const QVariantList &elements) { writeFile(listPath(), *PropertyList::toXml(elements)); }

    static QVariantMap element(const QString &code, int usage)
    {
        return {{u"languageCode"_s, code}, {u"languageUsage"_s, usage}};
    }
};

TEST_F(LanguageList, WithoutAFileHoldsTheDefaultsByDisplayName)
{
    QVLanguageList list;
    EXPECT_EQ(codes(list),
              (QStringList{u"am"_s,    u"ar"_s, u"hy"_s,  u"zh-CN"_s, u"zh-TW"_s, u"cs"_s,    u"da"_s,    u"nl"_s,
                           u"en"_s,    u"fi"_s, u"fr"_s,  u"de"_s,    u"el"_s,    u"he"_s,    u"hu"_s,    u"it"_s,
                           u"ja"_s,    u"ko"_s, u"mn"_s,  u"no"_s,    u"pl"_s,    u"pt-BR"_s, u"pt-PT"_s, u"ru"_s,
                           u"es-ES"_s, u"sv"_s, u"syr"_s, u"th"_s,    u"bo"_s,    u"tr"_s,    u"vi"_s}));
    for (qsizetype i = 0; i < list.numberOfItems(); ++i)
        EXPECT_EQ(list.itemAtIndex(i).usageType(), 0);
    EXPECT_EQ(QVLanguageList::defaultLanguageCodes().size(), 31);
    EXPECT_FALSE(QFile::exists(listPath())) << "the defaults are not written at start";
}

TEST_F(LanguageList, SortsByPlainComparisonOfTheLocalesNames)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QStringList order = codes(QVLanguageList());
    EXPECT_EQ(QVLanguageList::displayNameForLanguageCode(u"de"_s), u"Deutsch"_s);
    EXPECT_EQ(QVLanguageList::displayNameForLanguageCode(u"da"_s), u"Dänisch"_s);
    // "Deutsch" sorts before "Dänisch": code units, not German collation.
    EXPECT_LT(order.indexOf(u"de"_s), order.indexOf(u"da"_s));
}

TEST_F(LanguageList, CodesWithoutANameSortByTheirCode)
{
    EXPECT_EQ(QVLanguageList::displayNameForLanguageCode(u"qqq"_s), QString());
    EXPECT_EQ(QVLanguageList::displayNameForLanguageCode(QString()), QString());
    EXPECT_EQ(QVLanguageList::displayNameForLanguageCode(u"pt-BR"_s), u"Portuguese (Brazil)"_s);
    writeList({element(u"qqq"_s, 0), element(u"pt-BR"_s, 0), element(u"Qab"_s, 0)});
    EXPECT_EQ(codes(QVLanguageList()), (QStringList{u"pt-BR"_s, u"Qab"_s, u"qqq"_s}));
}

TEST_F(LanguageList, LooksUpAndChangesUsageByExactCode)
{
    QVLanguageList list;
    list.setUsageType(1, u"pt-BR"_s);
    list.setUsageType(2, u"ja"_s);
    EXPECT_EQ(list.usageTypeForLanguageCode(u"pt-BR"_s), 1);
    EXPECT_EQ(list.usageTypeForLanguageCode(u"ja"_s), 2);
    EXPECT_EQ(list.usageTypeForLanguageCode(u"PT-br"_s), 0);
    EXPECT_EQ(list.usageTypeForLanguageCode(u"xx"_s), 0);
    EXPECT_EQ(list.usageTypeForLanguageCode(QString()), 0);

    QVLanguageList reloaded;
    EXPECT_EQ(codes(reloaded), codes(list));
    EXPECT_EQ(reloaded.usageTypeForLanguageCode(u"pt-BR"_s), 1);
    EXPECT_EQ(reloaded.usageTypeForLanguageCode(u"ja"_s), 2);
    const QVariantList stored = PropertyList::fromXml(readFile(listPath()))->toList();
    ASSERT_EQ(stored.size(), 31);
    EXPECT_EQ(stored.first(), QVariant(element(u"am"_s, 0)));
}

// Loading refuses any usage but 0, 1 and 2 and sets the file aside, so one
// is refused when it is set.
TEST_F(LanguageList, UsagesOutsideTheThreeAreRefused)
{
    QVLanguageList list;
    list.setUsageType(2, u"de"_s);
    for (int usage : {3, -1, 100})
        list.setUsageType(usage, u"de"_s);
    EXPECT_EQ(list.usageTypeForLanguageCode(u"de"_s), 2);
    QVLanguageList reloaded;
    EXPECT_EQ(reloaded.usageTypeForLanguageCode(u"de"_s), 2);
    EXPECT_EQ(reloaded.numberOfItems(), 31);
}

TEST_F(LanguageList, AnUnknownCodeChangesNothing)
{
    QVLanguageList list;
    list.setUsageType(1, u"PT-br"_s);
    list.setUsageType(1, u"xx"_s);
    EXPECT_FALSE(QFile::exists(listPath()));
    EXPECT_EQ(list.usageTypeForLanguageCode(u"pt-BR"_s), 0);
    EXPECT_EQ(list.itemAtIndex(31).languageCode(), QString());
    EXPECT_EQ(list.itemAtIndex(-1).languageCode(), QString());
}

TEST_F(LanguageList, DuplicateCodesAreKeptAndTheFirstDecides)
{
    writeList({element(u"fr"_s, 2), element(u"fr"_s, 1), QVariantMap{{u"languageCode"_s, u"de"_s}} /* no usage: 0 */});
    QVLanguageList list;
    EXPECT_EQ(codes(list), (QStringList{u"fr"_s, u"fr"_s, u"de"_s}));
    EXPECT_EQ(list.usageTypeForLanguageCode(u"fr"_s), 2);
    EXPECT_EQ(list.usageTypeForLanguageCode(u"de"_s), 0);
    list.setUsageType(0, u"fr"_s);
    EXPECT_EQ(list.itemAtIndex(0).usageType(), 0);
    EXPECT_EQ(list.itemAtIndex(1).usageType(), 1);
}

TEST_F(LanguageList, AnUnusableFileIsKeptAsideAndTheDefaultsApply)
{
    for (const QByteArray &bytes : {QByteArray("garbage"), QByteArray("<plist><string>x</string></plist>"),
                                    *PropertyList::toXml(QVariantList{42, u"fr"_s})}) {
        writeFile(listPath(), bytes);
        QVLanguageList list;
        EXPECT_EQ(list.numberOfItems(), 31);
        EXPECT_EQ(readFile(listPath() + u".corrupt"_s), bytes);
        EXPECT_FALSE(QFile::exists(listPath())) << "the defaults are not written";
        QFile::remove(listPath() + u".corrupt"_s);
    }
}

TEST_F(LanguageList, UnusableElementsAreDroppedAfterKeepingTheOriginal)
{
    const QVariantList elements{
        element(u"ru"_s, 1),
        u"not a dictionary"_s,
        QVariantMap{{u"languageUsage"_s, 1}},
        element(QString(), 1),
        QVariantMap{{u"languageCode"_s, u"fr"_s}, {u"languageUsage"_s, u"many"_s}},
        element(u"it"_s, 7),
        element(u"cs"_s, 2),
    };
    const QByteArray original = *PropertyList::toXml(elements);
    writeFile(listPath(), original);
    QVLanguageList list;
    EXPECT_EQ(codes(list), (QStringList{u"cs"_s, u"ru"_s}));
    EXPECT_EQ(list.usageTypeForLanguageCode(u"ru"_s), 1);
    EXPECT_EQ(readFile(listPath() + u".corrupt"_s), original);
    EXPECT_EQ(PropertyList::fromXml(readFile(listPath()))->toList(),
              (QVariantList{element(u"cs"_s, 2), element(u"ru"_s, 1)}));
}

TEST_F(LanguageList, ItemsConvertToAndFromDictionaries)
{
    const QVLanguageItem item(QVariantMap{{u"languageCode"_s, u"pt-BR"_s}, {u"languageUsage"_s, 2}});
    EXPECT_EQ(item.languageCode(), u"pt-BR"_s);
    EXPECT_EQ(item.usageType(), 2);
    EXPECT_EQ(item.dictionaryRepresentation(), element(u"pt-BR"_s, 2));
    EXPECT_EQ(QVLanguageItem(QVariantMap{{u"languageCode"_s, u"en"_s}}).usageType(), 0);
    EXPECT_TRUE(QVLanguageItem().dictionaryRepresentation().isEmpty());
}

}  // namespace
