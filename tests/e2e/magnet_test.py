"""Magnet links against python3-libtorrent: Velbrook is given only a link naming a libtorrent
seeder's tracker, fetches the metadata, saves it as a .torrent with the link's info hash and
downloads every byte; then, with the seeder gone, a libtorrent downloader given only a link with
x.pe naming Velbrook gets the metadata and the data from Velbrook alone.

Usage: magnet_test.py PATH/TO/velbrook-cli
"""
import filecmp
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import libtorrent as lt  # noqa: E402

SIZE = 24 * 1024 * 1024
TIMEOUT = 240


def main(procs, top):
    seeder, ours, theirs = harness.free_port(), harness.free_port(), harness.free_port()
    tracker = harness.Tracker(procs, top, compact=True)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "big.bin", SIZE)
    session, handle = harness.lt_seed(tracker, torrent, source, info_hash, seeder)
    link = f"magnet:?xt=urn:btih:{info_hash.hex()}&dn=Big+one&tr={tracker.url}"
    save = os.path.join(top, "velbrook")
    velbrook = harness.client(procs, top, "velbrook", link, save, {"ListenPort": ours})
    log = os.path.join(top, "velbrook.log")
    got = os.path.join(save, "big.bin")
    why = harness.wait_transfer(lambda: velbrook.poll() is not None or "Seeding" in open(log).read(),
                                lambda: os.path.getsize(got) if os.path.exists(got) else 0,
                                TIMEOUT)
    if why or velbrook.poll() is not None:
        return harness.fail(top, f"Velbrook did not finish from the link: {why}", "velbrook.log")
    if not filecmp.cmp(os.path.join(source, "big.bin"), got, shallow=False):
        return harness.fail(top, "Velbrook's copy differs", "velbrook.log")
    saved = os.path.join(top, "p-velbrook", "Torrents", info_hash.hex() + ".torrent")
    if not os.path.exists(saved) or lt.torrent_info(saved).info_hashes().v1.to_bytes() != info_hash:
        return harness.fail(top, f"no .torrent with the link's info hash at {saved}", "velbrook.log")
    handle = session = None  # the seeder goes: only Velbrook has the torrent now

    downloader = harness.lt_session(theirs)
    params = lt.parse_magnet_uri(f"magnet:?xt=urn:btih:{info_hash.hex()}&x.pe=127.0.0.1:{ours}")
    params.save_path = os.path.join(top, "downloader")
    theirs_handle = downloader.add_torrent(params)
    why = harness.wait_transfer(lambda: theirs_handle.status().is_seeding,
                                lambda: theirs_handle.status().total_wanted_done, TIMEOUT)
    theirs_handle = downloader = None
    if why:
        return harness.fail(top, f"libtorrent did not finish from Velbrook: {why}", "velbrook.log")
    if not filecmp.cmp(os.path.join(source, "big.bin"), os.path.join(top, "downloader", "big.bin"),
                       shallow=False):
        return harness.fail(top, "libtorrent's copy differs", "velbrook.log")
    return harness.stopped(procs, velbrook, top)


if __name__ == "__main__":
    sys.exit(harness.run(main))
