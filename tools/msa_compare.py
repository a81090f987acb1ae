#!/usr/bin/env python3
"""Measures multiple structural alignments the same way whichever program made
them. Used by bench/multi_vs_mustang.sh.

  msa_compare.py core ALIGNMENT.fasta PDB...
      ALIGNMENT.fasta holds one aligned row per structure; PDB names either one
      superposed file per row (in row order) or a single file holding every
      structure as one chain, in row order. Prints the number of columns where
      every row has a residue (with a CA atom) and the mean over pairs of rows of their CA RMSD
      over those columns, as the structures stand in the files (no refit).

  msa_compare.py sp ALIGNMENT.fasta REFERENCE.a2m[.gz]
      Sum-of-pairs agreement: the fraction of the residue pairs aligned by the
      reference (over the rows of ALIGNMENT, matched by name) that ALIGNMENT
      aligns too, and the fraction of ALIGNMENT's pairs the reference holds.
"""
import gzip
import math
import os
import sys


def read_fasta(path):
    opener = gzip.open if path.endswith(".gz") else open
    rows, names = {}, []
    name = None
    with opener(path, "rt") as f:
        for line in f:
            line = line.strip()
            if line.startswith(">"):
                name = line[1:].split()[0]
                names.append(name)
                rows[name] = ""
            elif name is not None:
                rows[name] += line
    return names, rows


def alphas(path, chain=None):
    """Per residue (first model, ATOM records, in file order) its CA position,
    or None for a residue without one."""
    out, index = [], {}
    with open(path) as f:
        for line in f:
            if line.startswith("ENDMDL"):
                break
            if not line.startswith("ATOM  ") or (chain is not None and line[21] != chain):
                continue
            key = (line[21], line[22:27])
            if key not in index:
                index[key] = len(out)
                out.append(None)
            if line[12:16] == " CA " and line[16] in " A" and out[index[key]] is None:
                out[index[key]] = (float(line[30:38]), float(line[38:46]), float(line[46:54]))
    return out


def chains_in_order(path):
    order = []
    with open(path) as f:
        for line in f:
            if line.startswith("ATOM  ") and line[21] not in order:
                order.append(line[21])
    return order


def core(fasta, pdbs):
    names, rows = read_fasta(fasta)
    if len(pdbs) == 1 and len(names) > 1:
        chains = chains_in_order(pdbs[0])
        coords = [alphas(pdbs[0], c) for c in chains[: len(names)]]
    else:
        coords = [alphas(p) for p in pdbs]
    if len(coords) != len(names):
        sys.exit("core: %d rows but %d structures" % (len(names), len(coords)))
    # Position of each row's k-th residue.
    index = []
    for n, ca in zip(names, coords):
        letters = sum(1 for ch in rows[n] if ch.isalpha())
        if letters != len(ca):
            sys.exit("core: row %s has %d residues but its structure %d" % (n, letters, len(ca)))
        k, idx = 0, []
        for ch in rows[n]:
            if ch.isalpha():
                idx.append(k if ca[k] is not None else -1)  # no CA: the column cannot count
                k += 1
            else:
                idx.append(-1)
        index.append(idx)
    width = len(rows[names[0]])
    full = [c for c in range(width) if all(idx[c] >= 0 for idx in index)]
    total, pairs = 0.0, 0
    for a in range(len(names)):
        for b in range(a + 1, len(names)):
            d2 = 0.0
            for c in full:
                p, q = coords[a][index[a][c]], coords[b][index[b][c]]
                d2 += sum((p[i] - q[i]) ** 2 for i in range(3))
            if full:
                total += math.sqrt(d2 / len(full))
                pairs += 1
    print("%d %.3f" % (len(full), total / pairs if pairs else 0.0))


def base(name):
    name = os.path.basename(name)
    for ext in (".gz", ".pdb", ".ent"):
        if name.endswith(ext):
            name = name[: -len(ext)]
    return name


def pairs_of(rows, names):
    """Aligned residue pairs (row a, residue i, row b, residue j) of the rows."""
    index = {}
    for n in names:
        k, idx = 0, []
        for ch in rows[n]:
            if ch.isupper():
                idx.append(k)
                k += 1
            elif ch.islower():  # an insertion residue: in no column
                idx.append(None)
                k += 1
            else:
                idx.append(None if ch == "." else -1)
        index[n] = idx
    out = set()
    width = len(rows[names[0]])
    for c in range(width):
        present = [(n, index[n][c]) for n in names if index[n][c] is not None and index[n][c] >= 0]
        for x in range(len(present)):
            for y in range(x + 1, len(present)):
                out.add(present[x] + present[y])
    return out


def common_subsequence(a, b):
    """Residue i of a -> residue j of b along a longest common subsequence."""
    n, m = len(a), len(b)
    L = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n - 1, -1, -1):
        for j in range(m - 1, -1, -1):
            L[i][j] = L[i + 1][j + 1] + 1 if a[i] == b[j] else max(L[i + 1][j], L[i][j + 1])
    out, i, j = {}, 0, 0
    while i < n and j < m:
        if a[i] == b[j]:
            out[i] = j
            i, j = i + 1, j + 1
        elif L[i + 1][j] >= L[i][j + 1]:
            i += 1
        else:
            j += 1
    return out


def sp(fasta, reference):
    names, rows = read_fasta(fasta)
    rnames, rrows = read_fasta(reference)
    rmap = {base(n): n for n in rnames}
    mine = {base(n): rows[n] for n in names}
    common = [n for n in sorted(mine) if n in rmap]
    if len(common) < 2:
        sys.exit("sp: fewer than two rows in common with the reference")
    ref = {}
    for n in common:
        r = rrows[rmap[n]]
        # Reference rows: drop columns that are gaps in every chosen row.
        ref[n] = r
    width = len(ref[common[0]])
    keep = [c for c in range(width) if any(ref[n][c].isalpha() for n in common)]
    ref = {n: "".join(ref[n][c] for c in keep) for n in common}
    # A row whose residues differ from the reference's (a residue one of the
    # programs left out) is matched to it by its longest common subsequence.
    maps = {}
    for n in common:
        a = "".join(ch for ch in mine[n] if ch.isalpha()).upper()
        b = "".join(ch for ch in ref[n] if ch.isalpha()).upper()
        maps[n] = None if a == b else common_subsequence(a, b)
    test_pairs = set()
    for (x, i, y, j) in pairs_of(mine, common):
        if maps[x] is not None:
            i = maps[x].get(i)
        if maps[y] is not None:
            j = maps[y].get(j)
        if i is not None and j is not None:
            test_pairs.add((x, i, y, j))
    ref_pairs = pairs_of(ref, common)
    both = len(test_pairs & ref_pairs)
    print("%.4f %.4f %d %d" % (both / max(len(ref_pairs), 1), both / max(len(test_pairs), 1), len(ref_pairs),
                               len(common)))


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "core":
        core(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) == 4 and sys.argv[1] == "sp":
        sp(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
