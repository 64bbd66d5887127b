-- Clients drawing: every request appends a new 8-point stroke (a distinct client time per
-- request) and reads back what is new for its user. Requests go round-robin over 50 canvases,
-- one drawing user each, so a reply carries the user's echo (and whatever that user's other
-- requests in flight added), not a backlog: the figure is the cost of a durable append.
package.path = package.path .. ";" .. os.getenv("VELMO_BENCH_DIR") .. "/?.lua"
local report = require("report")

local canvas = os.getenv("VELMO_BENCH_APPEND_CANVAS")
local canvases = 50
local threads = {}
local counter = 0

function setup(thread)
   thread:set("thread_id", #threads)
   table.insert(threads, thread)
end

function request()
   counter = counter + 1
   local points = ""
   for i = 1, 8 do
      points = points .. " " .. (10000 + i * 1000 + counter % 97) .. "-" .. (20000 + i * 1500)
   end
   local which = (counter + thread_id * 7) % canvases
   local body = canvas .. which .. ": append:  client_time:" .. (1291201239999 + counter)
      .. " server_time:0 user_name:drawer" .. thread_id .. "x" .. which .. "@20101201100000001"
      .. " pen_properties:color=ff2060a0,width=2999,density=128 layer:1 points:" .. points
   return wrk.format("POST", "/", nil, body)
end

done = report.done
