#include "driver/zam_roc.h"

#include <string>
#include <vector>

#include "output/trel_print.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_cath.h"
#include "store/trel_thing.h"

namespace {

std::string file_name(const char* folder, const char* name, const char* suffix, const char* ext) {
  return std::string(folder ? folder : "") + (name ? name : "") + (suffix ? suffix : "") + ext;
}

// Linear interpolation of y at x between two curve points of different x.
float interpolate(const _zam_roc* roc, int a, int b, float x) {
  const float x0 = roc->fpr[a], x1 = roc->fpr[b];
  if (x1 == x0) return roc->tpr[b];
  return roc->tpr[a] + (roc->tpr[b] - roc->tpr[a]) * (x - x0) / (x1 - x0);
}

}  // namespace

_zam_roc* zam_makeROC(int n, const int* tpcode) {
  if (n < 0 || !tpcode) n = 0;
  auto* roc = static_cast<_zam_roc*>(kget1B_0(sizeof(_zam_roc)));
  roc->n = n;
  roc->tpr = kget1F_0(n + 2);
  roc->fpr = kget1F_0(n + 2);
  roc->positive = static_cast<unsigned char*>(kget1B_0(n + 2));
  for (int r = 0; r < n; r++) {
    roc->positive[r] = tpcode[r] != 0;
    roc->npos += roc->positive[r];
  }
  roc->nneg = n - roc->npos < 1 ? 1 : n - roc->npos;
  // Without a positive item the true-positive fraction has no value; the
  // curve then stays at zero: the ranking found nothing, so its area is 0.
  const float pinv = roc->npos == 0 ? 0.0f : 1.0f / (float)roc->npos;
  const float ninv = 1.0f / (float)roc->nneg;
  int points = 1, tp = 0, fp = 0;
  for (int r = 0; r < n; r++) {
    if (roc->positive[r]) tp++;
    else fp++;
    const float x = (float)fp * ninv;
    const float y = (float)tp * pinv;
    // Positives met before any negative raise the first point; after that
    // every item gets its own point, so a vertical step keeps its corner.
    if (fp == 0) {
      roc->tpr[points - 1] = y;
    } else {
      roc->fpr[points] = x;
      roc->tpr[points] = y;
      points++;
    }
  }
  if (fp == roc->nneg) {
    roc->npoints = points;
  } else {
    // No negative item at all (or nothing ranked): a perfect curve.
    roc->npoints = 2;
    roc->fpr[1] = 1.0f;
    roc->tpr[1] = 1.0f;
  }
  return roc;
}

float zam_aucROC(const _zam_roc* roc) {
  if (!roc) return 1.0f;
  if (roc->npos == 0 && roc->n > 0) return 0.0f;
  if (roc->npoints <= 2) return 1.0f;
  float auc = 0.0f;
  for (int j = 0; j + 1 < roc->npoints; j++) {
    const float x0 = roc->fpr[j], x1 = roc->fpr[j + 1];
    if (x0 == x1) continue;
    const float y0 = roc->tpr[j], y1 = roc->tpr[j + 1];
    auc += (float)(((double)y0 + 0.5 * ((double)y1 - y0)) * ((double)x1 - x0));
  }
  return auc;
}

int zam_sampleROC(const _zam_roc* roc, int m, float* x, float* y, float* area) {
  const int mm = m < 2 ? 2 : m;
  const float step = 1.0f / (float)mm;
  const bool nothing = roc && roc->npos == 0 && roc->n > 0;
  for (int i = 0; i <= mm - 2; i++) {
    x[i] = (float)i * step;
    if (nothing) {
      y[i] = 0.0f;
    } else if (!roc || roc->npoints <= 2) {
      y[i] = 1.0f;
    } else if (x[i] < roc->fpr[1]) {
      y[i] = interpolate(roc, 0, 1, x[i]);
    } else {
      int j = 2;
      while (j < roc->npoints && !(roc->fpr[j] > x[i])) j++;
      y[i] = j < roc->npoints ? interpolate(roc, j - 1, j, x[i]) : roc->tpr[roc->npoints - 1];
    }
  }
  // The curve ends at (1, 1), except for a ranking without positives, whose
  // curve and area stay zero so that it lowers the mean curve of a run.
  x[mm - 1] = 1.0f;
  y[mm - 1] = nothing ? 0.0f : 1.0f;
  for (int i = 0; i <= mm - 2; i++) area[i] = (y[i] + 0.5f * (y[i + 1] - y[i])) * step;
  area[mm - 1] = nothing ? 0.0f : (y[mm - 1] + 0.5f * (1.0f - y[mm - 1])) * step;
  return mm - 1;
}

void zam_freeROC(_zam_roc* roc) {
  if (!roc) return;
  kfree(roc->tpr);
  kfree(roc->fpr);
  kfree(roc->positive);
  kfree(roc);
}

