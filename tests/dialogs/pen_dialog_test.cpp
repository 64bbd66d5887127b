#include "dialogs/pen_dialog.h"

#include "dialog_fixture.h"
#include "dialogs/color_box.h"
#include "dialogs/dialog_presenter.h"
#include "dialogs/hsb_color_picker.h"
#include "dialogs/sat_bri_box.h"
#include "dialogs/segmented_control.h"
#include "dialogs/value_slider.h"
#include "support/memory_settings.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velmo::dialogs {
namespace {

int32_t color(uint32_t bits) {
    return static_cast<int32_t>(bits);
}

// The pen dialog over a canvas of the given size, with its pen button.
struct PenDialogFixture : testing::EngineWithView {
    PenDialogFixture(int width, int height, Idiom idiom)
        : EngineWithView(width, height), presenter(main_view, idiom),
          pen_button(new QPushButton("pen", &main_view)),
          dialog(new PenDialog(engine, presenter, main_view)) {
        pen_button->setGeometry(10, 10, 60, 30);
        main_view.show();
    }

    DialogPresenter presenter;
    QPushButton* pen_button;
    PenDialog* dialog;
};

TEST(PenDialog, OpensFilledFromTheDefaultPen) {
    PenDialogFixture f(320, 480, Idiom::Phone);
    f.engine.setLayerIndex(1);
    f.dialog->showPenPropDialog(f.pen_button);
    EXPECT_EQ(f.dialog->pen_color_btns->selectedSegmentIndex(), 0);
    EXPECT_FLOAT_EQ(f.dialog->pen_width_slider->value(), 2999 * 0.001f);
    EXPECT_FLOAT_EQ(f.dialog->pen_width_slider->minimumValue(), 1.0f);
    EXPECT_FLOAT_EQ(f.dialog->pen_width_slider->maximumValue(), 25.0f);
    EXPECT_FLOAT_EQ(f.dialog->pen_density_slider->value(), 128.0f);
    EXPECT_FLOAT_EQ(f.dialog->pen_density_slider->maximumValue(), 255.0f);
    EXPECT_EQ(f.dialog->layer_btns->selectedSegmentIndex(), 1);
    EXPECT_EQ(f.dialog->pendlgcolbox->color(), (RgbColor{0, 0, 0}));
    EXPECT_EQ(f.presenter.presentedDialog(), f.dialog);
}

TEST(PenDialog, WidthGoesThroughPixelsAndBack) {
    const struct {
        int width, height;
        int32_t units;
        int32_t back;
    } cases[] = {
        {320, 480, 1000, 999},
        {320, 480, 2999, 2999},
        {320, 480, 12345, 12345},
    };
    for (const auto& c : cases) {
        PenDialogFixture f(c.width, c.height, Idiom::Phone);
        f.engine.pen_properties.width = c.units;
        f.dialog->showPenPropDialog(f.pen_button);
        f.dialog->applyPenPropDialog();
        EXPECT_EQ(f.engine.pen_properties.width, c.back) << c.units;
    }
}

TEST(PenDialog, WidthRangeDependsOnTheScale) {
    const struct {
        int width, height;
        int32_t thinnest, widest;
    } cases[] = {{320, 480, 999, 24999}, {768, 1024, 416, 10416}};
    for (const auto& c : cases) {
        PenDialogFixture f(c.width, c.height, Idiom::Tablet);
        f.dialog->showPenPropDialog(f.pen_button);
        f.dialog->pen_width_slider->setValue(0.0f);
        f.dialog->applyPenPropDialog();
        EXPECT_EQ(f.engine.pen_properties.width, c.thinnest);
        f.dialog->showPenPropDialog(f.pen_button);
        f.dialog->pen_width_slider->setValue(100.0f);
        f.dialog->applyPenPropDialog();
        EXPECT_EQ(f.engine.pen_properties.width, c.widest);
    }
}

TEST(PenDialog, ApplyTruncatesDensityAndSetsTheLayerEvenWhenUnchanged) {
    PenDialogFixture f(320, 480, Idiom::Phone);
    f.dialog->showPenPropDialog(f.pen_button);
    f.dialog->pen_density_slider->setValue(200.9f);
    f.outlets.info_text.clear();
    f.dialog->applyPenPropDialog();
    EXPECT_EQ(f.engine.pen_properties.density, 200);
    EXPECT_EQ(f.engine.layer_index, 0u);
    EXPECT_FALSE(f.outlets.info_text.empty()) << "the layer was not set again";
    EXPECT_EQ(f.presenter.presentedDialog(), nullptr);

    f.dialog->showPenPropDialog(f.pen_button);
    QTest::mouseClick(f.dialog->layer_btns->segment(2), Qt::LeftButton);
    f.dialog->applyPenPropDialog();
    EXPECT_EQ(f.engine.layer_index, 2u);
}

TEST(PenDialog, ColourSegmentFollowsThePen) {
    const struct {
        uint32_t pen;
        int segment;
    } cases[] = {
        {0xFF000000u, 0}, {0xFFFFFFFFu, 1}, {0xFF123456u, 2}, {0x00000000u, 2}, {0x7FFFFFFFu, 2},
    };
    for (const auto& c : cases) {
        PenDialogFixture f(320, 480, Idiom::Phone);
        f.engine.pen_properties.color = color(c.pen);
        f.dialog->showPenPropDialog(f.pen_button);
        EXPECT_EQ(f.dialog->pen_color_btns->selectedSegmentIndex(), c.segment) << std::hex << c.pen;
    }
}

TEST(PenDialog, ColourPickedWithTheEyedropperChoosesTheSegment) {
    PenDialogFixture f(320, 480, Idiom::Phone);
    // A wide red line, then the eyedropper on it and on the white paper beside it.
    f.engine.pen_properties = {color(0xFFFF0000u), 20000, 255};
    f.engine.touchPressedAtX(50, 100);
    f.engine.touchDraggedAtX(250, 100);
    f.engine.touchReleasedAtX(250, 100);
    f.engine.pen_properties.color = color(0xFF000000u);
    f.outlets.draw_mode = 1;
    f.engine.touchPressedAtX(150, 100);
    f.engine.touchReleasedAtX(150, 100);
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFFFF0000u);
    f.dialog->showPenPropDialog(f.pen_button);
    EXPECT_EQ(f.dialog->pen_color_btns->selectedSegmentIndex(), 2);
    f.dialog->dismissPenPropDialog();

