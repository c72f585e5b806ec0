#!/usr/bin/env bash
# The benchmarks: a whole update of each image against the simulator on a paced
# 115200-baud line, for the native korvel7 and for korvel7.exe under Wine, side by side;
# then the receive parser's throughput. About two minutes.
#   tools/bench.sh            both
#   tools/bench.sh update     the updates only
#   tools/bench.sh parser     the parser only
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}

tools/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null

if [[ $what == all || $what == update ]]; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target korvel7 >/dev/null
    exe=build/windows/cli/korvel7.exe
    # The first run boots the template prefix the Windows tests use; the bench then runs
    # in a copy of it with a server of its own, started before the timed runs.
    tools/wine-run.sh "$exe" --help >/dev/null
    prefix=$(mktemp -d)
    out=$(mktemp -d)
    trap 'WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix" "$out"' EXIT
    cp -a build/windows/wine/template/. "$prefix/"
    WINEPREFIX=$prefix wineserver </dev/null >/dev/null 2>&1
    build/native/bench/korvel7-update-bench --korvel7 build/native/cli/korvel7 \
        --wine-exe "$exe" --wine-prefix "$prefix" --out "$out"
    echo
fi
if [[ $what == all || $what == parser ]]; then
    build/native/bench/korvel7-parser-bench
fi
