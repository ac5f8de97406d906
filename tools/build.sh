#!/usr/bin/env bash
# Installs what the project needs and builds it into BUILD_DIR (default ./build).
# Extra arguments go to CMake's configure step (e.g. -DOVUPDATE_SANITIZE=thread).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

bash "$ROOT/tools/setup.sh"
cmake -S "$ROOT" -B "$BUILD_DIR" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
