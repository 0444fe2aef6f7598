#!/usr/bin/env bash
# Kills every program at random moments over a long archive and checks that
# no earlier output changed.
#
#   [PROGRAMS="gainsolve ..."] bash scripts/killloop.sh [runs per program (200)] [dumps (3000)] [bin dir]
#
# Each program first writes its outputs once in a scratch directory; then
# `runs` times it is started again on the same names and sent SIGKILL,
# SIGINT or SIGTERM after a random delay (0 to about one run's length).
# After every run the earlier outputs must be byte for byte as they were,
# and a run stopped by SIGINT/SIGTERM must leave no temporary. The
# converters write a new dataset each run: after SIGINT/SIGTERM it must be
# readable (talvalist), after SIGKILL it must have no header (a remnant);
# Both converters also write a MeasurementSet, which must exist after a stop
# exactly when the dataset does (a killed run's set stays in its private
# directory).
# Prints one line per program: runs, how they ended, earlier outputs
# changed (must be 0), temporaries left.
#
# Then (as root, where a tmpfs can be mounted; skipped otherwise, or with
# FULLDISK=0) the converters run with one output at a time on a small
# file system of each of SIZES (default "8k 32k 100k 300k 1m 3m 8m"): the dataset,
# the MeasurementSet, the debug table (the working directory) or the plot.
# A run that fails must leave no new output at a final name, the earlier
# debug table and plot as they were, and no temporary; one that succeeds
# must leave all of them; none may end by a signal (an abort). Prints one
# line per output placed on the small file system.
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-200}
ndumps=${2:-3000}
bin=${3:-$PWD/build/release/bin}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$bin/talvasim" archive=long.arc layout=lay ndumps="$ndumps" noise=0.01 gainsout=true.gains >/dev/null || exit 1
echo "archive: $ndumps dumps, $(du -m long.arc | cut -f1) MB"

# program name, arguments, earlier outputs (checked), outputs of a run that get a new name
declare -A args outs
args[gainsolve]="infile=$work/long.arc corlfile=$work/lay gnsfile=cal.gains"
outs[gainsolve]="cal.gains cal.md_dat phase_dmp.log"
args[phasesolve]="infile=$work/long.arc corlfile=$work/lay device=/null"
outs[phasesolve]="phasesolve.log"
args[talvasim]="archive=sim.arc layout=sim.lay ndumps=$ndumps gainsout=sim.gains seed=3"
outs[talvasim]="sim.arc sim.lay sim.gains"
args[dumpscope]="infile=$work/long.arc corrfile=$work/lay oneshot=t nxy=2,2 device=scope.png/png"
outs[dumpscope]="scope.png"
args[talva2vis3]="infile=$work/long.arc corlfile=$work/lay gnsfile=$work/true.gains skmode=orvex dbgplt=t device=uv.png/png"
outs[talva2vis3]="talva2vis3.dbg uv.png first.uv/header first.uv/visdata first.uv/history first.uv/vartable"
args[talva2vis]="infile=$work/long.arc corlfile=$work/lay phasefil=$work/ph.tbl skmode=orvex dbgplt=t device=old.png/png"
outs[talva2vis]="talva2vis.dbg old.png first.uv/header first.uv/visdata first.uv/history first.uv/vartable"
printf 'title\n' > ph.tbl
for a in $(seq 1 96); do printf '%d 0\n' "$a" >> ph.tbl; done

