#!/usr/bin/env bash
# Installs every Debian package the update service needs to build, run and test.
# Idempotent: packages already present are left alone; runs as root or through sudo.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libomniorb4-dev omniidl omniorb-nameserver omniorb
  libace-dev
  libboost-thread-dev libboost-date-time-dev libboost-filesystem-dev libboost-system-dev
  libpugixml-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  lldb gdb clang libclang-rt-14-dev
  util-linux procps iproute2 python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
