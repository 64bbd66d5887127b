#pragma once

#include "canvas/surface.h"
#include "platform/clock.h"
#include "platform/http_exchange.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::imagehost {

// Uploads one picture at a time to an image host with the Gyazo upload form and returns the
// URL the host publishes it under. Uploads are synchronous: the calling (UI) thread waits up
// to three seconds. Every failure (no answer, a status other than 2xx, an answer without a
// URL, a picture that cannot be encoded) gives nothing, and a result never outlives its upload.
class GyazoClient {
public:
    static constexpr std::string_view Boundary = "----BOUNDARYBOUNDARY----";
    static constexpr std::string_view Version = "0.4";
    static constexpr double UploadTimeout = 3.0;

    // The exchange and the clock must outlive the client. `upload_url` is the host's
    // "/upload.cgi" endpoint.
    GyazoClient(platform::HttpExchange& http, const platform::Clock& clock, std::string upload_url);

    std::optional<std::string> getURLOfImage(const canvas::Surface& picture);
    // Uploads and leaves the answer's URL, or nothing, in `resultURLString`.
    void sendImage(const canvas::Surface& picture);

    // The multipart body: the three form fields "id", "version" and "imagedata".
    std::string uploadBody(std::string_view id, std::string_view png) const;

    canvas::Surface image;
    std::string cgiURL;
    std::optional<std::string> resultURLString;
    // The parts of the body before the image bytes, with "#{boundary}", "#{id}" and
    // "#{version}" to fill in.
    std::vector<std::string> dataStrArray;

private:
    platform::HttpExchange& http;
    const platform::Clock& clock;
};

// The image host beside a canvas server: same scheme, host and port, path "/upload.cgi".
std::string defaultUploadURL(std::string_view server_base_url);

} // namespace velmo::imagehost
