#!/usr/bin/env bash
# How well each descriptor filter tells protein families apart: every one of
# the 15 C2H2 zinc fingers, 10 cytochromes c and 23 distinct TNF-receptor
# cysteine-rich domains of the shared structures is searched against the
# other 47 with -q1 .. -q5 (and the default trace search, -q6, for
# reference), ranked by the pre-score alone (-sort=J, superposing only the
# best hit), and the ranking of all 47 targets (the ".khits" file) is read
# for the query's own family: the queries whose best hit is of their
# family, the mean share of their family among the first F-1 hits (F the
# family's size; the R-precision), and the mean ROC AUC of own family
# against the rest. A method written "3t" runs the tandem
# search -q3 -tn=20 -top=20 -show=20 (the number superposed is the largest
# of the three): the filter's best 20 are superposed and ranked by
# G-score above the filter's order of the rest.
# Usage: bench/filter_families.sh [TREL] [METHODS]   (default build/src/driver/trel, "1 2 3 4 5 6 3t")
# The descriptors are computed once into a cache folder under $TMPDIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trel=${1:-$root/build/src/driver/trel}
methods=${2:-"1 2 3 4 5 6 3t"}
data=$(realpath "$root/../shared/data/pdb")
work=$(mktemp -d "${TMPDIR:-/tmp}/trel_families.XXXXXX")
trap 'rm -rf "$work"' EXIT
trel=$(realpath "$trel")
cd "$work"  # the runs' translation-matrix cache lands here, not in the caller's folder

files=()
for f in "$data"/mustang-testdata/*.pdb; do files+=("$f zf"); done
for f in "$data"/theseus-examples/cytochromes/d*.pdb.gz; do files+=("$f cyt"); done
for t in 1D4V2 1D4V3 1EXT1 1EXT2 1EXT3 1EXT4 1JMA1 1JMA2 1OQE1 1XU12 1XU21 2HEY1 2HEY2 2HEY4 2RPJ1 \
         3ALQ1 3ALQ2 3ALQ3 3ALQ4 3IJ21 3IJ22 3IJ23 3IJ24; do
  files+=("$data/t-coffee-examples/$t.pdb.gz tnf")
done
: > "$work/families"
for e in "${files[@]}"; do
  set -- $e
  name=$(basename "$1"); name=${name%.gz}; name=${name%.pdb}
  echo "$name $2" >> "$work/families"
done

for q in $methods; do
  opts=(-q$q -sort=J -top=1 -show=1)
  [ "${q%t}" != "$q" ] && opts=(-q${q%t} -tn=20 -top=20 -show=20)
  : > "$work/ranks.$q"
  for e in "${files[@]}"; do
    set -- $e
    query=$1
    targets=()
    for o in "${files[@]}"; do
      set -- $o
      [ "$1" != "$query" ] && targets+=("$1")
    done
    TREL_RESULTS="$work/res" TREL_CACHE="$work/cache" \
      "$trel" "${opts[@]}" "$query" "${targets[@]}" > "$work/out" 2>&1 || {
      cat "$work/out"; exit 1; }
    # Every target, best first: rank, K, J, G, M, Z, match, name, family.
    name=$(basename "$query"); name=${name%.gz}; name=${name%.pdb}
    awk -v q="$name" '!/^#/ && NF >= 8 {print q, $8}' "$work/res/$name"*/"$name"*.khits >> "$work/ranks.$q"
    rm -rf "$work/res"
  done
  python3 - "$work/families" "$work/ranks.$q" "$q" <<'EOF'
import sys
fam = dict(line.split() for line in open(sys.argv[1]))
base = lambda n: n.split('~')[0]
ranks = {}
for line in open(sys.argv[2]):
    q, t = line.split()
    ranks.setdefault(base(q), []).append(base(t))
top1 = 0
aucs, rprec = [], []
size = {f: sum(1 for v in fam.values() if v == f) for f in set(fam.values())}
for q, ts in ranks.items():
    own = [fam.get(t) == fam[q] for t in ts]
    pos, neg = sum(own), len(own) - sum(own)
    top1 += own[0]
    r = size[fam[q]] - 1
    rprec.append(sum(own[:r]) / r)
    # AUC: the share of (own, other) pairs in which the own member ranks higher
    seen_neg, good = 0, 0
    for o in reversed(own):
        if o: good += seen_neg
        else: seen_neg += 1
    aucs.append(good / (pos * neg) if pos and neg else 0.0)
n = len(ranks)
label = f"-q{sys.argv[3]}" if not sys.argv[3].endswith("t") else f"-q{sys.argv[3][:-1]} -tn=20 -top=20 -show=20"
print(f"{label}: best hit of own family {top1}/{n}, R-precision {sum(rprec) / n:.3f}, "
      f"mean AUC {sum(aucs) / n:.3f}, AUC > 0.5 for {sum(a > 0.5 for a in aucs)}/{n}")
EOF
done
