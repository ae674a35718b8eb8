#!/usr/bin/env python3
"""A tiny authoritative DNS server for tests in network namespaces.

dns_server.py ADDR PORT ZONE_FILE: answers A queries over UDP from ZONE_FILE, read anew for
every query, one "NAME TTL ADDR..." a line; other names get NXDOMAIN, other types no answer
records. Runs until it is sent SIGTERM.
"""
import socket
import struct
import sys


def read_zone(path):
    zone = {}
    try:
        with open(path) as f:
            for line in f:
                words = line.split()
                if len(words) >= 3:
                    zone[words[0].lower().rstrip(".")] = (int(words[1]), words[2:])
    except OSError:
        pass
    return zone


def answer(query, zone):
    if len(query) < 12:
        return None
    qid, flags, qdcount = struct.unpack("!HHH", query[:6])
    if qdcount != 1:
        return None
    labels, i = [], 12
    while i < len(query) and query[i] != 0:
        n = query[i]
        labels.append(query[i + 1:i + 1 + n].decode("ascii", "replace"))
        i += 1 + n
    question = query[12:i + 5]
    qtype = struct.unpack("!H", query[i + 1:i + 3])[0] if i + 3 <= len(query) else 0
    name = ".".join(labels).lower()
    found = zone.get(name)
    rcode = 0 if found else 3
    records = b""
    count = 0
    if found and qtype == 1:
        ttl, addrs = found
        for a in addrs:
            records += struct.pack("!HHHIH", 0xC00C, 1, 1, ttl, 4) + socket.inet_aton(a)
            count += 1
    head = struct.pack("!HHHHHH", qid, 0x8400 | (flags & 0x0100) | rcode, 1, count, 0, 0)
    return head + question + records


def main():
    addr, port, zone_file = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, port))
    while True:
        query, peer = s.recvfrom(512)
        reply = answer(query, read_zone(zone_file))
        if reply:
            s.sendto(reply, peer)


if __name__ == "__main__":
    main()
