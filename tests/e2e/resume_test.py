"""Resume after a crash: the downloader is killed with SIGKILL half-way and restarted; it
finishes from its status file without losing verified pieces. Then again with the status file
gone: everything on disk is checked and the download still completes.

Usage: resume_test.py PATH/TO/velbrook-cli
"""
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

CLI = sys.argv[1]


def have_pieces(status_path):
    """Pieces the status file marks as present."""
    try:
        with open(status_path, "rb") as f:
            text = f.read().decode("latin-1")
    except OSError:
        return 0
    m = re.search(r"<BitField>\s*([0-9a-f]*)", text)
    return bin(int(m.group(1), 16)).count("1") if m and m.group(1) else 0


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    source = os.path.join(top, "source")
    data = os.urandom(3_000_000)
    harness.write(os.path.join(source, "big/part1.bin"), data[:1_700_000])
    harness.write(os.path.join(source, "big/part2.bin"), data[1_700_000:])
    torrent = os.path.join(top, "big.torrent")
    info_hash = harness.make_torrent(source, "big", tracker.url, torrent, piece_size=65536)
    pieces = (len(data) + 65535) // 65536

    # A slow seeder (200 KiB/s) so the downloader can be stopped half-way.
    procs.start([CLI, "--profile",
                 harness.profile(os.path.join(top, "p-seed"),
                                 {"ListenPort": harness.free_port(), "MaxUploadSpeed": 200}),
                 "--save", source, torrent], os.path.join(top, "seeder.log"))
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")
    # Rates are measured in whole seconds from the seeder's start; within its first
    # second a meter reads 0 and the limit would not hold yet.
    time.sleep(2.5)

    profile = harness.profile(os.path.join(top, "p-leech"), {"ListenPort": harness.free_port()})
    status = os.path.join(profile, "Status", info_hash.hex() + ".xml")
    target = os.path.join(top, "target")

    def leech(log):
        return procs.start([CLI, "--profile", profile, "--save", target, "--exit-when-done",
                            torrent], os.path.join(top, log))

    first = leech("leech1.log")
    harness.wait_for(lambda: have_pieces(status) >= pieces // 4, 60, "first quarter")
    os.kill(first.pid, signal.SIGKILL)
    first.wait()
    kept = have_pieces(status)
    if not 0 < kept < pieces:
        print(f"FAIL: status after the kill has {kept} of {pieces} pieces")
        return 1

    second = leech("leech2.log")
    harness.wait_for(lambda: have_pieces(status) > kept, 60, "progress after restart")
    os.kill(second.pid, signal.SIGKILL)
    second.wait()
    if have_pieces(status) < kept:
        print("FAIL: verified pieces were lost across the restart")
        return 1

    # No status file: the restart checks the data on disk and completes.
    os.remove(status)
    third = leech("leech3.log")
    code = third.wait(120)
    if code != 0 or not harness.same_tree(os.path.join(source, "big"), os.path.join(target, "big")):
        return harness.fail(top, f"final download (exit {code})", "leech3.log", "seeder.log")
    print(f"resumed after SIGKILL with {kept} of {pieces} pieces kept")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
