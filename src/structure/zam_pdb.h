// Protein structure images: one PDB structure held in memory as flat arrays of
// atom, hetero-atom and residue records with saved coordinates, symmetry
// matrices and a placement transform; the operations on a whole image (copy,
// chain extraction, rigid moves, masks, point lists, radii), the PDB text
// reader with its process-wide options, and the PDB text writers.
#pragma once

#include "geometry/zam_transform.h"

struct _zam_file;
struct _zam_filesum;

// One atom (or hetero atom) record. The layout is also the 112-byte record of
// the raw image file, so field order and sizes must not change.
struct _pdb_atom {
  char type[7];     // record kind, "ATOM" or "HETATM"
  char name[5];     // atom name without blanks
  char cname[5];    // atom name as it stands in columns 13-16
  char alt[2];      // alternate location
  char resname[4];  // residue name without blanks
  char resnum[5];   // residue number text without blanks
  char icode[2];    // insertion code
  char chain[2];    // chain character; a blank chain is stored as '_'
  float occupancy;
  float bfactor;
  double x, y, z;
  int column;       // integer of columns 55-60 in occupancy style 2, else 99
  int model;
  int chain_no;
  int residue;      // index of the owning residue record
  char is_ca, is_mc, is_bb, is_sc;  // alpha carbon, main chain, backbone, side chain
  char reserved1[4];
  double radius;
  char label[6];    // residue number text followed by a non-blank insertion code
  char reserved2[10];
};
static_assert(sizeof(_pdb_atom) == 112, "atom record is a 112-byte file record");

// One residue record; also the 40-byte record of the raw image file.
struct _pdb_residue {
  int masked;       // 0: shown; other values hide the residue from the writers
  int model;
  int chain_no;     // counted from 0 within each model
  int first, last;  // inclusive atom index range
  int nside;        // side-chain atoms of the residue
  char chain[2];
  char code[2];     // one-letter code
  char resname[4];
  char sse[2];      // secondary-structure letter ('X' complete, 'D' incomplete after reading)
  char resnum[6];   // residue label: number text and insertion code
};
static_assert(sizeof(_pdb_residue) == 40, "residue record is a 40-byte file record");

struct _pdb_image {
  int nmodels;      // MODEL records met by the reader
  int nchains;
  int natoms;
  int nhetatms;
  int nres;
  int nbb;          // backbone atoms
  int nmc;          // main-chain atoms
  int nsc;          // side-chain atoms
  int nsmtry;
  int nbiomt;
  int delta;        // chain-letter shift applied by the writers
  int fake;         // non-zero for an ideal backbone built from a sequence
  int occ_style;    // occupancy column style 0, 1 or 2
  char* path;
  char* name;
  Matrix3D tf;      // placement: every move made by zam_importPdb composed
  Matrix3D* biomt;
  Matrix3D* smtry;
  _pdb_residue* residues;
  _pdb_atom* atoms;
  _pdb_atom* hetatms;
  Point3D* saved;      // reference coordinates of the atoms
  Point3D* saved_het;  // reference coordinates of the hetero atoms
  float score;         // from an "I_sc" line
};

// Atom selections shared by zam_ptsPdb, zam_radPdb and the writers:
// 1 backbone, 2 CA only, 3 side chain, 4 main chain, anything else all atoms.
// Whether atom a passes selection.
bool zam_atomSelected(const _pdb_atom& a, int selection);

// ---- Whole images --------------------------------------------------------

// Releases the image and everything it owns; null is ignored.
void zam_freePdb(_pdb_image* image);
// Deep copy owned by the caller; null for a null image.
_pdb_image* zam_copyPdb(const _pdb_image* image);
// New image of the chains numbered in chains[0..n-1], renumbered 0, 1, ... in
// order of first appearance; no hetero atoms. Warns (with the reader's
// warnings option) when chain or residue counts do not match. Null for a null
// image or n < 1.
_pdb_image* zam_extractPdb(const _pdb_image* image, int n, const int* chains);
// images[k] = one chain each (or one model's group of chains each for a
// multi-model image), named names[k]; slots not filled are set to null.
void zam_splitPdb(const _pdb_image* image, int n, const int* chains, const char* const* names,
                  _pdb_image** images);
