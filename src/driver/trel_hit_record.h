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
// which no run holds while it writes its files. Private to the driver; every
// call runs on the thread that runs the search.
#pragma once

#include <cstdint>
#include <set>
#include <string>

struct _trel_thing;
struct _trel_written;

// One query's pass over its folder, from before its files are written until
// its record is renewed: the lock it holds, and whether an earlier run's
// ".knames" stood there before. Closing it (or the end of the process)
// releases the lock.
struct _trel_hit_pass {
  int fd = -1;  // the query folder, which holds this run's mark; -1 when it could not be opened
  bool marked = false;  // the mark is held: other runs see this one writing
  bool had_names = false;
  std::string unsound;  // why the record found at the start proves nothing ("" when it does, or none was due)
  _trel_hit_pass() = default;
  _trel_hit_pass(const _trel_hit_pass&) = delete;
  _trel_hit_pass& operator=(const _trel_hit_pass&) = delete;
  ~_trel_hit_pass();
};

// Before the query's files are written into folder: looks for an earlier
// ".knames", marks this run as writing and reads the record, under the
// folder's exclusive lock (waiting, said after a second, for a run
// that renews the record there). A lock that cannot be had is said once for
// the run; the run goes on without it, and then removes nothing.
void trel_beginHitFiles(_trel_hit_pass* pass, const char* folder, const _trel_thing* query, const char* suffix);

// Once the query's files are written (those of folder among written's
// paths, with the hits they were written for) and its new table shows the
// hits named in shown: takes the lock exclusive, reads the record and
// removes, when clean (no result file of the query failed), every file of
// it that belongs to a hit not in shown, that this run did not write again,
// that no query of this run wrote, that is no input of the run, whose hit
// no run overlapping this one wrote (one that ended after this one began;
// for a record that does not know the hit's writer, a file changed since
// this run started), while no other run is marked as
// writing, and that zam_removeRecorded finds as recorded. Then writes the
// record anew: the files written now (their hits marked as this run's), the
// earlier ones kept that still stand as recorded, and those of hits another
// run wrote since this one began. Says how
// many files it removed, how many of hidden hits it kept for another run,
// names those it kept because they changed or gained a second name, and says
// once for the run when there was no sound record to go by.
// Releases the lock and the mark. Returns the count removed.
int trel_renewHitRecord(_trel_hit_pass* pass, const char* folder, const _trel_thing* query, const char* suffix,
                        const _trel_written& written, const std::set<std::string>& shown, bool clean);
