// Structure objects: one query, target, database member or sequence-built
// structure with its name, cache folder, structure image (loaded on demand),
// backbone trace, 304-byte tag and per-class descriptor coefficients; the
// operations that create, name, print, look up, empty and release objects.
// Reading objects from and writing them to their cache files is trel_cache.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "align/trel_trace.h"
#include "geometry/zam_transform.h"
#include "store/trel_cache_check.h"

struct _pdb_image;
struct _trel_seq;
struct _trel_db;

constexpr int TREL_POT_CLASSES = 5;

// The summary of one structure; also the whole tag file and one record of a
// database's tags file, stored byte for byte (little-endian, no header).
struct _trel_tag {
  int32_t valid;             // 1 = usable; anything else: no usable object
  int32_t source_mark;       // tag files: CRC-32 of the source file it was built from
                             // (its check line holds it too); 0 in a database
  int64_t trace_offset;      // database members: byte offset in the traces file
  int32_t order;             // expansion order of the stored coefficients; 0 = none
  int32_t n_atoms;
  int32_t n_residues;        // = number of trace records
  int32_t n_backbone;
  int32_t n_mainchain;
  int32_t n_sidechain;
  int32_t pot_class;         // the structure's own potential class
  int32_t pot_flags[TREL_POT_CLASSES];  // 1 = coefficients of that class exist
  int32_t code[4];           // classification code, most general level first
  double radius;             // largest atom distance from the centroid
  double mass;               // monopole / s^3 (s = the own class's scale)
  double quad[3];            // quadrupole vector / s^5
  double upper[4];           // upper octant masses / s^5
  double lower[4];           // lower octant masses / s^5
  double centre[3];          // centre vector / s
  Matrix3D frame;            // moves the stored structure back to its source coordinates
};
static_assert(sizeof(_trel_tag) == 304, "the tag is a 304-byte file record");
static_assert(offsetof(_trel_tag, source_mark) == 4 && offsetof(_trel_tag, trace_offset) == 8 &&
                  offsetof(_trel_tag, order) == 16 && offsetof(_trel_tag, n_atoms) == 20 &&
                  offsetof(_trel_tag, n_residues) == 24 && offsetof(_trel_tag, n_backbone) == 28 &&
                  offsetof(_trel_tag, n_mainchain) == 32 && offsetof(_trel_tag, n_sidechain) == 36 &&
                  offsetof(_trel_tag, pot_class) == 40 && offsetof(_trel_tag, pot_flags) == 44 &&
                  offsetof(_trel_tag, code) == 64,
              "tag counts and class fields");
static_assert(offsetof(_trel_tag, radius) == 80 && offsetof(_trel_tag, mass) == 88 &&
                  offsetof(_trel_tag, quad) == 96 && offsetof(_trel_tag, upper) == 120 &&
                  offsetof(_trel_tag, lower) == 152 && offsetof(_trel_tag, centre) == 184 &&
                  offsetof(_trel_tag, frame) == 208,
              "tag descriptor and frame fields");

// What reading an object's source and building its trace said of it, as
// zam_log_keep keeps lines (trel_said.h): kept with its cache files, so that
// a run they serve says what a run that reads the source says.
struct _trel_said {
  std::string read;   // the PDB reader's warnings and notes on the source
  std::string built;  // the chain breaks its trace build found: said, and counted, when the run warns
};

