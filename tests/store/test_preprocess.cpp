// PDB clean-up: a folder walked recursively, first chain only, no hetero
// atoms, ".ent" files kept under their own name, "ss" files, skipped files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_log.h"
#include "store/trel_preprocess.h"
#include "structure/zam_pdb.h"

namespace fs = std::filesystem;
using testutil::TempDir;

namespace {

// Messages shown while a Capture lives, in `captured`.
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

}  // namespace

TEST(Preprocess, FolderFirstChainNoHetero) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directory(dir.file("sub"));
  fs::copy_file(testutil::shared_pdb("pymol-data/1hpv.pdb"), dir.file("sub/two.PDB"));
  fs::copy_file(testutil::shared_pdb("freesasa/1ubq.pdb"), dir.file("one.ent"));
  testutil::write_file(dir.file("notes.txt"), "not a structure\n");
  testutil::write_file(dir.file("empty.pdb"), "REMARK nothing here\nEND\n");
  testutil::write_file(dir.file("sub/alignment.pdb"), "CLUSTAL W\n\nseq1 MKV\n");
  // Links inside the walk are never followed: one back up the tree (a loop)
  // and one to a structure outside it, which is not the walk's to rewrite.
  TempDir outside;
  fs::copy_file(testutil::shared_pdb("freesasa/1ubq.pdb"), outside.file("far.pdb"));
  const std::string far = testutil::read_file(outside.file("far.pdb"));
  fs::create_directory_symlink(dir.path, dir.file("sub/loop"));
  fs::create_symlink(outside.file("far.pdb"), dir.file("far.pdb"));
  fs::copy_file(testutil::shared_pdb("freesasa/1ubq.pdb"), dir.file(".hidden.pdb"));
  const std::string folder = dir.str();
  char* paths[1] = {const_cast<char*>(folder.c_str())};
  _trel_cleanup_opts o;
  Capture cap;
  EXPECT_EQ(trel_cleanupPDBs(paths, 1, &o), 2);
  EXPECT_NE(captured.find("Entering folder: " + folder), std::string::npos);
  EXPECT_NE(captured.find("Extracting FIRST chain from PDB file: two.PDB"), std::string::npos);
  // The files without atom records are counted once, not one line each.
  EXPECT_NE(captured.find("*Warning* Skipped 2 PDB files that hold no ATOM or HETATM record.\n"),
            std::string::npos)
      << captured;
  EXPECT_EQ(captured.find("empty.pdb"), std::string::npos) << captured;
  EXPECT_EQ(captured.find("loop"), std::string::npos) << captured;
  EXPECT_TRUE(fs::is_symlink(dir.file("far.pdb")));
  EXPECT_EQ(testutil::read_file(outside.file("far.pdb")), far);
  EXPECT_EQ(testutil::read_file(dir.file(".hidden.pdb")), far);

  const std::string two = testutil::read_file(dir.file("sub/two.PDB"));
  EXPECT_EQ(two.find("HETATM"), std::string::npos);
  _pdb_image* im = zam_readPdb(dir.file("sub/two.PDB").c_str(), nullptr);
  ASSERT_NE(im, nullptr);
  EXPECT_EQ(im->nchains, 1);
  EXPECT_EQ(im->nres, 99);  // one chain of the protease dimer
  zam_freePdb(im);
  // The ".ent" file is rewritten under its own name; nothing else appears.
  EXPECT_NE(testutil::read_file(dir.file("one.ent")).find("REMARK  File written by"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.file("one.pdb")));
  EXPECT_EQ(testutil::read_file(dir.file("notes.txt")), "not a structure\n");
  EXPECT_EQ(testutil::read_file(dir.file("empty.pdb")), "REMARK nothing here\nEND\n");
  int entries = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir.path)) {
    (void)e;
    entries++;
  }
  EXPECT_EQ(entries, 9);  // no temporary file is left behind
}

TEST(Preprocess, OverlongNamesAreLeftOut) {
  TempDir dir;
  const std::string deep = dir.file(std::string(200, 'd'));
  fs::create_directories(deep + "/" + std::string(100, 's'));
  const std::string text = "REMARK not cleaned\nEND\n";
  const std::string file = deep + "/" + std::string(100, 'l') + ".pdb";
  testutil::write_file(file, text);
  testutil::write_file(deep + "/" + std::string(100, 's') + "/x.pdb", text);
  const std::string folder = dir.str();
  char* paths[1] = {const_cast<char*>(folder.c_str())};
  _trel_cleanup_opts o;
  Capture cap;
  EXPECT_EQ(trel_cleanupPDBs(paths, 1, &o), 0);
  EXPECT_NE(captured.find("*Warning* File name longer than 256 characters: " + file.substr(0, 64) + "..."),
            std::string::npos)
      << captured;
  EXPECT_EQ(captured.find("*Error*"), std::string::npos) << captured;
  EXPECT_EQ(testutil::read_file(file), text);
}

TEST(Preprocess, SecondaryStructureFile) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy_file(testutil::shared_pdb("freesasa/1ubq.pdb"), dir.file("1ubq.pdb"));
  const std::string file = dir.file("1ubq.pdb");
  char* paths[1] = {const_cast<char*>(file.c_str())};
  _trel_cleanup_opts o;
  o.sse_mode = 1;
  Capture cap;
  EXPECT_EQ(trel_cleanupPDBs(paths, 1, &o), 1);
  const std::string ss = testutil::read_file(dir.file("1ubq.ss"));
  EXPECT_EQ(ss.substr(0, 25), "76     coil  helix  beta\n");
  EXPECT_EQ(ss.substr(25, 9), "    1 M S");  // Met1 opens the first strand of ubiquitin
  EXPECT_NE(ss.find(" H"), std::string::npos);
  EXPECT_NE(testutil::read_file(file).find("\nHELIX"), std::string::npos);
}

TEST(Preprocess, TraceSSEFormatAndUnwritable) {
  _trel_seg seg[2]{};
  seg[0].code = 'A';
  seg[0].sse = 'A';
  seg[0].sse_score = Point3Df{0.9f, 0.05f, 0.05f};
  seg[1].code = 'G';
  seg[1].sse = 'B';
  seg[1].sse_score = Point3Df{0.1f, 0.7f, 0.2f};
  _trel_trace trace{};
  trace.n = 2;
  trace.seg = seg;
  TempDir dir;
  ASSERT_EQ(trel_writeTraceSSE(dir.file("t.ss").c_str(), &trace), 1);
  EXPECT_EQ(testutil::read_file(dir.file("t.ss")),
            "2      coil  helix  beta\n    1 A H  0.050  0.900  0.050\n    2 G S  0.200  0.100  0.700\n");
  Capture cap;
  EXPECT_EQ(trel_writeTraceSSE(dir.file("no/such/t.ss").c_str(), &trace), 0);
  EXPECT_NE(captured.find("Failed to write SSE file: " + dir.file("no/such/t.ss")), std::string::npos);
}
