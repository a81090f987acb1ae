// Skin integration into coefficient vectors, threaded or inline.
#include "harmonics/zam_skin.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "runtime/zam_cell.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace {

constexpr int kBlock = 256;
constexpr int kHandOff = ZAM_MAILBOX_HAND_OVER;  // a worker's final cell count to the collector
constexpr int kProgress = ZAM_MAILBOX_PROGRESS;  // one finished block to the progress loop
constexpr int kCollector = ZAM_HANDLE_COLLECTOR;

// The grid's blocks are summed in a fixed number of chunks of consecutive
// blocks: the unit of work of the threads. Each chunk's sum is kept apart
// and the chunk sums are added to the outputs in chunk order after all are
// made, so that the threaded and inline roads, with any number of threads,
// add the same numbers in the same order (the same bits), and no worker
// ever waits for another.
constexpr int kChunks = 64;

// What every worker shares; owned by the calling thread for the call.
struct SkinJob {
  int N;
  int n;
  double d;
  Point3D origin;
  const unsigned char* skin;
  int blocks;
  int chunks;
  double* out[4];
  double* chunk_sums;  // chunks x 4 vectors: the sums of each chunk, written by the thread that made it
  _ZamProgress* progress;
};

// One worker's argument: its task descriptor, the shared job and the
// collector (workers still to hand over, cells integrated).
struct _zam_integrate_task {
  _zam_task task;
  SkinJob* job;
  _zam_collector* tally;
};

// Private sums and scratch of one integrating thread.
struct Worker {
  int K;
  std::vector<double> sums;  // 4 block sums of K doubles
  std::vector<double> h, y;
  explicit Worker(int N) : K(anlm_size(N)), sums(4 * static_cast<size_t>(anlm_size(N))), h(N * (N + 1) / 2), y(N * N) {}
};

// Sums block b into w.sums (unnormalised). Returns the non-zero cells of the block.
int integrate_block(const SkinJob& job, Worker& w, int b, bool report_cells, int* k_done, int total) {
  const int N = job.N, n = job.n, K = w.K;
  const int first = b * kBlock, last = std::min(first + kBlock, n * n * n) - 1;
  int cells = 0;
  std::fill(w.sums.begin(), w.sums.end(), 0.0);
  for (int c = first; c <= last; c++) {
    const unsigned char f = job.skin[c];
    if (!f) continue;
    cells++;
    if (report_cells) zam_progress2(5, ++*k_done, total);
    if (!(f & 15)) continue;
    int i, j, k;
    ijk_idx(c, n, n, &i, &j, &k);
    const Point3D p{job.origin.x + (i + 0.5) * job.d, job.origin.y + (j + 0.5) * job.d,
                    job.origin.z + (k + 0.5) * job.d};
    const PolarPoint pp = pp_pt(p);
    hnl_all_bar(N, w.h.data(), pp.r);
    ylm_all_bar(N - 1, w.y.data(), pp.theta, pp.phi);
    const double w01 = (f & 3) == 3 ? 0.5 : 1.0, w23 = (f & 12) == 12 ? 0.5 : 1.0;
    const double wt[4] = {f & 1 ? w01 : 0.0, f & 2 ? w01 : 0.0, f & 4 ? w23 : 0.0, f & 8 ? w23 : 0.0};
    int at = 0;
    for (int nn = 1; nn <= N; nn++)
      for (int l = 0; l < nn; l++) {
        const double hv = w.h[nn * (nn - 1) / 2 + l];
        for (int m = -l; m <= l; m++, at++) {
          const double v = w.y[l * l + l + m] * hv;
          for (int o = 0; o < 4; o++)
            if (wt[o] != 0.0) w.sums[o * K + at] += wt[o] * v;
        }
      }
  }
  return cells;
}

// Sums the blocks of chunk c, each block's sum added in block order, into
// the chunk's four vectors (cleared first). Returns its non-zero cells.
int integrate_chunk(const SkinJob& job, Worker& w, int c, bool report_cells, int* k_done, int total) {
  const int K = w.K;
  double* sums = job.chunk_sums + static_cast<size_t>(c) * 4 * static_cast<size_t>(K);
  std::fill(sums, sums + 4 * static_cast<size_t>(K), 0.0);
  const int first = static_cast<int>(static_cast<int64_t>(c) * job.blocks / job.chunks);
  const int end = static_cast<int>(static_cast<int64_t>(c + 1) * job.blocks / job.chunks);
  int cells = 0;
  for (int b = first; b < end; b++) {
    const int in_block = integrate_block(job, w, b, report_cells, k_done, total);
    if (!in_block) continue;
    cells += in_block;
    for (int o = 0; o < 4; o++) anlm_accum(job.N, &w.sums[o * K], sums + o * K);
  }
  return cells;
}

// The chunk sums into the outputs, in chunk order.
void merge_chunks(SkinJob& job) {
  const size_t K = static_cast<size_t>(anlm_size(job.N));
  for (int c = 0; c < job.chunks; c++)
    for (int o = 0; o < 4; o++) anlm_accum(job.N, job.chunk_sums + (static_cast<size_t>(c) * 4 + o) * K, job.out[o]);
}

