#!/usr/bin/env bash
# `korvel7 udev-rule`, `korvel7 doctor` and a job's ModemManager hint against a system the
# test builds: a sysfs tree (SYSFS_PATH) with two units of one receiver model on two
# simulators' terminals, the second with a serial number no rule may carry, and below
# KORVEL7_SYSTEM_ROOT a process table, udev's database and rule folders and a group file.
# Usage: access_test.sh KORVEL7 KORVEL7_SIM
set -euo pipefail
korvel7=$1 sim_program=$2
scratch=$(mktemp -d)
chmod 755 "$scratch"  # the access checks run korvel7 as nobody too
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

start_sim() {  # OUTPUT-VARIABLE [SIM OPTION...]: the simulator's terminal
  local out=$scratch/sim$((${#pids[@]})).out
  "$sim_program" "${@:2}" >"$out" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [[ -s $out ]] && break; sleep 0.05; done
  printf -v "$1" %s "$(head -n 1 "$out")"
}
start_sim tagged
start_sim untagged --silent

sys=$scratch/sys root=$scratch/root
unit() {  # PORT USB-PATH SERIAL: a receiver 1209:000c whose ACM interface is PORT's device
  local usb=$sys/devices/usb1/$2
  mkdir -p "$usb/$2:1.0" "$sys/class/tty/pts!${1#/dev/pts/}"
  echo 1209 >"$usb/idVendor" && echo 000c >"$usb/idProduct" && printf '%s\n' "$3" >"$usb/serial"
  ln -s "$usb/$2:1.0" "$sys/class/tty/pts!${1#/dev/pts/}/device"
}
unit "$tagged" 1-2 0042
unit "$untagged" 1-3 'A"B\1'
udev_record() {  # NODE LINE...: udev's record of NODE, under its major:minor
  local number
  read -ra number < <(stat -c '%t %T' "$1")
  printf '%s\n' "${@:2}" >"$root/run/udev/data/c$((16#${number[0]})):$((16#${number[1]}))"
}
mkdir -p "$root/proc" "$root/run/udev/data" "$root/etc/udev/rules.d" "$root/usr/lib/udev/rules.d"
udev_record "$tagged" E:ID_MM_DEVICE_IGNORE=1 G:uaccess
udev_record "$untagged" E:ID_SERIAL=x Q:seat
touch "$root/etc/group"
mkdir -p "$root/proc/1" && echo systemd >"$root/proc/1/comm"
export SYSFS_PATH=$sys KORVEL7_SYSTEM_ROOT=$root

modem_manager() { mkdir -p "$root/proc/812" && echo ModemManager >"$root/proc/812/comm"; }
no_modem_manager() { rm -rf "$root/proc/812"; }

# Runs `[RUNNER...] korvel7 ARGS` (up to --): exit status STATUS, and for each PATTERN after
# it a line of standard output (standard error for a pattern that starts with 2>) matching
# it; a pattern that starts with ! must match no line.
expect() {
  local status=$1 args=() got=0 pattern stream line
  shift
  while [[ $1 != -- ]]; do args+=("$1") && shift; done
  shift
  ${runner:-} "$korvel7" "${args[@]}" >"$scratch/out" 2>"$scratch/err" || got=$?
  [[ $got == "$status" ]] || fail "${args[*]}: exit status $got, not $status: $(cat "$scratch/out" "$scratch/err")"
  for pattern in "$@"; do
    stream=$scratch/out
    [[ $pattern == 2\>* ]] && stream=$scratch/err pattern=${pattern#2>}
    if [[ $pattern == !* ]]; then
      ! grep -qE -- "${pattern#!}" "$stream" || fail "${args[*]}: a line matches '${pattern#!}': $(<"$stream")"
    else
      grep -qE -- "$pattern" "$stream" || fail "${args[*]}: no line matches '$pattern': $(<"$stream")"
    fi
  done
}

rule='^SUBSYSTEM=="tty", ATTRS\{idVendor\}=="1209", ATTRS\{idProduct\}=="000c", '
marks='TAG\+="uaccess", GROUP="dialout", MODE="0660", ENV\{ID_MM_DEVICE_IGNORE\}="1", '
expect 0 udev-rule --port "$tagged" -- "$rule${marks}SYMLINK\+=\"korvel7-%k\"$" \
  '^#   sudo cp korvel7.rules /etc/udev/rules.d/70-korvel7.rules && sudo udevadm control --reload && sudo udevadm trigger$'
expect 0 udev-rule --port serial:0042 --serial -- "${rule}ATTRS\{serial\}==\"0042\", ${marks}SYMLINK\+=\"korvel7-0042\"$"
expect 0 udev-rule --port "$untagged" -- "$rule$marks"
expect 1 udev-rule --port "$untagged" --serial -- '!.' "2>^korvel7: $untagged: its USB serial number 'A\"B\\\\1' .* cannot carry safely"
expect 1 udev-rule --port /dev/null -- '!.' '2>^korvel7: /dev/null: no USB device: '

# What udev-rule prints is a rule doctor finds; a number of 73 or more is too late for uaccess.
"$korvel7" udev-rule --port "$tagged" >"$root/etc/udev/rules.d/70-korvel7.rules"
placed="udev rule $root/etc/udev/rules.d/70-korvel7.rules marks USB 1209:000c ID_MM_DEVICE_IGNORE"
expect 0 doctor --port "$tagged" -- '^ok   ModemManager is not running$' \
  "^--   $tagged: USB 1209:000c serial 0042 at 1-2$" \
  "^ok   $tagged: this user may read and write it \(owner root, .*; udev tags it uaccess\)$" \
  "^ok   $tagged: no other program holds it$" \
  "^ok   $tagged: marked ID_MM_DEVICE_IGNORE, so ModemManager leaves it alone$" \
  "^ok   $tagged: $placed, numbered below 73 so that uaccess applies$"
expect 0 doctor -- "^ok   $tagged: marked" "^--   $untagged: not marked ID_MM_DEVICE_IGNORE; ModemManager is not running$"
modem_manager
expect 0 doctor --port serial:0042 -- '^--   ModemManager is running \(pid 812\)' '!FAIL'
expect 1 doctor -- "^ok   $tagged: marked" \
  "^FAIL $untagged: ModemManager is running \(pid 812\) and the device is not marked ID_MM_DEVICE_IGNORE: .*; fix: korvel7 udev-rule --port $untagged \| sudo tee /etc/udev/rules.d/70-korvel7.rules >/dev/null && sudo udevadm control --reload && sudo udevadm trigger \(or: sudo systemctl stop ModemManager\)$"
mv "$root/etc/udev/rules.d/70-korvel7.rules" "$root/usr/lib/udev/rules.d/73-korvel7.rules"
expect 1 doctor --port "$tagged" -- "^FAIL $tagged: ${placed/etc\/udev\/rules.d\/70/usr\/lib\/udev\/rules.d\/73}, but runs after 73-seat-late.rules, .*; fix: sudo mv $root/usr/lib/udev/rules.d/73-korvel7.rules /etc/udev/rules.d/70-korvel7.rules && "
rm "$root/usr/lib/udev/rules.d/73-korvel7.rules"
expect 0 doctor --port "$tagged" -- "^--   $tagged: no udev rule marks USB 1209:000c ID_MM_DEVICE_IGNORE; to install one: korvel7 udev-rule --port $tagged \|"
SYSFS_PATH=$scratch/none expect 1 doctor -- '^FAIL no udev rule marks a USB device ID_MM_DEVICE_IGNORE, and ModemManager is running' \
  '^--   no USB serial port is plugged in$'
no_modem_manager
SYSFS_PATH=$scratch/none expect 0 doctor -- '^--   no udev rule marks a USB device ID_MM_DEVICE_IGNORE; with a receiver plugged in'
expect 64 doctor --port "$tagged" extra -- '!.'

# A holder, as /proc shows it: a process with the terminal open.
mkdir -p "$root/proc/4242/fd" && echo minicom >"$root/proc/4242/comm" && ln -s "$tagged" "$root/proc/4242/fd/3"
expect 1 doctor --port "$tagged" -- "^FAIL $tagged: held by minicom \(pid 4242\); fix: close that program \(kill 4242\)$"
rm -r "$root/proc/4242"

# Who may open the node: not nobody without the group; a group joined after the login takes
# a new one, none at all the rule or the group.
chgrp dialout "$tagged" && chmod 0660 "$tagged"
runner="setpriv --reuid=nobody --regid=nogroup --clear-groups"
expect 1 doctor --port "$tagged" -- "^FAIL $tagged: this user may not read and write it \(owner root, group dialout, mode 0660; udev tags it uaccess\); fix: korvel7 udev-rule --port $tagged .* \(or, for a service account: sudo usermod -aG dialout \\\$USER, and a new login\)$"
echo "dialout:x:$(getent group dialout | cut -d: -f3):nobody" >"$root/etc/group"
expect 1 doctor --port "$tagged" -- "^FAIL $tagged: .*; this user joined group dialout after this login; .*; fix: log out and in again \(in this terminal alone: newgrp dialout\)$"
# An ACL entry of its own lets a user in (its system.posix_acl_access: version, then tag,
# permissions and id per entry; the mask keeps read and write).
touch "$scratch/acl" && chmod 0600 "$scratch/acl"
python3 -c 'import os, pwd, struct, sys
entry = lambda tag, perm, id=0xFFFFFFFF: struct.pack("<HHI", tag, perm, id)
os.setxattr(sys.argv[1], "system.posix_acl_access", struct.pack("<I", 2) + entry(1, 6) +
            entry(2, 6, pwd.getpwnam("nobody").pw_uid) + entry(4, 0) + entry(0x10, 6) + entry(0x20, 0))' "$scratch/acl"
expect 0 doctor --port "$scratch/acl" -- "^ok   $scratch/acl: this user may read and write it \(owner root, group root, mode 0660; an ACL lets this user in; "
runner=

# The hint: one line on standard error when ModemManager runs and the device is not marked
# (not in the log or the log file), none without ModemManager or on a marked device.
mkdir "$scratch/logs"
hint="2>^korvel7: $untagged: ModemManager is running and the device is not marked ID_MM_DEVICE_IGNORE, so it may probe the port and hold it; 'korvel7 doctor --port $untagged' says how to keep it off$"
modem_manager
expect 2 program --port "$untagged" --log-dir "$scratch/logs" -- '^KORVEL7 not found' "$hint" '!ModemManager'
grep -q ModemManager "$scratch"/logs/* && fail "the hint went into the log file"
exec {lock_tagged}<>"$tagged" {lock_untagged}<>"$untagged"  # busy: this shell locks both
flock -n "$lock_tagged" && flock -n "$lock_untagged"
expect 2 info --port "$tagged" --port "$untagged" -- "$hint" "2>!$tagged: ModemManager"
no_modem_manager
expect 2 verify --port "$untagged" -- '2>!ModemManager'

((failures == 0)) && echo "access: all checks passed"
exit $((failures > 0))
