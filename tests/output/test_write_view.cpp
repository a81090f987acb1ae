// Viewer command files and rainbow PDB files: on a real trypsin pair every
// command file names files that exist; on hand-made alignments the colour
// rules, segment colours, rainbow cycle and switches.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_trace.h"
#include "common/test_util.h"
#include "output/trel_run_options.h"
#include "output/trel_write_view.h"
#include "structure/zam_pdb.h"

namespace fs = std::filesystem;

namespace {

std::string trypsin(const char* name) {
  return testutil::shared_pdb(std::string("theseus-examples/trypsins/") + name + ".pdb.gz");
}

using testutil::split_lines;  // test_util.h

std::vector<std::string> grep(const std::string& file, const std::string& key) {
  std::vector<std::string> out;
  for (const auto& l : split_lines(testutil::read_file(file)))
    if (l.find(key) != std::string::npos) out.push_back(l);
  return out;
}

// n matched columns pairing residue i with residue i.
std::vector<_trel_a_column> diagonal(int n) {
  std::vector<_trel_a_column> cols((size_t)n);
  for (int c = 0; c < n; c++) cols[c] = _trel_a_column{c, c, 0, 1, 0, 1, 1, 1, '*'};
  return cols;
}

// The PDB file a command line opens: "open_receptor X", "open_ligand X",
// "mol new X type pdb" or a quoted "X.pdb"; empty for other lines.
std::string named_file(const std::string& l) {
  std::istringstream in(l);
  std::string w1, w2, w3;
  in >> w1 >> w2 >> w3;
  if (w1 == "open_receptor" || w1 == "open_ligand") return w2;
  if (w1 == "mol" && w2 == "new" && w3[0] != '$') return w3;
  const size_t a = l.find('"'), b = l.find(".pdb\"");
  if (a != std::string::npos && b != std::string::npos && b > a) return l.substr(a + 1, b + 3 - a);
  return "";
}

struct Images {
  _pdb_image* q = zam_readPdb(trypsin("1A0J_A").c_str(), "1A0J_A");
  _pdb_image* t = zam_readPdb(trypsin("1AMH_A").c_str(), "1AMH_A");
  ~Images() {
    zam_freePdb(q);
    zam_freePdb(t);
  }
};

}  // namespace

TEST(WriteView, CommandFilesNameFilesThatExist) {
  Images im;
  ASSERT_NE(im.q, nullptr);
  ASSERT_NE(im.t, nullptr);
  std::vector<_trel_a_column> cols = diagonal(200);
  _trel_align a{};
  a.ncolumns = 200;
  a.columns = cols.data();
  a.nsegments = 1;
  a.tf = tf_identity();
  testutil::TempDir dir;
  const std::string folder = dir.str() + "/";
  // The superposed PDB files that the search writes beside these files.
  testutil::write_file(folder + "1A0J_A_query.pdb", "END\n");
  testutil::write_file(folder + "1AMH_A_1A0J_A.pdb", "END\n");
  _trel_options o;
  trel_writeAlignMask(&a, im.q, im.t, "_query", "", folder.c_str(), tf_identity(), &o);
  const std::string stem = folder + "1AMH_A_1A0J_A";
  int checked = 0;
  for (const char* kind : {"_matched", "_aligned", "_segments", "_rainbow"}) {
    for (const char* ext : {".mac", ".tcl"}) {
      const std::string file = stem + kind + ext;
      ASSERT_TRUE(fs::exists(file)) << file;
      int names = 0;
      for (const auto& l : split_lines(testutil::read_file(file))) {
        const std::string name = named_file(l);
        if (name.empty()) continue;
        EXPECT_TRUE(fs::exists(folder + name)) << file << ": " << name;
        names++;
      }
      EXPECT_EQ(names, 2) << file;
      EXPECT_EQ(grep(file, "# Usage: (cd " + folder + ";").size(), 1u) << file;
      checked++;
    }
  }
  EXPECT_EQ(checked, 8);
  // The rainbow PDB files: query as chain A, target as chain B.
  const auto qa = grep(folder + "1A0J_A_query_rainbow.pdb", "ATOM");
  const auto ta = grep(stem + "_rainbow.pdb", "ATOM");
  ASSERT_FALSE(qa.empty());
  ASSERT_FALSE(ta.empty());
  EXPECT_EQ(qa[0][21], 'A');
  EXPECT_EQ(ta[0][21], 'B');
  EXPECT_EQ(qa.size(), (size_t)im.q->natoms);
}

