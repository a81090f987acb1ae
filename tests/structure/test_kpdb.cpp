// Raw structure image files: round trips of hand-made and shared structures,
// the size formula, file naming, and refusal of truncated, overlong and
// corrupted files with a message naming the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "structure/zam_kpdb.h"
#include "structure/zam_pdb.h"

using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

using testutil::Messages;
std::string& captured = Messages::said();

struct ImageDeleter {
  void operator()(_pdb_image* p) const { zam_freePdb(p); }
};
using Image = std::unique_ptr<_pdb_image, ImageDeleter>;

// Two residues, a water and a zinc, two SMTRY and one BIOMT matrix.
const char* kSmall =
    "REMARK 290   SMTRY1   1  1.000000  0.000000  0.000000        0.00000\n"
    "REMARK 290   SMTRY2   1  0.000000  1.000000  0.000000        0.00000\n"
    "REMARK 290   SMTRY3   1  0.000000  0.000000  1.000000        0.00000\n"
    "REMARK 290   SMTRY1   2 -1.000000  0.000000  0.000000       24.50000\n"
    "REMARK 290   SMTRY2   2  0.000000 -1.000000  0.000000        0.00000\n"
    "REMARK 290   SMTRY3   2  0.000000  0.000000  1.000000       12.25000\n"
    "REMARK 350   BIOMT1   1  0.000000 -1.000000  0.000000        1.00000\n"
    "REMARK 350   BIOMT2   1  1.000000  0.000000  0.000000        2.00000\n"
    "REMARK 350   BIOMT3   1  0.000000  0.000000  1.000000        3.00000\n"
    "ATOM      1  N   ALA A   1      11.104   6.134  -6.504  1.00 10.00           N\n"
    "ATOM      2  CA  ALA A   1      11.639   6.071  -5.147  1.00 11.00           C\n"
    "ATOM      3  C   ALA A   1      13.149   5.902  -5.179  1.00 12.00           C\n"
    "ATOM      4  O   ALA A   1      13.700   5.306  -6.115  0.50 13.00           O\n"
    "ATOM      5  CB  ALA A   1      11.301   7.349  -4.380  1.00 14.00           C\n"
    "ATOM      6  N   GLY A   2A     13.815   6.442  -4.158  1.00 15.00           N\n"
    "ATOM      7  CA  GLY A   2A     15.264   6.370  -4.044  1.00 16.00           C\n"
    "ATOM      8  C   GLY A   2A     15.810   5.077  -3.449  1.00 17.00           C\n"
    "ATOM      9  O   GLY A   2A     17.025   4.851  -3.497  1.00 18.00           O\n"
    "HETATM   10  O   HOH A 101      20.000   1.000   2.000  1.00 30.00           O\n"
    "HETATM   11 ZN    ZN A 102      -3.500   2.250   7.125  1.00 40.00          ZN\n"
    "END\n";

Image readText(const TempDir& dir, const std::string& stem, const char* text) {
  std::string path = dir.file(stem + ".pdb");
  write_file(path, text);
  return Image(zam_readPdb(path.c_str(), nullptr));
}

template <class T>
bool sameBytes(const T* a, const T* b, int n) {
  if (n == 0) return true;
  return a && b && memcmp(a, b, static_cast<size_t>(n) * sizeof(T)) == 0;
}

bool samePoint(const Point3D& p, const _pdb_atom& a) { return p.x == a.x && p.y == a.y && p.z == a.z; }

