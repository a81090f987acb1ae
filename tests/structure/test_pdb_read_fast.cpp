// The reader's fast paths agree with the single-line parser on odd input:
// number columns in and out of the usual fixed-point form, short lines that
// end inside a field, names with stray bytes; its reading buffers, reused
// from file to file and held per thread, leave no trace in the next image;
// and a plain file read whole gives what the same text read as a stream gives.
#include <gtest/gtest.h>

#include <cmath>

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/pdb_reader_defaults.h"
#include "common/test_util.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"
#include "runtime/zam_thread.h"
#include "structure/zam_pdb.h"
#include "structure/zam_residue.h"

using testutil::TempDir;
using testutil::write_file;

namespace {

using Defaults = testutil::PdbReaderDefaults;

bool sameBytes(const void* a, const void* b, size_t n) { return memcmp(a, b, n) == 0; }

// The fields zam_parsePdbAtom fills, compared byte for byte.
void expectParsedFields(const _pdb_atom& got, const std::string& line, int style) {
  _pdb_atom want;
  memset(&want, 0, sizeof want);
  zam_parsePdbAtom(line.c_str(), 0, style, &want);
  EXPECT_STREQ(got.type, want.type) << line;
  EXPECT_TRUE(sameBytes(got.name, want.name, sizeof got.name)) << line;
  EXPECT_TRUE(sameBytes(got.cname, want.cname, sizeof got.cname)) << line;
  EXPECT_TRUE(sameBytes(got.alt, want.alt, sizeof got.alt)) << line;
  EXPECT_TRUE(sameBytes(got.resname, want.resname, sizeof got.resname)) << line;
  EXPECT_TRUE(sameBytes(got.resnum, want.resnum, sizeof got.resnum)) << line;
  EXPECT_TRUE(sameBytes(got.icode, want.icode, sizeof got.icode)) << line;
  EXPECT_TRUE(sameBytes(got.chain, want.chain, sizeof got.chain)) << line;
  EXPECT_TRUE(sameBytes(got.label, want.label, sizeof got.label)) << line;
  EXPECT_TRUE(sameBytes(&got.x, &want.x, sizeof got.x)) << line << " x " << got.x << " " << want.x;
  EXPECT_TRUE(sameBytes(&got.y, &want.y, sizeof got.y)) << line << " y " << got.y << " " << want.y;
  EXPECT_TRUE(sameBytes(&got.z, &want.z, sizeof got.z)) << line << " z " << got.z << " " << want.z;
  EXPECT_TRUE(sameBytes(&got.occupancy, &want.occupancy, sizeof got.occupancy)) << line;
  EXPECT_TRUE(sameBytes(&got.bfactor, &want.bfactor, sizeof got.bfactor)) << line;
  EXPECT_EQ(got.column, want.column) << line;
}

// An ATOM line of one CA with the given texts in the coordinate columns
// (8 wide each) and the occupancy and B-factor columns (6 wide each).
std::string caLine(int number, const char* x, const char* y, const char* z, const char* occ, const char* bf) {
  char line[128];
  snprintf(line, sizeof line, "ATOM  %5d  CA  ALA A%4d    %-8.8s%-8.8s%-8.8s%-6.6s%-6.6s", number, number, x, y, z,
           occ, bf);
  return line;
}

// Whether the line parser reads every coordinate of line as a number: the
// reader leaves the other atoms out.
bool numbered(const std::string& line) {
  _pdb_atom a;
  memset(&a, 0, sizeof a);
  zam_parsePdbAtom(line.c_str(), 0, 1, &a);
  return !std::isnan(a.x) && !std::isnan(a.y) && !std::isnan(a.z);
}

// Every atom line of a file read whole, one CA per residue.
std::vector<_pdb_atom> readAll(const std::string& path) {
  _pdb_image* im = zam_readPdb(path.c_str(), "t");
  std::vector<_pdb_atom> atoms;
  if (!im) return atoms;
  atoms.assign(im->atoms, im->atoms + im->natoms);
  zam_freePdb(im);
  return atoms;
}

TEST(PdbReadFast, NumberColumnsInAndOutOfTheFixedPointFormAsTheLineParserReadsThem) {
  Defaults restore;
  // The first line sets occupancy style 1 (a point in columns 55-60).
  const char* texts[][5] = {
      {"  27.340", " -24.430", "   2.614", "  1.00", "  9.67"},  // usual
      {"  -0.000", "   0.000", "-999.999", "  0.00", "-10.00"},  // signed zeros, zero occupancy
      {"    .500", "   -.250", "    +.75", "   .50", "  -.25"},  // no integer digits
      {"9999.999", "1234.567", "+123.456", "100.00", "999.99"},  // no blank before the digits
      {" -12.34 ", "  12.3  ", "  1.2345", " 1.000", " 12.5 "},  // point elsewhere
      {"   12.  ", "  -12.  ", "      1.", "   1. ", "   2. "},  // nothing after the point
      {" 1e2    ", "  -1E-1 ", "  0x10  ", " 1e1  ", " .5e1 "},  // exponents and hex
      {"   -   1", " - 1.234", "  1- 2.3", " - .5 ", " +-.5 "},  // stray signs
      {"  12 .34", "  1.2.3 ", "   12a.5", " 1 .0 ", "1.0.0 "},  // blanks and letters inside
      {"\t12.345 ", " 12.34\t5", "        ", "      ", "      "},  // tabs, empty columns
      {"00012.00", "-0001.00", "  +0.001", "001.00", "-00.01"},  // leading zeros
  };
  TempDir dir;
  std::string text;
  std::vector<std::string> lines;
  int n = 0;
  for (const auto& t : texts) {
    lines.push_back(caLine(++n, t[0], t[1], t[2], t[3], t[4]));
    text += lines.back() + "\n";
  }
  write_file(dir.file("numbers.pdb"), text);
  testutil::Capture quiet;  // the atoms left out are reported
  std::vector<_pdb_atom> atoms = readAll(dir.file("numbers.pdb"));
  std::vector<std::string> kept;
  for (const std::string& line : lines)
    if (numbered(line)) kept.push_back(line);
  EXPECT_EQ(kept.size(), 8u);
  ASSERT_EQ(atoms.size(), kept.size());
  for (size_t i = 0; i < kept.size(); ++i) expectParsedFields(atoms[i], kept[i], 1);
}

// A fixed-point column text of width w with d decimals: a sign or not,
// 0..(w - d - 1 - sign) integer digits, leading zeros sometimes.
std::string fixedText(std::mt19937& rng, int w, int d) {
  const bool minus = rng() % 3 == 0;
  const int room = w - d - 1 - (minus ? 1 : 0);
  const int digits = static_cast<int>(rng() % static_cast<unsigned>(room + 1));
  std::string t = minus ? "-" : "";
  for (int i = 0; i < digits; ++i) t += static_cast<char>('0' + rng() % 10);
  t += '.';
  for (int i = 0; i < d; ++i) t += static_cast<char>('0' + (rng() % 4 == 0 ? 0 : rng() % 10));
  return std::string(static_cast<size_t>(w) - t.size(), ' ') + t;
}

const char* const kAtomText = "ATOM      1  CA  ALA A   1       1.000   2.000   3.000  1.00  0.00";

// Numbers of every length and sign in the usual fixed-point form, read by
// the reader's column-at-once paths, are bit for bit strtod's values.
TEST(PdbReadFast, FixedPointColumnsOfEveryLengthAndSignAsStrtodReadsThem) {
  Defaults restore;
  std::mt19937 rng(5);
  std::vector<std::string> lines;
  std::string text;
  for (int i = 0; i < 4000; ++i) {
    const std::string x = fixedText(rng, 8, 3), y = fixedText(rng, 8, 3), z = fixedText(rng, 8, 3);
    const std::string occ = fixedText(rng, 6, 2), bf = fixedText(rng, 6, 2);
    lines.push_back(caLine(i % 9000 + 1, x.c_str(), y.c_str(), z.c_str(), occ.c_str(), bf.c_str()));
    text += lines.back() + "\n";
  }
  TempDir dir;
  write_file(dir.file("fixed.pdb"), text);
  std::vector<_pdb_atom> atoms = readAll(dir.file("fixed.pdb"));
  ASSERT_EQ(atoms.size(), lines.size());
  auto column = [](const std::string& l, int first, int w) { return strtod(l.substr(first - 1, w).c_str(), nullptr); };
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const double x = column(l, 31, 8), y = column(l, 39, 8), z = column(l, 47, 8);
    float occ = static_cast<float>(column(l, 55, 6));
    if (occ == 0.0f) occ = 1.0f;
    const float bf = static_cast<float>(column(l, 61, 6));
    ASSERT_TRUE(sameBytes(&atoms[i].x, &x, 8)) << l;
    ASSERT_TRUE(sameBytes(&atoms[i].y, &y, 8)) << l;
    ASSERT_TRUE(sameBytes(&atoms[i].z, &z, 8)) << l;
    ASSERT_TRUE(sameBytes(&atoms[i].occupancy, &occ, 4)) << l;
    ASSERT_TRUE(sameBytes(&atoms[i].bfactor, &bf, 4)) << l;
  }
}

