#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build/fuzz and runs each for a
# short time on its committed seed corpus (fuzz/corpus/<target>/).
#   scripts/fuzz.sh [target ...]        (default: every target)
#   FUZZ_SECONDS=N  seconds per target (default 20, at most 60)
# The mutation seed is fixed (-seed=1), so a run explores the same inputs
# in the same order every time: CI repeats what was run here.
# New inputs go to build/fuzz/corpus/<target>/; a crash, a sanitizer report,
# a leak or a hang (10 s per input) leaves its input in build/fuzz/artifacts/
# and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
if ((seconds > 60)); then seconds=60; fi
all=(fuzz_archive fuzz_layout fuzz_rejects fuzz_gains fuzz_phasecal fuzz_mdtable fuzz_keys fuzz_uvread fuzz_options fuzz_convert fuzz_dumpscope)
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")

san="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
  -DTALVA_FUZZ=ON -DTALVA_BENCH=OFF -DTALVA_WERROR=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]}"

mkdir -p build/fuzz/artifacts
failed=()
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t"
  max_len=4096
  case "$t" in fuzz_archive | fuzz_convert | fuzz_dumpscope) max_len=20000 ;; esac
  echo "== $t ($seconds s)"
  if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "build/fuzz/bin/$t" \
      -seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
      -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$t-" \
      "build/fuzz/corpus/$t" "fuzz/corpus/$t" 2>"build/fuzz/$t.log"; then
    tail -n 60 "build/fuzz/$t.log"
    failed+=("$t")
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "build/fuzz/$t.log" | tr '\n' ' ' || true
    echo
  fi
done
if ((${#failed[@]})); then
  echo "fuzz: failures in ${failed[*]} (inputs in build/fuzz/artifacts/)"
  exit 1
fi
echo "fuzz: no failures"
