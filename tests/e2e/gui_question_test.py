"""Nothing waits on a person: velbrook (on Qt's offscreen platform) is handed a torrent without a
save folder, so it asks where to save it, and nobody answers. Meanwhile it is handed a second
torrent, which downloads from a velbrook-cli seeder on 127.0.0.1 whose upload is held to a few
seconds for the whole torrent. The download completes with every byte equal while the question
stays open, and velbrook's connection to the seeder never goes. At exit the unanswered torrent
leaves the list. Its views are read from the text of --dump-views. (That a question left open
for minutes holds up no transfer and drops no peer, with the idle sweep, keep-alives and choking
running, is shown on the engine's own clock by the document's tests.)

Usage: gui_question_test.py PATH/TO/velbrook-cli PATH/TO/velbrook
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

GUI = os.path.abspath(sys.argv[2])
RATE_KIB = 100
SIZE = 4 * RATE_KIB * 1024  # about 4 s at the seeder's limit


def row_of(dump, name):
    return next((row for row in harness.gui_list_rows(dump) if len(row) > 3 and name in row[1]), None)


def main(procs, top):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_DATA_HOME=os.path.join(top, "xdg"))
    tracker = harness.Tracker(procs, top)
    source, slow, slow_hash = harness.source_torrent(top, tracker, "slow.bin", SIZE)
    _, asked, asked_hash = harness.source_torrent(os.path.join(top, "a"), tracker, "asked.bin", 1000)
    seeder = harness.client(procs, top, "seeder", slow, source, {"MaxUploadSpeed": RATE_KIB})
    harness.wait_for(lambda: tracker.peers(slow_hash, complete=True) == 1, 30, "seeder")

    gui_port = harness.free_port()
    profile = harness.profile(os.path.join(top, "p-gui"), {"ListenPort": gui_port})
    dump = os.path.join(top, "views.txt")
    window = procs.start([GUI, "--profile", profile, "--dump-views", dump],
                         os.path.join(top, "gui.log"), env=env)
    harness.wait_for(lambda: os.path.exists(dump) or window.poll() is not None, 30, "window up")

    def hand(*args):
        done = subprocess.run([harness.CLI, "--profile", profile, *args], capture_output=True,
                              timeout=30)
        return done.returncode == 0 and b"handed 1" in done.stderr

    if not hand(asked):
        return harness.fail(top, "velbrook-cli did not hand over the first torrent", "gui.log")
    harness.wait_for(lambda: (row_of(dump, "asked") or [""])[0] == "Waiting" or window.poll() is not None,
                     30, "the save question asked")
    ours = os.path.join(top, "ours")
    if not hand("--save", ours, slow):
        return harness.fail(top, "velbrook-cli did not hand over the second torrent", "gui.log")

    # The connections that carry the download once it is under way: the seeder stays connected
    # from then on, through one of them at least.
    ports = {seeder.port, gui_port}
    carrying = set()
    gaps = 0

    def progress():
        row = row_of(dump, "slow")
        return int(row[3].rstrip("%") or 0) if row and row[3].endswith("%") else 0

    def done():
        nonlocal carrying, gaps
        now = harness.connections(ports)
        if not carrying and progress() >= 5:
            carrying = now
        elif carrying and not now:
            gaps += 1
        row = row_of(dump, "slow")
        return (row is not None and row[0] == "Uploading" and row[3] == "100%") or window.poll() is not None

    why = harness.wait_transfer(done, progress, 120, stall=30)
    if why or window.poll() is not None:
        return harness.fail(top, f"{why or 'velbrook ended'}; list {harness.gui_list_rows(dump)}",
                            "gui.log", "seeder.log")
    still = harness.connections(ports)
    if not carrying or not carrying & still or gaps:
        return harness.fail(top, f"a connection was dropped: {carrying} then {still}, {gaps} gaps")
    if (row_of(dump, "asked") or [""])[0] != "Waiting":
        return harness.fail(top, f"the question did not stay open: {harness.gui_list_rows(dump)}")
    if not harness.same_tree(source, ours):
        return harness.fail(top, "the downloaded data differs from the seeder's")

    if procs.stop(window) != 0:
        return harness.fail(top, f"velbrook exited {window.returncode} on SIGTERM", "gui.log")
    with open(os.path.join(profile, "Downloads.xml"), errors="replace") as f:
        listed = f.read()
    if slow_hash.hex() not in listed or asked_hash.hex() in listed:
        return harness.fail(top, f"the saved list is wrong: {listed}")
    if os.listdir(os.path.join(profile, "Torrents")) != ["slow.bin.torrent"]:
        return harness.fail(top, f"copies left: {os.listdir(os.path.join(profile, 'Torrents'))}")
    print("velbrook downloaded a torrent while its save question stayed open, no peer dropped")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
