"""Announces to the test tracker over https, with a certificate the test makes (openssl req -x509):
velbrook-cli with its certificate check on (the default) refuses the tracker and says why; with
CheckTrackerCertificates 0 its announce arrives, as python3-libtorrent's does with
validate_https_trackers off.

Usage: https_tracker_test.py PATH/TO/velbrook-cli
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

REASON = "Certificate check failed: self-signed certificate"


def main(procs, top):
    tracker = harness.Tracker(procs, top, tls=harness.make_certificate(top))
    source, torrent, info_hash = harness.source_torrent(top, tracker, "secure", {"one.bin": 70_000})
    seeder_port = harness.free_port()
    # Held until the end: the session announces while it lives.
    seeder = harness.lt_seed(tracker, torrent, source, info_hash, seeder_port,  # noqa: F841
                             {"validate_https_trackers": False})

    checked = harness.client(procs, top, "checked", torrent, os.path.join(top, "checked"))
    log = os.path.join(top, "checked.log")

    def refused():
        with open(log, errors="replace") as f:
            return REASON in f.read()
    try:
        harness.wait_for(refused, 60, "the certificate refused")
    except TimeoutError:
        return harness.fail(top, "no certificate failure reported", "checked.log", "tracker.log")
    if tracker.peers(info_hash, port=checked.port):
        return harness.fail(top, "announced despite the certificate", "checked.log")

    unchecked = harness.client(procs, top, "unchecked", torrent, os.path.join(top, "unchecked"),
                               {"CheckTrackerCertificates": 0})
    try:
        harness.wait_for(lambda: tracker.peers(info_hash, port=unchecked.port), 60,
                         "announce with the check off")
    except TimeoutError:
        return harness.fail(top, "no announce with the check off", "unchecked.log", "tracker.log")
    print("https announces: refused with the reason, accepted with the check off")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
