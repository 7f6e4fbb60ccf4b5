"""An orderly exit tells the tracker: on SIGTERM velbrook-cli sends its "stopped" announce with
its final totals before it exits; a tracker that never answers holds the exit back by 3 s at most.
And --exit-when-done never waits for a torrent that cannot run: it says why and exits 1.

Usage: exit_test.py PATH/TO/velbrook-cli
"""
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIZE = 3 << 20


def main(procs, top):
    tracker = harness.Tracker(procs, top, compact=True)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "data.bin", SIZE, 65536)
    seeder, _ = harness.lt_seed(tracker, torrent, source, info_hash, harness.free_port())

    # Downloads everything, keeps seeding, and is stopped.
    ours = os.path.join(top, "ours")
    client = harness.client(procs, top, "done", torrent, ours)
    harness.wait_for(lambda: client.poll() is not None or
                     tracker.peers(info_hash, port=client.port, complete=True), 60, "download")
    code = procs.stop(client)
    seeder = None  # noqa: F841 closes the session
    last = tracker.last(info_hash, client.port)
    if code != 0 or len(last) != 5 or last[0] != "stopped" or int(last[2]) < SIZE or last[3] != "0":
        return harness.fail(top, f"exit {code}, last announce {last}: no stopped announce with the "
                            "final totals", "done.log")

    # A tracker that accepts the connection and never answers.
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)
        quiet = os.path.join(top, "quiet.torrent")
        harness.make_torrent(source, "data.bin", f"http://127.0.0.1:{silent.getsockname()[1]}/a",
                             quiet, piece_size=65536)
        client = harness.client(procs, top, "quiet", quiet, ours)
        silent.settimeout(30)
        announce, _ = silent.accept()  # its first announce, waiting for an answer
        start = time.monotonic()
        code = procs.stop(client)
        took = time.monotonic() - start
        announce.close()
    # The exit waits 3 s for the silent tracker; 10 s leaves room for a slow sanitizer build.
    if code != 0 or took > 10:
        return harness.fail(top, f"exit {code} after {took:.1f} s with a silent tracker", "quiet.log")

    # The listed torrent's folder is gone (a disk not mounted): nothing to wait for.
    os.rename(ours, ours + ".away")
    gone = subprocess.run([harness.CLI, "--profile", os.path.join(top, "p-done"), "--start-all",
                           "--exit-when-done"], capture_output=True, timeout=60)
    if gone.returncode != 1 or b"The save folder is missing: " + ours.encode() not in gone.stderr:
        return harness.fail(top, f"missing save folder: exit {gone.returncode}, {gone.stderr!r}")
    print(f"stopped announce with the final totals; exit after {took:.1f} s with a silent tracker")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
