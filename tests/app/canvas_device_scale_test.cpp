#include "test_client.h"

#include "app/canvas_resizer.h"
#include "canvas/pixel_math.h"
#include "dialogs/segmented_control.h"

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QTest>

#include <gtest/gtest.h>

// The screen's scale is 2 (see main below): every view point holds two by two device pixels.
namespace velmo::testing {
namespace {

TEST(CanvasDeviceScale, TheCanvasHasTwiceThePixelsAndTheScreenShowsEachOfThem) {
    ASSERT_DOUBLE_EQ(qApp->devicePixelRatio(), 2.0) << "the screen's scale is not 2";
    TestClient client(QSize(300, 400));
    client.launch();
    const canvas::CanvasGeometry& g = client.canvas().geometry;
    const QSize view = client.view()->size();
    ASSERT_EQ(QSize(g.canvas_width, g.canvas_height), view * 2);
    EXPECT_FALSE(client.ui.resizer->pending());

    // A thin pen: at a doubled picture, its edge pixels would come in equal pairs.
    client.canvas().pen_properties.width = g.toUnits(1.5f);
    client.canvas().pen_properties.density = 255;
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(40, 100));
    QTest::mouseMove(client.view(), QPoint(140, 180));
    QTest::mouseMove(client.view(), QPoint(260, 190));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(260, 190));
    const canvas::MWStroke& line = client.canvas().strokes_history.begin()->second;
    EXPECT_EQ(line.points_x.front(), g.toUnits(80));
    EXPECT_EQ(line.points_y.front(), g.toUnits(200));
    EXPECT_EQ(line.points_x.back(), g.toUnits(520));

    // What the screen shows is the picture, one device pixel for each of its pixels.
    const QImage shown = client.ui.display->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(shown.size(), view * 2);
    const canvas::Surface& picture = client.canvas().display_bitmap;
    int differing = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const canvas::Argb p = canvas::unpackPixel(picture.at(x, y));
            const QRgb q = shown.pixel(x, y);
            differing += (qRed(q) != p.r || qGreen(q) != p.g || qBlue(q) != p.b) ? 1 : 0;
        }
    }
    EXPECT_EQ(differing, 0);

    // The eyedropper picks under the pointer and its swatch sits where it does at scale one.
    QTest::mouseClick(client.ui.draw_mode_button->segment(1), Qt::LeftButton);
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(140, 180));
    const canvas::Argb under = canvas::unpackPixel(picture.at(280, 360));
    EXPECT_EQ(static_cast<uint32_t>(client.canvas().pen_properties.color),
              0xFF000000u | (uint32_t{under.r} << 16) | (uint32_t{under.g} << 8) | under.b);
    EXPECT_EQ(client.ui.spuit_view->geometry(), QRect(120, 120, 40, 40));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(140, 180));
    // Others' pens are placed from canvas pixels onto the view's points.
    EXPECT_EQ(client.ui.display->surfaceToView().map(QPointF(280, 360)), QPointF(140, 180));
}

} // namespace
} // namespace velmo::testing

// A widget application on the offscreen platform, its screen at a scale of 2.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
