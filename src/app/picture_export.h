#pragma once

#include "app/canvas_export.h"
#include "export/picture_file.h"
#include "mwcanvas/mw_canvas.h"

#include <QDialog>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QWidget;

namespace velmo::app {

// Asks where and how (PNG at 1x/2x/4x, or OpenRaster) and writes the open canvas's picture.
// Returns at once: the dialog, and then the export with its progress, run in the window's own
// event loop (no nested one), and a failure is said in a message box over `parent`.
void showExportDialog(QWidget* parent, mwcanvas::MWCanvas& canvas);
// Puts the canvas's picture (as shown, at its size) on the clipboard.
void copyPictureToClipboard(mwcanvas::MWCanvas& canvas);

// The canvas's display as an opaque image of its size.
QImage imageOfDisplay(const mwcanvas::MWCanvas& canvas);

// What the user chose: the file, its format, and for PNG the multiple of the canvas's pixels.
struct ExportChoice {
    QString path;
    exporting::PictureFormat format = exporting::PictureFormat::Png;
    int scale = 1;
};

// The export dialog: the format, for PNG the scale (each with the pixel size it gives; those
// too large to paint are not offered), and the file, typed or chosen. Changing the format
// changes the file name's extension to match.
class ExportDialog : public QDialog {
public:
    static constexpr int Scales[] = {1, 2, 4};

    // `geometry` is the canvas's, for the sizes; `suggested_path` the file offered first.
    ExportDialog(QWidget* parent, const canvas::CanvasGeometry& geometry,
                 const QString& suggested_path);

    // The choice as the controls hold it; the file name gets the format's extension when it
    // lacks it.
    ExportChoice choice() const;
    // The file offered at first for a canvas: its ID made a file name, in the pictures folder.
    static QString suggestedPath(const std::string& canvas_id);

    QComboBox* format_box = nullptr;
    QComboBox* scale_box = nullptr;
    QLineEdit* path_edit = nullptr;
    QPushButton* choose_button = nullptr;
    QPushButton* export_button = nullptr;

private:
    void formatChanged();
    void chooseFile();

    exporting::PictureFormat shown_format = exporting::PictureFormat::Png;
};

// One export on a thread of its own, with a progress dialog over `parent` (shown only if it
// takes long) whose Cancel stops it. `finished` is called on the UI thread once the thread is
// done (never inside the constructor), with an empty message when the file was written, else
// what went wrong. Destroying the run stops the thread and waits for it.
class ExportRun : public QObject {
public:
    ExportRun(QWidget* parent, ExportSource source, ExportChoice choice);
    ~ExportRun() override;

    std::function<void(const QString& error)> finished;

    bool running() const { return !done_reported; }
    // Cancel was pressed (or the run is going away).
    bool stopped() const { return stop.load(); }
    QProgressDialog* progressDialog() const { return progress_dialog; }

private:
    void look();

    QPointer<QProgressDialog> progress_dialog;
    QTimer* look_timer = nullptr;
    std::atomic<int> permille{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    bool done_reported = false;
    std::optional<std::string> error;
    std::thread worker;
};

// Starts the export of `canvas` as chosen; a run that ends reports failures in a message box
// over `parent` and frees itself. Nothing (the reason said there at once) when the canvas
// cannot be exported now.
ExportRun* startExport(QWidget* parent, const mwcanvas::MWCanvas& canvas,
                       const ExportChoice& choice);

} // namespace velmo::app
