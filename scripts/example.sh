#!/usr/bin/env bash
# The main job on a built-in example: installs what the programs need (no
# test tools), builds the programs only (build/release/bin), then in ./example/
#   1. simulates a calibrator archive (strong point source near transit,
#      seeded antenna gains, a little noise) and a target archive seen through
#      the same gains: a 12-hour track from hour angle -6 h to +6 h of two
#      point sources, 2.5 at the phase centre and 1.0 20' east and 15' north,
#   2. solves the antenna gains from the calibrator with gainsolve,
#   3. converts the target with talva2vis3, applying those gains, into a uv
#      dataset and a MeasurementSet,
#   4. prints a short summary of the uv dataset and writes the (u, v) plot
#      as example/target-uv.png,
#   5. images the MeasurementSet with WSClean and prints the peaks' positions
#      and fluxes; the picture is example/target-sky.png,
#   6. prints the line that puts the programs on the PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh programs
bin=$PWD/build/release/bin
rm -rf example
mkdir -p example
cd example

echo "== simulate a calibrator and a target archive"
# The hour angles follow from the times (the site's sidereal time): the
# calibrator (RA 23h09m) at 02:10 UT, 11 minutes before its transit; the
# target (RA 5h30m) from 02:41:42 UT, hour angle -6.0 h, to 14:39:42 UT, +6.0 h.
"$bin/talvasim" archive=calibrator.arc layout=corr_layout.file ndumps=60 \
  flux=10 noise=0.2 seed=7 gainsout=true.gains \
  date=2006,3,5 time=2,10,0 ra=23.15 dec=-30 mdtilt=3 >/dev/null
"$bin/talvasim" archive=target.arc layout=corr_layout.file ndumps=360 \
  gains=true.gains sources=0,0,2.5,20,15,1.0 noise=0.05 seed=8 dt=120 \
  date=2006,3,5 time=2,41,42 ra=5.5 dec=-30 mdtilt=3 >/dev/null

echo "== solve the antenna gains (gainsolve)"
"$bin/gainsolve" infile=calibrator.arc corlfile=corr_layout.file gnsfile=cal.gains \
  refant=1 calflx=10 > gainsolve.out
tail -n 3 gainsolve.out

echo "== convert the target (talva2vis3)"
"$bin/talva2vis3" infile=target.arc corlfile=corr_layout.file gnsfile=cal.gains \
  uvfile=target.uv msfile=target.ms ra=5.5 dec=-30 unitx=17.68 cgap=15.24 \
  device=target-uv.png/png > talva2vis3.out
tail -n 3 talva2vis3.out

echo "== the dataset"
"$bin/talvalist" vis=target.uv summary=true
echo "(u, v) plot: example/target-uv.png"

echo "== image the MeasurementSet (WSClean, 256 x 256 pixels of 15\")"
wsclean -quiet -name target -size 256 256 -scale 15asec -niter 2000 -mgain 0.8 \
  -auto-threshold 3 -no-dirty target.ms > wsclean.out
"$bin/skyimage" in=target-image.fits npeaks=2 device=target-sky.png/png box=30
echo "sky image: example/target-sky.png (true positions: 0', 0' and 20' east, 15' north)"

echo "== to run the programs by name (as the README does), put them on the PATH:"
echo "export PATH=\"$bin:\$PATH\""
