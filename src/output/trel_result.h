// The score matrices of an all-against-all run: one row of nt entries per
// query (entry q * nt + t), filled from the per-query search and read by the
// matrix, cluster, difference and neighbour files.
#pragma once

struct _trel_result {
  int nq;
  int nt;
  float* cscore;  // pre-score divided by its path length
  float* kscore;  // raw pre-score
  float* jscore;  // pre-score normalised by the two lengths
  float* gscore;  // G-, M- and T-scores, RMSD and length of the alignment:
  float* mscore;  // 0 (RMSD 99.99) for a target that was not superposed
  float* tscore;
  float* rmsd;
  int* length;
  int* partner;   // per query: the partner target with -partner, else -1
};

// A zero-filled record for nq x nt pairs (every partner -1); null after a
// reported allocation failure. Release with trel_freeResult (null is fine).
_trel_result* trel_allocResult(int nq, int nt);
void trel_freeResult(_trel_result* result);
// Bytes the record of nq x nt pairs holds.
double trel_resultBytes(int nq, int nt);
// The matrix neighbour files and the centre rank by, from the "-sort" index:
// 0 K, 1 G, 2 J, 3 M, every other value J.
const float* trel_resultScore(const _trel_result* result, int which);
