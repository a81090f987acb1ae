// Comparative modelling: templates for a sequence. The sequence scan ranks
// target structures as templates for a query built from a sequence, prints
// the ranked table, writes the best template's alignment files and one
// modelling folder per listed template. The model mode ("-model") runs it for
// every sequence, or, with "-multi", aligns the chosen template (the scan's
// best, or the one named by "-template") with its hits, adds the sequence as
// a row and writes the modelling folder of that multiple alignment. The
// theoretical-model run ("-theor") writes one PDB file per residue of a
// structure, the whole structure moved into that residue's backbone frame.
#pragma once

struct _trel_thing;
struct _trel_align_buf;
struct _trel_options;

// Ranks targets[0..nt-1] as templates for the sequence object query (see the
// module comment) with the aligner's current K-score weights. bufs holds one
// alignment buffer per thread slot, each large enough for two targets.
// Modelling folders are written when do_model and write_modeller are on.
// Returns the index of the best template, or -1 after an error message when
// no target could be scored (nothing is written then).
int trel_doScan(_trel_thing* query, _trel_thing** targets, int nt, _trel_align_buf** bufs,
                _trel_options* options);

// The model mode over queries[0..nq-1] (sequence objects; a null or unusable
// one is skipped, having been reported where it was opened) against
// targets[0..nt-1]. template_name (or null) names the seed template of the
// multiple mode. Every query is tried; returns the number that failed (each
// reported with an error). The K-score weights and do_model are left as they
// were.
int trel_doModel(_trel_thing** queries, int nq, _trel_thing** targets, int nt, const char* template_name,
                 _trel_align_buf** bufs, _trel_options* options);

// The theoretical-model run: folder + <name>_<k>.pdb for every residue k of
// pdb_file (atom selection mode). 1 when every file was written; 0 after an
// error message.
int trel_processModel(const char* folder, const char* pdb_file, int mode);
