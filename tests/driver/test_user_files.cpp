// Runs that share a folder with the user's own files, as a user points the
// tool at them: the inputs of every mode, files behind links at result
// names, a log named like an existing file, purge, database build and
// delete. Every file the tool did not write keeps its bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;
using testutil::write_file;

Outcome run(const std::string& cwd, std::vector<std::string> args, std::vector<std::string> env = {}) {
  return testutil::run_trel(cwd, std::move(args), std::move(env));
}

// Files planted in a folder with their bytes, to be found unchanged later.
struct Planted {
  std::map<std::string, std::string> files;  // path -> bytes
  void pdb(const TempDir& dir, const std::string& name, const std::string& as) {
    fs::create_directories(fs::path(dir.file(as)).parent_path());
    const std::string bytes = read_file(shared_pdb("mustang-testdata/" + name + ".pdb"));
    write_file(dir.file(as), bytes);
    files[dir.file(as)] = bytes;
  }
  void text(const TempDir& dir, const std::string& as, const std::string& bytes) {
    fs::create_directories(fs::path(dir.file(as)).parent_path());
    write_file(dir.file(as), bytes);
    files[dir.file(as)] = bytes;
  }
  void expectKept() const {
    for (const auto& [path, bytes] : files) {
      struct stat st;
      EXPECT_TRUE(lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) << path << " is gone or no file";
      EXPECT_EQ(read_file(path), bytes) << path << " changed";
    }
  }
};

class UserFiles : public ::testing::Test {
 protected:
  void SetUp() override { TREL_REQUIRE_SHARED_DATA(); }
};

// With the inputs' folder as the results folder, no mode writes over an
// input: the multiple alignment's superposed copies, a search's query file
// of an input named like one, and the ideal backbones are refused with a
// warning naming them, and the other results are written.
TEST_F(UserFiles, NoModeWritesOverItsInputs) {
  TempDir dir;
  Planted user;
  for (const char* n : {"1sp1", "1ard", "5znf", "1zfd"}) user.pdb(dir, n, std::string(n) + ".pdb");
  Outcome multi = run(dir.str(), {"-multi", "-nosubdirs", "1sp1.pdb", "1ard.pdb", "5znf.pdb", "1zfd.pdb"},
                      {"TREL_RESULTS=."});
  EXPECT_EQ(multi.status, 0) << multi.out;
  EXPECT_TRUE(has(multi.out, "Not writing ./5znf.pdb: it is an input file")) << multi.out;
  EXPECT_TRUE(fs::exists(dir.file("1ard_multi.kmsa")));
  user.expectKept();

  // A search whose second input is named as the first one's query copy,
  // given through a target list under another relative path.
  TempDir s;
  Planted mine;
  mine.pdb(s, "1sp1", "q.pdb");
  mine.pdb(s, "1sp2", "q_query.pdb");
  mine.pdb(s, "1ard", "x.pdb");
  mine.text(s, "targets.txt", "./q_query.pdb\nx.pdb\n");
  Outcome search = run(s.str(), {"-nosubdirs", "-target=targets.txt", "q.pdb"}, {"TREL_RESULTS=."});
  EXPECT_EQ(search.status, 0) << search.out;
  EXPECT_TRUE(has(search.out, "Not writing ./q_query.pdb: it is an input file")) << search.out;
  EXPECT_TRUE(fs::exists(s.file("x_q.kpairs")));
  mine.expectKept();

  // The descriptor exports of -pdb -spf: a target list named like one.
  mine.text(s, "x_q_B_sig.dat", "./q_query.pdb\nx.pdb\n");
  Outcome spf = run(s.str(), {"-nosubdirs", "-pdb", "-spf", "-target=x_q_B_sig.dat", "q.pdb"}, {"TREL_RESULTS=."});
  EXPECT_EQ(spf.status, 0) << spf.out;
  EXPECT_TRUE(has(spf.out, "Not writing ./x_q_B_sig.dat: it is an input file")) << spf.out;
  EXPECT_TRUE(has(read_file(s.file("x_q_B_tau.dat")), "n_max = "));
  mine.expectKept();

  // -test refuses the backbone named like its input, writes the others and fails.
  mine.pdb(s, "1ard", "alpha.pdb");
  Outcome test = run(s.str(), {"-test", "q.pdb", "alpha.pdb"}, {"TREL_RESULTS=."});
  EXPECT_EQ(test.status, 1);
  EXPECT_TRUE(has(test.out, "Not writing ./alpha.pdb: it is an input file")) << test.out;
  EXPECT_TRUE(has(test.out, "*Error* 1 of the 3 ideal backbone files could not be written.")) << test.out;
  EXPECT_TRUE(has(read_file(s.file("beta.pdb")), "ATOM  "));
  mine.expectKept();
}

