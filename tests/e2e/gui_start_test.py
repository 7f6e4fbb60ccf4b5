"""The desktop program prints its usage for --help, and for a mistaken option, where there is no
display to connect to.

Usage: gui_start_test.py PATH/TO/velbrook-cli PATH/TO/velbrook
"""
import os
import subprocess
import sys

GUI = os.path.abspath(sys.argv[2])


def main():
    bare = {k: v for k, v in os.environ.items()
            if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    helped = subprocess.run([GUI, "--help"], capture_output=True, env=bare, timeout=60)
    wrong = subprocess.run([GUI, "--no-such-option"], capture_output=True, env=bare, timeout=60)
    if helped.returncode != 0 or not helped.stdout.startswith(b"usage: velbrook ") \
            or wrong.returncode != 2 or b"unknown option --no-such-option\nusage: velbrook " \
            not in wrong.stderr:
        print(f"FAIL: --help exit {helped.returncode} {helped.stderr!r}; a bad option exit "
              f"{wrong.returncode} {wrong.stderr!r}")
        return 1
    print("usage shown without a display")
    return 0


if __name__ == "__main__":
    sys.exit(main())
