// The plain-text result tables of one query: ".krank", ".khits", ".knames",
// ".kcode", the top-score table (".ktops" and the log), ".kmap" and ".ktime".
// Every file goes to <folder><query><suffix><extension> (".kmap" and
// ".ktime" differ), is written whole under a temporary name and renamed; a
// file that cannot be written gives a warning naming it and 0.
#pragma once

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

// The hit table: title, header and one row per selected target in rank
// order, printed through zam_msg with the mean row; with write_file also
// into ".ktops". tpcode is by rank; npos and auc go into the title; with
// do_partner the partner title is used. Returns 1, or 0 when the file was
// asked for and could not be written (warned).
int trel_printTops(const char* folder, const _trel_thing* query, const char* suffix, int nt,
                   const _trel_thing* const* targets, const int* order, const _trel_scores* s,
                   const int* tpcode, int nshown, int npos, float auc, int do_partner,
                   int write_file);
