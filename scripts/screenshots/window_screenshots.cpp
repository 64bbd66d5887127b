// Renders the window offscreen for the README: after a drawing on each layer, zoomed in pan
// mode, with a dialog open on a tablet and on a phone, the share menu, and others drawing on
// the same canvas (heard through a scripted live stream). Usage:
// window_screenshots OUTPUT_DIRECTORY

#include "test_client.h"
#include "window_scenes.h"

#include "dialogs/nickname_view.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QToolButton>

#include <cstdio>

namespace {

using velmo::testing::TestClient;

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
        // A press outside the popover closes it; then the share menu, a window of its own.
        QTest::mouseClick(client.view(), Qt::LeftButton, {}, QPoint(700, 900));
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
    return ok ? 0 : 1;
}
