"""The download of the end-to-end test through a real SOCKS5 server (Debian's microsocks, with a
user name and password): the downloader reaches both the tracker and the seeder only through
the proxy (ConnectionType 2), and does not listen itself.

Usage: socks_test.py PATH/TO/velbrook-cli
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

CLI = sys.argv[1]


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    proxy_port = harness.free_port()
    procs.start(["/usr/bin/microsocks", "-i", "127.0.0.1", "-p", str(proxy_port),
                 "-u", "velbrook", "-P", "s3cret"], os.path.join(top, "proxy.log"))
    harness.wait_for(lambda: harness.port_open(proxy_port), 10, "proxy start")

    source = os.path.join(top, "source")
    harness.write(os.path.join(source, "via/one.bin"), os.urandom(200_001))
    harness.write(os.path.join(source, "via/sub/two.bin"), os.urandom(90_000))
    torrent = os.path.join(top, "via.torrent")
    info_hash = harness.make_torrent(source, "via", tracker.url, torrent)

    procs.start([CLI, "--profile",
                 harness.profile(os.path.join(top, "p-seed"), {"ListenPort": harness.free_port()}),
                 "--save", source, torrent], os.path.join(top, "seeder.log"))
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")

    leech_port = harness.free_port()
    settings = {"ListenPort": leech_port, "ConnectionType": 2, "SocksServer": "127.0.0.1",
                "SocksPort": proxy_port, "Socks5UserName": "velbrook", "Socks5Password": "s3cret"}
    target = os.path.join(top, "target")
    leecher = procs.start([CLI, "--profile", harness.profile(os.path.join(top, "p-leech"), settings),
                           "--save", target, "--exit-when-done", torrent],
                          os.path.join(top, "leecher.log"))
    code = leecher.wait(90)
    if code != 0 or not harness.same_tree(os.path.join(source, "via"),
                                                       os.path.join(target, "via")):
        return harness.fail(top, f"exit {code}", "leecher.log", "seeder.log")
    print("downloaded through SOCKS5")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
