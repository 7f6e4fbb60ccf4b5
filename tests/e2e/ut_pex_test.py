"""Standard peer exchange with python3-libtorrent: the tracker lists a libtorrent seeder only to
Velbrook and Velbrook only to a libtorrent downloader, which is given nobody else. Velbrook
serves and downloads at a trickle, so it stays connected to the seeder (a seed is only named
while connected) and the downloader can only finish by reaching the seeder, which only
Velbrook's ut_pex can name. The downloader must also read our extended handshake: its peer
list names Velbrook by our client name.

Usage: ut_pex_test.py PATH/TO/velbrook-cli
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

TIMEOUT = 90


def client_name(peer):
    name = peer.client
    return name.decode(errors="replace") if isinstance(name, bytes) else name


def main(procs, top):
    ports = {name: harness.free_port() for name in ("seeder", "velbrook", "downloader")}
    seeder, ours, theirs = ports["seeder"], ports["velbrook"], ports["downloader"]
    tracker = harness.Tracker(procs, top, compact=True,
                              only=f"{ours}>{seeder},{theirs}>{ours},{seeder}>0")
    source, torrent, info_hash = harness.source_torrent(top, tracker, "pex", {"data.bin": 2_000_000})
    session, handle = harness.lt_seed(tracker, torrent, source, info_hash, seeder)
    velbrook = harness.client(procs, top, "velbrook", torrent, os.path.join(top, "velbrook"),
                              {"ListenPort": ours, "MaxUploadSpeed": 1, "MaxDownloadSpeed": 1})
    harness.wait_for(lambda: velbrook.poll() is not None or tracker.peers(info_hash, port=ours),
                     60, "velbrook announce")
    # Velbrook must know the seeder before the downloader asks it for peers.
    harness.wait_for(lambda: harness.connections({seeder}), 30, "velbrook connected to the seeder")
    downloader = harness.lt_session(theirs)
    theirs_handle = harness.lt_add(downloader, torrent, os.path.join(top, "downloader"))

    seen = {"velbrook name": None}

    def look():
        for peer in theirs_handle.get_peer_info():
            if peer.ip[1] == ours:
                seen["velbrook name"] = client_name(peer)
        return theirs_handle.status().is_seeding

    why = harness.wait_transfer(look, lambda: theirs_handle.status().total_wanted_done, TIMEOUT)
    theirs_handle = downloader = handle = session = None  # closes the sessions
    # At Velbrook's 1 KiB/s the downloader would need half an hour: finishing in time means it
    # reached the seeder.
    if why:
        return harness.fail(top, f"the downloader never reached the seeder by ut_pex: {why or ''}",
                            "velbrook.log")
    if not harness.same_tree(os.path.join(source, "pex"), os.path.join(top, "downloader", "pex")):
        return harness.fail(top, "the downloader's copy differs", "velbrook.log")
    if seen["velbrook name"] != "Velbrook 0.1":
        return harness.fail(top, f"libtorrent names Velbrook {seen['velbrook name']!r}", "velbrook.log")
    if harness.stopped(procs, velbrook, top):
        return 1
    print("libtorrent learnt the seeder through Velbrook's ut_pex and names it Velbrook 0.1")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
