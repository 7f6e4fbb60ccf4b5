"""A download over IPv6: a python3-libtorrent seeder listening only on ::1, found through a UDP
tracker on ::1 (whose answer lists IPv6 peers), and velbrook-cli downloads from it, every byte
equal.

Usage: ipv6_test.py PATH/TO/velbrook-cli
"""
import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIZE = 16 << 20


def main(procs, top):
    tracker = harness.UdpTracker(procs, top, ipv6=True)
    source = os.path.join(top, "source")
    harness.write_file_set(source, "six", SIZE)
    torrent = os.path.join(top, "six.torrent")
    info_hash = harness.make_torrent(source, "six", tracker.url, torrent)
    port = harness.free_port()
    seeder = harness.lt_seed(tracker, torrent, source, info_hash, port,  # noqa: F841
                             {"listen_interfaces": f"[::1]:{port}"})
    # Only IPv6 reaches the seeder.
    with socket.socket() as probe:
        if probe.connect_ex(("127.0.0.1", port)) == 0:
            return harness.fail(top, "the seeder listens on IPv4 too")
    target = os.path.join(top, "target")
    leecher = harness.client(procs, top, "leecher", torrent, target, args=["--exit-when-done"])
    code = harness.exit_code(leecher, 180)
    if code != 0 or not harness.same_tree(os.path.join(source, "six"), os.path.join(target, "six")):
        return harness.fail(top, f"exit code {code}", "leecher.log", "udp_tracker.log")
    print("downloaded from a seeder on ::1")
    return 0


def loopback_ipv6():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


if __name__ == "__main__":
    if not loopback_ipv6():
        print("no IPv6 loopback here: nothing to test")
        sys.exit(0)
    sys.exit(harness.run(main))
