// Per-structure cache files: an object's tag ("trq"), trace ("trc"), image
// ("pdb" or "kpdb") and per-class sig/tau coefficient files share the base
// path folder + name. trel_openThingFile finds an object in its cache or
// builds it from its PDB or sequence file; trel_openThings opens a list.
// Every file is written under a temporary name in its folder and renamed
// when whole, so runs sharing a cache folder never see a partial file, and
// ends in a check line (trel_cache_check.h): the cache serves an object only
// when every one of its files was made from the very bytes of its source
// file, under the run's reading options, and is whole; anything else is
// rebuilt from the source. The image file is checked when the image is
// loaded, not when the object is opened. A file at a cache name that is not
// trel's (no check line) is never replaced nor removed: the object is then
// built and used, but not cached.
#pragma once

#include <cstdint>

#include "geometry/zam_transform.h"
#include "runtime/zam_identity.h"
#include "store/trel_thing.h"

// The run settings the store reads. The driver fills one from its option
// record; the store never reads the driver's record itself.
struct _trel_thing_opts {
  int with_spf = 0;       // descriptor objects (sig/tau coefficients)
  int use_force = 0;      // rebuild incompatible cached objects
  int use_random = 0;     // random rotation at import; all classes for new descriptor objects
  int with_lookup = 0;    // look up classification codes while building
  int do_write = 1;       // echo loaded sequences
  int show_things = 0;    // print each object's summary as it is built
  int filter_method = 6;  // 6: trace scoring, else descriptor filters
  int q_max = 15;         // expansion order of the descriptor filters
  int threads = 1;        // trel_openThings: worker threads that open long lists
  int lean = 0;           // trel_openThings: release each image once trace and tag are made
  // trel_openThings: the n_others objects others, made from the files
  // other_paths, that the list is opened beside (the queries beside their
  // targets); none when null.
  const char* const* other_paths = nullptr;
  _trel_thing* const* others = nullptr;
  int n_others = 0;
  // A database build, whose member image files hold the image as it stands:
  // 1 as PDB text, so a member's imported (and turned) coordinates are
  // rounded to the 0.001 A that text holds before anything is built from
  // them, as the database search reads them; 2 as raw images, which hold
  // every bit. 0 for the cache, whose image files hold the source's
  // coordinates as read, exactly, and are never rounded.
  int database_images = 0;
  // trel_openThings: for each item, the identity its file had when its list
  // was read (zam_identity.h; all zero: not known), taken for its identity
  // at the open without another look; none when null.
  const _zam_identity* identities = nullptr;
  double grid_spacing = 0.6;  // descriptor sampling: grid cell size (angstrom)
  double grid_extent = 40.0;  // descriptor sampling: largest grid half-width (angstrom)
};

// Opens one object from a PDB file (is_sequence 0) or a FASTA/PIR file: from
// the cache folder when its files serve, else built when force (or use_force)
// allows. A cache file that cannot serve (damaged, cut, of an older format,
// of another source or other reading options) is named in one message and
// the object is built from its source (the image file: when the image is
// loaded, and then only the image); a file at a cache name that is not
// trel's, or cannot be read, is named and kept, and the object is built but
// not cached. A source whose identity is the one its tag file records is not
// read; any other is read and checksummed, and the tag file of an object
// that keeps its files then records its identity, once it has settled. A
// source that cannot be read beside its cache files is reported and the
// object refused. The sig and tau arrays of the classes pots asks for come
// with a descriptor object served from its files. cache_folder "./" means
// the source file's own folder. pots is the
// class request (int[5]) of descriptor objects. save marks a freshly built
// object dirty, so that trel_emptyThing writes its cache files. The image
// file holds the source's atoms as read, and every open places them as a
// run without the cache does (centred by the same sums, then turned as the
// tag's frame says), so that cold, warm and uncached runs hold the very same
// numbers; a turned object built now for the cache (a descriptor object, a
// random turn) takes that placed image at once. Cache files of an older
// version are rebuilt, said once for the run (trel_sayOlder). Never null;
// the object is usable when tag->valid == 1 (refusals are reported here).
// Release with trel_closeThing.
_trel_thing* trel_openThingFile(const char* path, const char* cache_folder, int order,
                                int is_sequence, const _trel_thing_opts* options, const int* pots,
                                int force, int save);
