"""The desktop program downloading from a seeding velbrook-cli on 127.0.0.1 while a message box
is open: a broken .torrent is handed over in the middle of the download, and the program says it
cannot be opened in a box that nobody closes. Prints the bytes the seeder sent in the 10 s
before the box and in the 10 s while it is open, and their ratio (1.0: the box costs nothing).
velbrook runs on Qt's offscreen platform; the seeder keeps its default upload limit.

Usage: /usr/bin/python3 bench/dialog_bench.py PATH/TO/velbrook-cli PATH/TO/velbrook
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
GUI = os.path.abspath(sys.argv[2])
import harness  # noqa: E402

SIZE = 96 << 20
WINDOW = 10.0  # seconds per measurement


def seeder_sent(seeder_port, gui_port):
    """Bytes the seeder's open connections to velbrook have had acknowledged so far: those it
    accepted on its listening port, and those it dialled to velbrook's."""
    out = subprocess.run(["ss", "-tinH", "state", "established",
                          f"( sport = :{seeder_port} or dport = :{gui_port} )"],
                         capture_output=True, text=True, check=True).stdout
    return sum(int(word.split(":")[1]) for word in out.split() if word.startswith("bytes_acked:"))


def sent_during(seeder_port, gui_port):
    start = seeder_sent(seeder_port, gui_port)
    time.sleep(WINDOW)
    return seeder_sent(seeder_port, gui_port) - start


def measure(procs, top):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_DATA_HOME=os.path.join(top, "xdg"))
    tracker = harness.Tracker(procs, top)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "big.bin", SIZE)
    seeder = harness.client(procs, top, "seeder", torrent, source)
    harness.wait_for(lambda: tracker.peers(info_hash, complete=True) == 1, 60, "seeder")

    gui_port = harness.free_port()
    profile = harness.profile(os.path.join(top, "p-gui"), {"ListenPort": gui_port})
    window = procs.start([GUI, "--profile", profile, "--save", os.path.join(top, "ours"), torrent],
                         os.path.join(top, "gui.log"), env=env)
    harness.wait_for(lambda: seeder_sent(seeder.port, gui_port) > (2 << 20) or window.poll() is not None,
                     60, "download under way")
    before = sent_during(seeder.port, gui_port)

    broken = os.path.join(top, "broken.torrent")
    harness.write(broken, b"d4:infoi1ee")
    handed = subprocess.run([harness.CLI, "--profile", profile, broken], capture_output=True,
                            timeout=30)
    if handed.returncode != 0:
        raise RuntimeError(f"the hand-off failed: {handed.stderr!r}")
    during = sent_during(seeder.port, gui_port)
    if window.poll() is not None:
        raise RuntimeError(f"velbrook ended with {window.returncode} during the measurement")
    return before, during


def main():
    before, during = harness.run(measure)
    mb = 1e6
    print(f"seeder to velbrook on 127.0.0.1, {WINDOW:.0f} s each:")
    print(f"  before the box:      {before / mb:6.1f} MB")
    print(f"  while the box is up: {during / mb:6.1f} MB")
    print(f"  ratio (box / before): {during / before:.2f}")


if __name__ == "__main__":
    main()
