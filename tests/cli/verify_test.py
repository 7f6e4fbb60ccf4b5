"""velbrook-cli --verify against data laid out by python3-libtorrent's torrent maker.

Usage: verify_test.py PATH/TO/velbrook-cli
Checks exit codes, the per-file and per-piece report, and that nothing on disk changes.
"""
import fcntl
import os
import struct
import subprocess
import sys
import tempfile

import libtorrent as lt

CLI = sys.argv[1]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_torrent(root, rel, piece_size=16384):
    fs = lt.file_storage()
    lt.add_files(fs, os.path.join(root, rel))
    ct = lt.create_torrent(fs, piece_size, flags=lt.create_torrent.v1_only)
    lt.set_piece_hashes(ct, root)
    path = os.path.join(os.path.dirname(root), os.path.basename(rel) + ".torrent")
    with open(path, "wb") as f:
        f.write(lt.bencode(ct.generate()))
    return path


def snapshot(root):
    state = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            state[p] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return state


def verify(torrent, save):
    proc = subprocess.run([CLI, "--verify", torrent, "--save", save], capture_output=True, timeout=120)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def main():
    with tempfile.TemporaryDirectory() as top:
        save = os.path.join(top, "save")
        data = os.urandom(300_000)
        write(os.path.join(save, "set/a.bin"), data[:100_000])
        write(os.path.join(save, "set/deep/b.bin"), data[100_000:250_001])
        write(os.path.join(save, "set/empty"), b"")
        write(os.path.join(save, "set/c.txt"), data[250_001:])
        torrent = make_torrent(save, "set")
        pieces = (300_000 + 16383) // 16384

        before = snapshot(save)
        code, out, err = verify(torrent, save)
        check(code == 0, f"complete data: exit {code} {err!r}")
        check(f"{pieces} of {pieces} pieces OK" in out, f"complete data: {out!r}")
        check("set/deep/b.bin: 150001 of 150001 bytes complete" in out, f"per-file line: {out!r}")
        check("set/empty: 0 of 0 bytes complete" in out, f"empty file line: {out!r}")

        # Good data that a running download holds (it takes an OFD write lock, as here) or that
        # we may not read cannot be checked: an error naming the file, never bad pieces.
        held = os.path.join(save, "set/deep/b.bin")
        with open(held, "r+b") as f:
            fcntl.fcntl(f, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))
            code, out, err = verify(torrent, save)
        check(code == 2, f"held file: exit {code}")
        check(held in err and "locked" in err and "pieces OK" not in out, f"held file: {out!r} {err!r}")
        # Root reads whatever the permission bits say, so this case only means something for
        # an ordinary user.
        if os.geteuid() != 0:
            os.chmod(held, 0)
            code, out, err = verify(torrent, save)
            os.chmod(held, 0o644)
            check(code == 2 and held in err and "permission denied" in err, f"unreadable: {code} {err!r}")

        # One flipped byte in the middle of the second file spoils exactly one piece.
        path = os.path.join(save, "set/deep/b.bin")
        with open(path, "r+b") as f:
            f.seek(70_000)
            byte = f.read(1)
            f.seek(70_000)
            f.write(bytes([byte[0] ^ 0xFF]))
        before = snapshot(save)
        code, out, err = verify(torrent, save)
        check(code == 1, f"corrupted: exit {code}")
        check(f"{pieces - 1} of {pieces} pieces OK" in out, f"corrupted: {out!r}")
        check("set/a.bin: 100000 of 100000 bytes complete" in out, f"untouched file: {out!r}")

        # A missing file and a short file: nothing is created or extended.
        os.remove(os.path.join(save, "set/c.txt"))
        with open(os.path.join(save, "set/a.bin"), "r+b") as f:
            f.truncate(50_000)
        before = snapshot(save)
        code, out, err = verify(torrent, save)
        check(code == 1, f"missing: exit {code}")
        check("set/c.txt: 0 of 49999 bytes complete" in out, f"missing file: {out!r}")
        check(snapshot(save) == before, "verify changed something on disk")
        check(not os.path.exists(os.path.join(save, "set/c.txt")), "verify created a file")

        # Errors: one line on stderr, exit 2.
        for label, args in [("no save folder", [torrent, os.path.join(top, "nope")]),
                            ("bad torrent", [os.path.join(top, "nope.torrent"), save])]:
            code, out, err = verify(*args)
            check(code == 2 and err.count("\n") == 1, f"{label}: exit {code} err {err!r}")
        proc = subprocess.run([CLI, "--verify", torrent], capture_output=True)
        check(proc.returncode == 2, "--verify without --save")

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all --verify checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
