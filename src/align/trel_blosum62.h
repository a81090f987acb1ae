// BLOSUM62 substitution scores over the 24 letters "ARNDCQEGHILKMFPSTWYVBZX*":
// the integer matrix, a letter index over all byte values (anything outside
// the 24 letters, bytes of 128 and above included, scores as '*'), and two
// float tables built once per process: a linear rescaling (F) and a Gaussian
// similarity in 0..1 (G).
#pragma once

// Number of letters and their order.
constexpr int TREL_BLOSUM_LETTERS = 24;
extern const char trel_blosum62_letters[TREL_BLOSUM_LETTERS + 1];

// Builds the float tables once (under plain lock 10 behind an atomic done
// flag; later calls take no lock). Prints the smallest G value at debug
// level above 0.
void trel_openBlosum62();

// Letter index 0..23 of a byte; 23 ('*') for every byte outside the letters.
int trel_blosum62Index(unsigned char c);
// Integer BLOSUM62 score of two letters.
int trel_getBlosum62I(unsigned char a, unsigned char b);
// F-table and G-table values of two letters; they build the tables first when
// that has not happened yet.
float trel_getBlosum62F(unsigned char a, unsigned char b);
float trel_getBlosum62G(unsigned char a, unsigned char b);
// Sets the gap value (and the scaled gap value) to |x|. Before the tables are
// built this changes the scale of the F table; afterwards it changes no table.
void trel_setBlosum62Gap(float x);

// Single-precision exponential: the fast one (zam_fastexp) for arguments in
// [kDoExpLo, kDoExpHi], the library's elsewhere (infinities and NaN included).
// The G and M scores and the BLOSUM G table take it; the rigid refinement's
// vector G-plane fill runs zam_fastexp within the same range and do_exp
// outside it, so that plane and getGscore agree to the bit. The range is
// narrower than the fast exponential's own: results next to the smallest
// normal float come from the library, as they always have.
constexpr float kDoExpLo = -87.0f, kDoExpHi = 88.0f;
float do_exp(float x);
