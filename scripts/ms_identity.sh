#!/usr/bin/env bash
# Shows that two builds write the same MeasurementSets and uv datasets:
#   bash scripts/ms_identity.sh OLD_BIN [WORKDIR]
# OLD_BIN: the bin/ folder of another build (its lib/talva/ beside it), e.g.
#   git worktree add /tmp/old REV && (cd /tmp/old && bash scripts/build.sh programs)
#   bash scripts/ms_identity.sh /tmp/old/build/release/bin
# Both builds convert the same archives (a long talva1a archive, a 12-hour
# track of two sources with options=interop, a legacy orvex run); each pair
# of sets is compared by content with ms_compare (every table, keyword and
# cell), each pair of uv datasets byte for byte
# (but the date of the run in its history), and WSClean's images of the
# two-source track pixel for pixel. Needs the release build
# (scripts/build.sh release) for ms_compare.
set -euo pipefail
cd "$(dirname "$0")/.."
old=$(cd "$1" && pwd)
new=$PWD/build/release/bin
compare=$PWD/build/release/tests/ms_compare
work=${2:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"
echo "== archives in $work"
"$new/talvasim" archive=long.arc layout=long.lay ndumps=3000 noise=0.1 seed=11 >/dev/null
"$new/gainsolve" infile=long.arc corlfile=long.lay gnsfile=long.gains >/dev/null
"$new/talvasim" archive=track.arc layout=track.lay ndumps=360 dt=120 date=2026,3,20 time=0,0,0 ra=5.5 \
  dec=-45 sources=0,0,1.5,20,15,1.0 gainsout=track.gains seed=5 >/dev/null
"$new/talvasim" archive=orvex.arc layout=orvex.lay ndumps=20 seed=3 >/dev/null
echo "no phase corrections" > zero.pha
status=0
for build in old new; do
  bin=${!build}
  rm -rf "$build" && mkdir "$build"
  # the same command lines (the sets' histories hold them), in two folders
  (cd "$build"
   "$bin/talva2vis3" infile=../long.arc corlfile=../long.lay gnsfile=../long.gains device=/null \
     uvfile=long.uv msfile=long.ms >/dev/null
   "$bin/talva2vis3" infile=../track.arc corlfile=../track.lay gnsfile=../track.gains device=/null \
     options=interop ra=5.5 dec=-45 unitx=17.68 cgap=15.24 uvfile=track.uv msfile=track.ms >/dev/null
   "$bin/talva2vis" infile=../orvex.arc corlfile=../orvex.lay phasefil=../zero.pha skmode=orvex \
     device=/null uvfile=orvex.uv msfile=orvex.ms >/dev/null)
done
for set in long track orvex; do
  "$compare" old/$set.ms new/$set.ms || status=1
  # the history says when each run was made: that line aside, the same bytes
  same=yes
  [ "$(ls old/$set.uv)" = "$(ls new/$set.uv)" ] || same=no
  for f in $(ls old/$set.uv); do
    if [ "$f" = history ]; then
      cmp -s <(grep -v "Executed on" old/$set.uv/$f) <(grep -v "Executed on" new/$set.uv/$f) || same=no
    else
      cmp -s old/$set.uv/$f new/$set.uv/$f || same=no
    fi
  done
  echo "$set.uv: the same bytes: $same"
  [ $same = yes ] || status=1
done
# WSClean (one thread: its threads sum in any order) images both sets of the
# two-source track alike: the same pixels (the FITS headers hold the date;
# the pixels are the last 264960 bytes, 256 x 256 floats in 2880-byte blocks).
if command -v wsclean >/dev/null; then
  for build in old new; do
    (cd "$build" && wsclean -j 1 -parallel-gridding 1 -quiet -name img -size 256 256 -scale 15asec \
       -niter 2000 -mgain 0.8 -threshold 0.002 -no-dirty track.ms >/dev/null 2>&1)
  done
  for image in image model residual psf; do
    if cmp -s <(tail -c 264960 old/img-$image.fits) <(tail -c 264960 new/img-$image.fits); then
      echo "WSClean's $image of track.ms: the same pixels"
    else
      echo "WSClean's $image of track.ms: differs"; status=1
    fi
  done
fi
exit $status
