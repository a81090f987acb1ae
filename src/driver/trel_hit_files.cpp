#include "driver/trel_hit_files.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "align/trel_align.h"
#include "driver/trel_options.h"
#include "driver/trel_rank.h"
#include "driver/trel_tables.h"
#include "output/trel_print.h"
#include "output/trel_write_hit.h"
#include "output/trel_write_pdb.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "store/trel_export.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

using namespace trel_query;

namespace {

constexpr int kWriteMailbox = ZAM_MAILBOX_HIT_FILES;    // file writers report to their collector here
constexpr int kWriteCollector = ZAM_HANDLE_COLLECTOR;  // joinable thread handle of that collector

// ---- The shown hits' files on worker threads ----------------------------

// One shown hit whose files a worker writes, and the messages of its two
// groups of files, held to be shown in the order of a serial run.
struct ShownHit {
  int t = -1;                   // target index
  _pdb_image* image = nullptr;  // the target image its alignment files are written from
  _zam_log_held files;          // alignment, viewer, chain-pair and RMSD-profile files
  _zam_log_held pdbs;           // superposed PDB and matrix files
  _trel_aside files_aside;      // the query's files among them, set aside to be put in
  _trel_aside pdbs_aside;       // place in the serial order
};

// The files of the shown hits, written on worker threads. A work item is the
// set of hits that share one target name: they write the same file names, so
// one worker writes all of them, first their alignment files, then their PDB
// files, each group in the order of a serial run (the last hit's files stay,
// as they would). Hits of different items touch disjoint files, images and
// alignments; the query image and the settings are only read. Each worker
// writes only the entries of its own items (hits, aligns, transforms, own
// and the targets' image pointers); the calling thread reads them after the
// workers are done.
struct HitWriter {
  _trel_thing* query = nullptr;
  _trel_thing** targets = nullptr;
  _pdb_image* qimage = nullptr;  // the query image the alignment files see
  const char* suffix = "";
  const char* folder = "";
  Matrix3D qframe = tf_identity();
  const _trel_options* o = nullptr;
  _trel_align** aligns = nullptr;  // the alignments the files are written from, by target
  Matrix3D* transforms = nullptr;  // and the targets' superpositions
  bool write_pdbs = true;          // false when the query has no image to write PDB files with
  _trel_written* written = nullptr;  // the list every writing thread holds
  // With -pdbanchor: the query's own alignments, and where each target's own
  // image waits while a moved copy stands in for it (null otherwise).
  _trel_align* const* found = nullptr;
  _pdb_image** own = nullptr;
  std::vector<ShownHit> hits;            // in rank order
  std::vector<std::vector<int>> items;   // positions in hits, ascending
};

// A writer of the query's files under suffix from the arrays' alignments and
// superpositions.
void setupWriter(HitWriter& w, const QueryOut& out, const char* suffix) {
  w.query = out.query;
  w.targets = out.targets;
  w.qimage = out.query->image;
  w.suffix = suffix;
  w.folder = out.folder;
  w.qframe = out.qframe;
  w.o = out.o;
  w.aligns = out.a.aligns.data();
  w.transforms = out.a.transforms.data();
  w.written = out.written;
}

// Groups the hits by target name into work items.
void groupHits(HitWriter& w) {
  std::unordered_map<std::string, int> item_of;
  for (int k = 0; k < (int)w.hits.size(); k++) {
    const char* name = w.targets[w.hits[k].t]->name;
    const auto found = item_of.emplace(name ? name : "", (int)w.items.size());
    if (found.second) w.items.emplace_back();
    w.items[found.first->second].push_back(k);
  }
}

// The anchor pass of one hit: a copy of the target image, moved by the
// alignment's transform, stands in for the target's image while a fresh read
// is fitted onto it; a copy of the alignment carries the identity transform.
void writeAnchorFiles(HitWriter& w, const ShownHit& h) {
  const int t = h.t;
  _trel_thing* target = w.targets[t];
  _pdb_image* moved = zam_copyPdb(target->image);
  _trel_align* al = moved ? trel_copyAlign(w.qimage->nres, moved->nres, w.found[t]) : nullptr;
  if (!al) {
    zam_freePdb(moved);
    return;
  }
  zam_movePdb(moved, al->tf);
  al->tf = tf_identity();
  w.own[t] = target->image;
  target->image = moved;
  _pdb_image* image = trel_imageThingAlign(target, al, nullptr);
  trel_writeHitFiles(al, w.qimage, image, trel_hitPairNames(w.query->name, target->name, w.suffix), w.folder,
                     w.qframe, w.o);
  w.aligns[t] = al;
  w.transforms[t] = tf_identity();  // the image is in place already
}

void writeHitFiles(HitWriter& w, const ShownHit& h) {
  if (w.own)
    writeAnchorFiles(w, h);
  else
    trel_writeHitFiles(w.aligns[h.t], w.qimage, h.image,
                       trel_hitPairNames(w.query->name, w.targets[h.t]->name, w.suffix), w.folder, w.qframe, w.o);
}

void writeHitPdbs(HitWriter& w, const ShownHit& h) {
  const int t = h.t;
  if (!w.write_pdbs || !w.aligns[t]) return;
  trel_writeTargetPDB(w.query, w.targets[t], nullptr, w.aligns[t], w.transforms[t], w.suffix,
                      w.folder, w.qframe, w.o);
}

// Writes work item i, each hit's messages held in its own holds. The anchor
// pass takes its hits in target order, as the serial loop does.
void writeItem(HitWriter& w, int i) {
  _trel_written* held = trel_holdWritten(w.written);
  std::vector<int> members = w.items[i];
  if (w.own)
    std::sort(members.begin(), members.end(),
              [&](int x, int y) { return w.hits[x].t < w.hits[y].t; });
  for (const int k : members) {
    _zam_log_held* before = zam_log_hold(&w.hits[k].files);
    _trel_aside* aside = trel_holdAside(&w.hits[k].files_aside);
    writeHitFiles(w, w.hits[k]);
    trel_holdAside(aside);
    zam_log_hold(before);
  }
  for (const int k : w.items[i]) {
    _zam_log_held* before = zam_log_hold(&w.hits[k].pdbs);
    _trel_aside* aside = trel_holdAside(&w.hits[k].pdbs_aside);
    writeHitPdbs(w, w.hits[k]);
    trel_holdAside(aside);
    zam_log_hold(before);
  }
  trel_holdWritten(held);
}

// One writer: the hits to write and the collector to report to.
struct WriteWorker {
  HitWriter* w;
  _zam_collector* collector;
};

// Writes work-list items until the list is empty; returns how many.
int writeListed(HitWriter& w) {
  int count = 0;
  for (int i = zam_thread_pop_list(); i >= 0; i = zam_thread_pop_list(), count++) writeItem(w, i);
  return count;
}

void* writeWorker(void* arg) {
  const WriteWorker* r = static_cast<const WriteWorker*>(arg);
  zam_collector_report(r->collector, writeListed(*r->w));
  zam_thread_exit();
  return nullptr;
}

// Writes every work item on up to `threads` workers, each taking the next
// item of the work list; returns when all are written. With fewer than two
// threads or items, or when no thread can be had, this thread writes them.
// `meanwhile`, when given, is run on this thread once, while the workers
// write (or before this thread writes the items itself).
void writeItems(HitWriter& w, int threads, const std::function<void()>& meanwhile = nullptr) {
  const int n = (int)w.items.size();
  const int count = threads >= 2 && n >= 2 ? std::min(zam_thread_setup_task(std::min(threads, n), 0), n) : 0;
  if (count >= 2) {
    zam_thread_load_range(0, n - 1);
    _zam_collector collector{0, 0, kWriteMailbox, 0, 0.0};
    std::vector<WriteWorker> workers(ZAM_TASK_STACK);
    auto fill = [&](WriteWorker& r, const _zam_task&) { r = WriteWorker{&w, &collector}; };
    // No slot or no thread to be had: this thread takes the share (the
    // fan-out reports it like a worker's).
    auto here = [](WriteWorker& r) { return writeListed(*r.w); };
    auto during = [&meanwhile](int) {
      if (meanwhile) meanwhile();
    };
    if (zam_thread_fan_out(kWriteCollector, &collector, count, writeWorker, workers.data(), fill, here,
                           zam_collector_thread, during) >= 0)
      return;
    zam_thread_load_range(0, -1);
  }
  if (meanwhile) meanwhile();
  for (int i = 0; i < n; i++) writeItem(w, i);
}

// Whether the shown hits' files may be written on worker threads: a ligand
// run has a single target.
bool threadedWriting(const _trel_options* o, const Counts& c) {
  return c.threads >= 2 && !o->do_ligand;
}

// Shows the held messages and puts the query's files set aside in place,
// hit by hit, as a serial run writes them: every hit's alignment files (in
// target order when by_target, else in rank order), the messages of
// `between`, then every hit's PDB files in rank order. So the last hit's
// version of a query's file stays, as it would.
void replayHits(HitWriter& w, bool by_target, _zam_log_held* between) {
  std::vector<int> files((size_t)w.hits.size());
  for (size_t k = 0; k < files.size(); k++) files[k] = (int)k;
  if (by_target)
    std::sort(files.begin(), files.end(), [&](int x, int y) { return w.hits[x].t < w.hits[y].t; });
  for (const int k : files) {
    zam_log_replay(&w.hits[k].files);
    trel_placeAside(&w.hits[k].files_aside);
  }
  zam_log_replay(between);
  for (ShownHit& h : w.hits) {
    zam_log_replay(&h.pdbs);
    trel_placeAside(&h.pdbs_aside);
  }
}

// Every shown target with an alignment and a loaded image written once more,
// superposed over its anchor pairs alone, under the suffix "_anchor". The
// work is done on copies: a copy of the image, moved by the alignment's
// transform, stands in for the target's image while a fresh read is fitted
// onto it, and a copy of the alignment carries the identity transform. The
// targets get their own images back untouched, so nothing moved is left for
// the release step or for later queries.
void writeAnchors(const QueryOut& out) {
  _trel_thing* query = out.query;
  _trel_thing** targets = out.targets;
  const int nt = out.nt;
  const Arrays& a = out.a;
  const _trel_options* o = out.o;
  const Counts& c = out.c;
  if (!query->image) return;
  std::vector<_trel_align*> aligns(nt, nullptr);
  std::vector<_pdb_image*> own(nt, nullptr);  // a target's image while a copy stands in
  std::vector<Matrix3D> transforms(a.transforms);
  HitWriter w;
  setupWriter(w, out, "_anchor");
  w.aligns = aligns.data();
  w.transforms = transforms.data();
  w.found = a.aligns.data();
  w.own = own.data();
  for (int r = 0; r < nt; r++) {
    const int t = a.atRank(r);
    _trel_thing* target = targets[t];
    if (!target || !target->image || !a.selected[t] || !a.aligns[t]) continue;
    w.hits.emplace_back();
    w.hits.back().t = t;
  }
  if (threadedWriting(o, c)) {
    groupHits(w);
    writeItems(w, c.threads);
    replayHits(w, true, nullptr);
    trel_writeUnifiedPDB(query, nt, targets, aligns.data(), transforms.data(), a.order.data(),
                         a.selected.data(), "_anchor", out.folder, out.qframe, o);
  } else {
    for (int t = 0; t < nt; t++) {
      _trel_thing* target = targets[t];
      if (!target || !target->image || !a.selected[t] || !a.aligns[t]) continue;
      ShownHit h;
      h.t = t;
      writeAnchorFiles(w, h);
    }
    trel_writeTargetPDBs(query, nt, targets, aligns.data(), transforms.data(), a.order.data(),
                         a.selected.data(), "_anchor", out.folder, out.qframe, o);
  }
  for (int t = 0; t < nt; t++) {
    if (!own[t]) continue;
    zam_freePdb(targets[t]->image);
    targets[t]->image = own[t];
    trel_freeAlign(aligns[t]);
  }
}

// Alignment, viewer, chain-pair and RMSD-profile files of every shown target
// with an alignment, in rank order; then the superposed query and target PDB
// files. Each writer checks its own switches. On worker threads the hits'
// files are written side by side and their messages shown afterwards in the
// serial order; the query's file and any image the PDB files need are done
// here first, their messages held in their places.
void writeShown(const QueryOut& out, const std::function<void()>& meanwhile) {
  _trel_thing* query = out.query;
  _trel_thing** targets = out.targets;
  const int nt = out.nt;
  Arrays& a = out.a;
  const _trel_options* o = out.o;
  const char* folder = out.folder;
  const char* suffix = out.suffix;
  const Matrix3D& qframe = out.qframe;
  _pdb_image* qimage = query->image;
  if (!threadedWriting(o, out.c)) {
    for (int r = 0; r < nt; r++) {
      const int t = a.atRank(r);
      if (!a.selected[t] || !a.aligns[t]) continue;
      trel_writeHitFiles(a.aligns[t], qimage, targets[t]->image,
                         trel_hitPairNames(query->name, targets[t]->name, suffix), folder, qframe, o);
    }
    trel_writeQueryPDB(query, "", folder, qframe, o);
    trel_writeTargetPDBs(query, nt, targets, a.aligns.data(), a.transforms.data(),
                         a.order.data(), a.selected.data(), suffix, folder, qframe, o);
    return;
  }
  HitWriter w;
  setupWriter(w, out, suffix);
  for (int r = 0; r < nt; r++) {
    const int t = a.atRank(r);
    if (!a.selected[t] || !a.aligns[t] || !targets[t]) continue;
    w.hits.emplace_back();
    w.hits.back().t = t;
    w.hits.back().image = targets[t]->image;
  }
  _zam_log_held query_held;
  _zam_log_held* before = zam_log_hold(&query_held);
  trel_writeQueryPDB(query, "", folder, qframe, o);
  w.write_pdbs = trel_imageThing(query) != nullptr;
  for (ShownHit& h : w.hits) {
    if (!w.write_pdbs) break;
    zam_log_hold(&h.pdbs);
    trel_imageThing(targets[h.t]);  // a store read stays on this thread
  }
  zam_log_hold(before);
  groupHits(w);
  writeItems(w, out.c.threads, meanwhile);
  replayHits(w, false, &query_held);
  if (w.write_pdbs)
    trel_writeUnifiedPDB(query, nt, targets, a.aligns.data(), a.transforms.data(),
                         a.order.data(), a.selected.data(), suffix, folder, qframe, o);
}

// Adds the files at paths, written for hit (empty: the query's own), to
// the query's list of the files it wrote.
void noteWritten(_trel_written* written, const std::vector<std::string>& paths, const char* hit) {
  if (!written) return;
  std::lock_guard<std::mutex> hold(written->lock);
  for (const std::string& path : paths) {
    written->paths.push_back(path);
    written->hits.push_back(hit ? hit : "");
  }
}

// With -pdb and descriptors: the coefficients of the query's class, of the
// query and of every selected target in rank order, as text in the frame of
// the superposed PDB files (the target moved by its superposition, both by
// the query's frame). Failures are reported by the store. Each file is
// named ahead as the opening of a result file is, and goes into the
// query's list of the files it wrote, each target's as its hit's.
void writeSpfExports(const QueryOut& out) {
  _trel_thing* query = out.query;
  _trel_thing** targets = out.targets;
  const Arrays& a = out.a;
  const char* folder = out.folder;
  if (!out.o->write_pdb || !out.o->with_spf || !query->tag || query->tag->order < 1) return;
  const int pot_class = query->tag->pot_class;
  const auto opening = [&out](const char* hit) {
    return [&out, hit](const std::string& path) {
      if (out.written && out.written->opening) out.written->opening(out.written->data, path, hit ? hit : "");
    };
  };
  std::vector<std::string> paths;
  trel_exportThingSpf(query, pot_class, folder, {query->name}, "_query", tf_identity(), out.qframe, &paths,
                      opening(nullptr));
  noteWritten(out.written, paths, nullptr);
  for (int r = 0; r < out.nt; r++) {
    const int t = a.atRank(r);
    if (!a.selected[t] || !targets[t] || !targets[t]->tag) continue;
    paths.clear();
    trel_exportThingSpf(targets[t], pot_class, folder, {targets[t]->name, query->name}, "", a.transforms[t],
                        out.qframe, &paths, opening(targets[t]->name));
    noteWritten(out.written, paths, targets[t]->name);
  }
}

}  // namespace

