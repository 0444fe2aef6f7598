#!/usr/bin/env bash
# Times every program on long simulated archives beside a yardstick of plain
# file I/O, alternately, and prints the tables kept in the README:
#   bash scripts/bench.sh [ROUNDS] [FULL_ROUNDS]     (default 7 and 3)
# Two archives with the 4561 products of every pair are written once into
# ${TALVA_BENCH_DIR:-/tmp/talva-bench} and kept there: 3000 dumps (117 MB),
# timed ROUNDS times per program, and a full 12-hour track of 1-second
# dumps, 43,200 dumps (1.7 GB), timed FULL_ROUNDS times (0: not at all) to
# show that time grows with the archive's length and memory does not.
# Each table row gives the median wall time, the program's peak resident
# memory, and the ratio to a plain read of the archive; for the converters,
# to a plain read plus a write of as many bytes as their outputs hold, both
# as it is and synced to the disk. The synced yardstick is the converters'
# fair one: every output is made durable (fsync) before it replaces anything.
# Needs `scripts/setup.sh --test` (Google Benchmark) for the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release >/dev/null
dir=${TALVA_BENCH_DIR:-/tmp/talva-bench}
rounds=${1:-7}
full=${2:-3}
mkdir -p "$dir"
# The full-length archive (1.7 GB) and its outputs need about 4 GB free.
if [ "$full" != 0 ] && [ ! -f "$dir/43200/bench.arc" ]; then
  free_kb=$(df -Pk "$dir" | awk 'NR == 2 { print $4 }')
  if [ "$free_kb" -lt 4000000 ]; then
    echo "Only $((free_kb / 1000)) MB free in $dir: the 43,200-dump archive is left out"
    full=0
  fi
fi
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(. /etc/os-release && echo "$PRETTY_NAME")"
build/release/bench/programs_vs_io build/release/bin "$dir" "$rounds" "$full"
