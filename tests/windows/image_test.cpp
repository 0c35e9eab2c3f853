#include "support.h"

#include "QVNSImage.h"

#include <QPainter>

#include <gtest/gtest.h>

namespace {

QRgb centreColour(const QImage &image)
{
    return normalized(image).pixel(image.width() / 2, image.height() / 2);
}

struct LookupCase {
    const char *name;
    QVersionNumber version;
    QRgb expected;
};

TEST(ImageLookup, PrefersTheFlatVariantOnlyFromTenTenWithAMinorOfTenOrMore)
{
    const QRgb plain = qRgb(255, 0, 0), variant = qRgb(0, 0, 255);
    const LookupCase cases[] = {
        {"Probe", QVersionNumber(10, 10), variant},     {"Probe", QVersionNumber(10, 15), variant},
        {"Probe.png", QVersionNumber(10, 12), variant}, {"Probe", QVersionNumber(10, 9), plain},
        {"Probe", QVersionNumber(11, 0), plain},        {"Probe", QVersionNumber(), plain},
        {"Probe.png", QVersionNumber(), plain},
    };
    for (const LookupCase &c : cases) {
        const QImage image = QVNSImage::imageNamedYosemite(QString::fromLatin1(c.name), c.version);
        ASSERT_FALSE(image.isNull()) << c.name << ' ' << c.version.toString().toStdString();
        EXPECT_EQ(centreColour(image), c.expected) << c.name << ' ' << c.version.toString().toStdString();
    }
}

TEST(ImageLookup, AVariantlessNameFallsBackAndAMissingNameGivesNothing)
{
    EXPECT_FALSE(QVNSImage::imageNamedYosemite(QStringLiteral("Undertable.png"), QVersionNumber(10, 10)).isNull());
    EXPECT_TRUE(QVNSImage::imageNamedYosemite(QStringLiteral("NoSuchImage")).isNull());
    EXPECT_TRUE(QVNSImage::imageNamedYosemite(QStringLiteral("NoSuchImage"), QVersionNumber(10, 10)).isNull());
    EXPECT_TRUE(QVNSImage::imageNamedYosemite(QString()).isNull());
}

TEST(ImageLookup, EveryImageThePagesNameExists)
{
    for (const char *name : {"Filters",
                             "FiltersActive",
                             "Settings",
                             "SettingsActive",
                             "Account",
                             "AccountActive",
                             "statusbar_active",
                             "Undertable.png",
                             "Undertable_Pressed.png",
                             "Undertable_Separator.png",
                             "Undertable_Plus.png",
                             "Undertable_Minus.png",
                             "Icon_Filter",
                             "Icon_Logging",
                             "UserImage",
                             "Quorvane",
                             "BlueButton",
                             "BlueButtonPressed",
                             "BlueButtonDisabled",
                             "BlueLargeButton",
                             "BlueLargeButtonPressed",
                             "BlueLargeButtonDisabled"})
        EXPECT_FALSE(QVNSImage::imageNamedYosemite(QString::fromLatin1(name)).isNull()) << name;
}

TEST(ImageCropping, CutsTheRectangleMeasuredFromTheTopLeft)
{
    QImage image(4, 4, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    image.setPixel(3, 0, qRgb(0, 255, 0));
    const QImage crop = QVNSImage::imageFromRect(image, QRectF(2, 0, 2, 1));
    ASSERT_EQ(crop.size(), QSize(2, 1));
    EXPECT_EQ(crop.pixel(1, 0), qRgb(0, 255, 0));
    EXPECT_TRUE(QVNSImage::imageFromRect(QImage(), QRectF(0, 0, 1, 1)).isNull());
}

struct NinePartCase {
    const char *name;
    qreal top, left, bottom, right;
};

TEST(NinePartDrawing, AtTheImagesOwnSizeDrawsItUnchanged)
{
    const NinePartCase cases[] = {{"BlueButton", 10, 4, 11, 4}, {"BlueLargeButton", 10, 10, 10, 10}};
    for (const NinePartCase &c : cases) {
        const QImage source = normalized(QVNSImage::imageNamedYosemite(QString::fromLatin1(c.name)));
        ASSERT_FALSE(source.isNull()) << c.name;
        QImage drawn(source.size(), QImage::Format_ARGB32_Premultiplied);
        drawn.fill(Qt::transparent);
        {
            QPainter painter(&drawn);
            QVNSImage::drawInRect(painter, source, QRectF(QPointF(0, 0), source.size()), c.top, c.left, c.bottom,
                                  c.right);
        }
        EXPECT_EQ(drawn, source) << c.name;
    }
}

TEST(NinePartDrawing, StretchingKeepsTheCorners)
{
    const QImage source = normalized(QVNSImage::imageNamedYosemite(QStringLiteral("BlueLargeButton")));
    QImage drawn(QSize(200, 60), QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    {
        QPainter painter(&drawn);
        QVNSImage::drawInRect(painter, source, QRectF(0, 0, 200, 60), 10, 10, 10, 10);
    }
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            ASSERT_EQ(drawn.pixel(x, y), source.pixel(x, y)) << x << ',' << y;
}

}  // namespace
