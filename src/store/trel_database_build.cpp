// Structure databases, the writing side: the folder name, creating the four
// files, appending members, padding and the header at close, and the build.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "runtime/kids.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_whole.h"
#include "runtime/zam_system.h"
#include "store/trel_cache_open.h"
#include "store/trel_database.h"
#include "store/trel_dbstats.h"
#include "store/trel_folders.h"
#include "structure/zam_pdb.h"

namespace {

// A new, empty database file; never one that is there already.
int createFile(const char* path) {
  const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) zam_err("Failed to create database file: %s\n", path);
  return fd;
}

// The files that make a database, any one of which marks its folder as
// holding one.
constexpr const char* kOwnFiles[5] = {"master.dat", "names.dat", "tags.dat", "traces.dat", TREL_DB_SUMS};

// The first of a database's files found in folder, or null.
const char* databaseFileIn(const char* folder) {
  struct stat st;
  for (const char* file : kOwnFiles)
    if (lstat((std::string(folder) + file).c_str(), &st) == 0) return file;
  return nullptr;
}

// The name of the first entry of folder found (dot files included) that is
// not a folder, or "" when there is none. A folder is never replaced by a
// file written in its place, so only these can be lost to a build.
std::string firstFileIn(const char* folder) {
  std::vector<std::string> entries;
  zam_folderEntries(folder, &entries);  // an unreadable folder holds none
  for (const std::string& entry : entries) {
    struct stat st;
    if (lstat((std::string(folder) + entry).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    return entry;
  }
  return "";
}

// Called once a member's record is written and before its files are; set
// by tests only (trel_setMemberRecordedHook).
void (*member_recorded_hook)(const char* member) = nullptr;

char* joinPath(const char* folder, const char* file) { return kcatS(folder, file, nullptr); }

// Cuts a data file back to the bytes the header counts, after a short write.
void cutBack(int fd, int64_t length, const char* path) {
  if (ftruncate(fd, length) != 0)
    zam_err("Failed to cut database file %s back to %lld bytes [%s]\n", path,
            static_cast<long long>(length), strerror(errno));
}

void closeFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Makes the folder and any missing folder above it, each shown as created;
// the ones made are added to made, outermost first. False after a report.
bool makeFolders(const std::string& path, std::vector<std::string>& made) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (trimmed.empty() || zam_isdir(trimmed.c_str())) return true;
  const size_t cut = trimmed.find_last_of('/');
  if (cut != std::string::npos && cut > 0 && !makeFolders(trimmed.substr(0, cut), made)) return false;
  if (!trel_mkdir(trimmed.c_str(), "DATABASE")) return false;
  made.push_back(trimmed);
  return true;
}

// A build that added no member leaves nothing behind: its files go (when it
// made them), and so do the folders it made (each only when empty).
void removeEmptyBuild(const char* folder, const std::vector<std::string>& made, bool own_files) {
  if (own_files)
    for (const char* file : kOwnFiles) unlink((std::string(folder) + file).c_str());
  for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
}

}  // namespace

char* trel_databaseFolder(const char* root, const char* name, int with_index, char* out) {
  const int k = std::snprintf(out, TREL_PATH_MAX + 1, "%s%s%s/", root ? root : "", name ? name : "",
                              with_index ? "_index" : "_trel");
  if (k < 0 || k > TREL_PATH_MAX) {
    zam_err("Database folder name too long: %s%s\n", root ? root : "", name ? name : "");
    out[0] = '\0';
    return nullptr;
  }
  return out;
}

// Shared by create and open: the record with its folder and file names.
_trel_db* trel_allocDatabase(const char* folder) {
  _trel_db* db = static_cast<_trel_db*>(kget1B_0(sizeof(_trel_db)));
  db->fd_master = db->fd_names = db->fd_tags = db->fd_traces = -1;
  db->folder = kdupS(folder);
  db->master_path = joinPath(folder, "master.dat");
  db->names_path = joinPath(folder, "names.dat");
  db->tags_path = joinPath(folder, "tags.dat");
  db->traces_path = joinPath(folder, "traces.dat");
  db->sums_path = joinPath(folder, TREL_DB_SUMS);
  return db;
}

