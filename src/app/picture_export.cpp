#include "app/picture_export.h"

#include "dialogs/alerts.h"
#include "png/layers_png.h"

#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace velmo::app {
namespace {

using exporting::PictureFormat;

QString extensionText(PictureFormat format) {
    return QString::fromUtf8(exporting::extensionOf(format).data(),
                             static_cast<qsizetype>(exporting::extensionOf(format).size()));
}

QString nameFilter(PictureFormat format) {
    return format == PictureFormat::Png ? "PNG pictures (*.png)" : "OpenRaster files (*.ora)";
}

// A progress dialog over a quick export would only flicker.
constexpr int ProgressShownAfterMs = 400;
constexpr int LookIntervalMs = 30;

} // namespace

QImage imageOfDisplay(const mwcanvas::MWCanvas& canvas) {
    const canvas::Surface& display = canvas.display_bitmap;
    QImage image(display.width(), display.height(), QImage::Format_RGB888);
    for (int y = 0; y < display.height(); ++y) {
        png::surfaceRow(display, y, image.scanLine(y));
    }
    return image;
}

void copyPictureToClipboard(mwcanvas::MWCanvas& canvas) {
    if (canvas.display_bitmap.empty()) {
        return;
    }
    QGuiApplication::clipboard()->setImage(imageOfDisplay(canvas));
}

ExportDialog::ExportDialog(QWidget* parent, const canvas::CanvasGeometry& geometry,
                           const QString& suggested_path)
    : QDialog(parent) {
    setObjectName("export_dialog");
    setWindowTitle("Export the picture");

    format_box = new QComboBox(this);
    format_box->setObjectName("export_format");
    format_box->addItem("PNG picture", static_cast<int>(PictureFormat::Png));
    format_box->addItem("OpenRaster, three layers with their modes",
                        static_cast<int>(PictureFormat::OpenRaster));

    scale_box = new QComboBox(this);
    scale_box->setObjectName("export_scale");
    for (const int scale : Scales) {
        if (const auto scaled = exporting::scaledGeometry(geometry, scale)) {
            scale_box->addItem(QString("%1x: %2 x %3 pixels")
                                   .arg(scale)
                                   .arg(scaled->canvas_width)
                                   .arg(scaled->canvas_height),
                               scale);
        }
    }

    path_edit = new QLineEdit(suggested_path, this);
    path_edit->setObjectName("export_path");
    path_edit->setMinimumWidth(320);
    choose_button = new QPushButton("Choose…", this);
    choose_button->setObjectName("export_choose");
    auto* file_row = new QHBoxLayout();
    file_row->addWidget(path_edit, 1);
    file_row->addWidget(choose_button);

    auto* form = new QFormLayout();
    form->addRow("Format:", format_box);
    form->addRow("Size:", scale_box);
    form->addRow("File:", file_row);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    export_button = buttons->addButton("Export", QDialogButtonBox::AcceptRole);
    export_button->setObjectName("export_button");
    export_button->setDefault(true);

    auto* rows = new QVBoxLayout(this);
    rows->addLayout(form);
    rows->addWidget(buttons);

    connect(format_box, &QComboBox::currentIndexChanged, this, [this] { formatChanged(); });
    connect(path_edit, &QLineEdit::textChanged, this,
            [this](const QString& text) { export_button->setEnabled(!text.trimmed().isEmpty()); });
    connect(choose_button, &QPushButton::clicked, this, [this] { chooseFile(); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    export_button->setEnabled(!suggested_path.trimmed().isEmpty());
}

ExportChoice ExportDialog::choice() const {
    ExportChoice chosen;
    chosen.format = static_cast<PictureFormat>(format_box->currentData().toInt());
    const QString path = path_edit->text().trimmed();
    chosen.path =
        path.isEmpty()
            ? path
            : QString::fromStdString(exporting::withExtension(path.toStdString(), chosen.format));
    chosen.scale = chosen.format == PictureFormat::Png && scale_box->currentIndex() >= 0
                       ? scale_box->currentData().toInt()
                       : 1;
    return chosen;
}

QString ExportDialog::suggestedPath(const std::string& canvas_id) {
    QString name;
    for (const char c : canvas_id) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        name += plain ? QChar(c) : QChar('_');
    }
    if (name.isEmpty() || name.startsWith('.')) {
        name.prepend("canvas");
    }
    QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = QDir::homePath();
    }
    return QDir(folder).filePath(name + ".png");
}

