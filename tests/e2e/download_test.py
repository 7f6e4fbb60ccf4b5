"""Two velbrook-cli processes with separate profiles: one seeds, one downloads a multi-file
torrent through the test tracker; the bytes on disk must equal the source.

Usage: download_test.py PATH/TO/velbrook-cli
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

CLI = sys.argv[1]


def main(procs, top):
    tracker = harness.Tracker(procs, top)
    source = os.path.join(top, "source")
    data = os.urandom(400_000)
    # Nested folders, an empty file, sizes that are not multiples of 16 KiB, and 32 KiB
    # pieces that span file boundaries.
    harness.write(os.path.join(source, "album/cd1/01.bin"), data[:100_001])
    harness.write(os.path.join(source, "album/cd1/deep/02.bin"), data[100_001:250_000])
    harness.write(os.path.join(source, "album/empty.txt"), b"")
    harness.write(os.path.join(source, "album/notes.txt"), data[250_000:250_777])
    harness.write(os.path.join(source, "album/cd2/03.bin"), data[250_777:])
    torrent = os.path.join(top, "album.torrent")
    info_hash = harness.make_torrent(source, "album", tracker.url, torrent)

    seed_port = harness.free_port()
    seeder = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p-seed"), {"ListenPort": seed_port}),
         "--save", source, torrent], os.path.join(top, "seeder.log"))
    harness.wait_for(lambda: tracker.peers(info_hash) == 1, 30, "seeder announce")

    target = os.path.join(top, "target")
    leech_port = harness.free_port()
    leecher = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p-leech"), {"ListenPort": leech_port}),
         "--save", target, "--exit-when-done", torrent], os.path.join(top, "leecher.log"))
    try:
        code = leecher.wait(120)
    except Exception:
        code = None
    ok = code == 0 and harness.same_tree(os.path.join(source, "album"), os.path.join(target, "album"))
    if not ok:
        return harness.fail(top, f"leecher exit {code}", "seeder.log", "leecher.log", "tracker.log")
    seed_code = procs.stop(seeder)
    if seed_code != 0:
        print(f"FAIL: seeder exited {seed_code} on SIGTERM")
        return 1
    print("download matches the source")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
