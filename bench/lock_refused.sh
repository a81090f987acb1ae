#!/usr/bin/env bash
# Runs where the file system refuses locks, as bench/faults_shim.c makes it
# (preloaded): flock refused (ENOLCK, as NFS without its lock manager),
# every lock refused (flock and fcntl's POSIX and OFD locks), and the OFD
# locks alone. For each: 1ard against eight zinc fingers into an empty
# folder, a rerun with four others over it, two runs at once over it, then
# -purge. Prints each run's exit status, the files in the query's folder,
# the files set aside, the lines that speak of locks (once a run is the
# rule) and of files not written, and the files -purge left.
# Usage: bench/lock_refused.sh [TREL] [MODES]   (defaults: build/src/driver/trel, "flock all ofd")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/bench_lib.sh"
given_bench_start lock_refused "${1:-}"
cp "$zinc"/*.pdb "$work"/
cd "$work"
build_shim
export TREL_RESULTS=trel_results LD_PRELOAD=$shim
first="1sp1.pdb 1zaa1.pdb 5znf.pdb 1znf.pdb 2drp1.pdb 1paa.pdb 3znf.pdb 1zfd.pdb"
other="1sp2.pdb 1zaa2.pdb 2drp2.pdb 1znm.pdb"

# One run with the arguments $2..., its output in out.$1: prints what it did.
run() {
  local tag=$1 status
  shift
  # shellcheck disable=SC2086
  "$trel" "$@" >"out.$tag" 2>&1 && status=0 || status=$?
  echo "  $tag: exit $status, $(ls trel_results/1ard 2>/dev/null | wc -l) files in trel_results/1ard, set aside $(aside trel_results)," \
    "lines on locks $(grep -ci 'lock' "out.$tag" || true), on files not written $(grep -ci 'could not be written\|cannot keep' "out.$tag" || true)"
}

for mode in ${2:-flock all ofd}; do
  export FAULT_LOCKS=$mode
  rm -rf trel_results out.*
  echo "refused: $mode"
  # shellcheck disable=SC2086
  run first 1ard.pdb $first
  grep -i 'lock\|could not\|cannot' out.first | sed 's/^/      /' || true
  # shellcheck disable=SC2086
  run rerun 1ard.pdb $other
  # shellcheck disable=SC2086
  run pair_a 1ard.pdb $first & run pair_b 1ard.pdb $other; wait
  "$trel" -purge >out.purge 2>&1 && status=0 || status=$?
  echo "  -purge: exit $status, files left $(left trel_results) $(left_names trel_results)"
done
