#!/usr/bin/env bash
# The benchmarks: whole updates of each image against the simulator on a paced
# 115200-baud line, for the native korvel7 and for korvel7.exe under Wine, side by side;
# 24 receivers at once (one simulator thread serving them all) against one alone; then
# the receive parser's throughput. Every run fails when the simulator strays from its
# line model by more than 1 %.
#   tools/bench.sh [PART] [OPTION]...
#     PART     all (the default), update (single updates), fleet (24 at once), parser,
#              station (`korvel7 station`'s hot-plug latency and idle cost,
#              korvel7-station-bench) or station-long (its long run, tools/bench-station.sh);
#              the station parts are not in all
#     OPTION   passed to korvel7-update-bench: --runs N (medians of N runs), --fleet N
#              (receivers at once, up to 32), --trace (each run's exchanges and their
#              times), --out DIR; station: --plugs N, --rest MS, --idle S; station-long:
#              --jobs N, --slots N, --every N, --rest S
# About six minutes for all, with one run.
set -euo pipefail
cd "$(dirname "$0")/.."
what=all
if [[ $# -gt 0 && $1 != -* ]]; then
    what=$1
    shift
fi
case $what in
    all | update | fleet | parser | station | station-long) ;;
    *)
        echo "usage: tools/bench.sh [all|update|fleet|parser|station|station-long] [OPTION]..." >&2
        exit 64
        ;;
esac

tools/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null
[[ $what == station ]] &&
    exec build/native/bench/korvel7-station-bench --korvel7 build/native/cli/korvel7 "$@"
[[ $what == station-long ]] && exec tools/bench-station.sh "$@"

if [[ $what != parser ]]; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target korvel7 >/dev/null
    exe=build/windows/cli/korvel7.exe
    # The first run boots the template prefix the Windows tests use; the bench then runs
    # in a copy of it with a server of its own, started before the timed runs and kept
    # until the end: a server that quits between two runs resets the next run's first
    # connection when the two meet ("recvmsg: Connection reset by peer").
    tools/wine-run.sh "$exe" --help >/dev/null
    prefix=$(mktemp -d)
    out=$(mktemp -d)
    trap 'WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix" "$out"' EXIT
    cp -a build/windows/wine/template/. "$prefix/"
    WINEPREFIX=$prefix wineserver --persistent </dev/null >/dev/null 2>&1
    only=()
    [[ $what == update ]] && only=(--only updates)
    [[ $what == fleet ]] && only=(--only fleet)
    build/native/bench/korvel7-update-bench --korvel7 build/native/cli/korvel7 \
        --wine-exe "$exe" --wine-prefix "$prefix" --out "$out" "${only[@]}" "$@"
    echo
fi
if [[ $what == all || $what == parser ]]; then
    build/native/bench/korvel7-parser-bench
fi
