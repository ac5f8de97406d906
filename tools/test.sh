#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
export BUILD_DIR

bash "$ROOT/tools/build.sh" "$@"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" --timeout 600
