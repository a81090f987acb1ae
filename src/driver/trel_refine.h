// Superposition and alignment of targets onto a query: one target from a
// starting transform (trel_alignFitOne), and the top targets of a search
// spread over worker threads, which take them one at a time, each with its
// own alignment buffer, and a collector that counts the workers' reports
// through mailbox 10. Also the coordinate snapshots used around moves of an image.
#pragma once

#include "geometry/zam_transform.h"

struct _trel_thing;
struct _trel_align;
struct _trel_align_buf;
struct _trel_options;
struct _pdb_image;
struct _pdb_peptide;

// Aligns target onto query (query image qimage, its backbone peptide qpep)
// from the starting superposition *transform, by the rule the options give
// (full flexible alignment, one superposition, or none). Loads the target's
// image on first use; a target whose image cannot be read is marked not
// valid (target->valid = 0). Returns a new alignment (release with
// trel_freeAlign), or null when the target has no usable tag, trace or image,
// or the engine refused the pair (reported where found). *transform is not
// changed.
_trel_align* trel_alignFitOne(_trel_thing* query, _pdb_image* qimage, _pdb_peptide* qpep,
                              _trel_thing* target, const Matrix3D* transform,
                              _trel_align_buf* buf, const _trel_options* options);
// The same alignment onto a target image the caller loaded: nothing is
// loaded or marked here. A rigid alignment only reads timage, so threads may
// share it; the flexible extension moves its atoms.
_trel_align* trel_alignFitImage(_trel_thing* query, _pdb_image* qimage, _pdb_peptide* qpep,
                                _trel_thing* target, _pdb_image* timage, const Matrix3D* transform,
                                _trel_align_buf* buf, const _trel_options* options);

// aligns[k] = trel_alignFitOne(.., targets[k], &transforms[k], ..) for
// k = 0..n-1. Serial on bufs[0] when threads < 2 or n < 2; otherwise
// workers in the thread slots s they pop, using bufs[s] (bufs must hold a
// buffer for every slot), take targets one at a time, longest first, from
// the thread layer's work list (which this call loads), with a joinable
// collector in handle 136. Each worker loads the images of its targets and writes only
// their entries of aligns. The results do not depend on the thread count.
void trel_alignFitTargets(_trel_thing* query, _pdb_image* qimage, _pdb_peptide* qpep, int threads,
                          int n, _trel_thing** targets, const Matrix3D* transforms,
                          _trel_align** aligns, _trel_align_buf** bufs,
                          const _trel_options* options);

// Thread bodies of trel_alignFitTargets (argument: its collector record and
// a worker record); both end with zam_thread_exit.
void* trel_align_consumer(void* collector);
void* run_align_cpu_thread(void* worker);

// The image of a valid target with its trace read, or null. A target whose
// structure file has gone or is damaged since it was opened (the reader said
// which) is no longer usable (target->valid = 0), and the run reports it when
// the search is over.
_pdb_image* usable_target_image(_trel_thing* target);

// Copies the coordinates of every atom of image into points (natoms entries,
// atom order) / back from points into the image. Null arguments do nothing.
void save_image_atoms(const _pdb_image* image, Point3D* points);
void restore_image_atoms(_pdb_image* image, const Point3D* points);
