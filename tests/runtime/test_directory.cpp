// Paths, folders and file names: every rule of the path strings, the limit on
// path length, folder tests and listings, glob flags and tree deletion.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"
#include "runtime/zam_vm.h"

using testutil::TempDir;
using testutil::write_file;
namespace fs = std::filesystem;

namespace {

using Capture = testutil::LineCapture;

std::string cwd() { return fs::current_path().string(); }

char buf[300];

}  // namespace

TEST(PathStrings, DirectoryPart) {
  EXPECT_STREQ(zam_dirname("/data/x.pdb", buf), "/data");
  EXPECT_STREQ(zam_dirname("x.pdb", buf), "x.pdb");
  EXPECT_STREQ(zam_dirname("/x.pdb", buf), "/");
  EXPECT_STREQ(zam_dirname("/", buf), "/");
  EXPECT_EQ(std::string(zam_dirname("", buf)), cwd());
  EXPECT_EQ(std::string(zam_dirname(".", buf)), cwd());
  EXPECT_STREQ(zam_dirname("a/b/", buf), "a/b");
  EXPECT_STREQ(zam_dirname("a\\b.pdb", buf), "a");
  EXPECT_STREQ(zam_dirname("./x", buf), ".");
  EXPECT_STREQ(zam_fileslash(), "/");
  EXPECT_EQ(std::string(zam_cwdname(buf)), cwd());
}

TEST(PathStrings, BaseRootEndAndExtension) {
  EXPECT_STREQ(zam_basename("a/b/", buf), "b/");
  EXPECT_STREQ(zam_basename("/data/x.pdb", buf), "x.pdb");
  EXPECT_STREQ(zam_basename("x", buf), "x");
  EXPECT_STREQ(zam_basename("/", buf), "/");
  EXPECT_STREQ(zam_basename("c:\\d\\e.pdb", buf), "e.pdb");
  char* p = zam_basename("/q/r", buf);
  EXPECT_EQ(p, buf + 3);  // points into the buffer

  EXPECT_STREQ(zam_rootname("a.b.c", buf), "a.b");
  EXPECT_STREQ(zam_rootname("name.", buf), "name");
  EXPECT_STREQ(zam_rootname(".bashrc", buf), ".bashrc");
  EXPECT_STREQ(zam_rootname("/d.old/file", buf), "file");
  EXPECT_STREQ(zam_rootname("/p/a.pdb.gz", buf), "a.pdb");
  EXPECT_STREQ(zam_rootname("dir/.hidden.x", buf), ".hidden");

  p = zam_endname("dir.old/file", buf);
  EXPECT_STREQ(p, ".old/file");
  EXPECT_STREQ(buf, "dir.old/file");
  p = zam_endname("noext", buf);
  EXPECT_STREQ(p, "");
  EXPECT_EQ(p, buf + 5);
  EXPECT_STREQ(zam_endname(".x", buf), ".x");
  EXPECT_STREQ(zam_endname("a.pdb.gz", buf), ".gz");

  p = zam_extname("/p/a.pdb.gz", buf);
  EXPECT_STREQ(p, ".pdb.gz");
  EXPECT_STREQ(buf, "a.pdb.gz");
  EXPECT_STREQ(zam_extname("/p/.rc", buf), ".rc");
  p = zam_extname("d.x/plain", buf);
  EXPECT_STREQ(p, "");
  EXPECT_STREQ(buf, "plain");
}

TEST(PathStrings, FileNameWithNewExtension) {
  EXPECT_STREQ(zam_filename("/data/1abc.pdb", "trq", buf), "/data/1abc.trq");
  EXPECT_STREQ(zam_filename("1abc.pdb.gz", "trc", buf), "1abc.pdb.trc");
  EXPECT_STREQ(zam_filename(".hidden", "trc", buf), ".hidden.trc");
  EXPECT_STREQ(zam_filename("d/.hidden", "x", buf), "d/.hidden.x");
  EXPECT_STREQ(zam_filename("rel/dir/name", "tag", buf), "rel/dir/name.tag");
  EXPECT_STREQ(zam_filename("name.", "tag", buf), "name.tag");
  EXPECT_STREQ(zam_filename("/x.pdb", "trc", buf), "//x.trc");  // the root part is "/"
  // The input may live in the output buffer.
  strcpy(buf, "/p/q/name.pdb");
  EXPECT_STREQ(zam_filename(buf, "trc", buf), "/p/q/name.trc");
  EXPECT_STREQ(zam_rootname(buf, buf), "name");
}

