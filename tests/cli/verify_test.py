"""velbrook-cli --verify against data laid out by python3-libtorrent's torrent maker: exit
codes, the per-file and per-piece report, data that a running download holds, and that nothing
on disk changes.

Usage: verify_test.py PATH/TO/velbrook-cli
"""
import fcntl
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

def snapshot(root):
    return {path: (st.st_mode, st.st_size, st.st_mtime_ns) for path, st in
            ((os.path.join(d, n), os.lstat(os.path.join(d, n))) for d, ds, fs in os.walk(root) for n in ds + fs)}


def verify(*args):
    proc = subprocess.run([harness.CLI, "--verify", *args], capture_output=True, timeout=120)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def main():
    with tempfile.TemporaryDirectory() as top:
        save = os.path.join(top, "save")
        data = os.urandom(300_000)
        for rel, part in [("a.bin", data[:100_000]), ("deep/b.bin", data[100_000:250_001]),
                          ("empty", b""), ("c.txt", data[250_001:])]:
            harness.write(os.path.join(save, "set", rel), part)
        torrent = os.path.join(top, "set.torrent")
        harness.make_torrent(save, "set", "http://127.0.0.1:1/a", torrent, 16384)
        pieces = (300_000 + 16383) // 16384

        code, out, err = verify(torrent, "--save", save)
        harness.check(code == 0 and f"{pieces} of {pieces} pieces OK" in out and "set/empty: 0 of 0 bytes complete"
              in out and "set/deep/b.bin: 150001 of 150001 bytes complete" in out, f"complete: {out!r} {err!r}")

        # Good data that a running download holds (it takes an OFD write lock, as here) cannot be
        # checked: an error naming the file, never bad pieces.
        held = os.path.join(save, "set/deep/b.bin")
        with open(held, "r+b") as f:
            fcntl.fcntl(f, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))
            code, out, err = verify(torrent, "--save", save)
            harness.check(code == 2 and held in err and "locked" in err and "pieces OK" not in out,
                  f"held file: {code} {out!r} {err!r}")
            # One flipped byte in the middle of the second file spoils exactly one piece.
            f.seek(70_000)
            byte = f.read(1)
            f.seek(70_000)
            f.write(bytes([byte[0] ^ 0xFF]))
        code, out, err = verify(torrent, "--save", save)
        harness.check(code == 1 and f"{pieces - 1} of {pieces} pieces OK" in out and
              "set/a.bin: 100000 of 100000 bytes complete" in out, f"corrupted: {code} {out!r}")

        # A missing file and a short file: nothing is created or extended.
        os.remove(os.path.join(save, "set/c.txt"))
        with open(os.path.join(save, "set/a.bin"), "r+b") as f:
            f.truncate(50_000)
        before = snapshot(save)
        code, out, err = verify(torrent, "--save", save)
        harness.check(code == 1 and "set/c.txt: 0 of 49999 bytes complete" in out, f"missing: {code} {out!r}")
        harness.check(snapshot(save) == before, "verify changed something on disk")

        # Errors: one line on stderr, exit 2.
        for label, args in [("no save folder", [torrent, "--save", os.path.join(top, "nope")]),
                            ("bad torrent", [os.path.join(top, "nope.torrent"), "--save", save]),
                            ("no --save", [torrent])]:
            code, out, err = verify(*args)
            harness.check(code == 2 and err.count("\n") == 1, f"{label}: exit {code} err {err!r}")

    print(f"{len(harness.failures)} harness.check(s) failed" if harness.failures else "all --verify checks passed")
    return 1 if harness.failures else 0


if __name__ == "__main__":
    sys.exit(main())
