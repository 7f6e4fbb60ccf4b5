"""100 000 DHT queries (pings and lookups of random info hashes, each from a random node id) from
200 source ports within a few seconds, against velbrook-cli while it downloads a torrent from a
libtorrent seeder through a tracker: Velbrook answers no more than its rate allows, its memory
grows by less than GROWTH, the download moves on during the flood and ends with every byte equal,
and a query sent after the flood is answered.

Usage: dht_flood_test.py PATH/TO/velbrook-cli
"""
import os
import select
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dht_swarm  # noqa: E402
import harness  # noqa: E402

import libtorrent as lt  # noqa: E402

FLOOD = 100_000
SOCKETS = 200
BATCH, PACE = 1000, 0.04  # 25 000 queries a second
# Every query comes from 127.0.0.1, so one address's share of the answers applies: 50 a second
# after a burst of one second's worth, and half a second more for the node's clock, which it
# reads once per turn of its loop.
SHARE = 50
GROWTH = 10 << 20
SIZE = 8 << 20
SPEED = 512  # KiB/s: the download lasts about 16 s, the flood about 4 s


def query(number, name):
    args = {b"id": os.urandom(20)}
    if name == b"get_peers":
        args[b"info_hash"] = os.urandom(20)
    return lt.bencode({b"t": number.to_bytes(4, "big"), b"y": b"q", b"q": name, b"a": args})


def memory(pid, field):
    """VmRSS or VmHWM of the process, in bytes."""
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))


def flood(port):
    """Sends the flood to 127.0.0.1:port, then a ping from another socket until it is answered: by
    then every query of the flood that got through has been handled. Returns the answers to the
    flood and the seconds from its first query to the answer to the ping."""
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(SOCKETS)]
    poller = select.epoll()
    for s in socks:
        s.bind(("127.0.0.1", 0))
        s.setblocking(False)
        poller.register(s.fileno(), select.EPOLLIN)
    by_fd = {s.fileno(): s for s in socks}
    answers = 0

    def drain():
        nonlocal answers
        for fd, _ in poller.poll(0):
            while True:
                try:
                    message = dht_swarm.decode(by_fd[fd].recv(65536)) or {}
                except BlockingIOError:
                    break
                answers += message.get(b"y") in (b"r", b"e")  # not its own queries

    start = time.monotonic()
    for at in range(0, FLOOD, BATCH):
        for number in range(at, at + BATCH):
            socks[number % SOCKETS].sendto(query(number, b"get_peers" if number % 2 else b"ping"),
                                           ("127.0.0.1", port))
        drain()
        time.sleep(max(0.0, start + (at + BATCH) / BATCH * PACE - time.monotonic()))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        probe.settimeout(0.25)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            probe.sendto(query(FLOOD, b"ping"), ("127.0.0.1", port))
            try:
                if (dht_swarm.decode(probe.recv(65536)) or {}).get(b"y") == b"r":
                    break
            except socket.timeout:
                drain()
        else:
            raise TimeoutError("no answer after the flood")
        elapsed = time.monotonic() - start
    drain()
    for s in socks:
        s.close()
    return answers, elapsed


def main(procs, top):
    # ASan keeps freed memory aside, up to 256 MiB by default, which would count as growth.
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=1"
    tracker = harness.Tracker(procs, top)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "moving.bin", SIZE)
    session, handle = harness.lt_seed(tracker, torrent, source, info_hash, harness.free_port())
    target = os.path.join(top, "target")
    dead_router = f"127.0.0.1:{harness.free_port()}"
    velbrook = harness.client(procs, top, "velbrook", torrent, target,
                              {"MaxDownloadSpeed": SPEED, "DhtRouters": dead_router}, ["--exit-when-done"])
    harness.wait_for(lambda: velbrook.poll() is not None or
                     (dht_swarm.udp_bound(velbrook.port) and harness.stored_bytes(target)), 60,
                     "the download under way")
    before, moved = memory(velbrook.pid, "VmRSS"), harness.stored_bytes(target)
    answers, elapsed = flood(velbrook.port)
    growth = memory(velbrook.pid, "VmHWM") - before
    moved = harness.stored_bytes(target) - moved
    allowed = int(SHARE * (elapsed + 1.5))
    code = harness.exit_code(velbrook, 120)
    same = harness.same_tree(source, target)
    report = (f"{answers} answers to {FLOOD} queries in {elapsed:.1f} s (at most {allowed}), memory "
              f"grew {growth >> 10} KiB, {moved >> 10} KiB downloaded meanwhile, exit {code}")
    if answers > allowed or growth >= GROWTH or moved <= 0 or code != 0 or not same:
        return harness.fail(top, report + ("" if same else ", the copy differs"), "velbrook.log")
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
