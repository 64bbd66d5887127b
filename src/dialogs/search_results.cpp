#include "dialogs/search_results.h"

#include "dialogs/alerts.h"
#include "dialogs/gyazo_image_view.h"
#include "mwcanvas/mw_canvas.h"
#include "sync/stroke_sync_agent.h"
#include "wire/canvas_id.h"
#include "wire/canvas_link.h"
#include "wire/percent_codec.h"

#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableWidget>

#include <algorithm>
#include <cstring>

namespace velmo::dialogs {

// The table's viewport coming into sight, changing size or going out of it: the hidden
// nickname view hides it too.
class SearchResults::SightWatcher : public QObject {
public:
    explicit SightWatcher(SearchResults& results_) : results(results_) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Resize:
            results.loadVisibleThumbnails();
            break;
        case QEvent::Hide:
            results.stopLoadingThumbnails();
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    SearchResults& results;
};

SearchResults::SearchResults(mwcanvas::MWCanvas& canvas_, const SearchEdges& edges_,
                             QWidget* parent)
    : canvas(canvas_), edges(edges_), sight_watcher(std::make_unique<SightWatcher>(*this)) {
    search_result_table = new QTableWidget(0, 1, parent);
    search_result_table->setObjectName("search_result_table");
    search_result_table->horizontalHeader()->hide();
    search_result_table->horizontalHeader()->setStretchLastSection(true);
    search_result_table->verticalHeader()->hide();
    search_result_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    search_result_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    search_result_table->setSelectionMode(QAbstractItemView::SingleSelection);
    search_result_table->setShowGrid(false);
    search_result_table->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    QObject::connect(search_result_table, &QTableWidget::cellClicked, search_result_table,
                     [this](int row, int) { didSelectRow(row); });
    table_alive = search_result_table;
    search_result_table->viewport()->installEventFilter(sight_watcher.get());
    QObject::connect(search_result_table->verticalScrollBar(), &QScrollBar::valueChanged,
                     search_result_table, [this](int) { loadVisibleThumbnails(); });
}

SearchResults::~SearchResults() {
    // The table may outlive this (it belongs to the widget tree): nothing of it may call back.
    if (table_alive) {
        QObject::disconnect(search_result_table->verticalScrollBar(), nullptr, search_result_table,
                            nullptr);
        QObject::disconnect(search_result_table, nullptr, search_result_table, nullptr);
    }
    for (Thumbnail& thumbnail : thumbnails) {
        if (thumbnail.view) {
            thumbnail.view->loading_ended = nullptr;
            thumbnail.view->cancelLoading();
        }
    }
}

std::optional<std::string> SearchResults::linkedCanvasID(const QString& text) {
    // Typed text, not a link from the system: the prefix is compared exactly and nothing is
    // decoded.
    const QString prefix = QString::fromLatin1(wire::LinkPrefix.data(),
                                               static_cast<qsizetype>(wire::LinkPrefix.size()));
    if (text.size() <= prefix.size() || !text.startsWith(prefix, Qt::CaseSensitive)) {
        return std::nullopt;
    }
    return text.mid(prefix.size()).toStdString();
}

void SearchResults::searchBarSearchButtonClicked(QLineEdit* search_bar) {
    search_bar->clearFocus();
    QString text = search_bar->text();
    text.remove(QChar(' '));
    canvas.setSearchNickname(search_bar->text().toStdString());

    // A canvas opened with an ID the server refuses could never be fetched or drawn on.
    if (const auto id = linkedCanvasID(text); id && wire::isValidCanvasId(*id)) {
        openCanvas(*id);
        return;
    }

    // A fresh agent for this search alone: the canvas's own agent keeps its queue.
    sync::StrokeSyncAgent agent(edges.http, edges.scheduler, edges.clock,
                                canvas.sync_agent.serverBaseURL());
    agent.canvas = &canvas;
    agent.search_canvas_list(text.toStdString());
    if (agent.error_occcured) {
        edges.alerts.showAlert(QStringLiteral("connection error"),
                               QStringLiteral("An error occured while communication with the "
                                              "server.  Please check the internet connection."));
        return;
    }
    canvas_list = agent.canvas_list;
    thumbnail_list = agent.thumbnail_list;
    reloadData();
}

QString SearchResults::renderURL(const std::string& server_base_url, const std::string& id) {
    // A canvas never published still has the server's own picture of it.
    return QString::fromStdString(server_base_url + "render/" + wire::percentEncode(id) +
                                  ".png?w=" + std::to_string(ThumbnailWidth) +
                                  "&h=" + std::to_string(ThumbnailHeight));
}

int SearchResults::numberOfRows() {
    search_result_table->verticalHeader()->setMinimumSectionSize(1);
    search_result_table->verticalHeader()->setDefaultSectionSize(ThumbnailHeight + 1);
    return static_cast<int>(canvas_list.size());
}

QWidget* SearchResults::cellForRow(int row) {
    auto* cell = new QWidget();
    cell->setObjectName("SearchResult");
    const std::string& id = canvas_list.at(static_cast<std::size_t>(row));

    auto* thumbnail = new GyazoImageView(edges.http, cell);
    thumbnail->setObjectName("thumbnail");
    thumbnail->setGeometry(0, 0, ThumbnailWidth, ThumbnailHeight);
    // A load that ends makes room for the next row in sight.
    thumbnail->loading_ended = [this] { loadVisibleThumbnails(); };
    if (thumbnails.size() <= static_cast<std::size_t>(row)) {
        thumbnails.resize(static_cast<std::size_t>(row) + 1);
    }
    Thumbnail& entry = thumbnails[static_cast<std::size_t>(row)];
    if (entry.view) {
        entry.view->cancelLoading();
    }
    entry = Thumbnail{thumbnail, {}, false};
    if (const auto it = thumbnail_list.find(id);
        it != thumbnail_list.end() && !it->second.empty()) {
        entry.url = QString::fromStdString(it->second);
    } else {
        entry.url = renderURL(canvas.sync_agent.serverBaseURL(), id);
    }

    auto* label = new QLabel(QString::fromStdString(id), cell);
    label->setObjectName("canvas_id");
    label->setGeometry(84, 0, 250, ThumbnailHeight);
    return cell;
}

void SearchResults::reloadData() {
    const int rows = numberOfRows();
    // Every row is built anew, so no row keeps an earlier row's picture or text. The table
    // frees the old cells later, from the event loop: their loads are stopped now.
    for (Thumbnail& thumbnail : thumbnails) {
        if (thumbnail.view) {
            thumbnail.view->loading_ended = nullptr;
            thumbnail.view->cancelLoading();
        }
    }
    thumbnails.clear();
    search_result_table->setRowCount(0);
    search_result_table->setRowCount(rows);
    for (int row = 0; row < rows; ++row) {
        search_result_table->setRowHeight(row, ThumbnailHeight + 1);
        search_result_table->setCellWidget(row, 0, cellForRow(row));
    }
    loadVisibleThumbnails();
}

int SearchResults::thumbnailsLoading() const {
    int loading = 0;
    for (const Thumbnail& thumbnail : thumbnails) {
        loading += thumbnail.view && thumbnail.view->loading() ? 1 : 0;
    }
    return loading;
}

void SearchResults::loadVisibleThumbnails() {
    if (!search_result_table->isVisible() || thumbnails.empty()) {
        return;
    }
    const QWidget* viewport = search_result_table->viewport();
    const int first = search_result_table->rowAt(0);
    if (first < 0 || viewport->height() <= 0) {
        return;
    }
    int last = search_result_table->rowAt(viewport->height() - 1);
    if (last < 0) {
        last = search_result_table->rowCount() - 1;
    }
    last = std::min(last, static_cast<int>(thumbnails.size()) - 1);
    int loading = thumbnailsLoading();
    for (int row = first; row <= last && loading < MaxThumbnailLoads; ++row) {
        Thumbnail& thumbnail = thumbnails[static_cast<std::size_t>(row)];
        if (thumbnail.started || thumbnail.url.isEmpty() || !thumbnail.view) {
            continue;
        }
        thumbnail.started = true;
        ++loading;
        thumbnail.view->loadImageInBackgroundFromURL(thumbnail.url);
    }
}

void SearchResults::stopLoadingThumbnails() {
    for (Thumbnail& thumbnail : thumbnails) {
        if (thumbnail.view && thumbnail.view->loading()) {
            thumbnail.view->cancelLoading();
            thumbnail.started = false;
        }
    }
}

void SearchResults::didSelectRow(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= canvas_list.size()) {
        return;
    }
    const std::string id = canvas_list[static_cast<std::size_t>(row)];
    openCanvas(id);
}

void SearchResults::openCanvas(const std::string& canvas_id) {
    canvas.setCanvasID(canvas_id);
    if (dismissNicknameView) {
        dismissNicknameView();
    }
}

} // namespace velmo::dialogs
