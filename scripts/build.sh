#!/usr/bin/env bash
# Builds the suite: scripts/build.sh [release|sanitize]
#   release   -> build/release (programs, tests, benchmarks)
#   sanitize  -> build/sanitize (AddressSanitizer + UndefinedBehaviorSanitizer)
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
case "$kind" in
  release)  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  sanitize) opts=(-DCMAKE_BUILD_TYPE=Debug -DTALVA_SANITIZE=ON -DTALVA_BENCH=OFF) ;;
  *) echo "usage: $0 [release|sanitize]" >&2; exit 2 ;;
esac
cmake -S . -B "build/$kind" -G Ninja "${opts[@]}" >/dev/null
cmake --build "build/$kind" -j "$(nproc)"
