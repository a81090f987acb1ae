#include "driver/trel_tables.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/trel_rank.h"
#include "output/trel_print.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"
#include "runtime/zam_string.h"
#include "runtime/zam_system.h"
#include "store/trel_cath.h"
#include "store/trel_thing.h"

namespace {

// The printed family code of an object (that of 0.0.0.0 when it has no tag).
std::string family(const _trel_thing* thing) {
  char buffer[TREL_CATH_NAME_SIZE];
  return trel_cathName(trel_thingCode(thing), buffer);
}

// A table never shows "nan": an undefined value is printed as 0.
float shown(float x) { return std::isnan(x) ? 0.0f : x; }

std::string text(const char* s) { return s ? s : ""; }

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list ap, copy;
  va_start(ap, fmt);
  va_copy(copy, ap);
  const int n = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? (size_t)n + 1 : 1, '\0');
  if (n > 0) vsnprintf(out.data(), out.size(), fmt, ap);
  va_end(ap);
  out.resize(n > 0 ? (size_t)n : 0);
  return out;
}

// The text of a table of one row per target, its numbers converted the
// exact way printf's are (str_append_fixed, str_append_int) but several
// times faster, handed to the file in large pieces. A search of many
// thousands of targets writes its rank and hit tables after the parallel
// work: formatting was most of that time.
class Rows {
 public:
  explicit Rows(_trel_text* out) : out_(out) { text_.reserve(kPiece + 1024); }
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;
  ~Rows() { flush(); }

  Rows& fixed(double v, int width, int precision) {  // "%W.Pf"
    str_append_fixed(text_, v, width, precision);
    return *this;
  }
  Rows& integer(int v, int width) {  // "%Wd"
    str_append_int(text_, v, width);
    return *this;
  }
  Rows& put(const char* s) {
    text_ += s;
    return *this;
  }
  Rows& put(const std::string& s) {
    text_ += s;
    return *this;
  }
  // Ends a row; a full piece goes to the file.
  void end() {
    text_ += '\n';
    if (text_.size() >= kPiece) flush();
  }

 private:
  static constexpr size_t kPiece = 1 << 16;
  void flush() {
    if (!text_.empty()) trel_putText(out_, text_.c_str());
    text_.clear();
  }
  _trel_text* out_;
  std::string text_;
};

// Opens a table with its debug announcement.
_trel_text* open_table(const std::string& file, const char* what) {
  if (zam_debug > 0) zam_msg("Writing %s file: %s\n", what, file.c_str());
  return trel_openText(file.c_str());
}

std::string table_name(const char* folder, const _trel_thing* query, const char* suffix,
                       const char* ext) {
  return text(folder) + zam_fileName({trel_thingName(query)}, text(suffix) + ext);
}

// The key column of a ".krank" row: "%10.5f" for a score, "%5d" for a count.
void key_cell(Rows& rows, float key) { rows.fixed(shown(key), 10, 5); }
void key_cell(Rows& rows, int key) { rows.integer(key, 5); }

// ".krank", one row per rank: target name, family code, key, rmsd, naligned.
template <typename Key>
int write_rank(const char* folder, const _trel_thing* query, const char* suffix, int nt,
               const _trel_thing* const* targets, const int* order, const Key* key, const float* rmsd,
               const int* naligned) {
  _trel_text* out = open_table(table_name(folder, query, suffix, ".krank"), "RANK");
  if (!out) return 0;
  {
    Rows rows(out);
    for (int r = 0; r < nt; r++) {
      const int t = order[nt - 1 - r];
      rows.put(trel_thingName(targets[t])).put("  ").put(family(targets[t])).put("  ");
      key_cell(rows, key[t]);
      rows.put("  ").fixed(shown(rmsd[t]), 8, 3).put("  ").integer(naligned[t], 5).end();
    }
  }
  return trel_closeText(out);
}

const char* const kTopsFileHeader =
    "#Rank  K-Score  G-Score J-Score M-Score T-Score   RMSD   N/*   D/$   I/@   P/!   Len  Seg  TP   Match [Family]\n"
    "#====  =======  ======= ======= ======= =======   ====   ===   ===   ===   ===   ===  ===  ==  ==================\n";
const char* const kTopsLogHeader =
    " Rank  K-Score  G-Score J-Score M-Score T-Score   RMSD   N/*   D/$   I/@   P/!   Len  Seg  TP   Match [Family]\n"
    "=====  =======  ======= ======= ======= =======   ====   ===   ===   ===   ===   ===  ===  ==  =================\n";

}  // namespace

int trel_writeRankF(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                    const _trel_thing* const* targets, const int* order, const float* key,
                    const float* rmsd, const int* naligned) {
  return write_rank(folder, query, suffix, nt, targets, order, key, rmsd, naligned);
}

int trel_writeRankI(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                    const _trel_thing* const* targets, const int* order, const int* key,
                    const float* rmsd, const int* naligned) {
  return write_rank(folder, query, suffix, nt, targets, order, key, rmsd, naligned);
}

