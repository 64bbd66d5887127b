-- The idle client's poll every few seconds: an append without points, on a canvas whose
-- strokes these users have already received, so every reply is empty. The user names are
-- the ones the warm-up polled until nothing was left, each with the key it bound then, as
-- the app sends one with every command.
package.path = package.path .. ";" .. os.getenv("VELMO_BENCH_DIR") .. "/?.lua"
local report = require("report")

local canvas = os.getenv("VELMO_BENCH_CANVAS")
local users = tonumber(os.getenv("VELMO_BENCH_USERS"))
local next_user = 0
local threads = {}

function setup(thread)
   thread:set("first_user", #threads)
   table.insert(threads, thread)
end

function init(args)
   next_user = first_user
end

function request()
   next_user = (next_user + 1) % users
   local body = canvas .. ": append:  client_time:1291201239999 server_time:0 user_name:bench"
      .. next_user .. "@20101201100000001 pen_properties:color=ff000000,width=2999,density=128"
      .. " layer:0 points:"
   local user = "bench" .. next_user .. "@20101201100000001"
   local key = { ["Velmorastra-Key"] = user .. " " .. string.format("%032x", next_user) }
   return wrk.format("POST", "/", key, body)
end

done = report.done
