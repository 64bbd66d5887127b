// The export and the copy of the picture in a real window (offscreen): the files hold the
// display's pixels or the engine's repaint at the size asked for, the dialog offers what it
// can write, and failures are said.

#include "app/picture_export.h"

#include "canvas/stroke_replay.h"
#include "platform/qt/qt_wait.h"
#include "support/picture_files.h"
#include "test_client.h"

#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace velmo {
namespace {

using testing::decodePng;
using testing::rgbaOfOpaque;
using testing::TestClient;

// Draws a stroke in each layer, in colours the layer's blend shows.
void drawOnEveryLayer(TestClient& client) {
    mwcanvas::MWCanvas& canvas = client.canvas();
    const int32_t colors[] = {static_cast<int32_t>(0xFF2060C0u), static_cast<int32_t>(0xFFC04020u),
                              static_cast<int32_t>(0xFF30A040u)};
    for (unsigned layer = 0; layer < 3; ++layer) {
        client.clock.advance(1.0); // strokes are keyed by their time
        canvas.setLayerIndex(layer);
        canvas.pen_properties.color = colors[layer];
        canvas.pen_properties.width = canvas.geometry.toUnits(12.0f);
        canvas.pen_properties.density = 200;
        const int y = 40 + static_cast<int>(layer) * 30;
        canvas.touchPressedAtX(20, y);
        for (int x = 30; x <= 160; x += 10) {
            canvas.touchDraggedAtX(x, y + (x % 20));
        }
        canvas.touchReleasedAtX(160, y);
    }
}

std::vector<canvas::MWStroke> strokesOf(const mwcanvas::MWCanvas& canvas) {
    std::vector<canvas::MWStroke> strokes;
    for (const auto& [key, stroke] : canvas.strokes_history) {
        strokes.push_back(stroke);
    }
    return strokes;
}

std::string contentsOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// The export of `canvas` as chosen, written on this thread; the error, if any.
std::optional<std::string> exportNow(const mwcanvas::MWCanvas& canvas,
                                     const app::ExportChoice& choice) {
    auto source = app::exportSourceOf(canvas, choice.scale);
    if (const auto* reason = std::get_if<std::string>(&source)) {
        return *reason;
    }
    return app::writeExport(std::get<app::ExportSource>(source), choice.format,
                            choice.path.toStdString());
}

class PictureExport : public ::testing::Test {
protected:
    void SetUp() override {
        client.launch();
        drawOnEveryLayer(client);
        ASSERT_EQ(client.canvas().strokes_history.size(), 3u);
        ASSERT_FALSE(client.canvas().isLoading());
    }

    QTemporaryDir dir;
    TestClient client{QSize(200, 300)};
};

TEST_F(PictureExport, PngIsTheDisplayAtItsSizeAndTheEnginesRepaintAtTwiceAndFourTimes) {
    mwcanvas::MWCanvas& canvas = client.canvas();
    const canvas::Surface& display = canvas.display_bitmap;
    ASSERT_NE(display, canvas::Surface(display.width(), display.height(), canvas::OpaqueWhite));
    for (const int scale : {1, 2, 4}) {
        SCOPED_TRACE(scale);
        const QString path = dir.filePath(QString("picture-%1x.png").arg(scale));
        ASSERT_EQ(exportNow(canvas, {path, exporting::PictureFormat::Png, scale}), std::nullopt);
        const auto png = decodePng(contentsOf(path));
        EXPECT_EQ(png.width, display.width() * scale);
        EXPECT_EQ(png.height, display.height() * scale);
        if (scale == 1) {
            EXPECT_TRUE(png.rgba == rgbaOfOpaque(display));
        }
        const auto geometry = exporting::scaledGeometry(canvas.geometry, scale);
        ASSERT_TRUE(geometry);
        EXPECT_TRUE(png.rgba == rgbaOfOpaque(canvas::renderPicture(strokesOf(canvas), *geometry)));
    }
}

TEST_F(PictureExport, OpenRasterHoldsTheLayersAsTheyArePainted) {
    mwcanvas::MWCanvas& canvas = client.canvas();
    const QString path = dir.filePath("layers.ora");
    ASSERT_EQ(exportNow(canvas, {path, exporting::PictureFormat::OpenRaster, 1}), std::nullopt);
    const auto entries = testing::zipEntries(contentsOf(path));
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[0].name, "mimetype");
    EXPECT_TRUE(entries[0].stored);
    const char* const modes[] = {"svg:src-over", "svg:multiply", "svg:screen"};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(entries[2 + i].name);
        EXPECT_NE(entries[1].data.find(std::string("composite-op=\"") + modes[i] + "\""),
                  std::string::npos);
        EXPECT_TRUE(decodePng(entries[2 + i].data).rgba == rgbaOfOpaque(canvas.layer_bitmap[i]));
    }
    EXPECT_TRUE(decodePng(entries[5].data).rgba == rgbaOfOpaque(canvas.display_bitmap));
}

TEST_F(PictureExport, SaysWhyItCannotExport) {
    mwcanvas::MWCanvas& canvas = client.canvas();
    const QString nowhere = dir.filePath("missing/picture.png");
    EXPECT_EQ(exportNow(canvas, {nowhere, exporting::PictureFormat::Png, 1}),
              "Cannot write " + nowhere.toStdString() + ": No such file or directory.");
    const auto huge =
        exportNow(canvas, {dir.filePath("huge.png"), exporting::PictureFormat::Png, 1000});
    EXPECT_EQ(huge, "A picture of " + std::to_string(canvas.geometry.canvas_width * 1000) + " x " +
                        std::to_string(canvas.geometry.canvas_height * 1000) +
                        " pixels is too large to export; choose a smaller scale.");
    // A canvas whose strokes are still coming in has no whole picture yet.
    canvas.setCanvasID("anna@20101201095959123");
    ASSERT_TRUE(canvas.isLoading());
    EXPECT_EQ(exportNow(canvas, {dir.filePath("early.png"), exporting::PictureFormat::Png, 2}),
              "The canvas is still loading; export it once all its strokes are in.");
    EXPECT_FALSE(QFile::exists(dir.filePath("early.png")));
}

