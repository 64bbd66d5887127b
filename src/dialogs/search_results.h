#pragma once

#include <QPointer>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLineEdit;
class QObject;
class QTableWidget;
class QWidget;

namespace velmo::mwcanvas {
class MWCanvas;
}
namespace velmo::platform {
class Clock;
class HttpExchange;
class Scheduler;
} // namespace velmo::platform

namespace velmo::dialogs {

class Alerts;
class GyazoImageView;

// What a search reaches the world through; all must outlive the search.
struct SearchEdges {
    platform::HttpExchange& http;
    platform::Scheduler& scheduler;
    const platform::Clock& clock;
    Alerts& alerts;
};

// The canvas search and its results table: a nickname typed into the search bar lists that
// nickname's canvases, one row each with its thumbnail (loaded in the background) and its
// canvas ID; a row chosen opens its canvas. A whole link of the application's scheme opens
// its canvas at once, without asking the server.
//
// The search waits for the server's answer (up to the sync agent's time-out); a failure
// shows the "connection error" alert and keeps the rows shown.
//
// Thumbnails load for the rows in sight only, at most MaxThumbnailLoads at a time, more as
// the list scrolls or a load ends. When the list is hidden (the nickname view closes) or
// replaced, the loads under way are aborted; a row left unloaded loads when it is in sight
// again. UI thread only.
class SearchResults {
public:
    static constexpr int ThumbnailWidth = 64;
    static constexpr int ThumbnailHeight = 96;
    // The server's render of canvas `id` at the thumbnail's size, for a canvas without a
    // published thumbnail.
    static QString renderURL(const std::string& server_base_url, const std::string& id);
    static constexpr int MaxThumbnailLoads = 4;

    // The table is made as a child of `parent`; the canvas and the edges must outlive this.
    SearchResults(mwcanvas::MWCanvas& canvas, const SearchEdges& edges, QWidget* parent);
    ~SearchResults();
    SearchResults(const SearchResults&) = delete;
    SearchResults& operator=(const SearchResults&) = delete;

    // The search button of `search_bar` (its return key).
    void searchBarSearchButtonClicked(QLineEdit* search_bar);
    // The number of rows; also sets the row height to the thumbnail height + 1.
    int numberOfRows();
    // Builds the cell of `row`: its thumbnail view (its picture is loaded once the row is in
    // sight) and its canvas ID.
    QWidget* cellForRow(int row);
    // Opens the canvas of `row` and closes the nickname view.
    void didSelectRow(int row);
    // Rebuilds every row from the lists.
    void reloadData();

    // Starts the thumbnails of the rows in sight, as far as the limit allows.
    void loadVisibleThumbnails();
    // Aborts every thumbnail load under way; those rows load again when next in sight.
    void stopLoadingThumbnails();
    // The number of thumbnail loads under way.
    int thumbnailsLoading() const;

    // Called after a canvas was opened from the search: closes the nickname view.
    std::function<void()> dismissNicknameView;

    std::vector<std::string> canvas_list;
    std::map<std::string, std::string> thumbnail_list;
    QTableWidget* search_result_table = nullptr;

private:
    // The canvas a search text names with the scheme prefix, or nothing.
    static std::optional<std::string> linkedCanvasID(const QString& text);
    void openCanvas(const std::string& canvas_id);

    class SightWatcher;
    struct Thumbnail {
        QPointer<GyazoImageView> view;
        QString url;
        bool started = false;
    };
    // One entry a row, made with its cell.
    std::vector<Thumbnail> thumbnails;

    mwcanvas::MWCanvas& canvas;
    SearchEdges edges;
    std::unique_ptr<SightWatcher> sight_watcher;
    QPointer<QTableWidget> table_alive;
};

} // namespace velmo::dialogs
