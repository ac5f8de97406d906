#!/bin/sh
# Builds the libFuzzer targets with clang and runs each one for FUZZ_SECONDS
# (default 60) on a scratch copy of its seed corpus. Exits non-zero when any
# target finds an input that crashes it or breaks one of its checks; the input
# is kept in FUZZ_ARTIFACTS (default: the build folder's fuzz-artifacts/).
#
#   tools/fuzz.sh                         every target, 60 s each
#   FUZZ_SECONDS=3600 tools/fuzz.sh fuzz_command_line
#   FUZZ_JOBS=2 FUZZ_SECONDS=600 tools/fuzz.sh   two fuzzing processes per target
#                                         (mind the machine's other users)
#
# FUZZ_FLAGS adds libFuzzer options (say "-use_value_profile=1 -max_len=16384").
# FUZZ_KEEP_CORPUS=DIR keeps the grown corpora in DIR/<target> (runs that
# start again from there go deeper); the repository's corpus is never written.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${FUZZ_BUILD:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
JOBS=${FUZZ_JOBS:-1}
ARTIFACTS=${FUZZ_ARTIFACTS:-$BUILD/fuzz-artifacts}
ALL="fuzz_settings fuzz_command_line fuzz_crash_protocol fuzz_proc_maps"
TARGETS=${*:-$ALL}

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DOVUPDATE_TESTS=ON >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" --target $TARGETS -j2

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/ovupdate-fuzz-XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$ARTIFACTS"

failed=""
for target in $TARGETS; do
  corpus=$SCRATCH/$target
  mkdir -p "$corpus"
  cp "$ROOT/tests/fuzz/corpus/$target/"* "$corpus/"
  if [ -n "${FUZZ_KEEP_CORPUS:-}" ] && [ -d "$FUZZ_KEEP_CORPUS/$target" ]; then
    cp "$FUZZ_KEEP_CORPUS/$target/"* "$corpus/" 2>/dev/null || true
  fi
  echo "== $target: ${SECONDS_EACH}s"
  # detect_leaks: a leak in a parser would grow a long-running service.
  parallel=""
  [ "$JOBS" -gt 1 ] && parallel="-fork=$JOBS"
  # shellcheck disable=SC2086
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$BUILD/tests/fuzz/$target" -max_total_time="$SECONDS_EACH" $parallel ${FUZZ_FLAGS:-} \
      -artifact_prefix="$ARTIFACTS/$target-" -print_final_stats=1 "$corpus" \
      >"$SCRATCH/$target.log" 2>&1; then
    tail -n 12 "$SCRATCH/$target.log"
  else
    tail -n 60 "$SCRATCH/$target.log"
    failed="$failed $target"
  fi
  if [ -n "${FUZZ_KEEP_CORPUS:-}" ]; then
    mkdir -p "$FUZZ_KEEP_CORPUS/$target"
    cp "$corpus/"* "$FUZZ_KEEP_CORPUS/$target/"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzzing found inputs that fail:$failed (kept in $ARTIFACTS)"
  echo "replay one: $BUILD/tests/fuzz/<target> <input>; keep it as tests/fuzz/corpus/<target>/<name>"
  exit 1
fi
echo "fuzzing: no findings"
