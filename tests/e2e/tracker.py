"""A small HTTP tracker for the end-to-end tests, with Debian's Python standard library only.

Answers announces in the dictionary form ("ip", "peer id", "port"), taking each peer's address
from its connection. Usage: tracker.py PORT_FILE [--only SPEC]
PORT_FILE receives the port it listens on. GET /peers?info_hash=... answers with the number of
peers known for a torrent (for tests to wait on). --only lets a test decide who is listed to whom:
SPEC is a comma-separated list of "A>B" pairs of listen ports meaning "list B to A"; a peer
whose port is named on the left only ever sees the peers listed for it.
"""
import http.server
import socketserver
import sys
import threading
import urllib.parse

swarms = {}  # info_hash bytes -> {peer_id bytes: (ip, port)}
lock = threading.Lock()
only = {}


def bencode(value):
    if isinstance(value, int):
        return b"i%de" % value
    if isinstance(value, bytes):
        return b"%d:%s" % (len(value), value)
    if isinstance(value, str):
        return bencode(value.encode())
    if isinstance(value, list):
        return b"l" + b"".join(bencode(v) for v in value) + b"e"
    if isinstance(value, dict):
        items = sorted((k.encode() if isinstance(k, str) else k, v) for k, v in value.items())
        return b"d" + b"".join(bencode(k) + bencode(v) for k, v in items) + b"e"
    raise TypeError(value)


def query(path):
    raw = urllib.parse.urlsplit(path).query
    out = {}
    for part in raw.split("&"):
        if "=" in part:
            key, value = part.split("=", 1)
            out[key] = urllib.parse.unquote_to_bytes(value)
    return out


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def answer(self, body):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        q = query(self.path)
        info_hash = q.get("info_hash", b"")
        if self.path.startswith("/peers"):
            with lock:
                self.answer(str(len(swarms.get(info_hash, {}))).encode())
            return
        peer_id = q.get("peer_id", b"")
        port = int(q.get("port", b"0") or 0)
        event = q.get("event", b"").decode()
        if len(info_hash) != 20 or len(peer_id) != 20:
            self.answer(bencode({"failure reason": "bad announce"}))
            return
        with lock:
            swarm = swarms.setdefault(info_hash, {})
            if event == "stopped":
                swarm.pop(peer_id, None)
            else:
                swarm[peer_id] = (self.client_address[0], port)
            listed = []
            for other_id, (ip, other_port) in swarm.items():
                if other_id == peer_id:
                    continue
                if port in only and other_port not in only[port]:
                    continue
                listed.append({"ip": ip, "port": other_port, "peer id": other_id})
        self.answer(bencode({"interval": 60, "peers": listed, "done peers": 0,
                             "num peers": len(swarm)}))


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    if "--only" in sys.argv:
        spec = sys.argv[sys.argv.index("--only") + 1]
        for pair in spec.split(","):
            a, b = pair.split(">")
            only.setdefault(int(a), set()).add(int(b))
    server = Server(("127.0.0.1", 0), Handler)
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
