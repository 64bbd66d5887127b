#include "http/metrics_route.h"

namespace velmo::server {

bool isMetricsTarget(std::string_view target) {
    return target.substr(0, target.find('?')) == "/metrics";
}

Response metricsResponse(std::string_view method, bool allowed, const ServerMetrics& metrics,
                         const MetricsGauges& gauges) {
    if (!allowed) {
        return textResponse(403, "metrics are not for this address\n");
    }
    if (method != "GET" && method != "HEAD") {
        return textResponse(405, "method not allowed\n");
    }
    Response response;
    response.content_type = MetricsContentType;
    response.body = metrics.text(gauges);
    // A scrape reads the counters as they are now.
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

} // namespace velmo::server
