#include "test_client.h"

#include "canvas/surface.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

using velmo::canvas::makePixel;
using velmo::testing::TestClient;

namespace {

QImage render(TestClient& client) {
    return client.ui.display->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

TEST(MWCanvasDisplay, ShowsTheSurfaceOnePixelPerPointInItsOwnColours) {
    TestClient client;
    client.launch();
    auto& picture = client.canvas().display_bitmap;
    picture.at(10, 20) = makePixel(0xFF, 0xFF, 0, 0);
    picture.at(11, 20) = makePixel(0xFF, 0, 0xFF, 0);
    picture.at(12, 20) = makePixel(0xFF, 0x12, 0x34, 0x56);
    client.ui.outlets->invalidateDisplay();
    const QImage shown = render(client);
    EXPECT_EQ(shown.pixel(10, 20), qRgb(0xFF, 0, 0));
    EXPECT_EQ(shown.pixel(11, 20), qRgb(0, 0xFF, 0));
    EXPECT_EQ(shown.pixel(12, 20), qRgb(0x12, 0x34, 0x56));
    EXPECT_EQ(shown.pixel(13, 20), qRgb(0xFF, 0xFF, 0xFF));
}

TEST(MWCanvasDisplay, ARepaintConvertsOnlyTheInvalidRectangle) {
    TestClient client;
    client.launch();
    client.ui.window->repaint();
    QApplication::processEvents();
    client.ui.display->resetConvertedPixels();
    // Changed behind the display's back, then a 5 x 3 rectangle is invalidated.
    auto& picture = client.canvas().display_bitmap;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            picture.at(x, y) = makePixel(0xFF, 0, 0, 0xFF);
        }
    }
    client.ui.outlets->invalidateDisplayRect(10, 200, 5, 3);
    client.ui.display->repaint(QRect(9, 199, 7, 5));
    // At zoom 1 the source is the rectangle plus the one-pixel margin on each side.
    EXPECT_LE(client.ui.display->convertedPixels(), 9 * 7);
    EXPECT_GT(client.ui.display->convertedPixels(), 0);

    // The grab paints everything: inside the rectangle blue, the rest as before.
    const QImage shown = render(client);
    EXPECT_EQ(shown.pixel(12, 201), qRgb(0, 0, 0xFF));
}

TEST(MWCanvasDisplay, FollowsTheTransformAboutItsCentre) {
    TestClient client(QSize(400, 600));
    client.launch();
    auto& picture = client.canvas().display_bitmap;
    picture.at(100, 200) = makePixel(0xFF, 0xFF, 0, 0);
    client.canvas().last_x = 100;
    client.canvas().last_y = 200;
    client.canvas().setZoomScale(2.0f);
    // Zoom 2 about (100, 200): that pixel stays where it was and covers 2 x 2 points.
    const QImage shown = render(client);
    EXPECT_EQ(shown.pixel(100, 200), qRgb(0xFF, 0, 0));
    EXPECT_EQ(shown.pixel(101, 201), qRgb(0xFF, 0, 0));
    EXPECT_EQ(shown.pixel(102, 200), qRgb(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(shown.pixel(99, 200), qRgb(0xFF, 0xFF, 0xFF));

    // Zoomed out and moved, the picture leaves the background showing.
    client.canvas().view = {0.5f, 0.0f, 0.0f};
    client.canvas().applyZoomScaleAndShiftXY();
    const QImage small = render(client);
    EXPECT_EQ(small.pixel(50, 100), qRgb(0xFF, 0, 0));
    EXPECT_EQ(small.pixel(300, 400), velmo::app::MWCanvasDisplay::backgroundColor().rgb());
    EXPECT_EQ(small.pixel(150, 250), qRgb(0xFF, 0xFF, 0xFF));
}

TEST(MWCanvasDisplay, BeforeTheResetShowsOnlyTheBackground) {
    TestClient client;
    const QImage shown = render(client);
    EXPECT_EQ(shown.pixel(200, 300), velmo::app::MWCanvasDisplay::backgroundColor().rgb());
}
