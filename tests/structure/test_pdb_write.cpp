// PDB text writer: exact lines, serial wrap, masks, SSE records, CA serials,
// export of text files, and read-write-read round trips of the shared
// structures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "geometry/zam_transform.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"

using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

struct ImageDeleter {
  void operator()(_pdb_image* p) const { zam_freePdb(p); }
};
using Image = std::unique_ptr<_pdb_image, ImageDeleter>;

// Messages shown while a Messages lives, in captured (log_capture.h).
using Messages = testutil::Messages;
std::string& captured = testutil::Messages::said();

std::string atom(const char* kind, int serial, const char* name, const char* res, char chain, int num, double x,
                 double y, double z) {
  char buf[128];
  snprintf(buf, sizeof buf, "%-6s%5d %-4s %-3s %c%4d    %8.3f%8.3f%8.3f%6.2f%6.2f", kind, serial, name, res, chain, num,
           x, y, z, 1.0, 15.0);
  return std::string(buf) + "\n";
}

std::string residue(int num, char chain, const char* res = "ALA") {
  double x = num * 3.8;
  return atom("ATOM", 1, " N", res, chain, num, x, 0, 0) + atom("ATOM", 2, " CA", res, chain, num, x + 1, 0, 0) +
         atom("ATOM", 3, " C", res, chain, num, x + 2, 0, 0) + atom("ATOM", 4, " O", res, chain, num, x + 2, 1, 0);
}

using testutil::split_lines;  // test_util.h

std::vector<std::string> startingWith(const std::string& text, const std::string& head) {
  std::vector<std::string> out;
  for (const std::string& l : split_lines(text))
    if (l.compare(0, head.size(), head) == 0) out.push_back(l);
  return out;
}

Image readText(const TempDir& dir, const std::string& text, const char* name = "in.pdb") {
  write_file(dir.file(name), text);
  return Image(zam_readPdb(dir.file(name).c_str(), nullptr));
}

// Writes with a stream of our own so the serial can be chosen.
std::string writeWith(const TempDir& dir, const _pdb_image* im, int chain, char label, int selection, int sse, int ter,
                      int serial, int* last = nullptr) {
  std::string name = dir.file("out.pdb");
  _zam_file* f = zam_openPdbFile(name.c_str());
  EXPECT_TRUE(f);
  int s = zam_writePdbFile(f, im, chain, label, selection, sse, ter, serial, tf_identity());
  if (last) *last = s;
  EXPECT_EQ(zam_closePdbFile(f), 0);
  return read_file(name);
}

}  // namespace

TEST(PdbWrite, ExactAtomAndTerLines) {
  TempDir dir;
  Image im = readText(dir, residue(1, 'A') + atom("HETATM", 9, " O", "HOH", 'A', 50, 1, 2, 3));
  int last = 0;
  std::string text = writeWith(dir, im.get(), -1, 0, 0, 0, 1, 0, &last);
  std::vector<std::string> l = split_lines(text);
  ASSERT_EQ(l.size(), 7u);
  EXPECT_EQ(l[0].compare(0, 24, "REMARK  File written by "), 0);
  EXPECT_EQ(l[2], "ATOM      2  CA  ALA A   1       4.800   0.000   0.000  1.00 15.00");
  EXPECT_EQ(l[5], "TER       5      ALA A   1 ");
  EXPECT_EQ(l[6], "HETATM    6  O   HOH A  50       1.000   2.000   3.000  1.00 15.00");
  EXPECT_EQ(last, 6);
}

TEST(PdbWrite, SerialWrapsAt99999) {
  TempDir dir;
  Image im = readText(dir, residue(1, 'A'));
  int last = 0;
  std::string text = writeWith(dir, im.get(), -1, 0, 0, 0, 1, 99998, &last);
  std::vector<std::string> atoms = startingWith(text, "ATOM");
  ASSERT_EQ(atoms.size(), 4u);
  EXPECT_EQ(atoms[0].substr(6, 5), "99999");
  EXPECT_EQ(atoms[1].substr(6, 5), "    1");
  EXPECT_EQ(startingWith(text, "TER")[0].substr(6, 5), "    4");
  EXPECT_EQ(last, 4);
  // The TER serial wraps as well.
  writeWith(dir, im.get(), -1, 0, 0, 0, 1, 99995, &last);
  EXPECT_EQ(last, 1);
}

