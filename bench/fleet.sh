#!/usr/bin/env bash
# A simulated fleet: FLEET_SIZE (200) instances of `ovupdate -n`, each in a
# host-name namespace of its own with the host name fleet-NNN, its own data
# folder and temporary folder, all registering with one omniNames on
# 127.0.0.1. Prints the time until all are bound (target: 10 s), checks that
# `launcherctl list` shows them all and that one StartService call to each
# succeeds, prints the naming service's memory, then stops every instance by
# its PID and waits for it.
#
# The whole fleet runs in a network namespace of its own. The crash server's
# endpoint is an abstract socket, one per network namespace, so only the first
# instance gets it: the others print "Unable to start crash server" to their
# standard error and run on without it, as the service does on any machine
# where the endpoint is taken. That is expected here and harmless.
#
# Usage (as root): bench/fleet.sh   (BUILD_DIR, default ./build; FLEET_SIZE)
# Exit code 0 when every instance was listed, answered and stopped cleanly,
# whatever the time; 1 otherwise, 2 when not run as root.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/naming.sh
source "$ROOT/tools/naming.sh"
BUILD_DIR=$(realpath -m "${BUILD_DIR:-$ROOT/build}")
export BUILD_DIR
OVUPDATE=$BUILD_DIR/host/ovupdate
LAUNCHERCTL=$BUILD_DIR/tools/launcherctl
NAMING_WATCH=$BUILD_DIR/bench/naming_watch
UTS_EXEC=$BUILD_DIR/bench/uts_exec
SIZE=${FLEET_SIZE:-200}
BIND_TARGET_MS=10000
STOP_BOUND_SECONDS=60

if [[ -z ${OVUPDATE_FLEET_INSIDE:-} ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "fleet: needs root (host-name and network namespaces)" >&2
    exit 2
  fi
  for program in "$OVUPDATE" "$LAUNCHERCTL" "$NAMING_WATCH" "$UTS_EXEC"; do
    if [[ ! -x $program ]]; then
      bash "$ROOT/tools/build.sh"
      break
    fi
  done
  OVUPDATE_FLEET_INSIDE=1 exec unshare --net bash "$0" "$@"
fi
ip link set lo up

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ovupdate-fleet.XXXXXX")
naming_pid=""
pids=()
declare -A reaped=()
stop_all() {
  # Subshells inherit this trap; only the script itself owns what it started.
  [[ $BASHPID == "$$" ]] || return 0
  for pid in "${pids[@]}"; do
    if [[ -z ${reaped[$pid]:-} ]]; then
      kill -KILL "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  if [[ -n $naming_pid ]]; then
    kill -TERM "$naming_pid" 2>/dev/null || true
    wait "$naming_pid" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

now_ms() { echo $(($(date +%s%N) / 1000000)); }

PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
NAMING=127.0.0.1:$PORT
if ! start_naming_service "$PORT" "$WORK/omninames" /dev/null; then
  echo "fleet: omniNames did not come up on $NAMING" >&2
  exit 1
fi
echo "omniNames on $NAMING (pid $naming_pid), VmRSS before the fleet: $(awk '/^VmRSS/ {print $2, $3}' /proc/$naming_pid/status)"

# Data folders first, so the timed part is the start-up alone.
names=()
for ((i = 1; i <= SIZE; i++)); do
  printf -v name 'fleet-%03d' "$i"
  names+=("$name")
  home=$WORK/$name
  write_settings "$home/config" "$PORT"
  mkdir -p "$home/tmp"
done

echo "Starting $SIZE instances of ovupdate -n ..."
since=$(date +%s%N)
for name in "${names[@]}"; do
  home=$WORK/$name
  # uts_exec is `unshare --uts sh -c 'hostname NAME; exec ovupdate -n'` in one
  # small image (the loop's own cost is part of the figure); it execs, so $! is
  # the service's own PID.
  XDG_CONFIG_HOME=$home/config TMPDIR=$home/tmp/ ORBendPoint=giop:tcp:127.0.0.1: \
    "$UTS_EXEC" "$name" "$OVUPDATE" -n </dev/null >/dev/null 2>"$home/stderr" &
  pids+=($!)
done
started_ms=$((($(date +%s%N) - since) / 1000000))

watch_status=0
read -r bound bound_ms < <("$NAMING_WATCH" --naming "$NAMING" --count "$SIZE" --since "$since" \
  --timeout-seconds 60 || echo "0 -1") || true
[[ $bound -ge $SIZE ]] || watch_status=1
echo "Started all $SIZE processes in $started_ms ms; $bound bound after $bound_ms ms."

listed=$("$LAUNCHERCTL" --naming "$NAMING" list | grep -c '^fleet-' || true)
echo "launcherctl list shows $listed of $SIZE launchers."

calls_ok=0
call_start=$(now_ms)
for name in "${names[@]}"; do
  if "$LAUNCHERCTL" --naming "$NAMING" start "$name" server svc /bin/true; then
    calls_ok=$((calls_ok + 1))
  else
    echo "fleet: StartService on $name failed" >&2
  fi
done
echo "StartService succeeded on $calls_ok of $SIZE launchers ($(($(now_ms) - call_start)) ms, one launcherctl each)."

naming_rss=$(awk '/^VmRSS/ {print $2}' /proc/$naming_pid/status)
fleet_rss=0
for pid in "${pids[@]}"; do
  rss=$(awk '/^VmRSS/ {print $2}' /proc/$pid/status 2>/dev/null || echo 0)
  fleet_rss=$((fleet_rss + ${rss:-0}))
done
echo "omniNames VmRSS with the fleet bound: $naming_rss kB; the instances' VmRSS summed: $((fleet_rss / 1024)) MB" \
  "(shared library pages counted once per instance)."

# Stop: SIGINT to each by its PID; a watchdog interrupts the waits after a bound.
stop_start=$(now_ms)
for pid in "${pids[@]}"; do kill -INT "$pid"; done
timed_out=""
trap 'timed_out=yes' USR1
mkfifo "$WORK/watchdog"
# A read with a time limit on a FIFO is a timer that needs no further process.
(read -r -t "$STOP_BOUND_SECONDS" <>"$WORK/watchdog" || kill -USR1 $$ 2>/dev/null) &
watchdog=$!
failed_exits=0
stopped=0
for pid in "${pids[@]}"; do
  [[ -z $timed_out ]] || break
  status=0
  wait "$pid" || status=$?
  [[ -z $timed_out ]] || break  # the wait was cut short, not ended by the child
  reaped[$pid]=1
  stopped=$((stopped + 1))
  [[ $status -eq 0 ]] || failed_exits=$((failed_exits + 1))
done
# Ends the watchdog's read, so it exits without a signal. Opened read-write:
# that never blocks, even when the watchdog has gone already; held open until
# the watchdog has ended, so the line waits for it if it has not opened the FIFO yet.
exec {poke}<>"$WORK/watchdog"
echo done >&"$poke"
wait "$watchdog" 2>/dev/null || true
exec {poke}>&-
echo "Stopped $stopped of $SIZE instances in $(($(now_ms) - stop_start)) ms; $failed_exits ended with a nonzero exit code."

no_crash_server=$(grep -l "Unable to start crash server" "$WORK"/fleet-*/stderr 2>/dev/null | wc -l)
echo "$no_crash_server instances printed \"Unable to start crash server\" (one crash endpoint per network namespace: expected)."

verdict=PASS
[[ $watch_status -eq 0 && $bound_ms -ge 0 && $bound_ms -lt $BIND_TARGET_MS ]] || verdict=MISS
echo "fleet: $bound of $SIZE bound in $bound_ms ms, target < $BIND_TARGET_MS ms: $verdict"
ok=PASS
[[ $listed -eq $SIZE && $calls_ok -eq $SIZE && $stopped -eq $SIZE && $failed_exits -eq 0 ]] || ok=MISS
echo "fleet: listed $listed/$SIZE, calls answered true $calls_ok/$SIZE," \
  "stopped with exit code 0 $((stopped - failed_exits))/$SIZE: $ok"
echo "fleet: omniNames VmRSS $((naming_rss / 1024)).$(((naming_rss % 1024) * 10 / 1024)) MB"
[[ $ok == PASS ]]