void ExportDialog::formatChanged() {
    const auto format = static_cast<PictureFormat>(format_box->currentData().toInt());
    scale_box->setEnabled(format == PictureFormat::Png);
    const QString old_extension = extensionText(shown_format);
    QString path = path_edit->text();
    if (path.endsWith(old_extension, Qt::CaseInsensitive)) {
        path.chop(old_extension.size());
        path_edit->setText(path + extensionText(format));
    }
    shown_format = format;
}

void ExportDialog::chooseFile() {
    const auto format = static_cast<PictureFormat>(format_box->currentData().toInt());
    auto* files = new QFileDialog(this, "Export to", path_edit->text(), nameFilter(format));
    files->setAttribute(Qt::WA_DeleteOnClose);
    files->setAcceptMode(QFileDialog::AcceptSave);
    files->setDefaultSuffix(extensionText(format).mid(1));
    files->selectFile(path_edit->text());
    connect(files, &QFileDialog::fileSelected, this, [this, format](const QString& file) {
        path_edit->setText(
            QString::fromStdString(exporting::withExtension(file.toStdString(), format)));
    });
    files->open();
}

ExportRun::ExportRun(QWidget* parent, ExportSource source, ExportChoice choice) : QObject(parent) {
    // Owned by its parent window, which may go before the run does, else freed with the run.
    progress_dialog = new QProgressDialog("Exporting the picture…", "Cancel", 0, 1000, parent);
    progress_dialog->setObjectName("export_progress");
    progress_dialog->setWindowTitle("Export");
    // The window goes on drawing meanwhile: the export paints a copy.
    progress_dialog->setWindowModality(Qt::NonModal);
    progress_dialog->setMinimumDuration(ProgressShownAfterMs);
    progress_dialog->setAutoClose(false);
    progress_dialog->setAutoReset(false);
    progress_dialog->setValue(0);
    connect(progress_dialog, &QProgressDialog::canceled, this, [this] { stop = true; });

    look_timer = new QTimer(this);
    look_timer->setInterval(LookIntervalMs);
    connect(look_timer, &QTimer::timeout, this, [this] { look(); });
    look_timer->start();

    worker = std::thread([this, source = std::move(source), choice = std::move(choice)] {
        error = writeExport(source, choice.format, choice.path.toStdString(), [this](double d) {
            permille.store(static_cast<int>(d * 1000.0), std::memory_order_relaxed);
            return !stop.load(std::memory_order_relaxed);
        });
        done.store(true, std::memory_order_release);
    });
}

ExportRun::~ExportRun() {
    stop = true;
    if (worker.joinable()) {
        worker.join();
    }
    if (progress_dialog) {
        progress_dialog->deleteLater();
    }
}

void ExportRun::look() {
    if (!done.load(std::memory_order_acquire)) {
        if (progress_dialog) {
            progress_dialog->setValue(permille.load(std::memory_order_relaxed));
        }
        return;
    }
    look_timer->stop();
    worker.join();
    if (progress_dialog) {
        progress_dialog->hide();
    }
    done_reported = true;
    if (finished) {
        finished(error ? QString::fromStdString(*error) : QString());
    }
}

ExportRun* startExport(QWidget* parent, const mwcanvas::MWCanvas& canvas,
                       const ExportChoice& choice) {
    auto source = exportSourceOf(canvas, choice.scale);
    if (const auto* reason = std::get_if<std::string>(&source)) {
        dialogs::MessageBoxAlerts(parent).showAlert("Export", QString::fromStdString(*reason));
        return nullptr;
    }
    QPointer<QWidget> window = parent;
    auto* run = new ExportRun(parent, std::move(std::get<ExportSource>(source)), choice);
    run->finished = [run, window](const QString& error) {
        // A stop the user asked for needs no message.
        if (!error.isEmpty() && !run->stopped()) {
            dialogs::MessageBoxAlerts(window).showAlert("Export", error);
        }
        run->deleteLater();
    };
    return run;
}

void showExportDialog(QWidget* parent, mwcanvas::MWCanvas& canvas) {
    auto* dialog =
        new ExportDialog(parent, canvas.geometry, ExportDialog::suggestedPath(canvas.canvas_id));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QDialog::accepted, dialog,
                     [dialog, parent, &canvas] { startExport(parent, canvas, dialog->choice()); });
    dialog->open();
}

} // namespace velmo::app
