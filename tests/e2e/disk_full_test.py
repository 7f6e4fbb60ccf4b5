"""A disk that fills up mid-download: velbrook-cli stops the torrent saying which file and why,
at once and also with its output going to a file (and --exit-when-done exits 1), keeps its
verified pieces, and once there is room again it carries on where it stopped instead of starting
over.

The save folder is a small tmpfs when this process may mount one; otherwise a file size limit
(RLIMIT_FSIZE) on the client makes its writes fail the same way.

Usage: disk_full_test.py PATH/TO/velbrook-cli
"""
import os
import resource
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIZE = 8 << 20
ROOM = 3 << 20  # what fits before the disk is full


def limited_file_size():
    # As a shell's "ulimit -f" leaves it: the signal that the write past the limit raises
    # would kill the client unless it ignores the signal itself (the write then fails, EFBIG).
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_FSIZE, (ROOM, ROOM))


def main(procs, top):
    tracker = harness.Tracker(procs, top, compact=True)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "data.bin", SIZE, 1 << 18)
    seeder, _ = harness.lt_seed(tracker, torrent, source, info_hash, harness.free_port())

    # Left running, with its output going to a file: the stop is told when it happens.
    logged = os.path.join(top, "logged")
    client = harness.client(procs, top, "logged", torrent, logged, preexec=limited_file_size)
    told = f"can't write {os.path.join(logged, 'data.bin')}: File too large"

    def stop_told():
        with open(os.path.join(top, "logged.log"), errors="replace") as f:
            return any(line.startswith("velbrook-cli: data.bin: ") and told in line for line in f)
    harness.wait_for(lambda: stop_told() or client.poll() is not None, 120, "the stop told")
    if not stop_told() or procs.stop(client) != 1:
        return harness.fail(top, f"no '{told}' while running, or exit {client.returncode}",
                            "logged.log")

    save = os.path.join(top, "save")
    os.makedirs(save)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={ROOM}", "tmpfs", save],
                             capture_output=True).returncode == 0
    port = harness.free_port()
    args = [harness.CLI, "--profile", harness.profile(os.path.join(top, "p"), {"ListenPort": port}),
            "--save", save, "--exit-when-done", torrent]
    try:
        full = subprocess.run(args, capture_output=True, timeout=120,
                              preexec_fn=None if mounted else limited_file_size)
        reason = "No space left on device" if mounted else "File too large"
        expected = f"can't write {os.path.join(save, 'data.bin')}: {reason}"
        if full.returncode != 1 or expected.encode() not in full.stderr:
            print(full.stderr.decode(errors="replace")[-2000:])
            return harness.fail(top, f"full disk: exit {full.returncode}, no '{expected}'")

        # Room again: the verified pieces are kept, only the rest is fetched.
        if mounted and subprocess.run(["mount", "-o", f"remount,size={4 * SIZE}", save]).returncode:
            return harness.fail(top, "could not make room on the tmpfs")
        again = subprocess.run(args, capture_output=True, timeout=120)
        last = tracker.last(info_hash, port)
        if again.returncode != 0 or not harness.same_tree(source, save):
            print(again.stderr.decode(errors="replace")[-2000:])
            return harness.fail(top, f"after making room: exit {again.returncode}, data differs")
        if len(last) != 5 or not 0 < int(last[2]) < SIZE - ROOM // 2:
            return harness.fail(top, f"after making room it downloaded {last}: not resumed")
    finally:
        seeder = None  # noqa: F841 closes the session
        if mounted:
            subprocess.run(["umount", "-l", save])
    print(f"full disk ({'tmpfs' if mounted else 'file size limit'}) stopped with the reason; "
          f"resumed with {last[2]} of {SIZE} bytes fetched again")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
