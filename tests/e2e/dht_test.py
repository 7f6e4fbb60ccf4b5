"""Torrents without trackers, found through a private DHT of python3-libtorrent sessions on
127.0.0.1 (dht_swarm.py), once libtorrent alone has fetched the torrent that way:
a. Velbrook, whose only router is one node of the swarm, downloads a torrent given as a bare
   magnet link (no tr, no x.pe) from a libtorrent seeder, every byte equal;
b. with that seeder gone, a libtorrent downloader that knows only the DHT finds Velbrook as the
   torrent's only seeder and downloads it from Velbrook;
c. Velbrook stopped and started again on another port with a dead router reaches the DHT from
   the nodes it saved, under the node id it saved (the one the swarm knew), and downloads
   another bare magnet link.

Usage: dht_test.py PATH/TO/velbrook-cli
"""
import filecmp
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dht_swarm  # noqa: E402
import harness  # noqa: E402

import libtorrent as lt  # noqa: E402

SIZE = 24 * 1024 * 1024
TIMEOUT = 90


def bare_torrent(top, name, size):
    """A file of `size` random bytes under top/source and its torrent without trackers:
    (torrent path, info hash)."""
    harness.write_random(os.path.join(top, "source", name), size)
    torrent = os.path.join(top, name + ".torrent")
    return torrent, harness.make_torrent(os.path.join(top, "source"), name, [], torrent)


def bare_link(info_hash):
    return f"magnet:?xt=urn:btih:{info_hash.hex()}"


def same_file(a, b):
    return os.path.isfile(b) and filecmp.cmp(a, b, shallow=False)


def main(procs, top):
    swarm = dht_swarm.Swarm(procs, top)
    source = os.path.join(top, "source")
    big, big_hash = bare_torrent(top, "big.bin", SIZE)
    small, small_hash = bare_torrent(top, "small.bin", 1 << 20)
    seeder_port = harness.free_port()
    seeder, (big_handle, _) = dht_swarm.seed(swarm, [big, small], source, seeder_port)
    why = dht_swarm.fetch(swarm, big_hash, os.path.join(top, "check"), harness.free_port(), TIMEOUT)
    if why:
        return harness.fail(top, f"libtorrent alone cannot fetch through the private DHT: {why}",
                            "dht.log")

    save = os.path.join(top, "velbrook")
    velbrook = harness.client(procs, top, "velbrook", bare_link(big_hash), save,
                              {"DhtRouters": swarm.router})
    got = os.path.join(save, "big.bin")
    why = harness.wait_transfer(lambda: velbrook.poll() is not None or (
        harness.stored_bytes(save) >= SIZE and same_file(source + "/big.bin", got)),
        lambda: harness.stored_bytes(save), TIMEOUT)
    if why or velbrook.poll() is not None:
        return harness.fail(top, f"Velbrook did not download the bare magnet link: {why}",
                            "velbrook.log")

    # Velbrook announced itself at the end of its lookup; then it is the only seeder left.
    swarm.wait_announced(big_hash, velbrook.port)
    seeder.remove_torrent(big_handle)
    why = dht_swarm.fetch(swarm, big_hash, os.path.join(top, "downloader"), harness.free_port(),
                          TIMEOUT)
    if why or not same_file(source + "/big.bin", top + "/downloader/big.bin"):
        return harness.fail(top, f"libtorrent did not download from Velbrook through the DHT: {why}",
                            "velbrook.log")

    before = swarm.node_ids(velbrook.port)
    code = procs.stop(velbrook)
    with open(os.path.join(top, "p-velbrook", "Dht.dat"), "rb") as f:
        saved = lt.bdecode(f.read())[b"id"].hex()
    if code != 0 or set(before) != {saved}:
        return harness.fail(top, f"velbrook-cli exited {code}; node ids {set(before)}, {saved} saved",
                            "velbrook.log")
    # Started again on another port with a dead router, nobody can reach it first: only the
    # nodes it saved lead it back into the swarm.
    dead_router = f"127.0.0.1:{harness.free_port()}"
    velbrook = harness.client(procs, top, "velbrook", bare_link(small_hash), save,
                              {"DhtRouters": dead_router}, ["--exit-when-done"])
    code = harness.exit_code(velbrook, TIMEOUT)
    if code != 0 or not same_file(source + "/small.bin", save + "/small.bin"):
        return harness.fail(top, f"after a restart with a dead router: exit {code}", "velbrook.log")
    harness.wait_for(lambda: swarm.node_ids(velbrook.port), 10, "the swarm hearing the restarted node")
    if set(swarm.node_ids(velbrook.port)) != {saved}:
        return harness.fail(top, f"the restarted node said {set(swarm.node_ids(velbrook.port))}, "
                            f"not the saved id {saved}", "velbrook.log")
    print(f"bare magnet links worked both ways; the restarted node kept id {before[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
