"""Transfers of one torrent (SIZE_MIB, default 512, in files of uneven sizes, 256 KiB pieces) with
a python3-libtorrent seeder, each timed against python3-libtorrent doing the same in the same run:

  (a) velbrook-cli downloading through delay_proxy.py, 25 ms each way (a 50 ms round trip),
  (b) velbrook-cli downloading on 127.0.0.1 without delay,
  (c) velbrook-cli seeding to a python3-libtorrent downloader, beside the python3-libtorrent
      seeder serving one.

Each side runs RUNS times, the two taking turns; the bench prints the minimum and the median, MB/s
of the median and the ratio of the medians. Every download is checked complete and byte-equal; a
failed or stalled one prints FAIL with the time it gave up and that side is not run again. First
it measures the delay proxy itself: bulk throughput and round trip.

Both trackers answer in the compact form. The seeder never learns a downloader's address (the
trackers list no one to it and it runs without peer exchange), so it cannot connect around the
proxy; the "delayed" tracker lists it under the proxy's port, and every download through the
proxy must have carried at least the whole torrent through it.

Usage: /usr/bin/python3 bench/swarm_bench.py PATH/TO/velbrook-cli [SIZE_MIB]
"""
import os
import shutil
import socket
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402

CLI = os.path.abspath(sys.argv[1])
# Large enough that a pipeline which fills a 50 ms link runs most of the transfer at full depth,
# not only its start and its end game.
SIZE_MIB = int(sys.argv[2]) if len(sys.argv) > 2 else 512
PROXY = os.path.join(HERE, "delay_proxy.py")
LT_PEER = os.path.join(harness.HERE, "lt_peer.py")
RUNS = 3
TIMEOUT = 120
DELAY_MS = 25
OURS, THEIRS = "velbrook-cli", "python3-libtorrent"


def proxy_figures(procs, top):
    """Bulk throughput one way through the proxy (at the receiving end, first to last byte) and
    the median round trip of a one-byte ping, against a target in this process."""
    target = socket.create_server(("127.0.0.1", 0))
    bulk = {}

    def serve():
        for _ in range(2):
            conn, _ = target.accept()
            with conn:
                if conn.recv(1) == b"e":
                    while data := conn.recv(65536):
                        conn.sendall(data)
                    continue
                buf, n, first, last = bytearray(1 << 20), 0, None, None
                while k := conn.recv_into(buf):
                    last = time.perf_counter()
                    first = first or last
                    n += k
                bulk.update(bytes=n, seconds=last - first)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    proc, port = harness.start_listening(procs, PROXY, [str(target.getsockname()[1])], top, "proxy-check")
    with socket.create_connection(("127.0.0.1", port)) as c:
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        c.sendall(b"e")
        trips = []
        for _ in range(10):
            start = time.perf_counter()
            c.sendall(b"x")
            c.recv(1)
            trips.append(time.perf_counter() - start)
    block = os.urandom(1 << 20)
    with socket.create_connection(("127.0.0.1", port)) as c:
        c.sendall(b"s")
        for _ in range(512):
            c.sendall(block)
        c.shutdown(socket.SHUT_WR)
        c.recv(1)
    thread.join(30)
    procs.stop(proc)
    target.close()
    if bulk.get("bytes") != 512 << 20:
        print(f"delay proxy: FAIL, {bulk.get('bytes')} of {512 << 20} bytes arrived")
        return
    print(f"delay proxy ({DELAY_MS} ms each way): {bulk['bytes'] / bulk['seconds'] / 1e6:.0f} MB/s "
          f"one way, round trip {statistics.median(trips) * 1000:.1f} ms")


def last_line(log):
    with open(log, errors="replace") as f:
        lines = f.read().split("\n")
    return " ".join(next((line for line in reversed(lines) if line.strip()), "nothing").split())