TEST(PathStrings, SlashJoinAndEnvironment) {
  EXPECT_STREQ(zam_pathslash("", buf), "./");
  EXPECT_STREQ(zam_pathslash("a", buf), "a/");
  EXPECT_STREQ(zam_pathslash("a/", buf), "a/");

  EXPECT_STREQ(zam_catpath("a/b/", "c", buf), "a/b/c");
  EXPECT_STREQ(zam_catpath("a/b", "c.pdb", buf), "a/b/c.pdb");
  EXPECT_STREQ(zam_catpath("a/b/", ".", buf), "a/b");
  EXPECT_STREQ(zam_catpath("a/b/", "..", buf), "a");
  EXPECT_STREQ(zam_catpath("x/y", "..\\", buf), "x");
  EXPECT_STREQ(zam_catpath("/a", "../", buf), "/");
  EXPECT_STREQ(zam_catpath("b", "..", buf), ".");
  EXPECT_STREQ(zam_catpath("/", "x", buf), "/x");
  EXPECT_STREQ(zam_catpath("a//", "x", buf), "a/x");
  EXPECT_STREQ(zam_catpath("a", "...", buf), "a/...");

  const char* old_root = getenv("ZAM_ROOT");
  std::string saved = old_root ? old_root : "";
  setenv("ZAM_ROOT", "/opt/zam", 1);
  setenv("RT2_PATH_TEST", "/given/place", 1);
  EXPECT_STREQ(zam_make_path("RT2_PATH_TEST", "/data", buf), "/given/place");
  setenv("RT2_PATH_TEST", "", 1);
  EXPECT_STREQ(zam_make_path("RT2_PATH_TEST", "/data", buf), "/opt/zam/data");
  unsetenv("RT2_PATH_TEST");
  unsetenv("ZAM_ROOT");
  EXPECT_STREQ(zam_make_path("RT2_PATH_TEST", "/data", buf), "/data");
  if (old_root) setenv("ZAM_ROOT", saved.c_str(), 1);
}

TEST(PathStrings, OverLongPathsAreRefused) {
  Capture cap;
  std::string at_limit = "/" + std::string(251, 'a') + ".pdb";  // 256 characters
  ASSERT_EQ(at_limit.size(), 256u);
  EXPECT_EQ(std::string(zam_dirname(at_limit.c_str(), buf)), "/");
  EXPECT_EQ(std::string(zam_basename(at_limit.c_str(), buf)), at_limit.substr(1));
  EXPECT_TRUE(cap.lines.empty());

  std::string too_long = at_limit + "x";
  for (auto fn : {zam_dirname, zam_basename, zam_rootname, zam_endname, zam_extname, zam_pathslash}) {
    strcpy(buf, "stale");
    EXPECT_STREQ(fn(too_long.c_str(), buf), "");
  }
  EXPECT_TRUE(cap.any("longer than 256"));
  EXPECT_TRUE(cap.any("*Error* zam_dirname"));

  // A result that would not fit is refused too.
  cap.lines.clear();
  std::string near = std::string(250, 'n') + ".pdb";
  EXPECT_STREQ(zam_filename(near.c_str(), "longext", buf), "");
  EXPECT_TRUE(cap.any("zam_filename: result of 258 characters"));
  EXPECT_STREQ(zam_filename(near.c_str(), "ext", buf), (std::string(250, 'n') + ".ext").c_str());
  // The string form has no limit; a name ending in '/' gives a result
  // longer than the name itself (the folder, then the name as its root).
  cap.lines.clear();
  EXPECT_EQ(zam_filenameS(near, "longext"), std::string(250, 'n') + ".longext");
  const std::string folder = std::string(300, 'f') + "/";
  EXPECT_EQ(zam_filenameS(folder, "pdb"), std::string(300, 'f') + "/" + folder + ".pdb");
  EXPECT_EQ(zam_filenameS("/data/1abc.pdb", "trq"), "/data/1abc.trq");
  EXPECT_TRUE(cap.lines.empty());
}

