#!/usr/bin/env bash
# The main job on a built-in example: installs what is missing, builds the
# release tree, simulates a small archive into ./example/ and lists its
# decoded dump headers (verbose mode) with a summary line per dump.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
bin=build/release/bin
mkdir -p example
"$bin/talvasim" archive=example/example.dat layout=example/corr_layout.file \
  ndumps=5 date=2006,3,5 time=13,7,9 dt=10 ra=5.5 dec=-30 ha=-0.5 mdtilt=12 \
  noise=0.05 seed=1 gainsout=example/true.gains talvatags=4
"$bin/archinfo" archive=example/example.dat
