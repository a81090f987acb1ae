#include "output/trel_result.h"

#include <initializer_list>

#include "runtime/zam_vm.h"

namespace {

template <typename T>
T* matrix(int nq, int nt) {
  return static_cast<T*>(zam_vm_get_0(static_cast<int64_t>(nq) * nt * static_cast<int64_t>(sizeof(T))));
}

}  // namespace

_trel_result* trel_allocResult(int nq, int nt) {
  if (nq < 0 || nt < 0) return nullptr;
  _trel_result* r = static_cast<_trel_result*>(zam_vm_get_0(sizeof(_trel_result)));
  if (!r) return nullptr;
  r->nq = nq;
  r->nt = nt;
  r->cscore = matrix<float>(nq, nt);
  r->kscore = matrix<float>(nq, nt);
  r->jscore = matrix<float>(nq, nt);
  r->gscore = matrix<float>(nq, nt);
  r->mscore = matrix<float>(nq, nt);
  r->tscore = matrix<float>(nq, nt);
  r->rmsd = matrix<float>(nq, nt);
  r->length = matrix<int>(nq, nt);
  r->partner = static_cast<int*>(zam_vm_get(static_cast<int64_t>(nq) * sizeof(int) + 1));
  const bool whole = r->cscore && r->kscore && r->jscore && r->gscore && r->mscore && r->tscore &&
                     r->rmsd && r->length && r->partner;
  if (!whole) {
    trel_freeResult(r);
    return nullptr;
  }
  for (int q = 0; q < nq; q++) r->partner[q] = -1;
  return r;
}

void trel_freeResult(_trel_result* r) {
  if (!r) return;
  for (void* p : {static_cast<void*>(r->cscore), static_cast<void*>(r->kscore),
                  static_cast<void*>(r->jscore), static_cast<void*>(r->gscore),
                  static_cast<void*>(r->mscore), static_cast<void*>(r->tscore),
                  static_cast<void*>(r->rmsd), static_cast<void*>(r->length),
                  static_cast<void*>(r->partner)})
    if (p) zam_vm_free(p);
  zam_vm_free(r);
}

double trel_resultBytes(int nq, int nt) {
  return 8.0 * 4.0 * nq * static_cast<double>(nt) + 4.0 * nq;
}

const float* trel_resultScore(const _trel_result* r, int which) {
  switch (which) {
    case 0: return r->kscore;
    case 1: return r->gscore;
    case 3: return r->mscore;
    default: return r->jscore;
  }
}