namespace trel_query {

void printKeys(const QueryOut& out) {
  const _trel_thing* query = out.query;
  _trel_thing** targets = out.targets;
  const int nt = out.nt;
  Arrays& a = out.a;
  const _trel_options* o = out.o;
  _trel_scores s = a.view();
  const bool is_int = trel_sortKeyIsInt(o->do_sort);
  const float* fkey = trel_sortKeyF(o->do_sort, &s);
  const int* ikey = trel_sortKeyI(o->do_sort, &s);
  for (int r = 0; r < nt; r++) {
    const int t = a.atRank(r);
    if (!a.selected[t]) continue;
    if (is_int && ikey)
      zam_msg("%8d  %s  %s\n", ikey[t], query->name, targets[t]->name);
    else if (fkey)
      zam_msg("%12.5f  %s  %s\n", fkey[t], query->name, targets[t]->name);
  }
}

void writeResults(const QueryOut& out, double mean, double sd, int nshown, int npos, float auc) {
  const _trel_thing* query = out.query;
  const int nt = out.nt;
  Arrays& a = out.a;
  const _trel_options* o = out.o;
  const Counts& c = out.c;
  const char* folder = out.folder;
  const char* suffix = out.suffix;
  _trel_scores s = a.view();
  const _trel_thing* const* tl = out.targets;
  // The tables read nothing the hit files change: with worker threads they
  // are written on this thread while the workers write the hits' files, and
  // their messages are held and shown after the hits', as in a serial run.
  _trel_written* held = trel_holdWritten(out.written);
  auto tables = [&] {
    _trel_written* files = trel_holdWritten(nullptr);  // the tables are no hit files
    if (o->write_rank) trel_writeRank(folder, query, suffix, nt, tl, a.order.data(), o->do_sort, &s);
    if (o->write_hits)
      trel_writeHits(folder, query, suffix, nt, tl, mean, sd, a.order.data(), a.kscore.data(),
                     a.jscore.data(), a.gscore.data(), a.mscore.data(), a.tpcode.data());
    if (o->write_knames) trel_writeNames(folder, query, suffix, nt, tl, a.order.data(), c.nshow);
    if (o->write_kcodes)
      trel_writeCodes(folder, query, suffix, nt, tl, a.order.data(), c.nshow, o->n_cath);
    trel_printTops(folder, query, suffix, nt, tl, a.order.data(), &s, a.tpcode.data(),
                   _trel_tops{nshown, npos, auc, o->do_partner, o->write_tops});
    trel_holdWritten(files);
  };
  if (threadedWriting(o, c)) {
    _zam_log_held held;
    writeShown(out, [&] {
      _zam_log_held* before = zam_log_hold(&held);
      tables();
      zam_log_hold(before);
    });
    zam_log_replay(&held);
  } else {
    writeShown(out, nullptr);
    tables();
  }
  writeSpfExports(out);
  if (o->write_anchor) writeAnchors(out);
  trel_holdWritten(held);
}

}  // namespace trel_query
