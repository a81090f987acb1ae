#include "output/trel_print.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "align/trel_align.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"

struct _trel_text {
  _trel_whole* file = nullptr;
  bool failed = false;
};

namespace {

const char* const kRule = "#===============================================================================\n";

// zam_msg cuts a message at 256 characters: long rows go out in pieces.
constexpr size_t kMsgPiece = 200;

// Serial of the temporary names of this process, shared by all threads.
std::atomic<unsigned long> temp_serial{0};
// Result files that could not be opened or put in place, for the run's status.
std::atomic<int> failed_files{0};

// How an unnamed file gets its name: found out once per process by the first
// result file (a race only repeats the trial). Giving a descriptor a name
// needs a capability or /proc; without either, temporary names are used.
enum LinkWay { kUntried = 0, kEmptyPath = 1, kProcPath = 2, kNoLink = 3 };
std::atomic<int> link_way{kUntried};

std::string folder_of(const std::string& path) {
  const size_t at = path.find_last_of('/');
  if (at == std::string::npos) return ".";
  return at == 0 ? "/" : path.substr(0, at);
}

// Readable as well, so that its bytes can be compared with an older file.
int open_unnamed(const std::string& folder) {
  return open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
}

// Links the unnamed file fd under name the given way; errno when it fails.
bool link_as(int way, int fd, const std::string& name) {
  if (way == kEmptyPath) return linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
  if (way != kProcPath) return false;
  char proc[40];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, proc, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// The way unnamed files in folder get their names, tried on a file of its own.
int find_link_way(const std::string& folder) {
  int way = link_way.load();
  if (way != kUntried) return way;
  way = kNoLink;
  for (const int w : {kEmptyPath, kProcPath}) {
    const int fd = open_unnamed(folder);
    if (fd < 0) break;
    const std::string trial = trel_tempName(folder + "/.link");
    const bool linked = link_as(w, fd, trial);
    close(fd);
    if (linked) {
      unlink(trial.c_str());
      way = w;
      break;
    }
  }
  link_way.store(way);
  return way;
}

// Whether the regular file at path (not a link) holds exactly the bytes of
// the unnamed file fd.
bool same_bytes(int fd, const std::string& path) {
  const int old = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (old < 0) return false;
  struct stat mine, theirs;
  bool same = fstat(fd, &mine) == 0 && fstat(old, &theirs) == 0 && S_ISREG(theirs.st_mode) &&
              mine.st_size == theirs.st_size;
  constexpr size_t kPiece = 65536;
  std::vector<char> a(same ? kPiece : 0), b(same ? kPiece : 0);
  for (off_t at = 0; same && at < mine.st_size;) {
    const size_t want = (size_t)std::min<off_t>((off_t)kPiece, mine.st_size - at);
    same = pread(fd, a.data(), want, at) == (ssize_t)want &&
           pread(old, b.data(), want, at) == (ssize_t)want && memcmp(a.data(), b.data(), want) == 0;
    at += (off_t)want;
  }
  close(old);
  return same;
}

// Gives the unnamed file its final name; an older file of that name is
// replaced through a linked temporary name and a rename, unless it already
// holds the same bytes (a file written again unchanged, as the query's
// rainbow file is for every shown hit): replacing it would free its blocks,
// which a file system mounted to discard them waits for the disk to take
// back, and would change nothing.
bool name_unnamed(int fd, const std::string& path) {
  const int way = link_way.load();
  if (link_as(way, fd, path)) return true;
  if (errno != EEXIST) return false;
  if (same_bytes(fd, path)) return true;
  const std::string temp = trel_tempName(path);
  if (!link_as(way, fd, temp)) return false;
  if (rename(temp.c_str(), path.c_str()) == 0) return true;
  remove(temp.c_str());
  return false;
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

std::string trel_tempName(const std::string& path) {
  return path + "." + std::to_string(zam_get_pid()) + "_" + std::to_string(temp_serial++) + ".tmp";
}

_trel_whole* trel_openWhole(const std::string& path) {
  auto* w = new _trel_whole{nullptr, path, std::string(), -1};
  const std::string folder = folder_of(path);
  if (find_link_way(folder) != kNoLink) {
    const int fd = open_unnamed(folder);
    w->fd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (w->fd >= 0) w->fp = zam_fdopen(fd, "w", 0);
    if (!w->fp) {
      if (fd >= 0) close(fd);
      if (w->fd >= 0) close(w->fd);
      w->fd = -1;
    }
  }
  if (!w->fp) {
    w->temp = trel_tempName(path);
    w->fp = zam_fopen(w->temp.c_str(), "w");
    if (!w->fp) {
      const int err = errno;
      delete w;
      failed_files++;
      errno = err;
      return nullptr;
    }
  }
  return w;
}

int trel_closeWhole(_trel_whole* w, bool keep) {
  if (!w) return 0;
  bool ok = zam_fclose(w->fp) == 0 && keep;
  if (w->fd >= 0) {
    ok = ok && name_unnamed(w->fd, w->path);
    close(w->fd);
  } else {
    if (ok && rename(w->temp.c_str(), w->path.c_str()) != 0) ok = false;
    if (!ok) remove(w->temp.c_str());
  }
  delete w;
  if (keep && !ok) failed_files++;
  return ok ? 1 : 0;
}

int trel_failedFiles() { return failed_files.load(); }

_trel_text* trel_openText(const char* path) {
  if (!path || !*path) {
    zam_wrn("Cannot write a result file without a name.\n");
    failed_files++;
    return nullptr;
  }
  _trel_whole* file = trel_openWhole(path);
  if (!file) {
    zam_wrn("Failed to open result file: %s (%s)\n", path, strerror(errno));
    return nullptr;
  }
  auto* out = new _trel_text;
  out->file = file;
  return out;
}

void trel_putText(_trel_text* out, const char* text) {
  if (!out || !text || out->failed) return;
  const int64_t n = (int64_t)strlen(text);
  if (n > 0 && zam_fwrite(out->file->fp, text, n) < 1) out->failed = true;
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
  const std::string qname = text_or_empty(query->name), tname = text_or_empty(target->name);
  const std::string qout = qname + text_or_empty(query_tag) + ".pdb";
  const std::string tout = tname + "_" + qname + text_or_empty(suffix) + ".pdb";
  const std::string file =
      std::string(text_or_empty(folder)) + tname + "_" + qname + text_or_empty(suffix) + ".krmsd";
  if (zam_debug > 1) zam_msg("Writing RMSD profile file: %s\n", file.c_str());
  _trel_text* out = trel_openText(file.c_str());
  if (!out) return 0;

  trel_putText(out, kRule);
  trel_printText(out, "#Query In:   %s %s\n", base_name(query->path).c_str(),
                 first_chain(align, query, true));
  trel_printText(out, "#Target In:  %s %s\n", base_name(target->path).c_str(),
                 first_chain(align, target, false));
  trel_printText(out, "#Query Out:  %s\n", qout.c_str());
  trel_printText(out, "#Target Out: %s\n", tout.c_str());
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
