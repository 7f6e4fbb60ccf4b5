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

CLI = sys.argv[1]
SIZE = 3 << 20


def main(procs, top):
    tracker = harness.Tracker(procs, top, compact=True)
    source = os.path.join(top, "source")
    harness.write_random(os.path.join(source, "data.bin"), SIZE)
    torrent = os.path.join(top, "data.torrent")
    info_hash = harness.make_torrent(source, "data.bin", tracker.url, torrent, piece_size=65536)
    seeder_port, port = harness.free_port(), harness.free_port()
    seeder, handle = harness.lt_seed(tracker, torrent, source, info_hash, seeder_port)

    # Downloads everything, keeps seeding, and is stopped.
    ours = os.path.join(top, "ours")
    client = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p1"), {"ListenPort": port}),
         "--save", ours, torrent], os.path.join(top, "velbrook.log"))
    harness.wait_for(lambda: client.poll() is not None or
                     tracker.peers(info_hash, port=port, complete=True), 60, "download")
    code = procs.stop(client)
    handle = seeder = None  # closes the session
    last = tracker.last(info_hash, port)
    if code != 0 or len(last) != 5 or last[0] != "stopped" or int(last[2]) < SIZE or last[3] != "0":
        return harness.fail(top, f"exit {code}, last announce {last}: no stopped announce with the "
                            "final totals", "velbrook.log")

    # A tracker that accepts the connection and never answers.
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(16)
    quiet = os.path.join(top, "quiet.torrent")
    harness.make_torrent(source, "data.bin", f"http://127.0.0.1:{silent.getsockname()[1]}/announce",
                         quiet, piece_size=65536)
    client = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p2"), {"ListenPort": harness.free_port()}),
         "--save", ours, quiet], os.path.join(top, "velbrook-quiet.log"))
    time.sleep(1)  # started, its first announce waiting for an answer
    start = time.monotonic()
    code = procs.stop(client)
    took = time.monotonic() - start
    silent.close()
    # The exit waits 3 s for the silent tracker; 10 s leaves room for a slow sanitizer build.
    if code != 0 or took > 10:
        return harness.fail(top, f"exit {code} after {took:.1f} s with a silent tracker",
                            "velbrook-quiet.log")

    # The listed torrent's folder is gone (a disk not mounted): nothing to wait for.
    os.rename(ours, ours + ".away")
    gone = subprocess.run([CLI, "--profile", os.path.join(top, "p1"), "--start-all",
                           "--exit-when-done"], capture_output=True, timeout=60)
    if gone.returncode != 1 or b"The save folder is missing: " + ours.encode() not in gone.stderr:
        return harness.fail(top, f"missing save folder: exit {gone.returncode}, {gone.stderr!r}")
    print(f"stopped announce with the final totals; exit after {took:.1f} s with a silent tracker")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
