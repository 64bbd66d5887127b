#include "dialogs/hsb_color_picker.h"

#include "dialogs/color_box.h"
#include "dialogs/hue_line.h"
#include "dialogs/sat_bri_box.h"
#include "dialogs/value_slider.h"

#include <QCoreApplication>
#include <QImage>
#include <QMouseEvent>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace velmo::dialogs {
namespace {

// The widths of the runs of equal colour along row y of a picture.
std::vector<int> runWidths(const QImage& image, int y) {
    std::vector<int> runs;
    QRgb last = image.pixel(0, y);
    int width = 0;
    for (int x = 0; x < image.width(); ++x) {
        if (image.pixel(x, y) != last) {
            runs.push_back(width);
            width = 0;
            last = image.pixel(x, y);
        }
        ++width;
    }
    runs.push_back(width);
    return runs;
}

QImage picture(QWidget& widget) {
    return widget.grab().toImage();
}

TEST(SatBriBox, ColumnsOfTheSquare) {
    const struct {
        int width;
        size_t columns;
        int step;
        int last;
    } cases[] = {{200, 50, 4, 4}, {280, 47, 6, 4}};
    for (const auto& c : cases) {
        ValueSlider hue;
        SatBriBox box;
        box.hue_slider = &hue;
        box.resize(c.width, 200);
        const auto runs = runWidths(picture(box), 0);
        ASSERT_EQ(runs.size(), c.columns) << c.width;
        for (size_t i = 0; i + 1 < runs.size(); ++i) {
            EXPECT_EQ(runs[i], c.step) << c.width << " column " << i;
        }
        EXPECT_EQ(runs.back(), c.last) << c.width;
    }
}

TEST(SatBriBox, TopLeftIsWhiteAndBottomIsBlack) {
    HSBColorPicker picker;
    picker.hue_slider->setValue(0.3f);
    picker.satbribox->touchAt(QPointF(0, 0));
    EXPECT_EQ(picker.penhsbcolbox->color(), (RgbColor{1, 1, 1}));
    picker.satbribox->touchAt(QPointF(0, picker.satbribox->height()));
    EXPECT_EQ(picker.penhsbcolbox->color(), (RgbColor{0, 0, 0}));
    // Beyond the right edge and above the top: full saturation and brightness.
    picker.hue_slider->setValue(0.0f);
    picker.satbribox->touchAt(QPointF(1000, -50));
    EXPECT_EQ(picker.penhsbcolbox->color(), (RgbColor{1, 0, 0}));
}

TEST(SatBriBox, PressAndDragPickWithTheMouse) {
    HSBColorPicker picker;
    picker.hue_slider->setValue(0.0f);
    auto* box = picker.satbribox;
    QTest::mousePress(box, Qt::LeftButton, {}, QPoint(box->width() - 1, 0));
    const RgbColor pressed = picker.penhsbcolbox->color();
    EXPECT_NEAR(pressed.red, 1.0, 1e-9);
    EXPECT_LT(pressed.green, 0.01);
    // A drag with the button held, as the window system delivers it.
    QMouseEvent drag(QEvent::MouseMove, QPointF(0, 0), box->mapToGlobal(QPointF(0, 0)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &drag);
    EXPECT_EQ(picker.penhsbcolbox->color(), (RgbColor{1, 1, 1}));
}

TEST(HueLine, ATapSetsTheHueAndRedrawsTheSquareButNotThePreview) {
    HSBColorPicker picker;
    picker.resize(HSBColorPicker::Width, HSBColorPicker::Height);
    picker.penhsbcolbox->setColor({0.2, 0.4, 0.6});
    const QRgb before = picture(*picker.satbribox).pixel(picker.satbribox->width() - 1, 0);
    // Hue 0 at nearly full saturation.
    EXPECT_EQ(qRed(before), 255);
    EXPECT_LT(qGreen(before), 10);

    QTest::mouseClick(picker.hue_line, Qt::LeftButton, {}, QPoint(140, 5));
    EXPECT_FLOAT_EQ(picker.hue_slider->value(), 0.5f);
    const QRgb after = picture(*picker.satbribox).pixel(picker.satbribox->width() - 1, 0);
    EXPECT_LT(qRed(after), 10);
    EXPECT_EQ(qGreen(after), 255);
    EXPECT_EQ(qBlue(after), 255);
    EXPECT_EQ(picker.penhsbcolbox->color(), (RgbColor{0.2, 0.4, 0.6}));
}

TEST(HueLine, DraggingAlongTheStripChangesNothing) {
    HSBColorPicker picker;
    QTest::mousePress(picker.hue_line, Qt::LeftButton, {}, QPoint(70, 5));
    EXPECT_FLOAT_EQ(picker.hue_slider->value(), 0.25f);
    QMouseEvent drag(QEvent::MouseMove, QPointF(200, 5),
                     picker.hue_line->mapToGlobal(QPointF(200, 5)), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(picker.hue_line, &drag);
    QTest::mouseRelease(picker.hue_line, Qt::LeftButton, {}, QPoint(200, 5));
    EXPECT_FLOAT_EQ(picker.hue_slider->value(), 0.25f);
}

TEST(HueLine, StripShowsEveryHueAtFullSaturation) {
    HueLine line;
    line.resize(360, 10);
    const QImage image = picture(line);
    EXPECT_EQ(image.pixel(0, 5), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(120, 5), qRgb(0, 255, 0));
    EXPECT_EQ(image.pixel(240, 5), qRgb(0, 0, 255));
}

TEST(HsbColorPicker, MovingTheHueSliderRedrawsTheSquare) {
    HSBColorPicker picker;
    picker.hue_slider->setValue(0.0f);
    // A user's move of the slider, as its handle would make it.
    picker.hue_slider->QSlider::setValue(picker.hue_slider->maximum() * 2 / 3);
    EXPECT_NEAR(picker.hue_slider->value(), 2.0f / 3.0f, 1e-3);
    const QRgb corner = picture(*picker.satbribox).pixel(picker.satbribox->width() - 1, 0);
    EXPECT_LT(qRed(corner), 10);
    EXPECT_LT(qGreen(corner), 10);
    EXPECT_EQ(qBlue(corner), 255);
}

} // namespace
} // namespace velmo::dialogs
