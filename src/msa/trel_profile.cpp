// Profile records: making and freeing them with the per-row views of their
// structure objects that the alignment engine reads; consensus columns and
// letters; and the steps that building, refinement and sequence rows share.
#include "msa/trel_msa.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_blosum62.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "align/trel_profile_frag.h"
#include "align/trel_trace.h"
#include "msa/trel_profile_core.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

// CA points are taken one per residue record (the first CA of each), so that
// points, trace records and residue records always share their index, even
// for a residue without a CA atom or with alternate CA atoms.
int fillProfileRow(_trel_profile* p, int r, _trel_thing* t) {
  _pdb_image* image = t ? trel_imageThing(t) : nullptr;
  if (!image) {
    zam_err("Structure %s has no structure image for the multiple alignment\n", t ? t->name : "(none)");
    return 0;
  }
  if (!t->trace.seg || t->trace.n != image->nres || image->nres < 1) {
    zam_err("Structure %s has no backbone trace of its %d residues for the multiple alignment\n",
            t->name, image->nres);
    return 0;
  }
  std::snprintf(p->names[r], TREL_PROFILE_NAME, "%s", trel_thingName(t));
  p->things[r] = t;
  p->segs[r] = t->trace.seg;
  p->lengths[r] = image->nres;
  kfree(p->points[r]);
  p->points[r] = (Point3D*)kget1B((int64_t)image->nres * (int64_t)sizeof(Point3D));
  for (int k = 0; k < image->nres; k++) p->points[r][k] = zam_ptPdbResidue(image, k);
  return 1;
}

_trel_profile* trel_initProfile(const char* name, _trel_thing* pivot, _trel_thing** members, int n,
                                int n_extra) {
  if (n < 0 || n_extra < 0) return nullptr;
  auto* p = (_trel_profile*)kget1B_0(sizeof(_trel_profile));
  p->n_rows = n + 1 + n_extra;
  p->n_struct = n;
  p->name = kdupS(name ? name : "");
  p->names = (char(*)[TREL_PROFILE_NAME])kget1C_0((int64_t)p->n_rows * TREL_PROFILE_NAME);
  p->things = (_trel_thing**)kget1B_0((int64_t)p->n_rows * (int64_t)sizeof(_trel_thing*));
  p->points = (Point3D**)kget1B_0((int64_t)p->n_rows * (int64_t)sizeof(Point3D*));
  p->segs = (const _trel_seg**)kget1B_0((int64_t)p->n_rows * (int64_t)sizeof(_trel_seg*));
  p->lengths = kget1I_0(p->n_rows);
  for (int r = 0; r <= n; r++) {
    if (!fillProfileRow(p, r, r == 0 ? pivot : members[r - 1])) {
      trel_freeProfile(p);
      return nullptr;
    }
    const int len = p->lengths[r];
    p->n_residues += len;
    p->min_length = r == 0 ? len : std::min(p->min_length, len);
    p->max_length = std::max(p->max_length, len);
  }
  p->core_range = kget1I_0(2 * (int64_t)p->max_length);
  p->core_depth = kget1I_0(p->max_length);
  p->core_size = kget1I_0(p->n_rows);
  return p;
}

void trel_freeProfile(_trel_profile* p) {
  if (!p) return;
  if (p->points)
    for (int r = 0; r < p->n_rows; r++) kfree(p->points[r]);
  kfree(p->points);
  kfree(p->name);
  kfree(p->names);
  kfree(p->things);
  kfree((void*)p->segs);
  kfree(p->lengths);
  kfree(p->cons_sse);
  kfree(p->cons_aa);
  kfree(p->core_range);
  kfree(p->core_depth);
  kfree(p->core_size);
  kfree(p->col_count);
  kfree(p->col_centre);
  kfree(p->induced);
  kfree(p->table);
  kfree(p);
}

// ---- Consensus columns and letters ---------------------------------------------

namespace {

struct TableView {
  int rows;
  int cols;
  const int* table;
};

TableView chosen_table(const _trel_profile* p, int which) {
  if (which < 0) return {p->n_struct + 1, p->n_induced, p->induced};
  return {p->n_used, p->n_cols, p->table};
}

}  // namespace

void trel_consProfile(_trel_profile* p, int which) {
  const TableView t = chosen_table(p, which);
  kfree(p->col_count);
  kfree(p->col_centre);
  p->col_count = kget1I_0(std::max(t.cols, 1));
  p->col_centre = (Point3D*)kget1B_0((int64_t)std::max(t.cols, 1) * (int64_t)sizeof(Point3D));
  for (int c = 0; c < t.cols; c++) {
    Point3D s = pt_zero();
    int count = 0;
    for (int r = 0; r < t.rows; r++) {
      const int k = t.table[(int64_t)c * t.rows + r];
      if (k < 0) continue;
      s = pt_add(s, p->points[r][k]);
      count++;
    }
    p->col_count[c] = count;
    p->col_centre[c] = count >= 2 ? pt_scale(s, 1.0 / count) : s;
  }
}

