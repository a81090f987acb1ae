#include "driver/trel_refine.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_pair.h"
#include "driver/trel_options.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

constexpr int kMailbox = ZAM_MAILBOX_SUPERPOSE;    // workers report their counts to the collector here
constexpr int kCollector = ZAM_HANDLE_COLLECTOR;  // joinable thread handle of the collector

// One worker: it aligns the targets it pops from the thread layer's work
// list (or first..last when it runs on the calling thread), writes only
// their aligns[] entries and uses only buf.
struct Worker {
  _zam_collector* collector;
  int first;
  int last;
  _trel_thing* query;
  _pdb_image* qimage;
  _pdb_peptide* qpep;
  _trel_thing** targets;
  const Matrix3D* transforms;
  _trel_align** aligns;
  _trel_align_buf* buf;
  const _trel_options* options;
  _zam_log_held* held;  // per target: its messages, shown in target order afterwards
};

int align_range(const Worker& w) {
  int count = 0;
  for (int k = w.first; k <= w.last; k++) {
    w.aligns[k] = trel_alignFitOne(w.query, w.qimage, w.qpep, w.targets[k], &w.transforms[k], w.buf,
                                   w.options);
    count++;
  }
  return count;
}

// Aligns work-list items until the list is empty; returns how many. Each
// target's image is loaded here, by the worker that aligns it: the objects
// are disjoint and their images are read from their own files.
int align_popped(const Worker& w) {
  int count = 0;
  for (int k = zam_thread_pop_list(); k >= 0; k = zam_thread_pop_list()) {
    _zam_log_held* before = zam_log_hold(&w.held[k]);
    w.aligns[k] = trel_alignFitOne(w.query, w.qimage, w.qpep, w.targets[k], &w.transforms[k], w.buf,
                                   w.options);
    zam_log_hold(before);
    count++;
  }
  return count;
}

}  // namespace

_pdb_image* usable_target_image(_trel_thing* target) {
  if (!target || !target->tag || target->tag->valid != 1) return nullptr;
  if (!trel_readThingTrace(target)) return nullptr;
  _pdb_image* timage = trel_imageThing(target);
  if (!timage) target->valid = 0;
  return timage;
}

_trel_align* trel_alignFitOne(_trel_thing* query, _pdb_image* qimage, _pdb_peptide* qpep,
                              _trel_thing* target, const Matrix3D* transform,
                              _trel_align_buf* buf, const _trel_options* options) {
  if (!query || !qimage) return nullptr;
  _pdb_image* timage = usable_target_image(target);
  if (!timage) return nullptr;
  return trel_alignFitImage(query, qimage, qpep, target, timage, transform, buf, options);
}

_trel_align* trel_alignFitImage(_trel_thing* query, _pdb_image* qimage, _pdb_peptide* qpep,
                                _trel_thing* target, _pdb_image* timage, const Matrix3D* transform,
                                _trel_align_buf* buf, const _trel_options* options) {
  if (!query || !qimage || !target || !timage) return nullptr;
  const int n = qimage->nres, m = timage->nres;
  // The engine indexes the traces by image residue; a trace that does not
  // cover its image (already warned about when the image was loaded) cannot
  // be aligned safely.
  if (!query->trace.seg || query->trace.n < n || target->trace.n < m) return nullptr;
  _trel_seg* qseg = query->trace.seg;
  _trel_seg* tseg = target->trace.seg;
  const int threads = options->use_threads ? zam_thread_cpus() : 0;
  const Matrix3D start = transform ? *transform : tf_identity();
  const Matrix3D frame = query->tag ? query->tag->frame : tf_identity();
  // The trace search (method 6) chooses between one superposition, no
  // superposition and the seeded anchor search. Every other search starts
  // from the transform its SPF match found and refines that start rigidly
  // before the flexible extension (seed count -1).
  int seeds = -1;
  if (options->filter_method == 6) {
    if (options->do_fit < 1 && options->do_super > 0)
      return trel_makeAlignOneFit(n, m, qseg, tseg, qpep, timage, start, options->ca_range,
                                  options->ca_contact, options->ca_match, buf);
    if (options->do_fit < 1 && options->do_super < 1) return trel_makeAlignNoFit(n, m, qseg, tseg, buf);
    seeds = options->fit_seeds;
  }
  return trel_makeAlignFit(n, m, options->anchor_rule, threads, seeds, options->fit_cycles,
                           options->do_flex, options->do_tight, options->do_tidy, qseg, tseg, qpep,
                           timage, start, frame, options->ca_range, options->ca_contact,
                           options->ca_match, buf);
}