TEST_F(PictureExport, TheRunWritesOnAThreadWhileTheWindowTurnsAndReportsTheOutcome) {
    mwcanvas::MWCanvas& canvas = client.canvas();
    struct Case {
        QString path;
        QString error;
    };
    const Case cases[] = {
        {dir.filePath("run.png"), ""},
        {dir.filePath("missing/run.png"),
         "Cannot write " + dir.filePath("missing/run.png") + ": No such file or directory."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        auto source = std::get<app::ExportSource>(app::exportSourceOf(canvas, 4));
        // The run paints its own copy: a stroke drawn meanwhile is not in this picture.
        const auto expected = canvas::renderPicture(source.strokes, source.geometry);
        app::ExportRun run(client.ui.window.get(), std::move(source),
                           {c.path, exporting::PictureFormat::Png, 4});
        std::optional<QString> outcome;
        run.finished = [&](const QString& error) { outcome = error; };
        client.clock.advance(1.0);
        canvas.setLayerIndex(0);
        canvas.touchPressedAtX(10, 10);
        canvas.touchReleasedAtX(100, 250);
        ASSERT_TRUE(testing::spinUntil([&] { return outcome.has_value(); }, 20000));
        EXPECT_FALSE(run.running());
        EXPECT_EQ(*outcome, c.error);
        if (c.error.isEmpty()) {
            EXPECT_TRUE(decodePng(contentsOf(c.path)).rgba == rgbaOfOpaque(expected));
        }
    }
}

TEST_F(PictureExport, TheDialogWritesWhatIsChosenInIt) {
    QWidget* window = client.ui.window.get();
    app::showExportDialog(window, client.canvas());
    auto* dialog = window->findChild<app::ExportDialog*>("export_dialog");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(testing::spinUntil([&] { return dialog->isVisible(); }, 5000));

    // The sizes offered are the canvas's and its multiples; OpenRaster has one size.
    ASSERT_EQ(dialog->scale_box->count(), 3);
    const int w = client.canvas().geometry.canvas_width;
    const int h = client.canvas().geometry.canvas_height;
    EXPECT_EQ(dialog->scale_box->itemText(0), QString("1x: %1 x %2 pixels").arg(w).arg(h));
    EXPECT_EQ(dialog->scale_box->itemText(2), QString("4x: %1 x %2 pixels").arg(4 * w).arg(4 * h));
    EXPECT_TRUE(dialog->path_edit->text().endsWith(".png"));
    dialog->path_edit->setText(dir.filePath("chosen.png"));
    dialog->format_box->setCurrentIndex(1);
    EXPECT_FALSE(dialog->scale_box->isEnabled());
    EXPECT_EQ(dialog->path_edit->text(), dir.filePath("chosen.ora"));
    dialog->format_box->setCurrentIndex(0);
    EXPECT_TRUE(dialog->scale_box->isEnabled());
    dialog->scale_box->setCurrentIndex(1);
    dialog->path_edit->setText(dir.filePath("chosen"));
    const app::ExportChoice choice = dialog->choice();
    EXPECT_EQ(choice.path, dir.filePath("chosen.png"));
    EXPECT_EQ(choice.format, exporting::PictureFormat::Png);
    EXPECT_EQ(choice.scale, 2);
    dialog->path_edit->clear();
    EXPECT_FALSE(dialog->export_button->isEnabled());
    dialog->path_edit->setText(dir.filePath("chosen"));

    dialog->export_button->click();
    ASSERT_TRUE(testing::spinUntil(
        [&] { return decodePng(contentsOf(dir.filePath("chosen.png"))).width == 2 * w; }, 20000));
    EXPECT_EQ(decodePng(contentsOf(dir.filePath("chosen.png"))).height, 2 * h);

    // A canvas too large to paint at a multiple is offered its own size alone.
    canvas::CanvasGeometry big;
    big.setScreenSize(4000, 3000);
    app::ExportDialog big_dialog(nullptr, big, "big.png");
    EXPECT_EQ(big_dialog.scale_box->count(), 1);
    EXPECT_TRUE(
        app::ExportDialog::suggestedPath("anna@20101201/x y").endsWith("/anna_20101201_x_y.png"));
    EXPECT_TRUE(app::ExportDialog::suggestedPath("").endsWith("/canvas.png"));
}

TEST_F(PictureExport, CopyPutsThePictureAsShownOnTheClipboard) {
    app::copyPictureToClipboard(client.canvas());
    const QImage image =
        QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB888);
    const canvas::Surface& display = client.canvas().display_bitmap;
    ASSERT_EQ(image.width(), display.width());
    ASSERT_EQ(image.height(), display.height());
    EXPECT_EQ(image, app::imageOfDisplay(client.canvas()));
    for (const auto& [x, y] : {std::pair{0, 0}, std::pair{60, 45}, std::pair{100, 100}}) {
        const canvas::Argb p = canvas::unpackPixel(display.at(x, y));
        EXPECT_EQ(image.pixel(x, y), qRgb(p.r, p.g, p.b)) << x << "," << y;
    }
}

} // namespace
} // namespace velmo