void trel_markProfile(_trel_profile* p, int which) {
  const TableView t = chosen_table(p, which);
  kfree(p->cons_sse);
  kfree(p->cons_aa);
  // One byte more than the columns: the rows read as NUL-terminated text too.
  p->cons_sse = kget1C_0(t.cols + 1);
  p->cons_aa = kget1C_0(t.cols + 1);
  for (int c = 0; c < t.cols; c++) {
    int na = 0, nb = 0, nc = 0;
    int letters[26] = {};
    for (int r = 0; r < t.rows; r++) {
      const int k = t.table[(int64_t)c * t.rows + r];
      if (k < 0) continue;
      const _trel_seg& s = p->segs[r][k];
      na += s.sse == 'A';
      nb += s.sse == 'B';
      nc += s.sse == 'C';
      if (s.code >= 'A' && s.code <= 'Z') letters[s.code - 'A']++;
    }
    p->cons_sse[c] = nc > std::max(na, nb) ? 'C' : (na < nb ? 'B' : 'A');
    int best = 0, top = 0, shared = 0;
    for (int l = 0; l < 26; l++) {
      if (letters[l] > top) {
        top = letters[l];
        best = l;
        shared = 0;
      } else if (letters[l] == top && top > 0) {
        best = l;  // ties go to the later letter
        shared = 1;
      }
    }
    char mark = ' ';
    if (top > 0 && top == t.rows) mark = char('A' + best);
    else if (top > 1 && !shared) mark = char('a' + best);
    p->cons_aa[c] = mark;
  }
}

float trel_getCscore(float d2, char letter, int skip_row, int column, const _trel_profile* p,
                     const int* table, int rows) {
  const float g = getGscore(d2);
  if (!(g_blosum > 0.0f)) return g;
  float b = 0.0f;
  int count = 0;
  for (int r = 0; r < rows; r++) {
    if (r == skip_row) continue;
    const int k = table[(int64_t)column * rows + r];
    if (k < 0) continue;
    b += trel_getBlosum62F((unsigned char)p->segs[r][k].code, (unsigned char)letter);
    count++;
  }
  if (count >= 2) b /= (float)count;
  return g * (1.0f - g_blosum) + g_blosum * b;
}

float trel_profilePscore(float m_score, int core) { return makeFscore(core, m_score, 0.0f); }

// ---- Shared steps --------------------------------------------------------------

int coreThreshold(int rows, int rule) {
  int t = (rows - 1) * rule / 100 + 1;
  if (t < 2) t = 2;
  if (t > rows) t = rows;
  return t;
}

namespace {

// Cursor of one alignment during induction.
bool inside(const _trel_align* a, int cursor) { return cursor >= 0 && cursor < a->ncolumns; }

bool atEnd(int n, _trel_align* const* aligns, const std::vector<int>& cursor) {
  for (int i = 0; i < n; i++)
    if (cursor[i] < aligns[i]->ncolumns) return false;
  return true;
}

int countLeadingGaps(const _trel_align* a) {
  int lead = 0;
  while (lead < a->ncolumns && a->columns[lead].qres < 0) lead++;
  return lead;
}

int countQueryGaps(int n, _trel_align* const* aligns, const std::vector<int>& cursor) {
  int gaps = 0;
  for (int i = 0; i < n; i++)
    gaps += !inside(aligns[i], cursor[i]) || aligns[i]->columns[cursor[i]].qres < 0;
  return gaps;
}

int countTargetGaps(int n, _trel_align* const* aligns, const std::vector<int>& cursor) {
  int gaps = 0;
  for (int i = 0; i < n; i++)
    gaps += !inside(aligns[i], cursor[i]) || aligns[i]->columns[cursor[i]].tres < 0;
  return gaps;
}

}  // namespace

int* induceProfile(int n, int pivot_length, _trel_align* const* aligns, int* n_columns) {
  const int rows = n + 1;
  std::vector<int> cursor(n);
  int lead = 0;
  for (int i = 0; i < n; i++) {
    cursor[i] = countLeadingGaps(aligns[i]);
    lead = std::max(lead, cursor[i]);
  }
  for (int i = 0; i < n; i++) cursor[i] -= lead;
  std::vector<int> out;
  out.reserve((size_t)std::max(pivot_length, 1) * rows);
  std::vector<int> col(rows);
  while (!atEnd(n, aligns, cursor)) {
    const int qgaps = countQueryGaps(n, aligns, cursor);
    if (qgaps == 0) {
      col[0] = aligns[0]->columns[cursor[0]].qres;
      for (int i = 0; i < n; i++) col[i + 1] = aligns[i]->columns[cursor[i]++].tres;
    } else if (qgaps == n) {
      const bool any = countTargetGaps(n, aligns, cursor) < n;
      col[0] = -1;
      for (int i = 0; i < n; i++) {
        col[i + 1] = inside(aligns[i], cursor[i]) ? aligns[i]->columns[cursor[i]].tres : -1;
        cursor[i]++;
      }
      // A column gapped on both sides in every alignment holds nothing: skip it.
      if (!any) continue;
    } else {
      col[0] = -1;
      for (int i = 0; i < n; i++) {
        if (cursor[i] < 0) {
          col[i + 1] = -1;
          cursor[i]++;
        } else if (inside(aligns[i], cursor[i]) && aligns[i]->columns[cursor[i]].qres < 0) {
          col[i + 1] = aligns[i]->columns[cursor[i]++].tres;
        } else {
          col[i + 1] = -1;
        }
      }
    }
    out.insert(out.end(), col.begin(), col.end());
  }
  *n_columns = (int)(out.size() / rows);
  int* table = kget1I(std::max<int64_t>((int64_t)out.size(), 1));
  std::copy(out.begin(), out.end(), table);
  return table;
}