// A symbolic link at the name of an ideal backbone, a theoretical model or
// a secondary-structure file is replaced by the file, never written
// through: the file it points at, outside the folder, keeps its bytes.
TEST_F(UserFiles, LinksAtResultNamesAreReplacedNotFollowed) {
  TempDir dir;
  Planted user;
  user.text(dir, "outside/precious.txt", "mine\n");
  user.pdb(dir, "1sp1", "w/q.pdb");
  user.pdb(dir, "1ard", "w/t.pdb");
  user.pdb(dir, "1zaa1", "w/m.pdb");
  for (const char* link : {"w/beta.pdb", "w/m_3.pdb", "w/p.ss"})
    fs::create_symlink(dir.file("outside/precious.txt"), dir.file(link));
  const std::string w = dir.file("w");
  EXPECT_EQ(run(w, {"-test", "q.pdb", "t.pdb"}, {"TREL_RESULTS=."}).status, 0);
  EXPECT_EQ(run(w, {"-theor=m.pdb"}, {"TREL_RESULTS=."}).status, 0);
  user.pdb(dir, "1sp1", "w/p.pdb");
  Outcome pre = run(w, {"-preprocess", "-sse", "p.pdb"});
  EXPECT_EQ(pre.status, 0) << pre.out;
  user.files.erase(dir.file("w/p.pdb"));  // rewritten in place, as asked
  for (const char* link : {"w/beta.pdb", "w/m_3.pdb", "w/p.ss"}) {
    EXPECT_FALSE(fs::is_symlink(dir.file(link))) << link;
    EXPECT_TRUE(fs::is_regular_file(dir.file(link))) << link;
  }
  EXPECT_TRUE(has(read_file(dir.file("w/m_3.pdb")), "ATOM  "));
  EXPECT_EQ(read_file(dir.file("w/p.ss")).rfind("29 ", 0), 0u);
  user.expectKept();
}

// The names in folder (not entering sub-folders) but the logs'.
std::set<std::string> names(const std::string& folder) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().rfind("trel.log", 0) != 0) out.insert(e.path().filename().string());
  return out;
}

// A file of the user's at a result's name is moved aside to a numbered name
// before the result takes the name, said in one line for the run: results
// in the working folder, a theoretical model, and a secondary-structure
// file beside its structure (PSIPRED writes NAME.ss too). Reruns into the
// same folders take over their own earlier files and set nothing aside.
TEST_F(UserFiles, AUsersFileAtAResultsNameIsMovedAside) {
  TempDir dir;
  Planted user;
  for (const char* n : {"1sp1", "1ard", "5znf"}) user.pdb(dir, n, std::string(n) + ".pdb");
  write_file(dir.file("1ard_1sp1.fasta"), "my notes\n");
  write_file(dir.file("1sp1.khits"), "my hits\n");
  write_file(dir.file("1sp1_2.pdb"), "my model\n");
  user.pdb(dir, "1sp1", "w/1sp1.pdb");
  write_file(dir.file("w/1sp1.ss"), "my psipred\n");
  const std::vector<std::string> search = {"-nosubdirs", "1sp1.pdb", "1ard.pdb", "5znf.pdb"};
  Outcome first = run(dir.str(), search, {"TREL_RESULTS=."});
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(testutil::occurrences(first.out, "no record shows trel wrote"), 1) << first.out;
  EXPECT_TRUE(has(first.out, "Kept 2 files that no record shows trel wrote under numbered names")) << first.out;
  EXPECT_EQ(read_file(dir.file("1ard_1sp1.fasta.1")), "my notes\n");
  EXPECT_EQ(read_file(dir.file("1sp1.khits.1")), "my hits\n");
  EXPECT_EQ(read_file(dir.file("1ard_1sp1.fasta")).rfind(">", 0), 0u);
  Outcome theor = run(dir.str(), {"-theor=1sp1.pdb"}, {"TREL_RESULTS=."});
  EXPECT_EQ(theor.status, 0) << theor.out;
  EXPECT_TRUE(has(theor.out, "Kept ./1sp1_2.pdb, which no record shows trel wrote, as ./1sp1_2.pdb.1")) << theor.out;
  EXPECT_EQ(read_file(dir.file("1sp1_2.pdb.1")), "my model\n");
  Outcome pre = run(dir.str(), {"-preprocess", "-sse", "w"});
  EXPECT_EQ(pre.status, 0) << pre.out;
  EXPECT_TRUE(has(pre.out, "Kept " + dir.file("w/1sp1.ss") + ", which no record shows trel wrote")) << pre.out;
  EXPECT_EQ(read_file(dir.file("w/1sp1.ss.1")), "my psipred\n");
  EXPECT_EQ(read_file(dir.file("w/1sp1.ss")).rfind("29 ", 0), 0u);

  const std::set<std::string> before = names(dir.str()), before_w = names(dir.file("w"));
  for (const Outcome& again : {run(dir.str(), search, {"TREL_RESULTS=."}),
                               run(dir.str(), {"-theor=1sp1.pdb"}, {"TREL_RESULTS=."}),
                               run(dir.str(), {"-preprocess", "-sse", "w"})}) {
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_FALSE(has(again.out, "no record shows trel wrote")) << again.out;
  }
  EXPECT_EQ(names(dir.str()), before);
  EXPECT_EQ(names(dir.file("w")), before_w);
  user.files.erase(dir.file("w/1sp1.pdb"));  // rewritten in place, as asked
  user.expectKept();
}

// An input is never the log: named on the command line it is refused
// before anything is written; named by a list it keeps its name and the
// log takes a numbered one. An earlier file at the log's name is kept under
// a numbered name that the run says.
TEST_F(UserFiles, TheLogNeverTakesAnInputsPlace) {
  TempDir dir;
  Planted user;
  user.pdb(dir, "1ard", "1ard.pdb");
  user.pdb(dir, "1sp1", "1sp1.pdb");
  user.text(dir, "list.txt", "1ard.pdb\n");
  Outcome named = run(dir.str(), {"-log=1ard.pdb", "1sp1.pdb", "1ard.pdb"});
  EXPECT_EQ(named.status, 1);
  EXPECT_TRUE(has(named.out, "*Error* The log file 1ard.pdb is an input file of this run")) << named.out;
  EXPECT_FALSE(fs::exists(dir.file("trel_results")));
  Outcome listed = run(dir.str(), {"-log=1ard.pdb", "-read=list.txt", "1sp1.pdb"}, {"TREL_LOG=x"});
  EXPECT_EQ(listed.status, 0) << listed.out;
  EXPECT_TRUE(has(listed.out, "is an input file of this run, left as it is.")) << listed.out;
  EXPECT_TRUE(has(read_file(dir.file("1ard.pdb.1")), " log stopping at "));
  user.expectKept();

  write_file(dir.file("notes.log"), "my notes\n");
  Outcome aside = run(dir.str(), {"-log=notes.log", "1sp1.pdb", "1ard.pdb"});
  EXPECT_EQ(aside.status, 0) << aside.out;
  EXPECT_TRUE(has(aside.out, "The earlier file notes.log is kept as notes.log.1\n")) << aside.out;
  EXPECT_EQ(read_file(dir.file("notes.log.1")), "my notes\n");
}

// -server writes its results and its log into the working folder, which
// needs no results folder.
TEST_F(UserFiles, ServerLogsIntoTheWorkingFolder) {
  TempDir dir;
  Planted user;
  user.pdb(dir, "1ard", "1ard.pdb");
  user.pdb(dir, "1zaa1", "1zaa1.pdb");
  Outcome server = run(dir.str(), {"-server", "1ard.pdb", "1zaa1.pdb"});
  EXPECT_EQ(server.status, 0) << server.out;
  EXPECT_TRUE(has(read_file(dir.file("trel.log")), " log stopping at "));
  EXPECT_FALSE(fs::exists(dir.file("trel_results")));
  user.expectKept();
}

