// The coupling-coefficient comparison drivers and their working storage.
#include <cmath>

#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "specfun/yib_shared.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib_check.h"
#include "specfun/zam_yib_num.h"

namespace {

using yib_shared::DefaultPrecision;
using yib_shared::ld_of;

constexpr int kScratch = 12;
constexpr int kRefBits = 320;  // precision of the reference of method 5

long double* ld_array(int64_t n) {
  return static_cast<long double*>(kget1B_0(n * static_cast<int64_t>(sizeof(long double))));
}

// The exact seed tables, made at first need.
void exact_seeds(_yib_work* w) {
  if (w->G0) return;
  w->G0 = yib_mpz_get(w->dim);
  w->C02q = yib_mpq_get(w->dim);
  yib_g0_mpz(w->J, w->parity, w->G0);
  yib_c02_mpq(w->J, w->parity, w->C02q);
}

// Z = G0 and Q = C02 / G0^2 exactly, at the first point of the m3 = 0 row.
void exact_start(_yib_work* w, int64_t at, int64_t first, mpz_t* Z, mpq_t* Q) {
  mpz_set(Z[first], w->G0[at]);
  mpq_set_z(Q[first], w->G0[at]);
  mpq_mul(Q[first], Q[first], Q[first]);
  mpq_div(Q[first], w->C02q[at], Q[first]);
}

// G as a signed 64-bit integer; false (after the message) when it does not fit.
bool fits_long(const _yib_work* w, mpz_srcptr g, int64_t* out) {
  if (!mpz_fits_slong_p(g)) {
    zam_msg("long int overflow for G0 when j_max = %d\n", w->J);
    return false;
  }
  *out = mpz_get_si(g);
  return true;
}

// The m3 = 0 row by the method's ladder over (m1, m2), then the other rows
// by its ladder over m3.
int64_t rows_from_zero(_yib_work* w, int method, int j1, int j2, int j3, int64_t at, int lo, int hi) {
  const int J = w->J;
  const int64_t row0 = (2 * J + 1) * static_cast<int64_t>(2 * J);
  const _m12ranges r0 = w->R[2 * J];
  const int64_t first = row0 + J + r0.m2_first;
  const long double c = w->C02[at];
  const bool more = lo != hi;
  int64_t n = 0;
  switch (method) {
    case 0:
      n = yib_ladder_m1m2_dbl(J, j1, j2, j3, r0, c, w->Z + row0, w->Q + row0, w->V + row0);
      if (more) n += yib_ladder_m3_dbl(J, j1, j2, j3, lo, hi, w->R, c, w->Z, w->Q, w->V);
      break;
    case 1:
      n = yib_laddersq_m1m2_dbl(J, j1, j2, j3, r0, c, w->Z + row0, w->Q + row0, w->V + row0);
      if (more) n += yib_laddersq_m3_dbl(J, j1, j2, j3, lo, hi, w->R, w->V);
      break;
    case 2:
      n = yib_ladder_m1m2_mpf(J, j1, j2, j3, r0, c, w->tf, w->FZ + row0, w->FQ + row0, w->V + row0);
      if (more) n += yib_ladder_m3_mpf(J, j1, j2, j3, lo, hi, w->R, w->tf, c, w->FZ, w->FQ, w->V);
      break;
    case 3:
      n = yib_laddersq_m1m2_mpf(J, j1, j2, j3, r0, c, w->tf, w->FZ + row0, w->FQ + row0, w->V + row0);
      if (more) n += yib_laddersq_m3_mpf(J, j1, j2, j3, lo, hi, w->R, w->tf, c, w->FZ, w->FQ, w->V);
      break;
    case 4: {
      mpz_set(w->GZ[first], w->G0[at]);
      const long double g = ld_of(w->G0[at]);
      w->Q[first] = c / (g * g);
      n = yib_ladder_m1m2_mpz(J, j1, j2, j3, r0, w->tz, w->GZ + row0, w->Q + row0, w->V + row0);
      if (more) n += yib_ladder_m3_mpz(J, j1, j2, j3, lo, hi, w->R, w->tz, w->GZ, w->Q, w->V);
      break;
    }
    case 5:
      exact_start(w, at, first, w->GZ, w->GQ);
      n = yib_ladder_m1m2_mpq(J, j1, j2, j3, r0, w->tz, w->tq, w->GZ + row0, w->GQ + row0, w->V + row0);
      if (more) n += yib_ladder_m3_mpq(J, j1, j2, j3, lo, hi, w->R, w->tz, w->tq, w->GZ, w->GQ, w->V);
      break;
    case 6: {
      int64_t g = 0;
      if (!fits_long(w, w->G0[at], &g)) return -1;
      w->ZL[first] = g;
      const long double gl = static_cast<long double>(g);
      w->Q[first] = c * (1 / (gl * gl));
      n = yib_ladder_m1m2_long(J, j1, j2, j3, r0, w->ZL + row0, w->Q + row0, w->V + row0);
      if (n >= 0 && more) {
        const int64_t m = yib_ladder_m3_long(J, j1, j2, j3, lo, hi, w->R, w->ZL, w->Q, w->V);
        n = m < 0 ? -1 : n + m;
      }
      break;
    }
    case 7:
      n = yib_m1m2m3_fac(J, j1, j2, j3, lo, hi, w->R, w->V);
      break;
    default:
      break;
  }
  return n;
}

// The top of every row first, then each row's own ladder over (m1, m2).
int64_t rows_from_tops(_yib_work* w, int method, int j1, int j2, int j3, int64_t at, int lo, int hi) {
  const int J = w->J, c0 = 2 * J;
  const int64_t W = 2 * J + 1;
  if (method == 7) return yib_m1m2m3_fac(J, j1, j2, j3, lo, hi, w->R, w->V);
  if (method < 0 || method > 7) return 0;
  int64_t n = 0;
  switch (method) {
    case 0:
    case 1:
      w->TD[c0] = w->C02[at];
      n = yib_top_m3_dbl(J, j1, j2, j3, lo, hi, w->TD);
      break;
    case 2:
    case 3:
      if (!w->C02f) {
        w->C02f = yib_mpf_get(w->dim);
        yib_c02_mpf(J, w->parity, w->C02f);
      }
      mpf_set(w->TF[c0], w->C02f[at]);
      n = yib_top_m3_mpf(J, j1, j2, j3, lo, hi, w->tf, w->TF);
      break;
    case 5:
      mpz_set(w->TG[c0], w->G0[at]);
      mpq_set_z(w->TR[c0], w->G0[at]);
      mpq_mul(w->TR[c0], w->TR[c0], w->TR[c0]);
      mpq_div(w->TR[c0], w->C02q[at], w->TR[c0]);
      n = yib_top_m3_mpq(J, j1, j2, j3, lo, hi, w->tz, w->tq, w->TG, w->TR);
      break;
    default: {  // 4 and 6: integer tops with long-double norms
      mpz_set(w->TG[c0], w->G0[at]);
      const long double g = ld_of(w->G0[at]);
      w->TD[c0] = method == 6 ? w->C02[at] * (1 / (g * g)) : w->C02[at] / (g * g);
      n = yib_top_m3_mpz(J, j1, j2, j3, lo, hi, w->tz, w->TG, w->TD);
      break;
    }
  }
  for (int m3 = lo; m3 <= hi; m3++) {
    const _m12ranges r = w->R[c0 + m3];
    const int64_t row = W * (c0 + m3), first = row + J + r.m2_first;
    const int t = c0 + m3;
    switch (method) {
      case 0:
        n += yib_ladder_m1m2_dbl(J, j1, j2, j3, r, w->TD[t], w->Z + row, w->Q + row, w->V + row);
        break;
      case 1:
        n += yib_laddersq_m1m2_dbl(J, j1, j2, j3, r, w->TD[t], w->Z + row, w->Q + row, w->V + row);
        break;
      case 2:
        n += yib_ladder_m1m2_mpf(J, j1, j2, j3, r, ld_of(w->TF[t]), w->tf, w->FZ + row, w->FQ + row, w->V + row);
        break;
      case 3:
        n += yib_laddersq_m1m2_mpf(J, j1, j2, j3, r, ld_of(w->TF[t]), w->tf, w->FZ + row, w->FQ + row, w->V + row);
        break;
      case 4:
        mpz_set(w->GZ[first], w->TG[t]);
        w->Q[first] = w->TD[t];
        n += yib_ladder_m1m2_mpz(J, j1, j2, j3, r, w->tz, w->GZ + row, w->Q + row, w->V + row);
        break;
      case 5:
        mpz_set(w->GZ[first], w->TG[t]);
        mpq_set(w->GQ[first], w->TR[t]);
        n += yib_ladder_m1m2_mpq(J, j1, j2, j3, r, w->tz, w->tq, w->GZ + row, w->GQ + row, w->V + row);
        break;
      case 6:
        if (!fits_long(w, w->TG[t], &w->ZL[first])) return -1;
        w->Q[first] = w->TD[t];
        {
          const int64_t m = yib_ladder_m1m2_long(J, j1, j2, j3, r, w->ZL + row, w->Q + row, w->V + row);
          if (m < 0) return -1;
          n += m;
        }
        break;
    }
  }
  return n;
}

const char* method_line(int method, bool tops) {
  switch (method) {
    case 0: return tops ? "Doing it with long double (word=%d)\n" : "Doing it with double (word=%d)\n";
    case 1: return tops ? "Doing it with long double + sqrt (word=%d)\n" : "Doing it with double + sqrt (word=%d)\n";
    case 2: return "Doing it with MPF (bits=%d)\n";
    case 3: return "Doing it with MPF + SQRT (bits=%d)\n";
    case 4: return "Doing it with MPZ for exact recursion\n";
    case 5: return "Doing it with MPZ + MPQ exact recursion + normalisation\n";
    case 6: return "Doing it with LONG exact recursion + normalisation\n";
    case 7: return "Doing it with Symbolic factorials\n";
    default: return nullptr;
  }
}

// The method and reference lines that open a driver's run.
void opening_lines(int method, bool tops) {
  const char* line = method_line(method, tops);
  if (method == 0 || method == 1)
    zam_msg(line, static_cast<int>(sizeof(long double)));
  else if (method == 2 || method == 3)
    zam_msg(line, static_cast<int>(mpf_get_default_prec()));
  else if (line)
    zam_msg("%s", line);
  if (method == 5)
    zam_msg("Using MPF (%d bits) as reference method...\n", kRefBits);
  else
    zam_msg("Using MPZ + MPQ as reference method...\n");
  zam_msg("\n");
}

// Largest differences and norm errors over a driver's run; all start at 0
// with indices 0.
struct Trackers {
  int at[6] = {0, 0, 0, 0, 0, 0};
  long double value = 0, ref = 0, err = 0;
  int norm_at[4] = {0, 0, 0, 0}, ref_at[4] = {0, 0, 0, 0};
  long double norm = 0, ref_norm = 0;
};

// Compares the rows hi..lo of the triple, printing every coefficient and
// each row's norms.
void compare_rows(const _yib_work* w, int j1, int j2, int j3, int lo, int hi, Trackers* t) {
  const int J = w->J;
  const int64_t W = 2 * J + 1;
  for (int m3 = hi; m3 >= lo; m3--) {
    const _m12ranges r = w->R[2 * J + m3];
    const int64_t row = W * (2 * J + m3) + J;
    long double S = 0, Rs = 0;
    for (int m2 = r.m2_first; m2 <= r.m2_last; m2++) {
      const int m1 = m3 - m2;
      const long double v = w->V[row + m2], ref = w->REF[row + m2];
      const long double e = yib_error(v, ref);
      zam_msg("C[%3d,%3d,%3d; %3d,%3d,%3d] = %25.18Le, REF = %25.18Le, REL = %25.18Le\n", j1, j2, j3, m1, m2, m3, v,
              ref, e);
      if (e > t->err) {
        const int at[6] = {j1, j2, j3, m1, m2, m3};
        for (int i = 0; i < 6; i++) t->at[i] = at[i];
        t->value = v;
        t->ref = ref;
        t->err = e;
      }
      S += v * v;
      Rs += ref * ref;
    }
    zam_msg("                       NORM = %25.18Le, REF = %25.18Le\n", std::sqrt(S), std::sqrt(Rs));
    const int at[4] = {j1, j2, j3, m3};
    if (std::fabs(1 - S) > t->norm) {
      t->norm = std::fabs(1 - S);
      for (int i = 0; i < 4; i++) t->norm_at[i] = at[i];
    }
    if (std::fabs(1 - Rs) > t->ref_norm) {
      t->ref_norm = std::fabs(1 - Rs);
      for (int i = 0; i < 4; i++) t->ref_at[i] = at[i];
    }
  }
}

// One driver: the triples with j1 from first_j1 to J, each by the method and
// by the reference, compared row by row.
int64_t run_driver(int J, int code, int stride2, int method, bool tops, int first_j1) {
  _yib_work w;
  yib_work_init(&w, J, stride2);
  if (!tops && method == 6 && J >= 16) method = 4;
  opening_lines(method, tops);
  if (method >= 4 && method <= 6) exact_seeds(&w);
  Trackers t;
  int64_t count = 0;
  int failed = 0;
  const double t0 = zam_get_time();
  yib_shared::for_triples(J, stride2, [&](int j1, int j2, int j3, int64_t at) {
    if (j1 < first_j1) return;
    int lo = 0, hi = 0;
    yib_work_ranges(&w, j1, j2, j3, code, &lo, &hi);
    const int64_t n = yib_work_triple(&w, method, tops, j1, j2, j3, at, lo, hi);
    if (n < 0) {
      failed++;
      return;
    }
    count += n;
    yib_work_reference(&w, method, j1, j2, j3, at, lo, hi);
    compare_rows(&w, j1, j2, j3, lo, hi, &t);
  });
  const double dt = zam_get_time() - t0;
  const long c = static_cast<long>(count);
  // The two drivers word their summaries a little differently.
  zam_msg(tops ? "Done %ld (m1,m2) ladder recursions at m3=%d to J = %d in %.4fs (%.2f/s)\n"
               : "Done %ld (m1,m2) ladder recursions to m3=%d to J = %d in %.4fs (%.2f/s)\n",
          c, code, J, dt, c / dt);
  zam_msg(tops ? "Largest diff at: C[%3d,%3d,%3d; %3d,%3d,%3d] = %25.18Le, REF = %25.18Le, REL = %25.18Le\n"
               : "Largest diff at C[%3d,%3d,%3d; %3d,%3d,%3d] = %25.18Le, REF = %25.18Le, REL = %25.18Le\n",
          t.at[0], t.at[1], t.at[2], t.at[3], t.at[4], t.at[5], t.value, t.ref, t.err);
  zam_msg(tops ? "Largest norm error:     [%3d,%3d,%3d; %3d] = %6.1Le (log = %8.2Le) \n"
               : "Largest norm error:     [%3d,%3d,%3d; %3d] = %6.1Le (log10 = %8.2Le) \n",
          t.norm_at[0], t.norm_at[1], t.norm_at[2], t.norm_at[3], t.norm, std::log10(t.norm));
  zam_msg(tops ? "Largest REF norm error: [%3d,%3d,%3d; %3d] = %6.1Le (log = %8.2Le) \n"
               : "Largest REF norm error: [%3d,%3d,%3d; %3d] = %6.1Le (log10 = %8.2Le) \n",
          t.ref_at[0], t.ref_at[1], t.ref_at[2], t.ref_at[3], t.ref_norm, std::log10(t.ref_norm));
  if (failed) zam_msg("Skipped %d triples whose values do not fit 64 bits\n", failed);
  yib_work_free(&w);
  return count;
}

// One line per triple: the root of its C02 entry (root(at)) beside the Racah
// coefficient <j1 j2; j2, -j2 | j3 0> and their relative error.
template <class Root>
void diff_c02(int J, int stride2, Root root) {
  if (J < 0) return;
  mpf_t f;
  mpf_init(f);
  auto ref_of = [&](int j1, int j2, int j3) {
    mp_wcc(j1, j2, j3, j2, -j2, 0, f);
    return ld_of(f);
  };
  int worst[3] = {0, 0, 0};
  int64_t worst_at = 0;
  long double worst_err = 0;
  yib_shared::for_triples(J, stride2, [&](int j1, int j2, int j3, int64_t at) {
    const long double c = root(at), ref = ref_of(j1, j2, j3);
    const long double e = ref == 0 ? 0 : std::fabs(c - ref) / std::fabs(ref);
    zam_msg("C2[%3d,%3d,%3d; %3d,%3d,%3d] = %25.18Le, REF = %25.18Le, REL = %25.18Le\n", j1, j2, j3, j2, -j2, 0, c,
            ref, e);
    if (e > worst_err) {
      worst[0] = j1;
      worst[1] = j2;
      worst[2] = j3;
      worst_at = at;
      worst_err = e;
    }
  });
  // With no error above 0 the first triple, (0, 0, 0), stands for them all.
  const long double c = root(worst_at), ref = ref_of(worst[0], worst[1], worst[2]);
  zam_msg("Largest error at C[%3d,%3d,%3d] = %25.18Le, REF = %25.18Le, REL = %25.18Le\n", worst[0], worst[1], worst[2],
          c, ref, worst_err);
  mpf_clear(f);
}

}  // namespace

