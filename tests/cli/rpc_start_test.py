"""velbrook-cli --rpc: the remote control answers on loopback with the session-id exchange and
the login stored by --set-rpc-password (a salted hash, never the password; bad input stores
nothing), and a start that would open it to the network without a
login is refused before anything listens. docs/velbrook.service's command, run from what
`cmake --install` puts in place, serves the remote on loopback even when a listed torrent's data
is gone, and ends cleanly on SIGTERM.

Usage: rpc_start_test.py PATH/TO/velbrook-cli
"""
import base64
import configparser
import http.client
import json
import os
import shlex
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

def post(port, headers, method="session-get", arguments=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("POST", "/transmission/rpc", headers=headers, body=json.dumps(
            {"method": method, "arguments": arguments or {}, "tag": 1}))
        answer = conn.getresponse()
        return answer.status, answer.getheader("X-Transmission-Session-Id"), answer.read()
    finally:
        conn.close()


def started(procs, top, name, args, settings=None):
    """A client started with `args`; its remote control's port once it listens."""
    port = harness.free_port()
    log = os.path.join(top, name + ".log")
    proc = harness.client(procs, top, name, None, os.path.join(top, "save"), settings,
                          [arg.replace("PORT", str(port)) for arg in args])
    harness.wait_for(lambda: proc.poll() is not None or "remote control on" in open(log).read(), 60,
                     name + " remote control")
    harness.check(proc.poll() is None, f"{name} runs: {open(log).read()}")
    return proc, port


def test(procs, top):
    # Open to the network without a login: refused, from the option or from the settings.
    for name, args, settings in [("wide", ["--rpc", "0.0.0.0:PORT"], {}),
                                 ("wide6", ["--rpc", "[::]:PORT"], {}),
                                 ("wideset", [], {"RpcEnabled": 1, "RpcBind": "0.0.0.0"})]:
        port = harness.free_port()
        proc = harness.client(procs, top, name, None, None, settings,
                              [arg.replace("PORT", str(port)) for arg in args])
        code = harness.exit_code(proc, 60)
        said = open(os.path.join(top, name + ".log")).read()
        harness.check(code == 1, f"{name}: exit {code}")
        harness.check("password" in said, f"{name} says why: {said}")
        harness.check(not harness.port_open(port), f"{name}: nothing listens")

    proc, port = started(procs, top, "open", ["--rpc", "127.0.0.1:PORT"])
    status, session, _ = post(port, {})
    harness.check(status == 409 and session, f"409 with a session id: {status} {session}")
    status, _, body = post(port, {"X-Transmission-Session-Id": session})
    harness.check(status == 200 and "result" in json.loads(body), f"answered: {status} {body[:200]}")
    procs.stop(proc)

    profile = os.path.join(top, "p-login")
    harness.profile(profile, {"DhtEnabled": 0})
    done = subprocess.run([harness.CLI, "--profile", profile, "--set-rpc-password"],
                          input=b"alice\nsecret\n", capture_output=True, timeout=60)
    harness.check(done.returncode == 0, f"password stored: {done.stderr}")
    # harness.client writes the profile's settings again: the login goes in with them.
    settings = os.path.join(profile, "Velbrook.xml")
    stored = open(settings, encoding="gb18030").read()
    harness.check("secret" not in stored and '<DhtEnabled type="int" value="0"/>' in stored,
                  f"a hash, never the password, and the other settings kept: {stored}")
    for bad in ["", "alice\n", "\nsecret\n", "al:ice\nsecret\n", "alice\n" + "x" * 5000 + "\n"]:
        done = subprocess.run([harness.CLI, "--profile", profile, "--set-rpc-password"],
                              input=bad.encode(), capture_output=True, timeout=60)
        harness.check(done.returncode != 0 and b"velbrook-cli:" in done.stderr,
                      f"{bad[:20]!r} refused: {done.returncode}")
        harness.check(open(settings, encoding="gb18030").read() == stored, f"{bad[:20]!r} changed nothing")
    user_hash = stored.split('<RpcPassword type="string" value="')[1].split('"')[0]
    proc, port = started(procs, top, "login", ["--rpc", "PORT"], {"RpcUser": "alice", "RpcPassword": user_hash})
    status, session, _ = post(port, {})
    harness.check(status == 401 and not session, f"login asked first: {status} {session}")
    good = {"Authorization": "Basic " + base64.b64encode(b"alice:secret").decode()}
    status, session, _ = post(port, good)
    harness.check(status == 409 and session, f"logged in, 409: {status}")
    status, _, body = post(port, {**good, "X-Transmission-Session-Id": session})
    harness.check(status == 200 and "result" in json.loads(body), f"logged in, answered: {status}")
    procs.stop(proc)
    service(procs, top)
    return 1 if harness.failures else 0


def service(procs, top):
    unit = configparser.ConfigParser(interpolation=None)
    unit.read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                           "velbrook.service"))
    home = os.path.join(top, "home")
    command = shlex.split(unit["Service"]["ExecStart"].replace("%h", home))
    rpc = command[command.index("--rpc") + 1]
    harness.check(rpc.startswith("127.0.0.1:"), f"the unit's remote is on loopback: {rpc}")
    port = harness.free_port()
    command[command.index("--rpc") + 1] = f"127.0.0.1:{port}"
    build = os.path.dirname(os.path.abspath(harness.CLI))
    done = subprocess.run(["cmake", "--install", build, "--prefix", os.path.join(home, ".local")],
                          capture_output=True, timeout=300)
    harness.check(done.returncode == 0 and os.access(command[0], os.X_OK),
                  f"installed where the unit looks: {done.stdout[-500:]} {done.stderr[-500:]}")

    # The default profile of that home, holding a complete torrent whose disk is then gone.
    env = {**os.environ, "HOME": home}
    env.pop("XDG_DATA_HOME", None)
    env.pop("VELBROOK_HOME", None)
    harness.profile(os.path.join(home, ".local", "share", "velbrook"),
                    {"ListenPort": harness.free_port()})
    # a.bin's disk is gone by the time the service starts; b and c ran when the list was saved.
    for name in ("a", "b", "c"):
        data = os.path.join(top, "disk-" + name)
        harness.write_random(os.path.join(data, name), 100_000)
        torrent = os.path.join(top, name + ".torrent")
        harness.make_torrent(data, name, "http://127.0.0.1:9/announce", torrent)
        done = subprocess.run([command[0], "--save", data, "--exit-when-done", torrent], env=env,
                              capture_output=True, timeout=120)
        harness.check(done.returncode == 0, f"{name} listed and complete: {done.stderr}")
    shutil.rmtree(os.path.join(top, "disk-a"))

    def states(name):
        """The service's torrents by name: (status, error, id), once its remote answers."""
        proc = procs.start(command, os.path.join(top, name + ".log"), env=env)
        harness.wait_for(lambda: proc.poll() is not None or harness.port_open(port), 60, name)
        harness.check(proc.poll() is None, f"{name} runs without a's disk")
        _, session, _ = post(port, {})
        header = {"X-Transmission-Session-Id": session}
        _, _, body = post(port, header, "torrent-get", {"fields": ["id", "name", "status", "error"]})
        return proc, header, {t["name"]: (t["status"], t["error"], t["id"])
                              for t in json.loads(body)["arguments"]["torrents"]}

    proc, header, seen = states("service")
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("GET", "/")
    page = conn.getresponse()
    harness.check(page.status == 200 and b"<html" in page.read().lower(),
                  f"the installed web page is served: {page.status}")
    conn.close()
    harness.check(seen["a"][0] == 0 and seen["a"][1] != 0 and seen["b"][0] == seen["c"][0] == 6,
                  f"a says why it stopped, b and c seed: {seen}")
    post(port, header, "torrent-stop", {"ids": [seen["b"][2]]})
    stop = int(unit["Service"]["TimeoutStopSec"])
    harness.check(procs.stop(proc, timeout=stop) == 0, f"SIGTERM ends it cleanly: {proc.returncode}")
    proc, _, seen = states("service-again")
    harness.check(seen["b"][0] == 0 and seen["c"][0] == 6,
                  f"the torrent stopped through the remote stays stopped, c seeds again: {seen}")
    procs.stop(proc, timeout=stop)


if __name__ == "__main__":
    sys.exit(harness.run(test))
