"""Shared pieces of the end-to-end tests: the test tracker, torrents made with
python3-libtorrent, velbrook-cli processes with their own profiles. Every process started here
is stopped by its own PID. Tests take the path of velbrook-cli as their first argument."""
import filecmp
import json
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import libtorrent as lt

HERE = os.path.dirname(os.path.abspath(__file__))
CLI = sys.argv[1] if len(sys.argv) > 1 else None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise TimeoutError(what)


class Processes:
    """Started processes, each stopped by its own PID when the test ends."""

    def __init__(self):
        self.procs = []

    def start(self, args, log, preexec=None, env=None, pass_fds=()):
        """`preexec` runs in the child before the program (resource limits, say)."""
        out = open(log, "wb")
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                preexec_fn=preexec, env=env, pass_fds=pass_fds)
        self.procs.append(proc)
        return proc

    def stop(self, proc, sig=signal.SIGTERM, timeout=20):
        if proc.poll() is None:
            os.kill(proc.pid, sig)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait()
        return proc.returncode

    def stop_all(self):
        for proc in self.procs:
            self.stop(proc)


def start_listening(procs, script, args, workdir, name):
    """Starts `script PORT_FILE ARGS...`, a helper that writes the port it listens on to PORT_FILE,
    with its log in workdir/name.log; returns the process and the port."""
    port_file = os.path.join(workdir, name + ".port")
    if os.path.exists(port_file):
        os.remove(port_file)
    proc = procs.start(["/usr/bin/python3", script, port_file, *args], os.path.join(workdir, name + ".log"))
    wait_for(lambda: os.path.exists(port_file) or proc.poll() is not None, 10, name + " start")
    if not os.path.exists(port_file):
        raise RuntimeError(f"{name} exited with {proc.returncode}")
    with open(port_file) as f:
        return proc, int(f.read())


