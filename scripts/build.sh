#!/usr/bin/env bash
# Builds the suite, warnings as errors:
#   scripts/build.sh [programs|release|sanitize|optimized] [TARGET ...]
#   programs  -> build/release/bin: the programs and tools only (no tests,
#                benchmarks or fuzz targets; needs only `scripts/setup.sh`)
#   release   -> build/release: the programs, tests and benchmarks (-O2 -g;
#                needs `scripts/setup.sh --test`)
#   sanitize  -> build/sanitize (AddressSanitizer + UndefinedBehaviorSanitizer)
#   optimized -> build/optimized (CMake's Release configuration, -O3)
# "programs" and "release" share one build folder (same flags), so the test
# build reuses what the example built. Targets after the kind build just
# those (for example "programs": the programs and tools).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
shift || true
targets=()
(($#)) && targets=(--target "$@")
dir=build/$kind
case "$kind" in
  programs)  dir=build/release
             opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVA_TESTS=OFF -DTALVA_BENCH=OFF) ;;
  release)   opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVA_TESTS=ON -DTALVA_BENCH=ON) ;;
  sanitize)  opts=(-DCMAKE_BUILD_TYPE=Debug -DTALVA_SANITIZE=ON -DTALVA_TESTS=ON -DTALVA_BENCH=OFF) ;;
  optimized) opts=(-DCMAKE_BUILD_TYPE=Release -DTALVA_TESTS=ON -DTALVA_BENCH=ON) ;;
  *) echo "usage: $0 [programs|release|sanitize|optimized]" >&2; exit 2 ;;
esac
opts+=(-DTALVA_WERROR=ON)
cmake -S . -B "$dir" -G Ninja "${opts[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
