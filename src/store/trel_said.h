// What reading an object's source and building its trace said of it
// (_trel_said): the PDB reader's warnings and notes on the source, and the
// chain breaks the trace build found. Kept as an object is built, written
// into its tag file after the tag and the source's identity, and said again
// by a run served from its cache files, which reads no source: it then says
// what a run that reads the source says, and its breaks count in the run's
// line about them.
#pragma once

#include <cstddef>
#include <string>

#include "runtime/zam_log.h"
#include "store/trel_thing.h"

struct _pdb_image;

// While one lives, what the calling thread says is held, log lines too (a
// run without a log keeps them for one with). end() stops holding and gives
// the lines as kept (zam_log_keep); say() writes them as they were given,
// drop() forgets them (both stop holding too). Lines neither said nor
// dropped are written when it goes.
struct _trel_keeping {
  _trel_keeping();
  ~_trel_keeping();
  _trel_keeping(const _trel_keeping&) = delete;
  _trel_keeping& operator=(const _trel_keeping&) = delete;
  std::string end();
  void say();
  void drop();

 private:
  void stop();  // the calling thread holds what it held before
  _zam_log_held held;
  _zam_log_held* before = nullptr;
  bool holding = true;
};

// Keeps read (what reading the object's source said) in the object when it
// keeps its cache files (save); else forgets what it kept before.
void trel_keepRead(_trel_thing* thing, std::string read);
// Writes the chain breaks of the object's trace, built from image, into the
// log and counts the structure, as trel_loadTrace with warn on does (when
// warn); kept in the object when it keeps its cache files.
void trel_sayBreaks(_trel_thing* thing, const _pdb_image* image, int warn);
// Says what an object served from its cache files kept: what reading its
// source said, then its chain breaks (counted) when warn; then lets the
// record go (it is said once, as the reader says it once: a later read of
// the source for the image says nothing more). Nothing without.
void trel_saySaid(_trel_thing* thing, int warn);

// The record as a tag file holds it: the length of each part (four bytes,
// the machine's order) before its bytes, read then built. Null: both empty.
std::string trel_saidBytes(const _trel_said* said);
// The record of the n bytes at p (all of them, as trel_saidBytes writes
// them) into said; false, said untouched, when they are not such a record.
bool trel_saidFromBytes(const char* p, size_t n, _trel_said* said);
