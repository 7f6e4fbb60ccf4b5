"""Peer exchange between three copies: the tracker lists the seeder (second) only to the first,
and only the first to the third. The first is throttled to a trickle, so the third can only
finish in time by reaching the seeder through the first's EXT_PEERS.

Usage: pex_test.py PATH/TO/velbrook-cli
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

CLI = sys.argv[1]


def main(procs, top):
    first_port, second_port, third_port = (harness.free_port() for _ in range(3))
    tracker = harness.Tracker(procs, top, only=f"{first_port}>{second_port},"
                                               f"{third_port}>{first_port},{second_port}>0")
    source = os.path.join(top, "source")
    harness.write(os.path.join(source, "pex/data.bin"), os.urandom(600_000))
    torrent = os.path.join(top, "pex.torrent")
    info_hash = harness.make_torrent(source, "pex", tracker.url, torrent)

    def client(name, port, save, extra, settings=None):
        values = {"ListenPort": port}
        values.update(settings or {})
        return procs.start([CLI, "--profile", harness.profile(os.path.join(top, "p-" + name), values),
                            "--save", save, *extra, torrent], os.path.join(top, name + ".log"))

    client("second", second_port, source, [])
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")
    # 1 KiB/s: the first could never pass the whole torrent on in time.
    client("first", first_port, os.path.join(top, "first"), [], {"MaxDownloadSpeed": 1})
    harness.wait_for(lambda: tracker.peers(info_hash) == 2, 30, "first announce")
    time.sleep(1)
    third = client("third", third_port, os.path.join(top, "third"), ["--exit-when-done"])
    code = third.wait(60)
    if code != 0 or not harness.same_tree(os.path.join(source, "pex"), os.path.join(top, "third", "pex")):
        return harness.fail(top, f"third exit {code}", "third.log", "first.log", "second.log")
    print("the third reached the seeder through peer exchange")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