int trel_writeRank(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                   const _trel_thing* const* targets, const int* order, int do_sort,
                   const _trel_scores* s) {
  if (trel_sortKeyIsInt(do_sort))
    return trel_writeRankI(folder, query, suffix, nt, targets, order, trel_sortKeyI(do_sort, s),
                           s->rmsd, s->naligned);
  return trel_writeRankF(folder, query, suffix, nt, targets, order, trel_sortKeyF(do_sort, s),
                         s->rmsd, s->naligned);
}

int trel_writeHits(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                   const _trel_thing* const* targets, double mean, double sd, const int* order,
                   const float* kscore, const float* jscore, const float* gscore,
                   const float* mscore, const int* tpcode) {
  _trel_text* out = open_table(table_name(folder, query, suffix, ".khits"), "HITS");
  if (!out) return 0;
  const std::string rule = "#" + std::string(83, '=') + "\n";
  trel_putText(out, rule.c_str());
  trel_printText(out, "#Query   = %s\n", trel_thingName(query));
  trel_printText(out, "#Targets = %d\n", nt);
  trel_putText(out, "#  Rank  K-Score    J-Score    G-Score    M-Score    Z-Score   Match  Name    Family\n");
  trel_putText(out, rule.c_str());
  trel_putText(out, "#\n");
  {
    Rows rows(out);
    for (int r = 0; r < nt; r++) {
      const int t = order[nt - 1 - r];
      rows.integer(r + 1, 6);
      for (float v : {kscore[t], jscore[t], gscore[t], mscore[t], trel_getZscore(jscore[t], mean, sd)})
        rows.put(" ").fixed(shown(v), 11, 5);
      rows.put("  ").integer(tpcode[r], 2).put("     ").put(trel_thingName(targets[t])).put("  ");
      rows.put(family(targets[t])).end();
    }
  }
  return trel_closeText(out);
}

int trel_writeNames(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                    const _trel_thing* const* targets, const int* order, int nshow) {
  _trel_text* out = open_table(table_name(folder, query, suffix, ".knames"), "NAMES");
  if (!out) return 0;
  nshow = std::clamp(nshow, 0, std::max(nt, 0));
  {
    Rows rows(out);
    for (int r = 0; r < nshow; r++) rows.put(trel_thingName(targets[order[nt - 1 - r]])).end();
  }
  return trel_closeText(out);
}

int trel_writeCodes(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                    const _trel_thing* const* targets, const int* order, int nshow, int ncath) {
  _trel_text* out = open_table(table_name(folder, query, suffix, ".kcode"), "CODES");
  if (!out) return 0;
  nshow = std::clamp(nshow, 0, std::max(nt, 0));
  const size_t room = (size_t)std::max(std::min(std::max(ncath, 1), nt), 0);
  std::vector<std::string> codes;
  std::vector<int> counts;
  int left = 0;
  for (int r = 0; r < nshow; r++) {
    const std::string code = family(targets[order[nt - 1 - r]]);
    const auto at = std::find(codes.begin(), codes.end(), code);
    if (at != codes.end()) {
      counts[(size_t)(at - codes.begin())]++;
    } else if (codes.size() < room) {
      codes.push_back(code);
      counts.push_back(1);
    } else {
      left++;
    }
  }
  // Stable ascending by count, read from the end: the largest count first
  // and, among equal counts, the code met later in the ranking first.
  std::vector<size_t> by_count(codes.size());
  for (size_t i = 0; i < by_count.size(); i++) by_count[i] = i;
  std::stable_sort(by_count.begin(), by_count.end(),
                   [&](size_t a, size_t b) { return counts[a] < counts[b]; });
  const std::string rule = "#" + std::string(69, '=') + "\n";
  trel_putText(out, rule.c_str());
  trel_printText(out, "#Top %d family codes for %d/%d top hits with query: %s [%s]\n", (int)codes.size(),
                 nshow - left, nshow, trel_thingName(query), family(query).c_str());
  trel_putText(out, rule.c_str());
  for (size_t k = by_count.size(); k-- > 0;)
    trel_printText(out, "%s\t\t%d\n", codes[by_count[k]].c_str(), counts[by_count[k]]);
  return trel_closeText(out);
}

int trel_writeMap(const char* folder, const _trel_thing* query, const _trel_thing* target,
                  const float* matrix, float mean, float sd) {
  const std::string file = text(folder) + zam_fileName({trel_thingName(target), trel_thingName(query)}, ".kmap");
  _trel_text* out = open_table(file, "MAP");
  if (!out) return 0;
  const int lq = trel_thingResidues(query), lt = trel_thingResidues(target);
  const std::string rule = "#" + std::string(20, '=') + "\n";
  trel_putText(out, rule.c_str());
  trel_printText(out, "#%s (%d)\n", trel_thingName(query), lq);
  trel_printText(out, "#%s (%d)\n", trel_thingName(target), lt);
  trel_printText(out, "#map  = %d\n", lq * lt);
  trel_printText(out, "#rows = %d\n", lq);
  trel_printText(out, "#cols = %d\n", lt);
  trel_printText(out, "#mean = %9.6f\n", shown(mean));
  trel_printText(out, "#SD   = %9.6f\n", shown(sd));
  trel_putText(out, rule.c_str());
  for (int i = 1; matrix && i <= lq; i++)
    for (int j = 1; j <= lt; j++)
      trel_printText(out, "%5d %5d %9.6f\n", i, j, shown(matrix[(int64_t)i * (lt + 2) + j]));
  return trel_closeText(out);
}

