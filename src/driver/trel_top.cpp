// Start-up, environment, folders, log and mode dispatch of the tool.
#include "driver/trel_top.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <memory>
#include <mutex>
#include <csignal>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "align/trel_backbone.h"
#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "driver/trel_modes.h"
#include "driver/trel_options.h"
#include "driver/trel_process.h"
#include "geometry/zam_transform.h"
#include "harmonics/zam_cache.h"
#include "matching/zam_dock_spec.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_gpu.h"
#include "runtime/zam_inputs.h"
#include "runtime/zam_log.h"
#include "runtime/zam_owner.h"
#include "runtime/zam_stop.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_version.h"
#include "runtime/zam_vm.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_lock.h"
#include "runtime/zam_whole.h"
#include "runtime/zam_written.h"
#include "store/trel_folders.h"
#include "structure/zam_pdb.h"

void (*trel_end_fault)(TrelEndStep step) = nullptr;

namespace {

trel_settings& S = trel_run_settings;

// The shared parent of the private cache folders of runs that name no cache.
const char* const kCacheParent = "/tmp/trel_cache";

// The private cache folder of this run, removed at exit; empty when none.
// The run holds a lock of it (flock, through cache_hold, kept open) that
// the kernel drops when the run ends however it ends: a later run in any
// PID namespace, or on any host sharing /tmp, knows a killed run's folder
// by that lock, never by the owner mark in its name.
std::string private_cache;
int cache_hold = -1;
bool cache_is_private = false;  // read by the main thread alone
bool purge_refused = false;     // -purge refused its folder at start-up

// The end of the run: taken by its own end (or exit) and by a stop signal's
// watcher, so that the log is placed and the cache removed once. One order
// everywhere: end_lock first, then the record's turn (placing and recording
// the log take turns under it), so the stop takes end_lock before it stops
// the record's turns, and takes it with a limit: an end that holds it past
// that (its log waiting for a record another run holds) is left as it is.
std::timed_mutex end_lock;
constexpr auto kStopWaitsForEnd = std::chrono::seconds(2);

// One line for the files that stood at the names of this run's results and
// that no record shows trel wrote (the user's, or an older trel's): each
// was moved aside to a numbered name first. Said once,
// at the end of the run, whether it ended well or not.
void reportSetAside() {
  static std::atomic<bool> said{false};
  std::string first, as;
  const int n = zam_setAsideFiles(&first, &as);
  if (n == 0 || said.exchange(true)) return;
  if (n == 1)
    zam_wrn("Kept %s, which no record shows trel wrote, as %s: a result of this run has its name.\n",
            first.c_str(), as.c_str());
  else
    zam_wrn("Kept %d files that no record shows trel wrote under numbered names: results of this run have "
            "their names (the first: %s, now %s).\n",
            n, first.c_str(), as.c_str());
}

// The first turn at the results folder's record that could not be had
// (zam_recordTrouble): a file of the run may then be missing or stand
// without its line, so the run fails. Said once; true when there is one.
bool reportRecordTrouble() {
  static std::atomic<bool> said{false};
  const std::string trouble = zam_recordTrouble();
  if (trouble.empty()) return false;
  if (!said.exchange(true))
    zam_err("Cannot keep the record of the files written into the results folder: %s\n", trouble.c_str());
  return true;
}

[[noreturn]] void fail() {
  reportRecordTrouble();
  reportSetAside();
  std::exit(1);
}

// The run's log is written under a private name beside its own (S.log_file)
// and takes that name only when the run ends well; a run that fails keeps
// its log under a numbered name instead. So the log's name always holds the
// last run that ended well, a log is never written through a link standing
// at that name, and no run's log replaces another's: a log found there is
// kept under a numbered name (concurrent runs into one folder included).
std::string log_private;  // "" once the log has its place (or there is none)
std::string log_placed;   // the name it was given, until it is recorded
// The private name the log was made under, and the name it was given at the
// run's end, for a stop that cannot wait for end_lock: each set once, never
// freed.
std::atomic<const std::string*> log_claimed{nullptr};
std::atomic<const std::string*> log_moved{nullptr};
// The run's own descriptor of its log, kept for the run with its lock: the
// sign to other runs that the log's writer lives.
int log_hold = -1;

// The private name of a run's log carries its owner mark (zam_ownerMark),
// so that names of runs never meet.
std::string privateLogName(const std::string& name, const std::string& tag) {
  return zam_numberedName(name, tag + ".running");
}

// Takes this run's lock of its private cache folder, open as fd at path,
// and checks that the folder is still there: a run that found it free
// between its making and the lock removes it (holding the lock meanwhile).
// True also where the file system grants no lock (no run can then tell the
// folder's maker gone, and none removes it).
bool holdFolder(int fd, const std::string& path) {
  if (zam_tryLockFile(fd, true) == ZAM_LOCK_FAILED && errno == EWOULDBLOCK) return false;
  return zam_standsAt(fd, path);
}

// Makes the private log file beside name, a new file of this run only
// (zam_openGrowing: held by the mark that tells other runs its writer
// lives, and covered by its line in the record before it has its name);
// its name goes to *path. A name another run has is left to it: another is
// made. The descriptor, which the run keeps open for its mark; -1 (errno)
// when no log can be made: the run then keeps none.
int claimPrivateLog(const std::string& name, std::string* path) {
  const std::string mark = zam_ownerMark();
  std::string tag = mark;
  for (int k = 1;; ++k) {
    *path = privateLogName(name, tag);
    const int fd = zam_openGrowing(*path);
    if (fd >= 0 || errno != EEXIST || k >= 100) return fd;
    tag = mark + "_" + std::to_string(k);
  }
}

// The logs that killed runs left under their private names beside name
// (the name of a run's log, after an owner mark; their writer known gone
// by the lock it held, zam_writerGone, which the kernel dropped when it
// ended, in whatever PID namespace or on whatever host) are kept as failed
// runs keep theirs: under the first free numbered name, which is said.
void keepStoppedLogs(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
  const std::string pattern = privateLogName(name.substr(slash + 1), std::string(1, '\0'));
  const size_t cut = pattern.find('\0');
  const std::string head = pattern.substr(0, cut), tail = pattern.substr(cut + 1);
  std::vector<std::string> entries, found;
  zam_folderEntries(folder, &entries);  // an unreadable folder holds none
  for (const std::string& entry : entries) {
    if (entry.size() <= head.size() + tail.size() || entry.compare(0, head.size(), head) != 0 ||
        entry.compare(entry.size() - tail.size(), tail.size(), tail) != 0)
      continue;
    const std::string tag = entry.substr(head.size(), entry.size() - head.size() - tail.size());
    const size_t mark = zam_ownerMarkAt(tag);
    bool plain = mark > 0 && (mark == tag.size() || (tag[mark] == '_' && mark + 1 < tag.size()));
    for (size_t k = mark + 1; plain && k < tag.size(); k++) plain = tag[k] >= '0' && tag[k] <= '9';
    if (plain) found.push_back(entry);
  }
  std::sort(found.begin(), found.end());
  for (const std::string& entry : found) {
    const std::string from = slash == std::string::npos ? entry : folder + entry;
    struct stat st;
    if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || zam_writerGone(from) != 1) continue;
    // One left empty (its run killed before the log's first line) holds
    // nothing to keep: it goes where its line in the record proves it
    // trel's. A run's log is held before it has its name, but where the
    // system has no unnamed files, where it is made first and held and
    // covered at once: one being made there now has no line yet.
    if (st.st_size == 0) {
      const _zam_record_turn turn(from);
      const _zam_identity id = zam_identityOf(st);
      if (zam_recordCovers(turn, from, id) && zam_removeRecorded(from, id) == ZAM_RECORDED_REMOVED)
        zam_msg("Removed the empty log of a run that was stopped: %s\n", from.c_str());
      continue;
    }
    const std::string kept = zam_placeNumberedOwn(from, name);
    if (kept.empty()) continue;
    zam_recordMade(kept);  // its writer is gone: its bytes are final
    zam_msg("Log of a run that was stopped: %s\n", kept.c_str());
  }
}

