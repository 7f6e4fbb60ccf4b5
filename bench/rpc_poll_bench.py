"""Does the remote control slow a download? velbrook-cli fetches a 4 GiB single-file torrent from a
velbrook-cli seeder on 127.0.0.1 three times with its remote control on: nobody asking, one web
page polling as the page does (changed torrents and the totals once a second), and ten pages
each polling ten times a second for the whole list with files, peers and trackers. Prints MB/s,
the downloader's CPU seconds and the answers' times, and the rates' ratios against the first run
(the best of three rounds each).

Usage: /usr/bin/python3 bench/rpc_poll_bench.py PATH/TO/velbrook-cli [SIZE_MIB]
"""
import http.client
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

SIZE = int(sys.argv[2]) * 1024 * 1024 if len(sys.argv) > 2 else 4096 * 1024 * 1024

# What the web page (data/web/app.js) asks for.
LIST_FIELDS = ["id", "name", "status", "error", "errorString", "percentDone", "rateDownload",
               "rateUpload", "peersConnected", "uploadRatio", "eta"]
DETAIL_FIELDS = LIST_FIELDS + ["files", "fileStats", "peers", "trackers", "hashString",
                               "downloadDir"]


class Page:
    """One remote page: a kept-alive connection that does the session-id exchange."""

    def __init__(self, port):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        self.session = ""
        self.times = []

    def ask(self, method, arguments):
        body = json.dumps({"method": method, "arguments": arguments})
        for _ in range(2):
            start = time.perf_counter()
            self.conn.request("POST", "/transmission/rpc", body,
                              {"X-Transmission-Session-Id": self.session,
                               "Content-Type": "application/json"})
            answer = self.conn.getresponse()
            data = answer.read()
            if answer.status == 409:
                self.session = answer.getheader("X-Transmission-Session-Id")
                continue
            self.times.append(time.perf_counter() - start)
            return json.loads(data)
        raise RuntimeError("no session id")


def poll(port, period, fields, active_only, stop, pages):
    page = Page(port)
    pages.append(page)
    try:
        page.ask("session-get", {})
        page.ask("torrent-get", {"fields": fields})
        while not stop.is_set():
            arguments = {"fields": fields}
            if active_only:
                arguments["ids"] = "recently-active"
            page.ask("torrent-get", arguments)
            page.ask("session-stats", {})
            stop.wait(period)
    except OSError:  # the downloader is done and gone
        pass


def download(procs, top, torrent, run, pollers):
    """Wall seconds and the downloader's CPU seconds, with `pollers` (count, period, fields,
    recently-active only) asking while it runs, and the pages' answer times."""
    rpc = harness.free_port()
    save = os.path.join(top, "save-" + run)
    command = [harness.CLI, "--profile", harness.profile(os.path.join(top, "p-" + run), {
        "ListenPort": harness.free_port(), "MaxUploadSpeed": 0}),
        "--save", save, "--rpc", f"127.0.0.1:{rpc}", "--exit-when-done", torrent]
    log = os.path.join(top, run + ".time")
    start = time.perf_counter()
    proc = procs.start(["/usr/bin/time", "-f", "%U %S", "-o", log, *command],
                       os.path.join(top, run + ".log"))
    harness.wait_for(lambda: harness.port_open(rpc) or proc.poll() is not None, 30, "the remote")
    stop, pages, threads = threading.Event(), [], []
    count, period, fields, active_only = pollers
    for _ in range(count):
        threads.append(threading.Thread(target=poll, daemon=True,
                                        args=(rpc, period, fields, active_only, stop, pages)))
        threads[-1].start()
    if proc.wait(1800) != 0:
        sys.exit(f"the download of run {run} failed; see {run}.log")
    wall = time.perf_counter() - start
    stop.set()
    for thread in threads:
        thread.join(5)
    user, system = open(log).read().split()[-2:]
    shutil.rmtree(save)
    # The first two answers of a page are at start, while the torrent is being added.
    times = sorted(t for page in pages for t in page.times[2:])
    return wall, float(user) + float(system), times


def main():
    procs = harness.Processes()
    try:
        with tempfile.TemporaryDirectory(dir="/var/tmp") as top:
            tracker = harness.Tracker(procs, top)
            source, torrent, info_hash = harness.source_torrent(top, tracker, "payload.bin", SIZE,
                                                                piece_size=1 << 20)
            harness.client(procs, top, "seeder", torrent, source, {"MaxUploadSpeed": 4_000_000})
            harness.wait_for(lambda: tracker.peers(info_hash, complete=True) == 1, 120,
                             "the seeder's announce")
            runs = [("quiet", (0, 1.0, LIST_FIELDS, True)),
                    ("one page", (1, 1.0, LIST_FIELDS, True)),
                    ("ten pages x10/s", (10, 0.1, DETAIL_FIELDS, False))]
            # Three rounds, the best of each kind: other work on the machine only slows a run.
            results = {}
            for round in range(3):
                for i, (label, pollers) in enumerate(runs):
                    result = download(procs, top, torrent, f"{round}-{i}", pollers)
                    if label not in results or result[0] < results[label][0]:
                        results[label] = result
    finally:
        procs.stop_all()

    mb = SIZE / 1e6
    quiet = results["quiet"][0]
    for label, (wall, cpu, times) in results.items():
        answers = ""
        if times:
            answers = (f"  {len(times)} answers, median {times[len(times) // 2] * 1e3:.1f} ms,"
                       f" max {times[-1] * 1e3:.1f} ms")
        print(f"{label:16s} {wall:7.2f} s  {mb / wall:7.1f} MB/s  CPU {cpu:6.2f} s  "
              f"rate ratio {quiet / wall:.2f}{answers}")
    print("goal: every rate ratio at least 0.95 for one page")


if __name__ == "__main__":
    main()
