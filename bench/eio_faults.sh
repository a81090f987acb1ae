#!/usr/bin/env bash
# One EIO (bench/faults_shim.c, preloaded) in a run of 1ard over an earlier
# run's results, then a clean run and -purge; prints, for each fault, the
# faulty run's exit status and first words on it, the files set aside
# after it and after the clean run (numbered names, logs left out), and the
# files -purge left (its own log aside), and where the fault landed (the
# innermost functions of trel's on the stack, by addr2line). All counts
# must be 0. The faults:
#  - the Nth listing (opendir) of the results folder, and of the query's
#    folder, for N = 1, 2, ... up to the last listing the run makes;
#  - the Nth stat (any of stat, lstat, fstatat, statx) of a file of an
#    earlier query (1sp1/1sp1.kcode) and of the query's own (1ard/1ard.kcode)
#    in a run that rewrites the record (a damaged line appended to the
#    record makes it rewrite), N = 1, 2, ... (at most 8);
#  - the unlink of the first temporary (*.tmp), and of the first temporary
#    of a replaced result (*.ktime.trel*.tmp: 1ard.ktime changes at every
#    run), then -purge alone, and
#    apart a clean run and -purge;
#  - the first open of the run's own log (trel.log.*.running).
# Usage: bench/eio_faults.sh [TREL]   (default build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/bench_lib.sh"
given_bench_start eio_faults "${1:-}"
cp "$zinc"/*.pdb "$work"/
cd "$work"
build_shim
export TREL_RESULTS=trel_results FAULT_LOG=$work/faults FAULT_TRACE=1
run1ard() { "$trel" 1ard.pdb 1sp1.pdb 5znf.pdb 1znf.pdb; }

# Earlier results of 1ard and of 1sp1, then run1ard with the fault that
# the variables $@ choose; sets status, fired (the fault was injected),
# said and a1 (set aside after it). With $CLEAN unset, a clean run1ard
# follows, and in any case -purge: sets a2 (set aside before -purge) and
# lost (left by -purge).
faulty() {
  rm -rf trel_results faults
  run1ard >/dev/null 2>&1
  "$trel" 1sp1.pdb 1zaa1.pdb 2drp1.pdb >/dev/null 2>&1
  [ -n "${DAMAGE:-}" ] && echo "Q damaged line" >>trel_results/.zam_written
  env LD_PRELOAD="$shim" "$@" "$trel" 1ard.pdb 1sp1.pdb 5znf.pdb 1znf.pdb >out 2>&1 && status=0 || status=$?
  fired=$([ -s faults ] && echo yes || echo no)
  said=$(grep -i 'error\|warn\|could not\|cannot\|kept\|stopped' out | grep -v 'trel.log is kept as' | head -1 | cut -c1-110 || true)
  a1=$(aside trel_results)
  [ -z "${CLEAN+x}" ] && { run1ard >/dev/null 2>&1 || true; }
  a2=$(aside trel_results)
  "$trel" -purge >/dev/null 2>&1 || true
  lost=$(left trel_results)
  [ "$lost" -gt 0 ] && lost="$lost ($(left_names trel_results))"
  if [ -n "${DAMAGE:-}" ] && grep -q "Q damaged line" trel_results/.zam_written 2>/dev/null; then said="(no rewrite) $said"; fi
  true
}
# The innermost functions of trel's on the stack of the fault.
where() {
  grep -o 'trel(+0x[0-9a-f]*)' faults 2>/dev/null | grep -o '0x[0-9a-f]*' | head -4 | xargs -r addr2line -f -C -e "$trel" |
    awk 'NR % 2 {sub(/^\(anonymous namespace\)::/, ""); sub(/\(.*/, ""); printf "%s%s", (NR > 1 ? " < " : ""), $0}'
}
report() {
  printf '%-36s fired %-3s exit %s, set aside %s then %s, left by -purge %s\n      at %s\n      %s\n' \
    "$1" "$fired" "$status" "$a1" "$a2" "$lost" "$(where)" "$said"
}

for folder in trel_results trel_results/1ard; do
  for n in $(seq 20); do
    faulty FAULT_DIR="$folder" FAULT_DIR_AT="$n"
    [ "$fired" = yes ] || break
    report "listing $n of $folder"
  done
done

for f in 1sp1/1sp1.kcode 1ard/1ard.kcode; do
  for n in $(seq 8); do
    DAMAGE=1 faulty FAULT_STAT="*trel_results/$f" FAULT_STAT_AT="$n"
    [ "$fired" = yes ] || break
    report "stat $n of $f, record rewritten"
  done
done

for pattern in '*.tmp' '*.ktime.trel*.tmp'; do
  CLEAN='' faulty FAULT_UNLINK="$pattern"
  report "unlink of $pattern, -purge"
  faulty FAULT_UNLINK="$pattern"
  report "unlink of $pattern, run, -purge"
done
faulty FAULT_OPEN='*trel.log.*.running'
report "first open of the run's log"
