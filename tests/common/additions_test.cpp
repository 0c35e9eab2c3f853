#include "temporary_home.h"

#include "QVDataAdditions.h"
#include "QVStringAdditions.h"

#include <clocale>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace {

struct Validation {
    QString text;
    bool valid;
};

// Qt runs applications in the user's UTF-8 locale, where the classes of the
// regular-expression library take in non-ASCII letters.
class Validations : public ::testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C.UTF-8"); }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(Validations, EmailAddresses)
{
    const Validation cases[] = {
        {u"user@example.com"_s, true},
        {u"First.Last+tag@sub.example.co.uk"_s, true},
        {u"o'brien@example.ie"_s, true},
        {u"a_b-c@ex-ample.com"_s, true},
        {u"*@example.com"_s, true},
        {u"*@mail.example.org"_s, true},
        {u""_s, false},
        {u"user"_s, false},
        {u"user@example"_s, false},
        {u"user@example.com trailing"_s, false},
        {u"junk *@example.com"_s, false},
        {u"x*@example.com"_s, false},
        {u"**@example.com"_s, false},
        {u"*@example"_s, false},
        {u"*@"_s, false},
        {u"user..name@example.com"_s, false},
        {u"user@example..com"_s, false},
        {u".user@example.com"_s, false},
        {u"user@-example.com"_s, false},
        {u"user@@example.com"_s, false},
        {u"user name@example.com"_s, false},
        {u"user@example.com\n"_s, false},
        {u"müller@example.de"_s, false},
        {u"user@exämple.de"_s, false},
        {u"*@exämple.de"_s, false},
        {u"ｕｓｅｒ@example.com"_s, false},
        {u"user@example.com"_s + QChar(0) + u" junk"_s, false},
    };
    for (const Validation &c : cases)
        EXPECT_EQ(QVAdditions::isValidEmailAddress(c.text), c.valid) << c.text.toStdString();
}

TEST_F(Validations, Domains)
{
    const Validation cases[] = {
        {u"example.com"_s, true},
        {u"a.co"_s, true},
        {u"sub-domain.example.museum"_s, true},
        {u"x1.EXAMPLE.org"_s, true},
        {QString(63, u'a') + u".com"_s, true},
        {u""_s, false},
        {u"example"_s, false},
        {u"example.c"_s, false},
        {u"shop.online"_s, true},
        {u"mail.example"_s, true},
        {u"my.website"_s, true},
        {u"example."_s + QString(63, u'a'), true},
        {u"example."_s + QString(64, u'a'), false},
        {u"-example.com"_s, false},
        {u"example-.com"_s, false},
        {u"exa\\mple.com"_s, false},
        {u"exa_mple.com"_s, false},
        {u"example.c0m"_s, false},
        {u"example.com."_s, false},
        {u".example.com"_s, false},
        {u"a..com"_s, false},
        {u"exämple.com"_s, false},
        {u"example.cöm"_s, false},
        {QString(64, u'a') + u".com"_s, false},
        {u"*@example.com"_s, false},
    };
    for (const Validation &c : cases)
        EXPECT_EQ(QVAdditions::isValidDomain(c.text), c.valid) << c.text.toStdString();
}

TEST(StringAdditions, ConvertUtf32BothWays)
{
    const wchar_t text[] = L"Grüße \U0001F600";
    EXPECT_EQ(QVAdditions::stringWithUTF32String(text), u"Grüße \U0001F600"_s);
    EXPECT_EQ(QVAdditions::stringWithUTF32String(text, 3), u"Grü"_s);
    const wchar_t withZero[] = {L'a', 0, L'b'};
    EXPECT_EQ(QVAdditions::stringWithUTF32String(withZero, 3), QString::fromUtf16(u"a\0b", 3));
    EXPECT_TRUE(QVAdditions::stringWithUTF32String(nullptr).isNull());
    EXPECT_TRUE(QVAdditions::stringWithUTF32String(nullptr, 5).isNull());
    EXPECT_FALSE(QVAdditions::stringWithUTF32String(text, 0).isNull());
    EXPECT_TRUE(QVAdditions::stringWithUTF32String(text, 0).isEmpty());

    const std::wstring wide = QVAdditions::UTF32String(u"M01:ab \U0001F600"_s);
    EXPECT_EQ(wide, std::wstring(L"M01:ab \U0001F600"));
    EXPECT_EQ(wide.size(), 8u) << "one unit per code point, no terminator";
}