// Opens paths[0..n-1] into things[0..n-1], then loads the traces of the
// objects whose residue count lies in [min, max] (filter method 6) or their
// tau coefficients of order q_max for the requested classes. Returns 1; 0
// after "Failed to load TRC data for: %s\n" or "Failed to load SPF data for:
// %s\n" (the caller ends the run). The objects are opened in either case.
// With options->threads >= 2 a long list of trace objects is opened on that
// many worker threads (task stack, work list, mailbox 13, collector in
// handle 136); the messages of each object are held back and shown in list
// order, so the output does not depend on the thread count. With
// options->lean a dirty object's cache files are written as soon as it is
// built and every image that can be had again (trel_releaseThingImage) is
// freed, so that only tags and traces stay in memory. An item whose name
// another input holds (an earlier item of the list, or one of the objects
// options->others made from another file) is named with a numeric suffix
// ("1abc_2"), warned about with both files, built from its own file and not
// cached.
int trel_openThings(int n, _trel_thing** things, const int* pots, int min, int max,
                    int is_sequence, const char* const* paths, const char* cache_folder,
                    int force, int save, const _trel_thing_opts* options);

// The image of an object built from a PDB file, read again from that file
// (thing->source) and placed as the tag says (centred as the import
// centres, then turned as the frame says beyond that; rounded for a
// database member), so that it holds the very same coordinates as when it
// was built or served from its cache files. A stamped object takes only the
// bytes of its stamp: a source changed since is refused. Null, reported,
// when it cannot be read. The caller owns the image.
_pdb_image* trel_reloadThingSource(const _trel_thing* thing);
// The image of an object made from a source file (thing->source): from its
// image file when it was served from its cache files (check_image), read
// once, checked against the source stamp and parsed from those very bytes,
// which hold the source's atoms as read, placed as trel_reloadThingSource
// places them and named by the source's path;
// else, or when that file fails, from the source (trel_reloadThingSource).
// A failing file is named in one message for the run ("Cache file %s is
// damaged: rebuilding %s."; the first load to find it, on whichever thread)
// and, when the object keeps its cache files (save) and the file is trel's,
// written anew from the source (a write that fails is reported; the image
// still serves). Null after a report when nothing serves. The caller owns
// the image.
_pdb_image* trel_readThingImage(const _trel_thing* thing);
// The trace records of an object served from its cache files, read again
// (they were let go after the open): read once and checked against the
// source stamp; a file that fails is named and the trace made from the
// source. 1; 0 after a report when neither serves.
int trel_readCachedTrace(_trel_thing* thing);

// Builds the trace of the loaded image and fills the tag of a trace object.
// An image that is missing or has no residues leaves tag->valid = 0.
void trel_loadThingTrel(_trel_thing* thing, int pot_class, const _trel_thing_opts* options);
// Builds the trace of the loaded image and samples the descriptor
// coefficients of order N of the classes mask selects (1: compute; -1: only
// when it is the own class pot_class) into the object's sig and tau arrays
// (trel_descriptor.cpp). An object without usable coefficients of its own
// class gets them first: the canonical frame of its tau coefficients moves
// them, the image and the trace, and tag->frame records it; every other class
// is sampled in that frame. An object whose tag already holds the own class
// (with counts that match the image, at order N or more) keeps its frame: its
// image must stand in it, and only the missing classes are added. Messages
// go to the log only, unless the debug level is above 0. An image that is
// missing or has no residues, or a sampling grid refused as too large
// (after its message; no class is then marked as held), leaves
// tag->valid = 0.
void trel_loadThingTdb(_trel_thing* thing, int pot_class, const int* mask, int order,
                       const _trel_thing_opts* options);