    f.outlets.draw_mode = 1;
    f.engine.touchPressedAtX(150, 400);
    f.engine.touchReleasedAtX(150, 400);
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFFFFFFFFu);
    f.dialog->showPenPropDialog(f.pen_button);
    EXPECT_EQ(f.dialog->pen_color_btns->selectedSegmentIndex(), 1);
}

TEST(PenDialog, CancelKeepsTheColourChosenButNotWidthOrLayer) {
    PenDialogFixture f(320, 480, Idiom::Tablet);
    const auto before = f.engine.pen_properties;
    f.dialog->showPenPropDialog(f.pen_button);
    QTest::mouseClick(f.dialog->pen_color_btns->segment(1), Qt::LeftButton);
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFFFFFFFFu);
    EXPECT_EQ(f.dialog->pendlgcolbox->color(), (RgbColor{1, 1, 1}));
    f.dialog->pen_width_slider->setValue(20.0f);
    f.dialog->pen_density_slider->setValue(10.0f);
    f.dialog->layer_btns->setSelectedSegmentIndex(2);
    QTest::mouseClick(f.dialog->cancel_button, Qt::LeftButton);
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFFFFFFFFu);
    EXPECT_EQ(f.engine.pen_properties.width, before.width);
    EXPECT_EQ(f.engine.pen_properties.density, before.density);
    EXPECT_EQ(f.engine.layer_index, 0u);
    EXPECT_EQ(f.presenter.popoverController, nullptr);

    f.dialog->showPenPropDialog(f.pen_button);
    QTest::mouseClick(f.dialog->pen_color_btns->segment(0), Qt::LeftButton);
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFF000000u);
}

TEST(PenDialog, PickerOpensWithTheHueOfThePen) {
    const struct {
        uint32_t pen;
        float hue;
    } cases[] = {
        {0xFFFF0000u, 0.0f},        {0xFF00FF00u, 1.0f / 3.0f}, {0xFF0000FFu, 2.0f / 3.0f},
        {0xFFFFFF00u, 1.0f / 6.0f}, {0xFFFF00FFu, 5.0f / 6.0f},
    };
    for (const auto& c : cases) {
        PenDialogFixture f(320, 480, Idiom::Phone);
        f.engine.pen_properties.color = color(c.pen);
        f.dialog->showPenPropDialog(f.pen_button);
        f.dialog->hsbcolorpicker->hue_slider->setValue(0.9f);
        f.dialog->showHSBColorPicker();
        EXPECT_NEAR(f.dialog->hsbcolorpicker->hue_slider->value(), c.hue, 1e-6)
            << std::hex << c.pen;
        EXPECT_EQ(f.dialog->hsbcolorpicker->penhsbcolbox->color(), rgbOfPenColor(color(c.pen)));
    }
}