void yib_work_init(_yib_work* w, int J, int parity) {
  mp_setup();
  w->J = J;
  w->parity = parity;
  w->plane = static_cast<int64_t>(2 * J + 1) * (4 * J + 1);
  w->dim = yib_j1j2j3_dim(J, parity);
  w->tf = yib_mpf_get(kScratch);
  w->tz = yib_mpz_get(kScratch);
  w->tq = yib_mpq_get(kScratch);
  w->Z = ld_array(w->plane);
  w->Q = ld_array(w->plane);
  w->V = ld_array(w->plane);
  w->REF = ld_array(w->plane);
  w->ZL = static_cast<int64_t*>(kget1B_0(w->plane * static_cast<int64_t>(sizeof(int64_t))));
  w->FZ = yib_mpf_get(w->plane);
  w->FQ = yib_mpf_get(w->plane);
  w->GZ = yib_mpz_get(w->plane);
  w->GQ = yib_mpq_get(w->plane);
  {
    const DefaultPrecision wide(kRefBits);
    w->rf = yib_mpf_get(kScratch);
    w->RZ = yib_mpf_get(w->plane);
    w->RQ = yib_mpf_get(w->plane);
  }
  w->R = static_cast<_m12ranges*>(kget1B_0((4 * J + 1) * static_cast<int64_t>(sizeof(_m12ranges))));
  w->TD = ld_array(4 * J + 1);
  w->TF = yib_mpf_get(4 * J + 1);
  w->TG = yib_mpz_get(4 * J + 1);
  w->TR = yib_mpq_get(4 * J + 1);
  w->C02 = ld_array(w->dim);
  yib_c02_dbl(J, parity, w->C02);
  w->C02f = nullptr;
  w->G0 = nullptr;
  w->C02q = nullptr;
}

