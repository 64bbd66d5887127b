#!/usr/bin/env python3
"""Renders of one canvas through a running server, over one keep-alive connection on loopback:
for /render (320 x 480) and /layers (1920 x 1080) the first answer, 200 repeated ones, 200 with
If-None-Match, and 100 after one more hand-drawn stroke each (the append not timed). Run it on
a fresh server, as the first answers are the cold ones, and with --no-limits, as it appends.
    bench/server/render_e2e.py PORT CANVAS_ID"""
import http.client
import random
import sys
import time

port, canvas = int(sys.argv[1]), sys.argv[2]
connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
random.seed(1)
UNITS = 320000 / 600  # canvas units a pixel of a 600 x 800 window, as HandStrokes draws


def get(path, headers=None):
    started = time.perf_counter()
    connection.request("GET", path, headers=headers or {})
    response = connection.getresponse()
    body = response.read()
    if response.status not in (200, 304):
        sys.exit(f"{path}: {response.status} {body[:200]!r}")
    return time.perf_counter() - started, len(body), response.getheader("ETag")


def append(client_time):
    # 30 to 60 points along a smooth path of steps up to 15 px, 2 to 40 px wide, any layer.
    x, y, dx, dy, points = random.uniform(0, 600), random.uniform(0, 800), 0.0, 0.0, []
    for _ in range(random.randint(30, 60)):
        points.append(f"{int(x * UNITS)}-{int(y * UNITS)}")
        dx = 0.7 * dx + 0.3 * random.uniform(-15, 15)
        dy = 0.7 * dy + 0.3 * random.uniform(-15, 15)
        x, y = x + dx, y + dy
    body = (f"{canvas}: append:  client_time:{client_time} server_time:0 "
            f"user_name:e2e@20101201100000001 pen_properties:color=ff203040,"
            f"width={int(random.randint(2, 40) * UNITS)},density=200 "
            f"layer:{client_time % 3} points: {' '.join(points)}")
    connection.request("POST", "/", body=body.encode())
    response = connection.getresponse()
    response.read()
    if response.status != 200:
        sys.exit(f"append: {response.status}")


def ms(sorted_times, fraction):
    return sorted_times[int(fraction * (len(sorted_times) - 1))] * 1e3


client_time = int(time.time() * 1000)
for path in (f"/render/{canvas}.png", f"/layers/{canvas}.png?w=1920&h=1080"):
    first, size, _ = get(path)
    repeated = sorted(get(path)[0] for _ in range(200))
    etag = get(path)[2]
    not_modified = sorted(get(path, {"If-None-Match": etag})[0] for _ in range(200))
    after_one = []
    for _ in range(100):
        client_time += 1
        append(client_time)
        after_one.append(get(path)[0])
    after_one.sort()
    print(f"{path}: first {first * 1e3:.0f} ms ({size} bytes); repeated median "
          f"{ms(repeated, 0.5):.3f} ms, p99 {ms(repeated, 0.99):.3f}; 304 median "
          f"{ms(not_modified, 0.5):.3f} ms; after one more stroke median {ms(after_one, 0.5):.3f} "
          f"ms, p99 {ms(after_one, 0.99):.3f}")