int trel_countCathCodes(const int* code, int n, const _trel_thing* const* things) {
  if (!code || !things) return 0;
  int count = 0;
  for (int i = 0; i < n; i++) {
    const int* c = trel_thingCode(things[i]);
    if (c[0] == code[0] && c[1] == code[1] && c[2] == code[2] && c[3] == code[3]) count++;
  }
  return count;
}

int trel_setupROC(const _trel_thing* query, const _trel_thing* const* targets, int nt,
                  const int* order, int* tpcode) {
  if (nt < 1 || !targets || !order || !tpcode) return 0;
  int reference[4];
  const int* qcode = trel_thingCode(query);
  const int* source = trel_compareCath(qcode, TREL_NO_CODE) == 1 ? trel_thingCode(targets[order[nt - 1]]) : qcode;
  for (int k = 0; k < 4; k++) reference[k] = source[k];
  // One pass over the targets in their own order (their records lie in
  // that order in memory) counts the exact matches and notes each target's
  // family test; the ranking then only looks the tests up.
  std::vector<int> family(static_cast<size_t>(nt));
  int npos = 0;
  for (int t = 0; t < nt; t++) {
    const int* c = trel_thingCode(targets[t]);
    if (c[0] == reference[0] && c[1] == reference[1] && c[2] == reference[2] && c[3] == reference[3])
      npos++;
    family[t] = trel_compareCath(reference, c);
  }
  if (npos >= nt) {
    for (int r = 0; r < nt; r++) tpcode[r] = 1;
    return nt;
  }
  for (int r = 0; r < nt; r++) tpcode[r] = family[order[nt - 1 - r]];
  return npos;
}

void trel_addROC(int m, float weight, float auc, float* sum_auc, const float* x, const float* y,
                 const float* area, float* sum_x, float* sum_y, float* sum_area) {
  if (sum_auc) *sum_auc += weight * auc;
  for (int i = 0; i < m; i++) {
    sum_x[i] += weight * x[i];
    sum_y[i] += weight * y[i];
    sum_area[i] += weight * area[i];
  }
}

int trel_writeROC(const char* folder, const char* name, const char* suffix, int nt, int npos,
                  int m, float /*auc*/, const float* x, const float* y, const float* area,
                  int nnopos) {
  const std::string file = file_name(folder, name, suffix, ".kroc");
  if (zam_debug > 0) zam_msg("Writing ROC file: %s\n", file.c_str());
  _trel_text* out = trel_openText(file.c_str());
  if (!out) return 0;
  const std::string rule = "#" + std::string(28, '=') + "\n";
  float auc5 = 0.0f, auc10 = 0.0f, auc100 = 0.0f;
  for (int i = 0; i < m / 20; i++) auc5 += area[i];
  for (int i = 0; i < m / 10; i++) auc10 += area[i];
  for (int i = 0; i < m; i++) auc100 += area[i];
  trel_putText(out, rule.c_str());
  trel_printText(out, "#query      =  %s\n", name ? name : "");
  trel_printText(out, "#targets    =  %d\n", nt);
  trel_printText(out, "#positives  =  %d\n", npos);
  trel_printText(out, "#points     =  %d\n", m);
  trel_printText(out, "#AUC   5!   = %9.6f\n", auc5);
  trel_printText(out, "#AUC  10!   = %9.6f\n", auc10);
  trel_printText(out, "#AUC 100!   = %9.6f\n", auc100);
  trel_putText(out, "#\n");
  trel_putText(out, "#  X=FPR     Y=TPR     AUC\n");
  trel_putText(out, rule.c_str());
  trel_putText(out, "#\n");
  for (int i = 0; i < m; i++) trel_printText(out, "%9.6f %9.6f %9.6f\n", x[i], y[i], area[i]);
  // After the data, so that readers taking header and rows by position still
  // find them where they always were.
  if (nnopos >= 0) trel_printText(out, "#nopositives=  %d\n", nnopos);
  return trel_closeText(out);
}

int trel_writeAUC(const char* folder, const char* name, const char* suffix, int nq,
                  const _trel_thing* const* queries, const float* auc, int nnopos) {
  const std::string file = file_name(folder, name, suffix, ".kauc");
  if (zam_debug > 0) zam_msg("Writing AUC file: %s\n", file.c_str());
  _trel_text* out = trel_openText(file.c_str());
  if (!out) return 0;
  float total = 0.0f;
  for (int q = 0; q < nq; q++) total += auc[q];
  trel_printText(out, "#  No. queries: %d\n", nq);
  trel_printText(out, "#  Average AUC: %.5f\n", nq > 0 ? total / (float)nq : 0.0f);
  trel_printText(out, "#  Total   AUC: %.5f\n", total);
  trel_putText(out, "#  AUC     QUERY\n");
  for (int q = 0; q < nq; q++) trel_printText(out, "%9.6f  %s\n", auc[q], trel_thingName(queries[q]));
  // After the rows, as in the aggregate ROC file: the header keeps its lines.
  trel_printText(out, "#  No positive: %d\n", nnopos);
  return trel_closeText(out);
}