// Gives the log its place (end_lock held): its own name when the run ended
// well, else a numbered one, which is said. The log may still be open (a
// renamed file keeps its open stream), so the closing of it comes after.
// A log that cannot be moved with its line in the record (another run
// holds the record past a stop's wait, say) stays at its private name,
// where the line written when it was made covers it.
void placeLogHeld(bool ended_well) {
  if (log_private.empty()) return;
  const std::string from = std::exchange(log_private, std::string());
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) return;  // the log could not be made
  // An input of the run named by a list (the log's name is checked against
  // the others at start-up) keeps its name: the log takes a numbered one.
  const bool input = zam_isInput(S.log_file);
  std::string aside;
  if (ended_well && !input && zam_placeKeeping(from, S.log_file, &aside)) {
    zam_logger_name(S.log_file.c_str());
    log_placed = S.log_file;
    log_moved = new std::string(S.log_file);
    if (!aside.empty()) zam_msg("The earlier file %s is kept as %s\n", S.log_file.c_str(), aside.c_str());
    return;
  }
  const std::string kept = zam_placeNumberedOwn(from, S.log_file);
  if (kept.empty()) {
    if (errno == ECANCELED)
      zam_wrn("The log of this run stays %s: the record of its folder could not be had in time.\n", from.c_str());
    else
      zam_wrn("The log of this run stays %s: %s\n", from.c_str(), std::strerror(errno));
    return;
  }
  zam_logger_name(kept.c_str());
  log_placed = kept;
  log_moved = new std::string(kept);
  if (ended_well && input)
    zam_wrn("The log of this run is %s: %s is an input file of this run, left as it is.\n", kept.c_str(),
            S.log_file.c_str());
  else if (ended_well)
    zam_wrn("The log of this run is %s: %s is not a file of its own (a link or a pipe, say), left as it is.\n",
            kept.c_str(), S.log_file.c_str());
  else
    zam_msg("Log of this failed run: %s\n", kept.c_str());
}

void placeLog(bool ended_well) {
  std::lock_guard<std::timed_mutex> hold(end_lock);
  if (trel_end_fault) trel_end_fault(TREL_END_PLACING);
  placeLogHeld(ended_well);
}

// Exit hook of a run that stops before its end (a mode that ends the
// process on failure): what failed at the record is said there too.
void placeFailedLog() {
  reportRecordTrouble();
  placeLog(false);
}

// Run once the log is closed (end_lock held): its bytes are final, so it is
// recorded as a file of the results folder (when it lies in one).
void recordLogHeld() {
  if (!log_placed.empty()) zam_recordMade(std::exchange(log_placed, std::string()));
}

// Exit hook: the log of a run that ends otherwise than through its end.
void recordLog() {
  std::lock_guard<std::timed_mutex> hold(end_lock);
  if (trel_end_fault) trel_end_fault(TREL_END_RECORDING);
  recordLogHeld();
}