// Everything the file keeps, compared exactly; what it drops must read back 0.
void expectSameImage(const _pdb_image* a, const _pdb_image* b, const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(a->nmodels, b->nmodels);
  EXPECT_EQ(a->nchains, b->nchains);
  EXPECT_EQ(a->natoms, b->natoms);
  EXPECT_EQ(a->nhetatms, b->nhetatms);
  EXPECT_EQ(a->nres, b->nres);
  EXPECT_EQ(a->nbb, b->nbb);
  EXPECT_EQ(a->nmc, b->nmc);
  EXPECT_EQ(a->nsc, b->nsc);
  EXPECT_EQ(a->nsmtry, b->nsmtry);
  EXPECT_EQ(a->nbiomt, b->nbiomt);
  EXPECT_EQ(0, memcmp(&a->tf, &b->tf, sizeof(Matrix3D)));
  EXPECT_TRUE(sameBytes(a->atoms, b->atoms, a->natoms));
  EXPECT_TRUE(sameBytes(a->residues, b->residues, a->nres));
  EXPECT_TRUE(sameBytes(a->hetatms, b->hetatms, a->nhetatms));
  EXPECT_TRUE(sameBytes(a->smtry, b->smtry, a->nsmtry));
  EXPECT_TRUE(sameBytes(a->biomt, b->biomt, a->nbiomt));
  ASSERT_TRUE(b->saved != nullptr);
  ASSERT_TRUE(b->saved_het != nullptr);
  for (int i = 0; i < b->natoms; ++i) ASSERT_TRUE(samePoint(b->saved[i], b->atoms[i])) << i;
  for (int i = 0; i < b->nhetatms; ++i) ASSERT_TRUE(samePoint(b->saved_het[i], b->hetatms[i])) << i;
  EXPECT_EQ(b->delta, 0);
  EXPECT_EQ(b->fake, 0);
  EXPECT_EQ(b->occ_style, 0);
  EXPECT_EQ(b->score, 0.0f);
}

int64_t sizeOf(const _pdb_image* im) {
  return zam_sizeBinaryPdb(im->natoms, im->nres, im->nsmtry, im->nbiomt, im->nhetatms);
}

// Writes the small structure as a raw image and returns its bytes.
std::string smallFile(const TempDir& dir, const std::string& stem) {
  Image im = readText(dir, stem, kSmall);
  EXPECT_TRUE(im);
  EXPECT_EQ(1, zam_writeBinaryPdb(dir.file(stem + ".pdb").c_str(), im.get()));
  return read_file(dir.file(stem + ".kpdb"));
}

void patchInt(std::string& bytes, size_t at, int32_t value) { memcpy(bytes.data() + at, &value, 4); }

}  // namespace

TEST(BinaryPdb, SizeFormula) {
  EXPECT_EQ(144, zam_sizeBinaryPdb(0, 0, 0, 0, 0));
  EXPECT_EQ(144 + 112 * 2 + 40 * 3 + 96 * 1 + 96 * 4 + 112 * 5, zam_sizeBinaryPdb(2, 3, 1, 4, 5));
  // Counts near the int limit are summed in 64 bits.
  EXPECT_EQ(144 + 112LL * INT_MAX * 2, zam_sizeBinaryPdb(INT_MAX, 0, 0, 0, INT_MAX));
  EXPECT_EQ(-1, zam_sizeBinaryPdb(-1, 0, 0, 0, 0));
  EXPECT_EQ(-1, zam_sizeBinaryPdb(0, 0, 0, 0, -5));
}

TEST(BinaryPdb, SmallImageRoundTripWithHeteroAtoms) {
  TempDir dir;
  Image im = readText(dir, "small", kSmall);
  ASSERT_TRUE(im);
  ASSERT_EQ(9, im->natoms);
  ASSERT_EQ(2, im->nhetatms);
  ASSERT_EQ(2, im->nsmtry);
  ASSERT_EQ(1, im->nbiomt);
  // Fields the file does not keep.
  im->delta = 3;
  im->fake = 1;
  im->score = 2.5f;
  ASSERT_EQ(1, zam_writeBinaryPdb(dir.file("small.pdb").c_str(), im.get()));
  std::string bytes = read_file(dir.file("small.kpdb"));
  EXPECT_EQ(static_cast<size_t>(144 + 112 * 9 + 40 * 2 + 96 * 2 + 96 + 112 * 2), bytes.size());
  EXPECT_EQ(sizeOf(im.get()), static_cast<int64_t>(bytes.size()));

  // The header order: hetero count after the symmetry counts, then two zeros.
  int32_t head[12];
  memcpy(head, bytes.data(), sizeof head);
  const int32_t want[12] = {im->nmodels, im->nchains, 9, 2, im->nbb, im->nmc, im->nsc, 2, 1, 2, 0, 0};
  for (int k = 0; k < 12; ++k) EXPECT_EQ(want[k], head[k]) << "header slot " << k;
  // The first atom record starts right after the transform.
  EXPECT_STREQ("ATOM", bytes.data() + 144);
  EXPECT_STREQ("N", bytes.data() + 144 + 7);

  Image back(zam_readBinaryPdb(dir.file("small.kpdb").c_str(), nullptr));
  ASSERT_TRUE(back);
  im->delta = 0;
  im->fake = 0;
  im->score = 0.0f;
  im->occ_style = back->occ_style;
  expectSameImage(im.get(), back.get(), "small");
  EXPECT_EQ(0, back->occ_style);
  EXPECT_STREQ("ZN", back->hetatms[1].name);
  EXPECT_DOUBLE_EQ(7.125, back->saved_het[1].z);
  EXPECT_STREQ("2A", back->residues[1].resnum);
  EXPECT_STREQ("small", back->name);
  EXPECT_EQ(dir.file("small.kpdb"), std::string(back->path));
  EXPECT_DOUBLE_EQ(24.5, zam_pdbCryst(back.get(), 2).m[3]);
  EXPECT_DOUBLE_EQ(-1.0, zam_pdbBiomt(back.get(), 1).m[1]);
}

