#include "platform/null_outlets.h"

#include <gtest/gtest.h>

using velmo::platform::AffineTransform;
using velmo::platform::CanvasOutlets;
using velmo::platform::NullOutlets;

TEST(NullOutlets, RemembersTheDrawModeAndTheTransformAndDropsTheRest) {
    NullOutlets null_outlets;
    CanvasOutlets& outlets = null_outlets;
    EXPECT_EQ(outlets.drawMode(), 0);
    EXPECT_EQ(outlets.displayTransform(), AffineTransform{});
    EXPECT_EQ(outlets.swatchHeight(), 40.0f);

    for (const int mode : {2, 1, 0}) {
        outlets.selectDrawMode(mode);
        EXPECT_EQ(outlets.drawMode(), mode);
    }
    const AffineTransform zoomed =
        AffineTransform::then(AffineTransform::scale(2.5f), AffineTransform::translation(7, -3));
    outlets.setDisplayTransform(zoomed);
    EXPECT_EQ(outlets.displayTransform(), zoomed);

    // What a window would show changes nothing that can be read back.
    outlets.setInfoText("layer:1");
    outlets.showMessage("refused");
    outlets.showSwatch(1, 0, 0, 10, 20);
    outlets.hideSwatch();
    outlets.setZoomSliderValue(12);
    outlets.setZoomSliderVisible(true);
    outlets.setSearchText("anna");
    outlets.invalidateDisplayRect(0, 0, 5, 5);
    outlets.invalidateDisplay();
    EXPECT_EQ(outlets.drawMode(), 0);
    EXPECT_EQ(outlets.displayTransform(), zoomed);
    EXPECT_EQ(outlets.swatchHeight(), 40.0f);
}
