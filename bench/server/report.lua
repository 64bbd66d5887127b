-- Shared by every scenario: one machine-readable line at the end of a wrk run.
local report = {}

function report.done(summary, latency, requests)
   local seconds = summary.duration / 1e6
   local errors = summary.errors.connect + summary.errors.read + summary.errors.write
      + summary.errors.status + summary.errors.timeout
   io.write(string.format(
      "RESULT requests=%d seconds=%.2f rps=%.0f p50_ms=%.3f p90_ms=%.3f p99_ms=%.3f max_ms=%.3f errors=%d non2xx=%d\n",
      summary.requests, seconds, summary.requests / seconds,
      latency:percentile(50) / 1000, latency:percentile(90) / 1000,
      latency:percentile(99) / 1000, latency.max / 1000, errors, summary.errors.status))
end

return report
