#!/usr/bin/env bash
# The long run of `korvel7 station`: JOBS jobs in a row on SLOTS slots, each slot a link
# that an unpaced simulator is plugged in at (korvel7-sim --link) and unplugged from
# (SIGTERM) once the station's ledger holds that plug's line, then left empty for REST
# seconds before the next one. A simulator that can re-enumerate after its reset
# (--replug-on-reset) does, as a real receiver reboots into its new image, so the station
# reads its version after at once instead of waiting out its window. It samples the
# station's resident memory, threads and open descriptors from /proc/PID every EVERY jobs
# and before and after the run, when the station is idle, and prints whether they stayed flat:
# idle at the end no more threads and descriptors than idle at the start, and the largest
# memory of the run's second half within 10% of the first half's; exit 1 when one grew.
#   tools/bench-station.sh [--jobs N] [--slots N] [--every N] [--rest S] [--build DIR]
# Defaults: 500 jobs, 4 slots, a sample every 25 jobs, 1 s rest, build/native.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=500 slots=4 every=25 rest=1 build=build/native
while [[ $# -gt 0 ]]; do
    case $1 in
        --jobs | --slots | --every | --rest | --build)
            [[ $# -ge 2 ]] || { echo "bench-station: $1 needs a value" >&2; exit 64; }
            declare "${1#--}=$2"
            shift 2
            ;;
        *)
            echo "usage: tools/bench-station.sh [--jobs N] [--slots N] [--every N] [--rest S] [--build DIR]" >&2
            exit 64
            ;;
    esac
done
korvel7=$build/cli/korvel7 sim=$build/sim/korvel7-sim
for program in "$korvel7" "$sim"; do
    [[ -x $program ]] || { echo "bench-station: $program is missing; build first" >&2; exit 1; }
done

reboot=()
[[ $("$sim" --help) == *--replug-on-reset* ]] && reboot=(--replug-on-reset 300)

dir=$(mktemp -d)
ledger=$dir/ledger.jsonl
station= loops=()
cleanup() {
    for pid in $station "${loops[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
touch "$ledger"
done_jobs() { wc -l <"$ledger"; }

# One slot: plug a receiver in, wait for its line in the ledger, unplug, rest; until the
# ledger holds every job. A plug whose line does not come within a minute is counted lost.
plug_loop() {
    local link=$dir/ttyACM$1 before receiver= waited
    trap '[[ -n $receiver ]] && kill -TERM "$receiver" 2>/dev/null; exit 0' TERM
    while (($(done_jobs) < jobs)); do
        before=$(grep -c "\"slot\":\"$link\"" "$ledger" || true)
        "$sim" --link "$link" "${reboot[@]}" --seed "$RANDOM" >/dev/null 2>&1 &
        receiver=$!
        for ((waited = 0; waited < 600; waited++)); do
            (($(grep -c "\"slot\":\"$link\"" "$ledger" || true) > before)) && break
            sleep 0.1
        done
        ((waited < 600)) || echo lost >>"$dir/lost"
        kill -TERM "$receiver" 2>/dev/null || true
        wait "$receiver" 2>/dev/null || true
        sleep "$rest"
    done
}

# Resident memory (KiB), threads, open descriptors.
sample() {
    local rss threads
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$station/status")
    threads=$(awk '/^Threads:/ { print $2 }' "/proc/$station/status")
    echo "$rss $threads $(find "/proc/$station/fd" -mindepth 1 -maxdepth 1 | wc -l)"
}

load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
"$korvel7" station --watch "$dir/ttyACM*" --ledger "$ledger" --json >"$dir/out.jsonl" 2>"$dir/err" &
station=$!
sleep 1
idle_start=$(sample)
start=$(date +%s)
for ((slot = 0; slot < slots; slot++)); do
    plug_loop "$slot" &
    loops+=($!)
done
samples=()
next=$every
while (($(done_jobs) < jobs)); do
    kill -0 "$station" 2>/dev/null || { echo "bench-station: the station ended early:" >&2; cat "$dir/err" >&2; exit 1; }
    done_now=$(done_jobs)
    if ((done_now >= next)); then
        samples+=("$done_now $(sample)")
        next=$(((done_now / every + 1) * every))
    fi
    sleep 0.2
done
# Each slot ends the plug it has, so no job is stopped; then the station is idle again.
for pid in "${loops[@]}"; do
    wait "$pid" 2>/dev/null || true
done
loops=()
seconds=$(($(date +%s) - start))
sleep 1
idle_end=$(sample)
kill -TERM "$station"
status=0
wait "$station" || status=$?
station=

echo "korvel7 station: $(done_jobs) jobs on $slots slots in $seconds s (rest $rest s), exit status $status"
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1); load $load_before before, $(cut -d ' ' -f 1-3 /proc/loadavg) after"
echo "results: $(jq -r .result "$ledger" | sort | uniq -c | awk '{ printf "%s%s %s", sep, $1, $2; sep = ", " }'); lost plugs: $(cat "$dir/lost" 2>/dev/null | wc -l)"
echo "    jobs  rss_kib  threads  fds"
printf '%8s %8s %8s %4s\n' idle $idle_start ${samples[@]} idle $idle_end
# Flat: idle at the end holds no more threads and descriptors than idle at the start, and
# the largest memory of the second half of the run is within 10% of the first half's.
printf '%s\n' "idle $idle_start" "${samples[@]}" "idle $idle_end" | awk '
    { rss[NR] = $2; thr[NR] = $3; fds[NR] = $4 }
    END {
        runs = NR - 2; half = 1 + int((runs + 1) / 2)
        split("rss_kib threads fds", name)
        for (k = 1; k <= 3; k++) {
            max1 = max2 = top = 0
            for (i = 2; i < NR; i++) {
                v = (k == 1 ? rss[i] : k == 2 ? thr[i] : fds[i])
                if (v > top) top = v
                if (i <= half && v > max1) max1 = v
                if (i > half && v > max2) max2 = v
            }
            a = (k == 1 ? rss[1] : k == 2 ? thr[1] : fds[1])
            z = (k == 1 ? rss[NR] : k == 2 ? thr[NR] : fds[NR])
            flat = k == 1 ? max2 <= max1 * 1.1 : z <= a
            printf "%-8s idle %s at the start, %s at the end; running: max %s in the first half, %s in the second: %s\n",
                   name[k], a, z, max1, max2, flat ? "flat" : "GROWS"
            if (!flat) grows = 1
        }
        exit grows
    }'
