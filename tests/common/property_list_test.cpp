#include "temporary_home.h"

#include "PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QVariantList>
#include <QVariantMap>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

QByteArray golden(const char *name)
{
    QFile file(QStringLiteral(QV_TEST_DATA "/") + QLatin1StringView(name));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return file.readAll();
}

QByteArray document(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n"
        + body + "</plist>\n";
}

TEST(PropertyList, GoldenFilesReadAndWriteBackByteForByte)
{
    for (const char *name : {"BlackList.plist", "LanguageList.plist"}) {
        const QByteArray original = golden(name);
        const std::optional<QVariant> value = PropertyList::fromXml(original);
        ASSERT_TRUE(value) << name;
        const std::optional<QByteArray> written = PropertyList::toXml(*value);
        ASSERT_TRUE(written) << name;
        EXPECT_EQ(written->toStdString(), original.toStdString()) << name;
    }
}

TEST(PropertyList, GoldenListsHoldTheirValues)
{
    const QVariantList black = PropertyList::fromXml(golden("BlackList.plist"))->toList();
    ASSERT_EQ(black.size(), 6);
    EXPECT_EQ(black[3].toString(), u"o'brien&sons@example.com");
    EXPECT_EQ(black[4].toString(), u"r<>d@example.com");
    EXPECT_EQ(black[5].toString(), u"müller@beispiel.de");

    const QVariantList languages = PropertyList::fromXml(golden("LanguageList.plist"))->toList();
    ASSERT_EQ(languages.size(), 4);
    const QVariantMap brazil = languages[2].toMap();
    EXPECT_EQ(brazil.value(u"languageCode"_s).toString(), u"pt-BR");
    EXPECT_EQ(brazil.value(u"languageUsage"_s).toLongLong(), 2);
}

struct ValueCase {
    const char *body;
    QVariant expected;
};

TEST(PropertyList, ReadsEveryValueType)
{
    const QDateTime date(QDate(2013, 5, 1), QTime(12, 30, 0), Qt::UTC);
    const ValueCase cases[] = {
        {"<string>plain</string>", QVariant(u"plain"_s)},
        {"<string/>", QVariant(QString(u""_s))},
        {"<string><![CDATA[a<b]]></string>", QVariant(u"a<b"_s)},
        {"<string>  kept  </string>", QVariant(u"  kept  "_s)},
        {"<string>a&#13;b</string>", QVariant(u"a\rb"_s)},
        {"<integer>42</integer>", QVariant(qlonglong(42))},
        {"<integer> -7 </integer>", QVariant(qlonglong(-7))},
        {"<integer>18446744073709551615</integer>", QVariant(qulonglong(18446744073709551615ull))},
        {"<integer>0x1F</integer>", QVariant(qulonglong(31))},
        {"<real>1.5</real>", QVariant(1.5)},
        {"<real>-infinity</real>", QVariant(-INFINITY)},
        {"<true/>", QVariant(true)},
        {"<false></false>", QVariant(false)},
        {"<data>AAH/\n\tAA==</data>", QVariant(QByteArray("\x00\x01\xff\x00", 4))},
        {"<date>2013-05-01T12:30:00Z</date>", QVariant(date)},
        {"<array/>", QVariant(QVariantList())},
        {"<dict/>", QVariant(QVariantMap())},
        {"<dict><key>b</key><integer>2</integer><key>a</key><array><true/></array></dict>",
         QVariant(QVariantMap{{u"a"_s, QVariantList{true}}, {u"b"_s, qlonglong(2)}})},
        {"<!-- note --><array><?pi x?><string>x</string></array>", QVariant(QVariantList{u"x"_s})},
    };
    for (const ValueCase &c : cases) {
        const std::optional<QVariant> value = PropertyList::fromXml(document(c.body));
        ASSERT_TRUE(value) << c.body;
        EXPECT_EQ(*value, c.expected) << c.body;
    }
    const std::optional<QVariant> nan = PropertyList::fromXml(document("<real>nan</real>"));
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(nan->toDouble()));
}

TEST(PropertyList, RefusesMalformedDocuments)
{
    QByteArray deep;
    for (int i = 0; i <= PropertyList::maxDepth; ++i)
        deep += "<array>";
    const QByteArray cases[] = {
        "",
        "not xml at all",
        "<?xml version=\"1.0\"?><array/>",
        document(""),
        document("<array/><array/>"),
        document("<array><string>x</string>"),
        document("<array>text</array>"),
        document("<unknown/>"),
        document("<key>lonely</key>"),
        document("<dict><string>x</string></dict>"),
        document("<dict><key>k</key></dict>"),
        document("<string>a<b/></string>"),
        document("<string>&undefined;</string>"),
        document("<integer>12x</integer>"),
        document("<integer>99999999999999999999999</integer>"),
        document("<real>one</real>"),
        document("<true>yes</true>"),
        document("<data>!!!</data>"),
        document("<date>yesterday</date>"),
        document("<string>\x01</string>"),
        document("<array/>") + "<array/>",
        document(deep),
    };
    for (const QByteArray &c : cases) {
        QString error;
        EXPECT_FALSE(PropertyList::fromXml(c, &error)) << c.left(200).toStdString();
        EXPECT_FALSE(error.isEmpty()) << c.left(200).toStdString();
    }
}

TEST(PropertyList, WritesTheOriginalLayout)
{
    const QVariant value = QVariantList{
        QVariantMap{{u"k"_s, 7}, {u"empty"_s, QVariantList()}}, u"a & <b>\tc\r"_s, true, 2.5, QVariantMap(),
    };
    EXPECT_EQ(PropertyList::toXml(value)->toStdString(),
              document("<array>\n"
                       "\t<dict>\n"
                       "\t\t<key>empty</key>\n"
                       "\t\t<array/>\n"
                       "\t\t<key>k</key>\n"
                       "\t\t<integer>7</integer>\n"
                       "\t</dict>\n"
                       "\t<string>a &amp; &lt;b&gt;\tc&#13;</string>\n"
                       "\t<true/>\n"
                       "\t<real>2.5</real>\n"
                       "\t<dict/>\n"
                       "</array>\n")
                  .toStdString());
    // Text with a carriage return reads back unchanged.
    EXPECT_EQ(PropertyList::fromXml(*PropertyList::toXml(value))->toList().at(1), value.toList().at(1));
}

TEST(PropertyList, RefusesWhatXmlCannotCarry)
{
    const QVariant cases[] = {
        QVariant(u"bell\a"_s),
        QVariant(QString(QChar(0))),
        QVariant(QString(QChar(0xD800))),
        QVariant(QString(QChar(0xDC00)) + u"x"_s),
        QVariant(QString(QChar(0xFFFE))),
        QVariant(QVariantList{QVariant(QByteArray("bytes"))}),
        QVariant(QVariantMap{{u"date"_s, QDateTime::currentDateTimeUtc()}}),
        QVariant(),
    };
    for (const QVariant &c : cases)
        EXPECT_FALSE(PropertyList::toXml(c)) << c.typeName();
    EXPECT_TRUE(PropertyList::toXml(QVariant(u"emoji \U0001F600"_s)));
}

}  // namespace