// Matrix rows of plain decimals (read without sscanf) and of other texts
// (left to it) give the values sscanf gives, or the same refusal.
TEST(PdbReadFast, MatrixRowsAsSscanfReadsThem) {
  Defaults restore;
  zam_setPdbWarnings(1);
  std::mt19937 rng(3);
  const char* odd[] = {"1e2", "-0.5e-1", "0x1p3", "12345678", "1234567", "-.", "+.5", "1.", ".", "-", "1.2.3",
                       "inf", "nan", "7a", "0.0000001", "-0.000", "99999.99", "\t2.5", "3.25\t", "+-1"};
  for (int round = 0; round < 300; ++round) {
    std::string fields[4];
    for (std::string& f : fields) {
      if (rng() % 4 == 0) {
        f = odd[rng() % std::size(odd)];
      } else {
        f = fixedText(rng, 10, static_cast<int>(rng() % 7));
        while (!f.empty() && f[0] == ' ' && rng() % 2) f.erase(0, 1);
      }
    }
    std::string line = "REMARK 350   BIOMT" + std::to_string(1 + round % 3) + "   1";
    for (const std::string& f : fields) line += (rng() % 5 ? " " : "") + f;
    float want[4];
    const int got = sscanf(line.c_str() + 23, "%f%f%f%f", &want[0], &want[1], &want[2], &want[3]);
    TempDir dir;
    write_file(dir.file("m.pdb"), line + "\n" + kAtomText + "\n");
    testutil::Capture capture;
    _pdb_image* im = zam_readPdb(dir.file("m.pdb").c_str(), "t");
    ASSERT_NE(im, nullptr) << line;
    if (got == 4) {
      EXPECT_FALSE(capture.has("Ignoring bad BIOMT record")) << line;
      for (int i = 0; i < 4; ++i) {
        const double w = want[i];
        EXPECT_TRUE(sameBytes(&im->biomt[0].m[4 * (round % 3) + i], &w, sizeof w)) << line << " " << i;
      }
    } else {
      EXPECT_TRUE(capture.has("Ignoring bad BIOMT record")) << line;
    }
    zam_freePdb(im);
  }
}