// One structure object; zero-filled at creation.
struct _trel_thing {
  int valid;           // 1 = usable (usability of the structure itself is tag->valid)
  int dirty;           // 1 = write out (cache files or database) when emptied
  int binary;          // 1 = the image file is a raw image ("kpdb"), not PDB text
  int member;          // 1 = name and folder are borrowed
  int tag_borrowed;    // 1 = tag lies in a database's tags block; no tag file is read
  int trace_borrowed;  // 1 = trace records lie in a database's traces block
  int embedded;        // 1 = this record is an element of a database's member array
  char* name;          // sanitised root name of the source file, or member name
  char* folder;        // folder of the cache files, ending in "/"
  _trel_seq* seq;      // sequence of an object built from a sequence file, else null
  _pdb_image* image;   // null until loaded
  _trel_tag* tag;
  _trel_trace trace;   // seg null until built or read
  double* sig[TREL_POT_CLASSES];
  double* tau[TREL_POT_CLASSES];
  int from_sequence;   // 1 = built from a sequence: its image is never read from a PDB file
  int cached;          // 1 = tag and trace came from the cache files, which need no rewrite
  char* source;        // PDB file the object was made from (owned), else null: its image is
                       // read again from it, imported the same way (unless check_image)
  int rounded;         // 1 = the built image's coordinates were rounded as its database's PDB
                       // text holds them (a member built for a database of PDB images)
  int sig_order[TREL_POT_CLASSES];  // expansion order of sig[c] while it is held, else 0
  int tau_order[TREL_POT_CLASSES];
  int sig_short[TREL_POT_CLASSES];  // > 0: the class's sig file was found to hold less than
  int tau_short[TREL_POT_CLASSES];  // this order, and is not read again for it or above
  int stamped;         // 1 = stamp holds the source file's identity: the cache files
  _trel_stamp stamp;   // read were made from it, and those written carry it
  int check_image;     // 1 = served from its cache files: the image is read from its image
                       // file, checked against stamp when loaded; cleared (atomically) by the
                       // first load that finds that file failing: source serves from then on
  int save;            // 1 = opened to keep its cache files: an image file that fails its
                       // check when loaded is written anew
  _zam_identity source_id;  // the source file's identity when stamp was taken from it (its tag
                            // file records it), all zero when unknown or not settled
  int older;           // 1 = its tag file was written by an older version, and it is built anew:
                       // said once for all the objects of a run (trel_sayOlder)
  _trel_said* said;    // what reading and building it said, until its tag file holds it (an
                       // object that keeps its cache files) or, served from them, it is said
};

// The classification code of an object without a tag: 0.0.0.0.
inline constexpr int TREL_NO_CODE[4] = {0, 0, 0, 0};

// What the modes ask of an object again and again, each safe on a null
// object: its name ("" without one), its classification code (TREL_NO_CODE
// without a tag), its residue count (0 without a tag) and whether its trace
// can be scored (a usable tag and trace records).
inline const char* trel_thingName(const _trel_thing* t) { return t && t->name ? t->name : ""; }
inline const int* trel_thingCode(const _trel_thing* t) { return t && t->tag ? t->tag->code : TREL_NO_CODE; }
inline int trel_thingResidues(const _trel_thing* t) { return t && t->tag ? t->tag->n_residues : 0; }
inline bool trel_thingTraced(const _trel_thing* t) { return t && t->tag && t->tag->valid == 1 && t->trace.seg; }

// The object's record of what was said of it, made empty when it has none.
// Freed with the object (trel_closeThing) or by trel_forgetSaid.
_trel_said* trel_thingSaid(_trel_thing* thing);
// Frees the object's record of what was said of it (none after).
void trel_forgetSaid(_trel_thing* thing);

// Coefficient count of order N: N(N+1)(2N+1)/6; 0 for N < 1.
int64_t trel_anlmSize(int order);

// New object (release with trel_closeThing) holding copies of name and folder.
_trel_thing* trel_createThing(const char* name, const char* folder);
// New object borrowing name and folder (member = 1).
_trel_thing* trel_createThingRef(const char* name, const char* folder);
// Turns an element of a database's member array into an object borrowing
// name and folder (member = 1, embedded = 1).
void trel_setupThingRef(_trel_thing* thing, const char* name, const char* folder);