TEST(Folders, SizeTestAndCreate) {
  TempDir tmp;
  std::string file = tmp.file("f.txt");
  write_file(file, "12345");
  EXPECT_EQ(zam_filesize(file.c_str()), 5);
  EXPECT_EQ(zam_filesize(tmp.file("none").c_str()), -1);
  EXPECT_EQ(zam_isdir(tmp.str().c_str()), 1);
  EXPECT_EQ(zam_isdir(file.c_str()), 0);
  EXPECT_EQ(zam_isdir(tmp.file("none").c_str()), 0);

  std::string d = tmp.file("made");
  EXPECT_EQ(zam_mkdir(d.c_str(), 0700), 1);
  EXPECT_EQ(zam_isdir(d.c_str()), 1);
  // A folder there already, and one a link leads to, keep their modes: a
  // user's private folder never turns world-writable.
  const std::string link = tmp.file("via");
  ASSERT_EQ(symlink(d.c_str(), link.c_str()), 0);
  EXPECT_EQ(zam_mkdir(d.c_str(), 0777), 1);
  EXPECT_EQ(zam_mkdir(link.c_str(), 0777), 1);
  struct stat st;
  ASSERT_EQ(stat(d.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(zam_mkdir(tmp.file("no/parent").c_str(), 0755), 0);
  EXPECT_EQ(zam_mkdir(file.c_str(), 0755), 0);  // a file is in the way
}

// Two runs that share one results folder create it at the same moment: the
// one that loses the race finds the folder made by the other, which is no
// failure. Threads started together hit the window between the existence
// test and the creation in most trials.
TEST(Folders, FolderMadeMeanwhileByAnotherIsNoFailure) {
  TempDir tmp;
  constexpr int kTrials = 50, kRacers = 4;
  int failures = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    const std::string d = tmp.file("race" + std::to_string(trial));
    std::atomic<int> ready{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> racers;
    for (int r = 0; r < kRacers; ++r)
      racers.emplace_back([&] {
        ready.fetch_add(1);
        while (ready.load() < kRacers) {
        }
        if (zam_mkdir(d.c_str(), 0755) != 1) failed.fetch_add(1);
      });
    for (std::thread& t : racers) t.join();
    failures += failed.load();
    ASSERT_EQ(zam_isdir(d.c_str()), 1);
  }
  EXPECT_EQ(failures, 0);
}

TEST(Folders, FindDataFile) {
  TempDir tmp;
  std::string d1 = tmp.file("d1"), d2 = tmp.file("d2");
  fs::create_directory(d1);
  fs::create_directory(d2);
  const char* name = "rt2_find_me.dat";
  write_file(d1 + "/" + name, "");  // empty: skipped
  write_file(d2 + "/" + name, "abc");
  EXPECT_EQ(std::string(zam_findfile(name, buf, 4, nullptr, "", d1.c_str(), d2.c_str())),
            d2 + "/" + name);
  EXPECT_STREQ(zam_findfile(name, buf, 0), name);
  EXPECT_STREQ(zam_findfile(name, buf, 1, d1.c_str()), name);
  EXPECT_STREQ(zam_findfile("-", buf, 1, d2.c_str()), "-");
  EXPECT_STREQ(zam_findfile("sub/rt2_find_me.dat", buf, 1, d2.c_str()), "sub/rt2_find_me.dat");
}

TEST(Folders, ListingsMatchSortAndSkipDotNames) {
  TempDir tmp;
  for (const char* n : {"b.pdb", "a.pdb", "C.txt", ".hidden.pdb", "c.pdb"}) write_file(tmp.file(n), "x");
  fs::create_directory(tmp.file("sub.pdb"));

  int count = -1;
  char** names = kscanDir(tmp.str().c_str(), "*.pdb", &count);
  ASSERT_EQ(count, 4);
  std::vector<std::string> got(names, names + count);
  std::vector<std::string> want = {"a.pdb", "b.pdb", "c.pdb", "sub.pdb"};
  std::sort(want.begin(), want.end(),
            [](const std::string& a, const std::string& b) { return strcoll(a.c_str(), b.c_str()) < 0; });
  EXPECT_EQ(got, want);
  kfree(names);

  names = kscanDir(tmp.str().c_str(), "*", &count);
  EXPECT_EQ(count, 5);  // no "." or "..", no dot names
  for (int i = 0; i < count; i++) EXPECT_NE(names[i][0], '.');
  kfree(names);

  // Capitals, digits, bytes above 127 and prefixes in the collation's order.
  TempDir mixed;
  std::vector<std::string> all = {"b", "B", "a10", "a9", "a", "\xc3\xa9t\xc3\xa9", "_x", "~y", "Z1"};
  for (const std::string& n : all) write_file(mixed.file(n), "x");
  std::sort(all.begin(), all.end(),
            [](const std::string& a, const std::string& b) { return strcoll(a.c_str(), b.c_str()) < 0; });
  names = kscanDir(mixed.str().c_str(), "*", &count);
  ASSERT_EQ(count, static_cast<int>(all.size()));
  EXPECT_EQ(std::vector<std::string>(names, names + count), all);
  kfree(names);

  names = kscanDir(tmp.str().c_str(), ".*.pdb", &count);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(names[0], ".hidden.pdb");
  kfree(names);

  names = kscanDir(tmp.str().c_str(), "*.none", &count);
  EXPECT_NE(names, nullptr);  // readable, no match: an empty array
  EXPECT_EQ(count, 0);
  kfree(names);
  count = 7;
  EXPECT_EQ(kscanDir(tmp.file("missing").c_str(), "*", &count), nullptr);
  EXPECT_EQ(count, 0);

  names = zam_scandir(tmp.str().c_str(), "*.pdb", &count);
  ASSERT_EQ(count, 4);
  got.assign(names, names + count);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"a.pdb", "b.pdb", "c.pdb", "sub.pdb"}));
  for (int i = 0; i < count; i++) kfree(names[i]);
  kfree(names);
  EXPECT_EQ(zam_scandir(tmp.str().c_str(), "*.none", &count), nullptr);
  EXPECT_EQ(count, 0);
}

