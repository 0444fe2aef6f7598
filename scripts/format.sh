#!/usr/bin/env bash
# The project's C++ layout (.clang-format, clang-format 14 of Debian 12):
#   scripts/format.sh          reformats every C++ file that git tracks
#   scripts/format.sh --check  changes nothing; lists the files that differ
#                              and fails (the test command runs this)
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
case "${1:-}" in
  "") clang-format -i "${files[@]}" ;;
  --check)
    bad=()
    for f in "${files[@]}"; do
      clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
    done
    if ((${#bad[@]})); then
      printf 'not formatted (run scripts/format.sh): %s\n' "${bad[@]}"
      exit 1
    fi
    echo "format: ${#files[@]} files as .clang-format lays them out" ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac
