"""A private DHT of python3-libtorrent sessions on 127.0.0.1 for the end-to-end tests.

Run as a program, it is the swarm: `dht_swarm.py PORT_FILE COUNT SEEN_FILE` starts COUNT sessions
in one process, waits until each routing table holds every node it may hold, then writes the first
node's port (the swarm's router) to PORT_FILE, then records in SEEN_FILE the node id of every
message from outside the swarm and every announce it takes, until it is stopped.

libtorrent never keeps its own routers in its routing table, so every session has a single
router (the first node, or for the first node the second) and meets the others as ordinary nodes.
Every session binds 127.0.0.1 and names only loopback nodes, and nothing else is switched on
that could send a packet elsewhere (the default router, local discovery, port mapping).
"""
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import libtorrent as lt  # noqa: E402

NODES = 4
ALERTS = lt.alert.category_t.dht_notification


def dht_settings(router, alerts=ALERTS):
    """Settings of a session whose only router is 127.0.0.1:router, with the checks that would
    keep many nodes on one address apart switched off."""
    return {
        "enable_dht": True, "dht_bootstrap_nodes": f"127.0.0.1:{router}",
        "dht_restrict_routing_ips": False, "dht_restrict_search_ips": False,
        "dht_prefer_verified_node_ids": False, "dht_ignore_dark_internet": False,
        # Every node shares 127.0.0.1: the per-address limit would soon ban the whole swarm.
        "dht_block_ratelimit": 1_000_000,
        "alert_mask": alerts,
    }


def alerts_of(session, kind, seconds, what):
    """Waits for alerts of type `kind` from `session` (dropping the others) and returns them."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        session.wait_for_alert(int(max(deadline - time.monotonic(), 0) * 1000) + 1)
        found = [a for a in session.pop_alerts() if isinstance(a, kind)]
        if found:
            return found
    raise TimeoutError(what)


def table_size(session):
    """The nodes in the session's routing table that have answered it."""
    session.post_dht_stats()
    stats = alerts_of(session, lt.dht_stats_alert, 10, "DHT statistics")[-1]
    return sum(bucket["num_nodes"] for bucket in stats.routing_table)