// The private cache folder goes, and then its lock (end_lock held).
void removePrivateCacheHeld() {
  std::error_code ec;  // remove_all removes symbolic links, never follows them
  if (!private_cache.empty()) std::filesystem::remove_all(std::exchange(private_cache, std::string()), ec);
  if (cache_hold >= 0) close(std::exchange(cache_hold, -1));
}

void removePrivateCache() {
  std::lock_guard<std::timed_mutex> hold(end_lock);
  removePrivateCacheHeld();
}

// Whether the file path lies in folder or under it (links followed).
bool liesIn(const std::string& path, const std::string& folder) {
  namespace fs = std::filesystem;
  const auto whole = [](const fs::path& dir) {
    std::error_code ec;
    std::string s = fs::weakly_canonical(dir.empty() ? fs::path(".") : dir, ec).string();
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s + "/";
  };
  const std::string in = whole(fs::path(path).parent_path()), top = whole(folder);
  return !path.empty() && in.compare(0, top.size(), top) == 0;
}

// Marks the results folder as written into by this run until it ends, a
// lock the kernel drops however it ends (zam_markAlive, of a byte no query's
// writer marks but by chance): -purge leaves the folder whole while it is
// held. A purge under way holds the folder's lock, which the mark waits
// for, so that no purge after it finds a folder of this run half made and
// unmarked. Where the file system refuses the mark, the run's log (marked
// alive) is how a purge knows it.
void markResults() {
  constexpr int64_t kRunByte = 0x7fffffff;
  const int turn = open(S.res_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (turn >= 0) zam_lockFile(turn, false, "a -purge of " + S.res_folder, S.res_folder);
  const int mark = open(S.res_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (mark >= 0 && zam_markAlive(mark, kRunByte) != 1) close(mark);  // else kept for the run
  if (turn >= 0) close(turn);
}

// The folder with a trailing "/" ("./" for an empty one).
std::string withSlash(std::string dir) {
  if (dir.empty()) return "./";
  if (dir.back() != '/') dir += '/';
  return dir;
}

// Folder and file names must fit the path buffers of the library.
void checkLength(const char* what, const std::string& name) {
  if (name.size() <= static_cast<size_t>(TREL_PATH_MAX)) return;
  zam_err("%s is longer than %d characters: %.64s...\n", what, TREL_PATH_MAX, name.c_str());
  fail();
}

// A folder variable: an empty value counts as unset (TREL_RESULTS= would
// otherwise put the results into the working folder itself).
std::string envFolder(const char* name, const std::string& fallback) {
  return zam_getenv(name)[0] ? zam_char_env(name, fallback.c_str()) : fallback;
}

void readEnvironment() {
  S.root = envFolder("TREL_ROOT", ".");
  S.sys_folder = withSlash(envFolder("TREL_DATABASE", S.root + "/trel_database"));
  S.res_folder = withSlash(envFolder("TREL_RESULTS", "./trel_results"));
  S.job_name = zam_getenv("TREL_JOB");
  S.log_file = zam_char_env("TREL_LOG", (S.res_folder + "trel.log").c_str());
  checkLength("The database folder (TREL_DATABASE)", S.sys_folder);
  checkLength("The results folder (TREL_RESULTS)", S.res_folder);
  checkLength("The log file name (TREL_LOG)", S.log_file);

  S.n_cpus = zam_int_env("TREL_CPUS", zam_cpus_usable());
  zam_thread_setup(S.n_cpus);
  S.n_gpus = zam_int_env("TREL_GPUS", 1);
  S.first_gpu = zam_int_env("TREL_FIRST_GPU", 0);
  zam_cuda_setup(S.first_gpu, S.n_gpus);
}

// The shared cache parent is made world-writable with the sticky bit when
// absent, and left exactly as it is when present; it must be a real folder,
// not a link, because private folders are made inside it.
void makeCacheParent() {
  mode_t old = umask(0);
  int made = mkdir(kCacheParent, 0777) == 0;
  umask(old);
  if (made) chmod(kCacheParent, 01777);
  struct stat st;
  if (lstat(kCacheParent, &st) != 0 || !S_ISDIR(st.st_mode)) {
    zam_err("Failed to create CACHE directory: %s\n", kCacheParent);
    fail();
  }
}

// Removes the private cache folders that killed runs left in the shared
// parent: folders of this user named by mkdtemp after an owner mark, whose
// lock (cache_hold) no process holds: the kernel dropped it when the run
// ended, in whatever PID namespace. The lock is held while the folder goes,
// so that a run that has just made it, and finds it taken, makes another.
// Any other entry is left alone.
void removeStoppedCaches() {
  std::vector<std::string> entries;
  zam_folderEntries(kCacheParent, &entries);  // an unreadable parent holds none
  int removed = 0;
  for (const std::string& entry : entries) {
    const size_t mark = zam_ownerMarkAt(entry);
    if (mark == 0 || entry.size() != mark + 7 || entry[mark] != '_') continue;
    const std::string folder = std::string(kCacheParent) + "/" + entry;
    struct stat st, at;
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) continue;
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    // A folder whose file system grants no lock is never known free.
    const int kind = fstat(fd, &at) == 0 && at.st_dev == st.st_dev && at.st_ino == st.st_ino
                         ? zam_tryLockFile(fd, true)
                         : ZAM_LOCK_FAILED;
    if (kind == ZAM_LOCK_FLOCK || kind == ZAM_LOCK_OFD) {
      std::error_code ec;  // remove_all removes symbolic links, never follows them
      std::filesystem::remove_all(folder, ec);
      if (!ec) removed++;
    }
    close(fd);
  }
  if (removed > 0)
    zam_msg("Removed %d private cache folder%s of runs that were stopped from %s\n", removed,
            removed == 1 ? "" : "s", kCacheParent);
}

// Makes this run's private cache folder in the shared parent, named after
// its owner mark, and takes its lock (cache_hold) before anything else is
// done: one that another run removed meanwhile (found free between its
// making and the lock) is given up for another.
std::string makePrivateCache() {
  for (int tries = 0; tries < 100; ++tries) {
    std::string name = std::string(kCacheParent) + "/" + zam_ownerMark() + "_XXXXXX";
    if (!mkdtemp(name.data())) return std::string();
    const int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && holdFolder(fd, name)) {
      std::lock_guard<std::timed_mutex> hold(end_lock);  // made and known at once: a stop removes it
      private_cache = name;
      cache_hold = fd;
      return name;
    }
    if (fd >= 0) close(fd);
  }
  errno = EBUSY;
  return std::string();
}

