-- Clients drawing: every request appends a new 8-point stroke (a distinct client time per
-- request) and reads back what is new for its user. Requests go round-robin over 50 canvases,
-- one drawing user each, so a reply carries the user's echo (and whatever that user's other
-- requests in flight added), not a backlog: the figure is the cost of a durable append.
-- Everything but the client time is built once, so that wrk's own work per request stays
-- small next to the server's on a machine they share.
package.path = package.path .. ";" .. os.getenv("VELMO_BENCH_DIR") .. "/?.lua"
local report = require("report")

local canvas = os.getenv("VELMO_BENCH_APPEND_CANVAS")
-- Runs after the first on one database draw at other client times, or they would be resends.
local first_time = 1291201239999 + tonumber(os.getenv("VELMO_BENCH_ROUND") or "0") * 1000000000
local canvases = 50
local shapes = 97
local threads = {}
local counter = 0
local heads = {}
local tails = {}
local keys = {}

function setup(thread)
   thread:set("thread_id", #threads)
   table.insert(threads, thread)
end

function init(args)
   for which = 0, canvases - 1 do
      -- Each drawing user proves itself with its key, as the app does; the first append binds it.
      local user = "drawer" .. thread_id .. "x" .. which .. "@20101201100000001"
      keys[which] = { ["Velmorastra-Key"] = user .. " "
         .. string.format("%016x%016x", thread_id + 1, which + 1) }
      heads[which] = canvas .. which .. ": append:  client_time:"
      tails[which] = " server_time:0 user_name:drawer" .. thread_id .. "x" .. which
         .. "@20101201100000001 pen_properties:color=ff2060a0,width=2999,density=128 layer:1"
         .. " points:"
   end
   for shape = 0, shapes - 1 do
      local points = {}
      for i = 1, 8 do
         points[i] = (10000 + i * 1000 + shape) .. "-" .. (20000 + i * 1500)
      end
      tails[canvases + shape] = " " .. table.concat(points, " ")
   end
end

function request()
   counter = counter + 1
   local which = (counter + thread_id * 7) % canvases
   local body = heads[which] .. (first_time + counter) .. tails[which]
      .. tails[canvases + counter % shapes]
   return wrk.format("POST", "/", keys[which], body)
end

done = report.done
