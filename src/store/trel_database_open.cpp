// Structure databases, the reading side: opening with full checks of the
// header, file sizes, names and trace offsets; member selection; list,
// extract and delete.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "harmonics/zam_radial.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_whole.h"
#include "store/trel_cath.h"
#include "store/trel_database.h"
#include "store/trel_export.h"
#include "store/trel_folders.h"
#include "store/trel_pot.h"

namespace {

const char kRule[] = "-----------------------------------------------------------------\n";

// The largest coefficient order a header or tag may claim: that of the
// radial tables; anything above is garbage.
constexpr int kMaxOrder = ZAM_NMAX;

int openFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) zam_err("Failed to open database file: %s\n", path);
  return fd;
}

int64_t fileSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
}

bool refuse(_trel_db* db) {
  trel_closeDatabase(db);
  return false;
}

// Maps (or, when mapping fails, reads whole) one data file of the size its
// header gives, which the caller has checked against the file.
bool loadBlock(int fd, int64_t bytes, char** block, int* mapped, const char* what, const char* path) {
  *block = nullptr;
  *mapped = 0;
  if (bytes == 0) return true;
  void* map = zam_mmap(fd, bytes);
  if (map) {
    *block = static_cast<char*>(map);
    *mapped = 1;
    return true;
  }
  *block = static_cast<char*>(kget1B(bytes));
  if (zam_readAll(fd, *block, bytes, 0) != bytes) {
    zam_err("Failed to read database %s file: %s\n", what, path);
    return false;
  }
  return true;
}

bool badMaster(const _trel_db* db, const char* what) {
  zam_err("Bad MASTER file %s (%s). Please rebuild the database.\n", db->master_path, what);
  return false;
}

// The header's own fields, before any other file is looked at.
bool checkHeader(const _trel_db* db) {
  if (db->word_size != 8 || db->int_size != 4) {
    zam_err("Bad WORD size in %s. Please rebuild the database.\n", db->master_path);
    return false;
  }
  if (db->tag_size != static_cast<int32_t>(sizeof(_trel_tag))) {
    zam_err("Bad TAG size (%d!=%d) in %s. Please rebuild the database.\n", db->tag_size,
            static_cast<int>(sizeof(_trel_tag)), db->master_path);
    return false;
  }
  if (db->seg_size != static_cast<int32_t>(sizeof(_trel_seg))) {
    zam_err("Bad TRC size (%d!=%d) in %s. Please rebuild the database.\n", db->seg_size,
            static_cast<int>(sizeof(_trel_seg)), db->master_path);
    return false;
  }
  if (db->n_members < 0) return badMaster(db, "negative member count");
  if (db->order < 0 || db->order > kMaxOrder) return badMaster(db, "impossible coefficient order");
  if (db->code_type < 0 || db->code_type > 3) return badMaster(db, "unknown classification type");
  if (db->image_kind < 1 || db->image_kind > 2) return badMaster(db, "unknown image kind");
  if (db->names_bytes < 0 || db->tags_bytes < 0 || db->traces_bytes < 0)
    return badMaster(db, "negative file size");
  if (db->tags_bytes < static_cast<int64_t>(db->n_members) * db->tag_size)
    return badMaster(db, "more members than the TAG file holds");
  if (db->names_bytes < 2LL * db->n_members)
    return badMaster(db, "more members than the NAMES file holds");
  return true;
}

// Every member's name: terminated inside the block, not empty, no folder
// part, not "." or ".."; then only zero padding. Fills member_names.
bool checkNames(_trel_db* db) {
  const char* p = db->names;
  const char* end = db->names + db->names_bytes;
  for (int i = 0; i < db->n_members; i++) {
    const void* zero = std::memchr(p, 0, static_cast<size_t>(end - p));
    const int64_t len = zero ? static_cast<const char*>(zero) - p : -1;
    const char* fault = nullptr;
    if (len < 0)
      fault = "name runs past the end of the file";
    else if (len == 0)
      fault = "empty name";
    else if (len > TREL_PATH_MAX)
      fault = "name too long";
    else if (std::memchr(p, '/', static_cast<size_t>(len)) || std::strcmp(p, ".") == 0 ||
             std::strcmp(p, "..") == 0)
      fault = "name is a path";
    if (fault) {
      zam_err("Database NAMES file %s is corrupt at member %d (%s). Please rebuild the database.\n",
              db->names_path, i, fault);
      return false;
    }
    db->member_names[i] = p;
    p += len + 1;
  }
  for (; p < end; p++) {
    if (*p != 0) {
      zam_err("Database NAMES file %s holds more names than its %d members. Please rebuild the "
              "database.\n",
              db->names_path, db->n_members);
      return false;
    }
  }
  return true;
}

