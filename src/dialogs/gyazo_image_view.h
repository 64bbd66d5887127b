#pragma once

#include "platform/http_exchange.h"

#include <QImage>
#include <QString>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace velmo::dialogs {

// An image view that fetches its own picture: the download runs in the background and the
// picture, scaled to the view, appears once the whole answer has arrived. A failure, a
// time-out after five seconds, or an answer that is no image leaves the view empty; nothing
// is reported. A view that is gone, or told to stop, aborts its download, and whatever the
// download still delivers is dropped.
//
// The exchange must outlive the view. UI thread only.
class GyazoImageView : public QWidget {
public:
    static constexpr double LoadTimeout = 5.0;
    // Thumbnails are small; a longer answer is no picture of ours and is not kept.
    static constexpr std::size_t MaxImageBytes = 8u << 20;

    GyazoImageView(platform::HttpExchange& http, QWidget* parent = nullptr);
    ~GyazoImageView() override;

    // Starts the download and returns at once. A second call abandons the first download.
    void loadImageInBackgroundFromURL(const QString& url);
    // Aborts the download under way, if any; the view keeps what it shows.
    void cancelLoading();

    // Called when a download has ended, with a picture or without (not when cancelled).
    std::function<void()> loading_ended;

    const QImage& image() const { return shown_image; }
    bool loading() const { return connection != nullptr; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // One download. The view alone owns it; the exchange's callbacks hold it weakly, so a
    // callback that comes after the view (or the download) is gone finds nothing.
    struct Download {
        GyazoImageView* view = nullptr;
        std::shared_ptr<platform::HttpCancellation> cancellation =
            std::make_shared<platform::HttpCancellation>();
        std::string receivedData;
        bool too_long = false;
    };

    void connectionDidFinishLoading();
    void connectionDidFail();

    platform::HttpExchange& http;
    std::shared_ptr<Download> connection;
    QImage shown_image;
};

} // namespace velmo::dialogs