TEST(PdbReadFast, LinesEndingInsideAFieldReadAsTheLineParserReadsThem) {
  Defaults restore;
  const std::string full = "ATOM      1  CA  ALA A 12B     -11.104  16.330  -8.123  0.50 31.25           C";
  // Every length from the atom name on: the reader clears what lies past a
  // line's end, the parser stops there.
  for (size_t cut = 14; cut <= full.size(); ++cut) {
    TempDir dir;
    // A first full line fixes occupancy style 1; the short one follows as
    // the next residue.
    std::string shortLine = full.substr(0, cut);
    if (cut >= 26) shortLine.replace(22, 4, " 13B");
    write_file(dir.file("short.pdb"), full + "\n" + shortLine + "\n");
    testutil::Capture quiet;
    std::vector<_pdb_atom> atoms = readAll(dir.file("short.pdb"));
    ASSERT_GE(atoms.size(), 1u) << cut;
    expectParsedFields(atoms[0], full, 1);
    if (atoms.size() == 2) expectParsedFields(atoms[1], shortLine, 1);
    // A line cut before the residue name has no amino-acid name and is
    // dropped; one cut before a digit of each coordinate is left out.
    EXPECT_EQ(atoms.size(), cut >= 20 && numbered(shortLine) ? 2u : 1u) << cut;
    EXPECT_EQ(numbered(shortLine), cut >= 50) << cut;
  }
}

TEST(PdbReadFast, StrayBytesInNamesAndLabelsReadAsTheLineParserReadsThem) {
  Defaults restore;
  const std::string lines[] = {
      "ATOM      1  CA  ALA A   1       1.000   2.000   3.000  1.00  0.00",
      "ATOM      2 \tCA\x01 GLY A\x02  2 \x7f     1.000   2.000   3.000  1.00  0.00",
      "ATOM      3 CA\xb0  SER B   3\xe9      1.000   2.000   3.000  1.00  0.00",
      "ATOM      4  CA  THR    -4 \t     1.000   2.000   3.000  1.00  0.00",
      "ATOM      5  CA AMET C1234Z      1.000   2.000   3.000  1.00  0.00",
      "ATOM      6  CA  LYS  \x80 5       1.000   2.000   3.000  1.00  0.00",
  };
  TempDir dir;
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  write_file(dir.file("bytes.pdb"), text);
  std::vector<_pdb_atom> atoms = readAll(dir.file("bytes.pdb"));
  ASSERT_EQ(atoms.size(), std::size(lines));
  for (size_t i = 0; i < atoms.size(); ++i) expectParsedFields(atoms[i], lines[i], 1);
  EXPECT_STREQ(atoms[4].label, "1234Z");
  EXPECT_STREQ(atoms[3].chain, "_");
}

