#include "output/trel_print.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>


#include "align/trel_align.h"
#include "output/trel_pair_names.h"
#include "runtime/zam_file.h"
#include "runtime/zam_inputs.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"
#include "structure/zam_pdb.h"

struct _trel_text {
  _zam_whole* file = nullptr;
  bool failed = false;
};

namespace {

const char* const kRule = "#===============================================================================\n";

// zam_msg cuts a message at 256 characters: long rows go out in pieces.
constexpr size_t kMsgPiece = 200;

// Result files that could not be opened or put in place, for the run's status.
std::atomic<int> failed_files{0};

// The calling thread's list of files set aside (trel_holdAside).
thread_local _trel_aside* aside = nullptr;

// The calling thread's list of files put in place (trel_holdWritten).
thread_local _trel_written* written = nullptr;

// The hit whose files the calling thread writes (trel_holdHit).
thread_local std::string hit_now;

void note_written(const std::string& path, const std::string& hit) {
  if (!written) return;
  std::lock_guard<std::mutex> hold(written->lock);
  written->paths.push_back(path);
  written->hits.push_back(hit);
}

void msg_row(const std::string& row) {
  trel_msgText(row.c_str());
  zam_msg("\n");
}

std::string vformat(const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  const int n = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out((size_t)n + 1, '\0');
  vsnprintf(out.data(), out.size(), fmt, ap);
  out.resize((size_t)n);
  return out;
}

const char* text_or_empty(const char* s) { return s ? s : ""; }

// One-character text of residue i of an image ('?' when there is no such residue).
char residue_letter(const _pdb_image* image, int i, bool sse) {
  if (i < 0) return '-';
  if (!image || !image->residues || i >= image->nres) return '?';
  const _pdb_residue& r = image->residues[i];
  if (!sse) return r.code[0] ? r.code[0] : '?';
  return r.sse[0] ? (char)std::tolower((unsigned char)r.sse[0]) : '-';
}

void print_blocks(const _trel_align* a, const _pdb_image* q, const _pdb_image* t, int width,
                  bool sse) {
  for (int s = 0; s < a->ncolumns; s += width) {
    const int e = std::min(s + width, a->ncolumns);
    std::string qrow, trow, mrow;
    for (int c = s; c < e; c++) {
      qrow += residue_letter(q, a->columns[c].qres, sse);
      trow += residue_letter(t, a->columns[c].tres, sse);
      mrow += a->columns[c].mark ? a->columns[c].mark : ' ';
    }
    msg_row(qrow);
    msg_row(trow);
    msg_row(mrow);
    zam_msg("\n");
  }
}

std::string base_name(const char* path) {
  const std::string p = text_or_empty(path);
  const size_t at = p.find_last_of("/\\");
  return at == std::string::npos ? p : p.substr(at + 1);
}

// Chain text of the residue that the first column with a residue on one side
// names (residue 0 when no column has one).
const char* first_chain(const _trel_align* a, const _pdb_image* image, bool query) {
  int res = 0;
  for (int c = 0; c < a->ncolumns; c++) {
    const int r = query ? a->columns[c].qres : a->columns[c].tres;
    if (r != -1) {
      res = r;
      break;
    }
  }
  if (!image || !image->residues || res < 0 || res >= image->nres) return "";
  return image->residues[res].chain;
}

}  // namespace

_zam_whole* trel_openWhole(const std::string& path) {
  if (zam_refuseInput(path)) return nullptr;
  if (written && written->opening) written->opening(written->data, path, hit_now);
  _zam_whole* w = zam_openWhole(path, "w");
  if (!w) failed_files++;
  return w;
}

int trel_closeWhole(_zam_whole* w, bool keep) {
  if (!w) return 0;
  const std::string path = written ? w->path : std::string();
  const int ok = zam_closeWhole(w, keep);
  if (keep && !ok) failed_files++;
  if (ok) note_written(path, hit_now);
  return ok;
}

_trel_written* trel_holdWritten(_trel_written* list) {
  _trel_written* before = written;
  written = list;
  return before;
}

std::string trel_holdHit(std::string hit) {
  std::swap(hit, hit_now);
  return hit;
}

int trel_failedFiles() { return failed_files.load(); }

_trel_aside* trel_holdAside(_trel_aside* list) {
  _trel_aside* before = aside;
  aside = list;
  return before;
}

int trel_closeShared(_zam_whole* w, bool keep) {
  if (!w || !aside || !keep) return trel_closeWhole(w, keep);
  const std::string path = w->path;
  std::string temp = zam_closeWholeAside(w, keep);
  if (temp.empty()) {
    failed_files++;
    return 0;
  }
  aside->files.emplace_back(std::move(temp), path);
  aside->hits.push_back(hit_now);
  return 1;
}