TEST(PenDialog, PickerLeavesTheHueAloneForGreys) {
    for (const uint32_t pen : {0xFF000000u, 0xFFFFFFFFu, 0xFF777777u}) {
        PenDialogFixture f(320, 480, Idiom::Phone);
        f.engine.pen_properties.color = color(pen);
        f.dialog->showPenPropDialog(f.pen_button);
        f.dialog->hsbcolorpicker->hue_slider->setValue(0.42f);
        f.dialog->showHSBColorPicker();
        EXPECT_FLOAT_EQ(f.dialog->hsbcolorpicker->hue_slider->value(), 0.42f) << std::hex << pen;
    }
}

TEST(PenDialog, PickerBesideTheDialogOnATablet) {
    PenDialogFixture f(1024, 768, Idiom::Tablet);
    f.engine.pen_properties.color = color(0xFF336699u);
    f.dialog->showPenPropDialog(f.pen_button);
    ASSERT_NE(f.presenter.popoverController, nullptr);
    QTest::mouseClick(f.dialog->pen_color_btns->segment(2), Qt::LeftButton);
    ASSERT_TRUE(f.dialog->pickerShown());
    EXPECT_EQ(f.presenter.popoverController->size(), QSize(600, 480));
    EXPECT_EQ(f.dialog->hsbcolorpicker->geometry(), QRect(320, 0, 280, 480));
    EXPECT_EQ(f.dialog->hsbcolorpicker->parentWidget(), f.dialog);
    // The colour is not changed by opening the picker.
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFF336699u);

    QTest::mouseClick(f.dialog->hsbcolorpicker->cancel_button, Qt::LeftButton);
    EXPECT_FALSE(f.dialog->pickerShown());
    EXPECT_EQ(f.presenter.popoverController->size(), QSize(320, 480));
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFF336699u);
}

TEST(PenDialog, PickerOverTheDialogOnAPhone) {
    PenDialogFixture f(320, 480, Idiom::Phone);
    f.dialog->showPenPropDialog(f.pen_button);
    QTest::mouseClick(f.dialog->pen_color_btns->segment(2), Qt::LeftButton);
    ASSERT_TRUE(f.dialog->pickerShown());
    EXPECT_EQ(f.presenter.popoverController, nullptr);
    EXPECT_EQ(f.dialog->hsbcolorpicker->geometry(), f.dialog->rect());
    f.dialog->dismissHSBColorPicker();
    EXPECT_FALSE(f.dialog->pickerShown());
    EXPECT_EQ(f.presenter.presentedDialog(), f.dialog);
}

TEST(PenDialog, ApplyingThePickerWritesTheTruncatedPreviewColour) {
    PenDialogFixture f(320, 480, Idiom::Tablet);
    f.engine.pen_properties.color = color(0xFFFF0000u);
    f.dialog->showPenPropDialog(f.pen_button);
    f.dialog->showHSBColorPicker();
    // Without a touch in the square: the pen's own colour, opaque.
    QTest::mouseClick(f.dialog->hsbcolorpicker->apply_button, Qt::LeftButton);
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFFFF0000u);
    EXPECT_EQ(f.dialog->pen_color_btns->selectedSegmentIndex(), 2);
    EXPECT_FALSE(f.dialog->pickerShown());

    f.dialog->showHSBColorPicker();
    f.dialog->hsbcolorpicker->penhsbcolbox->setColor({0.999, 0.5, 0.0039});
    f.dialog->applyHSBColorPicker();
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFFFE7F00u);
    EXPECT_EQ(f.dialog->pendlgcolbox->color(), rgbOfPenColor(color(0xFFFE7F00u)));

    // A touch at the top-left corner of the square picks white.
    f.dialog->showHSBColorPicker();
    f.dialog->hsbcolorpicker->satbribox->touchAt(QPointF(0, 0));
    f.dialog->applyHSBColorPicker();
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFFFFFFFFu);

    // Cancelling the picker after a touch leaves the pen as it was.
    f.dialog->showHSBColorPicker();
    f.dialog->hsbcolorpicker->satbribox->touchAt(QPointF(0, 280));
    f.dialog->dismissHSBColorPicker();
    EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), 0xFFFFFFFFu);
}