TEST(Folders, GlobFlags) {
  EXPECT_EQ(zam_fnmatch("*.pdb", "a.pdb", 0), 0);
  EXPECT_EQ(zam_fnmatch("*.pdb", "a.ent", 0), 1);
  EXPECT_EQ(zam_fnmatch("?b[c-e]", "abd", 0), 0);
  EXPECT_EQ(zam_fnmatch("a[!c-e]", "ad", 0), 1);
  EXPECT_EQ(zam_fnmatch("a[^c-e]", "ab", 0), 0);
  EXPECT_EQ(zam_fnmatch("a\\*", "a*", 0), 0);
  EXPECT_EQ(zam_fnmatch("a\\*", "ab", 0), 1);

  EXPECT_EQ(zam_fnmatch("*", "a/b", 0), 0);
  EXPECT_EQ(zam_fnmatch("*", "a/b", ZAM_FNM_PATHNAME), 1);
  EXPECT_EQ(zam_fnmatch("a?b", "a/b", ZAM_FNM_PATHNAME), 1);
  EXPECT_EQ(zam_fnmatch("a/*", "a/b", ZAM_FNM_PATHNAME), 0);

  EXPECT_EQ(zam_fnmatch("a\\b", "a\\b", ZAM_FNM_NOESCAPE), 0);
  EXPECT_EQ(zam_fnmatch("a\\b", "ab", ZAM_FNM_NOESCAPE), 1);
  EXPECT_EQ(zam_fnmatch("a\\b", "ab", 0), 0);

  EXPECT_EQ(zam_fnmatch("*", ".rc", 0), 0);
  EXPECT_EQ(zam_fnmatch("*", ".rc", ZAM_FNM_PERIOD), 1);
  EXPECT_EQ(zam_fnmatch("?rc", ".rc", ZAM_FNM_PERIOD), 1);
  EXPECT_EQ(zam_fnmatch(".*", ".rc", ZAM_FNM_PERIOD), 0);
  EXPECT_EQ(zam_fnmatch("a/*", "a/.rc", ZAM_FNM_PERIOD), 0);
  EXPECT_EQ(zam_fnmatch("a/*", "a/.rc", ZAM_FNM_PERIOD | ZAM_FNM_PATHNAME), 1);

  EXPECT_EQ(zam_fnmatch("a", "a/b/c", 0), 1);
  EXPECT_EQ(zam_fnmatch("a", "a/b/c", ZAM_FNM_LEADING_DIR), 0);
  EXPECT_EQ(zam_fnmatch("a", "ab/c", ZAM_FNM_LEADING_DIR), 1);

  EXPECT_EQ(zam_fnmatch("*.PDB", "x.pdb", 0), 1);
  EXPECT_EQ(zam_fnmatch("*.PDB", "x.pdb", ZAM_FNM_CASEFOLD), 0);
  EXPECT_EQ(zam_fnmatch("[A-C]x", "bx", ZAM_FNM_CASEFOLD), 0);
}

namespace {

// d/top.txt, d/sub/inner.txt, d/sub/deeper/leaf.txt
std::string make_tree(const TempDir& tmp) {
  std::string d = tmp.file("d");
  fs::create_directories(d + "/sub/deeper");
  write_file(d + "/top.txt", "t");
  write_file(d + "/sub/inner.txt", "i");
  write_file(d + "/sub/deeper/leaf.txt", "l");
  return d;
}

size_t index_of(const std::vector<std::string>& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  EXPECT_NE(it, lines.end()) << line;
  return static_cast<size_t>(it - lines.begin());
}

}  // namespace