// Every member's tag is whole and its trace records lie inside the traces
// file, on a record boundary.
bool checkTags(const _trel_db* db) {
  const int64_t seg = db->seg_size;
  for (int i = 0; i < db->n_members; i++) {
    _trel_tag tag;
    std::memcpy(&tag, db->tags + static_cast<int64_t>(i) * db->tag_size, sizeof tag);
    const char* fault = nullptr;
    if (tag.valid != 1)
      fault = "not a valid tag";
    else if (tag.n_residues < 1)
      fault = "no residues";
    else if (tag.pot_class < 0 || tag.pot_class >= TREL_POT_CLASSES)
      fault = "impossible potential class";
    else if (tag.order < 0 || tag.order > kMaxOrder)
      fault = "impossible coefficient order";
    else if (tag.trace_offset < 0 || tag.trace_offset % seg != 0)
      fault = "bad trace offset";
    else if (tag.trace_offset + static_cast<int64_t>(tag.n_residues) * seg > db->traces_bytes)
      fault = "trace records beyond the end of the TRACE file";
    if (fault) {
      zam_err("Database TAG file %s: member %d (%s) is corrupt (%s). Please rebuild the database.\n",
              db->tags_path, i, db->member_names[i], fault);
      return false;
    }
  }
  return true;
}

// The member array, made on first selection: opening costs nothing per member.
// A large zero-filled block is not touched when it is made (see zam_vm.h), so
// its pages are faulted in by the threads that fill the members, side by
// side. True when the array is new.
bool memberArray(_trel_db* db) {
  if (db->members || db->n_members < 1) return false;
  db->members = static_cast<_trel_thing*>(
      kget1B_0(static_cast<int64_t>(db->n_members) * static_cast<int64_t>(sizeof(_trel_thing))));
  return true;
}

const _trel_tag* memberTag(const _trel_db* db, int i) {
  return reinterpret_cast<const _trel_tag*>(db->tags + static_cast<int64_t>(i) * db->tag_size);
}

// Borrows member i's tag and, inside [min, max], its trace records; reads the
// tau coefficients unless traces are scored. False after the SPF message.
bool fillMember(_trel_db* db, int i, _trel_thing* thing, const int* pots, int min, int max,
                const _trel_db_opts* options) {
  _trel_tag* tag = const_cast<_trel_tag*>(memberTag(db, i));
  thing->tag = tag;
  thing->tag_borrowed = 1;
  thing->trace_borrowed = 1;
  if (tag->n_residues < min || tag->n_residues > max) return true;
  thing->trace.n = tag->n_residues;
  thing->trace.seg = reinterpret_cast<_trel_seg*>(db->traces + tag->trace_offset);
  if (db->image_kind >= 2) thing->binary = 1;
  if (options->thing.filter_method == 6) return true;
  for (int c = 0; c < TREL_POT_CLASSES; c++) {
    const int slot = pots ? pots[c] : 0;
    if (slot == 0 || slot < -1) continue;
    const int cls = slot == -1 ? tag->pot_class : c;
    if (trel_readThingTau(thing, cls, options->thing.q_max) != 1) {
      zam_err("Failed to load SPF data for: %s\n", thing->name);
      return false;
    }
  }
  return true;
}

// Members per thread at the least: below this, starting a thread costs more
// than the page faults and tag reads it takes over.
constexpr int kMembersPerPart = 1024;

