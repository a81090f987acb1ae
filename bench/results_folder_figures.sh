#!/usr/bin/env bash
# Runs every benchmark of the results folder's record and hit record, one
# after another, each output kept in OUT/<script>.txt (with its time and
# the load before it): against TREL, with BASE (a baseline trel, for
# write_path.sh and shared_folder.sh) beside it. QUICK=1 runs a few trials
# of each, to check that the scripts work; the default counts are the
# figures' own. Scripts that need root (ext4_nobirth.sh, record_faults.sh's
# tmpfs) say so when they cannot run.
# Usage: bench/results_folder_figures.sh TREL BASE OUT   (e.g. QUICK=1 nice taskset -c 4-7 bench/results_folder_figures.sh ...)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 3 ] || { echo "usage: $0 TREL BASE OUT" >&2; exit 1; }
trel=$(realpath "$1") base=$(realpath "$2") out=$3
mkdir -p "$out"
q=${QUICK:-0}
pick() { [ "$q" = 1 ] && echo "$2" || echo "$1"; }  # full count, quick count
runs=(
  "stop_overlap.sh $(pick 60 3) $trel"
  "many_fds.sh $trel $(pick 2000 100)"
  "lock_refused.sh $trel"
  "ext4_nobirth.sh $(pick 10 2) $trel"
  "user_file_after_kill.sh $(pick 20 2) $trel"
  "purge_live.sh $(pick 10 2) $trel"
  "early_kills.sh $(pick 30 3) $(pick 5 1) $trel"
  "eio_faults.sh $trel"
  "log_fifo.sh $trel"
  "ahead_memory.sh $trel $(pick 140 10)"
  "record_faults.sh $trel"
  "stop_hits.sh $(pick 30 2) $trel"
  "overlap_runs.sh $(pick 20 2) $trel"
  "pidns_kill.sh $(pick 20 2) $trel"
  "stop_end.sh $(pick 10 1) $(pick 400 10) $trel"
  "write_path.sh $base $trel $(pick 5 1)"
  "shared_folder.sh $(pick 3 1) $trel $base"
)
for r in "${runs[@]}"; do
  name=${r%% *}
  echo "== $r" >&2
  { echo "# $r"; echo "# load before: $(cut -d' ' -f1-3 /proc/loadavg)"; } >"$out/${name%.sh}.txt"
  start=$(date +%s)
  # shellcheck disable=SC2086
  "$here"/$r >>"$out/${name%.sh}.txt" 2>&1 || echo "# exit $?" >>"$out/${name%.sh}.txt"
  echo "# $(($(date +%s) - start)) s" >>"$out/${name%.sh}.txt"
done