TEST(PdbWrite, MasksChainsSelectionsAndLabels) {
  TempDir dir;
  Image im = readText(dir, residue(1, 'A') + residue(2, 'A') + residue(1, 'B') + atom("HETATM", 9, "ZN", "ZN", 'C', 1, 0, 0, 0));
  ASSERT_EQ(im->nres, 3);
  im->residues[1].masked = 1;
  std::string text = writeWith(dir, im.get(), -1, 0, 0, 0, 0, 0);
  EXPECT_EQ(startingWith(text, "ATOM").size(), 8u);
  EXPECT_EQ(startingWith(text, "HETATM").size(), 1u);  // hetero atoms are always written
  text = writeWith(dir, im.get(), 1, 'X', 2, 0, 0, 0);
  std::vector<std::string> ca = startingWith(text, "ATOM");
  ASSERT_EQ(ca.size(), 1u);
  EXPECT_EQ(ca[0].substr(12, 4), " CA ");
  EXPECT_EQ(ca[0][21], 'X');
  int numbers[8];
  EXPECT_EQ(zam_getPdbAlphaNos(im.get(), -1, 0, 10, numbers), 2);
  EXPECT_EQ(numbers[0], 12);
  EXPECT_EQ(numbers[1], 16);
  zam_maskPdb(im.get(), 0);
  // A chain-letter shift of 1 moves by the chain count (2): A -> C.
  zam_setPdbDelta(im.get(), 1);
  text = writeWith(dir, im.get(), 0, 0, 2, 0, 0, 0);
  EXPECT_EQ(startingWith(text, "ATOM")[0][21], 'C');
  // One residue: a TER only after the image's last residue.
  _zam_file* f = zam_openPdbFile(dir.file("r.pdb").c_str());
  EXPECT_EQ(zam_writePdbResidue(f, im.get(), 0, 0, 0, 1, 0, tf_identity()), 4);
  EXPECT_EQ(zam_writePdbResidue(f, im.get(), 2, 0, 0, 1, 4, tf_identity()), 9);
  EXPECT_EQ(zam_writePdbResidue(f, im.get(), 7, 0, 0, 1, 9, tf_identity()), 9);
  zam_closePdbFile(f);
  EXPECT_EQ(startingWith(read_file(dir.file("r.pdb")), "TER").size(), 1u);
}

TEST(PdbWrite, SecondaryStructureRecords) {
  TempDir dir;
  std::string text;
  for (int i = 1; i <= 8; ++i) text += residue(i, 'A');
  for (int i = 1; i <= 4; ++i) text += residue(i, 'B');
  Image im = readText(dir, text);
  ASSERT_EQ(im->nres, 12);
  const char* sse = "AAXAABCAAABX";
  for (int i = 0; i < 12; ++i) im->residues[i].sse[0] = sse[i];
  std::string out = writeWith(dir, im.get(), -1, 0, 0, 1, 0, 0);
  std::vector<std::string> helix = startingWith(out, "HELIX");
  ASSERT_EQ(helix.size(), 4u);
  EXPECT_EQ(helix[0], "HELIX    1 H01 ALA A    1  ALA A    2  1" + std::string(35, ' ') + "2");
  EXPECT_EQ(helix[1].substr(0, 15), "HELIX    2 H02 ");
  // The run of residues 8-10 crosses from chain A into chain B: two records.
  EXPECT_EQ(helix[2].substr(0, 15), "HELIX    3 H03 ");
  EXPECT_EQ(helix[3].substr(0, 15), "HELIX    1 H01 ");
  EXPECT_EQ(helix[3][19], 'B');
  std::vector<std::string> sheet = startingWith(out, "SHEET");
  ASSERT_EQ(sheet.size(), 2u);
  EXPECT_EQ(sheet[0], "SHEET    1 S01 1 ALA A   6  ALA A   6 0");
  std::vector<std::string> turn = startingWith(out, "TURN");
  ASSERT_EQ(turn.size(), 1u);
  EXPECT_EQ(turn[0], "TURN     1 T01 ALA A   7  ALA A   7");
  // Records come before the atoms.
  EXPECT_LT(out.find("HELIX"), out.find("ATOM"));
}

TEST(PdbWrite, FileNamesAndFailures) {
  TempDir dir;
  Image im = readText(dir, residue(1, 'A'));
  EXPECT_EQ(zam_writePdb(dir.file("x.ent").c_str(), im.get(), -1, 0, 0, 0, 1, tf_identity()), 1);
  EXPECT_TRUE(std::filesystem::exists(dir.file("x.pdb")));
  Messages msgs;
  EXPECT_EQ(zam_openPdbFile(dir.file("no/such/dir/y").c_str()), nullptr);
  EXPECT_TRUE(msgs.has("*Error* Failed to write PDB file: " + dir.file("no/such/dir/y.pdb")));
  EXPECT_EQ(zam_writePdb(dir.file("no/such/y").c_str(), im.get(), -1, 0, 0, 0, 1, tf_identity()), 0);
  // An empty image with ter set gives only the header.
  _pdb_image empty{};
  std::string text = writeWith(dir, &empty, -1, 0, 0, 1, 1, 0);
  EXPECT_EQ(split_lines(text).size(), 1u);
}

