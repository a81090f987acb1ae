// Files of a loaded alignment of two real zinc fingers: listing blocks with
// their residue cells and an all-gap block, PIR ends when the length is a
// multiple of the line width, rows thousands of columns long written whole,
// rainbow colours (grey singleton columns, shared colours of aligned ones),
// switches off, and a row without a structure refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "align/trel_msa_record.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "output/trel_run_options.h"
#include "output/trel_write_msa.h"
#include "structure/zam_pdb.h"

namespace fs = std::filesystem;

namespace {

using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;

using testutil::split_lines;  // test_util.h

// Rows 1ard and 1paa over cols columns; the caller fills index (c * 2 + s).
struct Msa {
  _trel_msa m{};
  _pdb_image* images[2] = {nullptr, nullptr};
  char name0[8] = "1ard", name1[8] = "1paa", alignment[8] = "zf";
  char* names[2] = {name0, name1};
  std::vector<int> index;
  explicit Msa(int cols) : index((size_t)cols * 2, -1) {
    images[0] = zam_readPdb(shared_pdb("mustang-testdata/1ard.pdb").c_str(), "1ard");
    images[1] = zam_readPdb(shared_pdb("mustang-testdata/1paa.pdb").c_str(), "1paa");
    m.n_struct = 2;
    m.n_col = cols;
    m.name = alignment;
    m.names = names;
    m.images = images;
    m.residue_index = index.data();
  }
  ~Msa() {
    zam_freePdb(images[0]);
    zam_freePdb(images[1]);
  }
};

TEST(WriteMsa, ListingPirAndLongRows) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string folder = dir.str() + "/";
  _trel_options o;
  o.n_columns = 4;
  Msa a(8);
  ASSERT_NE(a.images[0], nullptr);
  ASSERT_NE(a.images[1], nullptr);
  // 1ard holds residues 0..3 in columns 0..3 only; 1paa residues 0..7.
  for (int c = 0; c < 8; c++) {
    if (c < 4) a.index[(size_t)c * 2] = c;
    a.index[(size_t)c * 2 + 1] = c;
  }
  trel_writeMSA(&a.m, tf_identity(), "_msa", "", folder.c_str(), &o);
  const std::vector<std::string> kmsa = split_lines(read_file(folder + "zf_msa.kmsa"));
  ASSERT_GE(kmsa.size(), 16u);
  const _pdb_residue& r0 = a.images[0]->residues[0];
  std::string head = "1ard" + std::string(20, ' ') + " " + r0.chain + "(";
  EXPECT_EQ(kmsa[0].rfind(head, 0), 0u) << kmsa[0];
  EXPECT_EQ(kmsa[0].substr(kmsa[0].size() - 4), std::string(1, r0.code[0]) + a.images[0]->residues[1].code[0] +
                                                     a.images[0]->residues[2].code[0] + a.images[0]->residues[3].code[0]);
  // Second block: 1ard has only gaps there.
  EXPECT_EQ(kmsa[8], "1ard" + std::string(20, ' ') + " -(------)  ----");
  EXPECT_EQ(kmsa[5], "Colour-Codes" + std::string(12, ' ') + " -(------)  ROYG");
  EXPECT_EQ(kmsa[13], "Colour-Codes" + std::string(12, ' ') + " -(------)  BVRO");
  // Eight letters and the '*' in lines of four: the '*' alone on a last line.
  const std::vector<std::string> pir = split_lines(read_file(folder + "zf_msa.pir"));
  EXPECT_EQ(pir[0], ">P1;1ard");
  EXPECT_EQ(pir[4], "*");
  EXPECT_EQ(pir[2].substr(0, 4), pir[2]);
  for (const char* f : {"zf_msa.fasta", "zf_msa.kalign", "1ard.pdb", "1paa.pdb"})
    EXPECT_TRUE(fs::exists(folder + f)) << f;

  // Rows of 6000 columns with a width of 10000 are written on one line each.
  Msa b(6000);
  for (int c = 0; c < 6000; c++) b.index[(size_t)c * 2 + 1] = c < b.images[1]->nres ? c : -1;
  for (int c = 0; c < b.images[0]->nres; c++) b.index[(size_t)c * 2] = c;
  _trel_options wide;
  wide.n_columns = 10000;
  wide.write_pdb = 0;
  TempDir dir2;
  const std::string f2 = dir2.str() + "/";
  trel_writeMSA(&b.m, tf_identity(), "", "", f2.c_str(), &wide);
  const std::vector<std::string> fasta = split_lines(read_file(f2 + "zf.fasta"));
  ASSERT_GE(fasta.size(), 2u);
  EXPECT_EQ(fasta[1].size(), 6000u);
  EXPECT_FALSE(fs::exists(f2 + "1ard.pdb"));
}

TEST(WriteMsa, RainbowColoursAndRefusedRows) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string folder = dir.str() + "/";
  _trel_options o;
  o.write_zam = 0;  // only the VMD set
  Msa a(3);
  a.index = {0, 0, 1, -1, -1, 1};  // column 0 shared, 1 and 2 singletons
  a.m.residue_index = a.index.data();
  trel_writeMSArainbow(&a.m, tf_identity(), "_msa", "", folder.c_str(), &o);
  EXPECT_FALSE(fs::exists(folder + "zf_msa_rainbow.mac"));
  const std::string tcl = read_file(folder + "zf_msa_rainbow.tcl");
  const std::string r0 = a.images[0]->residues[0].resnum, r1 = a.images[0]->residues[1].resnum;
  EXPECT_NE(tcl.find("set TheResidues \" " + r0 + "\" ;\n\nset mysel"), std::string::npos) << tcl;
  EXPECT_NE(tcl.find("set TheResidues \" " + r1 + "\" ;\n\nset mysel \"chain $TheChain and backbone and resid "
                     "$TheResidues\" ;\nmol selection $mysel ;\nmol color ColorID $grey"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(folder + "zf_msa_rainbow_00002.pdb"));

  // A row without a structure: nothing is written, and the warning names it.
  _pdb_image* kept = a.images[1];
  a.images[1] = nullptr;
  TempDir dir2;
  testutil::Capture said;
  trel_writeMSA(&a.m, tf_identity(), "_msa", "", (dir2.str() + "/").c_str(), &o);
  a.images[1] = kept;
  EXPECT_TRUE(said.has("1paa")) << said.text;
  EXPECT_TRUE(fs::is_empty(dir2.path));
}

}  // namespace
