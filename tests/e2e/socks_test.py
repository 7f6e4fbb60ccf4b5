"""A download between two velbrook-cli copies through a real SOCKS5 server (Debian's microsocks,
with a user name and password): the downloader reaches both the tracker and the seeder only
through the proxy (ConnectionType 2), and does not listen itself. The torrent has nested
folders, an empty file and 32 KiB pieces that span file boundaries.

Usage: socks_test.py PATH/TO/velbrook-cli
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    proxy_port = harness.free_port()
    procs.start(["/usr/bin/microsocks", "-i", "127.0.0.1", "-p", str(proxy_port),
                 "-u", "velbrook", "-P", "s3cret"], os.path.join(top, "proxy.log"))
    harness.wait_for(lambda: harness.port_open(proxy_port), 10, "proxy start")

    source, torrent, info_hash = harness.source_torrent(top, tracker, "via", {
        "one.bin": 200_001, "sub/deep/two.bin": 90_000, "empty.txt": b"", "notes.txt": 777})
    harness.client(procs, top, "seeder", torrent, source)
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")

    target = os.path.join(top, "target")
    leecher = harness.client(procs, top, "leecher", torrent, target, {
        "ConnectionType": 2, "SocksServer": "127.0.0.1", "SocksPort": proxy_port,
        "Socks5UserName": "velbrook", "Socks5Password": "s3cret"}, ["--exit-when-done"])
    code = harness.exit_code(leecher, 90)
    if code != 0 or not harness.same_tree(os.path.join(source, "via"), os.path.join(target, "via")):
        return harness.fail(top, f"exit {code}", "leecher.log", "seeder.log")
    print("downloaded through SOCKS5")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
