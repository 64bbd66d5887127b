#include "imagehost/gyazo_client.h"

#include "imagehost/upload_answer.h"
#include "png/png_encoder.h"
#include "text/gmt_stamp.h"

#include <utility>

namespace velmo::imagehost {
namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

} // namespace

GyazoClient::GyazoClient(platform::HttpExchange& http_, const platform::Clock& clock_,
                         std::string upload_url)
    : cgiURL(std::move(upload_url)),
      dataStrArray{
          "--#{boundary}\r\n",
          "content-disposition: form-data; name=\"id\"\r\n",
          "\r\n",
          "#{id}\r\n",
          "--#{boundary}\r\n",
          "content-disposition: form-data; name=\"version\"\r\n",
          "\r\n",
          "#{version}\r\n",
          "--#{boundary}\r\n",
          "content-disposition: form-data; name=\"imagedata\"\r\n",
          "\r\n",
      },
      http(http_), clock(clock_) {}

std::optional<std::string> GyazoClient::getURLOfImage(const canvas::Surface& picture) {
    resultURLString.reset();
    sendImage(picture);
    return resultURLString;
}

std::string GyazoClient::uploadBody(std::string_view id, std::string_view png) const {
    std::string body;
    for (std::string part : dataStrArray) {
        replaceAll(part, "#{boundary}", Boundary);
        replaceAll(part, "#{id}", id);
        replaceAll(part, "#{version}", Version);
        body += part;
    }
    body += png;
    body += "\r\n--";
    body += Boundary;
    body += "--\r\n";
    return body;
}

void GyazoClient::sendImage(const canvas::Surface& picture) {
    image = picture;
    resultURLString.reset();
    const auto png = png::encodePng(image);
    if (!png) {
        return;
    }
    platform::HttpRequest request;
    request.url = cgiURL;
    request.method = "POST";
    request.body = uploadBody(text::gmtStampSeconds(clock.now()), *png);
    request.timeout_seconds = UploadTimeout;
    request.headers = {
        {"Content-Length", std::to_string(request.body.size())},
        {"Content-type", "multipart/form-data; boundary=" + std::string(Boundary)},
    };
    const auto answer = http.sendSynchronously(request);
    // An error page may well hold a URL; only an upload the host took has one to keep.
    if (answer && platform::meaningOf(answer->status.code) == platform::AnswerMeaning::Delivered) {
        resultURLString = readUploadAnswer(answer->body);
    }
}

std::string defaultUploadURL(std::string_view server_base_url) {
    const size_t scheme_end = server_base_url.find("://");
    const size_t authority_start = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
    const size_t authority_end = server_base_url.find_first_of("/?#", authority_start);
    return std::string(server_base_url.substr(0, authority_end)) + "/upload.cgi";
}

} // namespace velmo::imagehost