// The selected members filled in contiguous slices of the selection, one
// slice per part of a zam_thread_run. A part writes only its members'
// records and their things[] entries, holds its messages (one hold per part)
// and stops at its first failure. The caller shows the holds in part order
// up to the earliest failure, so the messages are those of a fill in
// selection order.
struct Fill {
  _trel_db* db;
  _trel_thing** things;
  const int* selected;  // member number of every selection position
  int count;
  bool fresh;           // the array is new: zero-filled, nothing held
  const int* pots;
  int min, max;
  const _trel_db_opts* options;
  std::vector<_zam_log_held> held;  // per part (parts > 1)
  std::vector<int> failed;          // per part: its failing position, or -1
  std::vector<int> end;             // per part: one past the last position it wrote
};

int partStart(int n, int part, int parts) {
  return static_cast<int>(static_cast<int64_t>(n) * part / parts);
}

void fillPart(int part, int parts, void* arg) {
  Fill& f = *static_cast<Fill*>(arg);
  const int last = partStart(f.count, part + 1, parts);
  _zam_log_held* before = parts > 1 ? zam_log_hold(&f.held[part]) : nullptr;
  for (int k = partStart(f.count, part, parts); k < last; k++) {
    const int i = f.selected[k];
    _trel_thing* thing = &f.db->members[i];
    if (!f.fresh) {
      // A member selected before starts afresh; whatever it still holds is let go.
      trel_emptyThing(nullptr, thing);
      std::memset(static_cast<void*>(thing), 0, sizeof(_trel_thing));
    }
    trel_setupThingRef(thing, f.db->member_names[i], f.db->folder);
    f.things[k] = thing;
    f.end[part] = k + 1;
    if (!fillMember(f.db, i, thing, f.pots, f.min, f.max, f.options)) {
      f.failed[part] = k;
      break;
    }
  }
  if (parts > 1) zam_log_hold(before);
}

// Bytes of a map dropped per thread at the least before it is unmapped.
constexpr int64_t kZapBytesPerPart = 16LL << 20;

// A map whose page table entries are dropped in slices, one per part.
struct Zap {
  char* block;
  int64_t length;
};

