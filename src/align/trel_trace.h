// Backbone traces: one 268-byte record per residue holding its code, its
// secondary-structure letter, chain-break marks and the neighbours' geometry
// in the residue's own local frame; the trace that owns the records, the raw
// trace file ("trc"), the trace build from a structure image and the
// secondary-structure assignment from CA geometry against ideal templates.
#pragma once

#include <cstddef>

#include "geometry/zam_transform.h"

struct _pdb_image;
struct _pdb_peptide;

// One residue of a trace. The layout is a file format (the trace file and the
// database's traces file): 268 bytes, no padding, little-endian floats.
// Neighbour slots s = 0..7 are the residues i+1, i-1, i+2, i-2, i+3, i-3,
// i+4, i-4; every point is in the local frame of residue i.
struct _trel_seg {
  char code;                   // one-letter residue code
  char sse;                    // 'A' helix, 'B' strand, 'C' other, 'D' incomplete residue
  unsigned char break_before;  // 1 on the first residue of the chain or after a break
  unsigned char break_after;   // 1 on the last residue of the chain or before a break
  Point3Df sse_score;          // helix, strand and coil scores
  Point3Df axis;               // unit vector from CA(i-2) to CA(i+2)
  Point3Df ncut;               // N-side cut point, length 8
  Point3Df ccut;               // C-side cut point, length 8
  Point3Df next_sse;           // length 2 toward the next helix or strand
  Point3Df prev_sse;           // length 2 toward the previous helix or strand
  Point3Df t[8];               // CA of the neighbour of each slot
  Point3Df v[8];               // that CA moved 2 toward the build's centre point
};
static_assert(sizeof(_trel_seg) == 268, "trace record is a 268-byte file record");
static_assert(offsetof(_trel_seg, sse) == 1 && offsetof(_trel_seg, break_before) == 2 &&
                  offsetof(_trel_seg, break_after) == 3,
              "trace record header bytes");
static_assert(offsetof(_trel_seg, sse_score) == 4 && offsetof(_trel_seg, axis) == 16 &&
                  offsetof(_trel_seg, ncut) == 28 && offsetof(_trel_seg, ccut) == 40 &&
                  offsetof(_trel_seg, next_sse) == 52 && offsetof(_trel_seg, prev_sse) == 64,
              "trace record vector fields");
static_assert(offsetof(_trel_seg, t) == 76 && offsetof(_trel_seg, v) == 172,
              "trace record neighbour points");

// Per-slot statistics of a trace's points, taken when a trace is built with
// them (the database statistics report reads them).
struct _trel_trace_stats {
  int count[8];     // residues counted into each slot's statistics
  Point3D t_mean[8], t_sd[8];  // T points per slot: mean and per-axis spread
  Point3D p_mean[8], p_sd[8];  // P points (statistics only)
  Point3D v_mean[8], v_sd[8];  // V points
};

// The trace of one chain (or of a whole image traced as one chain). The
// statistics are held apart: an object whose trace is never built (a
// database member borrows its records) carries a pointer, not 1.2 kB.
struct _trel_trace {
  int n;            // residues, the image's residue count
  _trel_seg* seg;   // n records, owned (kget1B)
  _trel_trace_stats* stats;  // owned; null unless the trace was built with statistics
};

// ---- Records and the trace file ----------------------------------------------

// New zero-filled trace (kget1B_0); release with trel_freeTrace.
_trel_trace* trel_makeTrace();
// Empties a trace (frees its records and statistics, zeroes n); null is ignored.
void trel_wipeTrace(_trel_trace* trace);
// trel_wipeTrace, then frees the trace itself; null is ignored.
void trel_freeTrace(_trel_trace* trace);
// Writes n records to zam_filename(name, "trc") whole (zam_whole.h: a file or
// link standing there is replaced, never written through); reports "Failed
// to write TRC file" on failure. Logs the file name at debug level 2 and above.
void trel_write_trc(const char* name, int n, const _trel_seg* seg);
// The first n records of zam_filename(name, "trc") in a new block owned by the
// caller, who releases it with kfree (normally by hanging it on a trace as its
// seg). Null after "Failed to read TRC file" when the file is missing or holds
// fewer than n records; a longer file is accepted. Logs the records at debug
// level 3 and above.
_trel_seg* trel_read_trc(const char* name, int n);

// ---- Trace building -----------------------------------------------------------

// Builds the trace of image into trace (wiped first): frames, break marks,
// cut points, neighbour points and secondary structure (the letters are also
// written into the image's residue records). stats non-zero fills the slot
// statistics; warn non-zero writes each chain break into the log file (not
// on the screen) as a warning and counts the structure in
// trel_chainBreakFiles. centre is the point toward which the V points lean.
void trel_loadTrace(_pdb_image* image, Point3D centre, int stats, int warn, _trel_trace* trace);
// Writes each chain break of trace, built from image (the break marks of its
// records after the first), into the log file as a warning, naming the two
// residues and the structure. True when it has any. The lines of
// trel_loadTrace with warn on.
bool trel_logChainBreaks(const _pdb_image* image, const _trel_trace* trace);
// Counts one more structure with chain breaks (trel_loadTrace with warn on
// counts its own): for one whose breaks are said again from what its build
// said before.
void trel_countChainBreakFile();
// Number of structures whose trace build (warn on) found chain breaks so far
// in the process, for the run's one line about them.
int trel_chainBreakFiles();
// Nearest residue j < i (not 'D', at most 30 tested) whose CA moved by frame
// has z < 0, or -1. limit is not consulted.
int get_ncut(int i, int n, int limit, Matrix3D frame, const _pdb_peptide* pep);
// Nearest residue j > i (not 'D', at most 30 tested) whose CA moved by frame
// has z > 0, or -1. limit is not consulted.
int get_ccut(int i, int n, int limit, Matrix3D frame, const _pdb_peptide* pep);
// Mean CA (moved by frame) of residues i-15..i+15 not marked 'D'; the zero
// point when the window leaves the chain or holds no residue. width is not consulted.
Point3D get_lcm(int i, int n, int width, Matrix3D frame, const _pdb_peptide* pep);

// ---- Secondary-structure assignment ------------------------------------------

// out[k] = exp(gb_factor * sum over slots 0..2w-1 of the squared distance of
// t[s] from template row g_pattern[s]) for every residue; out holds n floats.
// tmpl is a table of nine ideal CA positions, rows i-4..i+4.
void scoreTheoreticalTrace(const _trel_trace* trace, int w, const Point3Df* tmpl, float* out);
void trel_scoreTraceAlpha(const _trel_trace* trace, int w, float* out);
void trel_scoreTraceBeta(const _trel_trace* trace, int w, float* out);
void trel_scoreTrace310(const _trel_trace* trace, int w, float* out);
void trel_scoreTracePi(const _trel_trace* trace, int w, float* out);
// Sets sse, sse_score, next_sse and prev_sse of every record and writes the
// letters into the image's residue records. frames holds the n residue frames.
void assignTraceSSEs(_pdb_image* image, const _pdb_peptide* pep, const Matrix3D* frames,
                     _trel_trace* trace);
// Writes the whole image once per residue (all when residue is -1), moved into
// that residue's local frame, to prefix + name + "_" + (k+1) + ".pdb".
// Returns the number of files written; failures are reported by the PDB writer.
int trel_makeTraceModel(const char* prefix, const _pdb_image* image, int selection, int residue);
