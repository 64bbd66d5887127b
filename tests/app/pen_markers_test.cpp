#include "test_client.h"

#include "app/pen_markers.h"
#include "canvas/surface.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cmath>

using velmo::platform::CanvasOutlets;
using velmo::testing::TestClient;

namespace {

QImage render(TestClient& client) {
    return client.ui.display->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// Pixels of exactly `color` in `area` of `shown`.
int countColour(const QImage& shown, const QRect& area, QRgb color) {
    int count = 0;
    const QRect inside = area.intersected(shown.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            count += shown.pixel(x, y) == color ? 1 : 0;
        }
    }
    return count;
}

constexpr QRgb Blue = qRgb(0x20, 0x50, 0xC0);
constexpr QRgb White = qRgb(0xFF, 0xFF, 0xFF);

} // namespace

TEST(PenMarkers, ShowADotAndTheNicknameAtThePenUnderTheDisplaysTransform) {
    TestClient client(QSize(400, 600));
    client.launch();
    const velmo::canvas::Surface picture = client.canvas().display_bitmap;
    const QImage plain = render(client);
    ASSERT_EQ(plain.pixel(100, 200), White);

    client.ui.outlets->showPenMarkers({{"ann", 100, 200, 0xFF2050C0u}});
    const QImage marked = render(client);
    // The dot covers the pen in its colour; the label, in the same colour, is beside it.
    EXPECT_EQ(marked.pixel(100, 200), Blue);
    EXPECT_EQ(marked.pixel(102, 198), Blue);
    EXPECT_GT(countColour(marked, QRect(108, 195, 60, 30), Blue), 100);
    // The nickname's letters are light on the dark label.
    EXPECT_GT(countColour(marked, QRect(108, 195, 60, 30), White), 5);
    // Far from the pen the picture shows as before.
    EXPECT_EQ(countColour(marked, QRect(0, 300, 400, 300), White), 400 * 300);
    EXPECT_EQ(client.canvas().display_bitmap, picture) << "markers never reach the picture";

    // Replaced by each call: ann's is gone, bob's in red is there.
    client.ui.outlets->showPenMarkers({{"bob", 50, 400, 0xFFD02020u}});
    const QImage moved = render(client);
    EXPECT_EQ(moved.pixel(100, 200), White);
    EXPECT_EQ(countColour(moved, QRect(90, 190, 120, 40), Blue), 0);
    EXPECT_EQ(moved.pixel(50, 400), qRgb(0xD0, 0x20, 0x20));

    // Zoom 2 about (100, 200): a pen at (150, 250) shows at (200, 300).
    client.ui.outlets->showPenMarkers({{"ann", 150, 250, 0xFF2050C0u}});
    client.canvas().last_x = 100;
    client.canvas().last_y = 200;
    client.canvas().setZoomScale(2.0f);
    const QPointF at = client.ui.display->surfaceToView().map(QPointF(150, 250));
    ASSERT_NEAR(at.x(), 200, 1e-3);
    ASSERT_NEAR(at.y(), 300, 1e-3);
    const QImage zoomed = render(client);
    EXPECT_EQ(zoomed.pixel(200, 300), Blue);
    EXPECT_EQ(zoomed.pixel(150, 250), White);
    EXPECT_GT(countColour(zoomed, QRect(208, 295, 60, 30), Blue), 100);

    // Near the right edge the label goes to the left of the dot.
    client.canvas().setZoomScale(1.0f);
    client.ui.outlets->showPenMarkers({{"ann", 392, 500, 0xFF2050C0u}});
    const QImage edge = render(client);
    EXPECT_EQ(edge.pixel(392, 500), Blue);
    EXPECT_GT(countColour(edge, QRect(320, 495, 64, 30), Blue), 100);
    // Near the bottom, above the pen.
    client.ui.outlets->showPenMarkers({{"ann", 200, 596, 0xFF2050C0u}});
    const QImage bottom = render(client);
    EXPECT_EQ(bottom.pixel(200, 596), Blue);
    EXPECT_GT(countColour(bottom, QRect(207, 570, 40, 26), Blue), 100);

    // None: the display is the picture again, which never changed.
    client.ui.outlets->showPenMarkers({});
    EXPECT_EQ(render(client), plain);
    EXPECT_EQ(client.canvas().display_bitmap, picture);
}

TEST(PenMarkers, AChangeRepaintsAroundTheMarkersOnly) {
    TestClient client(QSize(400, 600));
    client.launch();
    client.ui.window->repaint();
    QApplication::processEvents();
    const QRectF area(client.ui.display->rect());

    // Each marker change repaints where the old and the new ones are and nothing else.
    const CanvasOutlets::PenMarker ann{"ann", 100, 200, 0xFF2050C0u};
    const CanvasOutlets::PenMarker moved{"ann", 110, 205, 0xFF2050C0u};
    const QFont font = client.ui.display->font();
    const QRect around =
        velmo::app::penMarkerShape(ann, QPointF(100, 200), font, area)
            .bounds()
            .united(velmo::app::penMarkerShape(moved, QPointF(110, 205), font, area).bounds())
            .toAlignedRect()
            .adjusted(-2, -2, 2, 2);
    using Markers = std::vector<CanvasOutlets::PenMarker>;
    for (const Markers& markers : {Markers{ann}, Markers{moved}, Markers{}}) {
        client.ui.display->resetConvertedPixels();
        client.ui.outlets->showPenMarkers(markers);
        QApplication::processEvents();
        EXPECT_GT(client.ui.display->convertedPixels(), 0) << "a repaint came";
        EXPECT_LE(client.ui.display->convertedPixels(),
                  static_cast<qint64>(around.width()) * around.height());
    }
    // The same markers again ask for nothing.
    client.ui.display->resetConvertedPixels();
    client.ui.outlets->showPenMarkers({});
    QApplication::processEvents();
    EXPECT_EQ(client.ui.display->convertedPixels(), 0);
}
