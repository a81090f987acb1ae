// Two-index z-translation matrices (degree l only, no radial index) for
// self-tests, with their drivers, and the print and check routines of the
// packed three-index matrices. A two-index matrix of degree L holds, for
// l = 0..L, l' = 0..l, m = 0..l', the element T^m(l; l') (tm2_dim(L)
// doubles); the elements with l' > l follow with the sign (-1)^(l+l'). It
// acts on (L+1)^2 values, (l, m) at l^2 + l + m, as the packed matrices do:
// out(l' m) = sum over l of T^|m|(l; l') in(l m). Everything prints through
// zam_msg.
#pragma once

// ---- two-index matrices ----
// Position of the m = 0 element of (l, l'), l' <= l, at l(l+1)/2 + l', for
// degrees to 160 (the layout does not depend on L); shared, do not free.
const int* tm2_table(int L);
// Position of (l, l') with the pair swapped when l' > l.
int tm2_index(int L, int l, int lp);
// In place: negates the elements with l + l' odd (the opposite distance).
void tm2_neg(int L, double* T);
// out = T in; in and out must differ.
void tm2_apply(int L, const double* T, const double* in, double* out);
// Translation by R (series direction, R >= 0) of the nodeless GTO functions
// of scale h (square units), (r/sqrt h)^l e^(-r^2/2h) y_lm normalised: the
// order-(L+1) GTO matrix's elements (l+1 l; l'+1 l') at that scale.
// Prints "Translation matrix T[..]".
void tm_gt2_ser(int L, double* T, double R, double h);
// Translation of the regular spherical waves j_l(beta r) y_lm by R: sum over
// k of the coupling terms times j_k(beta R), in multi-precision floats.
void tm_sw2_ser(int L, double* T, double beta, double R);

// ---- print and check routines ----
// The full (N(N+1)/2)^2 matrix of one m, entry p(n, l) N(N+1)/2 + p(n', l')
// with p(n, l) = n(n-1)/2 + l; 0 where l or l' is below m.
void tm3_unpack_m(int N, int m, const double* T, double* out);
// out = A B as tm3_product, element by element through tm3_index.
void tm3_product_old(int N, const double* A, const double* B, double* out);
// "K[n,l, n',l', m] = value" for the stored elements with n, n' >= nmin;
// tm3_print_all "T[..]" for every element through tm3_value; tm2_print_all
// "U[l,l', m]" for every element.
void tm3_print(int nmin, int N, const double* T);
void tm3_print_all(int nmin, int N, const double* T);
void tm2_print_all(int L, const double* T);
// Prints T T^T element by element (the packed half), marking with " <--"
// those further than 0.001 from the identity; returns how many were marked.
int tm3_ortho_test(int N, const double* T);
int tm2_ortho_test(int L, const double* T);

// ---- self-test drivers ----
// Spherical waves: beta from the fixed point below, then R from
// int(57/beta) upwards (to 1000) until a test vector translated by R and
// back at degree 60 keeps less than 95% (or more than 105%) of its squared
// norm; prints the table and the break point. jlr_sw2_break runs it at
// degree L (R from int((L-3)/beta)) and returns the break distance, 0 when
// none.
void jlr_sw2_test();
double jlr_sw2_break(int L);
// Nodeless GTOs of scale lambda (fixed point below) at degree 20, R = 0.1
// to 10 in steps of 0.1: the first R where the vector translated (or
// translated and back) changes its squared norm by more than 5%.
// jlr_gt2_break runs it at degree L, returns the break distance (0 when
// none) and stores 1 (translation) or 2 (translation and back) in *kind.
void jlr_gt2_test();
double jlr_gt2_break(int L, int* kind);
// tm2_ortho_test of the degree-40 spherical-wave matrix (R = 5, beta =
// 0.5283) and nodeless-GTO matrix (R = 1, h = 10).
void jlr_sw2_ortho();
void jlr_gt2_ortho();
