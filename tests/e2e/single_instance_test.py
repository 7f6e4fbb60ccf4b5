"""A second velbrook-cli on the same profile hands its torrent to the running copy and exits 0;
the running copy adds the torrent, and moves it when it is handed again with another --save.

Usage: single_instance_test.py PATH/TO/velbrook-cli
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

CLI = sys.argv[1]


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    source = os.path.join(top, "source")
    harness.write(os.path.join(source, "one/a.bin"), os.urandom(50_000))
    torrent = os.path.join(top, "one.torrent")
    info_hash = harness.make_torrent(source, "one", tracker.url, torrent)

    port = harness.free_port()
    profile = harness.profile(os.path.join(top, "p"), {"ListenPort": port})
    first = procs.start([CLI, "--profile", profile, "--save", source],
                        os.path.join(top, "first.log"))
    harness.wait_for(lambda: os.path.exists(os.path.join(profile, ".lock")), 10, "first copy")
    time.sleep(0.5)

    second = subprocess.run([CLI, "--profile", profile, torrent], capture_output=True, timeout=30)
    if second.returncode != 0 or b"handed 1" not in second.stderr:
        print(f"FAIL: second copy exit {second.returncode}: {second.stderr!r}")
        return 1
    # The running copy adds it (and so lists it in its Downloads.xml) and starts seeding.
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "handed torrent announced")
    with open(os.path.join(profile, "Downloads.xml"), errors="replace") as f:
        if info_hash.hex() not in f.read():
            print("FAIL: the running copy did not list the handed torrent")
            return 1
    # Given again with another save folder, the listed torrent moves there.
    moved = os.path.join(top, "moved")
    shutil.copytree(source, moved)
    third = subprocess.run([CLI, "--profile", profile, "--save", moved, torrent],
                           capture_output=True, timeout=30)
    harness.wait_for(lambda: tracker.last(info_hash, port)[4] == "1", 30, "stopped in the old folder")
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "started in the new folder")
    if third.returncode != 0 or procs.stop(first) != 0:
        print(f"FAIL: third copy exit {third.returncode}, or the first did not exit cleanly")
        return 1
    with open(os.path.join(profile, "Downloads.xml"), errors="replace") as f:
        if f'SavePath="{moved}/"' not in f.read():
            print("FAIL: the listed torrent did not move to the folder it was handed with")
            return 1
    print("second copy handed its torrent over")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
