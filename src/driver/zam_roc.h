// Receiver-operating-characteristic curves of a ranking against a reference
// family: the curve record and its area, sampling and release, the family
// marks of a query's ranked targets, the weighted sum of sampled curves over
// queries, and the ".kroc" and ".kauc" files.
#pragma once

struct _trel_thing;

// One ROC curve of n ranked items; arrays hold n+2 entries.
struct _zam_roc {
  int npoints;              // curve points
  int n;                    // ranked items
  int npos;                 // positive items
  int nneg;                 // negative items, at least 1
  float* tpr;               // y of each point: true-positive fraction
  float* fpr;               // x of each point: false-positive fraction
  unsigned char* positive;  // 1 for a positive item, by rank
};

// The curve of n items whose rank r is positive when tpcode[r] != 0. With no
// positive item (a query whose family no target shares) the curve stays at
// y = 0 and its AUC is 0.
// Release with zam_freeROC.
_zam_roc* zam_makeROC(int n, const int* tpcode);
// Area under the curve; 1 for a curve of two points or fewer (and for null).
float zam_aucROC(const _zam_roc* roc);
// Samples the curve at max(m, 2) evenly spaced false-positive fractions into
// x, y and area (each with room for max(m, 2) entries); returns max(m, 2) - 1.
int zam_sampleROC(const _zam_roc* roc, int m, float* x, float* y, float* area);
// Null is ignored.
void zam_freeROC(_zam_roc* roc);

// Number of the n objects whose tag code equals code in all four levels.
int trel_countCathCodes(const int* code, int n, const _trel_thing* const* things);
// Fills tpcode[r] (r = 0..nt-1, the ranking read from the end of order) with
// 1 for targets in the query's family (the rank-0 target's family when the
// query is unclassified); returns the number of positives.
int trel_setupROC(const _trel_thing* query, const _trel_thing* const* targets, int nt,
                  const int* order, int* tpcode);
// Adds weight times one query's sampled curve and AUC to the sums (m entries).
void trel_addROC(int m, float weight, float auc, float* sum_auc, const float* x, const float* y,
                 const float* area, float* sum_x, float* sum_y, float* sum_area);
// <folder><name><suffix>.kroc with m sample rows; 1 when written, 0 after a
// warning naming the file. nnopos >= 0 (the aggregate file of a run) adds a
// "#nopositives" line with that number of queries without a positive target
// after the sample rows, so that header and rows keep their line numbers.
int trel_writeROC(const char* folder, const char* name, const char* suffix, int nt, int npos,
                  int m, float auc, const float* x, const float* y, const float* area,
                  int nnopos = -1);
// <folder><name><suffix>.kauc: the AUC of each of the nq queries and the
// number nnopos of them that had no positive target (AUC 0, on a line after
// the rows, so that header and rows keep their line numbers); 1 when written,
// 0 after a warning naming the file.
int trel_writeAUC(const char* folder, const char* name, const char* suffix, int nq,
                  const _trel_thing* const* queries, const float* auc, int nnopos);
