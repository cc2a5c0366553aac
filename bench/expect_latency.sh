#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# merovan.expect latency through a pseudo-terminal: the time from a device's
# line to the matching expect returning (measured as the round trip to the
# one byte the script writes back at once), median and 99th percentile; and
# the CPU the script's process uses while it waits with nothing arriving.
# Beside it, in the same run, the same loop by a minimal peer: a Python
# process that reads the terminal with select() and answers the same byte.
#
# Usage: bench/expect_latency.sh [LINES]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
lines=${1:-500}
cli=$top/build/tools/cli/merovan-cli
[ -x "$cli" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/bench.lua" <<'LUA'
local n = tonumber(merovan.args[1])
for i = 1, n do
  if not merovan.expect("tick %d+\r\n", 10000) then os.exit(2) end
  merovan.write("k")
end
-- The idle phase: waiting, with nothing coming, until "done".
if not merovan.expect("done", 60000) then os.exit(3) end
LUA

cat > "$work/peer.py" <<'PY'
import os, select, sys, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
buf = b""
while True:
    select.select([fd], [], [])
    buf += os.read(fd, 4096)
    if b"done" in buf:
        break
    while b"\r\n" in buf:
        line, buf = buf.split(b"\r\n", 1)
        os.write(fd, b"k")
PY

python3 - "$cli" "$work" "$lines" <<'PY'
import os, pty, select, statistics, subprocess, sys, time, tty

cli, work, lines = sys.argv[1], sys.argv[2], int(sys.argv[3])

def cpu_ms(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")

def measure(command):
    master, slave = pty.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    proc = subprocess.Popen([a.replace("{port}", path) for a in command],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(1.5)  # the port opens and settles
    samples = []
    for i in range(lines):
        t0 = time.perf_counter_ns()
        os.write(master, b"tick %d\r\n" % i)
        got = b""
        while b"k" not in got:
            r, _, _ = select.select([master], [], [], 10)
            if not r:
                raise SystemExit("no answer from " + command[0])
            got += os.read(master, 64)
        samples.append((time.perf_counter_ns() - t0) / 1e6)
        time.sleep(0.002)
    before = cpu_ms(proc.pid)
    idle_s = 5
    time.sleep(idle_s)
    idle_cpu = cpu_ms(proc.pid) - before
    os.write(master, b"done")
    rc = proc.wait(30)
    os.close(master)
    os.close(slave)
    if rc != 0:
        raise SystemExit(f"{command[0]} exited {rc}: {proc.stderr.read().decode()}")
    samples.sort()
    p99 = samples[min(len(samples) - 1, int(len(samples) * 0.99))]
    return statistics.median(samples), p99, idle_cpu / (idle_s * 1000) * 100

ours = measure([cli, "run", "-p", "{port}", "--quiet", f"{work}/bench.lua", str(lines)])
peer = measure(["python3", f"{work}/peer.py", "{port}"])
print(f"lines: {lines}")
print(f"merovan expect: median {ours[0]:.3f} ms, p99 {ours[1]:.3f} ms, CPU while waiting {ours[2]:.2f}%")
print(f"select() peer:  median {peer[0]:.3f} ms, p99 {peer[1]:.3f} ms, CPU while waiting {peer[2]:.2f}%")
print(f"median ratio to the peer: {ours[0] / peer[0]:.2f}")
PY