// A residue dropped for missing backbone atoms gives its atom slots back: the
// next residue's atoms start where it started.
TEST(PdbReadFast, DroppedResidueHandsItsSlotsToTheNextResidue) {
  Defaults restore;
  zam_setPdbMissing(1);
  TempDir dir;
  write_file(dir.file("drop.pdb"),
             "ATOM      1  N   ALA A   1       1.000   1.000   1.000  1.00  0.00\n"
             "ATOM      2  CA  ALA A   1       2.000   1.000   1.000  1.00  0.00\n"
             "ATOM      3  CB  ALA A   1       3.000   1.000   1.000  1.00  0.00\n"
             "ATOM      4  N   GLY A   2       4.000   1.000   1.000  1.00  0.00\n"
             "ATOM      5  CA  GLY A   2       5.000   1.000   1.000  1.00  0.00\n"
             "ATOM      6  C   GLY A   2       6.000   1.000   1.000  1.00  0.00\n"
             "ATOM      7  O   GLY A   2       7.000   1.000   1.000  1.00  0.00\n");
  _pdb_image* im = zam_readPdb(dir.file("drop.pdb").c_str(), nullptr);
  ASSERT_NE(im, nullptr);
  ASSERT_EQ(im->nres, 1);
  ASSERT_EQ(im->natoms, 4);
  EXPECT_STREQ(im->residues[0].resname, "GLY");
  EXPECT_EQ(im->residues[0].first, 0);
  EXPECT_EQ(im->residues[0].last, 3);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(im->atoms[i].x, 4.0 + i) << i;
    EXPECT_EQ(im->atoms[i].residue, 0) << i;
    EXPECT_EQ(im->saved[i].x, 4.0 + i) << i;
  }
  EXPECT_EQ(im->nbb, 4);
  EXPECT_EQ(im->nmc, 4);
  EXPECT_EQ(im->nsc, 0);
  zam_freePdb(im);
}

// Every byte of every record, count and list of two images.
void expectSameImage(const _pdb_image* a, const _pdb_image* b, const std::string& what) {
  ASSERT_NE(a, nullptr) << what;
  ASSERT_NE(b, nullptr) << what;
  EXPECT_EQ(a->nmodels, b->nmodels) << what;
  EXPECT_EQ(a->nchains, b->nchains) << what;
  EXPECT_EQ(a->occ_style, b->occ_style) << what;
  EXPECT_EQ(a->nbb, b->nbb) << what;
  EXPECT_EQ(a->nmc, b->nmc) << what;
  EXPECT_EQ(a->nsc, b->nsc) << what;
  ASSERT_EQ(a->natoms, b->natoms) << what;
  ASSERT_EQ(a->nres, b->nres) << what;
  ASSERT_EQ(a->nhetatms, b->nhetatms) << what;
  ASSERT_EQ(a->nsmtry, b->nsmtry) << what;
  ASSERT_EQ(a->nbiomt, b->nbiomt) << what;
  EXPECT_TRUE(sameBytes(a->atoms, b->atoms, sizeof(_pdb_atom) * a->natoms)) << what;
  EXPECT_TRUE(sameBytes(a->residues, b->residues, sizeof(_pdb_residue) * a->nres)) << what;
  EXPECT_TRUE(sameBytes(a->hetatms, b->hetatms, sizeof(_pdb_atom) * a->nhetatms)) << what;
  EXPECT_TRUE(sameBytes(a->saved, b->saved, sizeof(Point3D) * a->natoms)) << what;
  EXPECT_TRUE(sameBytes(a->saved_het, b->saved_het, sizeof(Point3D) * a->nhetatms)) << what;
  EXPECT_TRUE(sameBytes(a->smtry, b->smtry, sizeof(Matrix3D) * a->nsmtry)) << what;
  EXPECT_TRUE(sameBytes(a->biomt, b->biomt, sizeof(Matrix3D) * a->nbiomt)) << what;
}

const char* const kFiles[] = {"freesasa/1ubq.pdb", "tm-align/1ni7.pdb.gz", "mustang-testdata/1zaa1.pdb",
                              "python3-cctbx/1yjp.pdb", "emboss-test/2hhb.ent.gz", "libball1.5-data/1A1F.pdb"};