void* run_skin_thread(void* arg) {
  auto* t = static_cast<_zam_integrate_task*>(arg);
  SkinJob& job = *t->job;
  const double t0 = zam_get_time();
  int cells = 0;
  {
    Worker w(job.N);
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

void* skin_consumer(void* arg) {
  auto* tally = static_cast<_zam_collector*>(arg);
  zam_collector_wait(tally);
  const double s = tally->seconds;
  zam_msg("Done integration over %d cells in %.2fs (%.0f/s).\n\n", tally->count, s, s > 0 ? tally->count / s : 0.0);
  return nullptr;
}

// Multiplies element (n, l, m) of the four outputs by d^3 hnl_norm(n, l)
// times the harmonic norm of (l, m).
void normalise(int N, double d, double* const out[4]) {
  std::vector<double> yn(N * N);
  ylm_all_norm(N - 1, yn.data());
  int at = 0;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const double f = hnl_norm(n, l) * d * d * d;
      for (int m = -l; m <= l; m++, at++)
        for (int o = 0; o < 4; o++) out[o][at] *= f * yn[l * l + l + m];
    }
}

int count_cells(int cells, const unsigned char* skin) {
  int k = 0;
  for (int c = 0; c < cells; c++) k += skin[c] != 0;
  return k;
}

void integrate_threaded(SkinJob& job) {
  const int N = job.N, n = job.n, cells = n * n * n;
  const int T = zam_thread_setup_task(zam_thread_cpus(), 0);
  const int nonzero = count_cells(cells, job.skin);
  zam_msg("\nCalculating skin to N = %d (%d coefficients) using %d Tasks ...\n", N, anlm_size(N), T);
  zam_msg("Grid: %dx%dx%d = %d cells (%d non-zero) of %.2f Angstroms.\n", n, n, n, cells, nonzero, job.d);
  zam_thread_load_range(0, job.chunks - 1);
  _ZamProgress progress{5, 0, job.chunks, 0};
  job.progress = &progress;
  _zam_collector tally{0, 0, kHandOff, 0, 0.0};
  std::vector<_zam_integrate_task> tasks(ZAM_TASK_STACK);
  auto fill = [&](_zam_integrate_task& t, const _zam_task& d) { t = _zam_integrate_task{d, &job, &tally}; };
  // A worker that cannot run leaves its chunks to the others, which take
  // them from the work list; with none running this thread takes them all
  // below. Its hand-over is made for it, with no cells.
  auto here = [](_zam_integrate_task&) { return 0; };
  auto progress_loop = [&](int started) {
    if (started > 0) show_integrate_progress(&progress);
  };
  const int started = zam_thread_fan_out(kCollector, &tally, T, run_skin_thread, tasks.data(), fill, here,
                                         skin_consumer, progress_loop);
  if (started <= 0) {
    // No worker runs: the calling thread takes every chunk itself.
    Worker w(N);
    for (int c; (c = zam_thread_pop_list()) >= 0;) {
      integrate_chunk(job, w, c, false, nullptr, 0);
      zam_progress2(5, ++progress.done, progress.total);
    }
  }
  merge_chunks(job);
}

void integrate_inline(SkinJob& job) {
  const int N = job.N, n = job.n, cells = n * n * n;
  zam_msg("zam_skin_integrate_inline() here...\n");
  const double t0 = zam_get_time();
  zam_msg("\nCalculating skin to N = %d (%d coefficients) ...\n", N, anlm_size(N));
  zam_msg("Grid: %dx%dx%d = %d cells of %.2f Angstroms.\n", n, n, n, cells, job.d);
  const int total = count_cells(cells, job.skin);
  int k = 0;
  Worker w(N);
  for (int c = 0; c < job.chunks; c++) integrate_chunk(job, w, c, true, &k, total);
  merge_chunks(job);
  zam_msg("Integration applied to %d cells: %.2f per cent of the total grid volume.\n", k,
          100.0 * k / cells);
  zam_msg("Skin integration to N = %d done in %.2f seconds.\n\n", N, zam_get_time() - t0);
}

}  // namespace

void show_integrate_progress(_ZamProgress* p) {
  for (;;) {
    zam_mutex_acquire_r(kProgress);
    const int done = p->done;
    zam_progress2(5, done, p->total);
    zam_mutex_release_r(kProgress);
    if (done >= p->total) break;
  }
}

void zam_skin_integrate(int N, int n, double d, Point3D origin, const unsigned char* skin, double* a1, double* a2,
                        double* a3, double* a4) {
  SkinJob job;
  job.N = N;
  job.n = n;
  job.d = d;
  job.origin = origin;
  job.skin = skin;
  job.blocks = (n * n * n + kBlock - 1) / kBlock;
  job.chunks = std::min(job.blocks, kChunks);
  std::vector<double> chunk_sums(static_cast<size_t>(job.chunks) * 4 * static_cast<size_t>(anlm_size(N)));
  job.chunk_sums = chunk_sums.data();
  job.out[0] = a1;
  job.out[1] = a2;
  job.out[2] = a3;
  job.out[3] = a4;
  job.progress = nullptr;
  for (double* a : job.out) anlm_zero(N, a);
  if (zam_thread_slots() > 0)
    integrate_threaded(job);
  else
    integrate_inline(job);
  normalise(N, d, job.out);
}
