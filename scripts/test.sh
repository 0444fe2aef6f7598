#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: in the
# normal build and under AddressSanitizer + UndefinedBehaviorSanitizer; and
# builds CMake's Release configuration (-O3), warnings as errors, as users
# and packagers build it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test
status=0
for kind in release sanitize; do
  echo "== build ($kind)"
  bash scripts/build.sh "$kind"
  echo "== tests ($kind)"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd "build/$kind" && ctest --output-on-failure -j "$(nproc)") || status=1
done
echo "== build (optimized: CMake Release, -O3)"
bash scripts/build.sh optimized || status=1
echo "== fuzz (short run of every target)"
bash scripts/fuzz.sh || status=1
exit $status