TEST(PdbWrite, ExportMovesAtomLines) {
  TempDir dir;
  std::string body = atom("HETATM", 1, " O", "HOH", 'A', 9, 0, 0, 0) + residue(1, 'A');
  write_file(dir.file("src.pdb"), "HEADER    SHORT\n" + body);
  Matrix3D shift = tf_v(Point3D{1.0, -2.0, 0.5});
  ASSERT_EQ(zam_exportPdb(dir.file("src.pdb").c_str(), dir.file("dst").c_str(), 0, shift), 1);
  std::vector<std::string> atoms = startingWith(read_file(dir.file("dst.pdb")), "ATOM");
  ASSERT_EQ(atoms.size(), 4u);
  // The occupancy style comes from the first coordinate line, not the header.
  EXPECT_EQ(atoms[1], "ATOM      2  CA  ALA A   1       5.800  -2.000   0.500  1.00 15.00");
  // A first line that is an ATOM line is written too.
  write_file(dir.file("a.pdb"), residue(1, 'A'));
  ASSERT_EQ(zam_exportPdb(dir.file("a.pdb").c_str(), dir.file("b.pdb").c_str(), 2, tf_identity()), 1);
  EXPECT_EQ(startingWith(read_file(dir.file("b.pdb")), "ATOM").size(), 1u);
  Messages msgs;
  write_file(dir.file("e.pdb"), "");
  EXPECT_EQ(zam_exportPdb(dir.file("e.pdb").c_str(), dir.file("f.pdb").c_str(), 0, tf_identity()), 0);
  EXPECT_TRUE(msgs.has("*Error* Empty PDB file: " + dir.file("e.pdb")));
  EXPECT_EQ(zam_exportPdb(dir.file("none.pdb").c_str(), dir.file("f.pdb").c_str(), 0, tf_identity()), 0);
  EXPECT_TRUE(msgs.has("*Error* Failed to read PDB file: " + dir.file("none.pdb")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("f.pdb")));
  // A compressed source cut short is refused, and the target keeps what it
  // held: no part of the export takes its place, no temporary file is left.
  std::string many;
  for (int i = 1; i <= 400; i++) many += residue(i, 'A');
  write_file(dir.file("cut.pdb"), many);
  ASSERT_EQ(std::system(("gzip " + dir.file("cut.pdb")).c_str()), 0);
  const std::string packed = read_file(dir.file("cut.pdb.gz"));
  write_file(dir.file("cut.pdb.gz"), packed.substr(0, packed.size() / 2));
  write_file(dir.file("kept.pdb"), "kept\n");
  EXPECT_EQ(zam_exportPdb(dir.file("cut.pdb.gz").c_str(), dir.file("kept").c_str(), 0, tf_identity()), 0);
  EXPECT_TRUE(msgs.has("*Error* Failed to read PDB file: " + dir.file("cut.pdb.gz") + " (after line "));
  EXPECT_EQ(read_file(dir.file("kept.pdb")), "kept\n");
  for (const auto& e : std::filesystem::directory_iterator(dir.path))
    EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}

// Every shared structure read, written and read again keeps its atoms,
// residues, chains and coordinates (to the 3 decimals of the format).
TEST(PdbWrite, SharedStructuresRoundTrip) {
  TREL_REQUIRE_SHARED_DATA();
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(testutil::shared_data() + "/pdb")) {
    std::string n = e.path().filename().string();
    if (n.find(".pdb") != std::string::npos || n.find(".ent") != std::string::npos) files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  ASSERT_GT(files.size(), 500u);
  TempDir dir;
  Messages quiet;
  for (const std::string& f : files) {
    Image a(zam_readPdb(f.c_str(), nullptr));
    ASSERT_TRUE(a) << f;
    std::string out = dir.file("rt.pdb");
    ASSERT_EQ(zam_writePdb(out.c_str(), a.get(), -1, 0, 0, 0, 1, tf_identity()), 1) << f;
    Image b(zam_readPdb(out.c_str(), nullptr));
    ASSERT_TRUE(b) << f;
    ASSERT_EQ(a->natoms, b->natoms) << f;
    ASSERT_EQ(a->nres, b->nres) << f;
    ASSERT_EQ(a->nchains, b->nchains) << f;
    ASSERT_EQ(a->nhetatms, b->nhetatms) << f;
    for (int i = 0; i < a->natoms; ++i) {
      const _pdb_atom &p = a->atoms[i], &q = b->atoms[i];
      ASSERT_STREQ(p.name, q.name) << f;
      ASSERT_STREQ(p.resname, q.resname) << f;
      ASSERT_STREQ(p.label, q.label) << f;
      ASSERT_STREQ(p.chain, q.chain) << f;
      ASSERT_NEAR(p.x, q.x, 5e-4) << f;
      ASSERT_NEAR(p.y, q.y, 5e-4) << f;
      ASSERT_NEAR(p.z, q.z, 5e-4) << f;
    }
    for (int i = 0; i < a->nres; ++i) {
      ASSERT_EQ(a->residues[i].first, b->residues[i].first) << f;
      ASSERT_EQ(a->residues[i].chain_no, b->residues[i].chain_no) << f;
    }
  }
}
