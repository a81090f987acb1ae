// Opening a list of structure objects (trel_openThings), serially or on
// worker threads, each list item named apart from the other inputs.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_cache_open.h"
#include "store/trel_folders.h"
#include "store/trel_thing.h"

namespace {

// The arguments of one trel_openThings call, shared read-only by its workers.
struct OpenList {
  _trel_thing** things;
  const char* const* paths;
  const int* pots;
  const char* cache_folder;
  int is_sequence;
  int force;
  int save;
  const _trel_thing_opts* options;
  int min;  // residue window of the objects whose trace records are loaded
  int max;
  const std::vector<struct ItemName>* names;  // per item
};

// The object name of a list item that another input holds already, and so
// is given a numeric suffix (empty: the file's own root name).
struct ItemName {
  std::string name;
};

// Every input keeps its own name: its result files and table rows carry it.
// An item whose root name an earlier item of the list holds, or an object
// of others made from another file, is named root_2 (root_3, ...: a name no
// input has), with a warning naming both files (trel_giveName, as "-score"
// names the rows of an alignment). Such an item is built from
// its own file and never cached: its cache files would be those of the
// other structure ("a/1abc.pdb" and "b/1abc.pdb" in one cache folder), or
// the two would race to write them. An item made from the same file as an
// object of others (a query among its targets) takes that object's name.
std::vector<ItemName> nameItems(int n, const char* const* paths, const char* const* other_paths,
                                _trel_thing* const* others, int n_others) {
  std::vector<ItemName> out(static_cast<size_t>(std::max(n, 0)));
  std::vector<std::string> roots(out.size());
  _trel_names names;
  std::unordered_map<std::string, std::vector<int>> by_root;  // root of an other's file -> others
  std::unordered_set<std::string> claimed;  // names of others taken by an item made from the same file
  char root[TREL_PATH_MAX + 1];
  for (int j = 0; j < n_others; j++) {
    if (!others || !others[j] || !others[j]->name) continue;
    const char* file = other_paths && other_paths[j] ? other_paths[j] : "";
    names.held.emplace(others[j]->name, file);
    names.avoid.emplace(others[j]->name);
    trel_objectRoot(file, root);
    by_root[root].push_back(j);
  }
  for (int i = 0; i < n; i++) {
    trel_objectRoot(paths[i] ? paths[i] : "", root);
    roots[i] = root;
    names.avoid.emplace(root);
  }
  for (int i = 0; i < n; i++) {
    const char* path = paths[i] ? paths[i] : "";
    const std::string& r = roots[i];
    std::string same;
    const auto kin = by_root.find(r);
    if (kin != by_root.end())
      for (int j : kin->second)
        if (trel_namesOneFile(path, other_paths[j]) && !claimed.count(others[j]->name)) {
          same = others[j]->name;
          break;
        }
    if (!same.empty()) {
      claimed.insert(same);
      if (same != r) out[i].name = same;
      continue;
    }
    std::string name = trel_giveName(&names, r, path, ", read from its own file and not cached");
    if (name != r) out[i].name = std::move(name);
  }
  return out;
}

constexpr int kOpenMailbox = ZAM_MAILBOX_OPEN;          // workers report to the collector here
constexpr int kOpenCollector = ZAM_HANDLE_COLLECTOR;
constexpr int kParallelMin = 8;    // shorter lists are opened serially

// Opens object i; a lean list writes a fresh object's cache files at once
// and then lets go of the image when it can be had again. An object found in
// the cache keeps the trace records its check read only when the caller
// loads them (trace scoring, inside the residue window): the others would
// hold memory for nothing.
void openOne(const OpenList& list, int i) {
  const _trel_thing_opts* o = list.options;
  const std::string& name = (*list.names)[i].name;
  const bool own = !name.empty();
  _trel_thing* thing = trel_openThingNamed(list.paths[i], own ? "./" : list.cache_folder, o->q_max,
                                 list.is_sequence, o, list.pots, own ? 1 : list.force,
                                 own ? 0 : list.save, own ? name.c_str() : nullptr,
                                 o->identities ? &o->identities[i] : nullptr);
  list.things[i] = thing;
  if (!thing->tag || thing->tag->valid != 1) return;
  const int n = thing->tag->n_residues;
  if (thing->cached && (o->filter_method != 6 || n < list.min || n > list.max)) trel_wipeTrace(&thing->trace);
  if (!o->lean) return;
  if (thing->dirty) trel_writeThingCache(thing);
  trel_releaseThingImage(thing);
}

struct OpenWorker {
  _zam_collector* collector;
  const OpenList* list;
  std::vector<_zam_log_held>* messages;  // one hold per list item
};

// Opens work-list items until the list is empty; returns how many. The
// messages of each item (screen and log file alike) are held in that item's
// hold, to be written in list order once every worker is done.
int openItems(const OpenWorker& w) {
  int count = 0;
  for (int i = zam_thread_pop_list(); i >= 0; i = zam_thread_pop_list(), count++) {
    _zam_log_held* before = zam_log_hold(&(*w.messages)[i]);
    openOne(*w.list, i);
    zam_log_hold(before);
  }
  return count;
}

void* openWorker(void* arg) {
  const OpenWorker* w = static_cast<const OpenWorker*>(arg);
  zam_collector_report(w->collector, openItems(*w));
  zam_thread_exit();
  return nullptr;
}

// Opens the list on worker threads when it is long and made of trace
// objects whose opening neither draws random numbers nor looks codes up.
// Each worker takes list items one at a time; the objects are disjoint and
// the store keeps no other state. False when the list is left to the caller.
bool openParallel(const OpenList& list, int n) {
  const _trel_thing_opts* o = list.options;
  if (o->threads < 2 || n < kParallelMin || o->with_spf || list.is_sequence || o->use_random ||
      o->with_lookup)
    return false;
  const int w = std::min(zam_thread_setup_task(std::min(o->threads, n), 0), n);
  if (w < 2) return false;
  std::vector<_zam_log_held> messages(n);
  zam_thread_load_range(0, n - 1);
  _zam_collector collector{0, 0, kOpenMailbox, 0, 0.0};
  std::vector<OpenWorker> workers(ZAM_TASK_STACK);
  auto fill = [&](OpenWorker& r, const _zam_task&) { r = OpenWorker{&collector, &list, &messages}; };
  // A worker without a slot or a thread: this thread takes its share.
  auto here = [](OpenWorker& r) { return openItems(r); };
  if (zam_thread_fan_out(kOpenCollector, &collector, w, openWorker, workers.data(), fill, here) < 0) {
    zam_thread_load_range(0, -1);
    return false;  // no collector thread: the caller opens the list itself
  }
  for (_zam_log_held& held : messages) zam_log_replay(&held);
  return true;
}

}  // namespace

