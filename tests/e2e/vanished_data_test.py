"""Data that vanishes during a download is never reported as done: with the save folder deleted,
or a file replaced by a folder, velbrook-cli --exit-when-done stops the torrent saying which file
and why, exits 1, and its status file claims nothing that is not on disk.

Usage: vanished_data_test.py PATH/TO/velbrook-cli
"""
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import libtorrent as lt  # noqa: E402

PART = 4_000_000
PIECE = 65536


def under_way(proc, status):
    """A few pieces are in, or the download has ended already."""
    return len(harness.claimed_pieces(status)) >= 4 or proc.poll() is not None


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    source, torrent, info_hash = harness.source_torrent(
        top, tracker, "big", {"part1.bin": PART, "part2.bin": PART}, PIECE)
    pieces = (2 * PART + PIECE - 1) // PIECE
    files = lt.torrent_info(torrent).files()  # in the order the folder listed them
    part2 = next(set(range(files.file_offset(i) // PIECE,
                           (files.file_offset(i) + files.file_size(i) - 1) // PIECE + 1))
                 for i in range(files.num_files()) if files.file_path(i).endswith("part2.bin"))
    # A slow seeder (300 KiB/s for both downloaders) so the data can vanish part-way.
    harness.client(procs, top, "seeder", torrent, source, {"MaxUploadSpeed": 300})
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")

    cases = {
        # name: (what happens to the data, the reason the torrent must give)
        "folder": (lambda save: shutil.rmtree(save),
                   r"big/part[12]\.bin: No such file or directory"),
        "replaced": (lambda save: (os.remove(os.path.join(save, "big", "part2.bin")),
                                   os.mkdir(os.path.join(save, "big", "part2.bin"))),
                     r"big/part2\.bin: Is a directory"),
    }
    downloads = {}
    for name in cases:
        save = os.path.join(top, "save-" + name)
        proc = harness.client(procs, top, name, torrent, save, args=["--exit-when-done"])
        status = os.path.join(top, "p-" + name, "Status", info_hash.hex() + ".xml")
        downloads[name] = (proc, save, status)
    # Each download loses its data as soon as it is under way, whichever gets there first: one
    # waited for in turn could have finished meanwhile.
    waiting = set(downloads)

    def take_data():
        for name in sorted(waiting):
            proc, save, status = downloads[name]
            if under_way(proc, status):
                waiting.discard(name)
                if proc.poll() is None:
                    cases[name][0](save)
        return not waiting
    harness.wait_for(take_data, 60, "first pieces of both downloads")

    for name, (proc, save, status) in downloads.items():
        code = harness.exit_code(proc, 90)
        with open(os.path.join(top, name + ".log"), errors="replace") as f:
            log = f.read()
        reason = cases[name][1]
        if code != 1 or not re.search(r"velbrook-cli: big: Stopped: .*" + reason, log):
            return harness.fail(top, f"{name}: exit {code}, no '{reason}' named", name + ".log")
        # Nothing of what is gone may be claimed: with the folder, no piece at all.
        claimed = harness.claimed_pieces(status)
        if claimed & (set(range(pieces)) if name == "folder" else part2):
            return harness.fail(top, f"{name}: the status file still claims {sorted(claimed)}")
    print("vanished data: both downloads stopped with the reason, exit 1, nothing claimed")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
