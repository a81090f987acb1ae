// Residue and atom classification: pure look-ups on PDB names as they stand
// in atom and residue records (blanks removed, case-sensitive). Atom names
// are sorted into alpha carbon, main chain, backbone, hydrogen and side chain;
// residue names into one-letter amino-acid and nucleotide codes and back;
// nucleic-acid atom names into sugar-phosphate and base atoms. No state.
#pragma once

#include <cstdint>

// 1 for "CA", else 0.
int zam_isAlphaCarbon(const char* name);

// Main-chain class: "CA" 1, "N" 2, "C" 3, "O" 4, "CB" 5, "OT"/"OXT" 6,
// "OT1" 7, "OT2" 8, anything else (null included) 0.
int zam_isMainChain(const char* name);

// The main-chain classes without CB (CB gives 0).
int zam_isBackbone(const char* name);

// 1 for hydrogen names such as H, H1, 1HB, HA, HG21; 0 for HN, HXT, HO5'.
int zam_isHydrogen(const char* name);

// 1 when the name is neither backbone nor hydrogen (so CB is side chain).
// A null name gives 0.
int zam_isSideChain(const char* name);

// Three-letter name of a one-letter code; "UNK" for an unknown character.
// The result is a static text.
const char* zam_aaName(char code);

// One-letter code of an amino-acid residue name (92 names, modified and
// D-residues included); 'X' for any other name or null.
char zam_aaCode(const char* name);

// 1 when zam_aaCode(name) is not 'X'.
int zam_isAA(const char* name);

// One-letter code of a nucleotide residue name ("A", "+A", "DA" ...); 'X'
// for any other name or null.
char zam_dnaCode(const char* name);

// 1 when zam_dnaCode(name) is not 'X'.
int zam_isDNA(const char* name);

// Sugar-phosphate class of a nucleic-acid atom name: C1'..C5' 1..5, O3' 6,
// O4' 7, O5' 8, P 9, OP1/O1P 10, OP2/O2P 11 (the old '*' forms too); else 0.
int zam_isSugar(const char* name);

// 1 for the nucleic-acid base atom names (N1, N2, ..., C8), else 0.
int zam_isBase(const char* name);

// ---- Look-ups by name key --------------------------------------------------
// The key of a name is its first four bytes in order, the first in the lowest
// byte, zero after the terminator; a name of five bytes or more gets 0xff in
// the top byte, which no listed name has. The first four bytes of a
// zero-filled field of at most four characters, read as a little-endian
// number, are its key. The answers are those of the functions above.

uint32_t zam_nameKey(const char* name);
// zam_aaCode in the low byte, zam_dnaCode in the next.
int zam_residueCodesOfKey(uint32_t key);
int zam_isMainChainKey(uint32_t key);
int zam_isSugarKey(uint32_t key);
int zam_isHydrogenKey(uint32_t key);
