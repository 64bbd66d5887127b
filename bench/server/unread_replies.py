#!/usr/bin/env python3
"""Clients that ask for a whole large canvas and never read the answer, against the server on
127.0.0.1, and the server's resident memory meanwhile.

    unread_replies.py seed PORT CANVAS MIB [POINTS,POINTS...]
    unread_replies.py measure PORT PID CANVAS CONNECTIONS

`seed` appends strokes of mixed sizes (points each drawn from the list) until the canvas holds about MIB MiB of stroke text (the
server must run without limits). `measure` opens CONNECTIONS connections, each from its own
loopback address (127.0.0.2, 127.0.0.3, ...: Linux routes all of 127/8 to lo), sends get_strokes
on each and reads nothing; prints the server's VmRSS and VmHWM (KiB) before, once it stops
growing, and after the clients are gone; the reply budget the server counts in use; and the
time one client takes to read the whole canvas, alone, before."""
import http.client
import random
import socket
import sys
import threading
import time


def status(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values["VmRSS"], values["VmHWM"]


def metric(port, name):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request("GET", "/metrics")
    for line in connection.getresponse().read().decode().splitlines():
        if line.startswith(name + " "):
            return int(float(line.split()[1]))
    return -1


def seed(port, canvas, mib, choices):
    goal = mib << 20
    rng = random.Random(24)
    # Mostly ordinary strokes of tens to hundreds of points, some long ones: a canvas many
    # people drew on for a long time.
    sizes = []
    total = 0
    while total < goal:
        points = rng.choice(choices)
        sizes.append(points)
        total += points * 14 + 160
    lock = threading.Lock()
    next_index = [0]
    failures = []

    def writer():
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        while True:
            with lock:
                i = next_index[0]
                next_index[0] += 1
            if i >= len(sizes) or failures:
                return
            points = " ".join(f"{100000 + (i * 37 + k * 4001) % 200000}-"
                              f"{100000 + (i * 53 + k * 7001) % 300000}" for k in range(sizes[i]))
            body = (f"{canvas}: append:  client_time:{1291201000000 + i} server_time:0 "
                    f"user_name:painter{i % 50}@20101201100000001 pen_properties:color=ff203040,"
                    f"width=1999,density=128 layer:{i % 3} points: {points}")
            connection.request("POST", "/", body=body.encode())
            response = connection.getresponse()
            response.read()
            if response.status != 200:
                failures.append(response.status)

    threads = [threading.Thread(target=writer) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        sys.exit(f"seeding failed: {failures[:5]}")
    print(f"seeded {len(sizes)} strokes")


def read_whole_canvas(port, canvas):
    """The canvas's size in bytes, and the fastest of three reads of it in ms."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    fastest = None
    for _ in range(3):
        started = time.monotonic()
        connection.request("POST", "/", body=f"{canvas}: get_strokes: ".encode())
        size = len(connection.getresponse().read())
        ms = (time.monotonic() - started) * 1000
        fastest = ms if fastest is None else min(fastest, ms)
    return size, fastest


def measure(port, pid, canvas, count):
    size, read_ms = read_whole_canvas(port, canvas)
    time.sleep(1)
    rss0, hwm0 = status(pid)
    request = (f"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
               f"{len(canvas) + 15}\r\n\r\n{canvas}: get_strokes: ").encode()
    sockets = []
    for i in range(count):
        s = socket.socket()
        s.bind((f"127.0.{2 + i // 250}.{2 + i % 250}", 0))
        s.connect(("127.0.0.1", port))
        s.sendall(request)
        sockets.append(s)
    # Until the server's memory stops growing: 3 s without a new high, at most 60 s.
    started = time.monotonic()
    highest, last_rise = 0, time.monotonic()
    while time.monotonic() - last_rise < 3 and time.monotonic() - started < 60:
        time.sleep(0.25)
        rss, _ = status(pid)
        if rss > highest:
            highest, last_rise = rss, time.monotonic()
    rss1, hwm1 = status(pid)
    held = metric(port, "velmorastra_reply_budget_used_bytes")
    limit = metric(port, "velmorastra_reply_budget_limit_bytes")
    answered = {}
    for s in sockets:
        s.settimeout(0.5)
        try:
            head = s.recv(16, socket.MSG_PEEK)
            code = head.split(b" ")[1].decode() if head.startswith(b"HTTP/1.1 ") else "?"
        except OSError:
            code = "none"
        answered[code] = answered.get(code, 0) + 1
    for s in sockets:
        s.close()
    time.sleep(3)
    rss2, hwm2 = status(pid)
    held_after = metric(port, "velmorastra_reply_budget_used_bytes")
    kinds = ",".join(f"{k}:{v}" for k, v in sorted(answered.items()))
    print(f"RESULT canvas_bytes={size} connections={count} answers={kinds} "
          f"budget_limit_kib={limit // 1024} budget_held_kib={held // 1024} "
          f"rss_before_kib={rss0} rss_unread_kib={rss1} rss_closed_kib={rss2} "
          f"hwm_before_kib={hwm0} hwm_kib={hwm2} growth_kib={rss1 - rss0} "
          f"budget_held_after_kib={held_after // 1024} whole_read_ms={read_ms:.0f}")


if __name__ == "__main__":
    if sys.argv[1] == "seed":
        choices = sys.argv[5] if len(sys.argv) > 5 else "40,80,150,300,600,1200,5000"
        seed(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), [int(p) for p in choices.split(",")])
    else:
        measure(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], int(sys.argv[5]))