int trel_openThings(int n, _trel_thing** things, const int* pots, int min, int max,
                    int is_sequence, const char* const* paths, const char* cache_folder,
                    int force, int save, const _trel_thing_opts* options) {
  const _trel_thing_opts defaults;
  if (!options) options = &defaults;
  const std::vector<ItemName> names =
      nameItems(n, paths, options->other_paths, options->others, options->n_others);
  OpenList list{things, paths, pots, cache_folder, is_sequence, force, save, options, min, max, &names};
  if (!openParallel(list, n))
    for (int i = 0; i < n; i++) openOne(list, i);
  trel_sayOlder(things, n, true);
  for (int i = 0; i < n; i++) {
    _trel_thing* thing = things[i];
    // Objects that could not be opened were reported then; the caller skips them.
    if (!thing->tag || thing->tag->valid != 1) continue;
    if (options->filter_method == 6) {
      const int length = thing->tag->n_residues;
      if (length < min || length > max) continue;
      if (!trel_readThingTrace(thing)) {
        zam_err("Failed to load TRC data for: %s\n", thing->name);
        return 0;
      }
      continue;
    }
    for (int c = 0; c < TREL_POT_CLASSES; c++) {
      int pot_class = -1;
      if (pots && pots[c] == -1) pot_class = thing->tag->pot_class;
      if (pots && pots[c] > 0) pot_class = c;
      if (pot_class < 0) continue;
      if (trel_readThingTau(thing, pot_class, options->q_max) != 1) {
        zam_err("Failed to load SPF data for: %s\n", thing->name);
        return 0;
      }
    }
  }
  return 1;
}