_trel_db* trel_createDatabase(const char* root, const char* name, int with_index, int order,
                              int code_type, int image_kind) {
  char folder[TREL_PATH_MAX + 1];
  if (!trel_databaseFolder(root, name, with_index, folder)) return nullptr;
  if (!trel_mkdir(folder, "DATABASE")) return nullptr;
  _trel_db* db = trel_allocDatabase(folder);
  db->order = order;
  db->code_type = code_type;
  db->image_kind = image_kind;
  db->tag_size = static_cast<int32_t>(sizeof(_trel_tag));
  db->seg_size = static_cast<int32_t>(sizeof(_trel_seg));
  db->word_size = 8;
  db->int_size = 4;
  db->fd_master = createFile(db->master_path);
  if (db->fd_master >= 0) db->fd_names = createFile(db->names_path);
  if (db->fd_names >= 0) db->fd_tags = createFile(db->tags_path);
  if (db->fd_tags >= 0) db->fd_traces = createFile(db->traces_path);
  if (db->fd_traces < 0) {
    // Only the files made here go: a file that was there stays as it was.
    const int fds[3] = {db->fd_master, db->fd_names, db->fd_tags};
    const char* paths[3] = {db->master_path, db->names_path, db->tags_path};
    for (int k = 0; k < 3; k++)
      if (fds[k] >= 0) unlink(paths[k]);
    trel_closeDatabase(db);
    return nullptr;
  }
  return db;
}

int trel_writeDatabase(_trel_db* db, _trel_thing* thing) {
  if (!thing || !thing->dirty || !thing->tag || thing->tag->valid != 1 || !thing->trace.seg)
    return 1;
  if (!db) return trel_writeThingCache(thing);
  thing->dirty = 0;
  _trel_tag* tag = thing->tag;
  if (thing->trace.n != tag->n_residues || tag->n_residues < 1) {
    zam_err("Trace of %s has %d residues but its tag says %d: not added to the database.\n",
            thing->name, thing->trace.n, tag->n_residues);
    return 0;
  }
  db->modified = 1;
  const int64_t traces_end = db->traces_bytes;
  const int64_t names_end = db->names_bytes;
  const int64_t trace_len = static_cast<int64_t>(tag->n_residues) * db->seg_size;
  const int64_t name_len = static_cast<int64_t>(std::strlen(thing->name)) + 1;
  tag->trace_offset = traces_end;
  tag->source_mark = 0;  // a member stands on its own: no source file is looked at again
  // The record (trace, name, tag) goes before the image and coefficient
  // files: a build stopped between the two leaves files that its records
  // name, which -delete takes, and never one they do not.
  if (zam_writeAll(db->fd_traces, thing->trace.seg, trace_len, traces_end) != trace_len) {
    zam_err("Failed to write database TRACE file: %s [%s]\n", db->traces_path, strerror(errno));
    cutBack(db->fd_traces, traces_end, db->traces_path);
    return 0;
  }
  if (zam_writeAll(db->fd_names, thing->name, name_len, names_end) != name_len) {
    zam_err("Failed to write database NAMES file: %s [%s]\n", db->names_path, strerror(errno));
    cutBack(db->fd_names, names_end, db->names_path);
    cutBack(db->fd_traces, traces_end, db->traces_path);
    return 0;
  }
  if (zam_writeAll(db->fd_tags, tag, db->tag_size, db->tags_bytes) != db->tag_size) {
    zam_err("Failed to write database TAG file: %s [%s]\n", db->tags_path, strerror(errno));
  } else {
    if (member_recorded_hook) member_recorded_hook(thing->name);
    const std::vector<std::string> files = trel_memberFiles(db->folder, thing->name, *tag, db->image_kind);
    if (trel_writeThingFiles(thing)) {
      db->traces_bytes += trace_len;
      db->names_bytes += name_len;
      db->tags_bytes += db->tag_size;
      db->traces_crc = zam_crc32(db->traces_crc, thing->trace.seg, trace_len);
      db->names_crc = zam_crc32(db->names_crc, thing->name, name_len);
      db->tags_crc = zam_crc32(db->tags_crc, tag, db->tag_size);
      db->n_members++;
      return 1;
    }
    // What of the member was written goes with its record, as -delete
    // would take it: no file is left that no record names.
    zam_err("Failed to write the files of %s: not added to the database.\n", thing->name);
    for (const std::string& file : files) zam_removePlacedByThisRun(file);
  }
  cutBack(db->fd_tags, db->tags_bytes, db->tags_path);
  cutBack(db->fd_names, names_end, db->names_path);
  cutBack(db->fd_traces, traces_end, db->traces_path);
  return 0;
}

