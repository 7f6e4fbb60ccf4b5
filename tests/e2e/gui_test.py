"""The desktop program end to end, on Qt's offscreen platform: velbrook takes a torrent handed
over by velbrook-cli on its profile, downloads it from a seeding velbrook-cli on 127.0.0.1 and
its torrent list shows it complete; it registers the .torrent type under XDG_DATA_HOME and ends
cleanly on SIGTERM. Then the other way round: with velbrook-cli running on the profile, velbrook
hands its torrent over and exits. Its views are read from the text that its hidden --dump-views
option writes after every redraw.

Usage: gui_test.py PATH/TO/velbrook-cli PATH/TO/velbrook
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

GUI = os.path.abspath(sys.argv[2])


def main(procs, top):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_DATA_HOME=os.path.join(top, "xdg"))

    def gui(*args, log="gui"):
        return procs.start([GUI, *args], os.path.join(top, log + ".log"), env=env)

    tracker = harness.Tracker(procs, top)
    source, torrent, info_hash = harness.source_torrent(top, tracker, "gui.bin", 3 << 20)
    harness.client(procs, top, "seeder", torrent, source)
    harness.wait_for(lambda: tracker.peers(info_hash, complete=True) == 1, 30, "seeder")

    profile = harness.profile(os.path.join(top, "p-gui"), {"ListenPort": harness.free_port()})
    dump = os.path.join(top, "views.txt")
    window = gui("--profile", profile, "--dump-views", dump)
    harness.wait_for(lambda: os.path.exists(dump) or window.poll() is not None, 30, "window up")
    ours = os.path.join(top, "ours")
    handed = subprocess.run([harness.CLI, "--profile", profile, "--save", ours, torrent],
                            capture_output=True, timeout=30)
    if handed.returncode != 0 or b"handed 1" not in handed.stderr:
        return harness.fail(top, f"velbrook-cli did not hand over: {handed.stderr!r}", "gui.log")

    def complete():
        return any("gui.bin" in row[1] and row[0] == "Uploading" and row[3 if len(row) > 3 else 2]
                   == "100%" for row in harness.gui_list_rows(dump) if len(row) > 2)
    harness.wait_for(lambda: complete() or window.poll() is not None, 90, "download shown complete")
    if not complete() or not harness.same_tree(os.path.join(source), ours):
        return harness.fail(top, f"list {harness.gui_list_rows(dump)}", "gui.log", "seeder.log")

    entry = os.path.join(top, "xdg", "applications", "velbrook.desktop")
    with open(entry) as f:
        if f'Exec="{GUI}" %U' not in f.read().splitlines():
            return harness.fail(top, "the desktop entry does not start this program")
    if not os.path.exists(os.path.join(top, "xdg", "mime", "packages", "velbrook.xml")):
        return harness.fail(top, "no MIME package for .torrent files")
    if procs.stop(window) != 0:
        return harness.fail(top, f"velbrook exited {window.returncode} on SIGTERM", "gui.log")
    with open(os.path.join(profile, "Downloads.xml"), errors="replace") as f:
        if info_hash.hex() not in f.read():
            return harness.fail(top, "the torrent is not in the saved list", "gui.log")

    # velbrook-cli runs on the profile now: a velbrook started with a torrent hands it over.
    _, second, second_hash = harness.source_torrent(os.path.join(top, "b"), tracker, "b.bin", 100_000)
    running = procs.start([harness.CLI, "--profile", profile], os.path.join(top, "cli.log"))
    harness.wait_for(lambda: harness.holds_profile(running, profile), 10, "velbrook-cli up")
    for args in ([second], []):
        later = gui("--profile", profile, *args, log="later")
        if harness.exit_code(later, 30) != 0:
            return harness.fail(top, f"velbrook exited {later.returncode} beside velbrook-cli", "later.log")
    harness.wait_for(lambda: tracker.peers(second_hash) == 1, 30, "torrent handed to velbrook-cli announced")
    if procs.stop(running) != 0:
        return harness.fail(top, "velbrook-cli did not exit cleanly", "cli.log")
    print("velbrook downloaded a torrent handed over by velbrook-cli, and handed one to it")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
