// The coordinate, occupancy and B-factor columns of ATOM and HETATM lines:
// every number the reader takes from real files, and odd field texts, are
// bit for bit what strtod gives for the same columns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "structure/zam_pdb.h"

namespace {

using testutil::shared_pdb;

// Columns first..last (1-based) of line as strtod reads them.
double byStrtod(const std::string& line, int first, int last) {
  if ((int)line.size() < first) return strtod("", nullptr);
  return strtod(line.substr(first - 1, last - first + 1).c_str(), nullptr);
}

// A coordinate column as the parser reads it: strtod's value when the whole
// text is a number (blanks around it allowed), else NaN.
double coordinateText(const std::string& line, int first, int last) {
  const std::string text = (int)line.size() < first ? "" : line.substr(first - 1, last - first + 1);
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  const char* rest = end;
  while (*rest == ' ') ++rest;
  return end == text.c_str() || *rest ? std::nan("") : v;
}

bool same(double a, double b) { return memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }
bool samef(float a, float b) { return memcmp(&a, &b, sizeof a) == 0; }

void expectColumns(const std::string& line, int style) {
  _pdb_atom a;
  memset(&a, 0, sizeof a);
  zam_parsePdbAtom(line.c_str(), 0, style, &a);
  EXPECT_TRUE(same(a.x, coordinateText(line, 31, 38))) << line;
  EXPECT_TRUE(same(a.y, coordinateText(line, 39, 46))) << line;
  EXPECT_TRUE(same(a.z, coordinateText(line, 47, 54))) << line;
  if (style == 1) {
    float occ = (float)byStrtod(line, 55, 60);
    if (occ == 0.0f) occ = 1.0f;
    EXPECT_TRUE(samef(a.occupancy, occ)) << line;
    EXPECT_TRUE(samef(a.bfactor, (float)byStrtod(line, 61, 66))) << line;
  } else if (style == 2) {
    EXPECT_TRUE(samef(a.bfactor, (float)byStrtod(line, 61, 67))) << line;
  }
}

TEST(PdbParseFast, EveryNumberOfSharedFilesAsStrtodReadsIt) {
  TREL_REQUIRE_SHARED_DATA();
  int lines = 0;
  for (const char* rel : {"freesasa/1ubq.pdb", "tm-align/5eep.pdb.gz", "libball1.5-data/1A1F.pdb",
                          "emboss-test/2hhb.ent.gz", "mustang-testdata/1zaa1.pdb"}) {
    _zam_file* f = zam_fopen(shared_pdb(rel).c_str(), "r");
    ASSERT_NE(f, nullptr) << rel;
    char buf[257];
    while (zam_freadln(f, sizeof buf, buf) >= 0) {
      const std::string line = buf;
      if (line.rfind("ATOM  ", 0) != 0 && line.rfind("HETATM", 0) != 0) continue;
      expectColumns(line, zam_tastePdbAtom(buf, 0));
      lines++;
    }
    zam_fclose(f);
  }
  EXPECT_GT(lines, 5000);
}

TEST(PdbParseFast, OddFieldTextsFollowStrtodAndCoordinatesMustBeWholeNumbers) {
  const std::string head = "ATOM      1  CA  ALA A   1    ";  // columns 1-30
  const char* fields[] = {"  -0.000", "   0.000", "  +1.500", "   1e2  ", "  12.3x ", "        ",
                          " -.5    ", "  7.    ", "1234.567", "-999.999", "  12 3  ", "   -    ",
                          "  .     ", "1.2.3   ", " 0.1    ", "99999999", "\t  1.250", "0.000001"};
  for (const char* f : fields) {
    ASSERT_EQ(strlen(f), 8u);
    const std::string line = head + f + "   2.000" + f + "  1.00 20.00           C";
    expectColumns(line, 1);
    expectColumns(head + "   1.000" + f + "   3.000" + "     7" + f + "   C", 2);
  }
  // A line cut short inside the coordinates.
  expectColumns(head + "  11.104   6.1", 0);
}

TEST(PdbParseFast, WholeFileReadKeepsTheColumnsOfItsLines) {
  TREL_REQUIRE_SHARED_DATA();
  const std::string path = shared_pdb("freesasa/1ubq.pdb");
  _pdb_image* image = zam_readPdb(path.c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  ASSERT_GT(image->natoms, 500);
  // 1ubq keeps every heavy atom of its amino-acid residues, in file order.
  _zam_file* f = zam_fopen(path.c_str(), "r");
  char buf[257];
  int k = 0;
  while (zam_freadln(f, sizeof buf, buf) >= 0 && k < image->natoms) {
    const std::string line = buf;
    if (line.rfind("ATOM  ", 0) != 0) continue;
    EXPECT_TRUE(same(image->atoms[k].x, byStrtod(line, 31, 38))) << line;
    EXPECT_TRUE(same(image->atoms[k].z, byStrtod(line, 47, 54))) << line;
    EXPECT_EQ(image->atoms[k].reserved1[0], 0);
    k++;
  }
  zam_fclose(f);
  EXPECT_EQ(k, image->natoms);
  zam_freePdb(image);
}

}  // namespace
