#!/usr/bin/env python3
"""Users drawing with progress on the canvas server, as that many windows would: each drawer
sends the points of its stroke in progress RATE times a second on a keep-alive connection of
its own, one request in flight, two new points a request (60 points a second of drawing),
strokes of 120 points one after another. It sends no finished strokes: only what progress adds.

    progress_drawers.py PORT DRAWERS RATE SECONDS STATUS_FILE CANVAS [CANVAS...]

Drawer i draws on CANVAS[i % count]. At the end it writes one line to STATUS_FILE:
"requests N ok N refused N failed N sent_bytes N received_bytes N stroke_text_bytes N seconds S",
where stroke_text_bytes is what sending the finished stroke's text (so far) every 100 ms
instead would have cost over the same drawing."""
import asyncio
import sys
import time

port, drawers, rate, seconds = (int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]),
                                float(sys.argv[4]))
status_path, canvases = sys.argv[5], sys.argv[6:]
state = {"requests": 0, "ok": 0, "refused": 0, "failed": 0, "sent_bytes": 0,
         "received_bytes": 0, "stroke_text_bytes": 0}
STROKE_POINTS = 120
PEN = "pen_properties:color=ff2060a0,width=2999,density=128"


def point(i, k):
    return f"{10000 + (k * 997 + i * 131) % 300000}-{20000 + (k * 1499 + i * 71) % 440000}"


def stroke_text(user, stroke, points):
    # The append's stroke text, as the finished stroke would carry it with its points so far.
    return (f" client_time:{stroke} server_time:0 user_name:{user} {PEN} layer:1 points: "
            + " ".join(points))


async def read_reply(reader):
    head = await reader.readuntil(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    body = await reader.readexactly(length) if length else b""
    return head, len(head) + len(body)


async def draw(which, deadline):
    canvas = canvases[which % len(canvases)]
    user = f"progress{which}@20101201100000001"
    key = f"{which + 1:032x}"
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    period = 1.0 / rate
    k = 0
    stroke = int(time.time() * 1000)
    points = []
    last_text_at = time.monotonic()
    while time.monotonic() < deadline:
        started = time.monotonic()
        if len(points) >= STROKE_POINTS:
            stroke, points = int(time.time() * 1000), []
        new = [point(which, k), point(which, k + 1)]
        k += 2
        start = len(points)
        points += new
        now_ms = int(time.time() * 1000)
        body = (f"{canvas}: progress: user_name:{user} stroke:{stroke} from:{start} at:{now_ms} "
                f"{PEN} layer:1 points: " + " ".join(new)).encode()
        request = (f"POST / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                   f"Content-Type: text/plain; charset=utf-8\r\nContent-Length: {len(body)}\r\n"
                   f"Velmorastra-Key: {user} {key}\r\n\r\n").encode() + body
        try:
            writer.write(request)
            await writer.drain()
            head, size = await read_reply(reader)
        except (OSError, asyncio.IncompleteReadError):
            state["failed"] += 1
            return
        state["requests"] += 1
        state["sent_bytes"] += len(request)
        state["received_bytes"] += size
        status = head.split(b" ", 2)[1]
        state["ok" if status.startswith(b"2") else "refused"] += 1
        while time.monotonic() - last_text_at >= 0.1:
            last_text_at += 0.1
            state["stroke_text_bytes"] += len(stroke_text(user, stroke, points))
        await asyncio.sleep(max(0.0, period - (time.monotonic() - started)))
    writer.close()


async def main():
    started = time.monotonic()
    deadline = started + seconds
    await asyncio.gather(*(draw(i, deadline) for i in range(drawers)), return_exceptions=True)
    state["seconds"] = round(time.monotonic() - started, 2)
    with open(status_path, "w") as status:
        status.write(" ".join(f"{k} {v}" for k, v in state.items()) + "\n")


asyncio.run(main())