int trel_placeAside(_trel_aside* list) {
  if (!list) return 0;
  int failed = 0;
  for (size_t i = 0; i < list->files.size(); i++) {
    const auto& [temp, path] = list->files[i];
    if (zam_placeWhole(temp, path)) {
      note_written(path, i < list->hits.size() ? list->hits[i] : std::string());
      continue;
    }
    zam_wrn("Cannot write PDB file: %s\n", path.c_str());
    failed_files++;
    failed++;
  }
  list->files.clear();
  list->hits.clear();
  return failed;
}

_trel_text* trel_openText(const char* path) {
  if (!path || !*path) {
    zam_wrn("Cannot write a result file without a name.\n");
    failed_files++;
    return nullptr;
  }
  _zam_whole* file = trel_openWhole(path);
  if (!file) {
    if (errno != EEXIST) zam_wrn("Failed to open result file: %s (%s)\n", path, strerror(errno));
    return nullptr;
  }
  auto* out = new _trel_text;
  out->file = file;
  return out;
}

int trel_writeText(const std::string& path, const std::string& text) {
  _trel_text* out = trel_openText(path.c_str());
  if (!out) return 0;
  trel_putText(out, text.c_str());
  return trel_closeText(out);
}

void trel_putText(_trel_text* out, const char* text) {
  if (!out || !text || out->failed) return;
  const int64_t n = (int64_t)strlen(text);
  if (n > 0 && zam_fwrite(out->file->fp, text, n) < 1) out->failed = true;
}

void trel_putLines(_trel_text* out, const std::string& row, int width) {
  for (size_t at = 0; at < row.size(); at += (size_t)width)
    trel_putText(out, (row.substr(at, (size_t)width) + "\n").c_str());
}

std::string trel_pirEntry(const char* kind, const std::string& entry, const std::string& name,
                          const _pdb_image* image, const std::string& letters, int width) {
  const bool any = image && image->residues && image->nres > 0;
  const _pdb_residue* first = any ? &image->residues[0] : nullptr;
  const _pdb_residue* last = any ? &image->residues[image->nres - 1] : nullptr;
  std::string s = ">P1;" + entry + "\n" + kind + ":" + name + ":" + (first ? first->resnum : "") + ":" +
                  (first ? first->chain : "") + ":" + (last ? last->resnum : "") + ":" +
                  (last ? last->chain : "") + ":unknown:unknown:0.00:0.00\n";
  const std::string row = letters + "*";
  for (size_t at = 0; at < row.size(); at += (size_t)width) s += row.substr(at, (size_t)width) + "\n";
  return s + "\n";
}

_trel_text* trel_openAnnounced(const std::string& name, const char* announce, int min_debug) {
  if (announce && zam_debug >= min_debug) zam_msg(announce, name.c_str());
  return trel_openText(name.c_str());
}

void trel_printText(_trel_text* out, const char* fmt, ...) {
  if (!out || out->failed) return;
  va_list ap;
  va_start(ap, fmt);
  const std::string text = vformat(fmt, ap);
  va_end(ap);
  trel_putText(out, text.c_str());
}

int trel_closeText(_trel_text* out) {
  if (!out) return 0;
  const std::string path = out->file->path;
  // A write that failed midway discards the file: a failed file as well.
  if (out->failed) failed_files++;
  const int ok = trel_closeWhole(out->file, !out->failed);
  if (!ok) zam_wrn("Failed to write result file: %s\n", path.c_str());
  delete out;
  return ok;
}

void trel_msgText(const char* text) {
  if (!text) return;
  const std::string all = text;
  for (size_t at = 0; at < all.size(); at += kMsgPiece)
    zam_msg("%s", all.substr(at, kMsgPiece).c_str());
}

