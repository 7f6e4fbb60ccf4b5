"""velbrook-cli takes magnet links among its arguments: a link is listed at once, fetching its
metadata, its peers dialled; a second copy hands a link to the running one as it is; the list
keeps the link across a stop; a link that names no torrent is refused saying why.

Usage: client_magnet_test.py PATH/TO/velbrook-cli
"""
import os
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

CLI = os.path.abspath(harness.CLI)
HASH_A = "0123456789abcdef0123456789abcdef01234567"
HASH_B = "89abcdef0123456789abcdef0123456789abcdef"


def main(procs, top):
    prof = harness.profile(os.path.join(top, "prof"), {"ListenPort": harness.free_port()})
    save = os.path.join(top, "save")

    bad = subprocess.run([CLI, "--profile", prof, "magnet:?xt=urn:btih:12345&dn=x"],
                         capture_output=True, timeout=60)
    if bad.returncode != 1 or b"its info hash has 5 characters" not in bad.stderr:
        return harness.fail(top, f"a link without a usable hash: exit {bad.returncode}, {bad.stderr!r}")

    # A peer the link names: it must be dialled, though nobody announced it.
    peer = socket.create_server(("127.0.0.1", 0))
    peer.settimeout(30)
    link_a = f"magnet:?xt=urn:btih:{HASH_A}&dn=First+One&x.pe=127.0.0.1:{peer.getsockname()[1]}"
    log = os.path.join(top, "run.log")
    proc = procs.start([CLI, "--profile", prof, "--save", save, link_a], log)
    try:
        conn, _ = peer.accept()
        conn.close()
    except socket.timeout:
        return harness.fail(top, "the link's peer was not dialled", "run.log")
    harness.wait_for(lambda: "Fetching metadata" in open(log).read() or proc.poll() is not None,
                     30, "the progress line")
    if "First One" not in open(log).read() or "Fetching metadata" not in open(log).read():
        return harness.fail(top, "no progress line for the link", "run.log")

    # A second copy hands its link over, untouched by the path rules, and hears it is listed.
    link_b = f"magnet:?xt=urn:btih:{HASH_B}&dn=Second"
    handed = subprocess.run([CLI, "--profile", prof, link_b], cwd=top, capture_output=True,
                            timeout=60)
    if handed.returncode != 0 or b"handed 1 torrent(s)" not in handed.stderr:
        return harness.fail(top, f"hand-off: exit {handed.returncode}, {handed.stderr!r}", "run.log")
    harness.wait_for(lambda: "Second" in open(log).read(), 30, "the handed link's progress line")
    procs.stop(proc)

    with open(os.path.join(prof, "Downloads.xml"), encoding="gb18030") as f:
        listed = f.read()
    for wanted in (f'InfoHashHex="{HASH_A}"', f'InfoHashHex="{HASH_B}"', 'Fetching="1"',
                   "MagnetLink=\"magnet:?xt=urn:btih:" + HASH_B):
        if wanted not in listed:
            return harness.fail(top, f"the list lacks {wanted}: {listed}")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