// A small file read after a large one (whose records filled more of the
// reading buffers) gives the image it gives on its own.
TEST(PdbReadFast, ReusedBuffersLeaveNoTraceInTheNextImage) {
  TREL_REQUIRE_SHARED_DATA();
  Defaults restore;
  zam_setPdbOneModel(0);
  zam_setPdbChainType(0);
  const std::string small = testutil::shared_pdb("mustang-testdata/1zaa1.pdb");
  _pdb_image* first = zam_readPdb(small.c_str(), nullptr);
  for (const char* rel : kFiles) {
    _pdb_image* big = zam_readPdb(testutil::shared_pdb(rel).c_str(), nullptr);
    ASSERT_NE(big, nullptr) << rel;
    _pdb_image* again = zam_readPdb(small.c_str(), nullptr);
    expectSameImage(first, again, std::string("after ") + rel);
    zam_freePdb(again);
    zam_freePdb(big);
  }
  zam_freePdb(first);
}

// Threads reading at once, each through its own buffers, get the images a
// single thread gets.
TEST(PdbReadFast, ThreadsReadingAtOnceGetTheSerialImages) {
  TREL_REQUIRE_SHARED_DATA();
  Defaults restore;
  // The allocator's accounting lock, as a run sets it up before its workers.
  zam_thread_setup(4);
  std::vector<_pdb_image*> serial;
  for (const char* rel : kFiles) serial.push_back(zam_readPdb(testutil::shared_pdb(rel).c_str(), nullptr));
  constexpr int kThreads = 4;
  std::vector<std::vector<_pdb_image*>> got(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([t, &got] {
      // Each thread walks the files from its own starting point, twice.
      const int n = static_cast<int>(std::size(kFiles));
      got[t].assign(n, nullptr);
      for (int round = 0; round < 2; ++round)
        for (int k = 0; k < n; ++k) {
          const int i = (k + t) % n;
          zam_freePdb(got[t][i]);
          got[t][i] = zam_readPdb(testutil::shared_pdb(kFiles[i]).c_str(), nullptr);
        }
    });
  for (std::thread& w : workers) w.join();
  for (int t = 0; t < kThreads; ++t)
    for (size_t i = 0; i < std::size(kFiles); ++i) {
      expectSameImage(serial[i], got[t][i], std::string(kFiles[i]) + " thread " + std::to_string(t));
      zam_freePdb(got[t][i]);
    }
  for (_pdb_image* im : serial) zam_freePdb(im);
}

// ---- Plain files read whole against the same text read as a stream ----

// Writes data as path, gzip-compressed when path ends in ".gz".
void writeData(const std::string& path, const std::string& data) {
  if (path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0) {
    gzFile g = gzopen(path.c_str(), "wb");
    ASSERT_NE(g, nullptr);
    if (!data.empty()) gzwrite(g, data.data(), static_cast<unsigned>(data.size()));
    gzclose(g);
  } else {
    write_file(path, data);
  }
}

// What reading path says, with the file's name put as FILE.
std::string readSaying(const std::string& path, _pdb_image** image) {
  std::string said;
  {
    testutil::Capture capture;
    *image = zam_readPdb(path.c_str(), "t");
    said = capture.text;
  }
  for (size_t at = said.find(path); at != std::string::npos; at = said.find(path, at))
    said.replace(at, path.size(), "FILE");
  return said;
}

// data read from a plain file (whole, lines in place) and from a gzip file
// (a stream, line by line) gives the same image and says the same things.
void expectPlainAsStream(const std::string& data, const std::string& what) {
  TempDir dir;
  const std::string plain = dir.file("t.pdb"), packed = dir.file("t.pdb.gz");
  writeData(plain, data);
  writeData(packed, data);
  _pdb_image *a = nullptr, *b = nullptr;
  const std::string saidA = readSaying(plain, &a), saidB = readSaying(packed, &b);
  EXPECT_EQ(saidA, saidB) << what;
  expectSameImage(a, b, what);
  if (a && b) {
    EXPECT_EQ(a->score, b->score) << what;
    EXPECT_EQ(a->nmodels, b->nmodels) << what;
  }
  zam_freePdb(a);
  zam_freePdb(b);
}

const std::string kAtom1 = "ATOM      1  N   ALA A   1      11.104   6.134  -6.504  1.00  0.00           N";
const std::string kAtom2 = "ATOM      2  CA  ALA A   1      11.639   6.071  -5.147  1.00  0.00           C";
const std::string kAtom3 = "ATOM      3  C   ALA A   1      -1.500  -0.000   9.999  0.50 10.00           C";
const std::string kAtom4 = "ATOM      4  O   ALA A   1      12.000   7.000  -4.000  1.00 12.25           O";
const std::string kAtom5 = "ATOM      5  CA  GLY A   2      13.000   8.000  -3.000  1.00  1.00           C";

// Line ends and lengths that the whole-file reading treats apart: CR LF,
// carriage returns inside a line, a last line without a newline (or of
// carriage returns alone), empty texts, short lines, and lines longer than
// the reader's line length, cut where the stream cuts them.
TEST(PdbReadWhole, LineEndsAndLengthsReadAsTheStreamReadsThem) {
  Defaults restore;
  zam_setPdbWarnings(1);
  const std::string body = kAtom1 + "\n" + kAtom2 + "\n" + kAtom3 + "\n" + kAtom4 + "\n";
  std::string crlf;
  for (char c : body) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string inner = body;
  inner.insert(40, "\r");   // inside the name of the first atom's x column
  inner.insert(200, "\r\r");
  const std::string longLine = kAtom5 + std::string(400, 'x');
  const std::string cutAtEnd = kAtom5.substr(0, 60) + std::string(250, ' ') + "1.00";
  const char kZero[] = "ATOM   \0  6  CA  ALA A   4      1.000   2.000   3.000  1.00  0.00\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty file"},
      {"\n", "one newline"},
      {"\r", "one carriage return"},
      {"\r\r\r", "carriage returns alone"},
      {"\n\n\r\n\r\r\n", "empty lines"},
      {body, "plain lines"},
      {body + kAtom5, "last line without newline"},
      {body + kAtom5 + "\r", "last line ending in a carriage return"},
      {body + kAtom5 + "\r\r", "last line ending in two carriage returns"},
      {body + "\r", "carriage return after the last newline"},
      {crlf, "CR LF"},
      {crlf + kAtom5, "CR LF, last line without newline"},
      {inner, "carriage returns inside lines"},
      {body + longLine + "\n" + kAtom5 + "\n", "line longer than the reader's line"},
      {body + longLine, "long last line without newline"},
      {body + longLine + "\r\n", "long line with CR LF"},
      {body + std::string(256, 'y') + "\n" + std::string(257, 'z') + "\r\n" + std::string(255, 'w'), "lines at the cut"},
      {body + cutAtEnd + "\n", "columns past the cut"},
      {body + "TER\nEND\n", "short records"},
      {body + "ATOM      9  CA  ALA A   3 \n", "atom line ending in its label"},
      {body + kAtom5.substr(0, 27) + "\n" + kAtom5.substr(0, 28) + "\n" + kAtom5.substr(0, 29), "atom lines about the in-place length"},
      {body + "ATOM      6  CA  ALA A   4    1e9      2.000   3.000  1.00  0.00\n" + kAtom5 + "\n", "bad coordinates named by line"},
      {crlf + "ATOM      6  CA  ALA A   4    1e9      2.000   3.000  1.00  0.00\r\n", "bad coordinates after CR LF lines"},
      {body + std::string(kZero, sizeof kZero - 1) + kAtom5, "zero byte in a line"},
      {"I_sc 12.5\n" + body, "score line"},
      {"REMARK 350   BIOMT1   1  1.000000  0.000000  0.000000        0.00000\r\n" + body, "matrix line with CR LF"},
  };
  for (const auto& [data, what] : cases) expectPlainAsStream(data, what);
}

