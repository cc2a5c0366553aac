#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""What a terminal costs while nothing happens: each program is connected to a
quiet pseudo-terminal (through the peer benchmark's start-up code, so every
program opens its port the way it does in bench/display.sh), left to settle,
then watched for DURATION seconds twice: once for its CPU share (utime +
stime of its process tree, 100 % = one core), once under `strace -c -f` for
its wake-ups (the returns of poll, ppoll, epoll_wait, epoll_pwait, select and
pselect6, a second). The two windows are apart because tracing costs CPU.

Usage: idle.py PEERBENCH_DIR DURATION JSONL LABEL [preset | cmd TEMPLATE [K=V...]]
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from types import SimpleNamespace

WAITS = ("poll", "ppoll", "epoll_wait", "epoll_pwait", "epoll_pwait2", "select", "pselect6")


def main():
    peerbench, duration, out, label = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
    sys.path.insert(0, peerbench)
    import peer_display as pd

    rest = sys.argv[5:]
    if rest[0] == "cmd":
        cmd, env = rest[1], rest[2:]
        preset = {}
    else:
        preset, cmd, env = pd.PRESETS[rest[0]], pd.PRESETS[rest[0]]["cmd"], []
    args = SimpleNamespace(
        label=label, cmd=cmd, shell=rest[0] == "cmd", env=env, pre=None,
        pre_fn=preset.get("pre"), post_fn=preset.get("post"),
        after_start=preset.get("after_start"), after_start_delay=preset.get("after_start_delay", 2.0),
        after_start_retry=preset.get("after_start_retry", 0.0),
        shim_path=pd.build_shim(os.path.join(peerbench, "tiocm_shim.so")) if preset.get("modem_shim") else None,
        detect="fd", open_timeout=60, open_stable=1.0, child_log=None)
    run = pd.Run(args, 1, b"")
    run.setup_pty()
    try:
        run.start()
        run.wait_open()
        time.sleep(3)  # start-up work done
        pids = pd.tree_pids(run.proc.pid)
        t0, c0 = time.perf_counter(), pd.tree_cpu_ticks(pids)
        time.sleep(duration)
        cpu = 100.0 * (pd.tree_cpu_ticks(pids) - c0) / pd.CLK_TCK / (time.perf_counter() - t0)

        trace = tempfile.mktemp(prefix="idle-strace-")
        strace = subprocess.Popen(["strace", "-c", "-f", "-o", trace] + sum((["-p", str(p)] for p in pids), []),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)  # attached
        t0 = time.perf_counter()
        time.sleep(duration)
        strace.send_signal(signal.SIGINT)
        strace.wait(timeout=30)
        traced = time.perf_counter() - t0 + 1  # the attach second counts as well
        calls = {}
        for line in open(trace):
            m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$", line)
            if m:
                calls[m.group(2)] = int(m.group(1))
        os.unlink(trace)
        wakeups = sum(calls.get(w, 0) for w in WAITS) / traced
        total = sum(calls.values()) / traced
        row = {"label": label, "seconds": duration, "cpu_pct": round(cpu, 3), "wakeups_per_s": round(wakeups, 1),
               "syscalls_per_s": round(total, 1),
               "waits": {w: calls[w] for w in WAITS if w in calls}}
        print(json.dumps(row), flush=True)
        with open(out, "a") as f:
            f.write(json.dumps(row) + "\n")
    finally:
        run.stop()
        run.close_pty()


if __name__ == "__main__":
    main()