// The cache folder of this run, once the SPF switch has said whether the
// cache is on: TREL_CACHE, a private folder under /tmp/trel_cache, or "./".
void setupCacheFolder() {
  if (!S.opt.use_cache) {
    S.usr_folder = "./";
    return;
  }
  if (zam_getenv("TREL_CACHE")[0]) {
    S.usr_folder = withSlash(zam_char_env("TREL_CACHE", "./trel_cache"));
    checkLength("The cache folder (TREL_CACHE)", S.usr_folder);
    return;
  }
  makeCacheParent();
  removeStoppedCaches();
  const std::string name = makePrivateCache();
  if (name.empty()) {
    zam_err("Failed to create CACHE directory: %s/%s_XXXXXX [%s]\n", kCacheParent, zam_ownerMark().c_str(),
            std::strerror(errno));
    fail();
  }
  cache_is_private = true;
  std::atexit(removePrivateCache);
  S.usr_folder = withSlash(name);
}

// The matcher's settings when SPF is on: its two expansion orders, the FFT
// layout and the samplings derived from the angular steps.
void setupMatcher(_docking_spec* spec) {
  int K = S.k_max, J = S.j_max;
  if (J > K) {
    spec->scan_order = K;
    spec->order = J;
  } else {
    spec->scan_order = 0;
    spec->order = K;
  }
  S.opt.q_max = std::max(J, K);
  spec->fft_mode = 3;
  spec->gpu_devices = 0;
  bool want_device = S.use_device != 0;
  if (want_device && zam_cuda_enabled() && zam_cuda_active_devices() > 0 && zam_cuda_memory() >= 51200) {
    spec->fft_mode = 1;
    spec->gpu_devices = 1;
  }
  zam_dock_derive_samples(spec);
}

// The alignment engine's settings pushed into it; the order of the last
// four matters because each renormalises the K-score weights.
void pushAlignSettings() {
  trel_setQCP(S.align_qcp);
  trel_setAlignBanded(S.align_banded);
  trel_setAlignFilter(S.opt.align_filter);
  trel_setAlignWindow(S.align_window);
  trel_setAlignRho(S.align_rho);
  trel_setAlignAlpha(S.align_alpha);
  trel_setAlignBeta(S.align_beta);
  trel_setAlignGamma(S.align_gamma);
  trel_setAlignEta(S.align_eta);
  trel_setAlignSigma(S.align_sigma);
  trel_setAlignTau(S.align_tau);
  trel_setAlignOmega(S.align_tau);
  trel_setAlignKbias(S.align_kbias);
  trel_setAlignGbias(S.align_gbias);
  trel_setAlignTrace(S.align_trace);
  trel_setAlignSpatial(S.align_spatial);
  trel_setAlignBlosum(S.align_blosum);
  trel_setAlignCut(S.align_cut);
}

// A kget1S list of names as owned strings (the list is released).
std::vector<std::string> takeList(char** list, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i)
    if (list && list[i]) out.emplace_back(list[i]);
  kfree(list);
  return out;
}

// The files named by a folder or list file; a folder's files that hold no
// structure are left out unless the files are read as sequences. With the
// object cache's folder (cache, not null), a folder's file that its cached
// tag knows as it stands is not read to tell. The identity each file had
// when the list was read goes to ids when given, one for each name.
std::vector<std::string> getFiles(const std::string& source, bool sequences, const char* cache = nullptr,
                                  std::vector<_zam_identity>* ids = nullptr) {
  if (ids) ids->clear();
  if (source.empty()) return {};
  int n = 0;
  char** list = trel_getStructureFiles(source.c_str(), sequences ? 0 : 1, &n, cache, ids);
  return takeList(list, n);
}

