"""The UDP test tracker (udp_tracker.py) that other end-to-end tests build on: python3-libtorrent
peers find each other through it alone and a download completes, every byte equal; and its
switches, given at start or changed later, do what they say for a client played here: a dropped
datagram goes unanswered, a reply comes after a copy with another transaction id, then twice,
and announces get the error text.

Usage: udp_tracker_test.py PATH/TO/velbrook-cli   (unused: the tracker is under test)
"""
import os
import socket
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def libtorrent_swarm(procs, top):
    tracker = harness.UdpTracker(procs, top)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "data", 3 << 20)
    ports = [harness.free_port() for _ in range(2)]
    seeder, _ = harness.lt_seed(tracker, torrent, source, info_hash, ports[0])
    downloader = harness.lt_session(ports[1])
    handle = harness.lt_add(downloader, torrent, os.path.join(top, "down"))
    why = harness.wait_transfer(lambda: handle.status().is_seeding,
                                lambda: handle.status().total_wanted_done, 60, 30)
    if why or not harness.same_tree(source, os.path.join(top, "down")):
        return harness.fail(top, f"libtorrent download through the UDP tracker: {why or 'data differs'}",
                            "udp_tracker.log")
    harness.wait_for(lambda: tracker.peers(info_hash, complete=True) == 2, 30, "completed announce")
    if tracker.last(info_hash, ports[0])[0] != "started":
        return harness.fail(top, f"seeder's announce: {tracker.last(info_hash, ports[0])}")
    return 0


def switches(procs, top):
    tracker = harness.UdpTracker(procs, top, drop=1, wrong_transaction=True)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(10)
        for transaction in (1, 2):
            s.sendto(struct.pack(">QII", 0x41727101980, 0, transaction), ("127.0.0.1", tracker.port))
        # The first connect was dropped, so the first reply is the second's, after its copy.
        replies = [s.recv(100) for _ in range(2)]
        if [struct.unpack_from(">II", r) for r in replies] != [(0, 3), (0, 2)]:
            return harness.fail(top, f"connect replies: {replies}", "udp_tracker.log")
        connection = struct.unpack_from(">Q", replies[1], 8)[0]
        tracker.set(duplicate=True, error="go away")
        s.sendto(struct.pack(">QII20s20sQQQIIIiH", connection, 1, 4, bytes(20), bytes(20), 0, 0, 0,
                             2, 0, 0, -1, 6881), ("127.0.0.1", tracker.port))
        replies = [s.recv(100) for _ in range(2)]
        if replies != [struct.pack(">II", 3, 4) + b"go away"] * 2:
            return harness.fail(top, f"announce replies: {replies}", "udp_tracker.log")
    if tracker.stats()["dropped"] != 1:
        return harness.fail(top, f"stats: {tracker.stats()}")
    return 0


def main():
    failures = harness.run(switches) + harness.run(libtorrent_swarm)
    if not failures:
        print("the UDP test tracker serves libtorrent, and its switches hold")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
