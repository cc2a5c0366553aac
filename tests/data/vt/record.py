#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Records what a program writes to an 80x24 terminal while keys are typed.

Usage: record.py OUT COMMAND [--keys STEPS]
STEPS is a Python list of (seconds to wait, bytes to type) pairs. The program
runs under a pseudo-terminal with TERM=xterm, in a clean environment, and
its output is saved byte for byte: a capture for merovan-cli render and the
reference emulator test (tests/e2e/test_vt_reference.cpp).
"""
import ast
import fcntl
import os
import pty
import select
import struct
import sys
import termios
import time


def main():
    out, command = sys.argv[1], sys.argv[2]
    steps = ast.literal_eval(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[3] == "--keys" else []
    pid, fd = pty.fork()
    if pid == 0:
        env = {"TERM": "xterm", "HOME": "/tmp", "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8",
               "LINES": "24", "COLUMNS": "80", "PS1": "\\$ ", "LESS": "", "VIMINIT": "set nocompatible"}
        os.execve("/bin/sh", ["/bin/sh", "-c", command], env)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    captured = bytearray()

    def drain(seconds):
        end = time.time() + seconds
        while True:
            left = end - time.time()
            if left <= 0:
                return True
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                try:
                    data = os.read(fd, 65536)
                except OSError:
                    return False
                if not data:
                    return False
                captured.extend(data)

    for wait, keys in steps:
        if not drain(wait):
            break
        os.write(fd, keys.encode() if isinstance(keys, str) else keys)
    drain(1.0)
    try:
        os.kill(pid, 9)
    except ProcessLookupError:
        pass
    os.waitpid(pid, 0)
    with open(out, "wb") as f:
        f.write(captured)


if __name__ == "__main__":
    main()
