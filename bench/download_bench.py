"""Download time of a 1 GiB single-file torrent on 127.0.0.1 from a python3-libtorrent seeder:
velbrook-cli against a python3-libtorrent downloader fetching the same torrent from the same
seeder in the same run. Prints MB/s, the ratio, and peak RSS and CPU seconds of both.

Usage: /usr/bin/python3 bench/download_bench.py PATH/TO/velbrook-cli [SIZE_MIB]
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

CLI = os.path.abspath(sys.argv[1])
SIZE = int(sys.argv[2]) * 1024 * 1024 if len(sys.argv) > 2 else 1024 * 1024 * 1024

LT_PEER = os.path.join(harness.HERE, "lt_peer.py")


def timed(args, log):
    """Wall seconds, CPU seconds and peak RSS (KiB) of one process, measured by GNU time."""
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", log + ".time", *args],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=1800)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"{args[0]} failed with {proc.returncode}")
    user, system, rss = open(log + ".time").read().split()[-3:]
    return wall, float(user) + float(system), int(rss)


def main():
    procs = harness.Processes()
    try:
        with tempfile.TemporaryDirectory(dir="/var/tmp") as top:
            tracker = harness.Tracker(procs, top)
            source = os.path.join(top, "source")
            os.makedirs(source)
            chunk = os.urandom(16 << 20)
            with open(os.path.join(source, "payload.bin"), "wb") as f:
                for _ in range(SIZE // len(chunk)):
                    f.write(chunk)
            torrent = os.path.join(top, "payload.torrent")
            info_hash = harness.make_torrent(source, "payload.bin", tracker.url, torrent,
                                             piece_size=1 << 20)
            procs.start(["/usr/bin/python3", LT_PEER, "seed", torrent, source, str(harness.free_port())],
                        os.path.join(top, "seeder.log"))
            harness.wait_for(lambda: tracker.peers(info_hash) == 1, 60, "seeder announce")

            ours = timed([CLI, "--profile", harness.profile(os.path.join(top, "p"), {
                "ListenPort": harness.free_port(), "MaxUploadSpeed": 0}),
                "--save", os.path.join(top, "ours"), "--exit-when-done", torrent],
                os.path.join(top, "ours"))
            theirs = timed(["/usr/bin/python3", LT_PEER, "download", torrent, os.path.join(top, "theirs"),
                            str(harness.free_port())], os.path.join(top, "theirs"))
    finally:
        procs.stop_all()

    mb = SIZE / 1e6
    for label, (wall, cpu, rss) in (("velbrook-cli", ours), ("python3-libtorrent", theirs)):
        print(f"{label:20s} {wall:7.2f} s  {mb / wall:7.1f} MB/s  CPU {cpu:6.2f} s  peak RSS {rss / 1024:7.1f} MiB")
    print(f"speed ratio velbrook/libtorrent: {theirs[0] / ours[0]:.2f} (goal at least 1.00)")
    print(f"CPU ratio velbrook/libtorrent: {ours[1] / theirs[1]:.2f} (goal below 1.00)")


if __name__ == "__main__":
    main()