void yib_work_free(_yib_work* w) {
  yib_mpf_free(w->tf, kScratch);
  yib_mpz_free(w->tz, kScratch);
  yib_mpq_free(w->tq, kScratch);
  kfree(w->Z);
  kfree(w->Q);
  kfree(w->V);
  kfree(w->REF);
  kfree(w->ZL);
  yib_mpf_free(w->FZ, w->plane);
  yib_mpf_free(w->FQ, w->plane);
  yib_mpz_free(w->GZ, w->plane);
  yib_mpq_free(w->GQ, w->plane);
  yib_mpf_free(w->rf, kScratch);
  yib_mpf_free(w->RZ, w->plane);
  yib_mpf_free(w->RQ, w->plane);
  kfree(w->R);
  kfree(w->TD);
  yib_mpf_free(w->TF, 4 * w->J + 1);
  yib_mpz_free(w->TG, 4 * w->J + 1);
  yib_mpq_free(w->TR, 4 * w->J + 1);
  kfree(w->C02);
  yib_mpf_free(w->C02f, w->dim);
  yib_mpz_free(w->G0, w->dim);
  yib_mpq_free(w->C02q, w->dim);
  *w = _yib_work{};
}

void yib_work_ranges(_yib_work* w, int j1, int j2, int j3, int code, int* lo, int* hi) {
  const _m3ranges r3 = setup_m3ranges(j1, j2, j3, code, lo, hi);
  for (int m3 = *hi; m3 >= *lo; m3--) w->R[2 * w->J + m3] = m12ranges(j1, j2, j3, m3, r3);
}

