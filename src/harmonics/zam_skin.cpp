// Skin and grid integration into coefficient vectors, threaded or inline.
#include "harmonics/zam_skin.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_basis.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "runtime/zam_cell.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_system.h"

namespace {

constexpr int kBlock = 256;
constexpr int kHandOff = ZAM_MAILBOX_HAND_OVER;  // a worker's final cell count to the collector
constexpr int kProgress = ZAM_MAILBOX_PROGRESS;  // one finished chunk to the progress loop
constexpr int kCollector = ZAM_HANDLE_COLLECTOR;

// The grid's blocks are summed in a fixed number of chunks of consecutive
// blocks: the unit of work of the threads. Each chunk's sum is kept apart
// and the chunk sums are added up in chunk order after all are made, so
// that the threaded and inline roads, with any number of threads, add the
// same numbers in the same order (the same bits), and no worker ever waits
// for another.
constexpr int kChunks = 64;

}  // namespace

// What every worker shares; owned by the calling thread for the call. The
// sums of a chunk are nvec vectors: the four skins, then the T types of the
// first typed block and of the second when they are in use.
struct _zam_integrate_job {
  int N;
  int n;
  int cells;  // n^3, counted in 64 bits and found to fit an int before the job is made
  int T;
  double d;
  Point3D origin;
  const unsigned char* flags;
  const double* values[2];
  double* skins[4];   // o1, o2, o3, o4 (null: not wanted)
  double* typed[2];   // e1, e2
  int typed_at[2];    // first vector of each typed block in the sums, -1 when not in use
  int nvec;
  int blocks;
  int chunks;
  double* chunk_sums;  // chunks x nvec vectors, each written by the thread that made its chunk
  _ZamProgress* progress;
};

namespace {

// Private sums and scratch of one integrating thread.
struct Worker {
  size_t K;
  std::vector<double> sums;  // nvec block sums of K doubles
  std::vector<unsigned char> touched;  // 1: the last block added to this sum (else it is all +0)
  _zam_basis basis;
  explicit Worker(const _zam_integrate_job& job)
      : K(static_cast<size_t>(anlm_size(job.N))), sums(static_cast<size_t>(job.nvec) * K), touched(job.nvec) {
    zam_basis_setup(&basis, job.N, ZAM_BASIS_GTO);
  }
};

// acc1 += w v and, when acc2 is not null, acc2 += w v, where v is the
// basis vector whose factors w.basis holds (element radial times harmonic,
// as zam_basis_at makes it, without storing it). A weight of 1 adds v
// itself, which is what the product 1 v rounds to.
void add_basis(const Worker& w, double weight, double* acc1, double* acc2) {
  const int N = w.basis.N;
  const double* radial = w.basis.radial.data();
  const double* harmonic = w.basis.harmonic.data();
  size_t at = 0;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const double h = radial[n * (n - 1) / 2 + l];
      const double* y = harmonic + l * l;
      double* a1 = acc1 + at;
      const int count = 2 * l + 1;
      if (acc2) {
        double* a2 = acc2 + at;
        for (int j = 0; j < count; j++) {
          const double t = weight * (h * y[j]);
          a1[j] += t;
          a2[j] += t;
        }
      } else if (weight == 1.0) {
        for (int j = 0; j < count; j++) a1[j] += h * y[j];
      } else {
        for (int j = 0; j < count; j++) a1[j] += weight * (h * y[j]);
      }
      at += static_cast<size_t>(count);
    }
}

// Adds the cell's basis vector to the skin outputs first and first + 1 as
// bits first and first + 1 of its flags f say: all of it to the one output
// of a single bit, half to each when both are set.
void add_pair(Worker& w, unsigned char f, int first) {
  const unsigned char bits = static_cast<unsigned char>((f >> first) & 3);
  if (!bits) return;
  double* a = &w.sums[static_cast<size_t>(first) * w.K];
  double* b = a + w.K;
  w.touched[first] |= bits & 1;
  w.touched[first + 1] |= bits >> 1;
  if (bits == 3)
    add_basis(w, 0.5, a, b);
  else
    add_basis(w, 1.0, bits == 1 ? a : b, nullptr);
}