int markCore(_trel_profile* p, int rows, int columns, const int* table) {
  const int len = p->max_length;
  std::fill(p->core_depth, p->core_depth + len, 0);
  for (int c = 0; c < columns; c++) {
    const int* col = table + (int64_t)c * rows;
    if (col[0] < 0 || col[0] >= len) continue;
    int depth = 1;
    while (depth < rows && col[depth] >= 0) depth++;
    p->core_depth[col[0]] = depth;
  }
  for (int r = 0; r < rows && r < p->n_rows; r++) {
    int size = 0;
    for (int k = 0; k < len; k++) size += p->core_depth[k] > r;
    p->core_size[r] = size;
    if (zam_debug >= 1) zam_msg("Core size at row %d = %d\n", r + 1, size);
  }
  return rows <= p->n_rows ? p->core_size[rows - 1] : 0;
}

void findCoreRanges(_trel_profile* p, int pivot_length, int limit) {
  for (int i = 0; i < pivot_length;) {
    int span = 1;
    if (p->core_depth[i] < limit)
      while (i + span < pivot_length && p->core_depth[i + span] < limit) span++;
    for (int k = i; k < i + span; k++) {
      p->core_range[2 * k] = i;
      p->core_range[2 * k + 1] = i + span - 1;
    }
    i += span;
  }
}

float scoreProfile(const _trel_profile* p, int rows, int columns, const int* table) {
  int64_t total_length = 0;
  int longest = 0;
  for (int r = 0; r < rows; r++) {
    total_length += p->lengths[r];
    longest = std::max(longest, p->lengths[r]);
  }
  const double norm = (double)(total_length - longest);
  if (norm < 1.0) return 0.0f;
  double total = 0.0;
  for (int c = 0; c < columns; c++) total += trel_columnMscore(p, table, rows, nullptr, c);
  return (float)std::clamp(total / norm, 0.0, 1.0);
}

int countProfile(int rows, int columns, const int* table, int threshold) {
  int n = 0;
  for (int c = 0; c < columns; c++) {
    int count = 0;
    for (int r = 0; r < rows; r++) count += table[(int64_t)c * rows + r] >= 0;
    n += count >= threshold;
  }
  return n;
}

void findQuerySpan(int count, const _trel_align* a, int column, int* back, int* forth) {
  const int need = std::max(count, 1);
  *back = 0;
  for (int j = column, met = 0; j >= 0; j--)
    if (a->columns[j].qres >= 0) {
      *back = j;
      if (++met >= need) break;
    }
  *forth = a->ncolumns - 1;
  for (int j = column, met = 0; j < a->ncolumns; j++)
    if (a->columns[j].qres >= 0) {
      *forth = j;
      if (++met >= need) break;
    }
}

int* appendRow(const int* table, int rows, const _trel_align* a, int* columns) {
  const int out_rows = rows + 1;
  int* out = kget1I(std::max<int64_t>((int64_t)a->ncolumns * out_rows, 1));
  int w = 0;
  for (int j = 0; j < a->ncolumns; j++) {
    const _trel_a_column& col = a->columns[j];
    int* dst = out + (int64_t)w * out_rows;
    if (col.qres >= 0 && col.qres < *columns)
      std::copy(table + (int64_t)col.qres * rows, table + (int64_t)(col.qres + 1) * rows, dst);
    else if (col.tres >= 0)
      std::fill(dst, dst + rows, -1);
    else
      continue;
    dst[rows] = col.tres;
    w++;
  }
  *columns = w;
  return out;
}

_trel_align_buf** fitAlignBuf(_trel_align_buf** bufs, int n, int m) {
  if (bufs && bufs[0]->nmax >= n && bufs[0]->mmax >= m) return bufs;
  int nmax = n, mmax = m;
  if (bufs) {
    nmax = std::max(nmax, bufs[0]->nmax);
    mmax = std::max(mmax, bufs[0]->mmax);
    trel_freeAlignBuf(1, bufs);
  }
  return trel_allocAlignBuf(1, nmax, mmax);
}