TEST(StringAdditions, RegularExpressionsMatchAnywhereUnlessAnchored)
{
    EXPECT_TRUE(QVAdditions::matchesRegularExpressionCString(u"say hello there"_s, "hel+o"));
    EXPECT_FALSE(QVAdditions::matchesRegularExpressionCString(u"say hello there"_s, "^hello"));
    EXPECT_TRUE(QVAdditions::matchesRegularExpressionCString(u"Grüße"_s, "^Gr..?..?e$")) << "UTF-8 text";
    EXPECT_FALSE(QVAdditions::matchesRegularExpressionCString(u"a"_s + QChar(0) + u"b"_s, "b"));
    EXPECT_THROW(QVAdditions::matchesRegularExpressionCString(u"x"_s, "(unclosed"), std::invalid_argument);
    EXPECT_THROW(QVAdditions::matchesRegularExpressionCString(u"x"_s, nullptr), std::invalid_argument);
}

TEST(StringAdditions, Tabs)
{
    EXPECT_EQ(QVAdditions::tabsStringWithIndentation(0), QString());
    EXPECT_EQ(QVAdditions::tabsStringWithIndentation(3), u"\t\t\t"_s);
}

TEST(DataAdditions, HexRepresentation)
{
    EXPECT_EQ(QVAdditions::hexRepresentation(QByteArray("\x00\xab\xff", 3)), u"00abff"_s);
    EXPECT_EQ(QVAdditions::hexRepresentation(QByteArray()), QString());
}

struct DigestCase {
    QString text;
    const char *md5;
    const char *md5OfMd5;  // null when not checked
};

TEST(DataAdditions, Md5OfTheUtf8Bytes)
{
    const DigestCase cases[] = {
        // RFC 1321, appendix A.5
        {u"a"_s, "0cc175b9c0f1b6a831c399e269772661", "b6ff9a06b7e20bcb2858c5b8ff744aea"},
        {u"abc"_s, "900150983cd24fb0d6963f7d28e17f72", "af5da9f45af7a300e3aded972f8ff687"},
        {u"message digest"_s, "f96b697d7cb7938d525a2f31aaf161d0", nullptr},
        {u"abcdefghijklmnopqrstuvwxyz"_s, "c3fcd3d76192e4007dfb496cca67e13b", nullptr},
        {u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"_s, "d174ab98d277d9f5a5611c2c9f419d9f",
         nullptr},
        {u"12345678901234567890123456789012345678901234567890123456789012345678901234567890"_s,
         "57edf4a22be3c955ac49da2e2107b67a", nullptr},
        // Every byte of the UTF-8 form, not one per character.
        {u"Grüße, 世界"_s, "3f09d838cd485bfad6c29ac11286f1ac", "772f490a6112405d1a607cbba3e9c038"},
    };
    for (const DigestCase &c : cases) {
        const QByteArray digest = QVAdditions::md5DataForString(c.text);
        ASSERT_EQ(digest.size(), 16);
        EXPECT_EQ(QVAdditions::hexHashString(digest), QLatin1StringView(c.md5)) << c.text.toStdString();
        if (c.md5OfMd5) {
            EXPECT_EQ(QVAdditions::hexHashToHashForString(c.text), QLatin1StringView(c.md5OfMd5));
        }
    }
    EXPECT_TRUE(QVAdditions::md5DataForString(QString()).isNull());
    EXPECT_TRUE(QVAdditions::md5DataForString(u""_s).isNull());
    EXPECT_TRUE(QVAdditions::hexHashToHashForString(u""_s).isNull());
}

TEST(DataAdditions, HexHashReadsOnlyAWholeDigest)
{
    const QByteArray twenty = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f10111213");
    EXPECT_EQ(QVAdditions::hexHash(reinterpret_cast<const unsigned char *>(twenty.constData())),
              u"000102030405060708090a0b0c0d0e0f"_s);
    EXPECT_TRUE(QVAdditions::hexHash(nullptr).isNull());
    EXPECT_EQ(QVAdditions::hexHashString(twenty), u"000102030405060708090a0b0c0d0e0f"_s);
    EXPECT_TRUE(QVAdditions::hexHashString(twenty.first(15)).isNull());
    EXPECT_TRUE(QVAdditions::hexHashString(QByteArray()).isNull());
}

}  // namespace
