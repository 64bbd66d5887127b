#pragma once

#include "handler/http_types.h"
#include "handler/server_metrics.h"

#include <string_view>

namespace velmo::server {

// The Prometheus text format's content type.
constexpr std::string_view MetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// GET /metrics, without a query or with one.
bool isMetricsTarget(std::string_view target);

// The answer to a request on the metrics route: 403 when `allowed` is false (MetricsAccess, so
// nobody learns more than that the route exists), 405 for a method other than GET or HEAD, else
// the registry's text with the gauges the server read for it.
Response metricsResponse(std::string_view method, bool allowed, const ServerMetrics& metrics,
                         const MetricsGauges& gauges);

} // namespace velmo::server