// A build never goes into a folder of the database's name that holds no
// database, and -delete removes only the files the database's records
// name: a member's coefficient files of a database built without them, or
// its image of the other kind, are the user's.
TEST_F(UserFiles, DatabasesTouchOnlyTheirOwnFiles) {
  TempDir dir;
  Planted user;
  user.pdb(dir, "1ard", "src/1ard.pdb");
  user.pdb(dir, "1sp1", "src/1sp1.pdb");
  user.pdb(dir, "1zaa1", "db/zf_trel/1ard.pdb");  // another structure under a member's name
  user.text(dir, "db/zf_trel/notes.txt", "mine\n");
  const std::vector<std::string> env = {"TREL_DATABASE=" + dir.file("db")};
  Outcome into = run(dir.str(), {"-build=zf", "src/1ard.pdb", "src/1sp1.pdb"}, env);
  EXPECT_EQ(into.status, 1);
  EXPECT_TRUE(has(into.out, "holds no database")) << into.out;
  user.expectKept();
  EXPECT_FALSE(fs::exists(dir.file("db/zf_trel/master.dat")));

  Outcome build = run(dir.str(), {"-build=mine", "src/1ard.pdb", "src/1sp1.pdb"}, env);
  ASSERT_EQ(build.status, 0) << build.out;
  ASSERT_TRUE(fs::exists(dir.file("db/mine_trel/1ard.pdb")));
  user.text(dir, "db/mine_trel/1ard_A.sig", "not the database's\n");
  user.text(dir, "db/mine_trel/1ard.kpdb", "not the database's\n");
  Outcome del = run(dir.str(), {"-delete", "-db=mine"}, env);
  EXPECT_EQ(del.status, 0) << del.out;
  EXPECT_TRUE(has(del.out, "Kept 2 files in ")) << del.out;
  for (const char* gone : {"master.dat", "names.dat", "1ard.pdb", "1sp1.pdb"})
    EXPECT_FALSE(fs::exists(dir.file(std::string("db/mine_trel/") + gone))) << gone;
  user.expectKept();
}

// The translation-matrix cache folder in the working folder: a user's own
// keeps its mode and is not said to be created.
TEST_F(UserFiles, AnExistingMatrixCacheFolderKeepsItsMode) {
  TempDir dir;
  write_file(dir.file("q.pdb"), "END\n");
  write_file(dir.file("t.pdb"), "END\n");
  fs::create_directory(dir.file("zam_cache"));
  fs::permissions(dir.file("zam_cache"), fs::perms(0755));
  Outcome r = run(dir.str(), {"-q3", "q.pdb", "t.pdb"});
  EXPECT_FALSE(has(r.out, "Created cache directory")) << r.out;
  EXPECT_TRUE(has(r.out, "Using cache directory: " + dir.file("zam_cache"))) << r.out;
  EXPECT_EQ(fs::status(dir.file("zam_cache")).permissions(), fs::perms(0755));
}

// -purge removes only what the results folder's record proves the tool
// wrote: a folder only named like the results folder, and the user's files
// in the results folder (a file of a result's name changed since included),
// stay with their bytes, and the purge's log stays beside them; a refused
// purge stays refused.
TEST_F(UserFiles, PurgeRemovesOnlyWhatTheToolWrote) {
  TempDir dir;
  Planted user;
  user.pdb(dir, "1sp1", "1sp1.pdb");
  user.pdb(dir, "1ard", "1ard.pdb");
  user.text(dir, "trel_results.mine/notes.txt", "mine\n");
  Outcome mine = run(dir.str(), {"-purge"}, {"TREL_RESULTS=trel_results.mine"});
  EXPECT_EQ(mine.status, 1);
  EXPECT_TRUE(has(mine.out, "which is not safe for purge!")) << mine.out;
  user.expectKept();

  ASSERT_EQ(run(dir.str(), {"1sp1.pdb", "1ard.pdb"}).status, 0);
  ASSERT_TRUE(fs::exists(dir.file("trel_results/1sp1/1sp1.ktops")));
  user.text(dir, "trel_results/1sp1/mine.txt", "mine\n");
  user.text(dir, "trel_results/1sp1/1sp1.ktops", "edited by the user\n");
  Outcome purge = run(dir.str(), {"-purge"});
  EXPECT_EQ(purge.status, 0) << purge.out;
  EXPECT_TRUE(has(purge.out, "Kept 2 files in ./trel_results/")) << purge.out;
  EXPECT_FALSE(fs::exists(dir.file("trel_results/1sp1/1ard_1sp1.kpairs")));
  EXPECT_TRUE(has(read_file(dir.file("trel_results/trel.log")), "Kept 2 files"));  // the purge's own
  user.expectKept();
  // Once the user's files are gone, the folder goes whole, that log too.
  for (const char* f : {"trel_results/1sp1/mine.txt", "trel_results/1sp1/1sp1.ktops"}) {
    fs::remove(dir.file(f));
    user.files.erase(dir.file(f));
  }
  Outcome again = run(dir.str(), {"-purge"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_FALSE(fs::exists(dir.file("trel_results"))) << again.out;

  // A refused purge leaves no record behind: run again, it is refused again.
  user.text(dir, "trel_results/notes.txt", "mine\n");
  for (int k = 0; k < 2; k++) {
    Outcome refused = run(dir.str(), {"-purge"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(has(refused.out, "holds no record of the files trel wrote in it")) << refused.out;
  }
  user.expectKept();
}

}  // namespace
