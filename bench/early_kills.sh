#!/usr/bin/env bash
# Runs killed (SIGKILL) in their first moments, each followed by a run and
# -purge: KILLS runs of 1ard against three copies of the zinc fingers
# started in an empty results folder and killed 0-50 ms in; then HELD runs
# over an earlier run's results whose record .zam_written another process
# holds locked (flock, 1.5 s) as the run starts, killed 0.3-1 s in, while
# they wait for the record. Counts the files of trel's that the run and
# -purge after left (-purge's own log aside), and the kills that came after
# the run had ended. The files left must be 0.
# Usage: bench/early_kills.sh [KILLS] [HELD] [TREL]   (defaults: 30, 5, build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kills=${1:-30}
held=${2:-5}
. "$root/bench/bench_lib.sh"
given_bench_start early_kills "${3:-}"
need flock util-linux
cp "$zinc"/*.pdb "$work"/
cd "$work"
zinc_copies 3
export TREL_RESULTS=trel_results
others="1sp1.pdb 5znf.pdb 1znf.pdb"

# Starts the killed run, kills it between $1 and $2 ms in, then runs 1ard
# against others and -purge; counts into left and late.
trial() {
  "$trel" 1ard.pdb c*_*.pdb >/dev/null 2>&1 &
  local pid=$!
  random_sleep "$2" "$1"
  kill -KILL "$pid" 2>/dev/null || late=$((late + 1))
  wait "$pid" 2>/dev/null || true
  [ -n "${holder:-}" ] && wait "$holder"
  # shellcheck disable=SC2086
  "$trel" 1ard.pdb $others >/dev/null 2>&1 || true
  "$trel" -purge >/dev/null 2>&1 || true
  local n
  n=$(left trel_results)
  [ "$n" -gt 0 ] && [ -z "$names" ] && names=$(left_names trel_results)
  left=$((left + n))
}

left=0 late=0 names="" holder=""
for _ in $(seq "$kills"); do
  rm -rf trel_results
  trial 0 50
done
echo "$kills kills 0-50 ms into a run in an empty folder ($late after its end): files left $left $names"

left=0 late=0 names=""
for _ in $(seq "$held"); do
  rm -rf trel_results
  # shellcheck disable=SC2086
  "$trel" 1ard.pdb $others >/dev/null 2>&1
  flock trel_results/.zam_written sleep 1.5 &
  holder=$!
  sleep 0.1
  trial 300 1000
done
echo "$held kills 0.3-1 s into a run whose record is held ($late after its end): files left $left $names"
