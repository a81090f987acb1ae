#!/usr/bin/env bash
# Runs of many queries and the descriptors they keep. (1) -many over the 15
# zinc fingers against the same 15 (-target=tg) on one thread at `ulimit -n
# 18`: exit status, "Too many open files" lines, files not written. (2) -many
# over Q copies of the zinc fingers under other names (default 2000) against
# 1sp1, and over 10 of them: the descriptors of the trel process, sampled
# from /proc every 20 ms (their peak, and the last sample before its end),
# and the run's peak resident memory (/usr/bin/time). The peak for Q
# queries must be that for 10.
# Usage: bench/many_fds.sh [TREL] [Q]   (defaults: build/src/driver/trel, 2000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
queries=${2:-2000}
. "$root/bench/bench_lib.sh"
given_bench_start many_fds "${1:-}"
[ -x /usr/bin/time ] || { echo "many_fds: /usr/bin/time is needed" >&2; exit 1; }
cd "$work"
mkdir low tg tg1 many
cp "$zinc"/*.pdb low/
cp "$zinc"/*.pdb tg/
cp "$zinc"/1sp1.pdb tg1/
export TREL_CPUS=1

cd low
set +e
(ulimit -n 18; TREL_RESULTS=trel_results "$trel" -many ./*.pdb -target=../tg >out 2>&1)
status=$?
set -e
echo "-many over 15 at ulimit -n 18: exit $status, query folders $(find trel_results -mindepth 1 -maxdepth 1 -type d | wc -l)," \
  "'Too many open files' $(grep -c 'Too many open files' out || true), lines on files not written $(grep -ci 'could not\|cannot' out || true)"
grep -i 'could not\|cannot\|too many' out | head -3 | sed 's/^/    /' || true
cd ..

# Runs -many over the first $1 copies; prints "peak last" descriptors and
# the peak resident kB.
fds_of() {
  local list pid n peak=0 last=0
  # sed reads the whole listing: with head, ls could die of SIGPIPE, which
  # pipefail made the end of the script, without a word.
  list=$(ls many | sed -n "1,$1s|^|many/|p")
  rm -rf trel_results
  # shellcheck disable=SC2086
  TREL_RESULTS=trel_results /usr/bin/time -f %M -o time "$trel" -many $list -target=tg1 >out 2>&1 &
  local job=$!
  while [ -z "${pid:-}" ] && kill -0 "$job" 2>/dev/null; do pid=$(pgrep -P "$job" -x trel || true); done
  while [ -n "${pid:-}" ] && n=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l) && [ "$n" -gt 0 ]; do
    last=$n
    [ "$n" -gt "$peak" ] && peak=$n
    sleep 0.02
  done
  wait "$job" || echo "many_fds: the run of $1 queries failed" >&2
  echo "$peak $last $(tail -1 time)"
}
for k in $(seq $(((queries + 13) / 14))); do
  for f in "$zinc"/*.pdb; do
    b=$(basename "$f" .pdb)
    [ "$b" = 1sp1 ] || cp "$f" "many/q${k}_$b.pdb"
  done
done
read -r p10 l10 m10 < <(fds_of 10)
read -r pq lq mq < <(fds_of "$queries")
echo "descriptors of a run of 10 queries: peak $p10, last sampled $l10; peak memory $((m10 / 1024)) MB"
echo "descriptors of a run of $queries queries: peak $pq, last sampled $lq; peak memory $((mq / 1024)) MB" \
  "($(find trel_results -type f | wc -l) files written)"
