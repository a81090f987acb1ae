// The record of the hit files a query's run wrote into its results folder
// (<folder><query><suffix>.kwritten): their exact names with what identified
// each when written (size, modification time to the nanosecond, inode),
// closed by a CRC of the whole. A rerun of the query removes only files of
// that record which it does not write again and which are unchanged since;
// nothing is removed by the shape of its name, and without a sound record
// nothing is removed at all. Private to the driver; every call runs on the
// thread that runs the search.
#pragma once

#include <string>
#include <vector>

struct _trel_thing;
struct _trel_written;

// One file of a record and what identified it when written.
struct _trel_hit_file {
  std::string name;         // base name in the query's results folder
  long long size = 0;       // bytes
  long long mtime = 0;      // modification time, nanoseconds since the epoch
  unsigned long long ino = 0;
};

// What an earlier run left for a query: its record, if sound.
struct _trel_hit_record {
  enum State { kNone, kSound, kDamaged, kForeign };
  State state = kNone;  // kDamaged: one of trel's records that fails its check
                        // (replaced); kForeign: another file at the record's
                        // name, which is kept as it is and gets no record
  bool had_names = false;  // an earlier ".knames" stood beside it
  std::vector<_trel_hit_file> files;
};

// The record standing in folder for query and suffix, read before this run
// writes its files. No message.
_trel_hit_record trel_readHitRecord(const char* folder, const _trel_thing* query, const char* suffix);

// Once the query's files are written (those of folder among written's
// paths): removes, when clean (no result file of the query failed), every
// file of earlier's sound record that this run did not write again, that no
// query of this run wrote, that is no input of the run and that still has
// the size, modification time and inode recorded; then writes the new record
// of the files written now and of the earlier ones kept unchanged. Says how
// many files it removed, and once for the run when there was no sound
// record to go by. Returns the count removed.
int trel_renewHitRecord(const char* folder, const _trel_thing* query, const char* suffix,
                        const _trel_hit_record& earlier, const _trel_written& written, bool clean);