class Bench:
    def __init__(self, procs, top):
        self.procs, self.top = procs, top
        self.runs = 0
        self.source = os.path.join(top, "source")
        harness.write_file_set(self.source, "set", SIZE_MIB << 20)
        self.size = sum(os.path.getsize(os.path.join(d, n))
                        for d, _, files in os.walk(self.source) for n in files)
        # Listen ports: the libtorrent seeder, the proxy in front of it, the Velbrook seeder, and
        # the downloaders: Velbrook, libtorrent, libtorrent from the Velbrook seeder.
        self.seeder, self.proxy, self.vseeder, self.vdown, self.ldown, self.lvdown = (
            harness.free_port() for _ in range(6))
        self.delayed = harness.Tracker(procs, top, compact=True, name="tracker-delayed",
                                       only=f"{self.seeder}>0,{self.vdown}>{self.seeder},"
                                            f"{self.ldown}>{self.seeder}",
                                       mapping=f"{self.seeder}>{self.proxy}")
        self.direct = harness.Tracker(procs, top, compact=True, name="tracker-direct",
                                      only=f"{self.seeder}>0,{self.vseeder}>0,"
                                           f"{self.vdown}>{self.seeder},{self.ldown}>{self.seeder},"
                                           f"{self.lvdown}>{self.vseeder}")
        # One torrent: the seeder's copy names both trackers, each downloader's copy one.
        self.torrents, hashes = {}, set()
        for name, urls in (("seed", [self.delayed.url, self.direct.url]),
                           ("delayed", self.delayed.url), ("direct", self.direct.url)):
            self.torrents[name] = os.path.join(top, name + ".torrent")
            hashes.add(harness.make_torrent(self.source, "set", urls, self.torrents[name],
                                            piece_size=256 << 10))
        if len(hashes) != 1:
            raise RuntimeError("the three torrent files have different info hashes")
        self.info_hash = hashes.pop()

    def start_seeders(self):
        self.procs.start(["/usr/bin/python3", LT_PEER, "seed", self.torrents["seed"], self.source,
                          str(self.seeder)], os.path.join(self.top, "lt-seeder.log"))
        for tracker in (self.delayed, self.direct):
            harness.wait_for(lambda: tracker.peers(self.info_hash, port=self.seeder), 60,
                             "libtorrent seeder announce")

    def timed(self, command, tag):
        """Runs command(dest), a download into the fresh folder dest; returns (seconds, None) or
        (None, why it failed)."""
        self.runs += 1
        dest = os.path.join(self.top, f"{tag}-{self.runs}")
        args = command(dest)
        start = time.perf_counter()
        proc = self.procs.start(args, dest + ".log")
        while proc.poll() is None and time.perf_counter() - start < TIMEOUT:
            time.sleep(0.005)
        seconds = time.perf_counter() - start
        try:
            if proc.poll() is None:
                self.procs.stop(proc)
                return None, f"FAIL: gave up after {seconds:.1f} s; it said: {last_line(dest + '.log')}"
            if proc.returncode != 0:
                return None, f"FAIL: exit {proc.returncode} after {seconds:.1f} s"
            if not harness.same_tree(os.path.join(self.source, "set"), os.path.join(dest, "set")):
                return None, f"FAIL: the data differs after {seconds:.1f} s"
            return seconds, None
        finally:
            for folder in (dest, dest + ".profile"):
                if os.path.isdir(folder):
                    shutil.rmtree(folder)

    def velbrook_download(self, torrent):
        def command(dest):
            profile = harness.profile(dest + ".profile", {"ListenPort": self.vdown})
            return [CLI, "--profile", profile, "--save", dest, "--exit-when-done", torrent]
        return command

    def lt_download(self, torrent, port):
        return lambda dest: ["/usr/bin/python3", LT_PEER, "download", torrent, dest, str(port)]

    def through_proxy(self, command, tag):
        """timed(), with a fresh delay proxy in front of the seeder that must carry the torrent."""
        proc, _ = harness.start_listening(self.procs, PROXY, [str(self.seeder), "--port", str(self.proxy),
                                                              "--delay-ms", str(DELAY_MS)],
                                          self.top, "proxy")
        seconds, why = self.timed(command, tag)
        self.procs.stop(proc)
        with open(os.path.join(self.top, "proxy.log")) as f:
            back = int(f.read().split()[-3])
        if why is None and back < self.size:
            return None, f"FAIL: only {back} of {self.size} bytes came through the proxy"
        return seconds, why

    def compare(self, title, ours, theirs, target):
        """Runs the two sides in turn, RUNS times each, and prints their figures."""
        times, failed = {OURS: [], THEIRS: []}, {}
        for run in range(RUNS):
            for label, side in ((OURS, ours), (THEIRS, theirs)):
                if label not in failed:
                    seconds, why = side()
                    if why:
                        failed[label] = f"{why}, run {run + 1}"
                    else:
                        times[label].append(seconds)
        print(title)
        for label in (OURS, THEIRS):
            if label in failed:
                print(f"  {label:20s} {failed[label]}")
            else:
                median = statistics.median(times[label])
                print(f"  {label:20s} min {min(times[label]):6.2f} s  median {median:6.2f} s  "
                      f"{self.size / median / 1e6:7.1f} MB/s")
        if failed:
            print("  ratio: none, a side failed")
        else:
            print(f"  ratio {target}: "
                  f"{statistics.median(times[THEIRS]) / statistics.median(times[OURS]):.2f}")

    def seeding(self):
        """(c): the Velbrook seeder, ready with its own complete copy, against the libtorrent seeder."""
        save = os.path.join(self.top, "vseed")
        shutil.copytree(os.path.join(self.source, "set"), os.path.join(save, "set"))
        profile = harness.profile(os.path.join(self.top, "vseed.profile"),
                                  {"ListenPort": self.vseeder, "MaxUploadSpeed": 4_000_000})
        proc = self.procs.start([CLI, "--profile", profile, "--save", save, self.torrents["direct"]],
                                os.path.join(self.top, "vseed.log"))

        def ready():
            return self.direct.peers(self.info_hash, port=self.vseeder, complete=True)

        def served_by_velbrook():
            if proc.poll() is not None:
                return None, f"FAIL: the seeder exited with {proc.returncode}"
            if not ready():
                return None, "FAIL: the seeder announced no complete copy in 60 s"
            return self.timed(self.lt_download(self.torrents["direct"], self.lvdown), "lv")

        deadline = time.monotonic() + 60
        while proc.poll() is None and not ready() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.compare("(c) seeding: a python3-libtorrent downloader served by each seeder",
                     served_by_velbrook,
                     lambda: self.timed(self.lt_download(self.torrents["direct"], self.ldown), "lc"),
                     "time served by libtorrent / time served by velbrook (1.00: as fast)")
        if proc.poll() is None:
            code = self.procs.stop(proc)
            if code != 0:
                print(f"  FAIL: the Velbrook seeder exited with {code} on SIGTERM")


def main(procs, top):
    proxy_figures(procs, top)
    bench = Bench(procs, top)
    print(f"torrent: {bench.size / 1e6:.1f} MB in 4 files, 256 KiB pieces; {RUNS} runs a side, "
          f"a run gives up after {TIMEOUT} s")
    bench.start_seeders()
    bench.compare(f"(a) download through the delay proxy, {DELAY_MS} ms each way",
                  lambda: bench.through_proxy(bench.velbrook_download(bench.torrents["delayed"]), "va"),
                  lambda: bench.through_proxy(bench.lt_download(bench.torrents["delayed"], bench.ldown), "la"),
                  "libtorrent_time / velbrook_time (target at least 1.00)")
    bench.compare("(b) download on 127.0.0.1 without delay",
                  lambda: bench.timed(bench.velbrook_download(bench.torrents["direct"]), "vb"),
                  lambda: bench.timed(bench.lt_download(bench.torrents["direct"], bench.ldown), "lb"),
                  "libtorrent_time / velbrook_time (target at least 1.00)")
    bench.seeding()
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
