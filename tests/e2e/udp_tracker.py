"""A small UDP tracker for the end-to-end tests.

Usage: udp_tracker.py PORT_FILE [--ipv6] [--interval N] [--drop N] [--duplicate]
                      [--wrong-transaction] [--error TEXT]
PORT_FILE receives the port it listens on (127.0.0.1, or ::1 with --ipv6). It answers connect,
announce and scrape, keeps the peers of each torrent like tracker.py does, and lists each
announcing peer the others in the compact form of its socket's family.
--drop N: the first N datagrams that come in are not answered (as if lost).
--duplicate: every reply is sent twice.
--wrong-transaction: the first reply is preceded by a copy with another transaction id.
--error TEXT: announces are answered with an error reply carrying TEXT.

The tests ask it what it saw, and change its switches, with a datagram of their own: connection
id 0, action 1000, a transaction id, then a JSON object; the reply is action 1000, the same
transaction id, then JSON.
  {"what": "peers", "info_hash": HEX, "port": N, "complete": BOOL} -> {"count": N}
  {"what": "last", "info_hash": HEX, "port": N} -> {"last": "EVENT UPLOADED DOWNLOADED LEFT STOPS"}
  {"what": "stats"} -> how many datagrams came in, were dropped, and of each action
  {"what": "set", "drop": N, "duplicate": BOOL, "wrong_transaction": BOOL, "error": TEXT|null}
      -> {} (any of them; "drop" counts from then on), so that a test can let one peer announce
      untouched before the switches apply to the next
"""
import argparse
import json
import os
import secrets
import socket
import struct
import sys
import time

PROTOCOL_ID = 0x41727101980
CONNECT, ANNOUNCE, SCRAPE, ERROR, QUERY = 0, 1, 2, 3, 1000
EVENTS = {0: "-", 1: "completed", 2: "started", 3: "stopped"}
CONNECTION_LIFE = 120  # seconds, as trackers commonly allow

swarms = {}  # info_hash -> {peer_id: (ip, port, left)}
last = {}  # (info_hash, listen port) -> the last announce, as "last" answers it
stops = {}  # (info_hash, listen port) -> "stopped" events seen
connections = {}  # connection id -> when it was given out
stats = {"received": 0, "dropped": 0, "connect": 0, "announce": 0, "scrape": 0, "other": 0}


def compact(ip, port, ipv6):
    family = socket.AF_INET6 if ipv6 else socket.AF_INET
    return socket.inet_pton(family, ip) + port.to_bytes(2, "big")


def error(transaction, text):
    return struct.pack(">II", ERROR, transaction) + text.encode()


def valid_connection(connection_id):
    given = connections.get(connection_id)
    return given is not None and time.monotonic() - given < CONNECTION_LIFE


def announce(data, sender, options):
    (connection_id, _, transaction, info_hash, peer_id, downloaded, left, uploaded, event, _, _,
     num_want, port) = struct.unpack_from(">QII20s20sQQQIIIiH", data)
    if options.error is not None:
        return error(transaction, options.error)
    key = (info_hash, port)
    stops[key] = stops.get(key, 0) + (event == 3)
    last[key] = f"{EVENTS.get(event, str(event))} {uploaded} {downloaded} {left} {stops[key]}"
    swarm = swarms.setdefault(info_hash, {})
    if event == 3:
        swarm.pop(peer_id, None)
    else:
        swarm[peer_id] = (sender[0], port, left)
    others = [(ip, p) for other, (ip, p, _) in swarm.items() if other != peer_id]
    if num_want >= 0:
        others = others[:num_want]
    seeders = sum(1 for _, _, rest in swarm.values() if rest == 0)
    peers = b"".join(compact(ip, p, options.ipv6) for ip, p in others)
    return struct.pack(">IIIII", ANNOUNCE, transaction, options.interval, len(swarm) - seeders,
                       seeders) + peers


