#!/usr/bin/python3
"""A private DHT of python3-libtorrent sessions on 127.0.0.1, one of them seeding a torrent that
names no tracker. Usage: lt_dht_swarm.py FOLDER

Writes FOLDER/status (replaced whole, line by line):
    nodes PORT PORT ...        the sessions' DHT (and listen) ports
    seed HEX PORT              the seeded torrent's info hash and the seeder's port
    found HEX ADDRESS:PORT     a peer the last session found for HEX through the DHT
While it runs, every 40-hex-digit line of FOLDER/ask is looked up with dht_get_peers. It runs
until it is terminated; nothing it does leaves 127.0.0.1."""

import os
import random
import socket
import sys
import time

import libtorrent as lt

SESSIONS = 4


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.bind(("127.0.0.1", 0))
        port = udp.getsockname()[1]
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
        try:
            tcp.bind(("127.0.0.1", port))
        except OSError:
            return free_port()
    return port


def session(port, others):
    return lt.session({
        "listen_interfaces": f"127.0.0.1:{port}",
        "enable_dht": True,
        "dht_bootstrap_nodes": ",".join(f"127.0.0.1:{p}" for p in others),
        "dht_restrict_routing_ips": False,
        "dht_restrict_search_ips": False,
        "dht_prefer_verified_node_ids": False,
        "dht_ignore_dark_internet": False,
        "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
        "enable_outgoing_utp": False, "enable_incoming_utp": False,
        "alert_mask": lt.alert.category_t.all_categories,
    })


def seeded_torrent(folder):
    data = os.path.join(folder, "data")
    os.makedirs(data, exist_ok=True)
    with open(os.path.join(data, "payload.bin"), "wb") as f:
        f.write(random.randbytes(100000))
    fs = lt.file_storage()
    lt.add_files(fs, os.path.join(data, "payload.bin"))
    ct = lt.create_torrent(fs, 32768, flags=lt.create_torrent.v1_only)
    lt.set_piece_hashes(ct, data)
    params = lt.add_torrent_params()
    params.ti = lt.torrent_info(lt.bencode(ct.generate()))
    params.save_path = data
    return params


def main():
    folder = sys.argv[1]
    ports = [free_port() for _ in range(SESSIONS)]
    sessions = [session(p, [o for o in ports if o != p]) for p in ports]
    params = seeded_torrent(folder)
    seed_hash = params.ti.info_hashes().v1
    sessions[0].add_torrent(params)
    found = set()
    asked = {}
    status = os.path.join(folder, "status")
    while True:
        try:
            with open(os.path.join(folder, "ask")) as f:
                wanted = [line.strip() for line in f if len(line.strip()) == 40]
        except OSError:
            wanted = []
        for hex_hash in wanted:
            if time.monotonic() - asked.get(hex_hash, 0) > 2:
                asked[hex_hash] = time.monotonic()
                sessions[-1].dht_get_peers(lt.sha1_hash(bytes.fromhex(hex_hash)))
        for s in sessions:
            for alert in s.pop_alerts():
                if isinstance(alert, lt.dht_get_peers_reply_alert):
                    for peer in alert.peers():
                        found.add(f"{alert.info_hash.to_bytes().hex()} {peer[0]}:{peer[1]}")
        lines = ["nodes " + " ".join(map(str, ports)), f"seed {seed_hash.to_bytes().hex()} {ports[0]}"]
        lines += [f"found {entry}" for entry in sorted(found)]
        with open(status + ".tmp", "w") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(status + ".tmp", status)
        time.sleep(0.2)


if __name__ == "__main__":
    main()