// The first 304 bytes of base's tag file into tag, unchecked: 1; a missing
// or short file leaves the tag zero-filled (valid 0) and gives 0. No message.
int trel_read_tag(const char* base, _trel_tag* tag);
// Writes the tag file of base, a cache file made from source when that is
// given, recording after the tag the source's identity id (all zero when
// it is not known) and what reading and building the object said (said,
// none when null: trel_said.h). 1 on success; 0 after "Failed to write TAG
// file: %s.\n", with tag->valid set to 0.
int trel_write_tag(const char* base, _trel_tag* tag, const _trel_stamp* source, const _zam_identity* id = nullptr,
                   const _trel_said* said = nullptr);
// Writes n trace records to base's trace file ("trc"), a cache file made
// from source when that is given. 1 on success; 0 after "Failed to write TRC
// file: %s.\n".
int trel_writeThingTrace(const char* base, int n, const _trel_seg* records, const _trel_stamp* source);

// Coefficient file at path (extension included) into buffer, which holds the
// coefficients of order N: 1 when the file has order >= N (its prefix is
// read); 2 when it has a lower order (zero-padded, with a warning); 0 after
// "Failed to open %s.\n" (warning) or "Failed to read %s.\n" (bad header or
// short file).
int trel_read_anlm(const char* path, int order, double* buffer);
// Writes an order-N coefficient file to path. 1; 0 after "Failed to create
// %s.\n" or "Failed to write %s.\n" (no partial file is left).
int trel_write_anlm(const char* path, int order, const double* buffer);
// The class's tau / sig array of order N from its file: 1 when present or
// read (an array already held keeps the order it has, in tau_order /
// sig_order); 0 for an invalid object or tag or an unreadable file; 2 when
// the file holds a lower order than asked: the array is then not kept, and
// the object records it, so that asking again for that order or more gives
// 2 without reading or warning again.
int trel_readThingTau(_trel_thing* thing, int pot_class, int order);
int trel_readThingSig(_trel_thing* thing, int pot_class, int order);
// base + ".sig" then base + ".tau"; returns the result of the tau write (and
// 0 when the sig write failed too).
int trel_write_thing(const char* base, int order, const double* sig, const double* tau);
// Moves the class's tau / sig array (at the order it is held) by the rigid
// transform in place. 1; 0 when the array is absent or the move failed
// (reported; the array is then unchanged).
int trel_moveThingTau(_trel_thing* thing, int pot_class, Matrix3D transform);
int trel_moveThingSig(_trel_thing* thing, int pot_class, Matrix3D transform);
// Text export: "n_max = %d, n_dim = %d\n", then "%3d %3d %3d  %.8g\n" per
// coefficient. 1; 0 when the file cannot be opened or written (reported).
int trel_write_anlm_asc(const char* path, int order, const double* values);

// Writes a dirty object's cache files (trace, image, coefficients, and the
// tag last, so that a tag on disk always has its files beside it; an older
// tag is removed first), each sealed with the object's source stamp, and
// clears dirty. The files are the user's own (mode 0600). Does nothing (1)
// unless tag->valid == 1, the trace records are present and the object is
// dirty; an object read from its cache gets no rewrite. 0 when a write
// failed or the object has no source stamp (reported).
int trel_writeThingCache(_trel_thing* thing);
// The image file (when the image is loaded) and the coefficient files of
// every class in tag->pot_flags, at the base path, in their plain formats
// (a database member's files). Never writes over the object's own source
// file. 1; 0 when a write failed (reported).
int trel_writeThingFiles(_trel_thing* thing);

// 1 when the file at path is known for a structure file without a byte of
// it read: the tag file at the name its object takes in cache_folder (as
// trel_openThingFile names it; "./" the file's own folder) is trel's, whole,
// of a usable object, and records the very identity (device, inode, size,
// modification and change times) the file has now (now, as the caller
// looked at it), as a warm open finds it. 0 otherwise (no cache folder, no
// such tag, an unknown identity, or anything else), when only reading the
// file can tell. No message.
int trel_cachedStructure(const char* path, const char* cache_folder, const _zam_identity& now);

// Number of objects built from source files by this process (for checking
// that a warm cache builds nothing).
int trel_thingBuilds();