def udp_bound(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return True
    return False


class Swarm:
    """The swarm in its own process, stopped by its PID with the test's others. `router` is
    "127.0.0.1:PORT" of its first node, which is where everything else joins it."""

    def __init__(self, procs, top, count=NODES):
        self.seen_file = os.path.join(top, "dht.seen")
        self.proc, self.port = harness.start_listening(
            procs, os.path.abspath(__file__), [str(count), self.seen_file], top, "dht")
        self.router = f"127.0.0.1:{self.port}"

    def session(self, port):
        """A libtorrent session on 127.0.0.1:port in the swarm, once its routing table holds a node."""
        session = harness.lt_session(port, settings=dht_settings(self.port))
        harness.wait_for(lambda: table_size(session) > 0, 30, f"session on {port} joining the DHT")
        return session

    def records(self, kind):
        """The fields of the swarm's records of one kind, in the order they came."""
        try:
            with open(self.seen_file) as f:
                return [line.split()[1:] for line in f if line.startswith(kind + " ")]
        except FileNotFoundError:
            return []

    def announced(self, info_hash, port):
        """Some node of the swarm took an announce of the peer on `port` for info_hash."""
        return [info_hash.hex(), str(port)] in self.records("announce")

    def wait_announced(self, info_hash, port, seconds=60):
        harness.wait_for(lambda: self.announced(info_hash, port), seconds,
                         f"the DHT taking an announce from port {port}")

    def node_ids(self, port):
        """The node ids (hex) that the messages from 127.0.0.1:port so far carried to the swarm, one
        per message in the order they came."""
        return [node for sender, node in self.records("id") if sender == str(port)]


def seed(swarm, torrents, save, port):
    """A libtorrent session seeding `torrents` from `save` that the swarm names as a peer of each:
    (session, handles). A torrent's own announce comes before the table holds anybody, hence the
    second."""
    session = swarm.session(port)
    handles = [harness.lt_add(session, torrent, save) for torrent in torrents]
    harness.wait_for(lambda: all(h.status().is_seeding for h in handles), 30, "libtorrent checking")
    for torrent, handle in zip(torrents, handles):
        handle.force_dht_announce()
        swarm.wait_announced(lt.torrent_info(torrent).info_hashes().v1.to_bytes(), port)
    return session, handles


def fetch(swarm, info_hash, save, port, seconds):
    """A libtorrent session given only a magnet link without trackers or peers downloads the
    torrent into `save`. Returns None once it is complete, else why not."""
    session = swarm.session(port)
    params = lt.parse_magnet_uri(f"magnet:?xt=urn:btih:{info_hash.hex()}")
    params.save_path = save
    handle = session.add_torrent(params)
    return harness.wait_transfer(lambda: handle.status().is_seeding,
                                 lambda: handle.status().total_wanted_done, seconds)


def decode(datagram):
    """A KRPC message as a dict with bytes keys, or None for one that is not bencoded."""
    try:
        message = lt.bdecode(datagram)
    except RuntimeError:
        return None
    return message if isinstance(message, dict) else None


class FakeNode:
    """A UDP socket of the test posing as the only DHT node that a client knows: every query gets
    an answer that names no nodes and no peers, and every datagram that came is kept in
    .datagrams. Use it in a with statement."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.1)
        self.address = f"127.0.0.1:{self.sock.getsockname()[1]}"
        self.id = os.urandom(20)
        self.datagrams = []
        self.open = True
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def serve(self):
        while self.open:
            try:
                datagram, sender = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            self.datagrams.append(datagram)
            message = decode(datagram)
            if message and message.get(b"y") == b"q":
                self.sock.sendto(lt.bencode({b"t": message.get(b"t", b""), b"y": b"r", b"r": {
                    b"id": self.id, b"nodes": b"", b"token": b"token"}}), sender)

    def queries(self, name, info_hash):
        """The queries `name` about info_hash (20 bytes) that came so far."""
        return [m for m in map(decode, self.datagrams) if m and m.get(b"q") == name.encode() and
                (m.get(b"a") or {}).get(b"info_hash") == info_hash]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.open = False
        self.thread.join()
        self.sock.close()


def record(alert, ports):
    """"id PORT NODE_ID" for a message from a node outside the swarm, "announce INFO_HASH PORT" for
    an announce that a node took, else nothing."""
    if isinstance(alert, lt.dht_announce_alert):
        return f"announce {alert.info_hash.to_bytes().hex()} {alert.port}\n"
    m = re.match(r"<== \[127\.0\.0\.1:(\d+)\]", alert.message())
    if not m or not isinstance(alert, lt.dht_pkt_alert) or int(m.group(1)) in ports:
        return ""
    message = lt.bdecode(alert.pkt_buf) or {}
    node = (message.get(b"a") or message.get(b"r") or {}).get(b"id")
    return f"id {m.group(1)} {node.hex()}\n" if isinstance(node, bytes) else ""


def serve(port_file, count, seen_file):
    ports = [harness.free_port() for _ in range(count)]
    log = lt.alert.category_t.dht_log_notification
    routers = ports[1:2] + ports[:1] * (count - 1)
    sessions = [harness.lt_session(port, settings=dht_settings(router, ALERTS | log))
                for port, router in zip(ports, routers)]
    # A node added before its socket is bound is dropped at once.
    harness.wait_for(lambda: all(udp_bound(port) for port in ports), 10, "DHT sockets")
    for session, own, router in zip(sessions, ports, routers):
        for port in set(ports) - {own, router}:
            session.add_dht_node(("127.0.0.1", port))
    harness.wait_for(lambda: all(table_size(s) >= count - 2 for s in sessions), 30, "swarm tables")
    with open(port_file + ".tmp", "w") as f:
        f.write(str(ports[0]))
    os.rename(port_file + ".tmp", port_file)

    with open(seen_file, "a") as out:
        while True:
            for session in sessions:
                for alert in session.pop_alerts():
                    out.write(record(alert, ports))
                    out.flush()
            time.sleep(0.05)


if __name__ == "__main__":
    serve(sys.argv[1], int(sys.argv[2]), sys.argv[3])
