// The tool's structure inputs as a user gives them: positional files, folders
// and list files for queries and targets, broken and missing inputs, and a
// second run served entirely from the cache.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"
#include "runtime/zam_file.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;
using testutil::write_file;

// The targets searched for one query: the names of its ".knames" file, sorted.
std::vector<std::string> searched(const TempDir& dir, const std::string& query) {
  std::istringstream in(read_file(dir.file("trel_results/" + query + "/" + query + ".knames")));
  std::vector<std::string> names;
  for (std::string w; in >> w;) names.push_back(w);
  std::sort(names.begin(), names.end());
  return names;
}

using Names = std::vector<std::string>;

// Copies shared structures into dir/sub under their own names.
void copyPdb(const TempDir& dir, const std::string& sub, const std::vector<std::string>& names) {
  fs::create_directories(dir.file(sub));
  for (const std::string& n : names)
    fs::copy_file(shared_pdb("mustang-testdata/" + n + ".pdb"), dir.file(sub + "/" + n + ".pdb"));
}

// The same structure with its CA atoms only.
void writeCaOnly(const std::string& from, const std::string& to) {
  std::istringstream in(read_file(from));
  std::string text;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("ATOM", 0) == 0 && line.size() > 16 && line.compare(12, 4, " CA ") == 0) text += line + "\n";
  write_file(to, text + "END\n");
}

class Inputs : public ::testing::Test {
 protected:
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
  }
};

TEST_F(Inputs, FilesFoldersAndListFilesChooseQueriesAndTargets) {
  TempDir dir;
  copyPdb(dir, "q", {"1ard", "1paa"});
  copyPdb(dir, "tg", {"1sp1", "1zaa1", "1znf"});
  const std::string cwd = fs::canonical(dir.path).string() + "/";

  // A folder of targets: every file in it is searched.
  Outcome folder = testutil::run_trel2(dir.str(), {"q/1ard.pdb", "-target=tg"});
  ASSERT_EQ(folder.status, 0) << folder.out;
  EXPECT_EQ(searched(dir, "1ard"), (Names{"1sp1", "1zaa1", "1znf"}));
  fs::remove_all(dir.file("trel_results"));

  // List files: names relative to the current folder or absolute, the first
  // word of a line only, blank lines skipped. Every -source entry is a query.
  write_file(dir.file("queries.txt"), "q/1ard.pdb\nq/1paa.pdb\n");
  write_file(dir.file("targets.txt"),
             "tg/1znf.pdb chain A\n\n" + shared_pdb("mustang-testdata/2drp1.pdb") + "\n");
  Outcome lists = testutil::run_trel2(dir.str(), {"-source=queries.txt", "-target=targets.txt"});
  ASSERT_EQ(lists.status, 0) << lists.out;
  EXPECT_EQ(searched(dir, "1ard"), (Names{"1znf", "2drp1"}));
  EXPECT_EQ(searched(dir, "1paa"), (Names{"1znf", "2drp1"}));
  fs::remove_all(dir.file("trel_results"));

  // -read alone: its first name is the query, the rest are targets.
  write_file(dir.file("all.txt"), "q/1paa.pdb\ntg/1znf.pdb\ntg/1sp1.pdb\n");
  Outcome read = testutil::run_trel2(dir.str(), {"-read=all.txt"});
  ASSERT_EQ(read.status, 0) << read.out;
  EXPECT_EQ(searched(dir, "1paa"), (Names{"1sp1", "1znf"}));
  EXPECT_FALSE(fs::exists(dir.file("trel_results/1znf")));
  fs::remove_all(dir.file("trel_results"));

  // With a positional query, the whole -read list becomes targets.
  Outcome readAll = testutil::run_trel2(dir.str(), {"q/1ard.pdb", "-read=all.txt"});
  ASSERT_EQ(readAll.status, 0) << readAll.out;
  EXPECT_EQ(searched(dir, "1ard"), (Names{"1paa", "1sp1", "1znf"}));
  fs::remove_all(dir.file("trel_results"));

  // A listed file that does not exist is left out with a warning.
  write_file(dir.file("gaps.txt"), "nope.pdb\ntg/1sp1.pdb\n");
  Outcome gaps = testutil::run_trel2(dir.str(), {"q/1ard.pdb", "-target=gaps.txt"});
  ASSERT_EQ(gaps.status, 0) << gaps.out;
  EXPECT_TRUE(has(gaps.out, "*Warning* File not found : " + cwd + "nope.pdb (line 1 of gaps.txt)\n")) << gaps.out;
  EXPECT_EQ(searched(dir, "1ard"), (Names{"1sp1"}));

  // ... and a list of nothing but missing files leaves no target.
  write_file(dir.file("none.txt"), "nope.pdb\n/no/such/file.pdb\n");
  Outcome none = testutil::run_trel2(dir.str(), {"q/1ard.pdb", "-target=none.txt"});
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(has(none.out, "*Warning* File not found : /no/such/file.pdb (line 2 of none.txt)\n")) << none.out;
  EXPECT_TRUE(has(none.out, "*Error* No target or database PDB files given. Exiting.\n")) << none.out;
}

