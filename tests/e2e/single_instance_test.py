"""A second velbrook-cli on the same profile hands its torrent to the running copy and exits 0
once that copy has listed it; the running copy adds the torrent, and moves it when it is handed
again with another --save. A copy started while the running one is ending waits for its end and
runs its torrent itself.

Usage: single_instance_test.py PATH/TO/velbrook-cli
"""
import os
import shutil
import signal
import socket
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "one", {"a.bin": 50_000})
    first = harness.client(procs, top, "first", None, source)
    profile = os.path.join(top, "p-first")
    harness.wait_for(lambda: harness.holds_profile(first, profile), 10, "first copy")

    def hand(*args):
        return subprocess.run([harness.CLI, "--profile", profile, *args, torrent],
                              capture_output=True, timeout=30)

    def listed():
        with open(os.path.join(profile, "Downloads.xml"), errors="replace") as f:
            return f.read()

    second = hand()
    if second.returncode != 0 or b"handed 1" not in second.stderr:
        return harness.fail(top, f"second copy exit {second.returncode}: {second.stderr!r}")
    # The running copy adds it (and so lists it in its Downloads.xml) and starts seeding.
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "handed torrent announced")
    if info_hash.hex() not in listed():
        return harness.fail(top, "the running copy did not list the handed torrent", "first.log")
    # Given again with another save folder, the listed torrent moves there.
    moved = os.path.join(top, "moved")
    shutil.copytree(source, moved)
    third = hand("--save", moved)
    harness.wait_for(lambda: tracker.last(info_hash, first.port)[4] == "1", 30, "stopped in the old folder")
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "started in the new folder")
    if third.returncode != 0 or procs.stop(first) != 0 or f'SavePath="{moved}/"' not in listed():
        return harness.fail(top, f"third copy exit {third.returncode}, the first did not exit cleanly, "
                            "or the listed torrent did not move", "first.log")

    # A copy that is ending waits for its trackers to answer its "stopped" announces; a copy
    # started meanwhile must neither hand its torrent over to be lost nor give up.
    with socket.create_server(("127.0.0.1", 0)) as silent:
        silent.settimeout(30)
        quiet_source, quiet, _ = harness.source_torrent(os.path.join(top, "q"), tracker, "q", 5_000)
        harness.make_torrent(quiet_source, "q", f"http://127.0.0.1:{silent.getsockname()[1]}/a", quiet)
        late_source, late, late_hash = harness.source_torrent(os.path.join(top, "l"), tracker, "l",
                                                              5_000)
        ending = harness.client(procs, top, "ending", quiet, quiet_source)
        started, _ = silent.accept()  # its first announce, never answered
        os.kill(ending.pid, signal.SIGTERM)
        stopping, _ = silent.accept()  # its "stopped" announce: it is ending now
        profile = os.path.join(top, "p-ending")
        later = procs.start([harness.CLI, "--profile", profile, "--save", late_source, late],
                            os.path.join(top, "later.log"))
        harness.wait_for(lambda: late_hash.hex() in listed() or later.poll() is not None, 60,
                         "the later copy runs its torrent")
        started.close()
        stopping.close()
    if later.poll() is not None or procs.stop(later) != 0:
        return harness.fail(top, f"the copy started while another ended: exit {later.returncode}",
                            "later.log", "ending.log")
    print("second copy handed its torrent over; a copy started while another ended ran its "
          "torrent itself")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
