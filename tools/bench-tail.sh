#!/usr/bin/env bash
# Where the slow exchanges' time goes: runs the native update bench (both images) under a
# system-wide scheduler trace and breaks every exchange's added time down into the time
# each thread on its way waited for a CPU (bench/tail_breakdown.py). Needs perf and the
# right to trace the whole machine (root, or kernel.perf_event_paranoid at -1).
#   tools/bench-tail.sh [OPTION]...   options go to korvel7-update-bench, e.g.
#                                     --baseline OLD_KORVEL7 --runs 3
# The trace takes about 0.5 GB a minute on a busy machine; it is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v perf >/dev/null || { echo "bench-tail.sh: perf is not installed" >&2; exit 1; }
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
perf record -q -a -k CLOCK_MONOTONIC -e sched:sched_switch -e sched:sched_waking \
    -o "$dir/perf.data" -- build/native/bench/korvel7-update-bench \
    --korvel7 build/native/cli/korvel7 --only updates --trace --out "$dir" "$@"
echo
perf script -i "$dir/perf.data" -F comm,pid,tid,cpu,time,event,trace 2>/dev/null >"$dir/sched.txt"
rm "$dir/perf.data"
python3 bench/tail_breakdown.py "$dir/sched.txt" "$dir"/*.trace