std::vector<std::string> trel_memberFiles(const char* folder, const char* name, const _trel_tag& tag,
                                          int image_kind) {
  std::vector<std::string> files;
  _trel_thing thing{};
  trel_setupThingRef(&thing, name, folder);
  char base[TREL_PATH_MAX + 1];
  if (!trel_nameThingPot(&thing, -1, base)) return files;
  if (image_kind != 2) files.push_back(trel_cacheFileName(base, "pdb"));
  if (image_kind != 1) files.push_back(trel_cacheFileName(base, "kpdb"));
  for (int c = 0; tag.order > 0 && c < TREL_POT_CLASSES; c++) {
    if (!tag.pot_flags[c] || !trel_nameThingPot(&thing, c, base)) continue;
    for (const char* ext : {"sig", "tau"}) files.push_back(trel_cacheFileName(base, ext));
  }
  return files;
}

void trel_setMemberRecordedHook(void (*hook)(const char* member)) { member_recorded_hook = hook; }

int64_t zam_page_size() {
  const long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? page : 4096;
}

int64_t pad_fildes(int fd, int64_t page) {
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0 || page < 1) return 0;
  const int64_t padding = (end + page - 1) / page * page - end;
  if (padding < 1) return 0;
  std::vector<char> zeros(static_cast<size_t>(padding), 0);
  return zam_writeAll(fd, zeros.data(), padding, end) == padding ? padding : 0;
}

int trel_closeDatabase(_trel_db* db) {
  if (!db) return 1;
  int ok = 1;
  if (db->modified && db->n_members > 0) {
    // Every file ends on a page boundary, its size being its count in the
    // header; a failed pad is cut back so that the two still agree.
    const int64_t page = zam_page_size();
    struct Part {
      int fd;
      int64_t* bytes;
      uint32_t* crc;
      const char* path;
    } parts[3] = {{db->fd_traces, &db->traces_bytes, &db->traces_crc, db->traces_path},
                  {db->fd_tags, &db->tags_bytes, &db->tags_crc, db->tags_path},
                  {db->fd_names, &db->names_bytes, &db->names_crc, db->names_path}};
    const std::vector<char> zeros(static_cast<size_t>(page), 0);
    for (Part& p : parts) {
      const int64_t want = (*p.bytes + page - 1) / page * page - *p.bytes;
      const int64_t pad = pad_fildes(p.fd, page);
      if (pad != want) {
        zam_err("Failed to pad database file: %s\n", p.path);
        cutBack(p.fd, *p.bytes, p.path);
      } else {
        *p.bytes += pad;
        *p.crc = zam_crc32(*p.crc, zeros.data(), pad);
      }
    }
    if (zam_writeAll(db->fd_master, db, TREL_DB_MASTER_SIZE, 0) != TREL_DB_MASTER_SIZE || fsync(db->fd_master) != 0) {
      zam_err("Failed to write database MASTER file: %s.\n", db->master_path);
      ok = 0;
    } else if (!trel_writeDatabaseSums(db)) {
      ok = 0;
    }
  } else if (!db->modified) {
    const int64_t lengths[3] = {db->names_bytes, db->tags_bytes, db->traces_bytes};
    char* blocks[3] = {db->names, db->tags, db->traces};
    const int mapped[3] = {db->names_mapped, db->tags_mapped, db->traces_mapped};
    for (int k = 0; k < 3; k++) {
      if (mapped[k])
        zam_munmap(blocks[k], lengths[k]);
      else
        kfree(blocks[k]);
    }
  }
  closeFd(&db->fd_names);
  closeFd(&db->fd_tags);
  closeFd(&db->fd_traces);
  closeFd(&db->fd_master);
  kfree(db->master_path);
  kfree(db->names_path);
  kfree(db->tags_path);
  kfree(db->traces_path);
  kfree(db->sums_path);
  kfree(db->folder);
  kfree(db->members);
  kfree(db->member_names);
  kfree(db);
  return ok;
}