// The base path of the object's files, folder + name, into buffer
// (TREL_PATH_MAX + 1 bytes); returns buffer. When that path with the longest
// ending of its files ("_A.kpdb") would pass TREL_PATH_MAX characters, the
// name is cut to what fits, followed by "~" and the CRC-32 of the whole name
// in hex (zam_hashName, as long result file names are; two long names that
// still meet would hold each other's source in their check lines, and so are
// rebuilt, never mixed up). Null (buffer "") when the folder alone leaves no
// room.
char* trel_nameThing(const _trel_thing* thing, char* buffer);
// The same followed by "_" and the class letter when pot_class >= 0.
char* trel_nameThingPot(const _trel_thing* thing, int pot_class, char* buffer);
// trel_nameThingPot for a caller that reads or writes the files: null after
// "Folder name too long for the files of %s: %s\n" when there is no name.
char* trel_nameThingFile(const _trel_thing* thing, int pot_class, char* buffer);
// Frees the class's sig and tau arrays and allocates both anew, zero-filled,
// of order N (recorded in sig_order and tau_order).
void trel_allocateThing(_trel_thing* thing, int pot_class, int order);

// Makes sure the trace records are present: 1 when they are (already, or read
// from the trace file of the base path, checked for an object served from its
// cache files: trel_readCachedTrace); 0 for an invalid object or tag, a
// borrowed trace that is absent, or a trace file that cannot be read (reported
// by the trace reader).
int trel_readThingTrace(_trel_thing* thing);
// The structure image, loaded on first use from the base path (raw image when
// binary; rebuilt from the sequence for a sequence object; the image file of
// an object served from its cache files is checked first, and the image made
// from the source when it fails: trel_readThingImage). Copies the trace's
// secondary-structure letters into the image's residues (warning when trace
// and image differ in length). Null, after a message naming the file, when it
// cannot be read. The object owns the image.
_pdb_image* trel_imageThing(_trel_thing* thing);
// A new image read the same way (trace letters copied when the trace is
// present), owned by the caller (zam_freePdb) and not kept by the object,
// which is only read: threads may each load their own copy of one object.
// Null after a message when it cannot be read.
_pdb_image* trel_loadThingImage(const _trel_thing* thing);
// Frees the image when it can be had again exactly as it is now: read from
// the cache or database files, rebuilt from the sequence, or read and
// imported again from the source PDB file. An image that is dirty (its cache
// files are not written yet) or was turned at random is kept. 1 when freed.
int trel_releaseThingImage(_trel_thing* thing);
// 1 when the object's image can be read again exactly as it was first made
// (the test of trel_releaseThingImage, whether or not it is loaded now).
int trel_thingImageReloads(const _trel_thing* thing);
// Prints the object's summary line(s) through zam_msg.
void trel_printThing(const _trel_thing* thing);
// Index of the first object whose name equals name; -1 when none or n < 1.
int trel_lookupThing(const char* name, _trel_thing* const* things, int n);

// The names given to a list of inputs, so that inputs whose own names repeat
// ("a/1abc.pdb" and "b/1abc.pdb") never share result or cache files. The
// caller puts every input's own name (and every name held before the list)
// into avoid, and the names held before, with their files, into held.
struct _trel_names {
  std::unordered_map<std::string, std::string> held;  // name given -> the file that has it
  std::unordered_set<std::string> avoid;             // names no numbered name may take
};
// The name of the input file whose own name is root: root itself when no
// other holds it, else root_2 (root_3, ...: the first neither held nor in
// avoid), after the warning "<file> has the name <root> of <holder>: it is
// named <name><note>.". The name given is held from then on.
std::string trel_giveName(_trel_names* names, const std::string& root, const std::string& file,
                          const char* note);

// Writes a dirty object out (into db when one is being built, else into its
// cache files), then frees its sequence, image and coefficient arrays. Name,
// folder, tag and trace stay. Returns 1, or 0 when the write-out failed
// (reported where it failed). Null is ignored (1).
int trel_emptyThing(_trel_db* db, _trel_thing* thing);
// trel_emptyThing, then releases everything the object owns and the record
// itself (unless embedded). Returns trel_emptyThing's result.
int trel_closeThing(_trel_db* db, _trel_thing* thing);