void trel_alignFitTargets(_trel_thing* query, _pdb_image* qimage, _pdb_peptide* qpep, int threads,
                          int n, _trel_thing** targets, const Matrix3D* transforms,
                          _trel_align** aligns, _trel_align_buf** bufs,
                          const _trel_options* options) {
  if (n < 1) return;
  Worker all{nullptr, 0, n - 1, query, qimage, qpep, targets, transforms, aligns, bufs[0], options,
             nullptr};
  if (threads < 2 || n < 2) {
    align_range(all);
    return;
  }
  const int w = std::min(zam_thread_setup_task(threads, 0), n);
  if (w < 1) {
    align_range(all);
    return;
  }
  // Targets differ in length and so in cost: the workers take them one at a
  // time from the work list rather than in fixed shares, the longest first,
  // so that the last ones taken are short and the workers finish together.
  // The list pops from its end: it holds the targets by ascending length,
  // and among equal lengths by descending rank.
  std::vector<int> items(n);
  std::iota(items.begin(), items.end(), 0);
  std::sort(items.begin(), items.end(), [targets](int a, int b) {
    const int la = trel_thingResidues(targets[a]), lb = trel_thingResidues(targets[b]);
    return la != lb ? la < lb : a > b;
  });
  zam_thread_load_list(n, items.data());
  std::vector<_zam_log_held> held(n);
  all.held = held.data();
  _zam_collector collector{0, 0, kMailbox, 0, 0.0};
  // One record per task slot; each lives until the collector has heard from
  // every worker, which is before zam_thread_fan_out returns.
  Worker workers[ZAM_TASK_STACK] = {};
  auto fill = [&](Worker& task, const _zam_task& t) {
    task = all;
    task.collector = &collector;
    task.buf = bufs[t.slot];
  };
  auto here = [](Worker& task) { return align_popped(task); };
  if (zam_thread_fan_out(kCollector, &collector, w, run_align_cpu_thread, workers, fill, here,
                         trel_align_consumer) < 0) {
    // No collector thread: nobody would read the workers' reports.
    zam_thread_load_range(0, -1);
    align_range(all);
    return;
  }
  for (_zam_log_held& h : held) zam_log_replay(&h);
}

void* trel_align_consumer(void* arg) {
  _zam_collector* c = static_cast<_zam_collector*>(arg);
  zam_collector_wait(c);
  if (zam_debug > 0) {
    const double seconds = std::max(c->seconds, 1e-8);
    zam_msg("Collected %d alignments from %d threads in %.2fs (%.0f/s).\n\n", c->count, c->workers,
            seconds, c->count / seconds);
  }
  zam_thread_exit();
  return nullptr;
}

void* run_align_cpu_thread(void* arg) {
  Worker* w = static_cast<Worker*>(arg);
  zam_collector_report(w->collector, align_popped(*w));
  zam_thread_exit();
  return nullptr;
}

void save_image_atoms(const _pdb_image* image, Point3D* points) {
  if (!image || !points) return;
  for (int i = 0; i < image->natoms; i++) {
    const _pdb_atom& a = image->atoms[i];
    points[i] = Point3D{a.x, a.y, a.z};
  }
}

void restore_image_atoms(_pdb_image* image, const Point3D* points) {
  if (!image || !points) return;
  for (int i = 0; i < image->natoms; i++) {
    _pdb_atom& a = image->atoms[i];
    a.x = points[i].x;
    a.y = points[i].y;
    a.z = points[i].z;
  }
}
