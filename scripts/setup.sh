#!/usr/bin/env bash
# Installs the Debian packages the suite needs to build, test and run.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config   # toolchain
  libgtest-dev googletest libbenchmark-dev       # tests and benchmarks
  giza-dev libcpgplot0                           # PGPLOT API (plots)
  libstarlink-pal-dev                            # SLALIB routines (PAL)
  casacore-dev                                   # MeasurementSet output (msfile=)
  libcfitsio-dev wsclean                         # sky images: FITS reading, imaging in the example and tests
  clang libclang-rt-14-dev                       # fuzzing targets
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi
