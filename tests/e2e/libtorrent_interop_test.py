"""Interoperability with Debian's python3-libtorrent through the test tracker answering in the
compact form, on a 64 MiB torrent of files of uneven sizes (256 KiB pieces): velbrook-cli
downloads it from a libtorrent seeder, then seeds its own copy to a libtorrent downloader. Every
byte is compared both ways, and the Velbrook seeder must exit 0 on SIGTERM. Each half runs even
when the other fails; a transfer that stops moving for a minute fails.

Both sides speak the fast extension: the seeder announces its pieces with HAVE ALL, and the
download must keep hundreds of requests waiting at the seeder, not a handful.

Usage: libtorrent_interop_test.py PATH/TO/velbrook-cli
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIZE = 64 << 20
TIMEOUT = 180
STALL = 60
MIN_QUEUED = 64


def download(procs, top, tracker, torrent, info_hash, ports):
    """libtorrent seeds, Velbrook downloads; returns the number of failures."""
    source = os.path.join(top, "source")
    seeder, handle = harness.lt_seed(tracker, torrent, source, info_hash, ports["lt seeder"])
    ours = os.path.join(top, "ours")
    leecher = harness.client(procs, top, "velbrook-leech", torrent, ours,
                             {"ListenPort": ports["velbrook leecher"]}, ["--exit-when-done"])
    deepest = 0

    def uploaded():
        nonlocal deepest
        for peer in handle.get_peer_info():
            deepest = max(deepest, peer.upload_queue_length)
        return handle.status().total_payload_upload

    why = harness.wait_transfer(lambda: leecher.poll() is not None, uploaded, TIMEOUT, STALL)
    code = procs.stop(leecher)
    handle = seeder = None  # closes the session
    if why or code != 0 or not harness.same_tree(os.path.join(source, "set"),
                                                 os.path.join(ours, "set")):
        return harness.fail(top, f"download from libtorrent: {why or ''} exit {code}, data differs "
                            "or is missing", "velbrook-leech.log")
    if deepest < MIN_QUEUED:
        return harness.fail(top, f"download from libtorrent: at most {deepest} of our requests "
                            f"waited at the seeder, fewer than {MIN_QUEUED}", "velbrook-leech.log")
    print(f"download from libtorrent: up to {deepest} of our requests waited at the seeder")
    return 0


def seed(procs, top, tracker, torrent, info_hash, ports):
    """Velbrook seeds a complete copy, libtorrent downloads; returns the number of failures."""
    source = os.path.join(top, "source", "set")
    shutil.copytree(source, os.path.join(top, "seed", "set"))
    seeder = harness.client(procs, top, "velbrook-seed", torrent, os.path.join(top, "seed"),
                            {"ListenPort": ports["velbrook seeder"], "MaxUploadSpeed": 4_000_000})
    harness.wait_for(lambda: seeder.poll() is not None or tracker.peers(info_hash, port=seeder.port),
                     60, "velbrook seeder announce")
    theirs = os.path.join(top, "theirs")
    downloader = harness.lt_session(ports["lt downloader"])
    handle = harness.lt_add(downloader, torrent, theirs)
    why = harness.wait_transfer(lambda: handle.status().is_seeding,
                                lambda: handle.status().total_wanted_done, TIMEOUT, STALL)
    handle = downloader = None  # closes the session
    if why or not harness.same_tree(source, os.path.join(theirs, "set")):
        return harness.fail(top, f"libtorrent downloading from Velbrook: {why or 'other bytes'}",
                            "velbrook-seed.log")
    return harness.stopped(procs, seeder, top, "velbrook-seed.log")


def main(procs, top):
    ports = {name: harness.free_port() for name in
             ("lt seeder", "velbrook leecher", "velbrook seeder", "lt downloader")}
    # The libtorrent downloader and the Velbrook seeder see only each other, so the libtorrent
    # seeder of the first half cannot serve the second.
    tracker = harness.Tracker(procs, top, compact=True,
                              only=f"{ports['lt downloader']}>{ports['velbrook seeder']},"
                                   f"{ports['velbrook seeder']}>{ports['lt downloader']}")
    harness.write_file_set(os.path.join(top, "source"), "set", SIZE)
    torrent = os.path.join(top, "set.torrent")
    info_hash = harness.make_torrent(os.path.join(top, "source"), "set", tracker.url, torrent,
                                     piece_size=256 << 10)
    if download(procs, top, tracker, torrent, info_hash, ports) + \
            seed(procs, top, tracker, torrent, info_hash, ports):
        return 1
    print("libtorrent interop in both directions")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
