// Given multiple alignments for the "-score" mode: reading a FASTA or PIR
// alignment file, loading one structure per row (separate PDB files or one
// unified PDB file with a chain or model per row), checking the letters
// against the structures, applying rigid transforms from an "rmt" file, and
// the order of the steps of the mode. Every problem is reported as a message;
// nothing here stops the run. Every file read is marked as an input of the
// run (output/trel_print.h), which no result file replaces. Single-threaded.
#pragma once

#include <cstdint>

#include "align/trel_msa_record.h"

struct _pdb_image;
struct _trel_options;

// Scores one alignment file: load, check, transforms (with_rmt: the file
// named as the alignment file with ".rmt" for its extension; "aln.rmt" for
// "aln.fasta" and for a packed "aln.fasta.gz" alike), at most one
// reference analysis (the SISY file, else the HOMSTRAD alignment, else the
// SABMARK folder; null or empty for none), then trel_analyseMSA. 1 when the
// alignment was loaded and scored, 0 when it could not be loaded, the
// reference comparison failed or a ".ksum" file could not be written
// (reported; the alignment is scored all the same),
// or, after a message naming the file, when fewer than two of its rows have a
// structure or the rmt file holds a matrix that cannot be read (the alignment
// is then not scored).
int trel_processMSA(const char* msa_file, const char* sisy_file, const char* homstrad_file,
                    const char* sabmark_folder, const _trel_options* options);

// The reference comparison of a loaded alignment: the SISY file, else the
// HOMSTRAD alignment, else the SABMARK folder (msa/trel_msa_reference.h).
// 1 when no reference was asked for or the comparison was made; 0 after a
// message otherwise (the reference fields of msa then keep their initial
// values, or what the SISY alternatives compared before the failure stored).
int trel_referenceMSA(_trel_msa* msa, const char* sisy_file, const char* homstrad_file,
                       const char* sabmark_folder, const _trel_options* options);

// The file read, parsed and its structures loaded: a row's PDB file is its
// name, else the name with pdb_extension put on, each also as a ".gz" or
// ".bz2" copy (zam_findPacked), relative to the working folder; with
// with_unified, the alignment file's name with ".pdb" for its extension
// (that of "aln.fasta.gz" is aln.pdb), also as such a copy, holds them all.
// Rows whose structures would take one name ("m1/pred.pdb", "m2/pred.pdb")
// are named as trel_giveName names inputs: the first keeps it, the next are
// pred_2, pred_3, ..., row and structure alike, after a warning. Null after
// a message when the file cannot be read, is empty, holds a NUL or another
// control byte (not a text file), holds no '>' or fewer than 2 records, or
// a row has more residues than its structure.
_trel_msa* loadMSA(const char* msa_file, const char* pdb_extension, const _trel_options* options);
// The whole text of the file (a gzip or bzip2 file decompressed) with a
// terminating NUL in *buffer (release with kfree); returns the byte count. 0
// and a null buffer after a message when it cannot be opened or read to its
// end, and for an empty file.
int64_t trel_readMSA(const char* file, char** buffer);
// Records ('>' characters) and the longest stretch between two of them.
void trel_countMSA(int64_t length, const char* buffer, int* n_records, int64_t* max_stretch);
// Parses the records of buffer and loads their structures (from
// unified_pdb_file when not null: a chain per row, or a model per row when
// the file has several models). Carriage returns count as blanks. Null after
// a message, with nothing loaded kept, for fewer than 2 records or a row with
// more residues (non-gap cells) than its structure. n_records and
// max_stretch are what trel_countMSA found; buffers grow with the input
// whatever they say.
_trel_msa* trel_parseMSA(int64_t length, const char* buffer, int n_records, int64_t max_stretch,
                         const char* unified_pdb_file, const char* pdb_extension,
                         const _trel_options* options);
// New record of n_struct rows and n_col columns, every array zero-filled and
// the reference fields at their initial values. Copies names, takes over
// images (entries may be null); paths are not kept. Free with trel_freeMSA.
_trel_msa* trel_makeMSA(int n_struct, int n_col, const char* const* names, const char* const* paths,
                        _pdb_image** images, const _trel_options* options);
// Releases the record, its structures and arrays; null is ignored.
void trel_freeMSA(_trel_msa* msa);
// Prints the letters (debug level 1 and above) and, when every row has a
// structure, the cells whose letter differs from the structure's residue.
void trel_checkMSA(const _trel_msa* msa, const char* msa_file, const _trel_options* options);
// Moves the structures named in rmt_file in place and makes the moved
// coordinates their reference coordinates. Returns how many were moved; -1,
// with nothing moved, after a message naming the file and line when a matrix
// row does not read as "%lf%lf%lf, %lf" with finite values, a block is cut
// short, or a matrix is no rigid move (rotation orthonormal within 0.01 and
// proper, translation within 100,000 A).
int trel_applyRMT(_trel_msa* msa, const char* rmt_file);
// The row whose structure was read from exactly path name, or -1.
int lookupPdbName(const _trel_msa* msa, const char* name);
// Cuts name in place at the first of "_multi", "_flex", "_pivot", "_query".
void chopTrelDecoration(char* name);

// Parser scanning: the first position >= from holding c, or length when none.
int64_t findChar(int64_t from, char c, const char* buffer, int64_t length);
// The first blank-delimited token of buffer[from, to) into out (emptied
// first); returns its length.
int getFirstToken(const char* buffer, int64_t from, int64_t to, char** out);
// Every non-blank character of buffer[from, to) into *out (a new kdupS
// copy, released with kfree); returns the count.
int getNonBlanks(const char* buffer, int64_t from, int64_t to, char** out);
