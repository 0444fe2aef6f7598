#!/usr/bin/env bash
# Times every program on a long simulated archive beside a yardstick of plain
# file I/O, alternately, and prints the table kept in the README:
#   bash scripts/bench.sh [ROUNDS]        (default 7)
# The archive (117 MB) is written once into ${TALVA_BENCH_DIR:-/tmp/talva-bench}.
# Needs `scripts/setup.sh --test` (Google Benchmark) for the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release >/dev/null
dir=${TALVA_BENCH_DIR:-/tmp/talva-bench}
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(. /etc/os-release && echo "$PRETTY_NAME")"
build/release/bench/programs_vs_io build/release/bin "$dir" "${1:-7}"