TEST(PenDialog, ApplyingWithoutATouchCanLowerAChannelByOneStepAtMost) {
    for (const uint32_t pen : {0xFF123456u, 0xFF80FF01u, 0xFFABCDEFu}) {
        PenDialogFixture f(320, 480, Idiom::Phone);
        f.engine.pen_properties.color = color(pen);
        f.dialog->showPenPropDialog(f.pen_button);
        f.dialog->showHSBColorPicker();
        f.dialog->applyHSBColorPicker();
        const auto after = static_cast<uint32_t>(f.engine.pen_properties.color);
        for (int shift : {0, 8, 16}) {
            const int a = static_cast<int>((pen >> shift) & 0xFF);
            const int b = static_cast<int>((after >> shift) & 0xFF);
            EXPECT_TRUE(b == a || b == a - 1) << std::hex << pen << " " << after;
        }
    }
}

} // namespace
} // namespace velmo::dialogs

namespace velmo::dialogs {
namespace {

TEST(PenDialog, TheHexFieldSetsTheExactColourAndRefusesWhatIsNone) {
    PenDialogFixture f(320, 480, Idiom::Tablet);
    f.engine.pen_properties.color = color(0xFF2060D0u);
    f.dialog->showPenPropDialog(f.pen_button);
    f.dialog->showHSBColorPicker();
    HSBColorPicker& picker = *f.dialog->hsbcolorpicker;
    QLineEdit& hex = *picker.hex_field;
    EXPECT_EQ(hex.text(), "#2060D0") << "it shows the preview's colour";

    // Typed in either case, with or without "#": the preview, the hue and, once applied, the
    // pen take exactly the bytes typed.
    for (const auto& [typed, bits] :
         std::vector<std::pair<QString, uint32_t>>{{"#a0b0c0", 0xFFA0B0C0u},
                                                   {"FF8000", 0xFFFF8000u},
                                                   {"#000001", 0xFF000001u},
                                                   {"#FFFFFF", 0xFFFFFFFFu}}) {
        SCOPED_TRACE(typed.toStdString());
        f.dialog->showHSBColorPicker();
        hex.selectAll();
        QTest::keyClicks(&hex, typed);
        EXPECT_FALSE(picker.hexRefused());
        EXPECT_EQ(static_cast<uint32_t>(penColorOfRgb(picker.penhsbcolbox->color())), bits);
        if (const auto hue = hueOfPenColor(color(bits))) {
            EXPECT_NEAR(picker.hue_slider->value(), *hue, 1e-6);
        }
        QTest::mouseClick(picker.apply_button, Qt::LeftButton);
        EXPECT_EQ(static_cast<uint32_t>(f.engine.pen_properties.color), bits);
    }

    // What is no colour is marked and changes nothing; leaving the field brings the colour's
    // text back.
    f.dialog->showHSBColorPicker();
    const RgbColor before = picker.penhsbcolbox->color();
    for (const QString& bad : {QString("#12"), QString("#GG0000"), QString("1234567"),
                               QString("#12 456"), QString("")}) {
        SCOPED_TRACE(bad.toStdString());
        // As a paste brings it, whole.
        hex.setText(bad);
        emit hex.textEdited(bad);
        EXPECT_TRUE(picker.hexRefused());
        EXPECT_FALSE(hex.styleSheet().isEmpty()) << "refused visibly";
        EXPECT_EQ(picker.penhsbcolbox->color(), before);
    }
    emit hex.editingFinished();
    EXPECT_FALSE(picker.hexRefused());
    EXPECT_EQ(hex.text(), "#FFFFFF");
    EXPECT_TRUE(hex.styleSheet().isEmpty());
    // A touch in the square shows in the field at once.
    picker.satbribox->touchAt(QPointF(0, 280));
    EXPECT_EQ(hex.text(), "#000000");
}

TEST(PenDialog, TheLastEightColoursComeBackWithAPress) {
    PenDialogFixture f(320, 480, Idiom::Tablet);
    f.dialog->showPenPropDialog(f.pen_button);
    EXPECT_EQ(f.dialog->recentColors(), std::vector<int32_t>{color(0xFF000000u)});
    EXPECT_TRUE(f.dialog->recent_buttons[0]->isVisible());
    EXPECT_FALSE(f.dialog->recent_buttons[1]->isVisible());

    // Ten colours from the picker: the newest eight stay, newest first.
    for (uint32_t i = 1; i <= 10; ++i) {
        f.dialog->showHSBColorPicker();
        f.dialog->hsbcolorpicker->penhsbcolbox->setColor(rgbOfPenColor(color(0xFF000000u | i)));
        f.dialog->hsbcolorpicker->hex_field->setText(
            QStringLiteral("#%1").arg(i * 0x100, 6, 16, QChar('0')));
        emit f.dialog->hsbcolorpicker->hex_field->textEdited(
            f.dialog->hsbcolorpicker->hex_field->text());
        f.dialog->applyHSBColorPicker();
    }
    std::vector<int32_t> expected;
    for (uint32_t i = 10; i >= 3; --i) {
        expected.push_back(color(0xFF000000u | (i * 0x100)));
    }
    EXPECT_EQ(f.dialog->recentColors(), expected);
    for (QToolButton* button : f.dialog->recent_buttons) {
        EXPECT_TRUE(button->isVisible());
    }
    EXPECT_EQ(f.dialog->recent_buttons[0]->toolTip(), "#000A00");

    // A press makes one the pen's colour again, and the newest; each colour is there once.
    QTest::mouseClick(f.dialog->recent_buttons[5], Qt::LeftButton);
    EXPECT_EQ(f.engine.pen_properties.color, expected[5]);
    EXPECT_EQ(f.dialog->recentColors().front(), expected[5]);
    EXPECT_EQ(f.dialog->recentColors().size(), PenDialog::RecentColorCount);
    EXPECT_EQ(
        std::count(f.dialog->recentColors().begin(), f.dialog->recentColors().end(), expected[5]),
        1);
    EXPECT_EQ(f.dialog->pen_color_btns->selectedSegmentIndex(), 2);
    // Black and white count too, and a colour the eyedropper left is there when the dialog
    // opens.
    QTest::mouseClick(f.dialog->pen_color_btns->segment(1), Qt::LeftButton);
    EXPECT_EQ(f.dialog->recentColors().front(), color(0xFFFFFFFFu));
    f.dialog->dismissPenPropDialog();
    f.engine.pen_properties.color = color(0xFF123456u);
    f.dialog->showPenPropDialog(f.pen_button);
    EXPECT_EQ(f.dialog->recentColors().front(), color(0xFF123456u));
    EXPECT_EQ(f.dialog->recentColors()[1], color(0xFFFFFFFFu));
}

TEST(PenDialog, RecentColoursAreKeptBetweenRuns) {
    testing::MemorySettings settings;
    // What another run left, with entries that are no colour and one twice.
    settings.setStringList(PenDialog::RecentColorsKey,
                           {"#0A0B0C", "junk", "#fe0102", "#0A0B0C", "", "#12345", "#FFFFFF"});
    std::vector<int32_t> kept;
    {
        PenDialogFixture f(320, 480, Idiom::Tablet);
        f.dialog->keepRecentColorsIn(settings);
        EXPECT_EQ(
            f.dialog->recentColors(),
            (std::vector<int32_t>{color(0xFF0A0B0Cu), color(0xFFFE0102u), color(0xFFFFFFFFu)}));
        EXPECT_FALSE(f.dialog->recent_buttons[2]->isHidden());
        EXPECT_TRUE(f.dialog->recent_buttons[3]->isHidden());
        // Every byte survives the text form: 0x7F..0x81 and 0xFF are where channels in floating
        // point would round.
        f.engine.pen_properties.color = color(0xFF7F8081u);
        f.dialog->showPenPropDialog(f.pen_button);
        kept = f.dialog->recentColors();
    }
    EXPECT_EQ(settings.stringList(PenDialog::RecentColorsKey),
              (std::vector<std::string>{"#7f8081", "#0a0b0c", "#fe0102", "#ffffff"}));
    PenDialogFixture next_run(320, 480, Idiom::Tablet);
    next_run.dialog->keepRecentColorsIn(settings);
    EXPECT_EQ(next_run.dialog->recentColors(), kept);
    EXPECT_EQ(kept.front(), color(0xFF7F8081u));
}

TEST(HexOfColour, ReadsSixDigitsAndWritesWhatThePenTakes) {
    EXPECT_EQ(hexOfColor(rgbOfPenColor(color(0xFF0A0B0Cu))), "#0A0B0C");
    EXPECT_EQ(hexOfColor({1.0, 0.5, 0.0}), "#FF7F00");
    for (const char* none : {"", "#", "12345", "#1234567", "xyz123", "#-12345", "0x123456"}) {
        EXPECT_FALSE(colorOfHex(QString(none)).has_value()) << none;
    }
    ASSERT_TRUE(colorOfHex("  #ffffff ").has_value());
    EXPECT_EQ(*colorOfHex("  #ffffff "), (RgbColor{1.0, 1.0, 1.0}));
}

} // namespace
} // namespace velmo::dialogs
