#!/usr/bin/env bash
# The reason korvel7 gives on standard error when a port does not open, beside the log's
# unchanged "PORT not found or busy": a missing device, one that is no serial port, one
# that another korvel7 holds, one that another program made exclusive, and one this user
# may not open (as root the test runs korvel7 as nobody; otherwise it takes the permissions
# off its own terminal).
# Usage: port_reason_test.sh KORVEL7 KORVEL7_SIM
set -euo pipefail
korvel7=$1 sim_program=$2
scratch=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Runs `[RUNNER...] korvel7 version --port PORT`: exit status 2, the log line as ever, and
# on standard error (past the placeholder warning) one reason line matching PATTERN.
expect_reason() {
  local port=$1 pattern=$2 status=0
  shift 2
  "$@" "$korvel7" version --port "$port" >"$scratch/out" 2>"$scratch/err" || status=$?
  local reason
  reason=$(grep -v '^korvel7: WARNING: ' "$scratch/err" || true)
  [[ $status == 2 ]] || fail "$port: exit status $status"
  [[ $(<"$scratch/out") == "$port not found or busy"$'\r' ]] || fail "$port: log $(<"$scratch/out")"
  [[ $reason =~ ^korvel7:\ $pattern$ ]] || fail "$port: reason '$reason' does not match '$pattern'"
}

# Starts a simulator with the given options; its terminal's path goes to $pts.
start_sim() {
  "$sim_program" "$@" >"$scratch/sim.out" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [[ -s $scratch/sim.out ]] && break; sleep 0.05; done
  pts=$(head -n 1 "$scratch/sim.out")
}

expect_reason /dev/korvel7-missing \
  "/dev/korvel7-missing: no such device \(.*\); 'korvel7 ports' lists this machine's serial ports"
expect_reason /dev/null "/dev/null: refused the line settings, 115200 baud 8N1 \(.*\); is it a serial port\?"

# Another korvel7 holds the port: it listens 3 s for a receiver that stays silent.
start_sim --silent
"$korvel7" program --no-progress --port "$pts" >"$scratch/holder.out" 2>/dev/null &
holder=$!
pids+=($holder)
for _ in $(seq 100); do grep -qs Opened "$scratch/holder.out" && break; sleep 0.05; done
expect_reason "$pts" "$pts: busy \(.*\); held by korvel7 \(pid $holder\): close that program first"
kill $holder
wait $holder || true  # it stops its job and closes the port first

# Another program made the terminal exclusive, without a lock. Root gets through that, so
# korvel7 asks for the flag, refuses the port as busy, names that program (not the simulator
# at the line's far end) and leaves the flag set; the holder checks it before it lets go
# (TIOCGEXCL is 0x80045440).
python3 - "$pts" "$scratch/exclusive" <<'EOF' &
import fcntl, os, struct, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.ioctl(fd, termios.TIOCEXCL)
open(sys.argv[2], "w").close()
while os.path.exists(sys.argv[2]):
    time.sleep(0.05)
sys.exit(struct.unpack("i", fcntl.ioctl(fd, 0x80045440, bytes(4)))[0] != 1)
EOF
holder=$!
pids+=($holder)
for _ in $(seq 100); do [[ -e $scratch/exclusive ]] && break; sleep 0.05; done
expect_reason "$pts" "$pts: busy \(.*\); held by python3 \(pid $holder\): close that program first"
rm "$scratch/exclusive"
wait $holder || fail "$pts: the exclusive flag of the program that set it was cleared"

if (($(id -u) == 0)); then
  group=dialout
  getent group dialout >/dev/null || group=tty
  chgrp $group "$pts" && chmod 0660 "$pts"
  expect_reason "$pts" "$pts: permission denied \(.*\); the device belongs to group '$group', which may read and write it: add your user to that group \(sudo usermod -aG $group \\\$USER\) and log in again" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups
else
  chmod 0000 "$pts"
  expect_reason "$pts" "$pts: permission denied \(.*\); its mode 0000 \(owner $(id -un), group .*\) does not let this user read and write it"
fi

((failures == 0)) && echo "port reasons: all checks passed"
exit $((failures > 0))
