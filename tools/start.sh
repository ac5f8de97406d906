#!/usr/bin/env bash
# Sets everything up, builds, and runs the update service in a console against
# a local naming service on 127.0.0.1:1755 (Ctrl+C stops both).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
export BUILD_DIR

bash "$ROOT/tools/build.sh"
exec bash "$ROOT/tools/quickstart.sh" "$BUILD_DIR"