void trel_printAlign(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                     int width) {
  if (!align) return;
  if (width < 1) width = 80;
  const char* qname = query ? text_or_empty(query->name) : "";
  const char* tname = target ? text_or_empty(target->name) : "";
  const double pid = align->naligned > 0 ? 100.0 * align->nidentity / align->naligned : 0.0;
  zam_msg("%s", kRule);
  zam_msg("Alignment: %s + %s (*=aligned, $=matched, @/#=aligned/matched identity)\n", qname,
          tname);
  zam_msg("Nquery:       %d\n", query ? query->nres : 0);
  zam_msg("Ntarget:      %d\n", target ? target->nres : 0);
  zam_msg("Ncolumns:     %d\n", align->ncolumns);
  zam_msg("Naligned:     %d\n", align->naligned);
  zam_msg("Nmatched:     %d\n", align->nmatched);
  zam_msg("Nidentity:    %d (%.2f!)\n", align->nidentity, pid);
  zam_msg("RMSD-aligned: %.2f\n", align->rmsd_aligned);
  zam_msg("RMSD-matched: %.2f\n", align->rmsd_matched);
  zam_msg("RMSD-anchor:  %.2f\n", align->rmsd_anchor);
  zam_msg("MaxDist:      %.2f\n", align->max_dist);
  zam_msg("Contact:      %.2f\n", align->contact);
  zam_msg("%s", kRule);
  zam_msg("\n");
  if (align->columns) print_blocks(align, query, target, width, false);
  zam_msg("\n");
  if (zam_debug > 1 && align->columns) {
    zam_msg("\n");
    print_blocks(align, query, target, width, true);
  }
  zam_msg("%s", kRule);
  zam_msg("\n");
}

int trel_writeKrmsd(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                    const char* query_tag, const char* suffix, const char* folder) {
  if (!align || !query || !target) return 0;
  return trel_writeKrmsdNamed(align, query, target, trel_pairNames(query->name, target->name, query_tag, suffix),
                              folder);
}

int trel_writeKrmsdNamed(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                         const _trel_pair_names& names, const char* folder) {
  if (!align || !query || !target) return 0;
  const std::string file = std::string(text_or_empty(folder)) + names.file(".krmsd");
  if (zam_debug > 1) zam_msg("Writing RMSD profile file: %s\n", file.c_str());
  _trel_text* out = trel_openText(file.c_str());
  if (!out) return 0;

  trel_putText(out, kRule);
  trel_printText(out, "#Query In:   %s %s\n", base_name(query->path).c_str(),
                 first_chain(align, query, true));
  trel_printText(out, "#Target In:  %s %s\n", base_name(target->path).c_str(),
                 first_chain(align, target, false));
  trel_printText(out, "#Query Out:  %s\n", trel_outText(names.query_out));
  trel_printText(out, "#Target Out: %s\n", trel_outText(names.target_out));
  trel_printText(out, "#Nquery:       %d\n", query->nres);
  trel_printText(out, "#Ntarget:      %d\n", target->nres);
  trel_printText(out, "#Ncolumns:     %d\n", align->ncolumns);
  trel_printText(out, "#Naligned:     %d\n", align->naligned);
  trel_printText(out, "#Nmatched:     %d\n", align->nmatched);
  trel_printText(out, "#Nidentity:    %d\n", align->nidentity);
  trel_printText(out, "#RMSD-aligned: %.2f\n", align->rmsd_aligned);
  trel_printText(out, "#RMSD-matched: %.2f\n", align->rmsd_matched);
  trel_printText(out, "#RMSD-anchor:  %.2f\n", align->rmsd_anchor);
  trel_printText(out, "#MaxDist:      %.2f\n", align->max_dist);
  trel_printText(out, "#Contact:      %.2f\n", align->contact);
  trel_putText(out, "#\n");
  trel_putText(out, "#RMSD profile of matched residues (constant superposition):\n");
  trel_putText(out, "#\n");
  trel_putText(out, "#   N    RMSD    G-Score   K-Score\n");
  trel_putText(out, kRule);

  std::vector<int> pairs;
  for (int c = 0; align->columns && c < align->ncolumns; c++)
    if (align->columns[c].qres >= 0 && align->columns[c].tres >= 0) pairs.push_back(c);
  // Closest first; equal distances keep column order. A NaN distance goes last.
  auto key = [&](int c) {
    const float d = align->columns[c].d2;
    return std::isnan(d) ? INFINITY : d;
  };
  std::stable_sort(pairs.begin(), pairs.end(), [&](int a, int b) { return key(a) < key(b); });
  float S = 0.0f, G = 0.0f, K = 0.0f;
  int k = 0;
  for (const int c : pairs) {
    const _trel_a_column& col = align->columns[c];
    k++;
    if (col.d2 >= 0.0f) S += col.d2;
    G += col.gscore;
    K += col.kscore;
    const float rmsd = S == 0.0f ? 0.0f : std::sqrt(S / (float)k);
    trel_printText(out, "%5d  %7.4f  %8.4f  %8.4f  %8.4f\n", k, rmsd, col.d2, G, K);
  }
  trel_putText(out, kRule);
  return trel_closeText(out);
}
