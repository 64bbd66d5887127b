#!/usr/bin/env python3
"""Holds event streams open on the canvas server, as that many live clients would, and reads
everything they send.

    stream_holder.py PORT COUNT STATUS_FILE CANVAS [CANVAS...]

Opens COUNT streams on 127.0.0.1:PORT, spread round-robin over the canvases, and keeps them
until SIGTERM or SIGINT. Every second it writes "open N events E closed C refused R bytes B" to
STATUS_FILE: streams answered 200 and still open, events received in all, streams the server
ended, streams it refused, and the bytes of every stream's body received in all.

One thread on epoll with plain reads, so that tens of thousands of events a second cost this
reader less than the server that sends them."""
import errno
import os
import selectors
import signal
import socket
import sys
import time
import urllib.parse

port, count, status_path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
canvases = sys.argv[4:]
state = {"open": 0, "events": 0, "closed": 0, "refused": 0, "bytes": 0}
stop = False


def stopped(*_):
    global stop
    stop = True


signal.signal(signal.SIGTERM, stopped)
signal.signal(signal.SIGINT, stopped)


def write_status():
    with open(status_path + ".new", "w") as status:
        status.write("open {open} events {events} closed {closed} refused {refused}"
                     " bytes {bytes}\n".format(**state))
    os.replace(status_path + ".new", status_path)


selector = selectors.DefaultSelector()
# Per socket: the response head still being read (bytes), or None once the stream is open.
heads = {}


def connect(canvas):
    sock = socket.socket()
    try:
        sock.connect(("127.0.0.1", port))
    except OSError:
        state["refused"] += 1
        sock.close()
        return
    path = "/events/" + urllib.parse.quote(canvas, safe="@")
    sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Accept: text/event-stream\r\n\r\n".encode())
    sock.setblocking(False)
    heads[sock] = b""
    selector.register(sock, selectors.EVENT_READ)


def close(sock, refused):
    selector.unregister(sock)
    was_open = heads.pop(sock) is None
    sock.close()
    if was_open:
        state["open"] -= 1
        state["closed"] += 1
    elif refused:
        state["refused"] += 1


def readable(sock):
    try:
        data = sock.recv(65536)
    except OSError as error:
        if error.errno in (errno.EAGAIN, errno.EWOULDBLOCK):
            return
        data = b""
    if not data:
        close(sock, True)
        return
    head = heads[sock]
    if head is not None:
        head += data
        end = head.find(b"\r\n\r\n")
        if end < 0:
            heads[sock] = head
            return
        if not head.startswith(b"HTTP/1.1 200"):
            close(sock, True)
            return
        heads[sock] = None
        state["open"] += 1
        data = head[end + 4:]
    # Chunk framing never holds "event:", so counting it counts events.
    state["events"] += data.count(b"event:")
    state["bytes"] += len(data)


opened = 0
next_status = time.monotonic()
while not stop:
    if opened < count:
        # No burst of a thousand connections at once: at most 100 wait for their answer.
        waiting = sum(1 for head in heads.values() if head is not None)
        for _ in range(min(100 - waiting, count - opened)):
            connect(canvases[opened % len(canvases)])
            opened += 1
    for key, _ in selector.select(timeout=0.05 if opened < count else 0.5):
        readable(key.fileobj)
    if time.monotonic() >= next_status:
        write_status()
        next_status += 1.0
# The last word is the state before the holder closed its own streams.
write_status()
for sock in list(heads):
    sock.close()
