#include "support.h"

#include "page_host.h"

#include <QToolButton>

#include <gtest/gtest.h>

namespace {

TEST(Chrome, PageButtonsSitAtTheirPlacesInA400WideBand)
{
    PageHost host;
    QVCMainToolbar band;
    band.setDelegate(&host);
    band.resize(400, 50);
    band.show();
    QVCMainToolbar *toolbar = &band;
    ASSERT_EQ(toolbar->buttons().size(), 3);
    const int expectedX[] = {84, 164, 244};
    for (int index = 0; index < 3; ++index) {
        const QRect frame = toolbar->buttons()[index]->geometry();
        EXPECT_EQ(frame, QRect(expectedX[index], 50 - 3 - 40, 72, 40)) << index;
    }
}

TEST(Chrome, SelectedPageShowsItsPressedIconAndAnUnknownTagShowsNone)
{
    PageHost host;
    QVCMainToolbar *toolbar = host.toolbar();
    const auto showsPressed = [&](int index) {
        const QVCMainToolbarItem item = host.itemForToolbar(toolbar, index);
        const QSize size = item.icon.size();
        return toolbar->buttons()[index]->icon().pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32)
            == item.pressedIcon.convertToFormat(QImage::Format_ARGB32);
    };
    toolbar->setSelectedItemTag(1);
    EXPECT_FALSE(showsPressed(0));
    EXPECT_TRUE(showsPressed(1));
    EXPECT_FALSE(showsPressed(2));
    toolbar->setSelectedItemTag(7);
    for (int index = 0; index < 3; ++index)
        EXPECT_FALSE(showsPressed(index)) << index;

    toolbar->setItemEnabled(false, 2);
    EXPECT_TRUE(toolbar->buttons()[0]->isEnabled());
    EXPECT_FALSE(toolbar->buttons()[2]->isEnabled());
    toolbar->setItemEnabled(false, 9);
}

TEST(Chrome, BandTakesItsHeightAndTheNoiseStaysFaint)
{
    PageHost host;
    host.resize(400, 300);
    host.show();
    EXPECT_TRUE(waitUntil([&] { return host.titleBarView()->height() == 50; }));
    EXPECT_EQ(host.contentView()->height(), 250);

    const QImage noise = QVCMainWindowTitlebarView::newNoiseImage(128, 128, 0.015);
    ASSERT_EQ(noise.size(), QSize(128, 128));
    int brightest = 0;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x)
            brightest = std::max(brightest, qGray(noise.pixel(x, y)));
    EXPECT_LE(brightest, 3);
}

}  // namespace
