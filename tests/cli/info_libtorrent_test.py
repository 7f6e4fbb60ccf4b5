"""velbrook-cli --info against torrents made by python3-libtorrent: the info hash,
lengths and file layout printed must match what libtorrent says of the same file, and a file
that is no torrent gets one line on stderr and exit code 1.

Usage: info_libtorrent_test.py PATH/TO/velbrook-cli
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

import libtorrent as lt  # noqa: E402

ANNOUNCE = "http://127.0.0.1:6969/announce"
def info(path):
    proc = subprocess.run([harness.CLI, "--info", path], capture_output=True, timeout=60)
    fields, files = {}, []
    for line in proc.stdout.decode().splitlines():
        m = re.match(r"^  (.*)  size (\d+)  offset (\d+)$", line)
        if m:
            files.append((m.group(1), int(m.group(2)), int(m.group(3))))
        else:
            key, _, value = line.partition(":")
            fields[key.strip()] = value.strip()
    return proc.returncode, fields, files, proc.stdout.decode(), proc.stderr.decode("utf-8", "replace")


def compare_with_libtorrent(root, rel, label, flags=lt.create_torrent.v1_only):
    path = os.path.join(root, label + ".torrent")
    harness.make_torrent(root, rel, ANNOUNCE, path, 16384, flags)
    ti = lt.torrent_info(path)
    code, fields, files, _, err = info(path)
    harness.check(code == 0, f"{label}: exit code {code}, stderr {err!r}")
    expected = {"Info hash": str(ti.info_hashes().v1), "Name": ti.name(), "Announce": ANNOUNCE,
                "Total length": str(ti.total_size()), "Piece length": str(ti.piece_length()),
                "Pieces": str(ti.num_pieces())}
    harness.check({k: fields.get(k) for k in expected} == expected, f"{label}: {fields} != {expected}")
    fs = ti.files()
    layout = [(fs.file_path(i), fs.file_size(i), fs.file_offset(i)) for i in range(fs.num_files())]
    # A hybrid torrent carries pad files in its v1 list; only its SHA-1 info hash is compared.
    harness.check(flags == 0 or files == layout, f"{label}: files {files} != {layout}")


def trackers_and_private(root):
    """Every tier and URL of an announce-list, as libtorrent wrote it, and the private flag."""
    fs = lt.file_storage()
    lt.add_files(fs, os.path.join(root, "album"))
    ct = lt.create_torrent(fs, 16384, flags=lt.create_torrent.v1_only)
    tiers = [["udp://127.0.0.1:6969/announce", "http://127.0.0.1:6970/announce"],
             ["https://127.0.0.1:6971/announce"]]
    for tier, urls in enumerate(tiers):
        for url in urls:
            ct.add_tracker(url, tier)
    ct.set_priv(True)
    lt.set_piece_hashes(ct, root)
    path = os.path.join(root, "private.torrent")
    harness.write(path, lt.bencode(ct.generate()))
    code, fields, _, out, err = info(path)
    listed = re.findall(r"^  tier (\d+): (.*)$", out, re.M)
    expected = [(str(t + 1), url) for t, urls in enumerate(tiers) for url in urls]
    harness.check(code == 0 and listed == expected, f"tiers: {listed} != {expected} ({err!r})")
    harness.check(fields.get("Trackers") == "2" and fields.get("Access") == "private",
          f"private torrent: {fields}")


def main():
    with tempfile.TemporaryDirectory() as root:
        rnd = os.urandom(200_000)
        for rel, data in [("disc1/track1.bin", rnd[:40_000]), ("disc1/deep/er/track2.bin", rnd[40_000:90_001]),
                          ("empty.txt", b""), ("中文 café 😀/歌曲 ü.bin", rnd[:33_333]), ("notes.txt", b"hello")]:
            harness.write(os.path.join(root, "album", rel), data)
        compare_with_libtorrent(root, "album", "multi-file")
        compare_with_libtorrent(root, "album", "hybrid", flags=0)
        trackers_and_private(root)

        # Failures: one line on stderr, exit code 1, nothing on stdout.
        harness.write(os.path.join(root, "garbage.torrent"), b"d8:announce")
        harness.write(os.path.join(root, "refused.torrent"),
                      b"d4:infod6:lengthi0e4:name1:n12:piece lengthi16384e6:pieces0:ee")
        with open(os.path.join(root, "huge.torrent"), "wb") as f:
            f.truncate(65 * 1024 * 1024)
        for name in ["nope.torrent", "garbage.torrent", "refused.torrent", "huge.torrent", ""]:
            path = os.path.join(root, name) if name else root
            code, _, _, out, err = info(path)
            harness.check(code == 1 and out == "" and err.count("\n") == 1 and path in err,
                  f"{name or 'folder'}: code {code} out {out!r} err {err!r}")

    print(f"{len(harness.failures)} harness.check(s) failed" if harness.failures else "all --info checks passed")
    return 1 if harness.failures else 0


if __name__ == "__main__":
    sys.exit(main())