// Pointers into a list of strings, for the modes' C interfaces.
std::vector<char*> pointers(std::vector<std::string>& list) {
  std::vector<char*> out;
  for (std::string& s : list) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Marks the files the command line names as inputs of the run, before
// anything is written: no result, log or model file takes their place. The
// files that list files name are marked where the lists are read.
void keepNamedInputs() {
  for (const std::string& file : S.files) zam_keepInput(file);
  for (const std::string* file : {&S.theor_file, &S.only_file, &S.read_list, &S.source_list, &S.target_list,
                                  &S.sisy_file, &S.homstrad_file})
    zam_keepInput(*file);
}

void needDatabase(const char* option) {
  if (!S.db_name.empty()) return;
  zam_err("No database given for -%s. Please use -db=<database>.\n", option);
  fail();
}

// -test: three ideal backbones instead of a search.
void writeTestBackbones() {
  static const char residues[] = "ARNDCEQGHILKMFPSTWYV";
  std::string both = std::string(residues) + residues;
  std::string alpha(20, 'A'), beta(20, 'B');
  struct Piece {
    const char* name;
    char chain;
    std::string seq, sse;
  } pieces[] = {{"alpha", 'A', residues, alpha}, {"beta", 'B', residues, beta}, {"alpha_beta", 'C', both, alpha + beta}};
  // Each is written (or refused, reported) whatever became of the others.
  int failed = 0;
  for (const Piece& p : pieces) {
    _pdb_image* image = trel_makeBackbone(p.name, p.chain, int(p.seq.size()), p.seq.c_str(), p.sse.c_str());
    std::string file = S.res_folder + p.name + ".pdb";
    if (!zam_writePdb(file.c_str(), image, -1, 0, 0, 0, 1, tf_identity())) failed++;
    zam_freePdb(image);
  }
  if (failed == 0) return;
  zam_err("%d of the 3 ideal backbone files could not be written.\n", failed);
  fail();
}

void runSearch(_trel_options* options, char** only, int n_only) {
  if (options->do_ligand) {
    if (options->use_db) {
      zam_err("Cannot search a database in -ligand mode. Exiting.\n");
      fail();
    }
    if (options->do_all || options->do_partner) {
      zam_err("Cannot do all-vs-all in -ligand mode. Exiting.\n");
      fail();
    }
  }
  if (options->use_cache && !trel_mkdir(S.usr_folder.c_str(), "CACHE")) fail();
  if (options->use_cache && !cache_is_private) trel_removeDeadTemps(S.usr_folder.c_str());
  int members = 0;
  _trel_db* db = nullptr;
  if (options->use_db) {
    db = trel_modeOpenDatabase(S.sys_folder.c_str(), S.db_name.c_str(), S.with_index, &members);
    if (!db) fail();
    if (S.with_index) options->with_lookup = 1;
  }

  const char* cache = options->use_cache ? S.usr_folder.c_str() : nullptr;
  // Each listed file is looked at once, when its list is read: that
  // identity marks it as an input and is its identity when it is opened.
  std::vector<_zam_identity> read_ids, query_ids, target_ids;
  std::vector<std::string> reads = getFiles(S.read_list, options->with_qseq || options->with_tseq, cache, &read_ids);
  std::vector<std::string> queries = getFiles(S.source_list, options->with_qseq, cache, &query_ids);
  std::vector<std::string> targets = getFiles(S.target_list, options->with_tseq, cache, &target_ids);
  for (const auto& [list, ids] : {std::pair{&reads, &read_ids}, {&queries, &query_ids}, {&targets, &target_ids}})
    for (size_t i = 0; i < list->size(); i++)
      if ((*ids)[i].ino != 0)
        zam_keepInputIdentity((*ids)[i]);
      else
        zam_keepInput((*list)[i]);
  size_t nquery_files = S.multi_query ? S.files.size() : std::min<size_t>(1, S.files.size());
  queries.insert(queries.end(), S.files.begin(), S.files.begin() + nquery_files);
  if (!S.multi_query && S.files.size() > 1) targets.insert(targets.end(), S.files.begin() + 1, S.files.end());
  query_ids.resize(queries.size());  // the command line's files: looked at when opened
  target_ids.resize(targets.size());
  if (!reads.empty()) {
    size_t from = 0;
    if (queries.empty()) {
      queries.push_back(reads[0]);
      query_ids.push_back(read_ids[0]);
      from = 1;
    }
    targets.insert(targets.end(), reads.begin() + from, reads.end());
    target_ids.insert(target_ids.end(), read_ids.begin() + static_cast<std::ptrdiff_t>(from), read_ids.end());
  }

  int nq = int(queries.size()), nt = int(targets.size());
  if (members + nt < 1) {
    zam_err("No target or database PDB files given. Exiting.\n");
    fail();
  }
  if (!options->do_all && !options->do_partner && nq < 1 && S.member_name.empty()) {
    zam_msg("No query PDB files or query member specified. Exiting.\n");
    fail();
  }
  if (options->do_multi && members + nt < 2) {
    zam_msg("Not enough target and database PDB files given for a multiple alignment (need > 1). Exiting.\n");
    fail();
  }
  if (options->do_ligand) {
    if (nq != 1 || nt != 2) {
      zam_msg("With -ligand, must give 1 query, 1 target, and 1 ligand PDB. Exiting.\n");
      fail();
    }
    options->with_unified = 0;
  }
  if (S.do_test && !options->use_db && nq == 1 && nt == 1) {
    writeTestBackbones();
    return;
  }
  std::vector<char*> q = pointers(queries), t = pointers(targets);
  trel_process(S.sys_folder.c_str(), S.db_name.c_str(), S.usr_folder.c_str(), q.data(), nq, t.data(), nt,
               S.member_name.empty() ? nullptr : S.member_name.c_str(),
               S.template_name.empty() ? nullptr : S.template_name.c_str(), db,
               S.select_pattern.empty() ? nullptr : S.select_pattern.c_str(), only, n_only, options,
               _trel_input_ids{query_ids.data(), target_ids.data()});
}

// Modes 1 to 9; returns after the first that applies.
void runMode(_trel_options* options, char** only, int n_only) {
  const char* select = S.select_pattern.empty() ? nullptr : S.select_pattern.c_str();
  if (S.do_theor) {
    if (!trel_modeTheor(S.res_folder.c_str(), S.theor_file.c_str(), options->export_mode)) fail();
    return;
  }
  if (S.do_purge && !S.server_mode) {
    // This run's own log goes with the folder it is in.
    std::string own;
    {
      std::lock_guard<std::timed_mutex> hold(end_lock);
      own = log_private;
    }
    // A refusal (said at start-up) only logs.
    if (!purge_refused)
      trel_purgeResults(S.res_folder.c_str(), S.really_delete, own.empty() ? nullptr : own.c_str());
    return;
  }
  if (S.do_delete && !S.server_mode) {
    needDatabase("delete");
    if (!trel_modeDelete(S.sys_folder.c_str(), S.db_name.c_str(), S.with_index, S.really_delete)) fail();
    return;
  }
  if (S.do_list) {
    needDatabase("list");
    if (!trel_modeList(S.sys_folder.c_str(), S.db_name.c_str(), S.with_index, select, only, n_only, options))
      fail();
    return;
  }
  if (S.do_extract) {
    needDatabase("extract");
    if (!trel_mkdir(S.extract_folder.c_str(), "EXTRACT")) fail();
    if (!trel_modeExtract(S.sys_folder.c_str(), S.db_name.c_str(), S.with_index, S.extract_folder.c_str(), select,
                          only, n_only, options))
      fail();
    return;
  }

  for (const std::string& file : S.files) {
    // Names must fit the library's path buffers: refused here, not cut later.
    checkLength("The file name", file);
    if (zam_filesize(file.c_str()) == -1) {
      zam_err("File not found: %s\n", file.c_str());
      fail();
    }
  }
  if (S.do_score) {
    if (S.files.empty()) {
      zam_err("No source alignment files given. Exiting.\n");
      fail();
    }
    // Only one reference is compared: a second would be passed over unseen.
    const int references = !S.sisy_file.empty() + !S.homstrad_file.empty() + !S.sabmark_folder.empty();
    if (references > 1) {
      zam_err("-score compares with one reference: give -sisy, -homstrad or -sabmark, not %d of them. Exiting.\n",
              references);
      fail();
    }
    // Every alignment is scored; one that failed makes the run fail at the end.
    bool failed = false;
    for (const std::string& file : S.files)
      if (!trel_modeScore(file.c_str(), S.sisy_file.c_str(), S.homstrad_file.c_str(), S.sabmark_folder.c_str(),
                          options))
        failed = true;
    if (failed) fail();
    return;
  }
  if (S.do_preprocess) {
    if (S.files.empty()) {
      zam_err("No source files or directories given. Exiting.\n");
      fail();
    }
    std::vector<char*> f = pointers(S.files);
    if (!trel_modePreprocess(f.data(), int(S.files.size()), options)) fail();
    return;
  }
  if (S.do_build) {
    std::vector<std::string> files = getFiles(!S.source_list.empty() ? S.source_list : S.read_list, false);
    // The structures of a build are all sources: a -target list names some too.
    const std::vector<std::string> listed = getFiles(S.target_list, false);
    files.insert(files.end(), listed.begin(), listed.end());
    files.insert(files.end(), S.files.begin(), S.files.end());
    for (const std::string& file : files) zam_keepInput(file);
    if (files.empty()) {
      zam_err("Not enough source PDB structures given. Exiting.\n");
      fail();
    }
    options->with_lookup = 1;
    options->show_things = 1;
    std::vector<char*> f = pointers(files);
    if (!trel_modeBuild(S.sys_folder.c_str(), S.db_name.c_str(), f.data(), int(files.size()), S.with_index,
                        S.db_type, options))
      fail();
    return;
  }
  runSearch(options, only, n_only);
}

}  // namespace

