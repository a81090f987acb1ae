#!/usr/bin/env bash
# A run killed as it gives a result its name, then a file of the user's at
# that name, trial after trial: a run of 1ard against 1sp1 into an empty
# results folder is killed (strace injects SIGKILL) at the linkat that names
# trel_results/1ard/1ard_query.pdb; the user then writes a file there
# (1sp1.pdb twice over, larger than trel's). Half the trials follow with a
# rerun of the same search, half with -purge. Counts how often the user's
# bytes survived (at the name or at a numbered name beside it), and how
# often the file system gave the user's file the inode of the killed run's
# file (the case a record line must not be fooled by). Both survival counts
# must equal the trials. The reuse is read from any line of the record
# that names the file with its device and inode (A, B, W, X...). FOLDER,
# when given, holds the work (a file system of its own: ext4_nobirth.sh).
# Usage: bench/user_file_after_kill.sh [TRIALS] [TREL] [FOLDER]   (defaults: 20, build/src/driver/trel, $TMPDIR)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-20}
. "$root/bench/bench_lib.sh"
need strace strace
[ -n "${3:-}" ] && export TMPDIR=$3
given_bench_start user_file_after_kill "${2:-}"
cp "$zinc"/1ard.pdb "$zinc"/1sp1.pdb "$work"/
cd "$work"
export TREL_RESULTS=trel_results
cat 1sp1.pdb 1sp1.pdb > users.pdb
name=trel_results/1ard/1ard_query.pdb

for after in rerun purge; do
  kept=0 reused=0
  for _ in $(seq "$trials"); do
    rm -rf trel_results
    # In the background, so that the shell does not report the kill.
    strace -f -o /dev/null -P "$name" -e trace=linkat -e inject=linkat:signal=KILL:when=1 \
      "$trel" 1ard.pdb 1sp1.pdb >/dev/null 2>&1 &
    { wait $!; } 2>/dev/null || true
    mkdir -p trel_results/1ard
    cat users.pdb > "$name"
    read -r dev ino < <(stat -c '%d %i' "$name")
    awk -v d="$dev" -v i="$ino" '$2 == d && $3 == i && $NF == "1ard/1ard_query.pdb" {f = 1} END {exit !f}' \
      trel_results/.zam_written 2>/dev/null && reused=$((reused + 1))
    if [ "$after" = rerun ]; then
      "$trel" 1ard.pdb 1sp1.pdb >/dev/null 2>&1 || true
    else
      "$trel" -purge >/dev/null 2>&1 || true
    fi
    for f in "$name" "$name".[0-9]*; do
      if [ -f "$f" ] && cmp -s "$f" users.pdb; then
        kept=$((kept + 1))
        break
      fi
    done
  done
  printf '%-6s user file kept %3d of %3d (inode reused in %d)\n' "$after" "$kept" "$trials" "$reused"
done
