"""Resume after a crash: the downloader is killed with SIGKILL part-way and started again; it
finishes from its status file, fetching only what it had not verified before.

Usage: resume_test.py PATH/TO/velbrook-cli
"""
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIZE = 2_000_000
PIECE = 65536


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    source, torrent, info_hash = harness.source_torrent(
        top, tracker, "big", {"part1.bin": 1_100_000, "part2.bin": SIZE - 1_100_000}, PIECE)
    pieces = (SIZE + PIECE - 1) // PIECE
    # A slow seeder (200 KiB/s, held from its first second on) so the downloader can be
    # stopped part-way.
    harness.client(procs, top, "seeder", torrent, source, {"MaxUploadSpeed": 200})
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")

    target = os.path.join(top, "target")
    first = harness.client(procs, top, "leech1", torrent, target, args=["--exit-when-done"])
    status = os.path.join(top, "p-leech1", "Status", info_hash.hex() + ".xml")
    harness.wait_for(lambda: len(harness.claimed_pieces(status)) >= pieces // 4, 60,
                     "first quarter")
    os.kill(first.pid, signal.SIGKILL)
    first.wait()
    kept = len(harness.claimed_pieces(status))
    if not 0 < kept < pieces:
        return harness.fail(top, f"status after the kill has {kept} of {pieces} pieces")

    again = harness.client(procs, top, "leech1", torrent, target, {"ListenPort": first.port},
                           ["--exit-when-done"])
    code = harness.exit_code(again, 120)
    fetched = int(tracker.last(info_hash, first.port)[2])
    if code != 0 or not harness.same_tree(os.path.join(source, "big"), os.path.join(target, "big")):
        return harness.fail(top, f"after the restart: exit {code}", "leech1.log", "seeder.log")
    if fetched > SIZE - (kept - 2) * PIECE:
        return harness.fail(top, f"fetched {fetched} of {SIZE} bytes again with {kept} pieces kept")
    print(f"resumed after SIGKILL with {kept} of {pieces} pieces kept, {fetched} bytes fetched")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
