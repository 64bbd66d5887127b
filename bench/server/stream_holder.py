#!/usr/bin/env python3
"""Holds event streams open on the canvas server, as that many live clients would, and reads
everything they send.

    stream_holder.py PORT COUNT STATUS_FILE CANVAS [CANVAS...]

Opens COUNT streams on 127.0.0.1:PORT, spread round-robin over the canvases, and keeps them
until SIGTERM or SIGINT. Every second it writes "open N events E closed C refused R" to
STATUS_FILE: streams answered 200 and still open, events received in all, streams the server
ended, streams it refused."""
import asyncio
import signal
import sys
import urllib.parse

port, count, status_path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
canvases = sys.argv[4:]
state = {"open": 0, "events": 0, "closed": 0, "refused": 0}


async def hold(canvas):
    try:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        path = "/events/" + urllib.parse.quote(canvas, safe="@")
        writer.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Accept: text/event-stream\r\n\r\n".encode())
        head = await reader.readuntil(b"\r\n\r\n")
    except (OSError, asyncio.IncompleteReadError):
        state["refused"] += 1
        return
    if not head.startswith(b"HTTP/1.1 200"):
        state["refused"] += 1
        writer.close()
        return
    state["open"] += 1
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            # Chunk framing never holds "event:", so counting it counts events.
            state["events"] += data.count(b"event:")
    except (ConnectionError, asyncio.CancelledError):
        pass
    state["open"] -= 1
    state["closed"] += 1
    writer.close()


def write_status():
    with open(status_path, "w") as status:
        status.write("open {open} events {events} closed {closed} refused {refused}\n"
                     .format(**state))


async def report(stop):
    while not stop.is_set():
        write_status()
        try:
            await asyncio.wait_for(stop.wait(), 1.0)
        except asyncio.TimeoutError:
            pass


async def main():
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    reporter = asyncio.create_task(report(stop))
    streams = []
    for i in range(count):
        streams.append(asyncio.create_task(hold(canvases[i % len(canvases)])))
        if i % 100 == 99:
            await asyncio.sleep(0.05)  # no burst of a thousand connections at once
    await stop.wait()
    await reporter
    # The last word is the state before the holder closed its own streams.
    write_status()
    for stream in streams:
        stream.cancel()
    await asyncio.gather(*streams, return_exceptions=True)


asyncio.run(main())