// Sums block b into w.sums (unnormalised), each element over the block's
// cells in grid order. Returns the non-zero cells of the block.
int integrate_block(const _zam_integrate_job& job, Worker& w, int b, bool report_cells, int* k_done, int total) {
  const int n = job.n, T = job.T;
  const size_t K = w.K;
  const int first = b * kBlock, last = std::min(first + kBlock, job.cells) - 1;
  int cells = 0;
  for (int v = 0; v < job.nvec; v++)
    if (w.touched[v]) {
      std::fill_n(&w.sums[static_cast<size_t>(v) * K], K, 0.0);
      w.touched[v] = 0;
    }
  for (int c = first; c <= last; c++) {
    const unsigned char f = job.flags[c];
    if (!f) continue;
    cells++;
    if (report_cells) zam_progress2(5, ++*k_done, total);
    const bool use[2] = {(f & 16) && job.typed_at[0] >= 0, (f & 32) && job.typed_at[1] >= 0};
    if (!(f & 15) && !use[0] && !use[1]) continue;
    int i, j, k;
    ijk_idx(c, n, n, &i, &j, &k);
    const Point3D p{job.origin.x + (i + 0.5) * job.d, job.origin.y + (j + 0.5) * job.d,
                    job.origin.z + (k + 0.5) * job.d};
    zam_basis_values(&w.basis, pp_pt(p));
    add_pair(w, f, 0);
    add_pair(w, f, 2);
    for (int g = 0; g < 2; g++)
      if (use[g]) {
        const double* value = job.values[g] + static_cast<size_t>(c) * T;
        for (int t = 0; t < T; t++) {
          w.touched[job.typed_at[g] + t] = 1;
          add_basis(w, value[t], &w.sums[static_cast<size_t>(job.typed_at[g] + t) * K], nullptr);
        }
      }
  }
  return cells;
}

// Sums the blocks of chunk c, each block's sum added in block order, into
// the chunk's vectors (cleared first). Returns its non-zero cells.
int integrate_chunk(const _zam_integrate_job& job, Worker& w, int c, bool report_cells, int* k_done, int total) {
  const size_t K = static_cast<size_t>(w.K), size = static_cast<size_t>(job.nvec) * K;
  double* sums = job.chunk_sums + static_cast<size_t>(c) * size;
  std::fill(sums, sums + size, 0.0);
  const int first = static_cast<int>(static_cast<int64_t>(c) * job.blocks / job.chunks);
  const int end = static_cast<int>(static_cast<int64_t>(c + 1) * job.blocks / job.chunks);
  int cells = 0;
  for (int b = first; b < end; b++) {
    const int in_block = integrate_block(job, w, b, report_cells, k_done, total);
    if (!in_block) continue;
    cells += in_block;
    // A sum the block never touched is all +0, and adding +0 changes no
    // chunk sum (which is never -0): it is left out.
    for (int v = 0; v < job.nvec; v++)
      if (w.touched[v]) anlm_accum(job.N, &w.sums[v * K], sums + v * K);
  }
  return cells;
}

// Multiplies element (n, l, m) of nvec vectors by d^3 hnl_norm(n, l) times
// the harmonic norm of (l, m).
void normalise(int N, double d, int nvec, double* v) {
  const size_t K = static_cast<size_t>(anlm_size(N));
  std::vector<double> yn(N * N);
  ylm_all_norm(N - 1, yn.data());
  int at = 0;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const double f = hnl_norm(n, l) * d * d * d;
      for (int m = -l; m <= l; m++, at++)
        for (int o = 0; o < nvec; o++) v[o * K + at] *= f * yn[l * l + l + m];
    }
}

// The chunk sums added up in chunk order, normalised, and added to the
// outputs that are wanted.
void finish(_zam_integrate_job& job) {
  const int N = job.N;
  const size_t K = static_cast<size_t>(anlm_size(N)), size = static_cast<size_t>(job.nvec) * K;
  std::vector<double> total(size, 0.0);
  for (int c = 0; c < job.chunks; c++)
    for (int v = 0; v < job.nvec; v++) anlm_accum(N, job.chunk_sums + c * size + v * K, &total[v * K]);
  normalise(N, job.d, job.nvec, total.data());
  for (int o = 0; o < 4; o++)
    if (job.skins[o]) anlm_accum(N, &total[o * K], job.skins[o]);
  for (int g = 0; g < 2; g++)
    if (job.typed_at[g] >= 0)
      for (int t = 0; t < job.T; t++) anlm_accum(N, &total[(job.typed_at[g] + t) * K], job.typed[g] + t * K);
}

int count_cells(int cells, const unsigned char* flags) {
  int k = 0;
  for (int c = 0; c < cells; c++) k += flags[c] != 0;
  return k;
}

// Which text a pass prints: the skin pass or the grid pass.
struct Wording {
  const char* here;   // the inline road's first line
  const char* what;   // "skin" or "potential"
};
constexpr Wording kSkinWords{"zam_skin_integrate_inline() here...\n", "skin"};
constexpr Wording kGridWords{"zam_integrate_inline() here...\n", "potential"};

