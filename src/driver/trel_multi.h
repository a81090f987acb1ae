// The multiple mode ("-multi"): one multiple structural alignment of a set of
// structures instead of a ranked search. Every structure in turn (or the
// first alone, with -nopivot) is tried as the pivot: the others are
// superposed and aligned on it and a profile is built around it; the best
// trial is kept, optionally refined against its consensus, and its result
// files are written.
#pragma once

struct _trel_thing;
struct _trel_align_buf;
struct _trel_options;

// Gathers queries[0..nq-1] then targets[0..nt-1], leaving out null objects
// and objects without trace records, loads their images and runs
// trel_doMultiOne on them; afterwards every image is let go of (freed when
// the store can read it again exactly, else put back where it was read).
// seqs[0..nseqs-1] are sequence-built objects added as rows. bufs holds one
// alignment buffer per thread slot, each sized for the longest structure on
// both sides. Returns 1 when the alignment was made; 0 after an error
// message when fewer than two structures could be aligned (no profile code
// runs then), also counted in trel_multiRefused().
int trel_doMulti(_trel_thing** queries, int nq, _trel_thing** targets, int nt, _trel_thing** seqs,
                 int nseqs, _trel_align_buf** bufs, _trel_options* options);

// The pivot trials, refinement, sequence rows, result files and closing
// report of things[0..n-1] (n >= 2, images loaded); things[0] is the first
// pivot. Returns 1, or 0 after an error message when no trial gave a profile.
int trel_doMultiOne(_trel_thing** things, int n, _trel_thing** seqs, int nseqs,
                    _trel_align_buf** bufs, _trel_options* options);

// Multiple alignments of this run that were refused (each reported where it
// was): a run with any has not done its job.
int trel_multiRefused();