TEST(BinaryPdb, NoHeteroAtomsAndMovedImage) {
  TempDir dir;
  std::string text = kSmall;
  text.erase(text.find("HETATM"), text.find("END") - text.find("HETATM"));
  Image im = readText(dir, "nohet", text.c_str());
  ASSERT_TRUE(im);
  ASSERT_EQ(0, im->nhetatms);
  // A moved image keeps its placement and its saved coordinates apart from
  // the live ones; the file keeps the live ones and the placement.
  zam_importPdb(im.get(), 0);
  ASSERT_EQ(1, zam_writeBinaryPdb(dir.file("nohet").c_str(), im.get()));
  EXPECT_EQ(static_cast<uintmax_t>(144 + 112 * 9 + 40 * 2 + 96 * 3),
            std::filesystem::file_size(dir.file("nohet.kpdb")));
  Image back(zam_readBinaryPdb(dir.file("nohet.kpdb").c_str(), "given"));
  ASSERT_TRUE(back);
  EXPECT_EQ(0, back->nhetatms);
  EXPECT_STREQ("given", back->name);
  im->occ_style = 0;
  expectSameImage(im.get(), back.get(), "moved");
}

TEST(BinaryPdb, NamesAndMissingFiles) {
  TempDir dir;
  Image im = readText(dir, "abc", kSmall);
  ASSERT_TRUE(im);
  // The extension of the given name is replaced; a name without one gains it.
  ASSERT_EQ(1, zam_writeBinaryPdb(dir.file("abc.pdb.gz").c_str(), im.get()));
  EXPECT_TRUE(std::filesystem::exists(dir.file("abc.pdb.kpdb")));
  ASSERT_EQ(1, zam_writeBinaryPdb(dir.file("abc").c_str(), im.get()));
  ASSERT_TRUE(std::filesystem::exists(dir.file("abc.kpdb")));

  // A name without extension that does not exist is read with "kpdb" added.
  Image back(zam_readBinaryPdb(dir.file("abc").c_str(), nullptr));
  ASSERT_TRUE(back);
  EXPECT_STREQ("abc", back->name);
  EXPECT_EQ(dir.file("abc.kpdb"), std::string(back->path));

  Messages m;
  EXPECT_EQ(nullptr, zam_readBinaryPdb(dir.file("nothing").c_str(), nullptr));
  EXPECT_EQ(nullptr, zam_readBinaryPdb(nullptr, nullptr));
  EXPECT_EQ("", captured);  // a missing file is the caller's to report

  EXPECT_EQ(0, zam_writeBinaryPdb(dir.file("abc").c_str(), nullptr));
  EXPECT_EQ(0, zam_writeBinaryPdb(nullptr, im.get()));
  EXPECT_EQ(0, zam_writeBinaryPdb(dir.file("no/such/folder/abc").c_str(), im.get()));
}