void zapPart(int part, int parts, void* arg) {
  const Zap& z = *static_cast<const Zap*>(arg);
  constexpr uintptr_t kAlign = uintptr_t{2} << 20;  // slices meet on page-table boundaries
  const uintptr_t start = reinterpret_cast<uintptr_t>(z.block);
  const uintptr_t end = start + static_cast<uintptr_t>(z.length);
  const auto cut = [&](int k) {
    if (k <= 0) return start;
    if (k >= parts) return end;
    const uintptr_t at = (start + static_cast<uintptr_t>(z.length / parts * k)) & ~(kAlign - 1);
    return std::max(start, at);
  };
  const uintptr_t first = cut(part), last = cut(part + 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace

void* zam_mmap(int fd, int64_t length) {
  if (length < 1) return nullptr;
  void* p = mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  // No random-access advice: a fault on a page that is not in the page cache
  // reads the pages around it as well. Opening reads the names and tags
  // whole and a search reads the trace records of every member in its length
  // window, so reading the one page a fault needs made the search of a
  // database whose files had left the page cache several times slower.
  // Huge-page advice lets those reads bring the file in as 2 MB pages, which
  // later faults map whole and an unmap releases at once.
  madvise(p, static_cast<size_t>(length), MADV_HUGEPAGE);
  return p;
}

void zam_munmap(void* block, int64_t length) {
  if (!block || length < 1) return;
  // Tearing down the page table entries of a large map that a search has
  // read whole is the bulk of its release, and munmap does it on one thread.
  // Dropping them first with MADV_DONTNEED, one 2 MB aligned slice per
  // thread, takes the address space lock only for reading, so the slices
  // are dropped side by side; the file's pages stay in the page cache.
  const int parts = static_cast<int>(
      std::min<int64_t>(zam_thread_bulk(), length / kZapBytesPerPart));
  if (parts > 1) {
    Zap zap{static_cast<char*>(block), length};
    zam_thread_run(parts, zapPart, &zap);
  }
  munmap(block, static_cast<size_t>(length));
}

_trel_db* trel_openDatabase(const char* root, const char* name, int with_index) {
  const double start = zam_get_time();
  char folder[TREL_PATH_MAX + 1];
  if (!trel_databaseFolder(root, name, with_index, folder)) return nullptr;
  if (!trel_checkdir(folder, "DATABASE")) return nullptr;
  _trel_db* db = trel_allocDatabase(folder);

  db->fd_master = openFile(db->master_path);
  if (db->fd_master < 0) return refuse(db), nullptr;
  const int64_t master_size = fileSize(db->fd_master);
  if (master_size < TREL_DB_MASTER_SIZE || zam_readAll(db->fd_master, db, TREL_DB_MASTER_SIZE, 0) != TREL_DB_MASTER_SIZE) {
    if (!trel_databaseUnfinished(name, folder, with_index))
      zam_err("Failed to read database MASTER file: %s\n", db->master_path);
    return refuse(db), nullptr;
  }
  db->modified = 0;  // the header's read leaves the in-memory fields alone
  if (master_size != TREL_DB_MASTER_SIZE) {
    zam_err("Database MASTER file %s holds %lld bytes, not %d. Please rebuild the database.\n",
            db->master_path, static_cast<long long>(master_size), TREL_DB_MASTER_SIZE);
    return refuse(db), nullptr;
  }
  if (!checkHeader(db)) return refuse(db), nullptr;

  struct Part {
    const char* path;
    int* fd;
    int64_t bytes;
  } parts[3] = {{db->names_path, &db->fd_names, db->names_bytes},
                {db->tags_path, &db->fd_tags, db->tags_bytes},
                {db->traces_path, &db->fd_traces, db->traces_bytes}};
  for (Part& p : parts) {
    *p.fd = openFile(p.path);
    if (*p.fd < 0) return refuse(db), nullptr;
    const int64_t size = fileSize(*p.fd);
    if (size != p.bytes) {
      zam_err("Database file %s holds %lld bytes but its MASTER file says %lld. Please rebuild the "
              "database.\n",
              p.path, static_cast<long long>(size), static_cast<long long>(p.bytes));
      return refuse(db), nullptr;
    }
  }
  if (!loadBlock(db->fd_names, db->names_bytes, &db->names, &db->names_mapped, "NAMES",
                 db->names_path) ||
      !loadBlock(db->fd_tags, db->tags_bytes, &db->tags, &db->tags_mapped, "TAG", db->tags_path) ||
      !loadBlock(db->fd_traces, db->traces_bytes, &db->traces, &db->traces_mapped, "TRACE",
                 db->traces_path))
    return refuse(db), nullptr;

  db->member_names = static_cast<const char**>(
      kget1B_0(static_cast<int64_t>(db->n_members + 1) * static_cast<int64_t>(sizeof(char*))));
  // The structure first, so that a fault found there is named; then every
  // byte, which no count or offset can vouch for.
  if (!checkNames(db) || !checkTags(db) || !trel_checkDatabaseSums(db)) return refuse(db), nullptr;
  trel_setCathType(db->code_type);
  if (zam_debug >= 1)
    zam_msg(db->traces_mapped ? "Mapped %s (%d Mb) in %.2lf seconds.\n"
                              : "Loaded %s (%d Mb) in %.2lf seconds.\n",
            db->folder,
            static_cast<int>((db->names_bytes + db->tags_bytes + db->traces_bytes) >> 20),
            zam_get_time() - start);
  return db;
}

int check_name(const char* name, char* const* names, int n) {
  if (n < 1 || !names) return 1;
  return trel_lookupName(name, names, n) >= 0 ? 1 : 0;
}

int trel_loadDatabase(_trel_db* db, _trel_thing** things, const int* pots, const char* pattern,
                      char** names, int n_names, int min, int max, const _trel_db_opts* options) {
  const _trel_db_opts defaults;
  if (!options) options = &defaults;
  if (!db) return 0;
  int code[4];
  trel_setCathPattern(pattern, code);
  std::vector<int> selected;
  selected.reserve(static_cast<size_t>(db->n_members));
  for (int i = 0; i < db->n_members; i++)
    if (trel_compareCath(memberTag(db, i)->code, code) && check_name(db->member_names[i], names, n_names))
      selected.push_back(i);
  const int count = static_cast<int>(selected.size());
  if (count < 1) return 0;
  const bool fresh = memberArray(db);
  const int parts = std::clamp(count / kMembersPerPart, 1, zam_thread_bulk());
  Fill fill{db,
            things,
            selected.data(),
            count,
            fresh,
            pots,
            min,
            max,
            options,
            std::vector<_zam_log_held>(parts > 1 ? parts : 0),
            std::vector<int>(parts, -1),
            std::vector<int>(parts, 0)};
  zam_thread_run(parts, fillPart, &fill);
  int failing = -1;
  for (int p = 0; p < parts && failing < 0; p++) {
    if (parts > 1) zam_log_replay(&fill.held[p]);
    if (fill.failed[p] >= 0) failing = p;
  }
  // What the parts past the failing one said, a fill in order never said.
  for (int p = failing + 1; failing >= 0 && p < parts; p++) zam_log_drop(&fill.held[p]);
  if (failing < 0) return count;
  // A fill in order would have stopped at the failing member: the members
  // that later parts filled go back to holding nothing and leave the list.
  for (int p = failing + 1; p < parts; p++) {
    for (int k = partStart(count, p, parts); k < fill.end[p]; k++) {
      trel_emptyThing(nullptr, things[k]);
      things[k] = nullptr;
    }
  }
  return -1;
}

int trel_memberDatabase(_trel_db* db, const char* name, _trel_thing** thing, const int* pots,
                        int min, int max, const _trel_db_opts* options) {
  const _trel_db_opts defaults;
  if (!options) options = &defaults;
  *thing = nullptr;
  if (!db || !name) return 0;
  for (int i = 0; i < db->n_members; i++) {
    if (std::strcmp(db->member_names[i], name) != 0) continue;
    _trel_thing* t = trel_createThingRef(name, db->folder);
    // The member's image is read now: a query whose image is missing or
    // unreadable could not be superposed on anything, and the run must stop
    // before it searches rather than fill its tables with empty hits.
    if (!fillMember(db, i, t, pots, min, max, options)) {
      trel_closeThing(nullptr, t);
      return 0;
    }
    if (!trel_imageThing(t)) {
      zam_err("The structure of database member %s cannot be read: it cannot be a query.\n", name);
      trel_closeThing(nullptr, t);
      return 0;
    }
    *thing = t;
    return 1;
  }
  zam_err("Failed to find member %s in database NAMES file: %s.\n", name, db->names_path);
  return 0;
}

namespace {

// Shared by list and extract: the database opened, its members selected by
// pattern and names, and the selection line shown. db is null when the
// database cannot be opened; options are the defaults when none are given.
// The members' list is freed and the database closed when the record goes.
struct Selection {
  _trel_db_opts defaults;
  const _trel_db_opts* options;
  _trel_db* db = nullptr;
  _trel_thing** things = nullptr;
  int count = 0;

  Selection(const char* root, const char* name, int with_index, const char* pattern, char** names, int n_names,
            const _trel_db_opts* given)
      : options(given ? given : &defaults) {
    db = trel_openDatabase(root, name, with_index);
    if (!db || db->n_members < 1) return;
    things = static_cast<_trel_thing**>(
        kget1B_0(static_cast<int64_t>(db->n_members) * static_cast<int64_t>(sizeof(_trel_thing*))));
    _trel_db_opts opts = *options;
    opts.thing.filter_method = 6;  // no coefficients are needed to show or write members
    count = trel_loadDatabase(db, things, nullptr, pattern, names, n_names, 1, 2147483647, &opts);
    zam_msg("Selecting [%s] from %s\n", pattern && *pattern ? pattern : "*", db->folder);
    zam_msg(kRule);
  }
  ~Selection() {
    kfree(things);
    trel_closeDatabase(db);
  }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;
};

}  // namespace

int trel_listDatabase(const char* root, const char* name, int with_index, const char* pattern,
                      char** names, int n_names, const _trel_db_opts* options) {
  const Selection selected(root, name, with_index, pattern, names, n_names, options);
  const _trel_db* db = selected.db;
  if (!db) return 0;
  if (db->n_members > 0) {
    for (int i = 0; i < selected.count; i++) {
      trel_printThing(selected.things[i]);
      trel_closeThing(nullptr, selected.things[i]);
    }
    zam_msg("\n\nFound %d structures in %s\n", selected.count, db->folder);
  } else {
    zam_msg("\n\nNo structures in %s\n", db->folder);
  }
  zam_msg(kRule);
  return 1;
}

int trel_extractDatabase(const char* root, const char* name, int with_index, const char* folder,
                         const char* pattern, char** names, int n_names,
                         const _trel_db_opts* options) {
  const Selection selected(root, name, with_index, pattern, names, n_names, options);
  const _trel_db* db = selected.db;
  if (!db) return 0;
  int ok = 1;
  if (db->n_members > 0) {
    int written = 0, kept = 0;
    for (int i = 0; i < selected.count; i++) {
      _trel_thing* thing = selected.things[i];
      char file[TREL_PATH_MAX + 1];
      const int k = std::snprintf(file, sizeof file, "%s%s.pdb", folder, thing->name);
      char code[TREL_CATH_NAME_SIZE];
      if (k < 0 || k > TREL_PATH_MAX) {
        zam_err("Output file name too long: %s%s.pdb\n", folder, thing->name);
      } else {
        // A file already in the folder is kept: it is not this extraction's.
        const int done = trel_exportThingPdb(thing, file, selected.options->export_mode, tf_identity(),
                                             thing->tag->frame);
        if (done == 1) {
          zam_msg("%s [%s]\n", file, trel_cathName(thing->tag->code, code));
          written++;
        } else if (done < 0) {
          kept++;
        }
      }
      trel_closeThing(nullptr, thing);
    }
    zam_msg("\n\nExtracted %d structures from %s\n", written, db->folder);
    if (kept > 0) {
      zam_err("%d of %d structures not extracted from %s: files of their names exist already in %s "
              "and were kept.\n",
              kept, selected.count, db->folder, folder);
      ok = 0;
    }
    if (written + kept < selected.count) {
      zam_err("Failed to extract %d of %d structures from %s\n", selected.count - written - kept,
              selected.count, db->folder);
      ok = 0;
    }
  } else {
    zam_msg("\n\nNo structures extracted from %s\n", db->folder);
  }
  zam_msg(kRule);
  return ok;
}

namespace {

// The whole regular file folder + file (a link followed); empty when it
// cannot be read or is anything else (a pipe there is never waited on).
std::string readFolderFile(const char* folder, const char* file) {
  std::string bytes;
  if (!zam_readWholeFile((std::string(folder) + file).c_str(), &bytes, INT64_MAX, nullptr, true)) bytes.clear();
  return bytes;
}

// The names of the files a database folder's own database made, as its
// records give them: its five files and, for every member its names and
// tags files hold, the image of the kind its header gives and the
// coefficient files of the classes its tag says were written. The files
// are read as they are, whole or damaged: a garbled name names no file, and
// a member without its tag names none (a build writes a member's files only
// once its tag is written). A build that did not finish has written no
// header yet: its members' images are then named of both kinds.
std::set<std::string> ownFiles(const char* folder) {
  std::set<std::string> own = {"master.dat", "names.dat", "tags.dat", "traces.dat", TREL_DB_SUMS};
  const std::string header = readFolderFile(folder, "master.dat");
  _trel_db head{};
  const bool whole = header.size() >= static_cast<size_t>(TREL_DB_MASTER_SIZE);
  if (whole) std::memcpy(&head, header.data(), TREL_DB_MASTER_SIZE);
  const int image_kind = !whole ? 0 : head.image_kind >= 2 ? 2 : 1;
  const std::string names = readFolderFile(folder, "names.dat");
  const std::string tags = readFolderFile(folder, "tags.dat");
  const size_t base_at = std::strlen(folder);
  size_t member = 0;
  for (size_t at = 0; at < names.size(); member++) {
    const size_t end = std::min(names.find('\0', at), names.size());
    const std::string name = names.substr(at, end - at);
    at = end + 1;
    if (name.empty()) break;  // the padding after the last name
    if (name.find('/') != std::string::npos || name == "." || name == "..") continue;
    if ((member + 1) * sizeof(_trel_tag) > tags.size()) break;
    _trel_tag tag;
    std::memcpy(&tag, tags.data() + member * sizeof(_trel_tag), sizeof tag);
    for (const std::string& file : trel_memberFiles(folder, name.c_str(), tag, image_kind))
      own.insert(file.substr(base_at));
  }
  return own;
}

// Deletes (really) or lists the database's own plain files in its folder,
// then the folder when nothing else is left in it. Anything else (a file the
// database did not make, a sub-folder, a link) is kept and named. False when
// a deletion failed (reported).
bool deleteOwnFiles(const char* folder, const char* name, int really) {
  const std::set<std::string> own = ownFiles(folder);
  const std::string bare(folder, std::strlen(folder) - 1);
  std::vector<std::string> entries;
  if (!zam_folderEntries(bare, &entries)) {
    zam_err("Failed to delete %s. [%s]\n", folder, strerror(errno));
    return false;
  }
  std::sort(entries.begin(), entries.end());
  bool ok = true;
  int kept = 0;
  for (const std::string& entry : entries) {
    const std::string path = std::string(folder) + entry;
    struct stat st;
    // A run killed while it wrote one of the database's files (where files
    // are not written unnamed) left it under a temporary name of its own.
    std::string target;
    const bool ours = own.count(entry) || (zam_deadTempOf(entry, &target) && own.count(target));
    if (!ours || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      zam_msg("Keeping %s: it is not a file of database %s\n", path.c_str(), name);
      kept++;
    } else if (!really) {
      zam_msg("UNLINK: %s\n", path.c_str());
    } else if (unlink(path.c_str()) != 0) {
      zam_err("Failed to delete %s. [%s]\n", path.c_str(), strerror(errno));
      ok = false;
    }
  }
  if (kept > 0) {
    zam_msg("Kept %d file%s in %s that database %s did not make: the folder stays.\n", kept,
            kept == 1 ? "" : "s", folder, name);
  } else if (!really) {
    zam_msg("RMDIR: %s\n", bare.c_str());
  } else if (ok && rmdir(bare.c_str()) != 0) {
    zam_err("Failed to delete %s. [%s]\n", folder, strerror(errno));
    ok = false;
  }
  return ok;
}

}  // namespace

int trel_deleteDatabase(const char* root, const char* name, int with_index, int really) {
  char folder[TREL_PATH_MAX + 1] = "";
  const char* r = root ? root : "";
  const char* nm = name ? name : "";
  bool refused = false;
  // The root may carry its trailing "/": "./" and "../" are the same refusal.
  if (!*r || std::strcmp(r, ".") == 0 || std::strcmp(r, "..") == 0 || std::strcmp(r, "./") == 0 ||
      std::strcmp(r, "../") == 0) {
    zam_err("Database master folder is \"%s\" which is not safe for delete!\n", r);
    refused = true;
  } else if (!*nm || std::strcmp(nm, ".") == 0 || std::strcmp(nm, "..") == 0 || std::strchr(nm, '/')) {
    zam_err("Database name is \"%s\" which is not safe for delete!\n", nm);
    refused = true;
  } else if (!trel_databaseFolder(r, nm, with_index, folder)) {
    refused = true;
  } else {
    // The folder itself, never a link to somewhere else.
    std::string bare(folder, std::strlen(folder) - 1);
    struct stat st;
    if (lstat(bare.c_str(), &st) != 0 && errno == ENOENT) {
      zam_err("Database %s does not exist: nothing to delete.\n", folder);
      refused = true;
    } else if (lstat(bare.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      zam_err("Database %s is not a file system folder!\n", folder);
      refused = true;
    } else {
      const char* files[4] = {"master.dat", "names.dat", "tags.dat", "traces.dat"};
      const char* what[4] = {"master", "names", "tags", "traces"};
      for (int k = 0; k < 4 && !refused; k++) {
        const std::string path = std::string(folder) + files[k];
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
          zam_err("Database %s file %s not found!\n", what[k], path.c_str());
          refused = true;
        }
      }
    }
  }
  if (refused) {
    zam_err("The database %s was not found or is corrupted. Refusing to delete anything.\n", nm);
    zam_msg("Please use the command line to delete the database %s (?)\n",
            folder[0] ? folder : nm);
    return 0;
  }
  zam_msg(really ? "DELETING database=%s folder=%s\n" : "DELETING database=%s folder=%s (DUMMY RUN)\n",
          nm, folder);
  return deleteOwnFiles(folder, nm, really) ? 1 : 0;
}
