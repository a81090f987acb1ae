#include "output/trel_kchains.h"

#include <algorithm>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_fit.h"
#include "output/trel_pair_names.h"
#include "output/trel_run_options.h"
#include "output/trel_print.h"
#include "structure/zam_pdb.h"

namespace {

const char* const kRule =
    "#===============================================================================\n";

const char* text(const char* s) { return s ? s : ""; }

// A maximal stretch of columns whose residues on one side lie in one chain.
struct Run {
  char letter;
  int count;
  int first, last;  // columns
};

char chain_letter(const _pdb_image* image, int i) {
  if (!image || !image->residues || i < 0 || i >= image->nres) return '_';
  const char c = image->residues[i].chain[0];
  return c == ' ' || c == 0 ? '_' : c;
}

std::vector<Run> chain_runs(const _trel_align* a, const _pdb_image* image, bool query) {
  std::vector<Run> runs;
  for (int c = 0; c < a->ncolumns; c++) {
    const int r = query ? a->columns[c].qres : a->columns[c].tres;
    if (r == -1) continue;
    const char letter = chain_letter(image, r);
    if (runs.empty() || runs.back().letter != letter) {
      runs.push_back({letter, 1, c, c});
    } else {
      runs.back().count++;
      runs.back().last = c;
    }
  }
  return runs;
}

bool overlap(const Run& q, const Run& t) { return q.first <= t.last && t.first <= q.last; }

}  // namespace

void trel_writeAlignChains(const _trel_align* align, const _pdb_image* query,
                           const _pdb_image* target, const char* /*query_suffix*/,
                           const char* target_suffix, const char* folder, Matrix3D /*tf*/,
                           const _trel_options* options) {
  if (!align || !query || !target || !options || !options->write_kchains) return;
  const std::string name =
      std::string(text(folder)) + trel_pairNames(query->name, target->name, "", target_suffix).file(".kchains");
  _trel_text* out = trel_openText(name.c_str());
  if (!out) return;
  const std::vector<Run> qruns = chain_runs(align, query, true);
  const std::vector<Run> truns = chain_runs(align, target, false);
  int contacts = 0;
  for (const Run& q : qruns)
    for (const Run& t : truns) contacts += overlap(q, t);

  trel_putText(out, kRule);
  trel_printText(out, "#Query:          %s\n", text(query->name));
  trel_printText(out, "#Target:         %s\n", text(target->name));
  trel_printText(out, "#No. Qchains:    %d\n", (int)qruns.size());
  for (const Run& q : qruns) trel_printText(out, "#Qchain:         %c  %d\n", q.letter, q.count);
  trel_printText(out, "#No. Tchains:    %d\n", (int)truns.size());
  for (const Run& t : truns) trel_printText(out, "#Tchain:         %c  %d\n", t.letter, t.count);
  trel_printText(out, "#No. QTpairs:    %d\n", (int)(qruns.size() * truns.size()));
  trel_printText(out, "#No. QTcontacts: %d\n", contacts);
  trel_putText(out, kRule);
  trel_putText(out, "#  Q  T  Npairs       K-Sum       G-Sum   K-Score   G-Score  TM-Score\n");
  trel_putText(out, kRule);

  std::vector<double> d2;
  for (const Run& q : qruns) {
    for (const Run& t : truns) {
      int npairs = 0;
      float ksum = 0, gsum = 0, kscore = 0, gscore = 0, tmscore = 0;
      if (overlap(q, t)) {
        d2.clear();
        for (int c = std::max(q.first, t.first); c <= std::min(q.last, t.last); c++) {
          const _trel_a_column& col = align->columns[c];
          if (col.qres == -1 || col.tres == -1) continue;
          npairs++;
          ksum += col.kscore;
          gsum += col.gscore;
          d2.push_back(col.d2);
        }
        const int L = std::min(q.count, t.count);
        kscore = ksum / (float)L;
        gscore = gsum / (float)L;
        tmscore = npairs ? trel_TscoreAlign(q.count, t.count, npairs, d2.data()) : 0.0f;
      }
      trel_printText(out, "   %c  %c  %6d  %10.4f  %10.4f  %8.4f  %8.4f  %8.4f\n", q.letter,
                     t.letter, npairs, ksum, gsum, kscore, gscore, tmscore);
    }
  }
  trel_closeText(out);
}
