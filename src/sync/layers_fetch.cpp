#include "sync/layers_fetch.h"

#include "wire/percent_codec.h"

namespace velmo::sync {

struct LayersFetch::Shared {
    LayersFetch* fetch = nullptr;
    bool delivered = false;
    std::string body;
};

std::string LayersFetch::urlOf(const std::string& server_base_url, const std::string& canvas_id,
                               int width, int height) {
    std::string url = server_base_url;
    if (url.empty() || url.back() != '/') {
        url += '/';
    }
    return url + "layers/" + wire::percentEncode(canvas_id) + ".png?w=" + std::to_string(width) +
           "&h=" + std::to_string(height);
}

LayersFetch::LayersFetch(platform::HttpExchange& http, const std::string& server_base_url,
                         const std::string& canvas_id, int width_, int height_, double timeout,
                         Done done_)
    : shared(std::make_shared<Shared>()),
      cancellation(std::make_shared<platform::HttpCancellation>()), width(width_), height(height_),
      done(std::move(done_)) {
    shared->fetch = this;
    platform::HttpRequest request;
    request.url = urlOf(server_base_url, canvas_id, width, height);
    request.method = "GET";
    request.timeout_seconds = timeout;
    const std::weak_ptr<Shared> weak = shared;
    platform::HttpCallbacks callbacks;
    callbacks.head = [weak](const platform::HttpStatus& status) {
        if (const auto s = weak.lock()) {
            s->delivered = status.code == 200;
        }
    };
    callbacks.received = [weak](std::string_view bytes) {
        if (const auto s = weak.lock(); s && s->delivered) {
            s->body.append(bytes);
        }
    };
    callbacks.finished = [weak](const platform::HttpStatus& status) {
        const auto s = weak.lock();
        if (!s || s->fetch == nullptr) {
            return;
        }
        std::optional<png::LayersPicture> picture;
        if (status.code == 200 && s->delivered) {
            picture = png::decodeLayersPng(s->body);
        }
        s->body.clear();
        s->fetch->ended(std::move(picture));
    };
    callbacks.failed = [weak] {
        if (const auto s = weak.lock(); s && s->fetch != nullptr) {
            s->fetch->ended(std::nullopt);
        }
    };
    callbacks.cancellation = cancellation;
    http.send(request, std::move(callbacks));
}

LayersFetch::~LayersFetch() {
    shared->fetch = nullptr;
    cancellation->cancel();
}

void LayersFetch::ended(std::optional<png::LayersPicture> picture) {
    if (picture && (picture->layers[0].width() != width || picture->layers[0].height() != height ||
                    picture->through < 0 || picture->strokes < 0)) {
        picture.reset();
    }
    shared->fetch = nullptr;
    if (done) {
        const Done call = std::move(done);
        call(std::move(picture));
    }
}

} // namespace velmo::sync
