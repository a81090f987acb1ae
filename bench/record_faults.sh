#!/usr/bin/env bash
# Faults at the results folder's record, and what the folder holds after
# them. (1) Over an earlier run, a run whose first open, or first flock, of
# .zam_written fails with EIO (strace fault injection), then a clean run and
# -purge. (2) A small tmpfs (needs root) filled to each of 36 sizes, a run
# into it, the filler removed, a rerun and -purge. Counts the files standing
# with no line of the record after the failing run, the files set aside
# (numbered names other than logs) and the files -purge left (its own log
# aside). All must be 0.
# Usage: bench/record_faults.sh [TREL]   (default build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/bench_lib.sh"
given_bench_start record_faults "${1:-}"
need strace strace
cd "$work"
cp "$zinc"/1ard.pdb "$zinc"/1sp1.pdb "$zinc"/1zaa1.pdb "$zinc"/5znf.pdb "$zinc"/1znf.pdb "$zinc"/2drp1.pdb \
   "$zinc"/1paa.pdb "$zinc"/3znf.pdb "$zinc"/1zfd.pdb .
targets="1sp1.pdb 1zaa1.pdb 5znf.pdb 1znf.pdb 2drp1.pdb 1paa.pdb 3znf.pdb 1zfd.pdb"


for call in openat flock; do
  rm -rf trel_results
  TREL_RESULTS=trel_results "$trel" 1ard.pdb 1sp1.pdb 1zaa1.pdb >/dev/null 2>&1
  set +e
  TREL_RESULTS=trel_results strace -f -o /dev/null -e trace=$call -P trel_results/.zam_written -e inject=$call:error=EIO:when=1 \
    "$trel" 1ard.pdb 1sp1.pdb 1zaa1.pdb >out 2>&1
  status=$?
  set -e
  a=$(aside trel_results) u=$(unlined trel_results)
  TREL_RESULTS=trel_results "$trel" 1ard.pdb 1sp1.pdb 1zaa1.pdb >/dev/null 2>&1 || true
  a2=$(aside trel_results)
  TREL_RESULTS=trel_results "$trel" -purge >/dev/null 2>&1 || true
  echo "EIO at the record's $call: exit $status, files without a line $u, set aside $a then $a2, left by -purge $(left trel_results)"
  { grep -i 'record\|could not' out || true; } | head -3 | sed 's/^/    /'
done

if [ "$(id -u)" -eq 0 ]; then
  mkdir -p mnt
  tot_unlined=0 tot_aside=0 tot_left=0 failed=0
  for k in $(seq 0 35); do
    mount -t tmpfs -o size=700k tmpfs mnt
    [ $k -gt 0 ] && head -c $((k * 4096)) /dev/zero > mnt/filler
    set +e
    # shellcheck disable=SC2086
    TREL_RESULTS=mnt/trel_results "$trel" 1ard.pdb $targets >/dev/null 2>&1
    [ $? -ne 0 ] && failed=$((failed + 1))
    set -e
    tot_unlined=$((tot_unlined + $(unlined mnt/trel_results)))
    rm -f mnt/filler
    # shellcheck disable=SC2086
    TREL_RESULTS=mnt/trel_results "$trel" 1ard.pdb $targets >/dev/null 2>&1 || true
    tot_aside=$((tot_aside + $(aside mnt/trel_results)))
    TREL_RESULTS=mnt/trel_results "$trel" -purge >/dev/null 2>&1 || true
    tot_left=$((tot_left + $(left mnt/trel_results)))
    umount mnt
  done
  echo "tmpfs of 700 kB, 36 fillers of 0 to 140 kB: runs that failed $failed, files without a line $tot_unlined, set aside $tot_aside, left by -purge $tot_left"
fi
