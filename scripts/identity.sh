#!/usr/bin/env bash
# Shows that a change keeps every output of every program the same:
#   bash scripts/identity.sh OLD_BIN [NEW_BIN] [WORKDIR]
# OLD_BIN, NEW_BIN: the bin/ folders of two builds (NEW_BIN defaults to this
# tree's build/release/bin), e.g.
#   git worktree add /tmp/old REV && (cd /tmp/old && bash scripts/build.sh programs)
#   bash scripts/identity.sh /tmp/old/build/release/bin
# Both builds run the same command lines on the same simulated archives:
# gainsolve (point and redundant models; intervals of both, with and without
# the MD gain and the reference gains) and phasesolve;
# talva2vis3 in all nine modes, with reject lists, the MD correction, a dump
# range, options=interop and a MeasurementSet (in the data, simulated and
# compressed modes), another epoch, the debug
# table, plot files and the progress lines of a long run; talva2vis in its
# data modes, with the debug table, plot files and its site limits;
# dumpscope with each kind of option; the listing tools. For every run the
# exit status, standard output, standard error and every file it wrote are
# compared byte for byte: the date of the run in a dataset's history aside,
# and MeasurementSets by content (ms_compare, every table, keyword and
# cell; needs the release build). Prints one line per difference and
# exits 1 if there is any.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
old=$(cd "$1" && pwd)
new=$(cd "${2:-build/release/bin}" && pwd)
compare=$root/build/release/tests/ms_compare
work=${3:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"
work=$PWD

echo "== archives in $work"
sim=$new/talvasim
"$sim" archive=cal.arc layout=lay.txt ndumps=40 seed=4 flux=10 noise=0.1 >/dev/null
"$sim" archive=src.arc layout=src.lay ndumps=60 dt=60 seed=4 sources=0,0,2,20,-15,1 noise=0.05 >/dev/null
"$sim" archive=md.arc layout=md.lay ndumps=30 seed=7 mdtilt=10 mdrate=0.5 tilts=0,20,20 >/dev/null
"$sim" archive=long.arc layout=long.lay ndumps=410 seed=5 flux=5 noise=0.1 >/dev/null
# The first dump of src.arc dated month 13 (its header block starts after
# the file header, 8 + 4 nbsln bytes, and the 12-byte tag; byte 29 holds the month).
cp src.arc baddate.arc
nbsln=$(od -An -t d4 -j 4 -N 4 src.arc | tr -d ' ')
printf '\x0d' | dd of=baddate.arc bs=1 seek=$((8 + 4 * nbsln + 12 + 29)) conv=notrunc status=none
printf 'abc' >short.arc
printf '3\n5\n17\n400\n' >rejects.txt
printf '12\n60\n' >badants.txt
printf '0 1.0\n10 0.98\n20 0.95\n30 0.9\n40 0.85\n60 0.8\n' >md.tbl

# One run: NAME, then the command line (run in a folder of its own; the
# command lines are the same for both builds, as the histories hold them).
run() {
  local name=$1
  shift
  mkdir -p "$name"
  (cd "$name" && set +e && "$@" >stdout 2>stderr </dev/null; echo $? >status)
}

runs() {
  local b=$1 w=$work
  run gs-point "$b/gainsolve" infile=$w/cal.arc corlfile=$w/lay.txt gnsfile=cal.gains
  run gs-rej "$b/gainsolve" infile=$w/cal.arc corlfile=$w/lay.txt rejects=$w/rejects.txt antrejct=$w/badants.txt \
    calflx=10 reclim=3,30 gnsfile=rej.gains
  run gs-intervals "$b/gainsolve" infile=$w/src.arc corlfile=$w/src.lay interval=15 model=redundant \
    refgains=../gs-point/cal.gains gnstable=src.table gnsfile=src.gains
  run gs-int-point "$b/gainsolve" infile=$w/src.arc corlfile=$w/src.lay interval=15 gnstable=src.table \
    gnsfile=src.gains
  run gs-int-md "$b/gainsolve" infile=$w/src.arc corlfile=$w/src.lay interval=15 mdcorr=t mdfile=$w/md.tbl \
    gnstable=src.table gnsfile=src.gains
  run gs-int-self "$b/gainsolve" infile=$w/src.arc corlfile=$w/src.lay interval=15 model=redundant \
    gnstable=src.table gnsfile=src.gains
  run ps "$b/phasesolve" infile=$w/cal.arc corlfile=$w/lay.txt refant=1
  for mode in talva1a orvex talva1b talva1c talva1d talva2a talva2b talva3a talva3b; do
    run "v3-$mode" "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
      skmode=$mode device=/null uvfile=out.uv
  done
  run v3-options "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
    rejects=$w/rejects.txt antrejct=$w/badants.txt reclim=5,50 options=interop ra=5.5 dec=-45 \
    device=/null uvfile=out.uv msfile=out.ms
  for mode in orvex talva1b talva1d talva2b talva3a; do
    run "v3-interop-$mode" "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
      skmode=$mode options=interop ampscale=2 nunit=8 device=/null uvfile=out.uv msfile=out.ms
  done
  run v3-md "$b/talva2vis3" infile=$w/md.arc corlfile=$w/md.lay gnsfile=../gs-point/cal.gains \
    mdcorr=t mdfile=$w/md.tbl device=/null uvfile=out.uv
  run v3-table "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay gnstable=../gs-intervals/src.table \
    device=/null uvfile=out.uv
  for mode in talva1a orvex talva1b; do
    run "v2-$mode" "$b/talva2vis" infile=$w/src.arc corlfile=$w/src.lay phasefil=../ps/phasesolve.log \
      skmode=$mode device=/null uvfile=out.uv msfile=out.ms
  done
  for option in 'ap(1e,1w)' 'ap(3e,7e)' 'bs(3,e)' 'bs(5,w)' 'bs(2,b)' 'bs(40,x)'; do
    run "ds-$option" "$b/dumpscope" infile=$w/md.arc corrfile=$w/md.lay "option=$option" device=/null \
      mdcorr=t mdfile=$w/md.tbl phstrk=t navrg=3
  done
  run ds-oneshot "$b/dumpscope" infile=$w/src.arc corrfile=$w/src.lay 'option=bs(4,e)' oneshot=t \
    device=/null verbose=t reclim=2,9
  # The debug tables, the plots, the epoch, the progress lines of a long
  # run, the legacy site limits.
  run v3-debug "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
    skmode=orvex dbgplt=t blen=20 device=/null uvfile=out.uv
  run v3-plot "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
    device=uv.png/png uvfile=out.uv
  run v3-plot-orvex "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
    skmode=orvex device=uv.png/png uvfile=out.uv
  run v3-plot-sim "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay skmode=talva1b device=uv.png/png \
    uvfile=out.uv
  run v3-b1950 "$b/talva2vis3" infile=$w/src.arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
    epoch=B1950 ra=3.2 dec=-60 device=/null uvfile=out.uv msfile=out.ms
  run v3-long "$b/talva2vis3" infile=$w/long.arc corlfile=$w/long.lay gnsfile=../gs-point/cal.gains \
    mdcorr=t mdfile=$w/md.tbl device=/null uvfile=out.uv
  for mode in talva1a orvex; do
    run "v2-debug-$mode" "$b/talva2vis" infile=$w/src.arc corlfile=$w/src.lay phasefil=../ps/phasesolve.log \
      skmode=$mode dbgplt=t blen=30 device=uv.png/png uvfile=out.uv
  done
  run v2-limits "$b/talva2vis" infile=$w/long.arc corlfile=$w/long.lay phasefil=../ps/phasesolve.log \
    skmode=orvex startha=-0.05 mdmax=0.5 mdcorr=t mdfile=$w/md.tbl device=/null uvfile=out.uv
  # Archives that cannot be opened or read, a dump with an impossible date.
  for arc in missing.arc short.arc; do
    run "v3-$arc" "$b/talva2vis3" infile=$w/$arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
      device=/null uvfile=out.uv
    run "v2-$arc" "$b/talva2vis" infile=$w/$arc corlfile=$w/src.lay phasefil=../ps/phasesolve.log \
      device=/null uvfile=out.uv
  done
  run v3-baddate "$b/talva2vis3" infile=$w/baddate.arc corlfile=$w/src.lay gnsfile=../gs-point/cal.gains \
    device=/null uvfile=out.uv
  run v2-baddate "$b/talva2vis" infile=$w/baddate.arc corlfile=$w/src.lay phasefil=../ps/phasesolve.log \
    device=/null uvfile=out.uv
  run info "$b/archinfo" archive=$w/md.arc full=t verbose=t
  run list "$b/talvalist" vis=../v3-options/out.uv full=t
}

for build in old new; do
  rm -rf "$build" && mkdir "$build"
  (cd "$build" && runs "${!build}")
done

status=0
differ() {
  echo "differs: $1"
  status=1
}
runs_compared=0
for dir in old/*/; do
  name=$(basename "$dir")
  runs_compared=$((runs_compared + 1))
  [ -d "new/$name" ] || { differ "$name (not run by the new build)"; continue; }
  # the listings of what each run left must agree
  [ "$(cd "old/$name" && find . | sort)" = "$(cd "new/$name" && find . | sort)" ] || differ "$name: the files written"
  while IFS= read -r f; do
    case "$name/$f" in
      *.ms/*) continue ;;
      */history | list/stdout) cmp -s <(grep -v "Executed on" "old/$name/$f") <(grep -v "Executed on" "new/$name/$f") ||
        differ "$name/$f" ;;
      *) cmp -s "old/$name/$f" "new/$name/$f" || differ "$name/$f" ;;
    esac
  done < <(cd "old/$name" && find . -type f | sed 's|^\./||' | sort)
  for ms in "old/$name"/*.ms; do
    [ -d "$ms" ] || continue
    "$compare" "$ms" "new/$name/$(basename "$ms")" >/dev/null || differ "$name/$(basename "$ms") (content)"
  done
done
echo "== $runs_compared runs compared: $([ $status = 0 ] && echo "every output the same" || echo "differences above")"
exit $status
