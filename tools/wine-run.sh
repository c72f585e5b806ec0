#!/bin/bash
# Runs a Windows program under Wine; ctest calls it for every Windows test
# (CMAKE_CROSSCOMPILING_EMULATOR):  wine-run.sh PROGRAM.exe [ARGS...]
#
# Each run gets a Wine prefix of its own, copied from a template prefix that the first run
# boots (under <build tree>/wine/), and its own wineserver, stopped at the end; runs may go
# in parallel. No display is needed; DISPLAY is passed on when set.
#
# Environment, from the test's properties:
#   KORVEL7_SIM          the native korvel7-sim. When set it serves the prefix's COM7 for
#                        the run: started with --link <prefix>/dosdevices/com7, stopped with
#                        SIGTERM at the end.
#   KORVEL7_SIM_ARGS     more simulator options.
#   KORVEL7_SIM_ALIASES  more dosdevices names for the same pseudo-terminal ("com9 com10").
#   KORVEL7_DISPLAY      when set, the program gets an X display of its own (Xvfb), for
#                        tests that open windows.
# The program finds in KORVEL7_SIM_UNPLUG the Windows path of a file; creating it stops the
# simulator, as if the receiver were pulled out.
set -euo pipefail

die() {
    echo "wine-run.sh: $*" >&2
    exit 125
}

[ $# -ge 1 ] || die "usage: wine-run.sh PROGRAM.exe [ARGS...]"
program=$(realpath -e -- "$1" 2>/dev/null) || die "no program at $1"
shift

wine=/usr/lib/wine/wine64  # the launcher /usr/bin/wine would hint about a missing wine32
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine) || die "Wine is not installed"
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEDEBUG=-all

# The build tree is the nearest folder above the program that holds a CMakeCache.txt.
build=$(dirname "$program")
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
[ "$build" != / ] || build=${TMPDIR:-/tmp}/korvel7-wine-$(id -u)
root=$build/wine
mkdir -p "$root"

# Booting a prefix takes 10-20 s, copying one about 1 s. The template is booted without a
# display (a later run with one still gets windows, its wineserver being new) and without
# the Mono and Gecko installers; it is rebuilt when the Wine version changes.
ensure_template() {
    local version stamp=$root/template/.korvel7-wine
    version=$("$wine" --version)
    [ "$(cat "$stamp" 2>/dev/null)" = "$version" ] && return
    exec 9>"$root/template.lock"
    flock 9
    if [ "$(cat "$stamp" 2>/dev/null)" != "$version" ]; then
        local fresh
        fresh=$(mktemp -d "$root/template.XXXXXX")
        if ! env -u DISPLAY WINEPREFIX="$fresh" WINEDLLOVERRIDES="mscoree,mshtml=" \
            "$wine" wineboot -i >"$root/template.log" 2>&1 </dev/null; then
            rm -rf "$fresh"
            die "booting the template prefix failed; see $root/template.log"
        fi
        WINEPREFIX="$fresh" "$wineserver" -w
        echo "$version" >"$fresh/.korvel7-wine"
        rm -rf "$root/template"
        mv "$fresh" "$root/template"
    fi
    exec 9>&-
}

prefix=
sim=
watcher=
xvfb=
# shellcheck disable=SC2317  # called by the trap
cleanup() {
    [ -z "$watcher" ] || kill "$watcher" 2>/dev/null || true
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    if [ -n "$sim" ]; then
        kill -TERM "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
    if [ -n "$prefix" ]; then
        WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
        WINEPREFIX="$prefix" "$wineserver" -w 2>/dev/null || true
        rm -rf "$prefix"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the simulator on COM7, waits for the pseudo-terminal path it prints first and
# links the aliases to it.
start_simulator() {
    [ -x "$KORVEL7_SIM" ] || die "no simulator at $KORVEL7_SIM: build the native preset first"
    local out=$prefix/sim.out pty='' alias
    # shellcheck disable=SC2086  # the options are words
    "$KORVEL7_SIM" --link "$prefix/dosdevices/com7" ${KORVEL7_SIM_ARGS:-} >"$out" </dev/null &
    sim=$!
    for _ in $(seq 100); do
        if [ "$(wc -l <"$out")" -ge 1 ]; then
            pty=$(head -n 1 "$out")
            break
        fi
        kill -0 "$sim" 2>/dev/null || die "the simulator ended before printing its terminal"
        sleep 0.1
    done
    [ -n "$pty" ] || die "the simulator printed no terminal path within 10 s"
    [ -e "$prefix/dosdevices/com7" ] || die "the simulator did not link COM7 to $pty"
    for alias in ${KORVEL7_SIM_ALIASES:-}; do ln -sfn "$pty" "$prefix/dosdevices/$alias"; done

    local unplug=$prefix/unplug
    export KORVEL7_SIM_UNPLUG="Z:${unplug//\//\\}"
    (
        while [ ! -e "$unplug" ]; do sleep 0.1; done
        kill -TERM "$sim"
    ) </dev/null >/dev/null 2>&1 &
    watcher=$!
}

# A virtual screen on a free display number, which Xvfb reports once it is ready.
start_display() {
    command -v Xvfb >/dev/null || die "Xvfb is not installed (tools/setup.sh installs it)"
    local number=$prefix/display
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$number" </dev/null >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$number" ] && break
        kill -0 "$xvfb" 2>/dev/null || die "Xvfb ended at start"
        sleep 0.1
    done
    [ -s "$number" ] || die "Xvfb reported no display within 10 s"
    export DISPLAY=":$(head -n 1 "$number")"
}

ensure_template
# Prefixes left by runs that were killed (a ctest time-out kills without a trap).
find "$root" -mindepth 1 -maxdepth 1 -type d -name '*.??????' -mmin +60 -exec rm -rf {} + \
    2>/dev/null || true
prefix=$(mktemp -d "$root/run.XXXXXX")
cp -a "$root/template/." "$prefix/"
export WINEPREFIX=$prefix
[ -z "${KORVEL7_DISPLAY:-}" ] || start_display
# Started here, away from ctest's output pipes, which a server started by the program
# would hold for seconds after the end. The services Wine starts end with it.
"$wineserver" </dev/null >/dev/null 2>&1

[ -z "${KORVEL7_SIM:-}" ] || start_simulator

status=0
"$wine" "$program" "$@" </dev/null || status=$?
exit "$status"
