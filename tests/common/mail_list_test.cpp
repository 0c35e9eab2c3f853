#include "temporary_home.h"

#include "PropertyList.h"
#include "QVMailList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

class MailList : public TemporaryHome {
protected:
    QString listPath(const QString &name = u"BlackList"_s) const { return productFolder() + u'/' + name + u".plist"_s; }

    static QStringList entries(const QVMailList &list)
    {
        QStringList result;
        for (qsizetype i = 0; i < list.numberOfItems(); ++i)
            result.append(list.itemAtIndex(i));
        return result;
    }

    QStringList fileEntries(const QString &name = u"BlackList"_s) const
    {
        const std::optional<QVariant> value = PropertyList::fromXml(readFile(listPath(name)));
        return value ? value->toStringList() : QStringList{u"<unreadable>"_s};
    }

    void writeList(const QStringList &items, const QString &name = u"BlackList"_s)
    {
        writeFile(listPath(name), *PropertyList::toXml(items));
    }
};

// Counts the change announcements of one list.
struct ChangeCounter {
    explicit ChangeCounter(QVMailList &list)
    {
        QObject::connect(&list, &QVMailList::VQMailListDidChange, [this] { ++count; });
    }
    int count = 0;
};

TEST_F(MailList, StoresLowerCaseAndMatchesAnyCase)
{
    QVMailList list(u"BlackList"_s);
    list.addItem(u"Spammer@Example.COM"_s);
    list.addItem(u"ÄRGER.example.org"_s);
    EXPECT_EQ(entries(list), (QStringList{u"spammer@example.com"_s, u"ärger.example.org"_s}));
    for (const QString &query : {u"spammer@example.com"_s, u"SPAMMER@EXAMPLE.COM"_s, u"sPaMmEr@eXaMpLe.CoM"_s})
        EXPECT_TRUE(list.containsItem(query)) << query.toStdString();
    EXPECT_TRUE(list.containsItem(u"Ärger.Example.ORG"_s));
    EXPECT_FALSE(list.containsItem(u"example.com"_s)) << "an address entry does not match its domain";
    EXPECT_FALSE(list.containsItem(u"spammer@example.co"_s));
}

TEST_F(MailList, EveryChangeSavesAndAnnouncesInOrder)
{
    QVMailList list(u"WhiteList"_s);
    ChangeCounter changes(list);
    list.addItem(u"b.example"_s);
    list.addItem(u"a.example"_s);
    list.addItem(u"c.example"_s);
    EXPECT_EQ(changes.count, 3);
    EXPECT_EQ(fileEntries(u"WhiteList"_s), (QStringList{u"b.example"_s, u"a.example"_s, u"c.example"_s}));

    // A present entry keeps its place and is announced, but writes nothing.
    ASSERT_TRUE(QFile::remove(listPath(u"WhiteList"_s)));
    list.addItem(u"A.EXAMPLE"_s);
    EXPECT_EQ(changes.count, 4);
    EXPECT_FALSE(QFile::exists(listPath(u"WhiteList"_s)));
    EXPECT_FALSE(list.hasUnsavedChanges());
    list.saveToFile();
    EXPECT_EQ(fileEntries(u"WhiteList"_s), (QStringList{u"b.example"_s, u"a.example"_s, u"c.example"_s}));

    list.removeItemAtIndexes({2, 0, 0, 99, -1});
    EXPECT_EQ(changes.count, 5);
    EXPECT_EQ(entries(list), QStringList{u"a.example"_s});
    EXPECT_FALSE(list.containsItem(u"b.example"_s));
    EXPECT_EQ(fileEntries(u"WhiteList"_s), QStringList{u"a.example"_s});

    list.removeItemAtIndexes({});
    EXPECT_EQ(changes.count, 6) << "announced even when nothing changed";
    EXPECT_EQ(list.itemAtIndex(1), QString());
    EXPECT_EQ(list.itemAtIndex(-1), QString());
}

TEST_F(MailList, RemovesByValueInAnyCase)
{
    QVMailList list(u"BlackList"_s);
    list.addItem(u"one@example.com"_s);
    list.addItem(u"two.example"_s);
    ChangeCounter changes(list);
    list.removeItem(u"ONE@Example.com"_s);
    EXPECT_EQ(entries(list), QStringList{u"two.example"_s});
    EXPECT_FALSE(list.containsItem(u"one@example.com"_s));
    EXPECT_EQ(fileEntries(), QStringList{u"two.example"_s});
    // Nothing to remove, or no text at all: announced, nothing written.
    ASSERT_TRUE(QFile::remove(listPath()));
    list.removeItem(u"absent.example"_s);
    list.removeItem(QString());
    list.removeItemAtIndexes({5});
    EXPECT_EQ(changes.count, 4);
    EXPECT_FALSE(QFile::exists(listPath()));
}

TEST_F(MailList, StorageStepsAreCallableOnTheirOwn)
{
    QVMailList list(u"WhiteList"_s);
    EXPECT_EQ(list.fileURL(), QUrl::fromLocalFile(listPath(u"WhiteList"_s)));
    list.saveToFile();
    EXPECT_EQ(fileEntries(u"WhiteList"_s), QStringList{});
    writeList({u"A.example"_s, u"b.example"_s}, u"WhiteList"_s);
    list.loadFromFile();
    EXPECT_EQ(entries(list), (QStringList{u"a.example"_s, u"b.example"_s}));
}

