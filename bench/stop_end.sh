#!/usr/bin/env bash
# Stops at the end of a run, each of which must end the process within
# seconds; a run not ended 20 s after its signal counts as hung (and is
# then killed). Three trials of 1ard against three zinc fingers, each in an
# empty results folder:
#  - the rename that gives the log its name held for 3 s (strace), the run
#    sent SIGTERM (then SIGINT) 1.5 s after its start, HOLDS times each;
#  - SIGNALS signals, SIGTERM and SIGINT by turns, sent as soon as the
#    results table aggregate.kroc appears;
#  - the record .zam_written locked by another process (flock, 25 s) while
#    a run starts and is sent SIGTERM; once the lock is gone, -purge: no log
#    of the stopped run may be left (HOLDS times).
# Load the machine meanwhile to widen the windows.
# Usage: bench/stop_end.sh [HOLDS] [SIGNALS] [TREL]   (defaults: 10, 400, build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
holds=${1:-10}
signals=${2:-400}
. "$root/bench/bench_lib.sh"
given_bench_start stop_end "${3:-}"
need strace strace
need flock util-linux
cp "$zinc"/1ard.pdb "$zinc"/1sp1.pdb "$zinc"/5znf.pdb "$zinc"/1znf.pdb "$work"/
cd "$work"
export TREL_RESULTS=trel_results
files="1ard.pdb 1sp1.pdb 5znf.pdb 1znf.pdb"
limit=20

# Waits for process $1 to end, at most $limit seconds; 0 when it ended,
# else 1 (it is then killed).
ended() {
  local k
  for k in $(seq $((limit * 20))); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$1" 2>/dev/null || true
  return 1
}

# The trel process that strace $1 runs, once it is there.
traced() {
  local k pid
  for k in $(seq 200); do
    pid=$(pgrep -P "$1" -x trel || true)
    [ -n "$pid" ] && { echo "$pid"; return; }
    sleep 0.01
  done
}

for sig in TERM INT; do
  hung=0
  for t in $(seq "$holds"); do
    rm -rf trel_results
    mkdir trel_results
    # shellcheck disable=SC2086
    strace -f -o /dev/null -P trel_results/trel.log -e trace=renameat2 \
      -e inject=renameat2:delay_exit=3000000:when=1 "$trel" $files >/dev/null 2>&1 &
    spid=$!
    pid=$(traced "$spid")
    sleep 1.5
    [ -n "$pid" ] && kill -s "$sig" "$pid" 2>/dev/null || true
    { [ -z "$pid" ] || ended "$pid"; } || hung=$((hung + 1))
    wait "$spid" 2>/dev/null || true
  done
  echo "log's rename held, SIG$sig at 1.5 s: $holds runs, hung $hung"
done

hung=0 late=0
for t in $(seq "$signals"); do
  sig=TERM
  [ $((t % 2)) -eq 0 ] && sig=INT
  rm -rf trel_results
  # shellcheck disable=SC2086
  "$trel" $files >/dev/null 2>&1 &
  pid=$!
  while [ ! -e trel_results/aggregate.kroc ] && kill -0 "$pid" 2>/dev/null; do :; done
  kill -s "$sig" "$pid" 2>/dev/null || late=$((late + 1))
  ended "$pid" || hung=$((hung + 1))
  wait "$pid" 2>/dev/null || true
done
echo "signals as aggregate.kroc appears: $signals runs ($late ended before the signal), hung $hung"

hung=0 left=0
for t in $(seq "$holds"); do
  rm -rf trel_results
  # shellcheck disable=SC2086
  "$trel" $files >/dev/null 2>&1
  flock trel_results/.zam_written -c 'sleep 25' &
  fpid=$!
  sleep 0.2
  # shellcheck disable=SC2086
  "$trel" $files >/dev/null 2>&1 &
  pid=$!
  sleep 2
  kill -TERM "$pid" 2>/dev/null || true
  ended "$pid" || hung=$((hung + 1))
  wait "$pid" 2>/dev/null || true
  wait "$fpid" 2>/dev/null || true
  "$trel" -purge >/dev/null 2>&1 || true
  [ -d trel_results ] && left=$((left + $(find trel_results -name 'trel.log?*' | wc -l)))
done
echo "record locked by another process, SIGTERM, then -purge: $holds runs, hung $hung, logs left $left"