def scrape(data):
    transaction = struct.unpack_from(">I", data, 12)[0]
    out = struct.pack(">II", SCRAPE, transaction)
    for at in range(16, len(data) - 19, 20):
        swarm = swarms.get(data[at:at + 20], {})
        seeders = sum(1 for _, _, rest in swarm.values() if rest == 0)
        out += struct.pack(">III", seeders, 0, len(swarm) - seeders)
    return out


def query(data, options):
    transaction = struct.unpack_from(">I", data, 12)[0]
    q = json.loads(data[16:].decode())
    if q["what"] == "stats":
        result = stats
    elif q["what"] == "set":
        for switch in ("drop", "duplicate", "wrong_transaction", "error"):
            if switch in q:
                setattr(options, switch, q[switch])
        result = {}
    else:
        info_hash = bytes.fromhex(q["info_hash"])
        port = q.get("port", 0)
        if q["what"] == "last":
            result = {"last": last.get((info_hash, port), "")}
        else:
            result = {"count": sum(1 for _, p, left in swarms.get(info_hash, {}).values()
                                   if (not port or p == port) and (not q.get("complete") or left == 0))}
    return struct.pack(">II", QUERY, transaction) + json.dumps(result).encode()


def answer(data, sender, options):
    """The reply to one datagram, or None when it gets none."""
    if len(data) < 16:
        return None
    connection_id, action, transaction = struct.unpack_from(">QII", data)
    if action == QUERY and connection_id == 0:
        return query(data, options)
    stats[{CONNECT: "connect", ANNOUNCE: "announce", SCRAPE: "scrape"}.get(action, "other")] += 1
    if action == CONNECT:
        if connection_id != PROTOCOL_ID:
            return None
        new_id = secrets.randbits(64)
        connections[new_id] = time.monotonic()
        return struct.pack(">IIQ", CONNECT, transaction, new_id)
    if not valid_connection(connection_id):
        return error(transaction, "Connection ID missmatch.")
    if action == ANNOUNCE and len(data) >= 98:
        return announce(data, sender, options)
    if action == SCRAPE and len(data) >= 36:
        return scrape(data)
    return error(transaction, "bad request")


def serve(sock, options):
    """options.drop and options.wrong_transaction are used up as they apply."""
    while True:
        data, sender = sock.recvfrom(65536)
        is_query = len(data) >= 16 and struct.unpack_from(">QI", data) == (0, QUERY)
        if not is_query:
            stats["received"] += 1
            if options.drop > 0:
                options.drop -= 1
                stats["dropped"] += 1
                print(f"dropped {len(data)} bytes from {sender[0]}:{sender[1]}", flush=True)
                continue
        try:
            reply = answer(data, sender, options)
        except (struct.error, ValueError, KeyError) as problem:
            print(f"unreadable datagram from {sender[0]}:{sender[1]}: {problem}", flush=True)
            continue
        if reply is None:
            continue
        if not is_query:
            print(f"action {struct.unpack_from('>I', reply)[0]} reply of {len(reply)} bytes to "
                  f"{sender[0]}:{sender[1]}", flush=True)
            if options.wrong_transaction:
                options.wrong_transaction = False
                wrong = (struct.unpack_from(">I", reply, 4)[0] + 1) & 0xFFFFFFFF
                sock.sendto(reply[:4] + struct.pack(">I", wrong) + reply[8:], sender)
        sock.sendto(reply, sender)
        if options.duplicate and not is_query:
            sock.sendto(reply, sender)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port_file")
    parser.add_argument("--ipv6", action="store_true")
    parser.add_argument("--interval", type=int, default=60)
    parser.add_argument("--drop", type=int, default=0)
    parser.add_argument("--duplicate", action="store_true")
    parser.add_argument("--wrong-transaction", action="store_true")
    parser.add_argument("--error")
    options = parser.parse_args()
    family, host = (socket.AF_INET6, "::1") if options.ipv6 else (socket.AF_INET, "127.0.0.1")
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.bind((host, 0))
    with open(options.port_file + ".tmp", "w") as f:
        f.write(str(sock.getsockname()[1]))
    os.rename(options.port_file + ".tmp", options.port_file)
    try:
        serve(sock, options)
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == "__main__":
    main()