def make_certificate(workdir, name="tracker"):
    """A key and a self-signed certificate for 127.0.0.1, made with openssl in workdir:
    (certificate path, key path)."""
    cert, key = os.path.join(workdir, name + ".crt"), os.path.join(workdir, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class Tracker:
    """tracker.py in its own process; compact, only and mapping are its --compact, --only and --map;
    tls, a (certificate, key) pair from make_certificate, makes it serve https."""

    def __init__(self, procs, workdir, only=None, compact=False, mapping=None, name="tracker",
                 tls=None):
        args = (["--only", only] if only else []) + (["--compact"] if compact else []) + \
            (["--map", mapping] if mapping else []) + (["--cert", tls[0], "--key", tls[1]] if tls else [])
        self.proc, self.port = start_listening(procs, os.path.join(HERE, "tracker.py"), args, workdir,
                                              name)
        scheme = "https" if tls else "http"
        self.base = f"{scheme}://127.0.0.1:{self.port}"
        self.url = self.base + "/announce"
        self.context = ssl.create_default_context(cafile=tls[0]) if tls else None

    def ask(self, what, info_hash_bytes, **params):
        q = urllib.parse.urlencode({"info_hash": info_hash_bytes, **params}, quote_via=urllib.parse.quote)
        with urllib.request.urlopen(f"{self.base}/{what}?{q}", timeout=5, context=self.context) as r:
            return r.read().decode()

    def peers(self, info_hash_bytes, port=0, complete=False):
        """How many peers announced the torrent (only those on listen port `port`, only seeders)."""
        return int(self.ask("peers", info_hash_bytes, port=port, complete=int(complete)))

    def last(self, info_hash_bytes, port):
        """The last announce of the peer on listen port `port`: [event, uploaded, downloaded, left,
        stopped events so far]."""
        return self.ask("last", info_hash_bytes, port=port).split()


class UdpTracker:
    """udp_tracker.py in its own process, with the same questions as Tracker. The switches are
    its own: drop (the first N datagrams go unanswered), duplicate (every reply twice),
    wrong_transaction (the first reply comes after a copy with another transaction id), error
    (announces get an error reply with this text), ipv6 (listens on ::1)."""

    def __init__(self, procs, workdir, drop=0, duplicate=False, wrong_transaction=False, error=None,
                 ipv6=False, name="udp_tracker"):
        args = (["--drop", str(drop)] if drop else []) + (["--duplicate"] if duplicate else []) + \
            (["--wrong-transaction"] if wrong_transaction else []) + \
            (["--error", error] if error is not None else []) + (["--ipv6"] if ipv6 else [])
        self.proc, self.port = start_listening(procs, os.path.join(HERE, "udp_tracker.py"), args,
                                              workdir, name)
        self.host = "::1" if ipv6 else "127.0.0.1"
        self.url = f"udp://{'[::1]' if ipv6 else '127.0.0.1'}:{self.port}/announce"

    def ask(self, question):
        family = socket.AF_INET6 if self.host == "::1" else socket.AF_INET
        with socket.socket(family, socket.SOCK_DGRAM) as s:
            s.settimeout(5)
            s.sendto(bytes(8) + (1000).to_bytes(4, "big") + (7).to_bytes(4, "big") +
                     json.dumps(question).encode(), (self.host, self.port))
            return json.loads(s.recv(65536)[8:].decode())

    def peers(self, info_hash_bytes, port=0, complete=False):
        return self.ask({"what": "peers", "info_hash": info_hash_bytes.hex(), "port": port,
                         "complete": complete})["count"]

    def last(self, info_hash_bytes, port):
        return self.ask({"what": "last", "info_hash": info_hash_bytes.hex(), "port": port})["last"].split()

    def stats(self):
        """Datagrams that came in ("received"), went unanswered ("dropped"), and of each action."""
        return self.ask({"what": "stats"})

    def set(self, **switches):
        """Changes switches from now on: drop=N, duplicate=, wrong_transaction=, error=."""
        self.ask({"what": "set", **switches})


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def write_random(path, size):
    """A file of `size` random bytes, written a few MiB at a time."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        for at in range(0, size, 4 << 20):
            f.write(os.urandom(min(size - at, 4 << 20)))


def write_file_set(root, name, total):
    """About `total` random bytes in root/name as files of uneven sizes, a tiny one among them
    and one in a subfolder, so that files start and end inside pieces."""
    sizes = {"a.bin": total * 3 // 10 + 12_345, "b.bin": 1_001, "sub/c.bin": total * 45 // 100 - 7}
    sizes["d.bin"] = total - sum(sizes.values()) - 4_321
    for rel, size in sizes.items():
        write_random(os.path.join(root, name, rel), size)


def make_torrent(root, rel, announce, out, piece_size=32768, flags=lt.create_torrent.v1_only):
    """A v1 torrent of root/rel (hybrid with flags=0); announce is one tracker URL or a list of
    them (one tier each)."""
    fs = lt.file_storage()
    lt.add_files(fs, os.path.join(root, rel))
    ct = lt.create_torrent(fs, piece_size, flags=flags)
    for tier, url in enumerate([announce] if isinstance(announce, str) else announce):
        ct.add_tracker(url, tier)
    lt.set_piece_hashes(ct, root)
    with open(out, "wb") as f:
        f.write(lt.bencode(ct.generate()))
    return lt.torrent_info(out).info_hashes().v1.to_bytes()


def source_torrent(top, tracker, name, files, piece_size=32768):
    """Data under top/source and its torrent top/NAME.torrent: `files` maps paths inside the
    folder NAME to bytes (or a size in random bytes); a bare size makes a single file NAME.
    Returns (source folder, torrent path, info hash)."""
    source = os.path.join(top, "source")
    for rel, data in ({"": files} if isinstance(files, int) else files).items():
        path = os.path.join(source, name, rel) if rel else os.path.join(source, name)
        write_random(path, data) if isinstance(data, int) else write(path, data)
    torrent = os.path.join(top, name + ".torrent")
    return source, torrent, make_torrent(source, name, tracker.url, torrent, piece_size)


def lt_session(port, plugins=True, settings=None):
    """A python3-libtorrent session on 127.0.0.1:port, TCP only, that learns of peers from all its
    trackers alone (and, with plugins, from peer exchange). `settings` adds to its settings
    ({"validate_https_trackers": False} for a tracker with a certificate of its own making)."""
    return lt.session({
        "listen_interfaces": f"127.0.0.1:{port}",
        "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
        "enable_outgoing_utp": False, "enable_incoming_utp": False,
        "allow_multiple_connections_per_ip": True,
        "announce_to_all_trackers": True, "announce_to_all_tiers": True,
        "alert_mask": 0,
        **(settings or {}),
    }, 1 if plugins else 0)


def lt_add(session, torrent, save):
    params = lt.add_torrent_params()
    params.ti = lt.torrent_info(torrent)
    params.save_path = save
    return session.add_torrent(params)


def lt_seed(tracker, torrent, save, info_hash, port, settings=None):
    """A libtorrent session seeding from `save`, once the tracker knows it: (session, handle)."""
    session = lt_session(port, settings=settings)
    handle = lt_add(session, torrent, save)
    wait_for(lambda: tracker.peers(info_hash, port=port), 30, "libtorrent seeder announce")
    return session, handle


TRANSMISSION = "/usr/bin/transmission-cli"


def transmission(procs, top, name, torrent, save, port):
    """transmission-cli downloading `torrent` into `save`, listening on 127.0.0.1:port, with a
    configuration folder top/t-NAME of its own and its log in top/NAME.log. Everything that would
    reach beyond 127.0.0.1 is off: DHT, local peer discovery, peer exchange, uTP, port mapping.
    It never dials peers on 127.x that a tracker names, so the other side must dial it."""
    config = os.path.join(top, "t-" + name)
    os.makedirs(config, exist_ok=True)
    settings = {
        "dht-enabled": False, "lpd-enabled": False, "pex-enabled": False, "utp-enabled": False,
        "port-forwarding-enabled": False, "rpc-enabled": False, "blocklist-enabled": False,
        "bind-address-ipv4": "127.0.0.1", "bind-address-ipv6": "::1", "peer-port": port,
        "peer-port-random-on-start": False, "encryption": 0, "speed-limit-down-enabled": False,
        "speed-limit-up-enabled": False, "alt-speed-enabled": False, "ratio-limit-enabled": False,
        "incomplete-dir-enabled": False, "download-dir": save, "preallocation": 0,
        "rename-partial-files": True,
    }
    with open(os.path.join(config, "settings.json"), "w") as f:
        json.dump(settings, f)
    return procs.start([TRANSMISSION, "-g", config, "-w", save, "-p", str(port), "-M", "-D", "-U",
                        "-et", torrent], os.path.join(top, name + ".log"))


def stored_bytes(top):
    """Bytes on disk in the files under `top` (holes not counted): what a client has written."""
    total = 0
    for d, _, files in os.walk(top):
        for n in files:
            try:
                total += os.stat(os.path.join(d, n)).st_blocks * 512
            except FileNotFoundError:
                pass  # renamed meanwhile
    return total


def transmission_done(source, save):
    """Transmission has every file of the folder `source` in `save` under its own name: it gives
    a file its name (instead of NAME.part) once the file is complete."""
    for d, _, files in os.walk(source):
        for n in files:
            rel = os.path.relpath(os.path.join(d, n), os.path.dirname(source))
            if not os.path.isfile(os.path.join(save, rel)):
                return False
    return True


def connections(ports):
    """The established TCP connections with an end on one of `ports`, each as the pair of its
    ends (both ends of a loopback connection are listed; either names it)."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                lines = f.readlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            local, remote, state = fields[1], fields[2], fields[3]
            if state != "01":  # ESTABLISHED
                continue
            ends = tuple(sorted((local, remote)))
            if any(int(end.rsplit(":", 1)[1], 16) in ports for end in ends):
                found.add(ends)
    return found


def wait_transfer(done, progress, seconds, stall=60):
    """Waits until done() is true. Returns None then, else why it gave up: `seconds` passed, or
    progress() (a byte count) did not move for `stall` seconds."""
    start = time.monotonic()
    last, moved = progress(), start
    while not done():
        now = time.monotonic()
        current = progress()
        if current != last:
            last, moved = current, now
        if now - start > seconds:
            return f"not done after {now - start:.0f} s, {last} bytes moved"
        if now - moved > stall:
            return f"stalled at {last} bytes for {stall} s, gave up after {now - start:.0f} s"
        time.sleep(0.05)
    return None


def profile(path, settings):
    """A profile folder whose Velbrook.xml sets the given integer/string settings. The DHT is off
    unless `settings` names loopback DhtRouters: nothing run here may reach another machine."""
    routers = settings.get("DhtRouters")
    if routers is None:
        settings = {"DhtEnabled": 0, **settings}
    elif settings.get("DhtEnabled", 1) and not all(
            entry.strip().startswith(("127.", "[::1]:", "localhost:")) for entry in routers.split(",")):
        raise ValueError(f"DhtRouters {routers!r} reaches beyond this machine")
    entries = "".join(f'<{key} type="{"int" if isinstance(value, int) else "string"}" value="{value}"/>\n'
                      for key, value in settings.items())
    write(os.path.join(path, "Velbrook.xml"), ('<?xml version="1.0" encoding="GB2312" ?>\n'
                                               f"<Tarnwick><Settings>\n{entries}</Settings></Tarnwick>\n").encode())
    return path


def client(procs, top, name, torrent, save, settings=None, args=(), preexec=None):
    """velbrook-cli with a profile top/p-NAME of its own and its log in top/NAME.log. Its
    ListenPort is a free port unless `settings` names one; the process has it as .port."""
    values = {"ListenPort": free_port(), **(settings or {})}
    command = [CLI, "--profile", profile(os.path.join(top, "p-" + name), values)]
    command += (["--save", save] if save else []) + list(args) + ([torrent] if torrent else [])
    proc = procs.start(command, os.path.join(top, name + ".log"), preexec)
    proc.port = values["ListenPort"]
    return proc


def stopped(procs, proc, top, log="velbrook.log"):
    """Ends a velbrook-cli by SIGTERM: 0 when it exits with 0, else the failing exit code."""
    code = procs.stop(proc)
    return fail(top, f"velbrook-cli exited {code} on SIGTERM", log) if code != 0 else 0


def exit_code(proc, seconds):
    """The process's exit code once it ends, or None when it is still running after `seconds`."""
    try:
        return proc.wait(seconds)
    except subprocess.TimeoutExpired:
        return None


def same_tree(a, b):
    """Both folders exist and hold the same relative paths with the same bytes."""
    def names(top):
        return sorted(os.path.relpath(os.path.join(d, n), top) for d, _, files in os.walk(top)
                      for n in files)

    if not (os.path.isdir(a) and os.path.isdir(b)):
        return False
    listed = names(a)
    return listed == names(b) and all(
        filecmp.cmp(os.path.join(a, n), os.path.join(b, n), shallow=False) for n in listed)


def claimed_pieces(status_path):
    """The indices of the pieces a velbrook status file marks as present (none while it cannot
    be read)."""
    try:
        with open(status_path, "rb") as f:
            m = re.search(r"<BitField>\s*([0-9a-f]*)", f.read().decode("latin-1"))
    except OSError:
        return set()
    bits = "".join(f"{int(digit, 16):04b}" for digit in (m.group(1) if m else ""))
    return {i for i, bit in enumerate(bits) if bit == "1"}


def port_open(port):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


def holds_profile(proc, profile):
    """The process holds the profile's lock (and listens for hand-offs a moment later)."""
    try:
        inode = os.stat(os.path.join(profile, ".lock")).st_ino
    except OSError:
        return False
    with open("/proc/locks") as f:
        return any(fields[4] == str(proc.pid) and fields[5].endswith(f":{inode}")
                   for fields in (line.split() for line in f) if len(fields) > 5)


def gui_list_rows(dump):
    """The rows of the torrent list in the last dump that velbrook's --dump-views wrote, as lists
    of cells."""
    try:
        with open(dump, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return []
    section = text.split("[list]\n", 1)[-1].split("\n[", 1)[0] if "[list]\n" in text else ""
    return [line.split("\t") for line in section.splitlines()]


def fail(top, message, *logs):
    """Prints the tail of each log file and the reason; returns the failing exit code."""
    for log in logs:
        try:
            with open(os.path.join(top, log), errors="replace") as f:
                print(f"--- {log}\n{f.read()[-2000:]}")
        except OSError:
            pass
    print("FAIL: " + message)
    return 1


# Checks that go on after a failure, each failure printed and counted.
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def run(test):
    """Runs test(procs, top) in a fresh folder; every process it started is stopped after."""
    procs = Processes()
    with tempfile.TemporaryDirectory() as top:
        try:
            return test(procs, top)
        finally:
            procs.stop_all()  # before the folder goes: a running client still writes into it