// Random texts of atom lines and other records with random line ends,
// carriage returns and lengths: the plain file and the stream agree.
TEST(PdbReadWhole, RandomTextsReadAsTheStreamReadsThem) {
  Defaults restore;
  zam_setPdbWarnings(1);
  zam_setPdbOneModel(0);
  zam_setPdbChainType(0);
  std::mt19937 rng(11);
  const std::string pool[] = {kAtom1, kAtom2, kAtom3, kAtom4, kAtom5, "TER", "MODEL        2", "ENDMDL",
                              "HETATM   10  O   HOH A 101       1.000   2.000   3.000  1.00 20.00           O",
                              "REMARK 350   BIOMT2   1  0.000000  1.000000  0.000000        0.00000",
                              "ATOM     11  CA  SER B   7     -12.5     100.25   2.5    0.80 12.0",
                              "ATOM     12  CA  LYS B   8    1e9       2.000   3.000  1.00  0.00"};
  for (int round = 0; round < 40; ++round) {
    std::string data;
    const int lines = static_cast<int>(rng() % 60);
    for (int i = 0; i < lines; ++i) {
      std::string l = pool[rng() % std::size(pool)];
      const int r = static_cast<int>(rng() % 20);
      if (r == 0) l = l.substr(0, rng() % (l.size() + 1));           // cut short
      if (r == 1) l += std::string(rng() % 300, 'q');                 // made long
      if (r == 2) {  // a stray carriage return
        const size_t at = rng() % (l.size() + 1);
        l = l.substr(0, at) + "\r" + l.substr(at);
      }
      if (r == 3) l[rng() % l.size()] = static_cast<char>(rng() % 256);  // a stray byte
      data += l;
      const int end = static_cast<int>(rng() % 10);
      data += end == 0 ? "\r\n" : end == 1 ? "\r\r\n" : "\n";
    }
    const int tail = static_cast<int>(rng() % 4);
    if (tail == 1 && !data.empty()) data.pop_back();  // no final newline
    if (tail == 2) data += "\r";
    if (tail == 3) data += pool[rng() % std::size(pool)];
    expectPlainAsStream(data, "round " + std::to_string(round));
  }
}

