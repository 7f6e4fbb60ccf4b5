"""Big torrents and busy clients.

- A torrent of 10 000 files seeds from one velbrook-cli to another, both allowed only 1 024
  descriptors: files are opened as they are used, from a bounded set.
- While one torrent's 1 GiB of data is being checked, another torrent downloads to completion in
  the same client, and SIGTERM ends the client within 2 s.

Usage: scale_test.py PATH/TO/velbrook-cli
"""
import os
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

CLI = sys.argv[1]
FILES = 10_000


def few_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))


def many_files(procs, top, tracker):
    source = os.path.join(top, "source")
    for i in range(FILES):
        harness.write(os.path.join(source, "many", f"d{i // 500}", f"f{i}.bin"),
                      os.urandom(1000 + i % 3000))
    torrent = os.path.join(top, "many.torrent")
    info_hash = harness.make_torrent(source, "many", tracker.url, torrent, piece_size=1 << 18)
    seeder_port = harness.free_port()
    seeder = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p1"), {
            "ListenPort": seeder_port, "MaxUploadSpeed": 4_000_000}), "--save", source, torrent],
        os.path.join(top, "seeder.log"), preexec=few_descriptors)
    harness.wait_for(lambda: seeder.poll() is not None or
                     tracker.peers(info_hash, port=seeder_port, complete=True), 120, "seeder check")
    ours = os.path.join(top, "ours")
    leecher = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p2"), {"ListenPort": harness.free_port()}),
         "--save", ours, "--exit-when-done", torrent],
        os.path.join(top, "leecher.log"), preexec=few_descriptors)
    leecher.wait(240)
    seeded = procs.stop(seeder)
    if leecher.returncode != 0 or seeded != 0 or not harness.same_tree(os.path.join(source, "many"),
                                                                      os.path.join(ours, "many")):
        return harness.fail(top, f"{FILES} files: leecher exit {leecher.returncode}, seeder exit "
                            f"{seeded}, or the data differs", "seeder.log", "leecher.log")
    return 0


def check_while_downloading(procs, top, tracker):
    big = os.path.join(top, "big")
    os.makedirs(big)
    with open(os.path.join(big, "zeros.bin"), "wb") as f:
        f.truncate(1 << 30)
    big_torrent = os.path.join(top, "big.torrent")
    big_hash = harness.make_torrent(big, "zeros.bin", tracker.url, big_torrent, piece_size=1 << 20)
    source = os.path.join(top, "small")
    harness.write_random(os.path.join(source, "small.bin"), 4 << 20)
    small_torrent = os.path.join(top, "small.torrent")
    small_hash = harness.make_torrent(source, "small.bin", tracker.url, small_torrent,
                                      piece_size=1 << 18)
    seeder, _ = harness.lt_seed(tracker, small_torrent, source, small_hash, harness.free_port())
    port = harness.free_port()
    client = procs.start(
        [CLI, "--profile", harness.profile(os.path.join(top, "p3"), {"ListenPort": port}),
         "--save", big, big_torrent], os.path.join(top, "client.log"))
    harness.wait_for(lambda: os.path.exists(os.path.join(top, "p3", ".lock")), 10, "client start")
    handed = subprocess.run([CLI, "--profile", os.path.join(top, "p3"), "--save",
                             os.path.join(top, "got"), small_torrent], capture_output=True, timeout=30)
    harness.wait_for(lambda: tracker.peers(small_hash, port=port, complete=True), 60,
                     "the small torrent while the big one is checked")
    checking = tracker.peers(big_hash, port=port) == 0  # announced once its check is done
    start = time.monotonic()
    code = procs.stop(client)
    took = time.monotonic() - start
    seeder = None  # noqa: F841 closes the session
    got = harness.same_tree(source, os.path.join(top, "got"))  # where the second copy said
    if handed.returncode != 0 or not got or not checking or code != 0 or took > 2:
        return harness.fail(top, f"handed over: exit {handed.returncode}, saved as asked: {got}; "
                            f"still checking when the "
                            f"other completed: {checking}; exit {code} after {took:.1f} s",
                            "client.log")
    print(f"a torrent downloaded while 1 GiB was checked; SIGTERM exit after {took:.2f} s")
    return 0


def main(procs, top):
    tracker = harness.Tracker(procs, top, compact=True)
    return many_files(procs, top, tracker) or check_while_downloading(procs, top, tracker)


if __name__ == "__main__":
    sys.exit(harness.run(main))
