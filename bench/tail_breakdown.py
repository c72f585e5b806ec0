#!/usr/bin/env python3
"""Where each exchange's added time went, from a system-wide scheduler trace.

    tail_breakdown.py SCHED_TXT TRACE...

SCHED_TXT is `perf script -F comm,pid,tid,cpu,time,event,trace` of a `perf record -a -k
CLOCK_MONOTONIC -e sched:sched_switch -e sched:sched_waking` taken around
`korvel7-update-bench --trace`; each TRACE is one run's exchange file from that bench (its
first line names the tool's and the simulators' process ids). tools/bench-tail.sh does all
of it.

An exchange's added time runs from the answer's last byte through the line model to the
next request's read by the simulator. It splits into the simulator writing the answer late
and the turnaround after the write. Both are cut into the time each thread on the way
waited for a CPU while runnable: the simulator's thread, the pseudo-terminal's kernel
workers (which carry bytes between its two ends), the tool's receiving thread and the
tool's worker; what is left is work (parsing, logging, system calls) and hand-overs.
Waits that overlap are each counted, so the parts can add up to more than the whole.
"""
import bisect
import collections
import re
import sys

EVENT = re.compile(r"^\s*(.+?)\s+(\d+)/(\d+)\s+\[(\d+)\]\s+([\d.]+):\s+sched:(\w+):\s+(.*)$")
WAKING = re.compile(r"comm=(.*) pid=(\d+) prio")
SWITCH = re.compile(
    r"prev_comm=(.*) prev_pid=(\d+) prev_prio=\d+ prev_state=(\S+) ==> next_comm=(.*) next_pid=(\d+)")


def read_events(path, start, end):
    """(time, kind, tid, comm, extra, cpu) for waking/out/in; and tid -> process id."""
    events, process = [], {}
    with open(path) as text:
        for line in text:
            m = EVENT.match(line)
            if not m:
                continue
            comm, pid, tid, cpu, time, name, rest = m.groups()
            process[int(tid)] = int(pid)
            time = float(time)
            if time < start or time > end:
                continue
            if name == "sched_waking":
                w = WAKING.search(rest)
                events.append((time, "wake", int(w.group(2)), w.group(1), int(tid), int(cpu)))
            elif name == "sched_switch":
                s = SWITCH.search(rest)
                events.append((time, "out", int(s.group(2)), s.group(1), s.group(3), int(cpu)))
                events.append((time, "in", int(s.group(5)), s.group(4), None, int(cpu)))
    events.sort(key=lambda e: e[0])
    return events, process


def intervals_overlap(intervals, starts, a, b):
    i = max(0, bisect.bisect_left(starts, a) - 1)
    total = 0.0
    for x, y in intervals[i:]:
        if x >= b:
            break
        if y > a:
            total += min(y, b) - max(x, a)
    return total


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def analyse(sched_path, trace_path):
    with open(trace_path) as text:
        ids = re.findall(r"\d+", text.readline())
        tool_pid, bench_pid = int(ids[0]), int(ids[1])
        text.readline()
        rows = [list(map(int, line.split()[1:])) for line in text]
    exchanges = [(c, s / 1e9, l / 1e9, w / 1e9, n / 1e9) for c, s, l, w, n in rows]
    events, process = read_events(sched_path, exchanges[0][1] - 4, exchanges[-1][4] + 0.2)

    # The worker is the tool's thread that another of its threads (the receiving one)
    # wakes most; each simulator is the bench's thread woken most often.
    pairs = collections.Counter(
        (e[2], e[4]) for e in events if e[1] == "wake" and process.get(e[2]) == tool_pid
        and process.get(e[4]) == tool_pid)
    wakes = collections.Counter(
        e[2] for e in events if e[1] == "wake" and process.get(e[2]) == bench_pid)
    if not pairs or not wakes:
        sys.exit(f"{trace_path}: the tool's or the simulator's threads are not in the trace")
    (worker, receiver), _ = pairs.most_common(1)[0]
    simulator = wakes.most_common(1)[0][0]
    chain = {receiver: "receiving thread", worker: "worker", simulator: "simulator"}

    # Runnable-but-waiting spells of the chain's threads, and of kernel workers that one
    # of them woke (a write to the pseudo-terminal queues its delivery on one).
    waiting = collections.defaultdict(list)
    since = {}
    for time, kind, tid, comm, extra, _ in events:
        kworker = comm.startswith("kworker")
        if kind == "wake" and tid not in since and (tid in chain or (kworker and extra in chain)):
            since[tid] = time
        elif kind == "out" and tid in chain and extra.startswith("R"):
            since[tid] = time
        elif kind == "in" and tid in since:
            waiting[chain.get(tid, "kernel worker")].append((since.pop(tid), time))
    starts = {name: [x for x, _ in spells] for name, spells in waiting.items()}

    def waited(name, a, b):
        return intervals_overlap(waiting[name], starts.get(name, []), a, b)

    parts = ["added", "late", "  simulator waiting", "turnaround", "  kernel workers waiting",
             "  receiving thread waiting", "  worker waiting", "  simulator waiting ",
             "  the rest"]
    rows = []
    for _, _, line_end, written, next_read in exchanges:
        turnaround = next_read - written
        waits = [waited(n, written, next_read)
                 for n in ("kernel worker", "receiving thread", "worker", "simulator")]
        rows.append([next_read - line_end, written - line_end,
                     waited("simulator", line_end, written), turnaround, *waits,
                     max(0.0, turnaround - sum(waits))])
    print(f"{trace_path}: {len(rows)} exchanges (tool pid {tool_pid})")
    print(f"{'ms':30}{'median':>9}{'p90':>9}{'p99':>9}{'max':>9}{'sum':>10}")
    for i, name in enumerate(parts):
        v = [r[i] * 1e3 for r in rows]
        print(f"{name:30}{percentile(v, .5):9.3f}{percentile(v, .9):9.3f}"
              f"{percentile(v, .99):9.3f}{max(v):9.3f}{sum(v):10.1f}")
    slow = sorted(rows, key=lambda r: -r[0])[:max(1, len(rows) // 100)]
    print(f"the slowest 1% ({len(slow)} exchanges, from {slow[-1][0] * 1e3:.2f} ms), sums in ms:")
    for i, name in enumerate(parts):
        print(f"  {name:30}{sum(r[i] for r in slow) * 1e3:8.1f}")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    for trace in sys.argv[2:]:
        analyse(sys.argv[1], trace)
        print()