// Lines of other records (81 bytes each, newline included) filling exactly
// n bytes, the last line shorter.
std::string filler(size_t n) {
  std::string text;
  while (text.size() + 81 <= n) text += "REMARK 999 " + std::string(69, 'f') + "\n";
  if (text.size() < n) text += std::string(n - text.size() - 1, 'g') + "\n";
  return text;
}

// A plain file is read in blocks of 256 kB: lines, line ends and long lines
// across a block's end read as the stream reads them, and a reading that
// stops at the first model's end gives the same image.
TEST(PdbReadWhole, LinesAcrossBlocksReadAsTheStreamReadsThem) {
  Defaults restore;
  zam_setPdbWarnings(1);
  constexpr size_t kBlock = size_t{1} << 18;
  const std::string atoms = kAtom1 + "\n" + kAtom2 + "\n" + kAtom3 + "\n" + kAtom4 + "\n";
  const std::string bad = "ATOM      6  CA  ALA A   4    1e9      2.000   3.000  1.00  0.00\n";
  // The text before offset `at` ends with `head`, the text from it starts with `tail`.
  auto across = [&](size_t at, const std::string& head, const std::string& tail) {
    return atoms + filler(at - atoms.size() - head.size()) + head + tail + atoms + bad + kAtom5 + "\n";
  };
  const std::pair<std::string, std::string> cases[] = {
      {across(kBlock, "ATOM      7  N   GLY A   5       1.000   2.000   3.000  1.00  0.00\r", "\n"), "CR LF split"},
      {across(kBlock, "ATOM      7  N   GLY A   5       1.000   2.000   3.000  1.00  0.00\r", "X\n"), "stray CR at the end"},
      {across(kBlock, "ATOM      7  N   GLY A   5       1.000   2.000   3.000  1.00  0.00\n", ""), "newline at the end"},
      {across(kBlock, "ATOM      7  N   GLY A   5       1.000   2.0", "00   3.000  1.00  0.00\n"), "atom line across"},
      {across(kBlock, std::string(600, 'L'), std::string(700, 'M') + "\n"), "long line across"},
      {across(kBlock, "\r", "\r\n"), "carriage returns about the end"},
      {atoms + std::string(300000, 'W') + "\r\n" + atoms + bad, "line longer than a block"},
      {atoms + filler(kBlock - atoms.size()), "text of exactly one block"},
      {atoms + filler(kBlock - atoms.size() - 1) + "A", "one block, last line without newline"},
      {atoms + filler(kBlock - atoms.size()) + "A", "one byte past a block"},
      {atoms + filler(3 * kBlock + 17) + bad + kAtom5, "several blocks, bad coordinates after them"},
  };
  for (const auto& [data, what] : cases) expectPlainAsStream(data, what);
  // Models across blocks: read to the first model's end, and whole.
  std::string models;
  for (int m = 1; models.size() < 3 * kBlock; ++m)
    models += "MODEL     " + std::to_string(m) + "\n" + atoms + filler(20000) + kAtom5 + "\nENDMDL\n";
  expectPlainAsStream(models, "first model");
  zam_setPdbOneModel(0);
  expectPlainAsStream(models, "all models");
}