for prog in ${PROGRAMS:-gainsolve phasesolve talvasim dumpscope talva2vis3 talva2vis}; do
  d="$work/$prog"
  mkdir "$d" && cd "$d"
  extra=""
  case $prog in
    talva2vis3|talva2vis) extra="uvfile=first.uv msfile=first.ms" ;;
  esac
  start=$(date +%s.%N)
  # shellcheck disable=SC2086
  "$bin/$prog" ${args[$prog]} $extra >/dev/null 2>&1 || { echo "$prog: first run failed"; exit 1; }
  length=$(echo "$(date +%s.%N) - $start" | bc)
  sums=$(sha256sum ${outs[$prog]})
  changed=0 temps=0 killed=0 stopped=0 finished=0 other=0 unreadable=0
  for k in $(seq 1 "$runs"); do
    extra=""
    case $prog in
      talva2vis3|talva2vis) extra="uvfile=run$k.uv msfile=run$k.ms" ;;
    esac
    sig=$(( RANDOM % 3 ))
    case $sig in 0) sig=KILL ;; 1) sig=INT ;; 2) sig=TERM ;; esac
    delay=$(echo "scale=3; $length * $(( RANDOM % 1000 )) / 1000" | bc)
    # shellcheck disable=SC2086
    "$bin/$prog" ${args[$prog]} $extra >/dev/null 2>&1 &
    pid=$!
    sleep "$delay"
    kill -s "$sig" "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    st=$?
    case $st in
      0) finished=$((finished + 1)) ;;
      137) killed=$((killed + 1)) ;;
      130|143) stopped=$((stopped + 1)) ;;
      *) other=$((other + 1)); echo "$prog run $k: status $st" ;;
    esac
    if [ "$(sha256sum ${outs[$prog]})" != "$sums" ]; then
      changed=$((changed + 1))
      echo "$prog run $k ($sig after ${delay}s, status $st): an earlier output changed"
    fi
    left=$(find . -name '.*.tmp-*' | wc -l)
    if [ "$left" -gt 0 ]; then
      temps=$((temps + 1))
      [ "$st" != 137 ] && echo "$prog run $k: temporaries left after status $st"
      find . -name '.*.tmp-*' -prune -exec rm -rf {} +
    fi
    case $prog in
      talva2vis*)
        uv_there=no ms_there=no
        [ -d "run$k.uv" ] && uv_there=yes
        [ -d "run$k.ms" ] && ms_there=yes
        if [ $uv_there = yes ]; then
          if [ -e "run$k.uv/header" ]; then
            "$bin/talvalist" vis="run$k.uv" summary=t >/dev/null 2>&1 || {
              unreadable=$((unreadable + 1)); echo "$prog run $k: dataset with a header but unreadable"; }
          elif [ "$st" != 137 ]; then
            unreadable=$((unreadable + 1)); echo "$prog run $k: no header after status $st"
          fi
        fi
        if [ "$st" != 137 ] && [ $ms_there != $uv_there ]; then
          unreadable=$((unreadable + 1)); echo "$prog run $k: the MeasurementSet and the dataset disagree"
        fi
        rm -rf "run$k.uv" "run$k.ms" ;;
    esac
    # a run that finished replaced the outputs: they are the earlier ones now
    [ "$st" = 0 ] && sums=$(sha256sum ${outs[$prog]})
    (( k % 25 == 0 )) && echo "$prog: $k runs, earlier outputs changed $changed"
  done
  printf '%-10s runs %d: finished %d, SIGKILL %d, stopped by SIGINT/SIGTERM %d, other %d; earlier outputs changed %d; runs leaving a temporary %d; bad datasets %d\n' \
    "$prog" "$runs" "$finished" "$killed" "$stopped" "$other" "$changed" "$temps" "$unreadable"
  cd "$work"
done

# ---- full disks -------------------------------------------------------------
if [ "${FULLDISK:-1}" = 0 ]; then
  echo "full disks: skipped (FULLDISK=0)"
  exit 0
fi
if [ "$(id -u)" != 0 ] || ! mkdir "$work/small" || ! mount -t tmpfs -o size=64k tmpfs "$work/small" 2>/dev/null; then
  echo "full disks: skipped (needs root and a tmpfs mount)"
  exit 0
fi
umount "$work/small"
trap 'umount "$work/small" 2>/dev/null; rm -rf "$work"' EXIT
for prog in talva2vis3 talva2vis; do
  for place in dataset ms debug plot; do
    runs=0 failed=0 succeeded=0 bad=0
    for size in ${SIZES:-8k 32k 100k 300k 1m 3m 8m}; do
      mount -t tmpfs -o size="$size" tmpfs "$work/small" || { echo "cannot mount $size"; exit 1; }
      d="$work/fd" && rm -rf "$d" && mkdir "$d"
      cwd="$d" uv="$d/run.uv" ms="$d/run.ms" plot="$d/uv.png"
      case $place in
        dataset) uv="$work/small/run.uv" ;;
        ms) ms="$work/small/run.ms" ;;
        debug) cwd="$work/small" ;;
        plot) plot="$work/small/uv.png" ;;
      esac
      printf 'earlier\n' > "$cwd/$prog.dbg"
      printf 'earlier\n' > "$plot"
      a=${args[$prog]//device=*.png\/png/device=$plot/png}
      # shellcheck disable=SC2086
      (cd "$cwd" && "$bin/$prog" $a uvfile="$uv" msfile="$ms" >"$work/fd.log" 2>&1)
      st=$?
      runs=$((runs + 1))
      problem=""
      if [ "$st" = 0 ]; then
        succeeded=$((succeeded + 1))
        { [ -e "$uv/header" ] && [ -d "$ms" ] && ! grep -qx earlier "$cwd/$prog.dbg" && ! grep -qx earlier "$plot"; } ||
          problem="succeeded without every output"
      elif [ "$st" -gt 128 ]; then
        problem="ended by signal $((st - 128)): $(tail -n 1 "$work/fd.log")"
      else
        [ -e "$uv" ] && problem="failed (status $st) but left $uv"
        [ -e "$ms" ] && problem="$problem; failed (status $st) but left $ms"
        { grep -qx earlier "$cwd/$prog.dbg" && grep -qx earlier "$plot"; } || problem="$problem; an earlier output replaced"
        [ -z "$problem" ] && failed=$((failed + 1))
      fi
      [ "$(find "$d" "$work/small" -name '.*.tmp-*' | wc -l)" -gt 0 ] && problem="$problem; temporaries left"
      if [ -n "$problem" ]; then
        bad=$((bad + 1))
        echo "$prog, $place on $size: $problem"
      fi
      umount "$work/small"
    done
    printf '%-10s %-7s on a small file system: runs %d, failed cleanly %d, succeeded %d, bad %d\n' \
      "$prog" "$place" "$runs" "$failed" "$succeeded" "$bad"
  done
done
