#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Compares a Merovan session log with what merovan-devsim sent.

Usage: log_compare.py [--timestamps] LOG SENT1 [SENT2 ...]

The log is a raw log (bytes as received), with a timestamp before each line
when --timestamps is given, and notes on lines of their own:
"[Disconnected: PATH, waiting for it to return]" and "[Reconnected]". Each
SENTn holds what the n-th run of the device sent. The log is cut at its
notes into one part per run; each part must be what that run sent, except
that the last bytes a run sent before it was killed may be missing (they
were in flight), and a line under way at a note is ended with one LF.
Prints one line per run and a summary as JSON on the last line.
"""
import json
import re
import sys

STAMP = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ")
NOTE = re.compile(rb"\[(Disconnected: [^\]\n]*|Reconnected)\]\n")


def parse(log, stamped):
    """Splits the log into the payload between notes; checks every stamp."""
    parts, notes = [bytearray()], []
    bad_stamps = 0
    i, n = 0, len(log)
    line_start, after_cr = True, False
    while i < n:
        if line_start:
            if after_cr and log[i:i + 1] == b"\n":
                parts[-1] += b"\n"
                i += 1
                after_cr = False
                continue
            if stamped:
                if not STAMP.match(log, i):
                    bad_stamps += 1
                else:
                    i += 24
            m = NOTE.match(log, i)
            if m:
                notes.append(m.group(1).decode("latin-1"))
                if m.group(1) != b"Reconnected":
                    parts.append(bytearray())
                i = m.end()
                line_start, after_cr = True, False
                continue
            line_start = False
            after_cr = False
            if i >= n:
                break
        # Copy up to and including the next line end.
        j = i
        while j < n and log[j] not in (0x0A, 0x0D):
            j += 1
        if j == n:
            parts[-1] += log[i:]
            break
        parts[-1] += log[i:j + 1]
        line_start = True
        after_cr = log[j] == 0x0D
        i = j + 1
    return [bytes(p) for p in parts], notes, bad_stamps


def main():
    args = sys.argv[1:]
    stamped = False
    if args and args[0] == "--timestamps":
        stamped = True
        args = args[1:]
    log = open(args[0], "rb").read()
    sent = [open(p, "rb").read() for p in args[1:]]
    parts, notes, bad_stamps = parse(log, stamped)
    total_sent = sum(len(s) for s in sent)
    total_logged = 0
    mismatches = 0
    in_flight = 0
    for k, s in enumerate(sent):
        part = parts[k] if k < len(parts) else b""
        # A line under way when the device went was ended for the note
        # (every run but one still going when the log ended has one).
        noted = k + 1 < len(parts)
        if noted and part.endswith(b"\n") and (len(part) > len(s) or s[len(part) - 1:len(part)] != b"\n"):
            part = part[:-1]
        same = len(part) <= len(s) and s[:len(part)] == part
        if not same:
            mismatches += 1
            first = next((i for i in range(min(len(part), len(s))) if part[i] != s[i]), min(len(part), len(s)))
            print(f"run {k + 1}: MISMATCH at byte {first} (logged {len(part)}, sent {len(s)})")
        else:
            missing = len(s) - len(part)
            in_flight += missing
            print(f"run {k + 1}: sent {len(s)} bytes, logged {len(part)}, identical; "
                  f"{missing} missing at the end (in flight when it went)")
        total_logged += min(len(part), len(s)) if same else 0
    # The device goes before Merovan does, so an empty part after the last
    # run's note is expected; anything else is not.
    extra_parts = sum(1 for p in parts[len(sent):] if p)
    summary = {
        "sent_bytes": total_sent,
        "logged_bytes": total_logged,
        "share": total_logged / total_sent if total_sent else 0.0,
        "mismatching_runs": mismatches,
        "missing_in_flight": in_flight,
        "notes": len(notes),
        "reconnects": notes.count("Reconnected"),
        "bad_timestamps": bad_stamps,
        "extra_parts": extra_parts,
    }
    print(json.dumps(summary))
    return 0 if mismatches == 0 and bad_stamps == 0 and extra_parts == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
