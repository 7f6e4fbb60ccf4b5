"""Peer exchange between three copies: the tracker lists the seeder (second) only to the first,
and only the first to the third. The first is throttled to a trickle, so the third can only
finish in time by reaching the seeder through the first's EXT_PEERS.

Usage: pex_test.py PATH/TO/velbrook-cli
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def main(procs, top):
    first, second, third = (harness.free_port() for _ in range(3))
    tracker = harness.Tracker(procs, top, only=f"{first}>{second},{third}>{first},{second}>0")
    source, torrent, info_hash = harness.source_torrent(top, tracker, "pex", {"data.bin": 600_000})

    def client(name, port, save, args=(), settings=None):
        return harness.client(procs, top, name, torrent, save, {"ListenPort": port, **(settings or {})},
                              args)

    client("second", second, source)
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")
    # 1 KiB/s: the first could never pass the whole torrent on in time.
    client("first", first, os.path.join(top, "first"), settings={"MaxDownloadSpeed": 1})
    harness.wait_for(lambda: tracker.peers(info_hash) == 2, 30, "first announce")
    # The first has only the seeder to pass on: it must be connected to it before the third asks.
    # Nobody else knows the seeder, so a connection to its port is the first's.
    harness.wait_for(lambda: harness.connections({second}), 30, "first connected to the seeder")
    code = harness.exit_code(client("third", third, os.path.join(top, "third"), ["--exit-when-done"]), 60)
    if code != 0 or not harness.same_tree(os.path.join(source, "pex"), os.path.join(top, "third", "pex")):
        return harness.fail(top, f"third exit {code}", "third.log", "first.log", "second.log")
    print("the third reached the seeder through peer exchange")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
