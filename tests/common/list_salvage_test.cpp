// Damaged list files: whatever of them is still whole is kept, the damaged
// file is set aside once and reported once.
#include "temporary_home.h"

#include "PropertyList.h"
#include "QVLanguageList.h"
#include "QVListFile.h"
#include "QVMailList.h"

#include <QFile>
#include <QLocale>

#include <functional>

using namespace Qt::StringLiterals;

namespace {

class ListSalvage : public TemporaryHome {
protected:
    void SetUp() override
    {
        TemporaryHome::SetUp();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QVListFile::takeSetAsideFiles();
    }
    void TearDown() override
    {
        QLocale::setDefault(QLocale::system());
        TemporaryHome::TearDown();
    }
};

QVariantMap choice(const QString &code, int usage)
{
    return {{u"languageCode"_s, code}, {u"languageUsage"_s, usage}};
}

// The damage done to the second of four elements (the last one for a cut).
struct Damage {
    const char *name;
    std::function<QByteArray(QByteArray xml, const QByteArray &second, const QByteArray &fourth)> apply;
    bool spoilsSecond;
};

const Damage kDamages[] = {
    {"an invalid UTF-8 byte",
     [](QByteArray xml, const QByteArray &second, const QByteArray &) {
         const qsizetype at = xml.indexOf(second);
         xml[at + 1] = char(0xff);
         return xml;
     },
     true},
    {"a truncated tail",
     [](QByteArray xml, const QByteArray &, const QByteArray &fourth) { return xml.left(xml.indexOf(fourth) + 1); },
     false},
    {"a malformed element",
     [](QByteArray xml, const QByteArray &second, const QByteArray &) {
         // A closing tag that does not match: the XML itself is broken there.
         const qsizetype at = xml.indexOf(second);
         const qsizetype end = xml.indexOf("</string>", at);
         return xml.replace(end, 9, "</strin>");
     },
     true},
};

TEST_F(ListSalvage, KeepsWhatIsWholeSetsTheFileAsideAndTellsOnce)
{
    const struct {
        const char *list;
        QVariantList elements;
        QByteArray second;
        QByteArray fourth;
        // What the list holds afterwards, without the second or the fourth.
        std::function<QStringList()> load;
        QStringList withoutSecond;
        QStringList withoutFourth;
    } lists[] = {
        {"BlackList",
         {u"first@example.com"_s, u"second.example"_s, u"third@example.org"_s, u"*@fourth.example"_s},
         "second.example",
         "*@fourth.example",
         [] {
             QVMailList list(u"BlackList"_s);
             QStringList entries;
             for (qsizetype i = 0; i < list.numberOfItems(); ++i)
                 entries << list.itemAtIndex(i);
             return entries;
         },
         {u"first@example.com"_s, u"third@example.org"_s, u"*@fourth.example"_s},
         {u"first@example.com"_s, u"second.example"_s, u"third@example.org"_s}},
        {"LanguageList",
         {choice(u"ru"_s, 1), choice(u"de"_s, 2), choice(u"fr"_s, 1), choice(u"ja"_s, 2)},
         "<string>de</string>",
         "<string>ja</string>",
         [] {
             QVLanguageList list;
             QStringList entries;
             for (qsizetype i = 0; i < list.numberOfItems(); ++i) {
                 const QVLanguageItem item = list.itemAtIndex(i);
                 entries << item.languageCode() + u':' + QString::number(item.usageType());
             }
             return entries;
         },
         // Sorted by their English names.
         {u"fr:1"_s, u"ja:2"_s, u"ru:1"_s},
         {u"fr:1"_s, u"de:2"_s, u"ru:1"_s}},
    };
    for (const auto &list : lists) {
        for (const Damage &damage : kDamages) {
            SCOPED_TRACE(std::string(list.list) + ", " + damage.name);
            const QString path = productFolder() + u'/' + QString::fromLatin1(list.list) + u".plist"_s;
            const QByteArray damaged = damage.apply(*PropertyList::toXml(list.elements), list.second, list.fourth);
            ASSERT_FALSE(PropertyList::fromXml(damaged)) << "the damage breaks the file";
            writeFile(path, damaged);

            const QStringList expected = damage.spoilsSecond ? list.withoutSecond : list.withoutFourth;
            EXPECT_EQ(list.load(), expected);
            // The damaged file is kept as it was, reported once; the file
            // now holds what was kept.
            EXPECT_EQ(readFile(path + u".corrupt"_s), damaged);
            const QList<QVListFile::SetAside> told = QVListFile::takeSetAsideFiles();
            ASSERT_EQ(told.size(), 1);
            EXPECT_EQ(told[0].path, path);
            EXPECT_EQ(told[0].aside, path + u".corrupt"_s);
            EXPECT_EQ(told[0].kept, expected.size());
            ASSERT_TRUE(PropertyList::fromXml(readFile(path)));
            EXPECT_EQ(list.load(), expected) << "read back whole";
            EXPECT_TRUE(QVListFile::takeSetAsideFiles().isEmpty()) << "told once";
            QFile::remove(path);
            QFile::remove(path + u".corrupt"_s);
        }
    }
}

// Nothing whole is left: the file is set aside, reported with nothing kept.
TEST_F(ListSalvage, AFileWithNothingWholeIsReportedWithNothingKept)
{
    const QString path = productFolder() + u"/WhiteList.plist"_s;
    writeFile(path, "<?xml version=\"1.0\"?><plist><array><string>cut o\xff");
    QVMailList list(u"WhiteList"_s);
    EXPECT_EQ(list.numberOfItems(), 0);
    const QList<QVListFile::SetAside> told = QVListFile::takeSetAsideFiles();
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0].kept, 0);
}

}  // namespace