void integrate_threaded(_zam_integrate_job& job, const Wording& words, zam_thread_fn work, zam_thread_fn collect) {
  const int N = job.N, n = job.n, cells = job.cells;
  const int T = zam_thread_setup_task(zam_thread_cpus(), 0);
  const int nonzero = count_cells(cells, job.flags);
  zam_msg("\nCalculating %s to N = %d (%d coefficients) using %d Tasks ...\n", words.what, N, anlm_size(N), T);
  zam_msg("Grid: %dx%dx%d = %d cells (%d non-zero) of %.2f Angstroms.\n", n, n, n, cells, nonzero, job.d);
  zam_thread_load_range(0, job.chunks - 1);
  _ZamProgress progress{5, 0, job.chunks, 0};
  job.progress = &progress;
  _zam_collector tally{0, 0, kHandOff, 0, 0.0};
  std::vector<_zam_integrate_task> tasks(ZAM_TASK_STACK);
  auto fill = [&](_zam_integrate_task& t, const _zam_task& d) { t = _zam_integrate_task{d, &job, &tally}; };
  // A worker that cannot run leaves its chunks to the others, which take
  // them from the work list; with none running this thread takes them all
  // below. Its hand-over is made for it, with no cells, so the collector
  // never waits for a worker that does not exist.
  auto here = [](_zam_integrate_task&) { return 0; };
  auto progress_loop = [&](int started) {
    if (started > 0) show_integrate_progress(&progress);
  };
  const int started = zam_thread_fan_out(kCollector, &tally, T, work, tasks.data(), fill, here, collect, progress_loop);
  if (started <= 0) {
    // No worker runs: the calling thread takes every chunk itself.
    Worker w(job);
    for (int c; (c = zam_thread_pop_list()) >= 0;) {
      integrate_chunk(job, w, c, false, nullptr, 0);
      zam_progress2(5, ++progress.done, progress.total);
    }
  }
  finish(job);
}

void integrate_inline(_zam_integrate_job& job, const Wording& words) {
  const int N = job.N, n = job.n, cells = job.cells;
  zam_msg("%s", words.here);
  const double t0 = zam_get_time();
  zam_msg("\nCalculating %s to N = %d (%d coefficients) ...\n", words.what, N, anlm_size(N));
  zam_msg("Grid: %dx%dx%d = %d cells of %.2f Angstroms.\n", n, n, n, cells, job.d);
  const int total = count_cells(cells, job.flags);
  int k = 0;
  Worker w(job);
  for (int c = 0; c < job.chunks; c++) integrate_chunk(job, w, c, true, &k, total);
  finish(job);
  zam_msg("Integration applied to %d cells: %.2f per cent of the total grid volume.\n", k, 100.0 * k / cells);
  zam_msg("Skin integration to N = %d done in %.2f seconds.\n\n", N, zam_get_time() - t0);
}

// A job of pass `who` over the caller's grids and outputs, with room for
// its chunk sums; refused (cells -1, after the message) when n^3 cells are
// more than an int counts.
struct Job {
  _zam_integrate_job job{};
  std::vector<double> chunk_sums;
  Job(const char* who, int N, int T, int n, double d, Point3D origin, const unsigned char* flags, const double* v1,
      const double* v2, double* const skins[4], double* e1, double* e2) {
    const int cells = zam_grid_points(who, "cells", n, n, n);
    job.cells = cells;
    if (cells < 0) return;
    job.N = N;
    job.n = n;
    job.T = T;
    job.d = d;
    job.origin = origin;
    job.flags = flags;
    job.values[0] = v1;
    job.values[1] = v2;
    for (int o = 0; o < 4; o++) job.skins[o] = skins[o];
    job.typed[0] = e1;
    job.typed[1] = e2;
    job.nvec = 4;
    for (int g = 0; g < 2; g++) {
      const bool in_use = T > 0 && job.values[g] && job.typed[g];
      job.typed_at[g] = in_use ? job.nvec : -1;
      if (in_use) job.nvec += T;
    }
    job.blocks = static_cast<int>((static_cast<int64_t>(cells) + kBlock - 1) / kBlock);
    job.chunks = std::min(job.blocks, kChunks);
    chunk_sums.resize(static_cast<size_t>(job.chunks) * job.nvec * static_cast<size_t>(anlm_size(N)));
    job.chunk_sums = chunk_sums.data();
    job.progress = nullptr;
  }
  bool refused() const { return job.cells < 0; }
};

