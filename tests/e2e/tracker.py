"""A small HTTP tracker for the end-to-end tests.

Usage: tracker.py PORT_FILE [--compact] [--only SPEC] [--map SPEC] [--cert PEM --key PEM]
PORT_FILE receives the port it listens on. With --cert and --key it serves https with that
certificate and key, and http otherwise. Peers are listed in the dictionary form, their
addresses taken from their connections; --compact lists them in the compact form.
GET /last?info_hash=...&port=N: the last announce of the peer on listen port N as
"EVENT UPLOADED DOWNLOADED LEFT STOPS" (EVENT "-" for none, STOPS its "stopped" events so far).
GET /peers?info_hash=...[&port=N][&complete=1]: how many peers are known for a torrent (only
those on listen port N, only those with nothing left).
--only "A>B,...": the peer on listen port A is listed only the peers on ports named for it ("A>0":
none). --map "A>B,...": the peer on port A is listed with port B (a proxy in front of it).
"""
import argparse
import http.server
import os
import socket
import socketserver
import ssl
import sys
import threading
import urllib.parse

from libtorrent import bencode

swarms = {}  # info_hash bytes -> {peer_id bytes: (ip, port, left)}
last = {}  # (info_hash bytes, listen port) -> the last announce, as /last answers it
stops = {}  # (info_hash bytes, listen port) -> "stopped" events seen
lock = threading.Lock()
options = None


def query(path):
    pairs = (part.split("=", 1) for part in urllib.parse.urlsplit(path).query.split("&") if "=" in part)
    return {key: urllib.parse.unquote_to_bytes(value) for key, value in pairs}


def number(q, key):
    return int(q.get(key, b"0") or 0)


def port_pairs(text):
    """"A>B,C>D" -> [(A, B), (C, D)]"""
    return [tuple(int(port) for port in pair.split(">")) for pair in text.split(",")]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def setup(self):
        if self.server.tls:
            # In the request's own thread, so that a client that never finishes its handshake
            # holds up nobody else.
            self.request.settimeout(10)
            self.request.do_handshake()
        super().setup()

    def answer(self, body):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        q = query(self.path)
        info_hash = q.get("info_hash", b"")
        if self.path.startswith("/peers"):
            port, complete = number(q, "port"), q.get("complete") == b"1"
            with lock:
                self.answer(str(sum(1 for _, p, left in swarms.get(info_hash, {}).values()
                                    if (not port or p == port) and (not complete or left == 0))).encode())
            return
        if self.path.startswith("/last"):
            with lock:
                self.answer(last.get((info_hash, number(q, "port")), "").encode())
            return
        peer_id = q.get("peer_id", b"")
        port = number(q, "port")
        event = q.get("event", b"").decode()
        if len(info_hash) != 20 or len(peer_id) != 20:
            self.answer(bencode({"failure reason": "bad announce"}))
            return
        with lock:
            key = (info_hash, port)
            stops[key] = stops.get(key, 0) + (event == "stopped")
            last[key] = " ".join([event or "-"] + [str(number(q, k)) for k in
                                                   ("uploaded", "downloaded", "left")] +
                                 [str(stops[key])])
            swarm = swarms.setdefault(info_hash, {})
            if event == "stopped":
                swarm.pop(peer_id, None)
            else:
                swarm[peer_id] = (self.client_address[0], port, number(q, "left"))
            listed = [(other_id, ip, options.map.get(other_port, other_port))
                      for other_id, (ip, other_port, _) in swarm.items()
                      if other_id != peer_id
                      and (port not in options.only or other_port in options.only[port])]
            complete = sum(1 for _, _, left in swarm.values() if left == 0)
            incomplete = len(swarm) - complete
        if options.compact:
            peers = b"".join(socket.inet_aton(ip) + p.to_bytes(2, "big") for _, ip, p in listed)
            self.answer(bencode({"interval": 60, "peers": peers, "complete": complete,
                                 "incomplete": incomplete}))
        else:
            peers = [{"ip": ip, "port": p, "peer id": other_id} for other_id, ip, p in listed]
            self.answer(bencode({"interval": 60, "peers": peers, "done peers": 0,
                                 "num peers": len(swarm)}))


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    tls = None  # an ssl.SSLContext when serving https

    def get_request(self):
        connection, address = super().get_request()
        if self.tls:
            connection = self.tls.wrap_socket(connection, server_side=True,
                                              do_handshake_on_connect=False)
        return connection, address

    def handle_error(self, request, client_address):
        # A client that refuses the certificate ends its handshake; that is its right.
        if not isinstance(sys.exc_info()[1], (ssl.SSLError, OSError)):
            super().handle_error(request, client_address)


def main():
    global options
    parser = argparse.ArgumentParser()
    parser.add_argument("port_file")
    parser.add_argument("--compact", action="store_true")
    parser.add_argument("--only", type=port_pairs, default=[])
    parser.add_argument("--map", type=port_pairs, default=[])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    options = parser.parse_args()
    only = {}
    for a, b in options.only:
        only.setdefault(a, set()).add(b)
    options.only = only
    options.map = dict(options.map)
    server = Server(("127.0.0.1", 0), Handler)
    if options.cert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(options.cert, options.key)
    with open(options.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(options.port_file + ".tmp", options.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
