#!/usr/bin/env python3
"""A loopback HTTP proxy that counts what goes through it, by kind of request, for the live
benchmarks: the bytes of progress commands and their answers, of appends (and the stroke
texts they carry), and of event streams.

    counting_proxy.py LISTEN_PORT SERVER_PORT STATUS_FILE

Forwards every connection on 127.0.0.1:LISTEN_PORT to 127.0.0.1:SERVER_PORT unchanged. Until
SIGTERM, writes one line a second to STATUS_FILE: "progress_requests N progress_sent B
progress_answers B appends N append_text B append_heads B stream_bytes B" (requests as sent,
with their heads; answers with theirs; the text after "append: " of each append that carries
points, and the part of it before the points)."""
import asyncio
import os
import signal
import sys

listen_port, server_port, status_path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
state = {"progress_requests": 0, "progress_sent": 0, "progress_answers": 0, "appends": 0,
         "append_text": 0, "append_heads": 0, "stream_bytes": 0}


def take_request(buffer):
    """(head, body, rest) of the first whole request in buffer, or None."""
    end = buffer.find(b"\r\n\r\n")
    if end < 0:
        return None
    head = buffer[:end + 4]
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    if len(buffer) < end + 4 + length:
        return None
    return head, buffer[end + 4:end + 4 + length], buffer[end + 4 + length:]


async def pipe_up(reader, writer, kinds):
    buffer = b""
    while True:
        data = await reader.read(65536)
        if not data:
            break
        writer.write(data)
        buffer += data
        while True:
            taken = take_request(buffer)
            if taken is None:
                break
            head, body, buffer = taken
            if head.startswith(b"GET /events/"):
                kinds.append("stream")
            elif b": progress: " in body:
                kinds.append("progress")
                state["progress_requests"] += 1
                state["progress_sent"] += len(head) + len(body)
            else:
                kinds.append("other")
                if b": append: " in body and b" points: " in body:
                    state["appends"] += 1
                    text = body[body.index(b": append: ") + 10:]
                    state["append_text"] += len(text)
                    state["append_heads"] += text.index(b" points: ") + 9
    writer.close()


async def pipe_down(reader, writer, kinds):
    # Answers come in the order of the requests; only their sizes are wanted.
    buffer = b""
    while True:
        data = await reader.read(65536)
        if not data:
            break
        writer.write(data)
        if kinds and kinds[0] == "stream":
            state["stream_bytes"] += len(data)
            continue
        buffer += data
        while kinds and kinds[0] != "stream":
            taken = take_request(buffer)
            if taken is None:
                break
            head, body, buffer = taken
            if kinds.pop(0) == "progress":
                state["progress_answers"] += len(head) + len(body)
        if kinds and kinds[0] == "stream":
            state["stream_bytes"] += len(buffer)
            buffer = b""
    writer.close()


async def serve(client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", server_port)
    except OSError:
        client_writer.close()
        return
    kinds = []
    await asyncio.gather(pipe_up(client_reader, server_writer, kinds),
                         pipe_down(server_reader, client_writer, kinds),
                         return_exceptions=True)


async def main():
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    server = await asyncio.start_server(serve, "127.0.0.1", listen_port)
    while not stop.is_set():
        with open(status_path + ".new", "w") as status:
            status.write(" ".join(f"{k} {v}" for k, v in state.items()) + "\n")
        os.replace(status_path + ".new", status_path)
        try:
            await asyncio.wait_for(stop.wait(), 1.0)
        except asyncio.TimeoutError:
            pass
    server.close()


asyncio.run(main())
