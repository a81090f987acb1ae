#!/usr/bin/env bash
# What a tag file made by hand costs a run served from the cache: the tag
# file of a target (1sp1 after a first line of 300 bytes, so that reading it
# says a line) is sealed again with a record of what was said that no reader
# makes, one kept line of TAG_LINE_MB megabytes (default 1024) or TAG_LINES
# kept warnings (default 3,000,000), and `trel -cache 1ard.pdb z.pdb` is run
# on it: elapsed seconds, CPU seconds and peak resident memory
# (/usr/bin/time), the median of TAG_REPEAT runs (default 3), each on the
# tag file as forged; then whether the run said the tag file was damaged
# (rebuilt) and how many bytes its log holds. Without bounds the run says
# every kept line again.
#
# Usage: bench/forged_tag.sh [release build folder]   (default build-bench)
# The files go under $TMPDIR (default /tmp).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
line_mb=${TAG_LINE_MB:-1024}
lines=${TAG_LINES:-3000000}
repeat=${TAG_REPEAT:-3}
. "$here/bench/bench_lib.sh"
release_bench_start forged_tag "${1:-}"
{ head -c 300 /dev/zero | tr '\0' 'x'; echo; cat "$data/mustang-testdata/1sp1.pdb"; } >"$work/z.pdb"
sleep 1  # settled: the tag file records the source's identity
mkdir "$work/cache"
(cd "$work" && TREL_CACHE="$work/cache" "$trel" -cache -nowrite "$query" z.pdb >/dev/null 2>&1)

# forge KIND N OUT: the tag file with a record whose read part is one kept
# warning of N bytes (long) or N kept warnings (many), sealed again.
forge() {
  python3 - "$work/cache/z.trq" "$1" "$2" "$3" <<'EOF'
import struct, sys, zlib
src, kind, n, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
data = open(src, 'rb').read()
check = data[data.rfind(b'REMARK 999 trel cache v'):]
head = data[:344]  # the tag and the source's identity
def pieces():
    if kind == 'long':
        yield b'\x02' + struct.pack('<I', n) + b'*Warning* '
        left, block = n - 11, b'x' * (1 << 20)
        while left > 0:
            yield block[:left]
            left -= min(left, len(block))
        yield b'\n'
    else:
        one = b'\x02' + struct.pack('<I', 20) + b'*Warning* kept line\n'
        for k in range(0, n, 100000):
            yield one * min(100000, n - k)
size = sum(len(p) for p in pieces())
crc = 0
with open(out, 'wb') as f:
    def put(p):
        global crc
        f.write(p)
        crc = zlib.crc32(p, crc)
    put(head)
    put(struct.pack('<I', size))
    for p in pieces():
        put(p)
    put(struct.pack('<I', 0))  # the built part: empty
    put(check[:-9])
    f.write(b'%08x\n' % crc)
EOF
}
forge long $((line_mb * 1048576)) "$work/long.trq"
forge many "$lines" "$work/many.trq"
echo "Tag file of z.pdb forged: one kept line of $line_mb MB, or $lines kept lines; query 1ard."

printf '%-6s %10s %8s %10s %9s %8s\n' record elapsed_s cpu_s peak_MB rebuilt log_MB
for kind in long many; do
  rows=()
  for ((k = 0; k < repeat; k++)); do
    cp "$work/$kind.trq" "$work/cache/z.trq"
    rows+=("$(timed_trel "TREL_CACHE=$work/cache" -- -cache "$query" "$work/z.pdb")")
  done
  # Once more, to see what the run said and wrote.
  cp "$work/$kind.trq" "$work/cache/z.trq"
  out=$(mktemp -d "$work/said_XXXXXX")
  (cd "$out" && TREL_RESULTS="$out/results" TREL_CACHE="$work/cache" "$trel" -cache "$query" "$work/z.pdb" >"$out/out" 2>&1) || true
  rebuilt=no
  grep -q "z.trq is damaged: rebuilding z" "$out/out" && rebuilt=yes
  log_mb=$(awk -v b="$(stat -c %s "$out/results/trel.log")" 'BEGIN { printf "%.1f", b / 1048576 }')
  rm -rf "$out"
  printf '%-6s %s %9s %8s\n' "$kind" "$(median_row "${rows[@]}")" "$rebuilt" "$log_mb"
done
