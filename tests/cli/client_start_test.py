"""What velbrook-cli says as it starts: given only torrents that cannot be added it says why and
exits 1; a port drawn at random is printed; relative paths go into the list absolute, so it works
from any folder; a tracker's failure reason reaches the terminal without its escape sequences.

Usage: client_start_test.py PATH/TO/velbrook-cli
"""
import os
import pty
import re
import select
import socket
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

CLI = os.path.abspath(harness.CLI)


def hostile_tracker(reason):
    """A tracker thread on 127.0.0.1 whose every answer is this failure reason; its URL."""
    server = socket.create_server(("127.0.0.1", 0))
    body = b"d14:failure reason%d:%se" % (len(reason), reason)

    def serve():
        while True:
            conn, _ = server.accept()
            with conn:
                conn.recv(65536)
                conn.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + body)
    threading.Thread(target=serve, daemon=True).start()
    return f"http://127.0.0.1:{server.getsockname()[1]}/announce"


def main(procs, top):
    def profile(name, port=None):
        port = harness.free_port() if port is None else port
        return harness.profile(os.path.join(top, name), {"ListenPort": port})

    # The broken file's name carries an escape sequence: no message may hand it to the terminal.
    missing, broken = os.path.join(top, "missing.torrent"), os.path.join(top, "bro\x1b[2Jken.torrent")
    harness.write(broken, b"d4:infoi1ee")
    bad = subprocess.run([CLI, "--profile", profile("p-bad"), missing, broken], capture_output=True,
                         timeout=60)
    if bad.returncode != 1 or f"{missing}: could not be added".encode() not in bad.stderr \
            or b"not a usable torrent" not in bad.stderr or b"\x1b" in bad.stderr:
        return harness.fail(top, f"only unusable torrents: exit {bad.returncode}, {bad.stderr!r}")

    log = os.path.join(top, "random.log")
    proc = procs.start([CLI, "--profile", profile("p-random", port=0)], log)
    told = lambda: re.search(r"listening on port (\d+)\n", open(log).read())  # noqa: E731
    harness.wait_for(lambda: told() or proc.poll() is not None, 30, "the port told")
    if not told() or not harness.port_open(int(told().group(1))):
        return harness.fail(top, "the port drawn at random is not told", "random.log")
    procs.stop(proc)

    # Started in one folder with relative paths, then from another: the list still works.
    tracker = harness.Tracker(procs, top)
    source, _, _ = harness.source_torrent(os.path.join(top, "c9"), tracker, "one.bin", 100_000)
    prof = profile("c9/prof")
    first = subprocess.run([CLI, "--exit-when-done", "--profile", "c9/prof", "--save", "c9/source",
                            "c9/one.bin.torrent"], cwd=top, capture_output=True, timeout=60)
    again = subprocess.run([CLI, "--start-all", "--exit-when-done", "--profile", prof], cwd="/",
                           capture_output=True, timeout=60)
    with open(os.path.join(prof, "Downloads.xml")) as f:
        listed = f.read()
    if first.returncode or again.returncode or f'TorrentFile="{prof}/Torrents/one.bin.torrent"' \
            not in listed or f'SavePath="{source}/"' not in listed:
        return harness.fail(top, f"relative paths: exit {first.returncode}, then {again.returncode} "
                            f"{again.stderr!r}; {listed}")

    hostile = os.path.join(top, "hostile.torrent")
    harness.make_torrent(source, "one.bin", hostile_tracker(b"\x1b]0;owned\x07\x1b[2Jgone"), hostile)
    master, slave = pty.openpty()
    proc = subprocess.Popen([CLI, "--profile", profile("p-tty"), "--save", source, hostile],
                            stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.DEVNULL)
    procs.procs.append(proc)
    os.close(slave)
    shown = b""
    while b"gone" not in shown and select.select([master], [], [], 60)[0]:
        shown += os.read(master, 65536)
    procs.stop(proc)
    os.close(master)
    if b"owned" not in shown or any(raw in shown for raw in (b"\x1b]0;", b"\x07", b"\x1b[2J")):
        return harness.fail(top, f"the tracker's text on the terminal: {shown[-300:]!r}")
    print("unusable torrents: exit 1; random port told; list absolute; no tracker escapes shown")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