TEST(DeleteTree, DryRunListsInnermostFirstAndDeletesNothing) {
  TempDir tmp;
  std::string d = make_tree(tmp);
  Capture cap;
  EXPECT_EQ(zam_rmdir(d.c_str(), 0), 0);
  EXPECT_TRUE(fs::exists(d + "/sub/deeper/leaf.txt"));
  ASSERT_EQ(cap.lines.size(), 6u);
  size_t leaf = index_of(cap.lines, "UNLINK: " + d + "/sub/deeper/leaf.txt\n");
  size_t deeper = index_of(cap.lines, "RMDIR: " + d + "/sub/deeper\n");
  size_t inner = index_of(cap.lines, "UNLINK: " + d + "/sub/inner.txt\n");
  size_t sub = index_of(cap.lines, "RMDIR: " + d + "/sub\n");
  size_t top = index_of(cap.lines, "UNLINK: " + d + "/top.txt\n");
  EXPECT_LT(leaf, deeper);
  EXPECT_LT(deeper, sub);
  EXPECT_LT(inner, sub);
  EXPECT_EQ(cap.lines.back(), "RMDIR: " + d + "\n");
  EXPECT_LT(top, cap.lines.size() - 1);

  // A trailing slash adds no second separator.
  cap.lines.clear();
  EXPECT_EQ(zam_rmdir((d + "/sub/deeper/").c_str(), 0), 0);
  EXPECT_EQ(cap.lines.front(), "UNLINK: " + d + "/sub/deeper/leaf.txt\n");
}

TEST(DeleteTree, DeletesAndRefuses) {
  TempDir tmp;
  std::string d = make_tree(tmp);
  {
    Capture cap;
    EXPECT_EQ(zam_rmdir(d.c_str(), 1), 0);
    EXPECT_TRUE(cap.lines.empty());  // logging only, nothing shown
  }
  EXPECT_FALSE(fs::exists(d));

  for (const char* bad : {"", ".", "..", "./", "../", "x/..", "x/."}) EXPECT_NE(zam_rmdir(bad, 0), 0) << bad;
  EXPECT_NE(zam_rmdir(nullptr, 0), 0);
  std::string dots = tmp.file("keep/..");
  fs::create_directory(tmp.file("keep"));
  EXPECT_NE(zam_rmdir(dots.c_str(), 1), 0);
  EXPECT_TRUE(fs::exists(tmp.file("keep")));

  // Names with a leading dot are not deleted, so their folder stays.
  d = make_tree(tmp);
  write_file(d + "/sub/.dot", "x");
  {
    Capture cap;
    EXPECT_NE(zam_rmdir(d.c_str(), 1), 0);
    EXPECT_TRUE(cap.any("*Error* Failed to delete " + d + "/sub ["));
  }
  EXPECT_TRUE(fs::exists(d + "/sub/.dot"));
  EXPECT_FALSE(fs::exists(d + "/top.txt"));
  EXPECT_FALSE(fs::exists(d + "/sub/deeper"));

  Capture cap;
  EXPECT_NE(zam_rmdir(tmp.file("missing").c_str(), 1), 0);
  EXPECT_TRUE(cap.any("Failed to delete " + tmp.file("missing")));
}

TEST(DeleteTree, SymbolicLinksAreRemovedNeverEntered) {
  TempDir tmp;
  std::string outside = tmp.file("outside");
  fs::create_directory(outside);
  write_file(outside + "/precious.txt", "keep");
  std::string d = make_tree(tmp);
  fs::create_directory_symlink(outside, d + "/sub/link");
  fs::create_symlink(outside + "/precious.txt", d + "/filelink");

  {
    Capture cap;
    EXPECT_EQ(zam_rmdir(d.c_str(), 0), 0);
    EXPECT_TRUE(cap.any("UNLINK: " + d + "/sub/link\n"));
    EXPECT_FALSE(cap.any("precious"));
  }
  EXPECT_EQ(zam_rmdir(d.c_str(), 1), 0);
  EXPECT_FALSE(fs::exists(d));
  EXPECT_TRUE(fs::exists(outside + "/precious.txt"));

  // A link given as the tree itself is removed as a link.
  std::string top = tmp.file("toplink");
  fs::create_directory_symlink(outside, top);
  EXPECT_EQ(zam_rmdir((top + "/").c_str(), 1), 0);
  EXPECT_FALSE(fs::is_symlink(top));
  EXPECT_TRUE(fs::exists(outside + "/precious.txt"));
}