TEST(BinaryPdb, WriteReplacesWholeAndLeavesNoTemporary) {
  TempDir dir;
  Image im = readText(dir, "rep", kSmall);
  ASSERT_TRUE(im);
  write_file(dir.file("rep.kpdb"), "old contents");
  ASSERT_EQ(1, zam_writeBinaryPdb(dir.file("rep").c_str(), im.get()));
  EXPECT_EQ(sizeOf(im.get()), static_cast<int64_t>(std::filesystem::file_size(dir.file("rep.kpdb"))));
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(dir.path)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  // The file found there was not trel's: it is kept under a numbered name.
  EXPECT_EQ((std::vector<std::string>{"rep.kpdb", "rep.kpdb.1", "rep.pdb"}), names);
  EXPECT_EQ(read_file(dir.file("rep.kpdb.1")), "old contents");

  // An image whose counts promise records it lacks is refused, and the old
  // file stays as it was.
  _pdb_image broken = *im;
  broken.hetatms = nullptr;
  Messages m;
  EXPECT_EQ(0, zam_writeBinaryPdb(dir.file("rep").c_str(), &broken));
  EXPECT_TRUE(m.has("rep.kpdb"));
  EXPECT_EQ(sizeOf(im.get()), static_cast<int64_t>(std::filesystem::file_size(dir.file("rep.kpdb"))));
}

TEST(BinaryPdb, EveryTruncationAndAnOverlongFileAreRefused) {
  TempDir dir;
  const std::string whole = smallFile(dir, "cut");
  ASSERT_FALSE(whole.empty());
  const std::string path = dir.file("cut.kpdb");
  for (size_t len = 0; len < whole.size(); ++len) {
    write_file(path, whole.substr(0, len));
    Messages m;
    Image back(zam_readBinaryPdb(path.c_str(), nullptr));
    ASSERT_FALSE(back) << "length " << len;
    ASSERT_TRUE(m.has("Bad binary PDB file " + path)) << "length " << len << ": " << captured;
  }
  write_file(path, whole + std::string(1, '\0'));
  {
    Messages m;
    EXPECT_FALSE(Image(zam_readBinaryPdb(path.c_str(), nullptr)));
    EXPECT_TRUE(m.has("bytes where its counts need"));
  }
  write_file(path, whole);
  EXPECT_TRUE(Image(zam_readBinaryPdb(path.c_str(), nullptr)));
}

TEST(BinaryPdb, PatchedCountsAndRangesAreRefused) {
  TempDir dir;
  const std::string whole = smallFile(dir, "bad");
  const std::string path = dir.file("bad.kpdb");
  auto refused = [&](const std::string& bytes, const std::string& why) {
    write_file(path, bytes);
    Messages m;
    Image back(zam_readBinaryPdb(path.c_str(), nullptr));
    EXPECT_FALSE(back) << why;
    EXPECT_TRUE(m.has(path)) << why << ": " << captured;
    return captured;
  };
  // Every count slot negative, and the record counts huge or one off.
  for (int slot = 0; slot < 10; ++slot) {
    std::string b = whole;
    patchInt(b, 4 * slot, -1);
    EXPECT_NE(std::string::npos, refused(b, "slot " + std::to_string(slot)).find("negative count"));
    b = whole;
    patchInt(b, 4 * slot, INT_MIN);
    refused(b, "INT_MIN in slot " + std::to_string(slot));
  }
  for (int slot : {2, 3, 7, 8, 9}) {
    for (int32_t value : {INT_MAX, 1 << 30, 3}) {
      std::string b = whole;
      patchInt(b, 4 * slot, value);
      EXPECT_NE(std::string::npos,
                refused(b, "slot " + std::to_string(slot) + " = " + std::to_string(value)).find("bytes where"));
    }
  }
  // A residue whose atom range leaves the atom records.
  const size_t residue0 = 144 + 112 * 9;
  for (auto [offset, value] : {std::pair<size_t, int32_t>{12, -5}, {16, 9}, {12, 9}, {16, INT_MAX}}) {
    std::string b = whole;
    patchInt(b, residue0 + 40 + offset, value);
    EXPECT_NE(std::string::npos, refused(b, "residue range").find("claims atoms"));
  }
}

TEST(BinaryPdb, TextFieldsEndWithinTheirFields) {
  TempDir dir;
  std::string bytes = smallFile(dir, "txt");
  // Fill the first atom's texts and the first residue's texts with letters.
  std::fill(bytes.begin() + 144, bytes.begin() + 144 + 32, 'Q');
  std::fill(bytes.begin() + 144 + 96, bytes.begin() + 144 + 102, 'Q');
  const size_t residue0 = 144 + 112 * 9;
  std::fill(bytes.begin() + residue0 + 24, bytes.begin() + residue0 + 40, 'Q');
  write_file(dir.file("txt.kpdb"), bytes);
  Image back(zam_readBinaryPdb(dir.file("txt.kpdb").c_str(), nullptr));
  ASSERT_TRUE(back);
  const _pdb_atom& a = back->atoms[0];
  EXPECT_EQ(6u, strlen(a.type));
  EXPECT_EQ(4u, strlen(a.name));
  EXPECT_EQ(4u, strlen(a.cname));
  EXPECT_EQ(1u, strlen(a.chain));
  EXPECT_EQ(5u, strlen(a.label));
  EXPECT_EQ(5u, strlen(back->residues[0].resnum));
  EXPECT_EQ(3u, strlen(back->residues[0].resname));
}

TEST(BinaryPdb, CompressedFileReadsAndIsChecked) {
  TempDir dir;
  const std::string whole = smallFile(dir, "zip");
  auto gzip = [&](const std::string& bytes) {
    std::string path = dir.file("zip.kpdb.gz");
    _zam_file* f = zam_fopen(path.c_str(), "wb");
    EXPECT_TRUE(f);
    if (!bytes.empty()) zam_fwrite(f, bytes.data(), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(0, zam_fclose(f));
    return path;
  };
  Image plain(zam_readBinaryPdb(dir.file("zip.kpdb").c_str(), nullptr));
  Image packed(zam_readBinaryPdb(gzip(whole).c_str(), "zip"));
  ASSERT_TRUE(plain);
  ASSERT_TRUE(packed);
  expectSameImage(plain.get(), packed.get(), "gzip");
  Messages m;
  EXPECT_FALSE(Image(zam_readBinaryPdb(gzip(whole.substr(0, whole.size() - 7)).c_str(), nullptr)));
  EXPECT_FALSE(Image(zam_readBinaryPdb(gzip(whole + "x").c_str(), nullptr)));
  std::string huge = whole;
  patchInt(huge, 8, INT_MAX);
  EXPECT_FALSE(Image(zam_readBinaryPdb(gzip(huge).c_str(), nullptr)));
  EXPECT_TRUE(m.has("zip.kpdb.gz"));
}

TEST(BinaryPdb, SharedStructuresRoundTrip) {
  TREL_REQUIRE_SHARED_DATA();
  const std::vector<std::string> files = testutil::shared_structure_files(true);
  ASSERT_GT(files.size(), 100u);
  TempDir dir;
  int tried = 0, with_het = 0, with_matrices = 0;
  for (size_t k = 0; k < files.size(); k += 4) {
    Image im(zam_readPdb(files[k].c_str(), nullptr));
    if (!im) continue;
    ++tried;
    with_het += im->nhetatms > 0;
    with_matrices += im->nsmtry > 1 || im->nbiomt > 1;
    std::string out = dir.file("member" + std::to_string(k));
    ASSERT_EQ(1, zam_writeBinaryPdb(out.c_str(), im.get())) << files[k];
    ASSERT_EQ(sizeOf(im.get()), static_cast<int64_t>(std::filesystem::file_size(out + ".kpdb"))) << files[k];
    Image back(zam_readBinaryPdb((out + ".kpdb").c_str(), im->name));
    ASSERT_TRUE(back) << files[k];
    im->occ_style = 0;
    im->score = 0.0f;
    expectSameImage(im.get(), back.get(), files[k]);
    EXPECT_STREQ(im->name, back->name);
  }
  EXPECT_GT(tried, 50);
  EXPECT_GT(with_het, 5);
  EXPECT_GT(with_matrices, 0);
}
