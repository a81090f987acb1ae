// Walks over the packed layout of z-translation matrices, shared by the
// builders and applies of the translation code: the blocks in storage order
// with their positions, and the sign that the coupled degree k gives a term.
#pragma once

#include <gmp.h>

#include <algorithm>

#include "harmonics/zam_tm.h"

// f(n, n', l, l', pos) for every stored block (n' <= n) of an order-N matrix
// in storage order; pos is the position of its m = 0 element, and the block
// holds m = 0..min(l, l').
template <class F>
inline void tm3_blocks(int N, F&& f) {
  int pos = 0;
  for (int n = 1; n <= N; n++)
    for (int np = 1; np <= n; np++)
      for (int l = 0; l < n; l++)
        for (int lp = 0; lp < np; lp++) {
          f(n, np, l, lp, pos);
          pos += std::min(l, lp) + 1;
        }
}

// True when the term of degree k of element (l, l', m) enters with a minus:
// (-1)^((k + l - l')/2 + l + l' + m), k running over |l - l'|..l + l' with
// l + l' + k even.
inline bool tm_term_negative(int k, int l, int lp, int m) {
  return (((k + l - lp) / 2 + l + lp + m) & 1) != 0;
}

// acc[m] = sum over k of the signed coupling terms A(l, l', k, m) s(k) for
// m = 0..min(l, l'), in long double; s(k) gives the radial or Bessel factor
// of degree k. The coupling table must cover max(l, l').
template <class S>
inline void tm_couple(int l, int lp, S&& s, long double* acc) {
  const int mm = std::min(l, lp);
  for (int m = 0; m <= mm; m++) acc[m] = 0.0L;
  for (int k = l > lp ? l - lp : lp - l; k <= l + lp; k += 2) {
    const long double v = s(k);
    for (int m = 0; m <= mm; m++) {
      const long double t = mpf_get_d(acc_value(l, lp, k, m)) * v;
      acc[m] += tm_term_negative(k, l, lp, m) ? -t : t;
    }
  }
}

// The same in multi-precision floats: s(k) returns the factor as an
// mpf_srcptr; acc holds min(l, l') + 1 initialised floats, t is scratch.
template <class S>
inline void tm_couple_mpf(int l, int lp, S&& s, mpf_t* acc, mpf_ptr t) {
  const int mm = std::min(l, lp);
  for (int m = 0; m <= mm; m++) mpf_set_ui(acc[m], 0);
  for (int k = l > lp ? l - lp : lp - l; k <= l + lp; k += 2) {
    mpf_srcptr v = s(k);
    for (int m = 0; m <= mm; m++) {
      mpf_mul(t, acc_value(l, lp, k, m), v);
      if (tm_term_negative(k, l, lp, m))
        mpf_sub(acc[m], acc[m], t);
      else
        mpf_add(acc[m], acc[m], t);
    }
  }
}

// Negates the elements with l + l' odd of a packed matrix of any element
// type: the matrix for the opposite distance.
template <class V>
inline void tm3_flip(int N, V* T) {
  tm3_blocks(N, [&](int, int, int l, int lp, int pos) {
    if ((l + lp) & 1)
      for (int m = 0; m <= std::min(l, lp); m++) T[pos + m] = -T[pos + m];
  });
}
