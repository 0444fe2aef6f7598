#!/usr/bin/env bash
# The 12-hour drifting-gain scene: a calibrator at the start, then a target
# track (hour angle -6 h to +6 h, two sources) whose gains drift 20 degrees
# rms in phase and 10 % in amplitude, antenna 17 dead and antenna 60 noisy.
# Images the target with WSClean three ways and prints the dynamic range
# (peak / rms off the sources) of each:
#   (1) the true gains of every dump (talvasim truegains=, applied as a table)
#   (2) the calibrator's static gains (gainsolve, point model)
#   (3) per-interval redundant self-calibration of the target referenced to
#       the calibrator (gainsolve model=redundant interval=30 refgains=)
#   (4) the true gains with the quantities redundancy leaves free (amplitude,
#       phase, phase slope, each arm's phase) set to the calibrator's: the
#       best any solution referenced to the calibrator can do
#   bash bench/gaincal_scene.sh [DIR] [INTERVAL_MINUTES]
# Needs the release build (scripts/build.sh) and wsclean (scripts/setup.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release/bin
dir=${1:-/tmp/talva-gaincal}
interval=${2:-30}
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"
common=(seed=7 gaindrift=20,0.1 badants=dead,17,noisy,60 ra=5.5 dec=-30 date=2006,3,5)
# the calibrator: 60 dumps of 10 s just before the track; the same seed gives
# the same antennas and drift, counted from each archive's first dump
"$bin/talvasim" archive=cal.arc layout=corr_layout.file ndumps=60 dt=10 flux=10 noise=0.2 \
  time=11,50,0 mdtilt=3 "${common[@]}" >/dev/null
"$bin/talvasim" archive=target.arc layout=corr_layout.file ndumps=360 dt=120 \
  sources=0,0,2.5,20,15,1.0 noise=0.05 time=12,0,0 mdtilt=3 truegains=true.table "${common[@]}" >/dev/null

"$bin/gainsolve" infile=cal.arc corlfile=corr_layout.file gnsfile=cal.gains calflx=10 > gainsolve-cal.out
/usr/bin/time -f "%e s" -o gainsolve-self.time "$bin/gainsolve" infile=target.arc corlfile=corr_layout.file \
  gnsfile=self.gains model=redundant interval="$interval" refgains=cal.gains gnstable=self.table > gainsolve-self.out

convert() {  # name, gains keyword
  "$bin/talva2vis3" infile=target.arc corlfile=corr_layout.file "$2" msfile="$1.ms" ra=5.5 dec=-30 \
    unitx=17.68 cgap=15.24 device=/null > "talva2vis3-$1.out"
  wsclean -quiet -name "$1" -size 256 256 -scale 15asec -niter 2000 -mgain 0.8 -auto-threshold 3 -no-dirty \
    "$1.ms" > "wsclean-$1.out" 2>&1
  "$bin/skyimage" in="$1-image.fits" npeaks=2 > "skyimage-$1.out"
}
"$root/build/release/bench/gaincal_compare" true.table self.table cal.gains best.table > compare.out
convert true gnstable=true.table
convert static gnsfile=cal.gains
convert self gnstable=self.table
convert best gnstable=best.table

dr() { sed -n 's/.*dynamic range \([0-9.]*\).*/\1/p' "skyimage-$1.out"; }
echo "interval $interval minutes; flags of the self-calibration:"
grep -E "flagged in" gainsolve-self.out || echo "  none"
printf "%-34s %10s %10s\n" "gains" "peak" "DR"
for c in true static self best; do
  printf "%-34s %10s %10s\n" "$c" "$(sed -n '0,/^peak/s/^peak *\([0-9.]*\).*/\1/p' "skyimage-$c.out")" "$(dr $c)"
done
awk -v a="$(dr self)" -v b="$(dr true)" -v c="$(dr best)" \
  'BEGIN { printf "self / true dynamic range: %.2f; self / best: %.2f\n", a / b, a / c }'
cat compare.out
echo "gainsolve on the target (360 dumps, $interval-minute intervals): $(cat gainsolve-self.time)"
