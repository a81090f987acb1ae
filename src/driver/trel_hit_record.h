// The record of the hit files a query's runs wrote into its results folder
// (<folder><query><suffix>.kwritten): their exact names, each with the hit
// (target) it was written for, or none for the query's own files, and its
// identity when written (zam_identity.h), and for each hit when the run
// that last wrote its files ended; closed by a CRC of the whole. A rerun of the query
// removes only files of hits its new table does not show, and only those of
// that record which stand at their recorded names with their identity whole
// and a single link; nothing is removed by the shape of its name, no hit
// whose files a run wrote that ended after this one began,
// nothing while another run of the query writes its files, and without a
// sound record nothing at all. Runs of one query at once keep one record
// between them: a run marks itself as writing (a lock of one byte of the
// query's folder, shared by all that write, which the kernel drops when the
// run ends however it ends), and later reads, merges and writes the
// record; each of the two steps under the folder's exclusive lock,
// which no run holds while it writes its files. The record is kept ahead,
// as a journal: after its CRC line a run appends a line naming the files
// of a hit it is about to write (their names and the hit, with a CRC of
// the line) before any of them appears, so a run
// stopped or killed before it renews the record leaves its files named. A
// line that does not parse costs only itself. Private to the driver; every
// call but trel_aheadHitFile runs on the thread that runs the search.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

struct _trel_thing;
struct _trel_written;

// One query's pass over its folder, from before its files are written until
// its record is renewed: the locks it holds, whether an earlier run's
// ".knames" stood there before, and what it needs to name its files ahead
// in the record. Closing it (or the end of the process) releases the locks.
struct _trel_hit_pass {
  int fd = -1;  // the query folder, which holds this run's mark; -1 when it could not be opened
  int lock_kind = 0;  // the kind of the folder's lock held (zam_lockFile)
  int turn_fd = -1;  // where the folder grants no lock: the query's lock file, whose lock stands for the folder's
  bool turn_known = false;  // whether the folder grants a lock has been tried (once a pass)
  int mark_fd = -1;  // where the folder refuses the mark: the query's lock file, held shared
  bool marked = false;  // the mark is held: other runs see this one writing
  bool had_names = false;
  std::string unsound;  // why the record found at the start proves nothing ("" when it does, or none was due)
  bool unmarkable = false;  // the folder grants no lock to mark with: runs at once cannot be told apart
  bool ahead = false;  // files are named ahead in the record
  std::string dir, record, token;  // the folder, the record's path, this run's word on its ahead lines
  std::string query;  // the query's name, as the names of its hits' files hold it
  std::string lock_path;  // the query's lock file ("<query><suffix>.kwriting"), made only where needed
  std::mutex lock;  // the writing threads' appends take turns; what follows is under it
  std::map<std::string, std::string> named;  // the files named ahead: their hit, "" for two or none
  std::set<std::string> hits;  // the hits named ahead
  std::set<std::string> tails;  // of the names "<hit>_<query><tail>" named ahead
  std::set<std::string> loose;  // other names named ahead, each for one hit so far
  int grow_fd = -1;  // the record this run appends to, held as still written (zam_holdWriting)
  uint64_t grow_dev = 0, grow_ino = 0;
  int64_t grow_end = -1;  // where this run's last line there ended (-1: not known)
  _trel_hit_pass() = default;
  _trel_hit_pass(const _trel_hit_pass&) = delete;
  _trel_hit_pass& operator=(const _trel_hit_pass&) = delete;
  ~_trel_hit_pass();
};

// Before the query's files are written into folder: looks for an earlier
// ".knames", marks this run as writing and reads the record, under the
// folder's exclusive lock (waiting, said after a second, for a run
// that renews the record there); a record that is not sound (damaged, of an
// earlier trel, none) is begun anew then, so that the files can be named
// in it ahead. A lock that cannot be had is said once for the run; the run
// goes on without it, and then removes nothing. Where the folder refuses
// the mark (a file system without open-file-description locks) that is
// said once, naming the folder and the error, and the mark is a shared
// flock of the query's lock file ("<query>.kwriting", made once) instead.
void trel_beginHitFiles(_trel_hit_pass* pass, const char* folder, const _trel_thing* query, const char* suffix);

// Names the file at path, about to be written for hit (empty: the query's
// own), ahead in the query's record, unless this run named it so already:
// a line appended under the folder's lock, shared with the other runs that
// append (held exclusive by a run that enters or renews), so that should
// the run be stopped before it renews the record, the next run knows the
// file for that hit's. A hit's first line names too the files it will
// likely write, as this run's earlier hits wrote them, so that a hit costs
// about one line. Any thread; a file outside the folder, or a line that
// cannot be appended, is passed over. No message.
void trel_aheadHitFile(_trel_hit_pass* pass, const std::string& path, const std::string& hit);

// Once the query's files are written (those of folder among written's
// paths, with the hits they were written for) and its new table shows the
// hits named in shown: takes the lock exclusive, reads the record and
// removes, when clean (no result file of the query failed), every file of
// it that belongs to a hit not in shown, that this run did not write again,
// that no query of this run wrote, that is no input of the run, whose hit
// no run overlapping this one wrote (one that ended after this one began;
// for a record that does not know the hit's writer, a file changed since
// this run started), while no other run is marked as
// writing, and that zam_removeRecorded finds as recorded. The files that
// runs now gone (stopped before their renew) named ahead count as files of
// their hits, at their identity now, where the results record
// (zam_written.h) covers that identity, and are judged by change time too
// (the end the record holds for their hit stays); those named ahead
// by runs still writing are named ahead again. Then writes the
// record anew: the files written now (their hits marked as this run's), the
// earlier ones kept that still stand as recorded, and those of hits another
// run wrote since this one began. Says how
// many files it removed, how many of hidden hits it kept for another run,
// names those it kept because they changed or gained a second name, and says
// once for the run when there was no sound record to go by.
// Releases the lock and the mark. Returns the count removed.
int trel_renewHitRecord(_trel_hit_pass* pass, const char* folder, const _trel_thing* query, const char* suffix,
                        const _trel_written& written, const std::set<std::string>& shown, bool clean);
