"""Torrents whose first tier is a dead HTTP tracker: velbrook-cli moves on to the next tier and
downloads from a python3-libtorrent seeder found there, every byte equal, once through a UDP
tracker and once through an HTTPS tracker whose certificate the test makes (check turned off).
Then a UDP tracker that drops the first datagram, sends a reply with a wrong transaction id first
and every reply twice: the connect is sent again after 15 s and the announce arrives once; and a
UDP tracker's error text reaches the status.

Usage: tracker_tiers_test.py PATH/TO/velbrook-cli
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIZE = 24 << 20


def download_through(procs, top, tracker, name, settings=None, lt_settings=None):
    dead = f"http://127.0.0.1:{harness.free_port()}/announce"
    source = os.path.join(top, "source")
    harness.write_file_set(source, name, SIZE)
    torrent = os.path.join(top, name + ".torrent")
    info_hash = harness.make_torrent(source, name, [dead, tracker.url], torrent)
    seeder = harness.lt_seed(tracker, torrent, source, info_hash, harness.free_port(),  # noqa: F841
                             lt_settings)
    target = os.path.join(top, "target")
    leecher = harness.client(procs, top, name, torrent, target, settings, ["--exit-when-done"])
    code = harness.exit_code(leecher, 180)
    if code != 0 or not harness.same_tree(os.path.join(source, name), os.path.join(target, name)):
        return harness.fail(top, f"{name}: exit code {code}", name + ".log")
    if tracker.last(info_hash, leecher.port)[0] not in ("completed", "stopped"):
        return harness.fail(top, f"{name}: last announce {tracker.last(info_hash, leecher.port)}")
    return 0


def udp_tier(procs, top):
    return download_through(procs, top, harness.UdpTracker(procs, top), "udp")


def https_tier(procs, top):
    tracker = harness.Tracker(procs, top, tls=harness.make_certificate(top))
    return download_through(procs, top, tracker, "https", {"CheckTrackerCertificates": 0},
                            {"validate_https_trackers": False})


def udp_faults(procs, top):
    tracker = harness.UdpTracker(procs, top, drop=1, duplicate=True, wrong_transaction=True)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "faults", 100_000)
    client = harness.client(procs, top, "faults", torrent, os.path.join(top, "faults"))
    try:
        harness.wait_for(lambda: tracker.peers(info_hash, port=client.port), 60, "announce")
    except TimeoutError:
        return harness.fail(top, "no announce after a dropped connect", "faults.log",
                            "udp_tracker.log")
    stats = tracker.stats()
    # The dropped connect, the one sent again, one announce: the wrong id and the copies were
    # not taken for answers to be asked again.
    if stats["dropped"] != 1 or stats["received"] != 3:
        return harness.fail(top, f"datagrams: {stats}", "faults.log", "udp_tracker.log")

    tracker.set(error="go away", duplicate=False)
    refused = harness.client(procs, top, "refused", torrent, os.path.join(top, "refused"))
    log = os.path.join(top, "refused.log")

    def said():
        with open(log, errors="replace") as f:
            return "Tracker Response Error, it said:go away" in f.read()
    try:
        harness.wait_for(said, 30, "the tracker's error text")
    except TimeoutError:
        return harness.fail(top, "the error text never reached the status", "refused.log")
    return 0


def main():
    failures = sum(harness.run(test) for test in (udp_faults, udp_tier, https_tier))
    if not failures:
        print("dead first tiers skipped over UDP and HTTPS; UDP faults and errors handled")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
