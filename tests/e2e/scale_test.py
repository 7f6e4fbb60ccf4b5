"""Big torrents and busy clients.

- A torrent of 10 000 files seeds from one velbrook-cli to another, both allowed only 1 024
  descriptors: files are opened as they are used, from a bounded set.
- While one torrent's 1 GiB of data is being checked, another torrent downloads to completion
  in the same client, and SIGTERM ends the client within 2 s.

Usage: scale_test.py PATH/TO/velbrook-cli
"""
import filecmp
import os
import subprocess
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

FILES = 10_000


def few_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))


def many_files(procs, top, tracker):
    files = {f"d{i // 500}/f{i}.bin": os.urandom(1000 + i % 3000) for i in range(FILES)}
    source, torrent, info_hash = harness.source_torrent(top, tracker, "many", files, 1 << 18)
    seeder = harness.client(procs, top, "seeder", torrent, source, {"MaxUploadSpeed": 4_000_000},
                            preexec=few_descriptors)
    harness.wait_for(lambda: seeder.poll() is not None or
                     tracker.peers(info_hash, port=seeder.port, complete=True), 120, "seeder check")
    ours = os.path.join(top, "ours")
    leecher = harness.client(procs, top, "leecher", torrent, ours, args=["--exit-when-done"],
                             preexec=few_descriptors)
    code = harness.exit_code(leecher, 240)
    seeded = procs.stop(seeder)
    if code != 0 or seeded != 0 or not harness.same_tree(os.path.join(source, "many"),
                                                         os.path.join(ours, "many")):
        return harness.fail(top, f"{FILES} files: leecher exit {code}, seeder exit {seeded}, or "
                            "the data differs", "seeder.log", "leecher.log")
    return 0


def zeros_torrent(top, tracker, size):
    """A sparse file of `size` zero bytes under top/big and its torrent."""
    big = os.path.join(top, "big")
    os.makedirs(big, exist_ok=True)
    with open(os.path.join(big, "zeros.bin"), "wb") as f:
        f.truncate(size)
    torrent = os.path.join(top, "big.torrent")
    return big, torrent, harness.make_torrent(big, "zeros.bin", tracker.url, torrent,
                                              piece_size=1 << 20)


def check_while_downloading(procs, top, tracker):
    # At least 1 GiB, and enough for the check to outlast the small download in any build: an
    # optimised build checks zeros several times faster than a sanitized one.
    big, big_torrent, _ = zeros_torrent(top, tracker, 64 << 20)
    start = time.monotonic()
    subprocess.run([harness.CLI, "--verify", big_torrent, "--save", big], capture_output=True,
                   timeout=120)
    per_mib = (time.monotonic() - start) / 64
    size = max(1 << 30, int(6 / max(per_mib, 1e-4)) << 20)
    big, big_torrent, big_hash = zeros_torrent(top, tracker, size)
    source, small_torrent, small_hash = harness.source_torrent(
        os.path.join(top, "small"), tracker, "small.bin", 4 << 20, 1 << 18)
    seeder, _ = harness.lt_seed(tracker, small_torrent, source, small_hash, harness.free_port())
    client = harness.client(procs, top, "client", big_torrent, big, args=[small_torrent])
    harness.wait_for(lambda: tracker.peers(small_hash, port=client.port, complete=True), 60,
                     "the small torrent while the big one is checked")
    checking = tracker.peers(big_hash, port=client.port) == 0  # announced once its check is done
    start = time.monotonic()
    code = procs.stop(client)
    took = time.monotonic() - start
    seeder = None  # noqa: F841 closes the session
    got = filecmp.cmp(os.path.join(source, "small.bin"), os.path.join(big, "small.bin"), shallow=False)
    if not got or not checking or code != 0 or took > 2:
        return harness.fail(top, f"downloaded: {got}; still checking {size >> 30} GiB when the "
                            f"other completed: {checking}; exit {code} after {took:.1f} s",
                            "client.log")
    print(f"a torrent downloaded while {size >> 30} GiB were checked; SIGTERM exit after "
          f"{took:.2f} s")
    return 0


def main(procs, top):
    tracker = harness.Tracker(procs, top, compact=True)
    return many_files(procs, top, tracker) or check_while_downloading(procs, top, tracker)


if __name__ == "__main__":
    sys.exit(harness.run(main))
