#!/usr/bin/env python3
"""Splits one zpm install into phases.

    phases.py PERF_SCRIPT_OUTPUT...

Each input is `perf script -F comm,pid,time,event` of a run recorded with the
tracepoints sched:sched_process_exec and sched:sched_process_exit and with
uprobes (one group per run) on zpm's own functions (entry NAME, return
NAME__return; see bench/install/profile). Each phase runs from one marker to the
next; a marker is the first event of its name after the previous marker.
With several runs the table shows the median of each phase.
"""
import re
import sys

ev_re = re.compile(r'^\s*(\S+)\s+(\d+)\s+(\d+\.\d+):\s+(\S+):\s*$')

PHASES = [
    # (phase, event that ends it)
    ("process start, loading the libraries", "main"),
    ("start-up, package check, planning", "exe_install"),
    ("copy to the stage area", "install_zpk"),
    ("unpack: signature check of the payload", "sig__return"),
    ("unpack: extract", "extract__return"),
    ("hash check of the unpacked files", "chk_all_files__return"),
    ("existing-file check", "chk_local_insert__return"),
    ("copy into place with backup, links", "copy_entry"),
    ("info copy and file index", "sync_all"),
    ("sync, install record", "rmdir"),
    ("removing the unpacked tree", "install_zpk__return"),
    ("install log, outcome, exit", "exit"),
]

# Markers a run may lack: an unpack that reuses the signature check of the
# planning never calls it again; its phase then counts as nothing.
OPTIONAL = {"sig__return"}


def events(path):
    main_pid = None
    for line in open(path):
        m = ev_re.match(line)
        if not m:
            continue
        comm, pid, ts, ev = m.group(1), m.group(2), float(m.group(3)), m.group(4)
        name = ev.split(":")[-1]
        if ev == "sched:sched_process_exec":
            if comm == "zpm" and main_pid is None:
                main_pid = pid
                yield "exec", ts
            continue
        if pid != main_pid:
            continue
        if ev == "sched:sched_process_exit":
            yield "exit", ts
        else:
            yield name, ts


def find(evs, at, marker, stop=None):
    """Index of the first event marker at or after at, before an event stop."""
    for i in range(at, len(evs)):
        if evs[i][0] == marker:
            return i
        if stop is not None and evs[i][0] == stop:
            return None
    return None


def phases(path):
    evs = list(events(path))
    if not evs or evs[0][0] != "exec":
        raise ValueError("zpm's start was not recorded")
    prev, at = evs[0][1], 1
    spans = []
    for phase, marker in PHASES:
        if marker == "sig__return":
            # the check inside the unpack, not the one of the planning
            start = find(evs, at, "extract")
            i = None if start is None else find(evs, start, marker, "extract__return")
        else:
            i = find(evs, at, marker)
        if i is None and marker in OPTIONAL:
            spans.append(0.0)
            continue
        if i is None:
            raise ValueError("no event %s ends the phase %s; events seen: %s" % (
                marker, phase, " ".join(n for n, _ in evs[:30])))
        spans.append(evs[i][1] - prev)
        prev, at = evs[i][1], i + 1
    return spans


def median(xs):
    xs = sorted(xs)
    n = len(xs)
    return xs[n // 2] if n % 2 else (xs[n // 2 - 1] + xs[n // 2]) / 2


def main():
    try:
        runs = [phases(p) for p in sys.argv[1:]]
    except ValueError as e:
        print("  %s" % e)
        return 1
    meds = [median([r[i] for r in runs]) for i in range(len(PHASES))]
    total = median([sum(r) for r in runs])
    for (phase, _), span in zip(PHASES, meds):
        print("  %-42s %8.1f ms %5.1f%%" % (phase, span * 1000, 100 * span / total))
    print("  %-42s %8.1f ms  (median of %d runs)" % ("total, exec to exit", total * 1000, len(runs)))
    return 0


sys.exit(main())
