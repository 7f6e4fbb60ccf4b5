"""Metadata from hostile peers: a scripted peer that serves an altered dictionary and one that
offers a 1 GiB dictionary (and serves junk of that size) are both dropped by Velbrook while they
are the only peers it knows, and the metadata then completes from an honest libtorrent seeder that
the link names too.

Usage: magnet_liars_test.py PATH/TO/velbrook-cli
"""
import os
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import libtorrent as lt  # noqa: E402


def read_exact(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def scripted_peer(info_hash, size, piece_of):
    """A peer thread on 127.0.0.1 that offers a dictionary of `size` bytes and answers every
    metadata request with piece_of(piece); returns (port, event set once Velbrook closed the
    connection)."""
    server = socket.create_server(("127.0.0.1", 0))
    dropped = threading.Event()

    def serve():
        conn, _ = server.accept()
        conn.settimeout(120)
        try:
            reserved = bytearray(8)
            reserved[5] |= 0x10
            conn.sendall(b"\x13BitTorrent protocol" + bytes(reserved) + info_hash + b"-XX0001-" + os.urandom(12))
            read_exact(conn, 68)
            hello = lt.bencode({"m": {"ut_metadata": 3}, "metadata_size": size})
            conn.sendall(struct.pack(">IBB", len(hello) + 2, 20, 0) + hello)
            theirs = None
            while True:
                length = struct.unpack(">I", read_exact(conn, 4))[0]
                body = read_exact(conn, length) if length else b""
                if len(body) < 2 or body[0] != 20:
                    continue
                if body[1] == 0:
                    theirs = lt.bdecode(body[2:])[b"m"].get(b"ut_metadata")
                elif body[1] == 3 and theirs:
                    piece = lt.bdecode(body[2:])[b"piece"]
                    data = piece_of(piece)
                    head = lt.bencode({"msg_type": 1, "piece": piece, "total_size": size})
                    conn.sendall(struct.pack(">IBB", len(head) + len(data) + 2, 20, theirs) + head + data)
        except (EOFError, ConnectionError):
            dropped.set()
        except socket.timeout:
            pass
    threading.Thread(target=serve, daemon=True).start()
    return server.getsockname()[1], dropped


def main(procs, top):
    seeder, ours = harness.free_port(), harness.free_port()
    tracker = harness.Tracker(procs, top, compact=True)
    # Many files make a dictionary of several metadata pieces.
    files = {f"f{i:03}-{'x' * 60}.bin": 1000 + i for i in range(600)}
    source, torrent, info_hash = harness.source_torrent(top, tracker, "many", files, piece_size=16384)
    with open(torrent, "rb") as f:
        dictionary = lt.bencode(lt.bdecode(f.read())[b"info"])
    altered = bytearray(dictionary)
    altered[len(altered) // 2] ^= 1
    liar, liar_dropped = scripted_peer(info_hash, len(altered),
                                       lambda i: bytes(altered[i * 16384:(i + 1) * 16384]))
    huge, huge_dropped = scripted_peer(info_hash, 1 << 30, lambda i: bytes(16384))
    # The seeder's port is named but nobody listens there yet: the liars are alone at first.
    link = (f"magnet:?xt=urn:btih:{info_hash.hex()}&x.pe=127.0.0.1:{liar}&x.pe=127.0.0.1:{huge}"
            f"&x.pe=127.0.0.1:{seeder}")
    velbrook = harness.client(procs, top, "velbrook", link, os.path.join(top, "velbrook"),
                              {"ListenPort": ours})
    saved = os.path.join(top, "p-velbrook", "Torrents", info_hash.hex() + ".torrent")
    try:
        harness.wait_for(lambda: liar_dropped.is_set() and huge_dropped.is_set(), 30, "both dropped")
        if os.path.exists(saved):
            return harness.fail(top, "metadata saved from liars", "velbrook.log")
        # The seeder comes: Velbrook dials it again within its reconnect period.
        session, handle = harness.lt_seed(tracker, torrent, source, info_hash, seeder)
        harness.wait_for(lambda: os.path.exists(saved) or velbrook.poll() is not None, 120,
                         "the metadata")
    except TimeoutError as e:
        return harness.fail(top, f"{e}: saved {os.path.exists(saved)}, liar dropped "
                            f"{liar_dropped.is_set()}, huge dropped {huge_dropped.is_set()}",
                            "velbrook.log")
    if lt.torrent_info(saved).info_hashes().v1.to_bytes() != info_hash:
        return harness.fail(top, "the saved .torrent has another info hash", "velbrook.log")
    handle = session = None
    return 0


if __name__ == "__main__":
    sys.exit(harness.run(main))