// Chain numbers (model 0) of the chain letters in letters, in order, written
// to numbers; returns how many were found.
int zam_chainsPdb(const _pdb_image* image, const char* letters, int* numbers);

void zam_movePdb(_pdb_image* image, Matrix3D matrix);
void zam_movePdbResidue(_pdb_image* image, int i, Matrix3D matrix);
void zam_resetPdb(_pdb_image* image);
void zam_freezePdb(_pdb_image* image);
void zam_maskPdb(_pdb_image* image, int value);
void zam_labelPdbResidue(_pdb_image* image, int i, int shift);
void zam_setPdbChainLabel(_pdb_image* image, char letter);
// shift >= 1 rotates letters and digits cyclically; shift < 0 swaps case.
char deltaChar(char c, int shift);
void zam_setPdbDelta(_pdb_image* image, int shift);
void zam_setPdbFake(_pdb_image* image, int flag);
// k-th matrix counted from 1; the identity when k is out of range.
Matrix3D zam_pdbBiomt(const _pdb_image* image, int k);
Matrix3D zam_pdbCryst(const _pdb_image* image, int k);
// First "CA" of residue i; the origin when none or i is out of range.
Point3D zam_ptPdbResidue(const _pdb_image* image, int i);
// Coordinates of the selected atoms in a new zero-filled array sized by the
// selection's count (caller frees with kfree); null for a null image.
Point3D* zam_ptsPdb(const _pdb_image* image, int selection);
// Centres the image on its atoms (and turns it at random when randomise),
// composing the moves into the placement; returns the largest distance of an
// atom from the centre (0 without atoms).
double zam_importPdb(_pdb_image* image, int randomise);
// Sets every atom and hetero-atom coordinate to the number that the PDB
// writer's text of it ("%8.3f") gives back when read with strtod.
void zam_roundPdbAsText(_pdb_image* image);
// Whether the PDB writer's text holds every atom and hetero-atom coordinate
// of the image exactly: each lies in -999.999 .. 9999.999 and its "%8.3f"
// text gives it back bit for bit when read (three decimals, as PDB files
// have them). 0 for a null image.
int zam_pdbHeldAsText(const _pdb_image* image);
// A copy (owned by the caller) with every atom and hetero atom back at its
// saved coordinates and the identity placement: the structure as its file
// gave it, whatever moves the image made since. Null for a null image or
// one that keeps no saved coordinates.
_pdb_image* zam_copyPdbAsRead(const _pdb_image* image);
// Radii of the selected atoms from the atom-parameter data, in a new
// zero-filled array sized by the selection's count (caller frees with kfree).
float* zam_radPdb(const _pdb_image* image, int selection);
void zam_loadPdbZamRadii(_pdb_image* image);

// ---- PDB text reader -----------------------------------------------------

// Reads file (or file with extension "pdb" when file does not exist), plain,
// gzip or bzip2. name null takes the file's root name. Returns a new image
// owned by the caller, or null after "Failed to open PDB file" when the file
// cannot be opened or "Failed to read PDB file" when it cannot be read to its
// end (a damaged compressed stream, a read error): no part of such a file is
// kept. An atom with bad coordinates (isBadPdbAtom) is left out with a
// warning naming the file and line, given once in the run for each file
// name (by its first read that meets a bad atom; later reads leave the same
// atoms out silently). Prints advisories, and other warnings
// with zam_setPdbWarnings. A plain
// file is read in blocks into a buffer of the calling thread, kept for its
// next file.
_pdb_image* zam_readPdb(const char* file, const char* name);
// zam_readPdb that also takes the checksum of the file as it lies on disk
// into sum (zam_filesum.h), on the blocks the reader reads as it reads them
// (a compressed file's packed blocks, as they are unpacked for it), and past
// where it stops (one model of many) on blocks read for the sum alone, so
// that every byte is read once, in memory that does not grow with the file.
// sum->whole is 0 when not every byte could be summed, or when the file
// read was the ".pdb" form of the name. said_as, when not null, is the name
// the reader's messages give the file once it is opened, in place of its
// own (a caller that keeps what was said, to say it again of a file that may
// be named otherwise then, puts the name back).
_pdb_image* zam_readPdbSummed(const char* file, const char* name, _zam_filesum* sum, const char* said_as = nullptr);
// zam_readPdb of the n bytes of PDB text at text, already read from the file
// path (kept as the image's path and named in messages); the bytes are not
// changed.
_pdb_image* zam_readPdbText(const char* text, int64_t n, const char* path, const char* name);
// Fills atom from an ATOM/HETATM line shifted right by shift columns, with
// occupancy style style. Short lines give empty fields, never an over-read.
void zam_parsePdbAtom(const char* line, int shift, int style, _pdb_atom* atom);
// Occupancy style of a line: 0 shorter than 60 + shift, 1 a '.' in columns
// 55-60, else 2.
int zam_tastePdbAtom(const char* line, int shift);
// True for coordinates above 10000, below -1000 or not a number.
int isBadPdbAtom(Point3D point);