TEST_F(MailList, ReloadsWhatItSaved)
{
    {
        QVMailList list(u"BlackList"_s);
        list.addItem(u"one@example.com"_s);
        list.addItem(u"*@two.example"_s);
        list.addItem(u"three.example"_s);
    }
    EXPECT_FALSE(QFile::exists(listPath(u"WhiteList"_s))) << "lists keep separate files";
    QVMailList reloaded(u"BlackList"_s);
    EXPECT_EQ(entries(reloaded), (QStringList{u"one@example.com"_s, u"*@two.example"_s, u"three.example"_s}));
    EXPECT_EQ(readFile(listPath()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n"
              "<array>\n"
              "\t<string>one@example.com</string>\n"
              "\t<string>*@two.example</string>\n"
              "\t<string>three.example</string>\n"
              "</array>\n"
              "</plist>\n");
}

TEST_F(MailList, LoadingFoldsCaseAndCollapsesDuplicates)
{
    writeList({u"Example.com"_s, u"x@y.example"_s, u"example.com"_s, u"EXAMPLE.COM"_s});
    QVMailList list(u"BlackList"_s);
    EXPECT_EQ(entries(list), (QStringList{u"example.com"_s, u"x@y.example"_s}));

    writeList({}, u"WhiteList"_s);
    EXPECT_EQ(QVMailList(u"WhiteList"_s).numberOfItems(), 0);
}

TEST_F(MailList, BlankEntriesAreRefusedAndNeverMatch)
{
    QVMailList list(u"BlackList"_s);
    ChangeCounter changes(list);
    for (const QString &blank : {QString(), u""_s, u"   "_s, u"\t"_s, u"\u00a0"_s, u"a\u0001b"_s})
        list.addItem(blank);
    EXPECT_EQ(list.numberOfItems(), 0);
    EXPECT_EQ(changes.count, 0);
    EXPECT_FALSE(QFile::exists(listPath()));
    list.addItem(u"example.com"_s);
    for (const QString &blank : {QString(), u""_s, u" "_s})
        EXPECT_FALSE(list.containsItem(blank));
}

struct WildcardCase {
    const char *query;
    bool matches;
};

TEST_F(MailList, WildcardEntriesMatchTheirDomain)
{
    QVMailList list(u"BlackList"_s);
    list.addItem(u"*@Junk.Example"_s);
    const WildcardCase cases[] = {
        {"junk.example", true},
        {"JUNK.example", true},
        {"anyone@junk.example", true},
        {"*@junk.example", true},
        {"sub.junk.example", false},
        {"junk.example.com", false},
        {"anyone@other.example", false},
        {"other.example", false},
        {"anyone@", false},
        {"@", false},
    };
    for (const WildcardCase &c : cases)
        EXPECT_EQ(list.containsItem(QString::fromUtf8(c.query)), c.matches) << c.query;
}

TEST_F(MailList, AnUnusableFileIsKeptAsideAndTheListStartsEmpty)
{
    const QByteArray unusable[] = {
        "",
        "not a property list",
        "<?xml version=\"1.0\"?><plist><dict><key>a</key><string>b</string></dict></plist>",
        "<?xml version=\"1.0\"?><plist><array><string>cut off",
    };
    int copy = 0;
    for (const QByteArray &bytes : unusable) {
        writeFile(listPath(), bytes);
        QVMailList list(u"BlackList"_s);
        EXPECT_EQ(list.numberOfItems(), 0) << bytes.constData();
        const QString aside = listPath() + u".corrupt"_s + (copy++ ? u"-%1"_s.arg(copy) : QString());
        EXPECT_EQ(readFile(aside), bytes) << aside.toStdString();
        EXPECT_FALSE(QFile::exists(listPath()));
        list.addItem(u"fresh.example"_s);
        EXPECT_EQ(fileEntries(), QStringList{u"fresh.example"_s});
        QFile::remove(listPath());
    }
}

TEST_F(MailList, AFolderOrFifoInPlaceOfTheFileIsMovedAside)
{
    ASSERT_TRUE(QDir().mkpath(listPath()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(listPath(u"WhiteList"_s)).constData(), 0600), 0);
    for (const QString &name : {u"BlackList"_s, u"WhiteList"_s}) {
        QVMailList list(name);
        EXPECT_EQ(list.numberOfItems(), 0);
        EXPECT_TRUE(QFileInfo::exists(listPath(name) + u".corrupt"_s));
        list.addItem(u"fresh.example"_s);
        EXPECT_EQ(fileEntries(name), QStringList{u"fresh.example"_s});
    }
}

TEST_F(MailList, UnusableElementsAreDroppedAfterKeepingTheOriginal)
{
    const QByteArray original = *PropertyList::toXml(
        QVariantList{u"keep@example.com"_s, 42, u""_s, QVariantMap{{u"k"_s, u"v"_s}}, u"keep.example"_s});
    writeFile(listPath(), original);
    QVMailList list(u"BlackList"_s);
    EXPECT_EQ(entries(list), (QStringList{u"keep@example.com"_s, u"keep.example"_s}));
    EXPECT_EQ(readFile(listPath() + u".corrupt"_s), original);
    EXPECT_EQ(fileEntries(), (QStringList{u"keep@example.com"_s, u"keep.example"_s}));
}

}  // namespace