// How often part stands in text.
size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A line of some megabytes (carriage returns inside it, and without) is read
// as its first 256 bytes and said once for the file in the run, by every way
// a file is read: the lines after it keep their numbers (the last one
// without its newline too), a summed read's checksum still covers every
// byte, and a line of exactly 256 bytes (a carriage return not counted) is
// no long line.
TEST(PdbReadWhole, LongLinesAreCutSaidOnceAndTheLinesAfterThemKeepTheirNumbers) {
  Defaults restore;
  const std::string atoms = kAtom1 + "\n" + kAtom2 + "\n" + kAtom3 + "\n" + kAtom4 + "\n";
  const std::string bad = "ATOM      6  CA  ALA A   4    1e9      2.000   3.000  1.00  0.00\n";
  std::string huge = "REMARK " + std::string(size_t{3} << 20, 'h');
  std::string stray = huge;
  stray[1000] = '\r';
  stray[size_t{2} << 20] = '\r';
  const std::string exact = "REMARK " + std::string(249, 'e');  // 256 bytes
  const std::string text = exact + "\r\r\n" + exact.substr(0, 100) + "\r" + exact.substr(100) + "\n" + atoms + huge +
                           "\n" + stray + "\r\n" + bad + huge + "\n" + kAtom5;
  const std::string cut = "Line 7 of FILE is longer than 256 bytes: only its first 256 bytes are read\n";
  TempDir dir;
  auto expectRead = [&](_pdb_image* im, const std::string& said, bool first, const std::string& what) {
    ASSERT_NE(im, nullptr) << what;
    EXPECT_EQ(im->natoms, 5) << what;
    EXPECT_EQ(im->atoms[4].x, 13.0) << what;
    EXPECT_EQ(countOf(said, "longer than"), first ? 1u : 0u) << what << said;
    EXPECT_EQ(countOf(said, cut), first ? 1u : 0u) << what << said;
    EXPECT_EQ(countOf(said, "Bad ATOM coordinates at line 9 of file FILE"), first ? 1u : 0u) << what << said;
    zam_freePdb(im);
  };
  for (const char* name : {"t.pdb", "t.pdb.gz"}) {
    const std::string path = dir.file(name);
    writeData(path, text);
    const std::string bytes = testutil::read_file(path);
    _zam_filesum sum{};
    std::string said;
    _pdb_image* im = nullptr;
    // On a thread of its own, whose reading buffer starts empty: the read
    // that finds the end after the last line grows it.
    std::thread([&] {
      testutil::Capture capture;
      im = zam_readPdbSummed(path.c_str(), "t", &sum);
      said = capture.text;
    }).join();
    for (size_t at = said.find(path); at != std::string::npos; at = said.find(path, at)) said.replace(at, path.size(), "FILE");
    expectRead(im, said, true, std::string("summed ") + name);
    EXPECT_EQ(sum.whole, 1) << name;
    EXPECT_EQ(sum.size, static_cast<int64_t>(bytes.size())) << name;
    EXPECT_EQ(sum.crc, zam_crc32(0, bytes.data(), static_cast<int64_t>(bytes.size()))) << name;
    // Read again (the gzip file now as a stream): nothing said again.
    said = readSaying(path, &im);
    expectRead(im, said, false, std::string("again ") + name);
  }
  // The same text as a stream under a name of its own, and in memory.
  writeData(dir.file("s.pdb.gz"), text);
  _pdb_image* im;
  const std::string said = readSaying(dir.file("s.pdb.gz"), &im);
  expectRead(im, said, true, "stream");
  std::string mem;
  {
    testutil::Capture capture;
    im = zam_readPdbText(text.data(), static_cast<int64_t>(text.size()), "FILE", "t");
    mem = capture.text;
  }
  expectRead(im, mem, true, "text in memory");
  // One byte past the cut is a long line.
  writeData(dir.file("257.pdb"), exact + "e\n" + atoms);
  EXPECT_EQ(countOf(readSaying(dir.file("257.pdb"), &im), "Line 1 of FILE is longer than 256 bytes"), 1u);
  zam_freePdb(im);
}

// A plain file's name that does not open is tried with ".pdb", as before;
// a folder is no file of text.
TEST(PdbReadWhole, NamesThatDoNotOpenAndFolders) {
  Defaults restore;
  TempDir dir;
  write_file(dir.file("s.pdb"), kAtom1 + "\n" + kAtom2 + "\n");
  _pdb_image* image = nullptr;
  const std::string said = readSaying(dir.file("s"), &image);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->natoms, 2);
  EXPECT_EQ(std::string(image->path), dir.file("s.pdb"));
  EXPECT_EQ(said, "");
  zam_freePdb(image);
  testutil::Capture capture;
  image = zam_readPdb(dir.str().c_str(), "t");
  EXPECT_EQ(image, nullptr);
  EXPECT_TRUE(capture.has("Failed to read PDB file: " + dir.str() + " is a directory")) << capture.text;
  image = zam_readPdb(dir.file("none").c_str(), "t");
  EXPECT_EQ(image, nullptr);
  EXPECT_TRUE(capture.has("Failed to open PDB file: " + dir.file("none.pdb"))) << capture.text;
}

}  // namespace
