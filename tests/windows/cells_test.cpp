#include "support.h"

#include "QVBlueButtonCell.h"
#include "QVFBaseButtonCell.h"
#include "QVNSImage.h"
#include "QVValueTransformer.h"

#include <gtest/gtest.h>

namespace {

enum class State { Normal, Pressed, Disabled, CheckedOn, CheckedOff };

void applyState(QVFBaseButton &button, State state)
{
    button.setEnabled(state != State::Disabled);
    button.setCheckable(state == State::CheckedOn || state == State::CheckedOff);
    button.setChecked(state == State::CheckedOn);
    button.setDown(state == State::Pressed);
}

QImage image(const char *name)
{
    return QVNSImage::imageNamedYosemite(QString::fromLatin1(name));
}

TEST(ButtonCells, GreySquareCellChoosesItsStripByState)
{
    const struct {
        State state;
        const char *expected;
    } cases[] = {
        {State::Normal, "Undertable.png"},
        {State::Pressed, "Undertable_Pressed.png"},
        {State::CheckedOn, "Undertable_Pressed.png"},
        {State::CheckedOff, "Undertable.png"},
        {State::Disabled, "Undertable.png"},
    };
    QVFBaseButton button;
    QVFGraySquareButtonCell cell;
    for (const auto &c : cases) {
        applyState(button, c.state);
        const QVFBaseButtonCell::Background background = cell.backgroundForState(button);
        ASSERT_TRUE(background.isComplete()) << c.expected;
        EXPECT_EQ(background.left, image(c.expected)) << int(c.state);
        EXPECT_EQ(background.fill, image(c.expected)) << int(c.state);
        EXPECT_EQ(background.opacity, 1.0) << int(c.state);
    }
    EXPECT_EQ(cell.imageOffset(), QPointF(0, 0));
}

TEST(ButtonCells, BaseCellWithoutImagesDrawsItsTitleInTheWholeFrame)
{
    QVFBaseButton button;
    button.setText(QStringLiteral("Title"));
    QVFBaseButtonCell cell;
    const QRectF frame(0, 0, 120, 30);
    EXPECT_FALSE(cell.backgroundForState(button).isComplete());
    EXPECT_EQ(cell.titleRectForFrame(frame, button), frame);
    EXPECT_EQ(cell.imageOffset(), QPointF(0, -3));
    EXPECT_EQ(cell.textAttributes(), QColor(Qt::white));
    EXPECT_EQ(cell.disableTextAttributes().alphaF(), qRound(255 * 0.7) / 255.0f);

    // Drawing it paints the title only: nothing but white text on the
    // transparent background.
    QImage canvas(120, 30, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    cell.drawWithFrame(painter, frame, button);
    painter.end();
    bool anyText = false;
    for (int y = 0; y < canvas.height(); ++y)
        for (int x = 0; x < canvas.width(); ++x)
            if (qAlpha(canvas.pixel(x, y)) > 0) {
                anyText = true;
                EXPECT_EQ(qRed(canvas.pixel(x, y)), qAlpha(canvas.pixel(x, y)));
            }
    EXPECT_TRUE(anyText);
}

TEST(ButtonCells, BlueCellsChooseTheirImageByState)
{
    const struct {
        State state;
        const char *small;
        const char *large;
    } cases[] = {
        {State::Normal, "BlueButton", "BlueLargeButton"},
        {State::Pressed, "BlueButtonPressed", "BlueLargeButtonPressed"},
        {State::CheckedOn, "BlueButtonPressed", "BlueLargeButtonPressed"},
        {State::CheckedOff, "BlueButton", "BlueLargeButton"},
        {State::Disabled, "BlueButtonDisabled", "BlueLargeButtonDisabled"},
    };
    QVFBaseButton button;
    QVBlueButtonCell small;
    QVBlueLargeButtonCell large;
    for (const auto &c : cases) {
        applyState(button, c.state);
        EXPECT_EQ(small.imageNameForState(button), QString::fromLatin1(c.small));
        EXPECT_EQ(large.imageNameForState(button), QString::fromLatin1(c.large));
    }
}

class MissingImageCell final : public QVBlueButtonCell {
public:
    QString normalImageName() const override { return QStringLiteral("NoSuchImage"); }
};

TEST(ButtonCells, BlueCellTitleMovesByItsOffsetAndStaysPutWithoutImage)
{
    QVFBaseButton button;
    const QRectF frame(10, 20, 200, 40);
    EXPECT_EQ(QVBlueButtonCell().titleRectForFrame(frame, button), QRectF(11, 17, 199, 43));
    EXPECT_EQ(QVBlueLargeButtonCell().titleRectForFrame(frame, button), QRectF(11, 19, 199, 41));
    EXPECT_EQ(MissingImageCell().titleRectForFrame(frame, button), frame);
}

TEST(ValueTransformers, MissingValuesBecomeEmptyStringOrZero)
{
    const QVValueTransformer *strings =
        QVValueTransformer::valueTransformerForName(QStringLiteral("QVAvoidNullStringTransformer"));
    const QVValueTransformer *numbers =
        QVValueTransformer::valueTransformerForName(QStringLiteral("QVAvoidNullNumberTransformer"));
    ASSERT_TRUE(strings);
    ASSERT_TRUE(numbers);
    EXPECT_EQ(strings, &QVAvoidNullStringTransformer::sharedInstance());
    EXPECT_EQ(strings->transformedValue(QVariant()), QVariant(QStringLiteral("")));
    EXPECT_EQ(strings->reverseTransformedValue(QVariant()), QVariant(QStringLiteral("")));
    EXPECT_EQ(strings->transformedValue(QStringLiteral("")), QVariant(QStringLiteral("")));
    EXPECT_EQ(strings->transformedValue(QStringLiteral("a")), QVariant(QStringLiteral("a")));
    EXPECT_EQ(numbers->transformedValue(QVariant()), QVariant(0));
    EXPECT_EQ(numbers->reverseTransformedValue(QVariant()), QVariant(0));
    EXPECT_EQ(numbers->transformedValue(0), QVariant(0));
    EXPECT_EQ(numbers->transformedValue(2.5), QVariant(2.5));
    EXPECT_EQ(QVValueTransformer::valueTransformerForName(QStringLiteral("NoSuchTransformer")), nullptr);
}

}  // namespace
