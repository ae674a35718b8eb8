#!/usr/bin/env python3
"""The measuring side of bench_admitd.sh: plays portald on admitd's Kernel channel from the
router's namespace, sends a UDP stream from the client's namespace and receives it in the
server's, all in one process (each socket is made in its namespace) on one monotonic clock."""
import argparse
import ctypes
import os
import select
import socket
import statistics
import struct
import subprocess
import time

CLONE_NEWNET = 0x40000000
libc = ctypes.CDLL(None, use_errno=True)


def enter(ns):
    fd = os.open(f"/run/netns/{ns}", os.O_RDONLY)
    if libc.setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns " + ns)
    os.close(fd)


def kmsg(command, addr="0.0.0.0", kind=0, idle=0, total=0):
    b = bytearray(360)
    struct.pack_into("=I", b, 0, 376)
    struct.pack_into("=I", b, 12, os.getpid())
    struct.pack_into("=II", b, 16, 360, command)
    if command == 7:
        struct.pack_into("=II", b, 24, idle, total)
    else:
        b[24:28] = socket.inet_aton(addr)
        struct.pack_into("=I", b, 28, kind)
    return bytes(b)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def settle(pid):
    """Waits until admitd's CPU time stops growing (all queued messages handled)."""
    last = cpu_seconds(pid)
    while True:
        time.sleep(0.2)
        now = cpu_seconds(pid)
        if now == last:
            return now
        last = now


def main():
    ap = argparse.ArgumentParser()
    for name in ("router", "client", "server", "socket", "client-addr", "server-addr", "table"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--admitd-pid", type=int, required=True)
    ap.add_argument("--clients", type=int, default=10000)
    ap.add_argument("--rounds", type=int, default=20)
    a = ap.parse_args()

    home = os.open("/proc/self/ns/net", os.O_RDONLY)
    enter(a.router)
    ch = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    ch.bind(b"")  # autobound: the events come back here
    enter(a.server)
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind((a.server_addr, 9999))
    enter(a.client)
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    libc.setns(home, CLONE_NEWNET)

    send = lambda m: ch.sendto(m, a.socket)
    send(kmsg(6))
    send(kmsg(7, idle=1800, total=0))

    # Filling: CPU time per permit for the first and the last thousand.
    pid = a.admitd_pid
    batch = 1000
    costs = []
    done = 0
    settle(pid)
    while done < a.clients:
        n = min(batch, a.clients - done)
        before = cpu_seconds(pid)
        for i in range(done, done + n):
            hi, lo = divmod(i + 1, 256)
            send(kmsg(0, f"10.80.{hi}.{lo}", 2))
        after = settle(pid)
        costs.append((done, n, (after - before) / n))
        done += n
    listed = subprocess.run(["ip", "netns", "exec", a.router, "nft", "list", "set", "inet",
                             a.table, "clients"], capture_output=True, text=True).stdout
    bound = listed.count(" . 02:80:")

    # The stream: one packet every 200 microseconds from a child process.
    interval = 0.0002
    child = os.fork()
    if child == 0:
        seq = 0
        while True:
            try:
                tx.sendto(struct.pack("=Qq", seq, time.monotonic_ns()), (a.server_addr, 9999))
            except OSError:
                pass
            seq += 1
            time.sleep(interval)
    permit_ms, cut_ms = [], []
    try:
        for _ in range(a.rounds):
            # Nothing passes before the permit.
            while select.select([rx], [], [], 0.3)[0]:
                rx.recv(64)
            t0 = time.monotonic_ns()
            send(kmsg(0, a.client_addr, 2))
            if not select.select([rx], [], [], 5)[0]:
                raise SystemExit("no packet passed within 5 s of the permit")
            t1 = time.monotonic_ns()
            rx.recv(64)
            permit_ms.append((t1 - t0) / 1e6)
            time.sleep(0.2)
            while select.select([rx], [], [], 0)[0]:
                rx.recv(64)
            t0 = time.monotonic_ns()
            send(kmsg(1, a.client_addr, 2))
            last = None
            while select.select([rx], [], [], 0.3)[0]:
                _, stamp = struct.unpack("=Qq", rx.recv(64))
                last = stamp
            # The first dropped packet is the one sent after the last that passed.
            cut_ms.append(max(0, (last - t0) / 1e6 + interval * 1000) if last else 0)
    finally:
        os.kill(child, 9)
        os.waitpid(child, 0)

    def row(name, v):
        v = sorted(v)
        print(f"{name:34s} median {statistics.median(v):7.2f} ms  p90 {v[int(len(v) * 0.9) - 1]:7.2f} ms"
              f"  max {v[-1]:7.2f} ms  ({len(v)} rounds)")

    print(f"admitted clients: {a.clients} ({bound} bound to their MAC address)")
    for first, n, cpu in (costs[0], costs[-1]):
        print(f"permits {first + 1:5d}-{first + n:5d}: {cpu * 1e6:7.0f} us of admitd's CPU time each")
    row("permit -> first forwarded packet", permit_ms)
    row("cut -> first dropped packet", cut_ms)


if __name__ == "__main__":
    main()
