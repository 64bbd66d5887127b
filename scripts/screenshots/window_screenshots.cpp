// Renders the window offscreen for the README: after a drawing on each layer, zoomed in pan
// mode, with a dialog open on a tablet and on a phone, the share menu, and others drawing on
// the same canvas (heard through a scripted live stream), the menu bar and the layer control.
// Usage: window_screenshots OUTPUT_DIRECTORY

#include "test_client.h"
#include "window_scenes.h"

#include "app/picture_export.h"
#include "dialogs/nickname_view.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QToolButton>

#include <cstdio>

namespace {

using velmo::testing::TestClient;

// The window with an open menu (a window of its own) painted where it stands over it.
bool saveWithMenu(const TestClient& client, QMenu& menu, const QDir& out, const char* name) {
    QImage shot = client.ui.window->grab().toImage();
    {
        QPainter painter(&shot);
        const QPoint at = menu.pos() - client.ui.window->mapToGlobal(QPoint(0, 0));
        painter.drawImage(at, menu.grab().toImage());
    }
    const QString path = out.filePath(name);
    const bool saved = shot.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    menu.close();
    return saved;
}

bool save(const TestClient& client, const QDir& out, const char* name) {
    const QString path = out.filePath(name);
    const bool saved = client.ui.window->grab().toImage().save(path);
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
    using namespace velmo::testing;
    bool ok = true;

    {
        TestClient client(QSize(480, 640));
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        drawTwoWavesOnLayer0(client);
        ok = save(client, out, "window-layer0.png") && ok;
        drawDownTheMultiplyLayer(client);
        ok = save(client, out, "window-layer1.png") && ok;
        drawAWaveOnTheScreenLayer(client);
        ok = save(client, out, "window-layer2.png") && ok;
        zoomInOnTheMiddle(client);
        ok = save(client, out, "window-zoomed.png") && ok;
    }
    {
        TestClient client(QSize(768, 1024), velmo::app::Idiom::Tablet);
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        drawWith(client, 0, 0xFFD03020u, 28, wave(600, 60));
        QTest::mouseClick(client.ui.pen_button, Qt::LeftButton);
        ok = save(client, out, "window-tablet-pen-dialog.png") && ok;
        // A press outside the popover closes it; then the share menu, a window of its own,
        // once the server has stamped a stroke of the canvas (it has a link then).
        QTest::mouseClick(client.view(), Qt::LeftButton, {}, QPoint(700, 900));
        velmo::canvas::MWStroke echoed = client.canvas().strokes_history.rbegin()->second;
        client.canvas().strokes_history.store({1796643000000, echoed.client_time}, echoed);
        QTest::mouseClick(client.ui.canvas_id_button, Qt::LeftButton);
        if (QMenu* menu = client.ui.nickname_view->sharing.action_sheet) {
            const QString path = out.filePath("window-share-menu.png");
            const bool saved = menu->grab().toImage().save(path);
            std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
            ok = saved && ok;
            menu->close();
        } else {
            ok = false;
        }
    }
    {
        TestClient client(QSize(320, 480), velmo::app::Idiom::Phone);
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        ok = save(client, out, "window-phone.png") && ok;
        QTest::mouseClick(client.ui.nickname_button, Qt::LeftButton);
        ok = save(client, out, "window-phone-nickname-view.png") && ok;
    }
    {
        TestClient client(QSize(480, 640), velmo::app::Idiom::Tablet, true);
        client.launch();
        openWithOthers(client);
        drawTwoWavesOnLayer0(client);
        hearOthersDrawing(client);
        ok = save(client, out, "window-drawing-together.png") && ok;
    }
    {
        // The export dialog of a drawing, PNG at twice its size chosen.
        TestClient client(QSize(480, 640));
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        drawTwoWavesOnLayer0(client);
        velmo::app::showExportDialog(client.ui.window.get(), client.canvas());
        auto* dialog = client.ui.window->findChild<velmo::app::ExportDialog*>("export_dialog");
        if (dialog != nullptr) {
            dialog->path_edit->setText("/home/anna/Pictures/anna_20261207120000000.png");
            dialog->scale_box->setCurrentIndex(1);
            QApplication::processEvents();
            const QString path = out.filePath("export-dialog.png");
            const bool saved = dialog->grab().toImage().save(path);
            std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
            ok = saved && ok;
            dialog->close();
        } else {
            ok = false;
        }
    }
    {
        // The server cannot be reached: the info line says what waits.
        TestClient client(QSize(480, 640));
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        drawTwoStrokesOffline(client);
        ok = save(client, out, "window-offline.png") && ok;
    }
    {
        // The menu bar's View menu, and the layer control's menu with the Multiply layer
        // hidden in this window.
        TestClient client(QSize(480, 640));
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        drawTwoWavesOnLayer0(client);
        drawDownTheMultiplyLayer(client);
        drawAWaveOnTheScreenLayer(client);
        auto* view_menu = client.ui.menu_bar->findChild<QMenu*>("view_menu");
        if (view_menu != nullptr) {
            const QRect title = client.ui.menu_bar->actionGeometry(view_menu->menuAction());
            view_menu->popup(client.ui.menu_bar->mapToGlobal(title.bottomLeft()));
            ok = saveWithMenu(client, *view_menu, out, "window-menu.png") && ok;
        } else {
            ok = false;
        }
        client.canvas().setLayerShown(1, false);
        client.canvas().setLayerIndex(2);
        QTest::mouseClick(client.ui.layer_button, Qt::LeftButton);
        ok = saveWithMenu(client, *client.ui.layer_menu, out, "window-layer-control.png") && ok;
    }
    return ok ? 0 : 1;
}
