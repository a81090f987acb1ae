// What reading an object's source and building its trace said of it
// (_trel_said): the PDB reader's warnings and notes on the source, and the
// chain breaks the trace build found. Kept as an object is built, written
// into its tag file after the tag and the source's identity, and said again
// by a run served from its cache files, which reads no source: it then says
// what a run that reads the source says, and its breaks count in the run's
// line about them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/zam_log.h"
#include "store/trel_thing.h"

struct _pdb_image;

// The most a tag file keeps of what was said of its object, both parts
// together: in bytes as kept (their lengths included) and in lines. The PDB
// reader says a line or two for each record of a file that is odd (a bad
// atom: a warning and its line; a HETATM read as ATOM; a residue without its
// backbone: up to three), each cut at 256 characters (a longer line of the
// file is read cut, said once). A file of 99,999 atoms, all the format's
// serial numbers hold, every one of them said twice in lines of 80 columns,
// gives 200,000 lines and some 20 MB: the bounds lie well above that. A
// record past them is not kept (its object is not cached), and a tag file
// that holds one is damaged: no tag file makes a run say more.
constexpr int64_t TREL_SAID_BYTES = int64_t{64} << 20;
constexpr int64_t TREL_SAID_LINES = int64_t{1} << 20;

// The name the PDB reader gives a source in what it says while that is
// kept (zam_readPdbSummed's said_as): a text that no file holds (marks
// around random bits drawn once for the process), kept as the mark of the
// source's name (zam_log_keep), so that the lines are said again naming the
// source the run then reads, wherever it lies.
const char* trel_saidName();

// While one lives, what the calling thread says is held, log lines too (a
// run without a log keeps them for one with). end() stops holding and gives
// the lines as kept (zam_log_keep, with name for the source's name when
// given); say() writes them as they were given, drop() forgets them (both
// stop holding too). Lines neither said nor dropped are written when it
// goes.
struct _trel_keeping {
  _trel_keeping();
  ~_trel_keeping();
  _trel_keeping(const _trel_keeping&) = delete;
  _trel_keeping& operator=(const _trel_keeping&) = delete;
  std::string end(const char* name = nullptr);
  void say();
  void drop();

 private:
  void stop();  // the calling thread holds what it held before
  _zam_log_held held;
  _zam_log_held* before = nullptr;
  bool holding = true;
};

// Says read (what reading the source at path said, kept as end() keeps it
// with trel_saidName), naming path, as a run served from the cache files
// says it; then keeps it in the object when it keeps its cache files
// (save), else forgets what it kept before.
void trel_sayRead(_trel_thing* thing, std::string read, const char* path);
// Writes the chain breaks of the object's trace, built from image, into the
// log and counts the structure, as trel_loadTrace with warn on does (when
// warn); kept in the object when it keeps its cache files.
void trel_sayBreaks(_trel_thing* thing, const _pdb_image* image, int warn);
// Says what an object served from its cache files kept: what reading its
// source said, naming the source it is served for (thing->source), then its
// chain breaks (counted) when warn; then lets the record go (it is said
// once, as the reader says it once: a later read of the source for the
// image says nothing more). Nothing without.
void trel_saySaid(_trel_thing* thing, int warn);
// Whether the object's record of what was said (none: empty) lies within
// the bounds a tag file keeps.
bool trel_saidFits(const _trel_said* said);

// The record as a tag file holds it: the length of each part (four bytes,
// the machine's order) before its bytes, read then built. Null: both empty.
std::string trel_saidBytes(const _trel_said* said);
// The record of the n bytes at p (all of them, as trel_saidBytes writes
// them) into said; false, said untouched, when they are not such a record
// (each part lines as zam_log_keep keeps them) or it passes the bounds.
bool trel_saidFromBytes(const char* p, size_t n, _trel_said* said);
