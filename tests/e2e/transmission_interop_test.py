"""Transmission 3.00 (Debian's transmission-cli) downloads a 64 MiB torrent of files of uneven
sizes from a velbrook-cli seeder on 127.0.0.1, every byte compared. Transmission asks for about
ten seconds of data at once, thousands of slices on a fast link: every one must be answered, or
it waits for its own timeout and the download stalls. Transmission never dials a peer on 127.x
that a tracker lists, so the tracker names it to Velbrook, which dials it.

Usage: transmission_interop_test.py PATH/TO/velbrook-cli [SIZE_MIB]
With SIZE_MIB the download is timed at that size and only a transfer that never ends fails.
"""
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

# The suite passes the desktop program's path second when it is built: a size is digits only.
MEASURE = len(sys.argv) > 2 and sys.argv[2].isdigit()
SIZE_MIB = int(sys.argv[2]) if MEASURE else 64
TIMEOUT = max(240, SIZE_MIB * 3)
STALL = TIMEOUT if MEASURE else 60


def main(procs, top):
    ports = {name: harness.free_port() for name in ("transmission", "velbrook")}
    tracker = harness.Tracker(procs, top)
    harness.write_file_set(os.path.join(top, "source"), "set", SIZE_MIB << 20)
    torrent = os.path.join(top, "set.torrent")
    info_hash = harness.make_torrent(os.path.join(top, "source"), "set", tracker.url, torrent,
                                     piece_size=256 << 10)

    theirs = os.path.join(top, "theirs")
    os.makedirs(theirs)
    downloader = harness.transmission(procs, top, "transmission", torrent, theirs,
                                      ports["transmission"])
    harness.wait_for(lambda: downloader.poll() is not None or
                     tracker.peers(info_hash, port=ports["transmission"]), 60,
                     "transmission announce")
    shutil.copytree(os.path.join(top, "source", "set"), os.path.join(top, "seed", "set"))
    start = time.monotonic()
    seeder = harness.client(procs, top, "velbrook-seed", torrent, os.path.join(top, "seed"),
                            {"ListenPort": ports["velbrook"], "MaxUploadSpeed": 4_000_000})
    source = os.path.join(top, "source", "set")
    first_byte = []

    def stored():
        got = harness.stored_bytes(theirs)
        if got and not first_byte:
            first_byte.append(time.monotonic())
        return got

    why = harness.wait_transfer(lambda: harness.transmission_done(source, theirs) or
                                downloader.poll() is not None, stored, TIMEOUT, STALL)
    end = time.monotonic()
    procs.stop(downloader)
    if why or not harness.same_tree(source, os.path.join(theirs, "set")):
        return harness.fail(top, f"Transmission downloading from Velbrook: {why or 'other bytes'}",
                            "transmission.log", "velbrook-seed.log")
    if harness.stopped(procs, seeder, top, "velbrook-seed.log"):
        return 1
    print(f"Transmission downloaded {SIZE_MIB} MiB from Velbrook in {end - start:.1f} s from the "
          f"seeder's start, {end - first_byte[0]:.1f} s from the first byte")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