int trel_databaseUnfinished(const char* name, const char* folder, int with_index) {
  struct stat st;
  if (lstat((std::string(folder) + TREL_DB_SUMS).c_str(), &st) == 0) return 0;
  const std::string master = std::string(folder) + "master.dat";
  if (lstat(master.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= TREL_DB_MASTER_SIZE) return 0;
  bool deletable = true;  // -delete takes a folder that holds the four data files
  for (int k = 0; k < 4; k++) deletable = deletable && lstat((std::string(folder) + kOwnFiles[k]).c_str(), &st) == 0;
  zam_err("Database %s in %s is incomplete: its build did not finish (it was stopped or failed), or it "
          "is still running. Unless a build of it is running, %s%s%s and build it again.\n",
          name, folder, deletable ? "delete it with -delete -db=" : "delete the folder ", deletable ? name : folder,
          deletable && with_index ? " -index" : "");
  return 1;
}

int trel_checkNewDatabase(const char* root, const char* name, int with_index) {
  char target[TREL_PATH_MAX + 1];
  if (!trel_databaseFolder(root, name, with_index, target)) return 0;
  // A database is built anew only under a name it does not have yet: an
  // existing one is the user's to delete, never replaced by a build. One
  // whose build did not finish may be another build still at work, so it
  // is not removed here either; the user is told what it is and how.
  if (const char* found = databaseFileIn(target)) {
    if (trel_databaseUnfinished(name, target, with_index)) return 0;
    zam_err("Database %s exists already in %s (it holds %s): it is not replaced. Delete it first "
            "(-delete) or build it under another name.\n",
            name, target, found);
    return 0;
  }
  // A folder of that name that holds no database holds someone else's
  // files, which members of the same names would replace: nothing is built
  // into it.
  if (const std::string other = firstFileIn(target); !other.empty()) {
    zam_err("Folder %s exists and holds no database (it holds %s): database %s is not built into it. "
            "Build it under another name, or empty the folder first.\n",
            target, other.c_str(), name);
    return 0;
  }
  return 1;
}

int trel_buildDatabase(const char* root, const char* name, char** files, int n, int with_index,
                       int code_type, const _trel_db_opts* options) {
  const _trel_db_opts defaults;
  if (!options) options = &defaults;
  if (!trel_checkNewDatabase(root, name, with_index)) return 0;
  zam_setPdbWarnings(1);
  zam_setPdbMissing(1);
  // The database folder and the folders above it are made when missing.
  char target[TREL_PATH_MAX + 1];
  std::vector<std::string> made;
  trel_databaseFolder(root, name, with_index, target);  // its length was checked above
  if (!makeFolders(target, made)) return 0;
  _trel_db* db = trel_createDatabase(root, name, with_index, options->thing.with_spf ? options->i_max : 0,
                                     code_type, options->use_binary ? 2 : 1);
  if (!db) {
    removeEmptyBuild(target, made, false);
    return 0;
  }
  zam_msg("\nBuilding database: %s\n", db->folder);
  trel_removeDeadTemps(db->folder);
  const double start = zam_get_time();
  const int pots[TREL_POT_CLASSES] = {1, 1, 1, 1, 1};
  std::vector<_trel_member_stats> stats;
  std::vector<char*> stat_names;  // the report outlives the objects
  int skipped = 0;
  int unwritten = 0;  // members whose files could not be written
  // Each member's name and the source it came from: a later source of the
  // same name (d1/x.pdb and d2/x.pdb) would replace the first member's
  // files, leaving two members on one image.
  std::map<std::string, std::string> taken;
  // A member's PDB text holds 0.001 A: its trace is built from the numbers
  // the search will read there. A raw image holds every bit.
  _trel_thing_opts member_options = options->thing;
  member_options.database_images = options->use_binary ? 2 : 1;
  for (int i = 0; i < n; i++) {
    _trel_thing* thing =
        trel_openThingFile(files[i], db->folder, options->i_max, 0, &member_options, pots, 1, 1);
    if (db->image_kind >= 2) thing->binary = 1;
    const std::string own_name = thing->name ? thing->name : "";
    if (const auto first = taken.find(own_name); first != taken.end()) {
      zam_wrn("Skipping %s: database member %s comes from %s already\n", files[i], own_name.c_str(),
              first->second.c_str());
      skipped++;
      thing->dirty = 0;  // nothing of it is written
      trel_closeThing(db, thing);
      continue;
    }
    const int32_t before = db->n_members;
    _trel_member_stats member{};
    if (options->do_stats) trel_memberStats(thing, &member);  // needs the image, freed below
    const bool readable = thing->tag && thing->tag->valid == 1;
    if (!trel_emptyThing(db, thing)) unwritten++;
    // A source file that gives no member is left out and the build goes on;
    // the cause was reported where it was found.
    if (db->n_members > before) taken.emplace(own_name, files[i]);
    if (db->n_members == before) {
      skipped++;
      if (!readable)
        zam_wrn("Skipping %s: no residues could be read from it\n", files[i]);
      else
        zam_wrn("Skipping %s: it could not be added\n", files[i]);
    }
    if (options->do_stats && db->n_members > before) {
      stat_names.push_back(kdupS(thing->name));
      member.name = stat_names.back();
      stats.push_back(member);
    }
    // Each member is closed at once: a build of many structures never holds
    // more than one trace.
    trel_closeThing(db, thing);
  }
  if (options->do_stats) {
    const double t0 = zam_get_time();
    trel_doStats(static_cast<int>(stats.size()), stats.data());
    zam_msg("Done statistics for DB=%s in %.2lf seconds.\n", db->folder, zam_get_time() - t0);
  }
  for (char* s : stat_names) kfree(s);
  const int members = db->n_members;
  char folder[TREL_PATH_MAX + 1];
  std::snprintf(folder, sizeof folder, "%s", db->folder);
  const int closed = trel_closeDatabase(db);
  if (members < 1) {
    removeEmptyBuild(folder, made, true);
    zam_err("No structure could be added to database %s (%d source file%s skipped).\n", folder,
            skipped, skipped == 1 ? "" : "s");
    return 0;
  }
  if (!closed) return 0;
  if (unwritten > 0) {
    zam_err("Failed to write %d of %d structures into database %s (%d members added).\n",
            unwritten, n, folder, members);
    return 0;
  }
  // The last line of the build says what it left out.
  if (skipped > 0)
    zam_msg("Done building %s in %.2lf seconds: %d members, %d of %d source files skipped.\n",
            folder, zam_get_time() - start, members, skipped, n);
  else
    zam_msg("Done building %s in %.2lf seconds.\n", folder, zam_get_time() - start);
  return 1;
}
