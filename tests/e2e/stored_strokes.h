#pragma once

#include "platform/qt/qt_http_exchange.h"

#include <map>
#include <string>

namespace velmo::testing {

// How many times each stroke of `user_prefix` is in the canvas, asked of the server itself.
inline std::map<std::string, int> storedStrokes(int server_port, const std::string& canvas_id,
                                                const std::string& user_prefix) {
    platform::qt::QtHttpExchange http;
    platform::HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(server_port) + "/";
    request.body = canvas_id + ": get_strokes: ";
    const auto answer = http.sendSynchronously(request);
    std::map<std::string, int> counts;
    if (!answer || answer->status.code != 200) {
        return counts;
    }
    size_t at = 0;
    while ((at = answer->body.find(" client_time:", at)) != std::string::npos) {
        const size_t end = answer->body.find(' ', at + 1);
        const std::string client_time = answer->body.substr(at, end - at);
        const size_t user = answer->body.find(" user_name:", end);
        if (user != std::string::npos &&
            answer->body.compare(user + 11, user_prefix.size(), user_prefix) == 0) {
            ++counts[client_time];
        }
        at = end;
    }
    return counts;
}

} // namespace velmo::testing
