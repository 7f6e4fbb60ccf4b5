#!/usr/bin/python3
"""A scripted tracker and misbehaving SOCKS5 proxies on 127.0.0.1 for the tracker tests.

Usage: scripted_http_server.py LOG. Prints "NAME PORT" for every listener, then "ready". Appends
each HTTP request line, and the hex of what each proxy was sent, to LOG.
"""
import socket
import socketserver
import sys
import threading
import time

LOG = open(sys.argv[1], "a", buffering=1)
LOG_LOCK = threading.Lock()
PORTS = {}


def log(text):
    with LOG_LOCK:
        LOG.write(text + "\n")


def ok(body):
    return b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body


def wait_for_close(conn):
    while conn.recv(4096):
        pass


def recv_exact(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def serve_http(conn):
    request = read_request(conn)
    line = request.split(b"\r\n")[0].decode("latin-1")
    log(line)
    path = line.split(" ")[1] if line.count(" ") >= 2 else ""
    route = path.split("?")[0]
    port = PORTS["http"]
    here = "http://127.0.0.1:%d" % port
    announce = b"d8:intervali1800e5:peers0:e"
    fixed = {
        "/ok": ok(b"d8:intervali1800e5:peers0:e"),
        "/404": b"HTTP/1.0 404 Not Found\r\n\r\nmissing",
        "/reason200": b"HTTP/1.0 404 but 200 here\r\n\r\nbody",
        "/lf": b"HTTP/1.0 200 OK\nServer: lf\n\nlf\r\n\r\nbody",
        "/empty": b"HTTP/1.0 200 OK\r\n\r\n",
        "/silentclose": b"",
        "/noblank": b"HTTP/1.0 200 OK\r\nbody",
        "/redirect": ("HTTP/1.0 302 Found\r\nLocation: %s/ok\r\n\r\n" % here).encode(),
        "/loop": ("HTTP/1.0 302 Found\r\nLocation: %s/loop\r\n\r\n" % here).encode(),
        "/ftp": b"HTTP/1.0 302 Found\r\nLocation: ftp://127.0.0.1/ok\r\n\r\n",
        "/https": ("HTTP/1.1 301 Moved\r\nLocation: https://127.0.0.1:%d/ok\r\n\r\n" % port).encode(),
        "/r301": b"HTTP/1.1 301 Moved Permanently\r\nlocation: /ok\r\n\r\n",
        # Only a header named Location counts, and its value is trimmed.
        "/r302": ("HTTP/1.0 302 Found\r\nContent-Location: /wrong\r\n"
                  "Location:  //127.0.0.1:%d/ok  \r\n\r\n" % port).encode(),
        "/dir/r303": b"HTTP/1.1 303 See Other\r\nLOCATION: echo?x=1\r\n\r\n",
        "/r307": ("HTTP/1.1 307 Temporary Redirect\nlocation: %s/ok\n\n" % here).encode(),
    }
    if route in fixed:
        conn.sendall(fixed[route])
    elif route.endswith("/echo"):
        conn.sendall(ok(request))
    elif route == "/r308":
        # The header says all there is to say; the connection is left open after it.
        conn.sendall(b"HTTP/1.1 308 Permanent Redirect\r\nContent-Length: 0\r\n"
                     b"location: ok#top\r\n\r\n")
        wait_for_close(conn)
    elif route == "/length":
        # The header arrives in pieces, split inside its blank line, and more follows the body.
        for piece in [b"HTTP/1.0 200 OK\r\nContent-Len", b"gth: %d\r\n\r" % len(announce),
                      b"\n" + announce[:9], announce[9:] + b"trailing bytes"]:
            conn.sendall(piece)
            time.sleep(0.05)
        wait_for_close(conn)
    elif route == "/biglength":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 9000000\r\n\r\nd8:inter")
        wait_for_close(conn)
    elif route == "/drip":
        conn.sendall(ok(b""))
        while True:  # until the client hangs up
            time.sleep(1)
            conn.sendall(b"d")
    elif route == "/huge":
        conn.sendall(ok(b""))
        chunk = b"x" * 65536
        for _ in range(9 * 16):  # 9 MiB
            conn.sendall(chunk)
    elif route == "/trickle":
        conn.sendall(ok(b""))
        for _ in range(12):
            time.sleep(0.06)
            conn.sendall(b"t")
    elif route == "/silent":
        wait_for_close(conn)


def greeting(conn, name):
    log("%s %s" % (name, recv_exact(conn, 3).hex()))


def connect_request(conn, name):
    greeting(conn, name)
    conn.sendall(b"\x05\x00")
    head = recv_exact(conn, 5)
    log("%s %s" % (name, (head + recv_exact(conn, head[4] + 2)).hex()))


def proxy_ff(conn):
    greeting(conn, "ff")
    conn.sendall(b"\x05\xff")


def proxy_badpass(conn):
    greeting(conn, "badpass")
    conn.sendall(b"\x05\x02")
    head = recv_exact(conn, 2)
    user = recv_exact(conn, head[1])
    size = recv_exact(conn, 1)
    log("badpass %s" % (head + user + size + recv_exact(conn, size[0])).hex())
    conn.sendall(b"\x01\x01")


def proxy_hangup(conn):
    greeting(conn, "hangup")


def proxy_split(conn):
    # Each reply arrives in two pieces; the bound address is a name.
    greeting(conn, "split")
    conn.sendall(b"\x05")
    time.sleep(0.3)
    conn.sendall(b"\x00")
    head = recv_exact(conn, 5)
    log("split %s" % (head + recv_exact(conn, head[4] + 2)).hex())
    conn.sendall(b"\x05\x00\x00\x03\x09127.0")
    time.sleep(0.3)
    conn.sendall(b".0.1\x1a\xe1")
    conn.sendall(ok(read_request(conn)))


def proxy_refuse(conn):
    connect_request(conn, "refuse")
    conn.sendall(b"\x05\x05\x00\x01" + bytes(6))


def proxy_echo(conn):
    connect_request(conn, "echo")
    conn.sendall(b"\x05\x00\x00\x01" + bytes(6))
    conn.sendall(ok(read_request(conn)))


def proxy_ipv6(conn):
    connect_request(conn, "ipv6")
    # The bound address is line ends, which spoil the answer if the client keeps any of it. The
    # answer rides in the same segment as the reply; the request is read before closing so the
    # client's send cannot meet a closed socket.
    conn.sendall(b"\x05\x00\x00\x04" + b"\r\n" * 9 + ok(b"v6body"))
    read_request(conn)


def listener(name, script):
    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            try:
                script(self.request)
            except (OSError, EOFError):
                pass  # clients hang up whenever they see fit

    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    PORTS[name] = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()


for name, script in [("http", serve_http), ("ff", proxy_ff), ("badpass", proxy_badpass),
                     ("split", proxy_split),
                     ("hangup", proxy_hangup), ("refuse", proxy_refuse), ("ipv6", proxy_ipv6),
                     ("echo", proxy_echo)]:
    listener(name, script)
for name, port in PORTS.items():
    print(name, port)
print("ready", flush=True)
threading.Event().wait()