void trel_stopRun(int sig) {
  // What failed at the record before the stop (after it, the turns of the
  // other threads fail by design).
  const std::string trouble = zam_recordTrouble();
  // The run's own destinations, whatever quiet step a thread is in (the
  // sampling of descriptors, a rotational match): what the run held back
  // until then and why it stops reach the user once, in order.
  const auto pinOwn = [] { zam_logger_pin(S.use_stdout ? nullptr : suppress_stdout, S.use_stdout ? 0 : 1); };
  pinOwn();
  zam_log_release();
  zam_err("Run stopped by %s.\n", sig == SIGINT    ? "SIGINT (interrupt)"
                                   : sig == SIGTERM ? "SIGTERM"
                                   : sig == SIGHUP  ? "SIGHUP (its terminal closed)"
                                                    : "a signal");
  if (!trouble.empty()) reportRecordTrouble();
  // The workers still at work are not heard from again (their turns at the
  // record fail from here on); what this thread says is held meanwhile and
  // said once its clean-up is done.
  _zam_log_held said;
  _zam_log_held* before = zam_log_hold(&said);
  zam_logger_pin(suppress_stdout, 0);
  // The end of the run first, as every thread takes it before the record's
  // turn, and only for a while: an end that holds it past that (its log
  // waiting for a record another run holds) is not waited for.
  std::unique_lock<std::timed_mutex> end(end_lock, kStopWaitsForEnd);
  // A file another thread is putting in place is in place and recorded
  // before the run ends, and no thread starts another.
  zam_recordStop();
  reportSetAside();
  if (end.owns_lock()) {
    removePrivateCacheHeld();
    placeLogHeld(false);
  } else {
    // Its private cache folder goes with the next run that looks (its lock
    // goes with this process).
    const std::string* claimed = log_claimed.load();
    if (const std::string* moved = log_moved.load())
      zam_wrn("The log of this run is %s.\n", moved->c_str());
    else if (claimed)
      zam_wrn("The log of this run is left where the end of the run under way puts it (%s until then).\n",
              claimed->c_str());
  }
  zam_log_hold(before);
  pinOwn();
  zam_log_replay(&said);
  zam_logger_pin(suppress_stdout, 0);
  zam_logger_exit();
  if (end.owns_lock()) recordLogHeld();
  // No temporary file is left, and no new one may be made: the workers'
  // writes fail from here on.
  zam_removeOwnTemps();
}