int64_t yib_work_triple(_yib_work* w, int method, int tops, int j1, int j2, int j3, int64_t at, int lo, int hi) {
  if (method >= 4 && method <= 6) exact_seeds(w);
  return tops ? rows_from_tops(w, method, j1, j2, j3, at, lo, hi) : rows_from_zero(w, method, j1, j2, j3, at, lo, hi);
}

void yib_work_reference(_yib_work* w, int method, int j1, int j2, int j3, int64_t at, int lo, int hi) {
  const int J = w->J;
  const int64_t row0 = (2 * J + 1) * static_cast<int64_t>(2 * J);
  const _m12ranges r0 = w->R[2 * J];
  if (method == 5) {
    const DefaultPrecision wide(kRefBits);
    const long double c = w->C02[at];
    yib_ladder_m1m2_mpf(J, j1, j2, j3, r0, c, w->rf, w->RZ + row0, w->RQ + row0, w->REF + row0);
    if (lo != hi) yib_laddersq_m3_mpf(J, j1, j2, j3, lo, hi, w->R, w->rf, c, w->RZ, w->RQ, w->REF);
    return;
  }
  exact_seeds(w);
  exact_start(w, at, row0 + J + r0.m2_first, w->GZ, w->GQ);
  yib_ladder_m1m2_mpq(J, j1, j2, j3, r0, w->tz, w->tq, w->GZ + row0, w->GQ + row0, w->REF + row0);
  if (lo != hi) yib_ladder_m3_mpq(J, j1, j2, j3, lo, hi, w->R, w->tz, w->tq, w->GZ, w->GQ, w->REF);
}

int64_t yib_m1m2m3(int J, int m3, int stride2, int method) { return run_driver(J, m3, stride2, method, false, 21); }

int64_t yib_m3m1m2(int J, int m3, int stride2, int method) {
  zam_msg("yib_m3m1m2() here with j_max=%d, m3=%d, stride2=%d, l_method=%d\n", J, m3, stride2, method);
  return run_driver(J, m3, stride2, method, true, J - 10 > 0 ? J - 10 : 0);
}

void diff_c02_dbl(int J, int stride2, const long double* C02) {
  diff_c02(J, stride2, [&](int64_t at) { return std::sqrt(C02[at]); });
}

void diff_c02_mpf(int J, int stride2, mpf_t* C02) {
  mpf_t r;
  mpf_init(r);
  diff_c02(J, stride2, [&](int64_t at) {
    mpf_sqrt(r, C02[at]);
    return ld_of(r);
  });
  mpf_clear(r);
}
