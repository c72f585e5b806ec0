#!/usr/bin/env bash
# The main job end to end: installs what is missing, builds the native tree, starts the
# virtual receiver on a pseudo-terminal and runs korvel7 against it.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null

workdir=$(mktemp -d)
port="$workdir/korvel7"
build/native/sim/korvel7-sim --link "$port" >"$workdir/sim.out" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$workdir"' EXIT
for _ in $(seq 100); do [[ -e $port ]] && break; sleep 0.05; done

echo "virtual receiver on $(head -n 1 "$workdir/sim.out"), linked as $port"
build/native/cli/korvel7 program --port "$port"
