#!/usr/bin/env bash
# What the programs say about themselves: the project's version, the built-in images as
# --version lists them against the image files the build embedded, each command's usage,
# and the placeholder warning.
# Usage: about_test.sh KORVEL7 KORVEL7_SIM VERSION IMAGE_A IMAGE_B
set -euo pipefail
korvel7=$1 sim=$2 version=$3
declare -A file=([A]=$4 [B]=$5) banner=([A]=2.4.5 [B]=3.4.5)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

listing=$("$korvel7" --version)
[[ $(head -n 1 <<<"$listing") == "korvel7 $version" ]] || fail "korvel7 --version: $(head -n 1 <<<"$listing")"
[[ $("$sim" --version) == "korvel7-sim $version" ]] || fail "korvel7-sim --version: $("$sim" --version)"

# Each image's lines from the listing, against its file: size, 16-bit sum of the bytes,
# SHA-256, and the banner's version for it.
for image in A B; do
  block=$(grep -A 2 "^  $image   for" <<<"$listing")
  size=$(stat -c %s "${file[$image]}")
  sum=$(od -An -v -tu1 "${file[$image]}" | awk '{ for (i = 1; i <= NF; i++) s += $i } END { printf "%04x", s % 65536 }')
  sha=$(sha256sum "${file[$image]}" | cut -d ' ' -f 1)
  for expected in "banner version ${banner[$image]}, $size bytes, 16-bit sum $sum," "SHA-256 $sha"; do
    grep -qxF "      $expected" <<<"$block" || fail "image $image: no line '$expected' in:"$'\n'"$block"
  done
done

# Every command's usage, by --help anywhere among its arguments and by `help COMMAND`;
# an unknown option stays a usage error.
for command in program info verify station version address ports doctor udev-rule help; do
  out=$("$korvel7" "$command" --port /dev/null -h) && status=0 || status=$?
  [[ $status == 0 && $(head -n 1 <<<"$out") == "usage: korvel7 $command"* ]] ||
    fail "korvel7 $command -h: status $status, $(head -n 1 <<<"$out")"
  [[ $("$korvel7" help "$command") == "$out" ]] || fail "korvel7 help $command differs from -h"
done
"$korvel7" program --port /dev/null --bogus 2>/dev/null && status=0 || status=$?
[[ $status == 64 ]] || fail "an unknown option exits $status"

# The completion, the usage, the overview and the parser agree: every command the
# completion offers has a line in the overview, and each option it offers for a command
# is in that command's usage, in the overview, and taken by the parser.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
completion=$("$korvel7" --bash-completion)
overview=$("$korvel7" --help)
commands=$(sed -n 's/^        words="\([a-z -]*\) --help --version"$/\1/p' <<<"$completion")
[[ $commands == "program info verify station version address ports doctor udev-rule help" ]] || fail "completion commands: $commands"
for command in $commands; do
  grep -q "^  $command\b" <<<"$overview" || fail "the overview has no line for $command"
  usage=$("$korvel7" "$command" --help)
  for option in $(sed -n "s/^        $command) words=\"\(.*\)\" ;;$/\1/p" <<<"$completion"); do
    [[ $option == --* && $option != --help ]] || continue
    grep -q -- "^  $option\b" <<<"$usage" || fail "korvel7 $command --help does not show $option"
    grep -q -- "^  $option\b" <<<"$overview" || fail "the overview does not show $option"
    value=$(grep -o -- "^  $option [A-Z]*" <<<"$usage" | cut -d " " -f 4) || true
    args=(--port /dev/korvel7-missing "$option" ${value:+"$scratch"})
    [[ $option == --port ]] && args=(--port /dev/korvel7-missing)
    [[ $command == address ]] && args+=(0a ff 7c)
    run=()
    if [[ $command == station ]]; then  # it watches until stopped
      run=(timeout -s INT 0.5)
      args=(--watch "$scratch/none*" "$option" ${value:+"$scratch"})
      [[ $value == FILE ]] && args[3]=$scratch/ledger
    fi
    [[ $command == ports ]] && args=("$option")
    "${run[@]}" "$korvel7" "$command" "${args[@]}" >/dev/null 2>&1 && status=0 || status=$?
    [[ $status != 64 ]] || fail "korvel7 $command ${args[*]}: usage error"
  done
done

# korvel7-sim: a usage error names the argument, the option and what it takes, the first
# one in the order given, and nothing is served; its help shows every option its
# completion offers.
for run in "--bogus --seed=x|unknown option '--bogus'" "--seed|--seed needs a number from 0 to 4294967295" \
  "--nmea-rate=x --bogus|--nmea-rate: 'x' is not valid; expected a number of lines per second from 0 to 1000" \
  "--blank=1|--blank takes no value" "--no-nmea stray|unknown option 'stray'" \
  "--count 2|--count needs --link" \
  "--count 0 --link x|--count: '0' is not valid; expected a number of receivers from 1 to 256"; do
  err=$(timeout 5 "$sim" ${run%%|*} 2>&1 >/dev/null) && status=0 || status=$?
  [[ $status == 64 && $err == "korvel7-sim: ${run#*|}"$'\n'"Try 'korvel7-sim --help'." ]] ||
    fail "korvel7-sim ${run%%|*}: status $status, $err"
done
# --count N serves N receivers, each at its own link, the path of each printed in turn.
paths=$(timeout 5 "$sim" --count 3 --link "$scratch/sim" --unplug-after 300 2>"$scratch/sim.err")
[[ $(wc -l <<<"$paths") == 3 && $(sort -u <<<"$paths" | wc -l) == 3 ]] ||
  fail "korvel7-sim --count 3 printed: $paths"
for i in 0 1 2; do
  grep -qx "korvel7-sim: $scratch/sim$i links to $(sed -n "$((i + 1))p" <<<"$paths")" "$scratch/sim.err" ||
    fail "korvel7-sim --count 3: no link $i: $(cat "$scratch/sim.err")"
done
sim_help=$("$sim" --help)
for option in $(sed -n 's/^    words="\(.*\)"$/\1/p' <<<"$("$sim" --bash-completion)"); do
  grep -q -- "^  $option\b" <<<"$sim_help" || fail "korvel7-sim --help does not show $option"
done
[[ -n ${option:-} ]] || fail "korvel7-sim's completion offers no options"

# Placeholder images: said on standard error by the commands that talk to a receiver.
warning="korvel7: WARNING: this build carries placeholder images, not firmware (A and B)"
if grep -q "PLACEHOLDER" <<<"$listing"; then
  err=$("$korvel7" version --port /dev/korvel7-missing 2>&1 >/dev/null) || true
  [[ $(head -n 1 <<<"$err") == "$warning"* ]] || fail "no placeholder warning: $err"
  [[ -z $("$korvel7" ports 2>&1 >/dev/null) ]] || fail "korvel7 ports warns"
fi

((failures == 0)) && echo "about: all checks passed"
exit $((failures > 0))