int trel_writeTime(const char* folder, const _trel_thing* query, double seconds) {
  _trel_text* out = open_table(text(folder) + zam_fileName({trel_thingName(query)}, ".ktime"), "TIME");
  if (!out) return 0;
  trel_printText(out, "%.4f\n", seconds);
  return trel_closeText(out);
}

int trel_printTops(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                   const _trel_thing* const* targets, const int* order, const _trel_scores* s,
                   const int* tpcode, const _trel_tops& tops) {
  const int write_file = tops.write_file;
  _trel_text* out =
      write_file ? open_table(table_name(folder, query, suffix, ".ktops"), "TOP SCORES") : nullptr;
  const std::string rule = std::string(112, '=') + "\n";
  const std::string qcode = family(query);
  std::string title;
  if (tops.do_partner) {
    int partner = nt > 0 ? order[nt - 1] : -1;
    for (int r = 0; r < nt; r++)
      if (s->selected[order[nt - 1 - r]]) {
        partner = order[nt - 1 - r];
        break;
      }
    title = format("Top partner match for %s (length %d) [%s] from %d targets -> [%s]\n",
                   trel_thingName(query), trel_thingResidues(query), qcode.c_str(), nt,
                   partner >= 0 ? family(targets[partner]).c_str() : "");
  } else {
    title = format("Top %d matches for %s (length %d) [%s] -> [%s] (%d/%d) ROC AUC = %.6f\n",
                   tops.nshown, trel_thingName(query), trel_thingResidues(query), qcode.c_str(),
                   nt > 0 ? family(targets[order[nt - 1]]).c_str() : "", tops.npos, nt, shown(tops.auc));
  }
  zam_msg("\n");
  trel_msgText(rule.c_str());
  trel_msgText(title.c_str());
  trel_msgText(rule.c_str());
  trel_msgText(kTopsLogHeader);
  trel_putText(out, kTopsFileHeader);

  int rows = 0, tp = 0;
  float sk = 0, sg = 0, sj = 0, sm = 0, st = 0, sr = 0, sp = 0;
  int sn = 0, sd = 0, si = 0, sl = 0, ss = 0;
  for (int r = 0; r < nt; r++) {
    const int t = order[nt - 1 - r];
    if (!s->selected[t]) continue;
    const std::string numbers =
        format("%5d %8.2f %8.2f %7.4f %7.4f %7.4f%7.2f%6d%6d%6d%6.1f%6d%5d", r + 1, shown(s->kscore[t]),
               shown(s->gscore[t]), shown(s->jscore[t]), shown(s->mscore[t]), shown(s->tscore[t]),
               shown(s->rmsd[t]), s->naligned[t], s->ntrace[t], s->nident[t], shown(s->pident[t]),
               s->tlength[t], s->nsegs[t]);
    const std::string code = family(targets[t]);
    trel_msgText((numbers + format("  %s  %s[%s]\n", tpcode[r] ? "+1" : " 0", trel_thingName(targets[t]),
                                   code.c_str())).c_str());
    trel_putText(out, (numbers + format("%4d  %s  %s\n", tpcode[r], trel_thingName(targets[t]),
                                        code.c_str())).c_str());
    rows++;
    tp += tpcode[r] == 1;
    sk += shown(s->kscore[t]);
    sg += shown(s->gscore[t]);
    sj += shown(s->jscore[t]);
    sm += shown(s->mscore[t]);
    st += shown(s->tscore[t]);
    sr += shown(s->rmsd[t]);
    sp += shown(s->pident[t]);
    sn += s->naligned[t];
    sd += s->ntrace[t];
    si += s->nident[t];
    sl += s->tlength[t];
    ss += s->nsegs[t];
  }
  const int div = rows > 0 ? rows : 1;
  const float fdiv = (float)div;
  trel_msgText(rule.c_str());
  trel_msgText(format(" Mean %8.2f %8.2f %7.4f %7.4f %7.4f%7.2f%6d%6d%6d%6.1f%6d%5d%4d\n", sk / fdiv,
                      sg / fdiv, sj / fdiv, sm / fdiv, st / fdiv, sr / fdiv, sn / div, sd / div,
                      si / div, sp / fdiv, sl / div, ss / div, tp)
                   .c_str());
  trel_msgText(rule.c_str());
  zam_msg("\n");
  if (!out) return write_file ? 0 : 1;
  return trel_closeText(out);
}
