"""1 100 connections that never send a handshake, against velbrook-cli downloading under a limit of
1 024 open descriptors: the connections beyond what files and saves need are refused at once,
while the torrent keeps saving its status, opens its files and finishes with every byte right.

Usage: connection_flood_test.py PATH/TO/velbrook-cli
"""
import os
import resource
import select
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

LIMIT = 1024
FLOOD = 1100
SIZE = 2 << 20
RATE = 100  # KiB/s: the download lasts about 20 s, well within the 41 s an idle connection is kept


def limited_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (LIMIT, LIMIT))


def refused(conns):
    """How many of the connections the other side has closed."""
    poller = select.poll()
    for c in conns:
        poller.register(c, select.POLLIN)
    ready = {fd for fd, _ in poller.poll(0)}
    closed = 0
    for c in conns:
        if c.fileno() in ready:
            try:
                closed += c.recv(1, socket.MSG_PEEK) == b""
            except OSError:
                closed += 1
    return closed


def accept_queue(port):
    """Connections waiting for the listening socket on port to take them (a socket of both
    families is listed with the IPv6 ones)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        if not os.path.exists(table):
            continue
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[3] == "0A" and int(fields[1].split(":")[-1], 16) == port:  # LISTEN
                    return int(fields[4].split(":")[1], 16)
    return 0


def flood(port):
    """FLOOD connections to 127.0.0.1:port, a few at a time: the listening socket queues only
    five, and the system drops what comes beyond that instead of refusing it."""
    conns = []
    while len(conns) < FLOOD:
        for _ in range(min(4, FLOOD - len(conns))):
            conns.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        deadline = time.monotonic() + 30
        while accept_queue(port) and time.monotonic() < deadline:
            time.sleep(0.002)
    return conns


def main(procs, top):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < FLOOD + 200:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4 * FLOOD), hard))
    tracker = harness.Tracker(procs, top)
    source, torrent, info_hash = harness.source_torrent(
        top, tracker, "flood", {"a.bin": SIZE // 2 + 12_345, "sub/b.bin": SIZE // 2 - 12_345})
    harness.client(procs, top, "seeder", torrent, source)
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")

    target = os.path.join(top, "target")
    leecher = harness.client(procs, top, "leecher", torrent, target, {"MaxDownloadSpeed": RATE},
                             ["--exit-when-done"], preexec=limited_descriptors)
    harness.wait_for(lambda: leecher.poll() is not None or harness.port_open(leecher.port), 30,
                     "leecher listening")
    conns = flood(leecher.port)
    # At most what the limit leaves beside a quarter for files and a margin for saves.
    least = FLOOD - (LIMIT - LIMIT // 4)
    try:
        harness.wait_for(lambda: refused(conns) >= least, 30, f"{least} connections refused")
    except TimeoutError:
        return harness.fail(top, f"{refused(conns)} of {FLOOD} connections refused", "leecher.log")
    turned_away = refused(conns)
    in_use = len(os.listdir(f"/proc/{leecher.pid}/fd"))

    # Its status is still saved every few seconds while the connections are held.
    status = os.path.join(top, "p-leecher", "Status", info_hash.hex() + ".xml")
    before = os.stat(status).st_mtime_ns if os.path.exists(status) else 0
    try:
        harness.wait_for(lambda: leecher.poll() is not None or
                         (os.path.exists(status) and os.stat(status).st_mtime_ns != before),
                         30, "a status save")
    except TimeoutError:
        return harness.fail(top, "no status save under the flood", "leecher.log")
    code = harness.exit_code(leecher, 120)
    for c in conns:
        c.close()
    if code != 0 or not harness.same_tree(os.path.join(source, "flood"),
                                          os.path.join(target, "flood")):
        return harness.fail(top, f"download under the flood: exit {code}, data differs",
                            "leecher.log")
    print(f"{turned_away} of {FLOOD} idle connections refused, {in_use} of {LIMIT} "
          f"descriptors in use; the download saved its status and finished")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
