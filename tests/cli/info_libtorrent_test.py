"""velbrook-cli --info against torrents made by python3-libtorrent and by hand.

Usage: info_libtorrent_test.py PATH/TO/velbrook-cli
The info hash, lengths and file layout printed must match what libtorrent says of the same file.
"""
import hashlib
import os
import re
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


def run_info(path):
    proc = subprocess.run([CLI, "--info", path], capture_output=True, timeout=60)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8", "replace")


def parse(out):
    fields = {}
    files = []
    for line in out.splitlines():
        m = re.match(r"^  (.*)  size (\d+)  offset (\d+)$", line)
        if m:
            files.append((m.group(1), int(m.group(2)), int(m.group(3))))
            continue
        key, _, value = line.partition(":")
        fields[key.strip()] = value.strip()
    return fields, files


def make_torrent(root, rel, flags, piece_size=16384):
    fs = lt.file_storage()
    lt.add_files(fs, os.path.join(root, rel))
    ct = lt.create_torrent(fs, piece_size, flags=flags)
    ct.add_tracker("http://127.0.0.1:6969/announce")
    lt.set_piece_hashes(ct, root)
    data = lt.bencode(ct.generate())
    path = os.path.join(root, rel.replace("/", "_") + ".torrent")
    with open(path, "wb") as f:
        f.write(data)
    return path


def compare_with_libtorrent(path, label, compare_files=True):
    ti = lt.torrent_info(path)
    code, out, err = run_info(path)
    check(code == 0, f"{label}: exit code {code}, stderr {err!r}")
    if code != 0:
        return
    fields, files = parse(out)
    check(fields.get("Info hash") == str(ti.info_hashes().v1), f"{label}: info hash {fields.get('Info hash')} != {ti.info_hashes().v1}")
    check(fields.get("Name") == ti.name(), f"{label}: name {fields.get('Name')!r} != {ti.name()!r}")
    check(fields.get("Announce") == "http://127.0.0.1:6969/announce", f"{label}: announce {fields.get('Announce')!r}")
    check(int(fields.get("Total length", -1)) == ti.total_size(), f"{label}: total length")
    check(int(fields.get("Piece length", -1)) == ti.piece_length(), f"{label}: piece length")
    check(int(fields.get("Pieces", -1)) == ti.num_pieces(), f"{label}: piece count")
    if compare_files:
        fs = ti.files()
        expected = [(fs.file_path(i).replace(os.sep, "/"), fs.file_size(i), fs.file_offset(i))
                    for i in range(fs.num_files())]
        check(files == expected, f"{label}: files {files} != {expected}")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    with tempfile.TemporaryDirectory() as root:
        rnd = os.urandom(200_000)
        write(os.path.join(root, "single.bin"), rnd[:100_003])
        compare_with_libtorrent(make_torrent(root, "single.bin", lt.create_torrent.v1_only), "single-file")

        write(os.path.join(root, "album/disc1/track1.bin"), rnd[:40_000])
        write(os.path.join(root, "album/disc1/deep/er/track2.bin"), rnd[40_000:90_001])
        write(os.path.join(root, "album/empty.txt"), b"")
        write(os.path.join(root, "album/notes.txt"), b"hello")
        compare_with_libtorrent(make_torrent(root, "album", lt.create_torrent.v1_only), "multi-file nested")

        write(os.path.join(root, "中文 café 😀/歌曲 ü.bin"), rnd[:33_333])
        write(os.path.join(root, "中文 café 😀/ß.txt"), b"x" * 10)
        compare_with_libtorrent(make_torrent(root, "中文 café 😀", lt.create_torrent.v1_only), "non-ASCII names")

        # A hybrid torrent carries pad files in its v1 list; the SHA-1 info hash must still match.
        compare_with_libtorrent(make_torrent(root, "album", 0, piece_size=32768), "hybrid", compare_files=False)

        # Hand-made bencode with unsorted keys: the hash covers the bytes exactly as written.
        info = b"d6:pieces20:" + b"\x01" * 20 + b"4:name5:hand!12:piece lengthi32768e6:lengthi1000ee"
        hand = os.path.join(root, "hand.torrent")
        write(hand, b"d4:info" + info + b"8:announce9:http://x/e")
        code, out, err = run_info(hand)
        fields, files = parse(out)
        check(code == 0 and fields.get("Info hash") == hashlib.sha1(info).hexdigest(), f"hand-made: {out!r} {err!r}")
        check(files == [("hand!", 1000, 0)], f"hand-made files {files}")

        # Failures: one line on stderr, exit code 1, nothing on stdout.
        garbage = os.path.join(root, "garbage.torrent")
        write(garbage, b"d8:announce")
        refused = os.path.join(root, "refused.torrent")
        write(refused, b"d4:infod6:lengthi0e4:name1:n12:piece lengthi16384e6:pieces0:ee")
        huge = os.path.join(root, "huge.torrent")
        with open(huge, "wb") as f:
            f.truncate(65 * 1024 * 1024)
        for label, path in [("missing", os.path.join(root, "nope.torrent")), ("garbage", garbage),
                            ("refused", refused), ("over 64 MiB", huge), ("folder", root)]:
            code, out, err = run_info(path)
            check(code == 1 and out == "" and err.count("\n") == 1 and path in err,
                  f"{label}: code {code} out {out!r} err {err!r}")

    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all --info checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
