// PDB clean-up: the recursive walk, the rewrite of one file and the
// secondary-structure file.
#include "store/trel_preprocess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "align/trel_trace.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_inputs.h"
#include "runtime/zam_log.h"
#include "runtime/zam_whole.h"
#include "store/trel_folders.h"
#include "structure/zam_pdb.h"

namespace {

// Whether line is the first line of a secondary-structure file of trel's,
// "<count>   coil  helix  beta": the mark by which a file of that name is
// known for trel's to replace (PSIPRED, say, writes NAME.ss files too).
bool isTraceSSEHead(const std::string& line) {
  size_t at = 0;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') at++;
  if (at == 0) return false;
  while (at < line.size() && line[at] == ' ') at++;
  return line.compare(at, std::string::npos, "coil  helix  beta") == 0;
}

bool isStructureFile(const char* path) {
  char buf[TREL_PATH_MAX + 1];
  const char* ext = zam_endname(path, buf);
  return strcasecmp(ext, ".pdb") == 0 || strcasecmp(ext, ".ent") == 0;
}

// Rewrites one structure file; true when it was rewritten.
bool cleanFile(const char* path, const _trel_cleanup_opts* options) {
  char base[TREL_PATH_MAX + 1];
  const char* shown = zam_basename(path, base);
  zam_msg("Cleaning PDB file: %s\n", shown);
  _pdb_image* image = zam_readPdb(path, nullptr);
  if (!image || image->nres < 1 || image->natoms < 1) {
    zam_wrn("PDB file %s has no atoms - ignoring!\n", shown);
    zam_freePdb(image);
    return false;
  }
  image->nhetatms = 0;  // no hetero atom is written
  _pdb_image* first = nullptr;
  if (image->nchains > 1) {
    zam_wrn("Extracting FIRST chain from PDB file: %s\n", shown);
    const int chain = 0;
    first = zam_extractPdb(image, 1, &chain);
  }
  _pdb_image* out = first ? first : image;
  _trel_trace* trace = nullptr;
  if (options->sse_mode) {
    trace = trel_makeTrace();
    trel_loadTrace(out, Point3D{0, 0, 0}, 0, options->do_write, trace);
  }
  _zam_whole* whole = zam_openWhole(path, "w", ZAM_OLDER_REPLACED);  // the rewrite asked for
  bool ok = false;
  if (whole) {
    zam_writePdbRemark(whole->fp);
    zam_writePdbFile(whole->fp, out, -1, 0, options->export_mode, options->sse_mode ? 1 : 0, 1, 0,
                     tf_identity());
    ok = zam_closeWhole(whole, true) == 1;
  }
  if (!ok) zam_err("Failed to replace PDB file %s [%s]\n", path, strerror(errno));
  if (ok && trace) {
    char ss[TREL_PATH_MAX + 1];
    trel_writeTraceSSE(zam_filename(path, "ss", ss), trace);
  }
  trel_freeTrace(trace);
  zam_freePdb(first);
  zam_freePdb(image);
  return ok;
}

// One walk over the given paths: the options and the count of structure-named
// files that hold no atom record, reported once at the end.
struct Walk {
  const _trel_cleanup_opts* options;
  int no_atoms = 0;
};

int cleanPath(const char* path, Walk& walk, int depth);

int cleanFolder(const char* path, Walk& walk, int depth) {
  zam_msg("Entering folder: %s\n", path);
  std::string scan;
  if (path[0] == '/' || path[0] == '\\') {
    scan = path;
  } else {
    char cwd[TREL_PATH_MAX + 1];
    scan = std::string(zam_cwdname(cwd)) + "/" + path;
  }
  if (scan.empty() || scan.back() != '/') scan += "/";
  int count = 0;
  int n = 0;
  char** entries = kscanDir(scan.c_str(), "*", &n);  // dot files are not listed
  for (int i = 0; i < n; i++) count += cleanPath((scan + entries[i]).c_str(), walk, depth + 1);
  kfree(entries);
  return count;
}

int cleanPath(const char* path, Walk& walk, int depth) {
  // The name helpers refuse longer names, so such a file (or a whole folder
  // of them) is left out with a warning, as a file list leaves it out.
  if (std::strlen(path) > static_cast<size_t>(TREL_PATH_MAX)) {
    zam_wrn("File name longer than %d characters: %.64s...\n", TREL_PATH_MAX, path);
    return 0;
  }
  struct stat st;
  if (lstat(path, &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) return cleanFolder(path, walk, depth);
  if (S_ISLNK(st.st_mode)) {
    // A link met inside a walk is never followed: it could lead back up the
    // tree, or out of it to a file that is not the user's to rewrite. A
    // folder named on the command line is entered.
    if (depth > 0) return 0;
    if (zam_isdir(path)) return cleanFolder(path, walk, depth);
    if (stat(path, &st) != 0) return 0;
  }
  // Pipes and devices are no structure files (reading a pipe would wait).
  if (!S_ISREG(st.st_mode) || !isStructureFile(path)) return 0;
  if (!trel_hasAtomRecords(path)) {
    walk.no_atoms++;
    return 0;
  }
  return cleanFile(path, walk.options) ? 1 : 0;
}

}  // namespace

int trel_cleanupPDBs(char** paths, int n, const _trel_cleanup_opts* options) {
  const _trel_cleanup_opts defaults;
  Walk walk{options ? options : &defaults};
  int count = 0;
  for (int i = 0; i < n; i++)
    if (paths[i]) count += cleanPath(paths[i], walk, 0);
  if (walk.no_atoms > 0)
    zam_wrn("Skipped %d PDB file%s that hold%s no ATOM or HETATM record.\n", walk.no_atoms,
            walk.no_atoms == 1 ? "" : "s", walk.no_atoms == 1 ? "s" : "");
  return count;
}

int trel_writeTraceSSE(const char* path, const _trel_trace* trace) {
  // Written whole, as result files are: never through a link at its name,
  // never over an input of the run.
  if (zam_refuseInput(path)) return 0;
  _zam_whole* whole = zam_openWhole(path, "w");
  if (!whole) {
    zam_err("Failed to write SSE file: %s [%s]\n", path, strerror(errno));
    return 0;
  }
  whole->marked = isTraceSSEHead;  // another program's file of this name is moved aside
  const int n = trace ? trace->n : 0;
  zam_fprintf(whole->fp, "%-4d   coil  helix  beta\n", n);
  for (int i = 0; i < n; i++) {
    const _trel_seg& s = trace->seg[i];
    const char cls = s.sse == 'A' ? 'H' : s.sse == 'B' ? 'S' : 'C';
    zam_fprintf(whole->fp, " %4d %c %c%7.3f%7.3f%7.3f\n", i + 1, s.code, cls, s.sse_score.z,
                s.sse_score.x, s.sse_score.y);
  }
  if (!zam_closeWhole(whole, true)) {
    zam_err("Failed to write SSE file: %s [%s]\n", path, strerror(errno));
    return 0;
  }
  return 1;
}
