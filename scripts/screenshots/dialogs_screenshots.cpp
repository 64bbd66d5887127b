// Renders the dialogs offscreen for the README: the pen dialog on a tablet with the colour
// picker beside it, the picker over the dialog on a phone, and the search results with
// thumbnails of drawn canvases. Usage: dialogs_screenshots OUTPUT_DIRECTORY

#include "canvas_fixture.h"
#include "dialogs/dialog_presenter.h"
#include "dialogs/hsb_color_picker.h"
#include "dialogs/nickname_view.h"
#include "dialogs/pen_dialog.h"
#include "dialogs/sat_bri_box.h"
#include "dialogs/value_slider.h"
#include "identity/canvas_picture.h"
#include "png/png_encoder.h"

#include <QApplication>
#include <QDir>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

using namespace velmo;

// A few strokes on a canvas, as a 64 x 96 PNG thumbnail.
std::string drawnThumbnail(int seed) {
    testing::CanvasWithView scene(320, 480);
    auto& canvas = scene.canvas;
    const uint32_t colors[] = {0xFFD03030u, 0xFF3070D0u, 0xFF30A050u, 0xFFE0A020u};
    for (int s = 0; s < 6; ++s) {
        canvas.pen_properties = {static_cast<int32_t>(colors[(seed + s) % 4]), 8000 + 3000 * s,
                                 200};
        const double phase = seed * 1.3 + s;
        canvas.touchPressedAtX(160 + static_cast<int>(120 * std::cos(phase)),
                               240 + static_cast<int>(180 * std::sin(phase)));
        for (int i = 1; i <= 12; ++i) {
            const double t = phase + i * 0.35;
            canvas.touchDraggedAtX(160 + static_cast<int>((40 + 8 * i) * std::cos(t)),
                                   240 + static_cast<int>((60 + 10 * i) * std::sin(t * 0.8)));
        }
        canvas.touchReleasedAtX(160, 240);
    }
    return png::encodePng(identity::stretchedPicture(canvas.display_bitmap, 64, 96)).value_or("");
}

bool save(QWidget& widget, const QString& path) {
    const bool saved = widget.grab().save(path, "PNG");
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(".")) {
        return 1;
    }
    bool ok = true;

    {
        // Tablet: the pen dialog's popover, then the picker beside it.
        testing::CanvasWithView tablet(768, 1024);
        dialogs::DialogPresenter presenter(tablet.main_view, dialogs::Idiom::Tablet);
        auto* pen_button = new QPushButton("Pen", &tablet.main_view);
        pen_button->setGeometry(20, 20, 80, 32);
        auto* dialog = new dialogs::PenDialog(tablet.canvas, presenter, tablet.main_view);
        tablet.canvas.pen_properties.color = static_cast<int32_t>(0xFF2E7DD0u);
        tablet.main_view.show();
        dialog->showPenPropDialog(pen_button);
        ok = save(*presenter.popoverController, out.filePath("pen_dialog.png")) && ok;
        dialog->showHSBColorPicker();
        dialog->hsbcolorpicker->satbribox->touchAt(QPointF(200, 60));
        ok = save(*presenter.popoverController, out.filePath("pen_dialog_with_picker.png")) && ok;
    }
    {
        // Phone: the picker covers the dialog.
        testing::CanvasWithView phone(320, 480);
        dialogs::DialogPresenter presenter(phone.main_view, dialogs::Idiom::Phone);
        auto* dialog = new dialogs::PenDialog(phone.canvas, presenter, phone.main_view);
        phone.canvas.pen_properties.color = static_cast<int32_t>(0xFFE04080u);
        phone.main_view.show();
        dialog->showPenPropDialog(nullptr);
        dialog->showHSBColorPicker();
        dialog->hsbcolorpicker->satbribox->touchAt(QPointF(180, 90));
        ok = save(phone.main_view, out.filePath("colour_picker_phone.png")) && ok;
    }
    {
        // The nickname view with the results of a search, thumbnails delivered.
        testing::CanvasWithView tablet(768, 1024);
        dialogs::DialogPresenter presenter(tablet.main_view, dialogs::Idiom::Tablet);
        auto* button = new QPushButton("Nickname", &tablet.main_view);
        auto* view = new dialogs::NicknameView(
            tablet.canvas, presenter, tablet.main_view,
            {tablet.opener, tablet.alerts, tablet.http, tablet.scheduler, tablet.clock});
        tablet.canvas.user_nickname = "taro";
        tablet.main_view.show();
        view->showNicknameView(button);
        tablet.http.scriptSync("taro@20261207093015120 http://127.0.0.1:8640/images/1.png\n"
                               "taro@20261130181502007 http://127.0.0.1:8640/images/2.png\n"
                               "taro@20261102120000999 \n"
                               "taro@20261021074512345 http://127.0.0.1:8640/images/3.png\n");
        view->search_bar->setText("taro");
        view->search.searchBarSearchButtonClicked(view->search_bar);
        for (size_t i = 0; i < tablet.http.async_requests.size(); ++i) {
            tablet.http.answer(i, drawnThumbnail(static_cast<int>(i)));
        }
        ok = save(*presenter.popoverController, out.filePath("search_results.png")) && ok;
    }
    return ok ? 0 : 1;
}
