#!/usr/bin/env bash
# Builds the suite, warnings as errors: scripts/build.sh [release|sanitize|optimized]
#   release   -> build/release (programs, tests, benchmarks; -O2 -g)
#   sanitize  -> build/sanitize (AddressSanitizer + UndefinedBehaviorSanitizer)
#   optimized -> build/optimized (CMake's Release configuration, -O3)
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
case "$kind" in
  release)   opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  sanitize)  opts=(-DCMAKE_BUILD_TYPE=Debug -DTALVA_SANITIZE=ON -DTALVA_BENCH=OFF) ;;
  optimized) opts=(-DCMAKE_BUILD_TYPE=Release) ;;
  *) echo "usage: $0 [release|sanitize|optimized]" >&2; exit 2 ;;
esac
opts+=(-DTALVA_WERROR=ON)
cmake -S . -B "build/$kind" -G Ninja "${opts[@]}" >/dev/null
cmake --build "build/$kind" -j "$(nproc)"
