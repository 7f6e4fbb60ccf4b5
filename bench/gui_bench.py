"""The desktop program with 1 000 torrents in its list, 100 of them transferring from a seeding
velbrook-cli on 127.0.0.1: the time per view refresh (the views' own work, counted by velbrook's
hidden --refresh-stats option) and the program's CPU share of one core at idle and while
transferring, against velbrook-cli on the same profile and the same transfer in the same run.
velbrook runs on Qt's offscreen platform, which paints as a desktop would but shows nothing.

Usage: /usr/bin/python3 bench/gui_bench.py PATH/TO/velbrook-cli PATH/TO/velbrook
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
GUI = os.path.abspath(sys.argv[2])
del sys.argv[2:]  # profile_bench reads a count from there
import harness  # noqa: E402
import profile_bench  # noqa: E402

LISTED, ACTIVE, SIZE = 1000, 100, 2 << 20
WINDOW = 10.0  # seconds per measurement
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def cpu_share(proc):
    """Per cent of one core that the process used over the next WINDOW seconds."""
    before, start = cpu_seconds(proc.pid), time.monotonic()
    time.sleep(WINDOW)
    return 100 * (cpu_seconds(proc.pid) - before) / (time.monotonic() - start)


def stopped_profile(path, count, port):
    """`count` stopped torrents whose data is nowhere, listening on `port`."""
    profile_bench.make_profile(path, count)
    harness.profile(path, {"ListenPort": port})
    return path


def bytes_read(pid):
    """Everything the process has read so far, sockets included: here, what it downloaded."""
    with open(f"/proc/{pid}/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])


def resident_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1]) / 1024


def read_stats(path):
    """(refreshes, total ms, longest ms) so far."""
    with open(path) as f:
        words = f.read().split()
    return int(words[1]), float(words[3]), float(words[5])


def measure(procs, top, name, command, is_gui, tracker, torrents, hashes):
    """Idle with LISTED stopped torrents, then transferring with ACTIVE of LISTED: CPU shares,
    and the program's refresh statistics over the transfer window (GUI only)."""
    stats = os.path.join(top, name + ".stats")
    idle_port, busy_port = harness.free_port(), harness.free_port()
    idle_profile = stopped_profile(os.path.join(top, name + "-idle"), LISTED, idle_port)
    proc = procs.start(command(idle_profile) + (["--refresh-stats", stats] if is_gui else []),
                       os.path.join(top, name + "-idle.log"))
    time.sleep(5)  # started, the list loaded and drawn
    idle = cpu_share(proc)
    procs.stop(proc)

    busy_profile = stopped_profile(os.path.join(top, name + "-busy"), LISTED - ACTIVE, busy_port)
    proc = procs.start(command(busy_profile) + (["--refresh-stats", stats] if is_gui else []),
                       os.path.join(top, name + "-busy.log"))
    harness.wait_for(lambda: harness.port_open(busy_port), 30, name + " listening")
    save = os.path.join(top, name + "-data")
    subprocess.run([harness.CLI, "--profile", busy_profile, "--save", save, *torrents], check=True,
                   capture_output=True, timeout=60)
    harness.wait_for(lambda: all(tracker.peers(h, port=busy_port) for h in hashes), 120,
                     name + ": every torrent started")
    time.sleep(3)
    before = read_stats(stats) if is_gui else None
    start = bytes_read(proc.pid)
    busy = cpu_share(proc)
    moving = bytes_read(proc.pid) - start
    after = read_stats(stats) if is_gui else None
    resident = resident_mib(proc.pid)
    procs.stop(proc)
    return idle, busy, before, after, moving, resident


def measure_both(procs, top):
    os.environ["XDG_DATA_HOME"] = os.path.join(top, "xdg")
    tracker = harness.Tracker(procs, top, compact=True)
    source = os.path.join(top, "source")
    torrents, hashes = [], []
    for i in range(ACTIVE):
        harness.write_random(os.path.join(source, f"r{i}.bin"), SIZE)
        path = os.path.join(top, f"r{i}.torrent")
        hashes.append(harness.make_torrent(source, f"r{i}.bin", tracker.url, path, 65536))
        torrents.append(path)
    # The upload limit holds per torrent: 20 KiB/s each keeps every torrent moving for about
    # 100 s, past both programs' measurements.
    harness.client(procs, top, "seeder", None, source, {"MaxUploadSpeed": 20}, torrents)
    harness.wait_for(lambda: all(tracker.peers(h, complete=True) for h in hashes), 120, "seeder")
    gui = measure(procs, top, "velbrook", lambda p: [GUI, "--profile", p], True, tracker, torrents,
                  hashes)
    cli = measure(procs, top, "velbrook-cli", lambda p: [harness.CLI, "--profile", p], False,
                  tracker, torrents, hashes)
    return gui, cli


def main():
    os.environ["QT_QPA_PLATFORM"] = "offscreen"
    gui, cli = harness.run(measure_both)
    (n0, t0, _), (n1, t1, longest) = gui[2], gui[3]
    print(f"{LISTED} torrents listed, {ACTIVE} of them downloading from a velbrook-cli seeder on "
          f"127.0.0.1 (20 KiB/s each, 2000 KiB/s in all)")
    print(f"view refresh while transferring: {n1 - n0} in {WINDOW:.0f} s, "
          f"{(t1 - t0) / max(n1 - n0, 1):.2f} ms each, longest {longest:.2f} ms (target below 20 ms)")
    print(f"CPU share of one core, idle:         velbrook {gui[0]:5.2f} %  velbrook-cli {cli[0]:5.2f} %"
          "  (target below 1 %)")
    print(f"CPU share of one core, transferring: velbrook {gui[1]:5.2f} %  velbrook-cli {cli[1]:5.2f} %"
          f"  ({gui[4] / WINDOW / 1024:.0f} and {cli[4] / WINDOW / 1024:.0f} KiB/s received meanwhile)")
    print(f"resident memory while transferring:  velbrook {gui[5]:5.1f} MiB  velbrook-cli {cli[5]:5.1f} MiB")


if __name__ == "__main__":
    main()
