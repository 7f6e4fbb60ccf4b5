"""Start-up (and orderly shut-down) time and peak RSS of velbrook-cli with a profile of 1 000
stopped torrents, against the same with an empty profile, measured in the same run.

Usage: /usr/bin/python3 bench/profile_bench.py PATH/TO/velbrook-cli [COUNT]
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import time

CLI = os.path.abspath(sys.argv[1])
COUNT = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
HEADER = '<?xml version="1.0" encoding="GB2312" ?>\n'


def bencode_torrent(i):
    pieces = 40  # 40 pieces of 256 KiB, 3 files
    info = (b"d5:filesl" + b"".join(b"d6:lengthi%de4:pathl%d:%see" % (
        3495253, len(f"f{j}.bin"), f"f{j}.bin".encode()) for j in range(3)) +
        b"e4:name%d:%s12:piece lengthi262144e6:pieces%d:" % (len(f"t{i}"), f"t{i}".encode(), 20 * pieces) +
        os.urandom(20 * pieces) + b"e")
    return b"d8:announce30:http://127.0.0.1:9/announce.php4:info" + info + b"e", hashlib.sha1(info).hexdigest()


def make_profile(root, count):
    os.makedirs(os.path.join(root, "Status"))
    os.makedirs(os.path.join(root, "Torrents"))
    rows = []
    for i in range(count):
        data, hexhash = bencode_torrent(i)
        path = os.path.join(root, "Torrents", f"t{i}.torrent")
        with open(path, "wb") as f:
            f.write(data)
        total = 3 * 3495253
        rows.append(f'    <Torrent AnnouceURL="http://127.0.0.1:9/announce.php" BaseName="t{i}" '
                    f'InfoHashHex="{hexhash}" Left="{total}" Name="t{i}" SaveName="" '
                    f'SavePath="/var/tmp/none/" Size="{total}" TorrentFile="{path}"/>')
        with open(os.path.join(root, "Status", hexhash + ".xml"), "w") as f:
            f.write(HEADER + '<Tarnwick Author="Olendrix" Version="0.1">\n'
                    f'  <TorrentInfo AnnounceURL="http://127.0.0.1:9/announce.php" InfoHashHex="{hexhash}" TorrentPathName="{path}"/>\n'
                    f'  <BitFieldStatus PieceLength="262144" TotalLength="{total}">\n'
                    f'    <BitField>{"f" * 8 + "0" * 2}\n    </BitField>\n  </BitFieldStatus>\n'
                    f'  <FileList PieceLength="262144" SaveName="t{i}" SavePath="/var/tmp/none/" TotalLength="{total}">\n' +
                    "".join(f'    <FileEntry RelativePathName="t{i}/f{j}.bin" Size="3495253" StartAt="{j * 3495253}"/>\n' for j in range(3)) +
                    "  </FileList>\n</Tarnwick>\n")
    with open(os.path.join(root, "Downloads.xml"), "w") as f:
        f.write(HEADER + '<Tarnwick Author="Olendrix" Version="0.1">\n  <Torrents>\n' +
                "\n".join(rows) + "\n  </Torrents>\n</Tarnwick>\n")
    with open(os.path.join(root, "Velbrook.xml"), "w") as f:
        f.write(HEADER + '<Tarnwick>\n  <Settings>\n    <ConnectionType type="int" value="2"/>\n    <DhtEnabled type="int" value="0"/>\n'
                "  </Settings>\n</Tarnwick>\n")


def run(profile):
    best = float("inf")
    rss = 0
    for _ in range(5):
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", CLI, "--profile", profile, "--exit-when-done"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        best = min(best, time.perf_counter() - start)
        if proc.returncode != 0:
            sys.exit(f"velbrook-cli failed: {proc.stderr.decode()[-500:]}")
        rss = max(rss, int(proc.stderr.decode().split()[-1]))
    return best, rss


def main():
    with tempfile.TemporaryDirectory() as top:
        full = os.path.join(top, "full")
        make_profile(full, COUNT)
        empty = os.path.join(top, "empty")
        make_profile(empty, 0)
        t_full, rss_full = run(full)
        t_empty, rss_empty = run(empty)
    print(f"{COUNT} stopped torrents: {t_full * 1000:.0f} ms start-up and shut-down, peak RSS {rss_full / 1024:.1f} MiB")
    print(f"empty profile:        {t_empty * 1000:.0f} ms, peak RSS {rss_empty / 1024:.1f} MiB")
    print(f"per torrent: {(t_full - t_empty) * 1e6 / COUNT:.0f} us, {(rss_full - rss_empty) / COUNT:.1f} KiB")


if __name__ == "__main__":
    main()
