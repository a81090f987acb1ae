// Raw structure image files ("kpdb"): a straight little-endian dump of an
// image's counts, placement transform, atom and residue records, symmetry
// matrices and hetero atoms, so that a database member's image comes back
// without parsing PDB text. The chain-letter shift, fake flag, occupancy
// style and score are not stored and read back as 0.
#pragma once

#include <cstdint>

struct _pdb_image;
struct _zam_file;

// Size in bytes of a file holding the given counts: 144 + 112 atoms +
// 40 residues + 96 (SMTRY + BIOMT matrices) + 112 hetero atoms. Computed in
// 64 bits; -1 when a count is negative.
int64_t zam_sizeBinaryPdb(int natoms, int nres, int nsmtry, int nbiomt, int nhetatms);

// Writes image to name with its extension replaced by "kpdb". The file is
// written under a temporary name in the same folder and renamed when whole, so
// an existing file is never left half-written. Returns 1 on success, 0 when
// the file cannot be created or written (no message for that; an image whose
// counts do not match its arrays is reported) or for a null image.
int zam_writeBinaryPdb(const char* name, const _pdb_image* image);

// The same file's bytes written to an open stream f (label names the file
// in the message about an inconsistent image). 1 when every write went
// through; 0 otherwise. The caller opens and closes the stream.
int zam_writeBinaryPdbFile(_zam_file* f, const _pdb_image* image, const char* label);

// Reads an image from file when it exists, else from file with extension
// "kpdb". name null takes the root name of the file. Returns a new image
// owned by the caller (zam_freePdb), or null: quietly when the file cannot be
// opened, after a zam_err naming the file when it is truncated, longer than
// its counts say, or its counts or atom ranges are impossible.
_pdb_image* zam_readBinaryPdb(const char* file, const char* name);
// zam_readBinaryPdb of the n bytes at bytes, already read from the file path
// (kept as the image's path and named in messages).
_pdb_image* zam_readBinaryPdbBytes(const char* bytes, int64_t n, const char* path, const char* name);
