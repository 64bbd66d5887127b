#include "dialogs/gyazo_image_view.h"

#include <QPainter>

namespace velmo::dialogs {

GyazoImageView::GyazoImageView(platform::HttpExchange& http_, QWidget* parent)
    : QWidget(parent), http(http_) {}

GyazoImageView::~GyazoImageView() {
    cancelLoading();
}

void GyazoImageView::cancelLoading() {
    if (!connection) {
        return;
    }
    connection->view = nullptr;
    connection->cancellation->cancel();
    connection.reset();
}

void GyazoImageView::loadImageInBackgroundFromURL(const QString& url) {
    cancelLoading();
    connection = std::make_shared<Download>();
    connection->view = this;

    platform::HttpRequest request;
    request.url = url.toStdString();
    request.method = "GET";
    request.timeout_seconds = LoadTimeout;

    const std::weak_ptr<Download> weak = connection;
    platform::HttpCallbacks callbacks;
    callbacks.cancellation = connection->cancellation;
    callbacks.received = [weak](std::string_view bytes) {
        const auto download = weak.lock();
        if (!download || download->too_long) {
            return;
        }
        if (download->receivedData.size() + bytes.size() > MaxImageBytes) {
            download->too_long = true;
            download->receivedData.clear();
            download->receivedData.shrink_to_fit();
            return;
        }
        download->receivedData.append(bytes);
    };
    // Whatever the status, only a body that decodes as a picture shows.
    callbacks.finished = [weak](const platform::HttpStatus&) {
        const auto download = weak.lock();
        if (download && download->view != nullptr) {
            download->view->connectionDidFinishLoading();
        }
    };
    callbacks.failed = [weak] {
        const auto download = weak.lock();
        if (download && download->view != nullptr) {
            download->view->connectionDidFail();
        }
    };
    http.send(request, std::move(callbacks));
}

void GyazoImageView::connectionDidFinishLoading() {
    const auto download = std::move(connection);
    connection.reset();
    if (!download->too_long) {
        // The status is not looked at: an error page simply decodes to no picture.
        shown_image =
            QImage::fromData(reinterpret_cast<const uchar*>(download->receivedData.data()),
                             static_cast<int>(download->receivedData.size()));
        update();
    }
    if (loading_ended) {
        loading_ended();
    }
}

void GyazoImageView::connectionDidFail() {
    connection.reset();
    if (loading_ended) {
        loading_ended();
    }
}

void GyazoImageView::paintEvent(QPaintEvent*) {
    if (shown_image.isNull()) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), shown_image);
}

} // namespace velmo::dialogs