// A folder of targets that also holds a README, an alignment and a
// sub-folder: the search runs over its structures alone, with or without
// -broken, and says once what it left out.
TEST_F(Inputs, FolderTargetsSkipWhatHoldsNoStructure) {
  TempDir dir;
  copyPdb(dir, "q", {"1ard"});
  copyPdb(dir, "tg", {"1sp1", "1znf"});
  copyPdb(dir, "tg/old", {"1zaa1"});
  write_file(dir.file("tg/README"), "Zinc fingers, from the examples.\n");
  write_file(dir.file("tg/fingers.aln"), "CLUSTAL W\n\n1sp1  KKFACPECPKRFMRSDHLSKHIKTH\n");
  for (const char* broken : {"", "-broken"}) {
    std::vector<std::string> args = {"q/1ard.pdb", "-target=tg"};
    if (broken[0]) args.push_back(broken);
    Outcome r = testutil::run_trel2(dir.str(), args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(searched(dir, "1ard"), (Names{"1sp1", "1znf"})) << r.out;
    EXPECT_FALSE(has(r.out, "*Error*")) << r.out;
    EXPECT_FALSE(has(r.out, "README")) << r.out;
    EXPECT_TRUE(has(r.out, "*Warning* Skipped 2 files in tg that hold no ATOM or HETATM record")) << r.out;
    fs::remove_all(dir.file("trel_results"));
  }
}

// Inputs of one object name: the same file name in two folders, x.pdb.gz
// beside x.pdb.bz2, names that differ only in characters the name rules
// replace, and two -many queries of one name. Each keeps its own result
// files and table name: a repeated name gets a numeric suffix and a warning
// naming both files; the query's own file among the targets keeps its name.
TEST_F(Inputs, InputsOfOneNameKeepTheirOwnResults) {
  TempDir dir;
  copyPdb(dir, "a", {"1ard", "1sp1", "1znf"});
  fs::create_directories(dir.file("b"));
  fs::copy_file(shared_pdb("mustang-testdata/1paa.pdb"), dir.file("b/1sp1.pdb"));
  fs::copy_file(shared_pdb("mustang-testdata/1zaa1.pdb"), dir.file("b/1ard.pdb"));
  fs::copy_file(shared_pdb("mustang-testdata/1zfd.pdb"), dir.file("a/z.pdb"));
  fs::copy_file(shared_pdb("mustang-testdata/1sp2.pdb"), dir.file("b/z.pdb"));
  ASSERT_EQ(std::system(("gzip " + dir.file("a/z.pdb") + " && bzip2 " + dir.file("b/z.pdb") + " && mv " +
                         dir.file("b/z.pdb.bz2") + " " + dir.file("a/z.pdb.bz2"))
                            .c_str()),
            0);
  fs::copy_file(shared_pdb("mustang-testdata/1zaa2.pdb"), dir.file("a/x y.pdb"));
  fs::copy_file(shared_pdb("mustang-testdata/1zaa3.pdb"), dir.file("a/x_y.pdb"));
  write_file(dir.file("targets.txt"), "a/1ard.pdb\na/1sp1.pdb\nb/1sp1.pdb\nb/1ard.pdb\na/z.pdb.gz\n"
                                      "a/z.pdb.bz2\n");
  const std::string cwd = fs::canonical(dir.path).string() + "/";
  Outcome r = testutil::run_trel2(dir.str(), {"-many", "a/1ard.pdb", "b/1ard.pdb", "a/x_y.pdb", "a/x y.pdb", "-target=targets.txt"});
  ASSERT_EQ(r.status, 0) << r.out;
  for (const std::string& w : std::vector<std::string>{
           "b/1ard.pdb has the name 1ard of a/1ard.pdb: it is named 1ard_2, read from its own file and not cached.\n",
        "a/x y.pdb has the name x_y of a/x_y.pdb: it is named x_y_2",
        cwd + "b/1sp1.pdb has the name 1sp1 of " + cwd + "a/1sp1.pdb: it is named 1sp1_2",
        cwd + "a/z.pdb.bz2 has the name z~pdb of " + cwd + "a/z.pdb.gz: it is named z~pdb_2"})
    EXPECT_TRUE(has(r.out, "*Warning* " + w)) << w << "\n" << r.out;
  // The queries' own files among the targets take the queries' names.
  const Names all{"1ard", "1ard_2", "1sp1", "1sp1_2", "z~pdb", "z~pdb_2"};
  for (const char* q : {"1ard", "1ard_2", "x_y", "x_y_2"}) EXPECT_EQ(searched(dir, q), all) << q;
  // Each query's tables are its own: the best hit of each is its own file.
  for (const std::string q : {"1ard", "1ard_2"}) {
    std::istringstream in(read_file(dir.file("trel_results/" + q + "/" + q + ".knames")));
    std::string first;
    in >> first;
    EXPECT_EQ(first, q) << q;
  }
}

// Chain breaks of the targets: one line on the screen with the number of
// files that have them; every break is in the log file.
TEST_F(Inputs, ChainBreaksGiveOneLineAndTheirListInTheLog) {
  TempDir dir;
  copyPdb(dir, "tg", {"1sp1", "1znm", "1ard"});
  Outcome r = testutil::run_trel2(dir.str(), {"tg/1sp1.pdb", "-target=tg"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(has(r.out, "*Warning* Chain break ")) << r.out;
  EXPECT_TRUE(has(r.out, "*Warning* Chain breaks in 1 structure file: each break is listed in the log file "
                         "./trel_results/trel.log\n"))
      << r.out;
  EXPECT_TRUE(has(read_file(dir.file("trel_results/trel.log")), "*Warning* Chain break O:F-6 <--> O:C-9 in file 1znm\n"));
}

TEST_F(Inputs, BrokenAndMissingInputsStopTheRun) {
  TempDir dir;
  copyPdb(dir, ".", {"1ard", "1znf"});
  writeCaOnly(shared_pdb("mustang-testdata/1sp1.pdb"), dir.file("ca.pdb"));

  Outcome query = testutil::run_trel2(dir.str(), {"ca.pdb", "1znf.pdb"});
  EXPECT_EQ(query.status, 1);
  EXPECT_TRUE(has(query.out, "*Error* Failed to load broken PDB query (perhaps CA-only): ca.pdb\n"
                             "(use -broken to load broken PDB files)\n"))
      << query.out;

  Outcome target = testutil::run_trel2(dir.str(), {"1ard.pdb", "1znf.pdb", "ca.pdb"});
  EXPECT_EQ(target.status, 1);
  EXPECT_TRUE(has(target.out, "*Error* Failed to load broken PDB target: ca.pdb\n"
                              "(use -broken to load broken PDB files)\n"))
      << target.out;
  EXPECT_FALSE(fs::exists(dir.file("trel_results/1ard/1ard.knames")));

  Outcome allowed = testutil::run_trel2(dir.str(), {"-broken", "1ard.pdb", "1znf.pdb", "ca.pdb"});
  ASSERT_EQ(allowed.status, 0) << allowed.out;
  EXPECT_TRUE(has(allowed.out, "*Warning* Broken target PDB structure (perhaps CA-only): ca.pdb\n"));
  const Names hits = searched(dir, "1ard");
  EXPECT_NE(std::find(hits.begin(), hits.end(), "1znf"), hits.end());

  Outcome missing = testutil::run_trel2(dir.str(), {"1ard.pdb", "missing.pdb"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(has(missing.out, "*Error* File not found: missing.pdb\n")) << missing.out;

  // A list file or folder that is not there, for each option that takes one.
  for (const char* opt : {"-read", "-source", "-target", "-only"}) {
    SCOPED_TRACE(opt);
    Outcome r = testutil::run_trel2(dir.str(), {"1ard.pdb", "1znf.pdb", std::string(opt) + "=nolist.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "*Error* File not found: nolist.txt\n")) << r.out;
    EXPECT_FALSE(has(r.out, "Rank"));
  }
}

// With -broken a broken target longer than every query is still aligned (the
// buffers are sized for it), and a query without residues still stops the run.
TEST_F(Inputs, BrokenLongTargetAlignsAndEmptyQueryStops) {
  TempDir dir;
  copyPdb(dir, ".", {"1ard"});
  // A CA-only chain of 120 residues: longer than the 29-residue query.
  std::string text;
  for (int i = 0; i < 120; i++) {
    char line[96];
    snprintf(line, sizeof line, "ATOM  %5d  CA  ALA A%4d    %8.3f%8.3f%8.3f  1.00  0.00           C\n",
             i + 1, i + 1, 1.5 * i, 2.3 * (i % 2), 0.0);
    text += line;
  }
  write_file(dir.file("long_ca.pdb"), text + "END\n");
  Outcome r = testutil::run_trel2(dir.str(), {"-broken", "1ard.pdb", "long_ca.pdb"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(has(r.out, "cannot hold")) << r.out;
  EXPECT_FALSE(has(r.out, "EXCEEDING PHYSICAL MEMORY")) << r.out;

  write_file(dir.file("empty.pdb"), "");
  Outcome e = testutil::run_trel2(dir.str(), {"-broken", "empty.pdb", "1ard.pdb"});
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(has(e.out, "*Error* Failed to open query: empty.pdb\n")) << e.out;
  EXPECT_FALSE(has(e.out, "use -broken")) << e.out;
  EXPECT_FALSE(has(e.out, "Rank"));
}

// 1sp1 as a bzip2 file of two streams, its first 8000 bytes and the rest
// (the first ending within a line), as parallel packers write a large file
// and cat makes one: scored as the plain file is (G 20.89 over 28 residues,
// where the first stream alone gave 10.83 over 14), without the object cache
// and with it, cold and warm.
TEST_F(Inputs, Bzip2FileOfTwoStreamsScoresAsThePlainFile) {
  TempDir dir;
  copyPdb(dir, ".", {"1ard", "1zaa1", "1sp1"});
  const std::string text = read_file(dir.file("1sp1.pdb"));
  std::string packed;
  for (const std::string& part : {text.substr(0, 8000), text.substr(8000)}) {
    _zam_file* f = zam_fopen(dir.file("part.bz2").c_str(), "w");
    ASSERT_TRUE(f);
    ASSERT_EQ(zam_fwrite(f, part.data(), static_cast<int64_t>(part.size())), static_cast<int64_t>(part.size()));
    ASSERT_EQ(zam_fclose(f), 0);
    packed += read_file(dir.file("part.bz2"));
  }
  fs::create_directory(dir.file("bz"));
  write_file(dir.file("bz/1sp1.pdb.bz2"), packed);
  // The table of a run, the packed file's name given as the plain one's.
  const auto table = [&](const std::string& results, const std::string& target, bool cached) {
    std::vector<std::string> args = {"1ard.pdb", "1zaa1.pdb", target}, env = {"TREL_RESULTS=" + results};
    if (cached) {
      args.insert(args.begin(), "-cache");
      env.push_back("TREL_CACHE=" + dir.file("cache"));
    }
    const Outcome r = testutil::run_trel2(dir.str(), args, env);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(has(r.out, "Bad ATOM")) << r.out;
    std::string t = read_file(dir.file(results + "/1ard/1ard.ktops"));
    for (size_t at; (at = t.find("1sp1~pdb")) != std::string::npos;) t.replace(at, 8, "1sp1");
    return t;
  };
  const std::string plain = table("plain", "1sp1.pdb", false);
  ASSERT_TRUE(has(plain, "    16.07    20.89 ")) << plain;
  EXPECT_EQ(table("packed", "bz/1sp1.pdb.bz2", false), plain);
  EXPECT_EQ(table("cold", "bz/1sp1.pdb.bz2", true), plain);
  EXPECT_TRUE(fs::exists(dir.file("cache/1sp1~pdb.pdb")));
  EXPECT_EQ(table("warm", "bz/1sp1.pdb.bz2", true), plain);
}

TEST_F(Inputs, SecondCachedRunBuildsNothing) {
  TempDir dir;
  const std::vector<std::string> structures = {"1ard", "1sp1", "1zaa1"};
  copyPdb(dir, "src", structures);
  const std::vector<std::string> args = {"-cache", "src/1ard.pdb", "src/1sp1.pdb", "src/1zaa1.pdb"};
  const std::vector<std::string> env = {"TREL_CACHE=" + dir.file("cache")};

  Outcome first = testutil::run_trel2(dir.str(), args, env);
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_TRUE(has(first.out, "Creating CACHE directory: " + dir.file("cache") + "/\n")) << first.out;

  // Every object leaves its tag, trace and image; they are dated back an hour
  // so that any rewrite shows.
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  std::map<std::string, fs::file_time_type> stamps;
  for (const std::string& s : structures) {
    for (const char* ext : {".trq", ".trc", ".pdb"}) {
      const std::string f = dir.file("cache/" + s + ext);
      ASSERT_TRUE(fs::exists(f)) << f;
      fs::last_write_time(f, old);
      stamps[f] = fs::last_write_time(f);
    }
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("cache")), fs::directory_iterator()), 9);

  // The hit lists, scores and superpositions of the first run. A PDB file's
  // dated "written by" line is left out.
  const auto result = [&](const std::string& name) {
    std::istringstream in(read_file(dir.file("trel_results/1ard/" + name)));
    std::string text;
    for (std::string line; std::getline(in, line);)
      if (line.rfind("REMARK  File written by", 0) != 0) text += line + "\n";
    return text;
  };
  std::map<std::string, std::string> results;
  for (const char* ext : {".knames", ".krank", ".khits", ".ktops", ".kcode", ".kroc"})
    results[std::string("1ard") + ext] = result(std::string("1ard") + ext);
  for (const char* target : {"1sp1", "1zaa1"})
    for (const char* ext : {".kpairs", ".mat", ".krmsd", ".pdb"})
      results[target + std::string("_1ard") + ext] = result(target + std::string("_1ard") + ext);
  ASSERT_NE(results["1ard.krank"], "");
  ASSERT_NE(results["1sp1_1ard.pdb"], "");
  fs::remove_all(dir.file("trel_results"));

  // The sources were copied just before the first run: it could not yet
  // trust their file identities, so a later run reads them and its tags
  // learn the identities once the sources have settled (a fraction of a
  // second; only the tag files are written, once each); from then on a
  // run rewrites nothing at all.
  int learned = 0, quiet = 0;
  for (int run = 2; run <= 40 && quiet < 2; run++) {
    fs::remove_all(dir.file("trel_results"));
    Outcome again = testutil::run_trel2(dir.str(), args, env);
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_TRUE(has(again.out, "Using CACHE directory: " + dir.file("cache") + "/\n")) << again.out;
    EXPECT_FALSE(has(again.out, "*Error*")) << again.out;
    int rewritten = 0;
    for (auto& [f, t] : stamps) {
      const bool tag = f.size() > 4 && f.compare(f.size() - 4, 4, ".trq") == 0;
      if (fs::last_write_time(f) == t) continue;
      EXPECT_TRUE(tag) << f << " was rewritten in run " << run;
      rewritten++;
      fs::last_write_time(f, old);
      t = fs::last_write_time(f);
    }
    learned += rewritten;
    quiet = rewritten == 0 ? quiet + 1 : 0;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("cache")), fs::directory_iterator()), 9);
    for (const auto& [name, text] : results) EXPECT_EQ(result(name), text) << name;
  }
  EXPECT_EQ(quiet, 2);
  EXPECT_LE(learned, 3);  // each tag at most once
}

}  // namespace
