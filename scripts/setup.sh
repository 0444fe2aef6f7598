#!/usr/bin/env bash
# Installs the Debian packages that are missing:
#   scripts/setup.sh          what the programs need to build and run
#   scripts/setup.sh --test   that, and what the tests, benchmarks and fuzz
#                             targets need as well
# Safe to run again: it installs only what is missing. Recommended packages
# are left out (--no-install-recommends): nothing here needs them.
set -euo pipefail

# The programs: compiler and build tools, then the libraries they link.
# A package that a program or the example needs goes here (the example then
# installs it); one that only the tests, benchmarks or fuzz targets need goes
# into test_packages.
program_packages=(
  g++ cmake ninja-build pkg-config   # toolchain
  giza-dev                           # PGPLOT API (plots; brings libcpgplot0)
  libstarlink-pal-dev                # SLALIB routines (PAL)
  casacore-dev                       # MeasurementSet output (msfile=); MIRIAD's mirlib for the tests
  libcfitsio-dev wsclean             # sky images: FITS reading, imaging in the example
  libcpp-httplib-dev nlohmann-json3-dev  # talvawatch: its HTTP server and the page's JSON
)

# The tests, benchmarks and fuzz targets, on top of the programs' packages.
test_packages=(
  libgtest-dev googletest libbenchmark-dev   # tests and benchmarks
  clang libclang-rt-14-dev                   # fuzz targets
  clang-format                               # the layout check (scripts/format.sh --check)
  chromium fonts-dejavu-core                 # talvawatch's browser test (headless, driven by puppeteer-core)
)

packages=("${program_packages[@]}")
case "${1:-}" in
  "") ;;
  --test) packages+=("${test_packages[@]}") ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# npm fetches the page's plotting library (and, for the tests, the browser
# driver) at set-up; a machine with its own Node.js keeps it.
if ! command -v npm >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends nodejs npm
fi
bash "$(dirname "$0")/vendor.sh" ${1:-}
