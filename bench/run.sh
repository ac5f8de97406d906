#!/usr/bin/env bash
# The update service's benchmarks. Prints each figure with its target and
# PASS or MISS; asserts nothing (the exit code is 0 even on a MISS, nonzero
# only when a benchmark could not run).
#   1. remote StartService of /bin/true against spawning /bin/true directly
#   2. ovupdate -n start to its binding visible in the naming service
#   3. SIGINT to process exit
#   4. idle resident memory and CPU
#   5. minidump writer against gcore (when minidump_bench was built)
# Usage: bench/run.sh   (BUILD_DIR, default ./build, is built first when a
# program is missing). As root it runs in network and host-name namespaces of
# its own, so its servers meet nothing else on the machine; everything listens
# on 127.0.0.1 only.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/naming.sh
source "$ROOT/tools/naming.sh"
BUILD_DIR=$(realpath -m "${BUILD_DIR:-$ROOT/build}")
export BUILD_DIR
OVUPDATE=$BUILD_DIR/host/ovupdate
STARTSERVICE_BENCH=$BUILD_DIR/bench/startservice_bench
LIFECYCLE_BENCH=$BUILD_DIR/bench/lifecycle_bench
MINIDUMP_BENCH=$BUILD_DIR/crash/minidump/minidump_bench
RUNS=${BENCH_RUNS:-20}
CALLS=${BENCH_CALLS:-500}
IDLE_SECONDS=${BENCH_IDLE_SECONDS:-5}

if [[ -z ${OVUPDATE_BENCH_INSIDE:-} ]]; then
  for program in "$OVUPDATE" "$STARTSERVICE_BENCH" "$LIFECYCLE_BENCH"; do
    if [[ ! -x $program ]]; then
      bash "$ROOT/tools/build.sh"
      break
    fi
  done
  if [[ $(id -u) -eq 0 ]] && unshare --net --uts true 2>/dev/null; then
    OVUPDATE_BENCH_INSIDE=1 exec unshare --net --uts bash "$0" "$@"
  fi
  echo "bench: not root: running in the machine's own network and host name" >&2
  OVUPDATE_BENCH_INSIDE=shared
fi
if [[ $OVUPDATE_BENCH_INSIDE == 1 ]]; then
  ip link set lo up
  hostname bench-node
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ovupdate-bench.XXXXXX")
naming_pid=""
service_pid=""
# Waits at most $2 seconds for the script's child $1, then kills it; returns
# its exit code. A read with a time limit on a FIFO is the timer; until our
# wait returns, the child is not reaped, so its PID is still its own.
wait_bounded() {
  local pid=$1 seconds=$2 status=0 fifo timer poke
  fifo=$(mktemp -u "$WORK/timer.XXXXXX")
  mkfifo "$fifo"
  (read -r -t "$seconds" <>"$fifo" || kill -KILL "$pid" 2>/dev/null) &
  timer=$!
  wait "$pid" || status=$?
  # Held open until the timer has read the line, even if it opened the FIFO late.
  exec {poke}<>"$fifo"
  echo done >&"$poke"
  wait "$timer" 2>/dev/null || true
  exec {poke}>&-
  rm -f "$fifo"
  return "$status"
}

stop_all() {
  # Subshells inherit this trap; only the script itself owns what it started.
  [[ $BASHPID == "$$" ]] || return 0
  for pid in $service_pid $naming_pid; do
    kill -TERM "$pid" 2>/dev/null || true
    wait_bounded "$pid" 10 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# A port that is free on 127.0.0.1 now.
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
NAMING=127.0.0.1:$PORT

if ! start_naming_service "$PORT" "$WORK/omninames" /dev/null; then
  echo "bench: omniNames did not come up on $NAMING" >&2
  exit 1
fi

# A data folder whose settings point at the naming service.
data_folder() {
  local home=$1
  write_settings "$home/config" "$PORT" 0
  mkdir -p "$home/tmp"
}

RESULTS=$WORK/results
failed=""
: >"$RESULTS"
echo "== figure 1: StartService round trip ($CALLS calls) =="
data_folder "$WORK/figure1"
XDG_CONFIG_HOME=$WORK/figure1/config TMPDIR=$WORK/figure1/tmp/ ORBendPoint=giop:tcp:127.0.0.1: \
  "$OVUPDATE" -n 2>"$WORK/figure1/stderr" &
service_pid=$!
"$STARTSERVICE_BENCH" --naming "$NAMING" --computer "$(hostname)" --count "$CALLS" | tee -a "$RESULTS" ||
  failed="$failed 1"
kill -INT "$service_pid"
wait_bounded "$service_pid" 10 || echo "bench: ovupdate ended with exit code $?" >&2
service_pid=""

echo
echo "== figures 2-4: start, stop and idle of ovupdate -n ($RUNS runs, ${IDLE_SECONDS} s idle) =="
mkdir -p "$WORK/lifecycle"
"$LIFECYCLE_BENCH" --naming "$NAMING" --ovupdate "$OVUPDATE" --workdir "$WORK/lifecycle" \
  --runs "$RUNS" --idle-seconds "$IDLE_SECONDS" | tee -a "$RESULTS" || failed="$failed 2-4"

echo
if [[ -x $MINIDUMP_BENCH ]]; then
  echo "== figure 5: minidump writer =="
  mkdir -p "$WORK/minidump"
  TMPDIR=$WORK/minidump "$MINIDUMP_BENCH" | tee "$WORK/minidump.out" || failed="$failed 5"
  # Its own verdict line names its targets.
  summary=$(grep -m1 '^minidump is' "$WORK/minidump.out" || echo "no comparison printed (see above)")
  echo "figure 5: $summary" >>"$RESULTS"
else
  echo "figure 5: not run: $MINIDUMP_BENCH was not built" | tee -a "$RESULTS"
fi

echo
echo "== summary =="
grep '^figure' "$RESULTS"
if [[ -n $failed ]]; then
  echo "bench: could not complete figure(s)$failed (see above)" >&2
  exit 1
fi
