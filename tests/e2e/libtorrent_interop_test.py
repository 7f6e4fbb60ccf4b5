"""Interoperability with Debian's python3-libtorrent through the test tracker: velbrook-cli
downloads from a libtorrent seeder, then seeds to a libtorrent downloader.

Usage: libtorrent_interop_test.py PATH/TO/velbrook-cli
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import libtorrent as lt  # noqa: E402

CLI = sys.argv[1]


def lt_session(port):
    return lt.session({
        "listen_interfaces": f"127.0.0.1:{port}",
        "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
        "enable_outgoing_utp": False, "enable_incoming_utp": False,
        "allow_multiple_connections_per_ip": True,
        "alert_mask": 0,
    })


def add(session, torrent, save):
    params = lt.add_torrent_params()
    params.ti = lt.torrent_info(torrent)
    params.save_path = save
    return session.add_torrent(params)


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    source = os.path.join(top, "source")
    data = os.urandom(700_000)
    harness.write(os.path.join(source, "set/a.bin"), data[:300_001])
    harness.write(os.path.join(source, "set/b/c.bin"), data[300_001:])
    torrent = os.path.join(top, "set.torrent")
    info_hash = harness.make_torrent(source, "set", tracker.url, torrent)

    # libtorrent seeds, Velbrook downloads.
    seeder = lt_session(harness.free_port())
    add(seeder, torrent, source)
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "libtorrent seeder announce")
    ours = os.path.join(top, "ours")
    leecher = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p1"), {"ListenPort": harness.free_port()}),
         "--save", ours, "--exit-when-done", torrent], os.path.join(top, "velbrook-leech.log"))
    code = leecher.wait(120)
    if code != 0 or not harness.same_tree(os.path.join(source, "set"), os.path.join(ours, "set")):
        return harness.fail(top, f"download from libtorrent (exit {code})", "velbrook-leech.log")
    del seeder

    # Velbrook seeds what it downloaded, libtorrent downloads.
    velbrook_port = harness.free_port()
    ours_seeder = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p2"), {"ListenPort": velbrook_port}),
         "--save", ours, torrent], os.path.join(top, "velbrook-seed.log"))
    harness.wait_for(lambda: tracker.peers(info_hash) >= 1, 30, "velbrook seeder announce")
    theirs = os.path.join(top, "theirs")
    downloader = lt_session(harness.free_port())
    handle = add(downloader, torrent, theirs)
    deadline = time.monotonic() + 120
    while not handle.status().is_seeding and time.monotonic() < deadline:
        time.sleep(0.2)
    seeding = handle.status().is_seeding
    del downloader
    if not seeding or not harness.same_tree(os.path.join(source, "set"), os.path.join(theirs, "set")):
        return harness.fail(top, "libtorrent could not download from Velbrook", "velbrook-seed.log")
    if procs.stop(ours_seeder) != 0:
        print("FAIL: velbrook seeder did not exit cleanly on SIGTERM")
        return 1
    print("libtorrent interop in both directions")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