void redirect_output() {
  static bool hooked = false;
  if (!S.use_stdout) {
    // Messages go to the log alone; warnings and errors keep their copy on
    // standard error, so that a run that fails still says why.
    zam_logger_callback(suppress_stdout);
    zam_logger_stderr(1);
  }
  if (!S.log_file.empty()) {
    // Hooks run in reverse order: the log gets its place, is closed, and
    // then recorded as the results folder's own file, as closed.
    if (!hooked) {
      std::atexit(recordLog);
      std::atexit(zam_logger_exit);
      std::atexit(placeFailedLog);
    }
    hooked = true;
    // A device (-log=/dev/null), or a pipe or socket named as the log,
    // holds no log to keep: written as it is. One at the log's own name is
    // not the user's asking: left as it is, as a link there is.
    struct stat st;
    const bool named = S.log_file != S.res_folder + "trel.log";
    const bool device = lstat(S.log_file.c_str(), &st) == 0 &&
                        (S_ISCHR(st.st_mode) || (named && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))));
    if (device) {
      zam_logger_name(S.log_file.c_str());
      zam_logger_state(1);
      return;
    }
    // In the record from its start, with the folders the run made: a run
    // killed at any moment leaves nothing that the next run or -purge
    // would not take.
    std::string claimed;
    const int fd = claimPrivateLog(S.log_file, &claimed);
    if (fd < 0) {
      zam_err("Failed to open log file %s [%s]: this run keeps no log.\n", claimed.c_str(), std::strerror(errno));
      zam_logger_state(0);
      S.log_file.clear();
      return;
    }
    {
      std::lock_guard<std::timed_mutex> hold(end_lock);  // known at once: a stop places it
      log_private = claimed;
      log_hold = fd;
    }
    log_claimed = new std::string(claimed);  // kept for the process
    zam_logger_fd(fd);
    zam_logger_name(claimed.c_str());
    zam_logger_state(1);
    keepStoppedLogs(S.log_file);
  } else {
    zam_logger_state(0);
  }
}

void show_command_line(int count, char** arguments) {
  if (S.log_file.empty() || count < 1) return;
  zam_log("\n");
  zam_log("%s", arguments[0]);
  size_t length = std::strlen(arguments[0]);
  for (int i = 1; i < count; ++i) {
    size_t n = std::strlen(arguments[i]);
    if (length + n >= 76) {
      zam_log(" \\\n%s", arguments[i]);
      length = n;
    } else {
      zam_log(" %s", arguments[i]);
      length += n + 1;
    }
  }
  zam_log("\n");
}

void test_kids() {
  std::printf("kget2D\n");
  std::fflush(stdout);
  int* block = kget1I(60000000);
  kfree(block);
  std::printf("kids - maximum memory allocation: %d Kb.\n", int(zam_vm_max()));
  std::printf("kids - total memory on exit: %d Kb.\n", int(zam_vm_total()));
  std::printf("test_kids() done in %.2lf seconds.\n", zam_get_time());
  std::fflush(stdout);
  std::exit(1);
}