// Runs a job on the threaded road or inline; 0 for a refused job.
int run(Job& j, const Wording& words, bool threaded, zam_thread_fn work, zam_thread_fn collect) {
  if (j.refused()) return 0;
  if (threaded)
    integrate_threaded(j.job, words, work, collect);
  else
    integrate_inline(j.job, words);
  return 1;
}

}  // namespace

void* zam_run_integrate_thread(void* arg) {
  auto* t = static_cast<_zam_integrate_task*>(arg);
  _zam_integrate_job& job = *t->job;
  const double t0 = zam_get_time();
  int cells = 0;
  {
    Worker w(job);
    for (int c; (c = zam_thread_pop_list()) >= 0;) {
      cells += integrate_chunk(job, w, c, false, nullptr, 0);
      zam_mutex_acquire_w(kProgress);
      job.progress->done++;
      zam_mutex_release_w(kProgress);
    }
  }
  if (zam_debug > 0) {
    const double s = zam_get_time() - t0;
    zam_msg("CPU %2d: Done integration for %d grids cells in %.2fs (%.0f/s).\n", t->task.device, cells, s,
            s > 0 ? cells / s : 0.0);
  }
  zam_collector_report(t->tally, cells);
  zam_thread_exit();
  return nullptr;
}

void* zam_run_skin_thread(void* task) { return zam_run_integrate_thread(task); }

void* zam_integrate_consumer(void* arg) {
  auto* tally = static_cast<_zam_collector*>(arg);
  zam_collector_wait(tally);
  const double s = tally->seconds;
  zam_msg("Done integration over %d cells in %.2fs (%.0f/s).\n\n", tally->count, s, s > 0 ? tally->count / s : 0.0);
  return nullptr;
}

void* zam_skin_consumer(void* tally) { return zam_integrate_consumer(tally); }

void show_integrate_progress(_ZamProgress* p) {
  for (;;) {
    zam_mutex_acquire_r(kProgress);
    const int done = p->done;
    zam_progress2(5, done, p->total);
    zam_mutex_release_r(kProgress);
    if (done >= p->total) break;
  }
}

int zam_skin_integrate(int N, int n, double d, Point3D origin, const unsigned char* skin, double* a1, double* a2,
                       double* a3, double* a4) {
  double* const skins[4] = {a1, a2, a3, a4};
  Job j(__func__, N, 0, n, d, origin, skin, nullptr, nullptr, skins, nullptr, nullptr);
  if (!j.refused())
    for (double* a : skins) anlm_zero(N, a);
  return run(j, kSkinWords, zam_thread_slots() > 0, zam_run_skin_thread, zam_skin_consumer);
}

int zam_integrate_thread(double* o1, double* o2, double* e1, double* o3, double* o4, double* e2, int N, int T, int n,
                         double d, Point3D origin, const unsigned char* flags, const double* values1,
                         const double* values2) {
  double* const skins[4] = {o1, o2, o3, o4};
  Job j(__func__, N, T, n, d, origin, flags, values1, values2, skins, e1, e2);
  return run(j, kGridWords, true, zam_run_integrate_thread, zam_integrate_consumer);
}

int zam_grid_integrate(double* o1, double* o2, double* e1, double* o3, double* o4, double* e2, int N, int T, int n,
                       double d, Point3D origin, const unsigned char* flags, const double* values1,
                       const double* values2) {
  double* const skins[4] = {o1, o2, o3, o4};
  Job j(__func__, N, T, n, d, origin, flags, values1, values2, skins, e1, e2);
  return run(j, kGridWords, zam_thread_slots() > 0, zam_run_integrate_thread, zam_integrate_consumer);
}

void zam_skin_laplacian(int N, const double* in, double* out) {
  const double t0 = zam_get_time();
  anlm_zero(N, out);
  for (int l = 0; l < N; l++) {
    const int k = N - l;  // n = l+1..N
    std::vector<double> H(static_cast<size_t>(k) * k);
    for (int a = 0; a < k; a++)
      for (int b = 0; b < k; b++) H[static_cast<size_t>(a) * k + b] = hnjl(l + 1 + a, l + 1 + b, l);
    for (int m = -l; m <= l; m++)
      for (int a = 0; a < k; a++) {
        double s = 0.0;
        for (int b = 0; b < k; b++) s += H[static_cast<size_t>(a) * k + b] * in[anlm_index(l + 1 + b, l, m)];
        out[anlm_index(l + 1 + a, l, m)] = s;
      }
  }
  zam_msg("Laplacian to N = %d done in %.2f seconds.\n", N, zam_get_time() - t0);
}
