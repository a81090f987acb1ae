// Distance codes: a separation packed into 16 bits, as pose codes carry it
// (bits 48-63 of a search code). Bits 4-15 hold the whole angstroms, bits
// 0-3 an index into this table of hundredths:
//
//   index      0   1   2   3   4   5   6   7   8   9  10  11
//   hundredths 0  10  20  25  30  40  50  60  70  75  80  90
//
// These are exactly the fractions at which translation matrices are made
// (tm_round): a separation is coded by the same rounding, so the distance a
// code stands for is the distance its poses are translated by. Indices 12-15
// are never made. Codes order like the distances they stand for.
#pragma once

// The code of |r|, rounded as tm_round does; separations above 2047.9 (and
// NaN) take the code of 2047.9.
int zam_did_r12(double r);
// The separation a code stands for (its low 16 bits are read); an index of
// 12-15 reads as the whole angstroms alone.
double zam_r12_did(int code);