TEST(WriteView, ColoursSegmentsAndRainbowCycle) {
  Images im;
  ASSERT_NE(im.q, nullptr);
  std::vector<_trel_a_column> cols = diagonal(13);
  cols[2].mark = '@';
  cols[3].mark = '#';                                   // aligned, not matched
  cols[4] = _trel_a_column{-1, 4, 0, 0, 0, 0, 0, -1, ' '};  // query gap
  cols[5] = _trel_a_column{5, -1, 0, 0, 0, 0, 0, -1, ' '};  // target gap
  for (int c = 0; c < 13; c++)
    if (cols[c].qres >= 0 && cols[c].tres >= 0) cols[c].seg = c == 3 ? 1 : (c < 6 ? 1 : c + 4);
  cols[11].seg = 17;
  cols[12].seg = 18;
  _trel_align a{};
  a.ncolumns = 13;
  a.columns = cols.data();
  a.nsegments = 18;
  a.tf = tf_identity();
  testutil::TempDir dir;
  const std::string folder = dir.str() + "/";
  _trel_options o;
  trel_writeAlignMask(&a, im.q, im.t, "_query", "", folder.c_str(), tf_identity(), &o);
  const std::string stem = folder + "1AMH_A_1A0J_A";
  auto colour_of = [&](const std::string& file, int side, int res) {
    const _pdb_image* image = side ? im.t : im.q;
    const std::string key = std::string("residue_colour ") + image->residues[res].chain + " " +
                            image->residues[res].resnum + " " + image->residues[res].resnum + " ";
    // Query lines come first, target lines after "molecule_scope 1".
    const auto body = split_lines(testutil::read_file(file));
    bool target_part = false;
    for (const auto& l : body) {
      if (l == "molecule_scope    1") target_part = true;
      if (target_part == (side == 1) && l.rfind(key, 0) == 0) return l.substr(key.size());
    }
    return std::string("none");
  };
  const std::string matched = stem + "_matched.mac", aligned = stem + "_aligned.mac";
  EXPECT_EQ(colour_of(matched, 0, 0), "cyan");
  EXPECT_EQ(colour_of(matched, 1, 2), "yellow");
  EXPECT_EQ(colour_of(matched, 0, 3), "blue");   // '#' is coloured like a gap
  EXPECT_EQ(colour_of(matched, 1, 3), "green");
  EXPECT_EQ(colour_of(matched, 1, 4), "green");  // facing a query gap
  EXPECT_EQ(colour_of(matched, 0, 5), "blue");   // facing a target gap
  EXPECT_EQ(colour_of(aligned, 0, 0), "red");
  EXPECT_EQ(colour_of(aligned, 1, 0), "orange");
  EXPECT_EQ(colour_of(aligned, 0, 3), "blue");
  const std::string segments = stem + "_segments.mac";
  EXPECT_EQ(colour_of(segments, 0, 6), "orange");  // segment 10
  EXPECT_EQ(colour_of(segments, 1, 9), "tan");     // segment 13
  EXPECT_EQ(colour_of(segments, 0, 11), "lime");   // segment 17
  EXPECT_EQ(colour_of(segments, 0, 12), "orange"); // segment 18
  EXPECT_EQ(colour_of(segments, 0, 0), "yellow");  // segment 1
  // VMD segment script: one block per segment 0..nsegments, '#' pairs left out.
  const std::string tcl = stem + "_segments.tcl";
  EXPECT_EQ(grep(tcl, "set QueryResidues").size(), 19u);
  EXPECT_EQ(grep(tcl, "set QueryResidues").at(1),
            std::string("   set QueryResidues  \" ") + im.q->residues[0].resnum + " " +
                im.q->residues[1].resnum + " " + im.q->residues[2].resnum + "\" ;");
  EXPECT_EQ(grep(stem + "_aligned.tcl", "set QueryResidues").at(0).find(
                std::string(" ") + im.q->residues[3].resnum + " "),
            std::string::npos);

  // Rainbow: colours by column, a gap or unmatched column skips one.
  const std::string rmac = stem + "_rainbow.mac";
  std::vector<std::string> want = {"red", "orange", "yellow", "grey", "grey", "grey", "red",
                                   "orange", "yellow", "green", "blue", "violet", "red"};
  const auto rl = grep(rmac, "residue_colour A ");
  ASSERT_EQ(rl.size(), 12u);  // 13 columns less the query gap
  int k = 0;
  for (int c = 0; c < 13; c++) {
    if (cols[c].qres < 0) continue;
    EXPECT_EQ(rl[k].substr(rl[k].rfind(' ') + 1), want[c]) << c;
    k++;
  }
  const auto vl = grep(stem + "_rainbow.tcl", "set TheResidues");
  ASSERT_EQ(vl.size(), 14u);  // 7 colours for each side
  EXPECT_EQ(grep(stem + "_rainbow.tcl", "chain A and backbone").size(), 7u);
}

TEST(WriteView, SwitchesAndMaskedRainbow) {
  Images im;
  ASSERT_NE(im.q, nullptr);
  std::vector<_trel_a_column> cols = diagonal(50);
  _trel_align a{};
  a.ncolumns = 50;
  a.columns = cols.data();
  a.tf = tf_identity();
  _trel_options o;
  o.write_zam = 0;
  testutil::TempDir dir;
  trel_writeAlignMask(&a, im.q, im.t, "_query", "", (dir.str() + "/").c_str(), tf_identity(), &o);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1AMH_A_1A0J_A_aligned.tcl", "1AMH_A_1A0J_A_matched.tcl",
                                             "1AMH_A_1A0J_A_rainbow.tcl", "1AMH_A_1A0J_A_segments.tcl"}));
  testutil::TempDir none;
  o.write_zam = 1;
  o.write_pdb = 0;
  trel_writeAlignMask(&a, im.q, im.t, "_query", "", (none.str() + "/").c_str(), tf_identity(), &o);
  EXPECT_TRUE(fs::is_empty(none.path));

  // Masked residues stay out of the rainbow PDB files.
  o.write_pdb = 1;
  for (int i = 10; i < im.q->nres; i++) im.q->residues[i].masked = 1;
  testutil::TempDir masked;
  trel_writeAlignMask(&a, im.q, im.t, "_query_mask", "_mask", (masked.str() + "/").c_str(),
                      tf_identity(), &o);
  _pdb_image* r = zam_readPdb(masked.file("1A0J_A_query_mask_rainbow.pdb").c_str(), "r");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->nres, 10);
  zam_freePdb(r);
  EXPECT_TRUE(fs::exists(masked.file("1AMH_A_1A0J_A_mask_matched.mac")));
}
