#!/usr/bin/env bash
# tools/sanitize.sh asan|tsan
# Builds the tree with a sanitizer into its own folder and runs the tests there:
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer (+ LeakSanitizer), every test
#   tsan  ThreadSanitizer, the threaded parts only (labels host, corba, crash)
# Every sanitized process, the programs the tests start included, stops at its
# first finding and writes ASan/LSan/TSan reports into BUILD_DIR/sanitizer-reports;
# any report there, or a UBSan report anywhere in the tests' output, fails the
# run even when the process that wrote it had its exit code ignored.
# As root the tests run in a private network namespace (own loopback, own
# abstract socket names), so another run on the same machine cannot interfere.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SUPP=$ROOT/tools/sanitizers

case "${1:-}" in
  asan) SANITIZE=address,undefined; BUILD_DIR=${BUILD_DIR:-$ROOT/build-asan}; LABELS="" ;;
  tsan) SANITIZE=thread; BUILD_DIR=${BUILD_DIR:-$ROOT/build-tsan}; LABELS='^(host|corba|crash)$' ;;
  *) echo "usage: $0 asan|tsan" >&2; exit 2 ;;
esac
REPORTS=$BUILD_DIR/sanitizer-reports

cmake -S "$ROOT" -B "$BUILD_DIR" -DOVUPDATE_SANITIZE="$SANITIZE" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"

rm -rf "$REPORTS"
mkdir -p "$REPORTS"
# ASan, LSan and TSan reports go to files (log_path + ".<pid>"), so a child's finding is never lost
# in output that a test swallows.
common="halt_on_error=1:print_stacktrace=1"
if [ "$1" = asan ]; then
  export ASAN_OPTIONS="$common:log_path=$REPORTS/asan:detect_leaks=1:check_initialization_order=1:suppressions=$SUPP/asan.supp"
  export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="$common:suppressions=$SUPP/ubsan.supp"
else
  export TSAN_OPTIONS="$common:log_path=$REPORTS/tsan:second_deadlock_stack=1:suppressions=$SUPP/tsan.supp"
fi

status=0
ctest_args=(--test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" --output-log "$REPORTS/ctest.log")
[ -n "$LABELS" ] && ctest_args+=(-L "$LABELS")
# ThreadSanitizer's runtime cannot join the main thread (an internal CHECK
# fails on its unknown thread id), which is what this case's child does.
[ "$1" = tsan ] && ctest_args+=(-E '^MinidumpWriterTest\.ProcessWhoseMainThreadEndedIsDumpedThroughAnother$')
start=$(date +%s)
# The crash server's name lives in the abstract socket namespace, one per
# network namespace: a private one (as root) keeps any other run on this
# machine from answering our clients or holding the name.
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  unshare --net sh -c 'ip link set lo up && exec "$@"' sh ctest "${ctest_args[@]}" || status=$?
else
  ctest "${ctest_args[@]}" || status=$?
fi
echo "sanitize.sh $1: tests took $(( $(date +%s) - start )) s"

# UndefinedBehaviorSanitizer beside AddressSanitizer ignores log_path and
# writes to standard error: look for its reports in everything the tests printed.
if grep -n -E 'runtime error: |ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer' "$REPORTS/ctest.log" \
     > "$REPORTS/ctest-findings.txt"; then
  echo "sanitize.sh $1: sanitizer reports in the test output:" >&2
  cat "$REPORTS/ctest-findings.txt" >&2
  [ "$status" -eq 0 ] && status=1
else
  rm -f "$REPORTS/ctest-findings.txt"
fi

shopt -s nullglob
reports=("$REPORTS"/asan.* "$REPORTS"/tsan.*)
if [ ${#reports[@]} -gt 0 ]; then
  for r in "${reports[@]}"; do
    echo "==== $r"
    cat "$r"
  done
  echo "sanitize.sh $1: ${#reports[@]} sanitizer report(s) in $REPORTS" >&2
  [ "$status" -eq 0 ] && status=1
fi
exit "$status"
