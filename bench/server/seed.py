#!/usr/bin/env python3
"""Seeds the poll canvas with strokes and polls the bench users until nothing is left for
them, over one keep-alive connection to the server on loopback."""
import http.client
import sys

port, canvas, strokes, users = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)


def command(body, headers=None):
    connection.request("POST", "/", body=body.encode(), headers=headers or {})
    response = connection.getresponse()
    data = response.read()
    if response.status != 200:
        sys.exit(f"seeding failed: {response.status} {data[:200]!r}")
    return data


for i in range(strokes):
    points = " ".join(f"{1000 + (i * 37 + k * 400) % 318000}-{1000 + (i * 53 + k * 700) % 478000}"
                      for k in range(8))
    command(f"{canvas}: append:  client_time:{1291201000000 + i} server_time:0 "
            f"user_name:seeder@20101201100000001 pen_properties:color=ff000000,width=2999,"
            f"density=128 layer:0 points: {points}")
for user in range(users):
    poll = (f"{canvas}: append:  client_time:1291201239999 server_time:0 "
            f"user_name:bench{user}@20101201100000001 pen_properties:color=ff000000,"
            f"width=2999,density=128 layer:0 points:")
    # The key the poll run sends for this user: its first poll binds it.
    key = {"Velmorastra-Key": f"bench{user}@20101201100000001 {user:032x}"}
    while command(poll, key):
        pass
print(f"seeded {strokes} strokes, warmed {users} users")
