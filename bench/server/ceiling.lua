-- nginx answering a fixed 200-byte body: the HTTP ceiling of this machine.
package.path = package.path .. ";" .. os.getenv("VELMO_BENCH_DIR") .. "/?.lua"
local report = require("report")
done = report.done
