"""A .torrent dropped into the watch folder of a running velbrook-cli is added and renamed
NAME.torrent.added, and the download behind it, from a python3-libtorrent seeder, finishes with
every byte equal.

Usage: watch_folder_test.py PATH/TO/velbrook-cli
"""
import filecmp
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIZE = 2 * 1024 * 1024
TIMEOUT = 120


def main(procs, top):
    tracker = harness.Tracker(procs, top, compact=True)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "w.bin", SIZE)
    session, _ = harness.lt_seed(tracker, torrent, source, info_hash, harness.free_port())
    watch, save = os.path.join(top, "watch"), os.path.join(top, "save")
    os.makedirs(watch)
    velbrook = harness.client(procs, top, "velbrook", None, save, {"WatchFolder": watch})
    shutil.copy(torrent, os.path.join(watch, "w.torrent"))
    added = os.path.join(watch, "w.torrent.added")
    try:
        harness.wait_for(lambda: os.path.exists(added) or velbrook.poll() is not None, 30,
                         "the file renamed .added")
    except TimeoutError as e:
        return harness.fail(top, str(e), "velbrook.log")
    if velbrook.poll() is not None or os.path.exists(os.path.join(watch, "w.torrent")):
        return harness.fail(top, "velbrook-cli ended or left the file", "velbrook.log")

    copy = os.path.join(save, "w.bin")
    try:
        harness.wait_for(lambda: os.path.exists(copy) and filecmp.cmp(os.path.join(source, "w.bin"),
                                                                      copy, shallow=False),
                         TIMEOUT, "the download with every byte equal")
    except TimeoutError as e:
        return harness.fail(top, str(e), "velbrook.log")
    if harness.stopped(procs, velbrook, top):
        return 1
    del session
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
