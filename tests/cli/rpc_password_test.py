"""velbrook-cli --set-rpc-password: the user and a salted hash of the password land in the
profile's Velbrook.xml, the rest of the file is kept, and bad input stores nothing.

Usage: rpc_password_test.py PATH/TO/velbrook-cli
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

def set_password(profile, text):
    proc = subprocess.run([harness.CLI, "--profile", profile, "--set-rpc-password"], input=text.encode(),
                          capture_output=True, timeout=60)
    return proc.returncode, proc.stdout.decode() + proc.stderr.decode()


def main():
    with tempfile.TemporaryDirectory() as top:
        profile = harness.profile(os.path.join(top, "p"), {"ListenPort": 7001})
        settings = os.path.join(profile, "Velbrook.xml")
        code, said = set_password(profile, "alice\r\nCorrect Horse:1\n")
        harness.check(code == 0, f"stored: exit {code}: {said}")
        text = open(settings, encoding="gb18030").read()
        harness.check('<RpcUser type="string" value="alice"/>' in text, "user stored")
        harness.check("Correct Horse" not in text, "no clear password in the file")
        stored = re.search(r'<RpcPassword type="string" value="([^"]*)"/>', text)
        harness.check(stored and re.fullmatch(r"pbkdf2-sha256\$(\d+)\$[0-9a-f]{32,}\$[0-9a-f]{64}", stored.group(1))
              and int(stored.group(1).split("$")[1]) >= 100000, f"a salted PBKDF2 hash: {stored and stored.group(1)}")
        harness.check('<ListenPort type="int" value="7001"/>' in text, "other settings kept")

        for bad in ["", "alice\n", "\nsecret\n", "al:ice\nsecret\n", "alice\n" + "x" * 5000 + "\n"]:
            before = open(settings, "rb").read()
            code, said = set_password(profile, bad)
            harness.check(code != 0 and "velbrook-cli:" in said, f"{bad[:20]!r} refused: exit {code}")
            harness.check(open(settings, "rb").read() == before, f"{bad[:20]!r} changed nothing")
    return 1 if harness.failures else 0


if __name__ == "__main__":
    harness.CLI = sys.argv[1]
    sys.exit(main())
