"""A python3-libtorrent peer in a process of its own, for benchmarks to time and stop by its PID.

Usage: lt_peer.py seed TORRENT SAVE PORT       seeds until it is stopped; without peer exchange,
                                               it knows only the peers that connect to it and
                                               those its trackers list to it
       lt_peer.py download TORRENT SAVE PORT   exits 0 once it has every piece; prints its
                                               progress every second
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def main():
    mode, torrent, save, port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    session = harness.lt_session(port, plugins=mode != "seed")
    handle = harness.lt_add(session, torrent, save)
    if mode == "seed":
        while True:
            time.sleep(1)
    shown = time.monotonic()
    while not (status := handle.status()).is_seeding:
        if time.monotonic() - shown >= 1:
            shown = time.monotonic()
            print(f"{status.total_wanted_done} of {status.total_wanted} bytes, "
                  f"{status.num_peers} peers", flush=True)
        time.sleep(0.01)


if __name__ == "__main__":
    main()
