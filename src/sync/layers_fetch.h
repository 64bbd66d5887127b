#pragma once

#include "platform/http_exchange.h"
#include "png/layers_png.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmo::sync {

// The server's picture of a canvas's three layers at this client's size (GET /layers/...), to
// start a big canvas from instead of painting all its strokes. A server without the route, an
// error, a broken or undecodable answer all give nothing; so does one of another size.
//
// UI thread only. Destroying the fetch abandons it; its callback never runs after.
class LayersFetch {
public:
    using Done = std::function<void(std::optional<png::LayersPicture>)>;

    // `width` x `height`: the canvas's surfaces, as CanvasGeometry::setScreenSize gave them for
    // that size.
    LayersFetch(platform::HttpExchange& http, const std::string& server_base_url,
                const std::string& canvas_id, int width, int height, double timeout, Done done);
    ~LayersFetch();
    LayersFetch(const LayersFetch&) = delete;
    LayersFetch& operator=(const LayersFetch&) = delete;

    // The address asked for.
    static std::string urlOf(const std::string& server_base_url, const std::string& canvas_id,
                             int width, int height);

private:
    struct Shared;
    void ended(std::optional<png::LayersPicture> picture);

    std::shared_ptr<Shared> shared;
    std::shared_ptr<platform::HttpCancellation> cancellation;
    int width, height;
    Done done;
};

} // namespace velmo::sync
