"""transmission-remote drives a running velbrook-cli over the remote-control protocol: a .torrent
and a magnet link are added, listed (-l), shown (-i, -if), stopped, started and removed with their
data; the downloads behind them, from a python3-libtorrent seeder, finish with every byte equal.

Usage: rpc_remote_test.py PATH/TO/velbrook-cli
"""
import filecmp
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

REMOTE = "/usr/bin/transmission-remote"
SIZE = 24 * 1024 * 1024
TIMEOUT = 120


def remote(port, *args):
    """transmission-remote's output; a failed command fails the test."""
    done = subprocess.run([REMOTE, f"127.0.0.1:{port}", *args], capture_output=True, text=True,
                          timeout=30)
    if done.returncode != 0:
        raise RuntimeError(f"transmission-remote {' '.join(args)}: {done.stdout}{done.stderr}")
    return done.stdout


def listed(port):
    """The rows of -l by name: (id, done, status)."""
    rows = {}
    for line in remote(port, "-l").splitlines()[1:-1]:
        fields = line.split()
        if fields and fields[0].rstrip("*").isdigit():
            status = re.search(r"(Stopped|Idle|Seeding|Downloading|Up & Down|Verifying|Queued)", line)
            rows[fields[-1]] = (int(fields[0].rstrip("*")), fields[1], status and status.group(1))
    return rows


def main(procs, top):
    seeder, rpc = harness.free_port(), harness.free_port()
    tracker = harness.Tracker(procs, top, compact=True)
    source, torrent, hash_a = harness.source_torrent(top, tracker, "a.bin", SIZE)
    # The second torrent lies beside the first in the same source folder.
    harness.write_random(os.path.join(source, "b", "x.bin"), SIZE)
    harness.write_random(os.path.join(source, "b", "d", "y.bin"), 4000)
    torrent_b = os.path.join(top, "b.torrent")
    hash_b = harness.make_torrent(source, "b", tracker.url, torrent_b)
    session, _ = harness.lt_seed(tracker, torrent, source, hash_a, seeder)
    harness.lt_add(session, torrent_b, source)
    harness.wait_for(lambda: tracker.peers(hash_b, port=seeder), 30, "seeder announce of b")

    save = os.path.join(top, "save")
    velbrook = harness.client(procs, top, "velbrook", None, save, args=["--rpc", str(rpc)])
    harness.wait_for(lambda: harness.port_open(rpc) or velbrook.poll() is not None, 30,
                     "the remote-control port")
    if velbrook.poll() is not None:
        return harness.fail(top, "velbrook-cli ended", "velbrook.log")

    remote(rpc, "-a", torrent)
    remote(rpc, "-a", f"magnet:?xt=urn:btih:{hash_b.hex()}&dn=b&tr={tracker.url}")
    rows = listed(rpc)
    if set(rows) != {"a.bin", "b"} or rows["a.bin"][0] != 1 or rows["b"][0] != 2:
        return harness.fail(top, f"-l lists {rows}", "velbrook.log")

    def finished():
        rows = listed(rpc)
        return all(row[1] == "100%" for row in rows.values())
    try:
        harness.wait_for(finished, TIMEOUT, "both downloads at 100 %")
    except TimeoutError as e:
        return harness.fail(top, f"{e}: {listed(rpc)}", "velbrook.log")
    if not filecmp.cmp(os.path.join(source, "a.bin"), os.path.join(save, "a.bin"), shallow=False) \
            or not harness.same_tree(os.path.join(source, "b"), os.path.join(save, "b")):
        return harness.fail(top, "a copy differs", "velbrook.log")

    info = remote(rpc, "-t", hash_a.hex(), "-i")
    if f"Hash: {hash_a.hex()}" not in info or "Name: a.bin" not in info or "100%" not in info:
        return harness.fail(top, f"-i says:\n{info}", "velbrook.log")
    files = remote(rpc, "-t", "2", "-if")
    if "x.bin" not in files or "y.bin" not in files:
        return harness.fail(top, f"-if says:\n{files}", "velbrook.log")

    remote(rpc, "-t", "1", "-S")
    if listed(rpc)["a.bin"][2] != "Stopped":
        return harness.fail(top, f"-S left {listed(rpc)}", "velbrook.log")
    remote(rpc, "-t", "1", "-s")
    if listed(rpc)["a.bin"][2] == "Stopped":
        return harness.fail(top, f"-s left {listed(rpc)}", "velbrook.log")

    remote(rpc, "-t", "2", "--remove-and-delete")
    remote(rpc, "-t", "1", "-r")
    if listed(rpc) or os.path.exists(os.path.join(save, "b")) \
            or not os.path.exists(os.path.join(save, "a.bin")):
        return harness.fail(top, "removal left the wrong things behind", "velbrook.log")
    return harness.stopped(procs, velbrook, top)


if __name__ == "__main__":
    sys.exit(harness.run(main))
