#!/usr/bin/env bash
# Installs what is missing, checks the C++ layout (scripts/format.sh), then
# builds and runs every test twice: in the
# normal build and under AddressSanitizer + UndefinedBehaviorSanitizer;
# builds the programs in CMake's Release configuration (-O3), warnings as
# errors, as users and packagers build them; and runs every fuzz target for
# a short while (10 s each here; scripts/fuzz.sh alone runs them longer).
# Prints the time of each step and the total.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
step=$SECONDS
took() {
  echo "== ($1: $((SECONDS - step)) s)"
  step=$SECONDS
}
bash scripts/setup.sh --test
took setup
status=0
echo "== format"
bash scripts/format.sh --check || status=1
took format
for kind in release sanitize; do
  echo "== build ($kind)"
  bash scripts/build.sh "$kind"
  took "build $kind"
  echo "== tests ($kind)"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd "build/$kind" && ctest --output-on-failure -j "$(nproc)") || status=1
  took "tests $kind"
done
echo "== build (optimized: CMake Release, -O3; the programs)"
bash scripts/build.sh optimized programs || status=1
took "build optimized"
echo "== fuzz (short run of every target)"
FUZZ_SECONDS=${FUZZ_SECONDS:-10} bash scripts/fuzz.sh || status=1
took fuzz
echo "== test command: $((SECONDS - start)) s in all, status $status"
exit $status
