// The plain-text result tables of one query: ".krank", ".khits", ".knames",
// ".kcode", the top-score table (".ktops" and the log), ".kmap" and ".ktime".
// Every file goes to <folder><query><suffix><extension> (".kmap" and
// ".ktime" differ), is written whole under a temporary name and renamed; a
// file that cannot be written gives a warning naming it and 0.
#pragma once

#include <string>
#include <vector>

struct _trel_thing;
struct _trel_scores;

// One row per rank: target name, family code, key, rmsd, naligned.
int trel_writeRankF(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                    const _trel_thing* const* targets, const int* order, const float* key,
                    const float* rmsd, const int* naligned);
int trel_writeRankI(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                    const _trel_thing* const* targets, const int* order, const int* key,
                    const float* rmsd, const int* naligned);
// ".krank" under the key of do_sort (trel_writeRankF or trel_writeRankI).
int trel_writeRank(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                   const _trel_thing* const* targets, const int* order, int do_sort,
                   const _trel_scores* s);
// ".khits": every rank with its scores, Z-score (J-score against mean, sd)
// and tpcode (by rank).
int trel_writeHits(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                   const _trel_thing* const* targets, double mean, double sd, const int* order,
                   const float* kscore, const float* jscore, const float* gscore,
                   const float* mscore, const int* tpcode);
// ".knames": names of the targets at ranks 0..nshow-1.
int trel_writeNames(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                    const _trel_thing* const* targets, const int* order, int nshow);
// ".kcode": the family codes of ranks 0..nshow-1 with their counts, keeping
// at most max(ncath, 1) distinct codes.
int trel_writeCodes(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                    const _trel_thing* const* targets, const int* order, int nshow, int ncath);
// <folder><target>_<query>.kmap: the (Lq+2) x (Lt+2) pre-score plane's inner cells.
int trel_writeMap(const char* folder, const _trel_thing* query, const _trel_thing* target,
                  const float* matrix, float mean, float sd);
// <folder><query>.ktime: seconds as "%.4f\n".
int trel_writeTime(const char* folder, const _trel_thing* query, double seconds);

// What the hit table's title says, and whether the table is also a file.
struct _trel_tops {
  int nshown = 0;      // the shown hits ("Top %d matches")
  int npos = 0;        // targets in the query's family
  float auc = 0.0f;    // the query's ROC AUC
  int do_partner = 0;  // the partner title instead
  int write_file = 0;  // also into ".ktops"
};

// The hit table: title, header and one row per selected target in rank
// order, printed through zam_msg with the mean row, and into ".ktops" when
// tops asks for the file. tpcode is by rank. Returns 1, or 0 when the file
// was asked for and could not be written (warned).
int trel_printTops(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                   const _trel_thing* const* targets, const int* order, const _trel_scores* s,
                   const int* tpcode, const _trel_tops& tops);
