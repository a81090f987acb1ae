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

// Single-precision exponential.
float do_exp(float x);
