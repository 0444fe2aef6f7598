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
# talva2vis3 also writes a MeasurementSet, which must exist after a stop
# exactly when the dataset does (a killed run's set stays in its private
# directory).
# Prints one line per program: runs, how they ended, earlier outputs
# changed (must be 0), temporaries left.
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
    talva2vis3) extra="uvfile=first.uv msfile=first.ms" ;;
    talva2vis) extra="uvfile=first.uv" ;;
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
      talva2vis3) extra="uvfile=run$k.uv msfile=run$k.ms" ;;
      talva2vis) extra="uvfile=run$k.uv" ;;
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
        if [ "$prog" = talva2vis3 ] && [ "$st" != 137 ] && [ $ms_there != $uv_there ]; then
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