namespace {

// A search keeps tens of thousands of small blocks (trace records, tags,
// names) made by several threads at once. With the system allocator's
// defaults each thread's heap grows and shrinks a page run at a time, and
// every such step takes the process-wide mapping lock that the other
// threads' page faults wait on. Heaps grow in 32 MB steps instead and are
// not given back in small pieces; peak memory stays what the blocks need.
void tuneAllocator() {
#if defined(__GLIBC__)
  mallopt(M_TOP_PAD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

}  // namespace

int trel_top(int argc, char** argv, char** envp) {
  (void)envp;  // the environment is read through getenv
  tuneAllocator();
  zam_nice(10);
  zam_init_time();
  double start = zam_get_time();
  set_version(5);
  zam_logger_stderr(0);
  // Nothing to do: say how, and make nothing (no results folder, no log).
  if (argc < 2) {
    trel_showUsage();
    return 1;
  }
  readEnvironment();
  const std::string default_log = S.res_folder + "trel.log";
  // SIGTERM, SIGINT and SIGHUP end the run as a failure ends it, from here on.
  zam_stop_watch(trel_stopRun);

  auto* spec = static_cast<_docking_spec*>(kget1B_0(sizeof(_docking_spec)));
  setup_zam_options(spec);
  auto options = std::make_unique<_trel_options>();

  trel_parse_result parsed = trel_parseOptions(argc, argv, spec);
  if (parsed == TREL_PARSE_EXIT) std::exit(0);
  if (parsed == TREL_PARSE_FAIL) fail();
  // A -job value was checked as it was read; one left from TREL_JOB now.
  if (!trel_checkPlainName(S.job_name, "job name", "TREL_JOB")) fail();
  checkLength("The log file name", S.log_file);
  zam_vm_debug(S.do_memory);
  if (S.do_kids) test_kids();
  trel_startLine();

  keepNamedInputs();
  if (!S.log_file.empty() && zam_isInput(S.log_file)) {
    zam_err("The log file %s is an input file of this run: give the log another name (-log=F). Exiting.\n",
            S.log_file.c_str());
    fail();
  }
  if (S.server_mode) {
    if (!zam_getenv("TREL_RESULTS")[0]) S.res_folder = "./";
    // The log goes with the results, into the working folder, unless one was named.
    if (S.log_file == default_log) S.log_file = S.res_folder + "trel.log";
    S.opt.use_subdirs = 0;
    S.opt.use_cache = 0;
    zam_recordWrites(S.res_folder);
  } else {
    const bool existed = zam_isdir(S.res_folder.c_str());
    if (!trel_mkdir(S.res_folder.c_str(), "RESULTS")) fail();
    // A purge that is refused leaves the folder as it is: no file of its
    // own goes into it either, its log included.
    purge_refused = S.do_purge && !trel_purgeAllowed(S.res_folder.c_str());
    if (purge_refused && liesIn(S.log_file, S.res_folder)) S.log_file.clear();
    if (!S.do_purge) markResults();
    // What this run writes into its results folder (whatever its name: the
    // working folder too) is recorded there, so that a later run takes over
    // only the names of trel's own files and -purge removes only those. A
    // purge adds its log only to a record that is there: one it made would
    // let a refused purge through the next time.
    zam_recordWrites(S.res_folder, S.do_purge != 0);
    if (!existed) zam_recordMade(S.res_folder);
  }
  redirect_output();
  show_command_line(argc, argv);

  // The descriptor filters and the rotational search (0) all need the
  // coefficients of every structure.
  if (S.opt.filter_method >= 0 && S.opt.filter_method <= 5) S.opt.with_spf = 1;
  if (S.opt.with_spf) {
    S.opt.use_cache = 1;
    trel_modeSetupSpf();
  }
  setupCacheFolder();
  if (S.opt.with_spf) setupMatcher(spec);
  zam_setPdbHydrogens(S.with_hydrogens);
  zam_setPdbHetRes(S.with_hetres);
  pushAlignSettings();
  if (S.opt.use_threads && zam_thread_slots() <= 0) S.opt.use_threads = 0;
  // Without worker threads the bulk steps (member arrays, map releases) stay
  // on this thread too.
  zam_thread_serial(S.opt.use_threads ? 0 : 1);

  setup_trel_options(options.get(), spec);
  show_trel_options(options.get(), spec);
  if (!S.log_file.empty()) zam_msg("Using LOG file: %s\n", S.log_file.c_str());
  if (zam_debug >= 2) {
    zam_msg("Query  FFT step size: %.2lf deg. B=%d, M=%d, T=%d.\n", spec->receptor_step, spec->receptor_bandlimit,
            2 * spec->receptor_bandlimit, spec->receptor_samples);
    zam_msg("Target FFT step size: %.2lf deg. B=%d, M=%d, T=%d.\n", spec->ligand_step, spec->ligand_bandlimit,
            2 * spec->ligand_bandlimit, spec->ligand_samples);
    zam_msg("Twist  FFT step size: %.2lf deg. B=%d, M=%d.\n", spec->twist_step, spec->twist_bandlimit,
            spec->twist_samples);
  }

  char** only = nullptr;
  int n_only = 0;
  if (!S.only_file.empty()) {
    if (zam_filesize(S.only_file.c_str()) == -1) {
      zam_err("File not found: %s\n", S.only_file.c_str());
      fail();
    }
    only = trel_getNames(S.only_file.c_str(), &n_only);
  }

  runMode(options.get(), only, n_only);
  if (trel_end_fault) trel_end_fault(TREL_END_RESULTS);

  trel_modeCloseDatabase();
  kfree(only);
  int do_write = options->do_write;
  options.reset();
  kfree(spec);
  // A run that printed "*Error*" has failed, even where its mode went on to
  // the end (a refused purge, a structure file that could not be read).
  // So has one whose record of what it wrote could not be kept.
  reportRecordTrouble();
  int status = zam_err_count() > 0 ? 1 : 0;
  reportSetAside();
  placeLog(status == 0);
  if (reportRecordTrouble()) status = 1;  // the log's own turn
  // One line for the chain breaks of the run: each is in the log file.
  if (const int breaks = trel_chainBreakFiles(); breaks > 0) {
    if (zam_logger_status())
      zam_wrn("Chain breaks in %d structure file%s: each break is listed in the log file %s\n", breaks,
              breaks == 1 ? "" : "s", zam_logger_file());
    else
      zam_wrn("Chain breaks in %d structure file%s (listed only in a log file).\n", breaks, breaks == 1 ? "" : "s");
  }
  // One line for the files at translation-matrix cache names that are not the cache's.
  zam_cache_report_kept();
  if (do_write) {
    double seconds = zam_get_time() - start;
    zam_msg("Peak  memory allocation: %d Mb.\n", int(zam_vm_max() / 1024));
    zam_msg("Total memory on exit: %d Mb.\n", int(zam_vm_total() / 1024));
    zam_msg("Trel finished in a total of %.2lf seconds (%.2lf minutes).\n", seconds, seconds / 60.0);
    zam_msg("\n");
  }
  removePrivateCache();
  // The log is closed and recorded here rather than by the exit hooks, so
  // that a record that cannot take its line still fails the run.
  zam_logger_exit();
  recordLog();
  if (reportRecordTrouble()) status = 1;
  return status;
}