// Reader options: process-wide, set before any worker thread starts.
void zam_setPdbChainType(int type);  // 0 amino and nucleic acids, 1 amino acids, 2 nucleic acids
void zam_setPdbOneModel(int flag);   // stop at the first ENDMDL (default on)
void zam_setPdbOneChain(int flag);   // stop at the first TER (default off)
void zam_setPdbHydrogens(int flag);  // keep hydrogens (default off)
void zam_setPdbHetRes(int flag);     // read HETATM amino-acid residues as ATOM (default off)
void zam_setPdbWarnings(int flag);   // report bad records and missing atoms (default off)
void zam_setPdbMissing(int flag);    // drop residues missing backbone atoms (default off)
int zam_getPdbWarnings();            // the warnings option, for the image operations
int zam_getPdbOneModel();            // the switches as set, so a caller can put them back
int zam_getPdbOneChain();
int zam_getPdbChainType();
int zam_getPdbHydrogens();
int zam_getPdbHetRes();
int zam_getPdbMissing();

// ---- PDB text writer -----------------------------------------------------

// Opens name with its extension replaced by "pdb" for writing and writes the
// REMARK header; null after the error "Failed to write PDB file".
_zam_file* zam_openPdbFile(const char* name);
// Writes the REMARK header line naming the writing program and the date, as
// zam_openPdbFile does, to a stream opened otherwise (a file written whole).
void zam_writePdbRemark(_zam_file* stream);
// Closes the stream; returns the close result (non-zero when a write or the
// close failed); null gives 0.
int zam_closePdbFile(_zam_file* stream);
// Writes one image: SSE records (sse), the ATOM lines of chain (-1 all) that
// pass selection, moved by matrix, chain letter label (0 keeps the atoms'),
// a TER line (ter), then the hetero atoms. Serials count on from serial and
// wrap from 99999 to 1. Returns the last serial written.
int zam_writePdbFile(_zam_file* stream, const _pdb_image* image, int chain, char label,
                     int selection, int sse, int ter, int serial, Matrix3D matrix);
// Writes the file whole (zam_openWhole) from serial 0: a link standing at
// its name is replaced, never written through. Returns 1 on success, 0 when
// the file could not be opened or written (reported), or names an input of
// the run (zam_refuseInput: warned, left as it is).
int zam_writePdb(const char* file, const _pdb_image* image, int chain, char label, int selection,
                 int sse, int ter, Matrix3D matrix);
// Writes the atoms of residue i alone; returns the last serial.
int zam_writePdbResidue(_zam_file* stream, const _pdb_image* image, int i, char label,
                        int selection, int ter, int serial, Matrix3D matrix);
// HELIX, SHEET and TURN records for the runs of 'A', 'B' and 'C'.
void zam_writePdbSSEs(_zam_file* stream, const _pdb_image* image, int chain, char label);
void zam_writeSSEInfo(_zam_file* stream, const _pdb_image* image, char letter, int chain,
                      char label);
// Serials the "CA" atoms would get from zam_writePdbFile with the same chain,
// selection and start serial, written to numbers; returns how many.
int zam_getPdbAlphaNos(const _pdb_image* image, int chain, int selection, int serial,
                       int* numbers);
// Re-writes the ATOM lines of a PDB text file moved by matrix, written whole
// (a temporary file beside the target, renamed over it at the end). Returns
// 1 on success, 0 after a reported open, read or write failure, with the
// target left as it was.
int zam_exportPdb(const char* source, const char* target, int selection, Matrix3D matrix);
