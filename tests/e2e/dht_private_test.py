"""A private torrent never touches the DHT: Velbrook's only DHT node is a socket of the test,
which sees every datagram. A private torrent announces to its tracker, then a public bare magnet
link is handed to the running Velbrook and looked up through that node; by then not one
datagram has carried the private torrent's info hash.

Usage: dht_private_test.py PATH/TO/velbrook-cli
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dht_swarm  # noqa: E402
import harness  # noqa: E402

import libtorrent as lt  # noqa: E402


def private_torrent(top, tracker):
    """A private torrent of 1 MiB on `tracker` that nobody seeds: (path, info hash)."""
    source = os.path.join(top, "source")
    harness.write_random(os.path.join(source, "secret.bin"), 1 << 20)
    fs = lt.file_storage()
    lt.add_files(fs, os.path.join(source, "secret.bin"))
    ct = lt.create_torrent(fs, 32768, flags=lt.create_torrent.v1_only)
    ct.add_tracker(tracker.url)
    ct.set_priv(True)
    lt.set_piece_hashes(ct, source)
    torrent = os.path.join(top, "secret.torrent")
    harness.write(torrent, lt.bencode(ct.generate()))
    return torrent, lt.torrent_info(torrent).info_hashes().v1.to_bytes()


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    torrent, secret = private_torrent(top, tracker)
    public = os.urandom(20)
    save = os.path.join(top, "velbrook")
    with dht_swarm.FakeNode() as node:
        velbrook = harness.client(procs, top, "velbrook", torrent, save, {"DhtRouters": node.address})
        harness.wait_for(lambda: velbrook.poll() is not None or tracker.peers(secret, port=velbrook.port),
                         60, "the private torrent's announce")
        handed = subprocess.run([harness.CLI, "--profile", os.path.join(top, "p-velbrook"), "--save",
                                 save, f"magnet:?xt=urn:btih:{public.hex()}"], capture_output=True,
                                timeout=60)
        try:
            harness.wait_for(lambda: node.queries("get_peers", public), 60, "a lookup of the public link")
        except TimeoutError:
            return harness.fail(top, f"no lookup of the public link (hand-off exit {handed.returncode}, "
                                f"{len(node.datagrams)} datagrams)", "velbrook.log")
        leaks = [d for d in node.datagrams if secret in d]
    if leaks:
        return harness.fail(top, f"the private info hash went to the DHT: {leaks[:3]}", "velbrook.log")
    if harness.stopped(procs, velbrook, top):
        return 1
    print(f"{len(node.datagrams)} datagrams, a lookup of the public link, none about the private torrent")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
