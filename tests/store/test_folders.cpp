// Folders and file lists: folder checks and creation with their messages, the
// per-query results folder, the guarded purge, file lists from folders and
// list files (plain and compressed), and sorted name lists with lookup.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_lock.h"
#include "runtime/zam_log.h"
#include "runtime/zam_vm.h"
#include "runtime/zam_whole.h"
#include "store/trel_folders.h"

using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;
namespace fs = std::filesystem;

namespace {

using Capture = testutil::LineCapture;

// Runs the test body inside a folder, going back afterwards.
struct InFolder {
  fs::path old = fs::current_path();
  explicit InFolder(const std::string& dir) { fs::current_path(dir); }
  ~InFolder() { fs::current_path(old); }
};

// Copies and releases a returned array; n is read after the call has set it.
std::vector<std::string> take(char** names, const int* n) {
  std::vector<std::string> out;
  for (int i = 0; i < *n; ++i) out.emplace_back(names[i]);
  kfree(names);
  return out;
}

void write_gzip(const std::string& name, const std::string& text) {
  gzFile g = gzopen(name.c_str(), "wb");
  gzwrite(g, text.data(), static_cast<unsigned>(text.size()));
  gzclose(g);
}

}  // namespace

TEST(Folders, CheckExistingAndMissing) {
  TempDir tmp;
  Capture c;
  EXPECT_EQ(trel_checkdir(tmp.str().c_str(), "DATABASE"), 1);
  EXPECT_TRUE(c.any("Using DATABASE directory: " + tmp.str() + "\n"));
  std::string missing = tmp.file("nothing");
  EXPECT_EQ(trel_checkdir(missing.c_str(), "DATABASE"), 0);
  EXPECT_TRUE(c.any("*Error* Failed to access DATABASE directory: " + missing + "\n"));
  write_file(tmp.file("plain"), "x");
  EXPECT_EQ(trel_checkdir(tmp.file("plain").c_str(), "DATABASE"), 0);
}

TEST(Folders, MakeCreatesOrUses) {
  TempDir tmp;
  std::string dir = tmp.file("res");
  {
    Capture c;
    EXPECT_EQ(trel_mkdir(dir.c_str(), "RESULTS"), 1);
    EXPECT_TRUE(fs::is_directory(dir));
    ASSERT_EQ(c.lines.size(), 1u);
    EXPECT_EQ(c.lines[0], "Creating RESULTS directory: " + dir + "\n");
    mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
  }
  {
    Capture c;
    EXPECT_EQ(trel_mkdir(dir.c_str(), "RESULTS"), 1);
    ASSERT_EQ(c.lines.size(), 1u);
    EXPECT_EQ(c.lines[0], "Using RESULTS directory: " + dir + "\n");
  }
  {
    // An empty label says nothing, whether the folder is used or made.
    Capture c;
    EXPECT_EQ(trel_mkdir(dir.c_str(), ""), 1);
    EXPECT_EQ(trel_mkdir(tmp.file("quiet").c_str(), ""), 1);
    EXPECT_TRUE(fs::is_directory(tmp.file("quiet")));
    EXPECT_TRUE(c.lines.empty());
  }
  {
    // A trailing "/" names the same folder.
    Capture c;
    std::string slashed = tmp.file("cache") + "/";
    EXPECT_EQ(trel_mkdir(slashed.c_str(), "CACHE"), 1);
    EXPECT_TRUE(fs::is_directory(tmp.file("cache")));
    EXPECT_EQ(trel_mkdir(slashed.c_str(), "CACHE"), 1);
    EXPECT_TRUE(c.any("Using CACHE directory: " + slashed + "\n"));
  }
}

TEST(Folders, MakeFailuresAreReported) {
  TempDir tmp;
  Capture c;
  std::string deep = tmp.file("no/such/parent");
  EXPECT_EQ(trel_mkdir(deep.c_str(), "RESULTS"), 0);
  EXPECT_TRUE(c.any("*Error* Failed to create RESULTS directory: " + deep + "\n"));
  // A plain file at the name (given with or without its "/") is named as one.
  write_file(tmp.file("file"), "x");
  EXPECT_EQ(trel_mkdir(tmp.file("file").c_str(), "CACHE"), 0);
  EXPECT_TRUE(c.any("Failed to create CACHE directory: " + tmp.file("file") + " is a file, not a directory\n"));
  c.lines.clear();
  EXPECT_EQ(trel_mkdir((tmp.file("file") + "/").c_str(), "EXTRACT"), 0);
  EXPECT_TRUE(c.any("Failed to create EXTRACT directory: " + tmp.file("file") + " is a file, not a directory\n"));
  EXPECT_EQ(testutil::read_file(tmp.file("file")), "x");
  EXPECT_EQ(trel_mkdir("", "CACHE"), 0);
  EXPECT_EQ(trel_mkdir(nullptr, "CACHE"), 0);

  // Names over the limit are refused and nothing is made.
  std::string longest = tmp.str() + "/" + std::string(TREL_PATH_MAX - tmp.str().size() - 1, 'a');
  ASSERT_EQ(longest.size(), static_cast<size_t>(TREL_PATH_MAX));
  EXPECT_EQ(trel_mkdir(longest.c_str(), "CACHE"), 1);
  std::string over = longest + "b";
  c.lines.clear();
  EXPECT_EQ(trel_mkdir(over.c_str(), "CACHE"), 0);
  EXPECT_TRUE(c.any("*Error* Failed to create CACHE directory: name longer than 256 characters"));
  EXPECT_FALSE(fs::exists(over));
}

TEST(Folders, ResultSubFolders) {
  TempDir tmp;
  std::string results = tmp.str() + "/";
  char out[TREL_PATH_MAX + 1];
  {
    Capture c;
    EXPECT_EQ(trel_result_dir(results.c_str(), "/data/pdb/1abc.pdb", 1, 1, out), out);
    EXPECT_EQ(std::string(out), results + "1abc/");
    EXPECT_TRUE(fs::is_directory(results + "1abc"));
    EXPECT_TRUE(c.any("Creating RESULTS directory: " + results + "1abc\n"));
  }
  // Either switch off: the results folder itself, with its "/", and nothing made.
  EXPECT_EQ(std::string(trel_result_dir(results.c_str(), "2xyz.pdb", 0, 1, out)), results);
  EXPECT_EQ(std::string(trel_result_dir(results.c_str(), "2xyz.pdb", 1, 0, out)), results);
  EXPECT_FALSE(fs::exists(results + "2xyz"));
  EXPECT_EQ(std::string(trel_result_dir(tmp.str().c_str(), "2xyz.pdb", 0, 0, out)), results);
  EXPECT_EQ(std::string(trel_result_dir("", "2xyz.pdb", 0, 0, out)), "./");

  // Only the last extension goes.
  trel_result_dir(results.c_str(), "q/3def.pdb.gz", 1, 1, out);
  EXPECT_EQ(std::string(out), results + "3def.pdb/");

  // A sub-folder whose name (with its "/") would pass the limit is named as
  // a long result file name is shortened; where even that does not fit, it
  // is refused.
  Capture c;
  std::string query(TREL_PATH_MAX - results.size(), 'q');
  EXPECT_EQ(trel_result_dir(results.c_str(), query.c_str(), 1, 1, out), out);
  EXPECT_EQ(std::string(out), results + zam_hashName(query, ZAM_NAME_SHORT) + "/");
  EXPECT_FALSE(fs::exists(results + query));
  query.pop_back();
  EXPECT_EQ(trel_result_dir(results.c_str(), query.c_str(), 1, 1, out), out);
  EXPECT_EQ(std::string(out), results + query + "/");
  const std::string deep = results + std::string(TREL_PATH_MAX - results.size() - 100, 'd') + "/";
  EXPECT_EQ(trel_result_dir(deep.c_str(), query.c_str(), 1, 1, out), nullptr);
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(c.any("*Error* RESULTS directory name longer than 256 characters"));

  // A sub-folder that cannot be made.
  write_file(results + "taken", "x");
  EXPECT_EQ(trel_result_dir(results.c_str(), "taken.pdb", 1, 1, out), nullptr);
  EXPECT_TRUE(c.any("Failed to create RESULTS directory: " + results + "taken is a file, not a directory\n"));
}

// Writes a file whole, as every writer of the tool does.
void writeWhole(const std::string& path, const std::string& text) {
  _zam_whole* w = zam_openWhole(path, "w");
  ASSERT_NE(w, nullptr) << path;
  zam_fwrite(w->fp, text.data(), static_cast<int64_t>(text.size()));
  ASSERT_EQ(zam_closeWhole(w, true), 1) << path;
}

// -purge removes what the folder's record proves the tool wrote or made, at
// the name it was recorded at, and nothing else: a user's file, a file
// changed since it was written (in place with its times set back too), a
// result the user moved elsewhere in the folder or gave a second name, and
// the folders holding them stay. This run's own log, which grows as the
// purge goes, is neither counted as kept nor left behind when its folder goes.
TEST(Folders, PurgeOnlyWhatTheRecordNames) {
  TempDir tmp;
  const std::string folder = tmp.file("trel_results") + "/";
  ASSERT_EQ(trel_mkdir(folder.c_str(), ""), 1);
  zam_recordWrites(folder);
  zam_recordMade(folder);
  ASSERT_EQ(trel_mkdir((folder + "1abc").c_str(), ""), 1);
  ASSERT_EQ(trel_mkdir((folder + "2xyz").c_str(), ""), 1);
  writeWhole(folder + "1abc/1abc.ktops", "tops\n");
  writeWhole(folder + "2xyz/2xyz.ktops", "tops\n");
  writeWhole(folder + "trel.log", "log\n");
  for (const char* name : {"changed.txt", "set_back.txt", "linked.pdb", "1abc/best.pdb"}) writeWhole(folder + name, "as written\n");
  zam_recordWrites("");
  write_file(folder + "changed.txt", "changed by the user\n");
  ASSERT_TRUE(testutil::rewrite_with_old_times(folder + "set_back.txt", "AS WRITTEN\n"));
  ASSERT_EQ(link((folder + "linked.pdb").c_str(), tmp.file("my_copy.pdb").c_str()), 0);
  fs::create_directory(folder + "mine");
  fs::rename(folder + "1abc/best.pdb", folder + "mine/best.pdb");
  write_file(folder + "1abc/mine.txt", "mine\n");
  write_file(folder + "notes.txt", "mine\n");
  fs::create_directory(folder + "own");  // a folder the tool did not make
  const std::string own = folder + "trel.log.running";
  write_file(own, "purging\n");
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 0, own.c_str()), 1);
    EXPECT_TRUE(c.any("PURGING RESULTS folder=" + folder + " (DUMMY RUN)\n"));
    EXPECT_TRUE(c.any("UNLINK: " + folder + "1abc/1abc.ktops\n"));
    EXPECT_TRUE(fs::exists(folder + "1abc/1abc.ktops"));
  }
  std::ofstream(own, std::ios::app) << "the log grows\n";
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, own.c_str()), 1);
    EXPECT_TRUE(c.any("Keeping " + folder + "notes.txt\n"));
    EXPECT_TRUE(c.any("Keeping " + folder + "linked.pdb"));
    EXPECT_FALSE(c.any("Keeping " + own));
    EXPECT_TRUE(c.any("Kept 6 files in " + folder));
  }
  EXPECT_FALSE(fs::exists(folder + "1abc/1abc.ktops"));
  EXPECT_FALSE(fs::exists(folder + "trel.log"));
  EXPECT_FALSE(fs::exists(folder + "2xyz"));
  EXPECT_EQ(read_file(folder + "changed.txt"), "changed by the user\n");
  EXPECT_EQ(read_file(folder + "set_back.txt"), "AS WRITTEN\n");
  EXPECT_EQ(read_file(folder + "linked.pdb"), "as written\n");
  EXPECT_EQ(read_file(folder + "mine/best.pdb"), "as written\n");
  EXPECT_EQ(read_file(folder + "1abc/mine.txt"), "mine\n");
  EXPECT_EQ(read_file(folder + "notes.txt"), "mine\n");
  EXPECT_TRUE(fs::is_directory(folder + "own"));
  EXPECT_TRUE(fs::exists(own));  // beside what it names as kept

  // Without the user's files the folder goes whole, its record and the log
  // with it.
  for (const char* f : {"changed.txt", "set_back.txt", "linked.pdb", "1abc/mine.txt", "notes.txt", "mine/best.pdb"})
    fs::remove(folder + f);
  fs::remove(folder + "own");
  fs::remove(folder + "mine");
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, own.c_str()), 1);
    EXPECT_FALSE(c.any("Kept"));
  }
  EXPECT_FALSE(fs::exists(tmp.file("trel_results")));

  // A line proves a file trel's only at the name it gives: a file of the
  // very identity under another name stays. A file at the record's name
  // with lines of no record's is a user's: refused, nothing removed. In
  // trel's record a line that does not parse (a NUL byte in it) costs only
  // itself, and a record in the layout before trel's first line whose every
  // line parses is trel's.
  fs::create_directories(folder);
  write_file(folder + "old.ktops", "old\n");
  _zam_identity old{};
  ASSERT_EQ(zam_identityAt((folder + "old.ktops").c_str(), &old), 1);
  std::string line = "W " + zam_identityText(old) + " old.ktops\n";
  write_file(folder + ZAM_WRITTEN_RECORD, std::string(ZAM_WRITTEN_HEAD) + "\nW " + zam_identityText(old) + " new.ktops\n");
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, nullptr), 1);
    EXPECT_TRUE(c.any("Keeping " + folder + "old.ktops\n"));
  }
  write_file(folder + ZAM_WRITTEN_RECORD, "my own notes\nmore of them\n" + line);
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, nullptr), 0);
    EXPECT_TRUE(c.any("*Error* The file " + folder + ZAM_WRITTEN_RECORD + " is not trel's record"));
  }
  EXPECT_TRUE(fs::exists(folder + "old.ktops"));
  const char nul[] = "W 1 2 3 4 5 x\0.ktops\n";
  for (const bool head : {true, false}) {
    fs::create_directories(folder);
    write_file(folder + "old.ktops", head ? "old\n" : "older\n");
    ASSERT_EQ(zam_identityAt((folder + "old.ktops").c_str(), &old), 1);
    line = "W " + zam_identityText(old) + " old.ktops\n";
    write_file(folder + ZAM_WRITTEN_RECORD,
               head ? std::string(ZAM_WRITTEN_HEAD) + "\n" + std::string(nul, sizeof nul - 1) + "W 1 2\n" + line : line);
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, nullptr), 1);
    EXPECT_FALSE(fs::exists(folder)) << head;  // its line or none, once nothing is left in it
  }

  // No record: nothing is removed.
  fs::create_directories(folder);
  write_file(folder + "x.ktops", "x");
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, nullptr), 0);
    EXPECT_TRUE(c.any("holds no record of the files trel wrote in it: nothing is removed.\n"));
  }
  EXPECT_TRUE(fs::exists(folder + "x.ktops"));
  for (const std::string& named : {tmp.file("results_old"), tmp.file("trel_results.mine")}) {
    Capture c;
    fs::create_directories(named);
    EXPECT_EQ(trel_purgeResults(named.c_str(), 1, nullptr), 0);
    ASSERT_EQ(c.lines.size(), 2u);
    EXPECT_EQ(c.lines[0], "*Error* Results folder \"" + named +
                              "\" does not contain \"trel_results\", which is not safe for purge!\n");
    EXPECT_EQ(c.lines[1], "Please use the command line to delete the results folder " + named + " (?)\n");
    EXPECT_TRUE(fs::exists(named));
  }
  for (const char* unsafe : {".", "..", "", "/"}) {
    Capture c;
    EXPECT_EQ(trel_purgeResults(unsafe, 0, nullptr), 0) << unsafe;
    EXPECT_TRUE(c.any("is not safe for purge!\n")) << unsafe;
    EXPECT_TRUE(c.any("Please use the command line")) << unsafe;
  }
}

// -purge removes the record under its lock, and only the record it read as
// it was: a run that appends a line to it, or puts another record at its
// name, while the purge goes on keeps it. The purge waits for the lock of a
// run in its turn (here: one that holds it shared while it appends).
TEST(Folders, PurgeKeepsARecordWrittenToMeanwhile) {
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced);
    TempDir tmp;
    const std::string folder = tmp.file("trel_results") + "/", record = folder + ZAM_WRITTEN_RECORD;
    ASSERT_EQ(trel_mkdir(folder.c_str(), ""), 1);
    zam_recordWrites(folder);
    zam_recordMade(folder);
    writeWhole(folder + "a.ktops", "tops\n");
    zam_recordWrites("");
    const int held = open(record.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_SH), 0);
    int purged = -1;
    std::thread purge([&] {
      Capture c;
      purged = trel_purgeResults(folder.c_str(), 1, nullptr);
    });
    for (int wait = 0; wait < 10000 && fs::exists(folder + "a.ktops"); wait++) usleep(1000);
    const std::string line = "W 1 2 3 4 5 b.ktops\n";
    if (replaced) {
      write_file(folder + "new", read_file(record));
      fs::rename(folder + "new", record);
    } else {
      std::ofstream(record, std::ios::app) << line;
    }
    flock(held, LOCK_UN);
    purge.join();
    close(held);
    EXPECT_EQ(purged, 1);
    EXPECT_FALSE(fs::exists(folder + "a.ktops"));
    ASSERT_TRUE(fs::exists(record));
    EXPECT_EQ(read_file(record).find(line) != std::string::npos, !replaced);
  }
}

// -purge beside a live run leaves what it writes, and says so: a folder the
// run marks while it writes a query's files there (or, where the file
// system refuses such marks, a file of the query's that it marks instead),
// and its log; the rest goes, and all of it once the run has ended.
TEST(Folders, PurgeLeavesWhatALiveRunWrites) {
  TempDir tmp;
  const std::string folder = tmp.file("trel_results") + "/";
  ASSERT_EQ(trel_mkdir(folder.c_str(), ""), 1);
  zam_recordWrites(folder);
  zam_recordMade(folder);
  for (const char* query : {"1abc", "2xyz"}) ASSERT_EQ(trel_mkdir((folder + query).c_str(), ""), 1);
  for (const char* name : {"1abc/1abc.ktops", "1abc/1abc.kwriting", "2xyz/2xyz.ktops"}) writeWhole(folder + name, "x\n");
  const int log = zam_openGrowing(folder + "trel.log.live.running");
  ASSERT_GE(log, 0);
  zam_recordWrites("");
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, nullptr), 1);
    EXPECT_TRUE(c.any("Keeping the results folder " + tmp.file("trel_results") +
                      ": a run that is still going writes into it (" + folder + "trel.log.live.running)\n"));
  }
  EXPECT_TRUE(fs::exists(folder + "2xyz/2xyz.ktops"));
  zam_releaseWriting(log);
  fs::remove(folder + "trel.log.live.running");
  const int query = open((folder + "1abc").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(zam_markAlive(query, 4242), 1);
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, nullptr), 1);
    EXPECT_TRUE(c.any("Keeping the files in " + folder + "1abc: a run that is still going writes into it\n"));
    EXPECT_FALSE(c.any("Kept"));
  }
  EXPECT_TRUE(fs::exists(folder + "1abc/1abc.ktops"));
  EXPECT_FALSE(fs::exists(folder + "2xyz"));
  close(query);
  // Marked by its file, where the folder refuses the other kind.
  const int mark = open((folder + "1abc/1abc.kwriting").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(mark, LOCK_SH), 0);
  zam_ofd_lock_call = [](int, int, struct flock*) {
    errno = ENOLCK;
    return -1;
  };
  {
    Capture c;
    EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, nullptr), 1);
    EXPECT_TRUE(c.any("Keeping the files in " + folder + "1abc: a run that is still going writes into it\n"));
  }
  zam_ofd_lock_call = nullptr;
  EXPECT_TRUE(fs::exists(folder + "1abc/1abc.ktops"));
  close(mark);
  Capture c;
  EXPECT_EQ(trel_purgeResults(folder.c_str(), 1, nullptr), 1);
  EXPECT_FALSE(fs::exists(folder)) << c.lines.size();
}

TEST(FileLists, ListFileWithRelativeAndAbsoluteNames) {
  TempDir tmp;
  TempDir other;
  InFolder here(tmp.str());
  std::string cwd = fs::current_path().string();
  write_file(tmp.file("a.pdb"), "ATOM");
  write_file(other.file("b.pdb"), "ATOM");
  write_file(tmp.file("a b.pdb"), "ATOM");
  write_file(tmp.file("list"), "a.pdb chain A\n\n   \n# a.pdb, a comment\n \t#\r\n" + other.file("b.pdb") +
                                   "\r\n  a.pdb\nmissing.pdb\na b.pdb \n\ta.pdb trailing words");
  Capture c;
  const int64_t before = zam_vm_total();
  int n = -1;
  char** files = trel_getFiles("list", &n);
  // Blank and '#' lines skipped, leading blanks allowed, a name with a
  // blank taken whole, duplicates kept, missing left out.
  std::vector<std::string> got = take(files, &n);
  EXPECT_EQ(got, (std::vector<std::string>{cwd + "/a.pdb", other.file("b.pdb"), cwd + "/a.pdb",
                                           cwd + "/a b.pdb", cwd + "/a.pdb"}));
  EXPECT_TRUE(c.any("*Warning* File not found : " + cwd + "/missing.pdb (line 8 of list)\n"));
  EXPECT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(FileLists, CompressedListFile) {
  TempDir tmp;
  write_file(tmp.file("x.pdb"), "ATOM");
  write_file(tmp.file("y.pdb"), "ATOM");
  write_gzip(tmp.file("list.gz"), tmp.file("x.pdb") + "\n" + tmp.file("y.pdb") + "\n");
  int n = 0;
  std::vector<std::string> got = take(trel_getFiles(tmp.file("list.gz").c_str(), &n), &n);
  EXPECT_EQ(got, (std::vector<std::string>{tmp.file("x.pdb"), tmp.file("y.pdb")}));

  // A damaged stream is an unreadable file: nothing comes back.
  std::string whole = testutil::read_file(tmp.file("list.gz"));
  write_file(tmp.file("cut.gz"), whole.substr(0, whole.size() - 12));
  Capture c;
  EXPECT_EQ(trel_getFiles(tmp.file("cut.gz").c_str(), &n), nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(c.any("*Error* Failed to read file list: " + tmp.file("cut.gz")));
}

TEST(FileLists, FolderSource) {
  TempDir tmp;
  fs::create_directories(tmp.file("set"));
  for (const char* name : {"c.pdb", "a.pdb", "b.ent"}) write_file(tmp.file("set/") + name, "x");
  write_file(tmp.file("set/.hidden"), "x");
  int n = 0;
  // Absolute, with or without its "/": every entry in sorted order.
  for (std::string source : {tmp.file("set"), tmp.file("set") + "/"}) {
    std::vector<std::string> got = take(trel_getFiles(source.c_str(), &n), &n);
    EXPECT_EQ(got, (std::vector<std::string>{tmp.file("set/a.pdb"), tmp.file("set/b.ent"),
                                             tmp.file("set/c.pdb")}));
  }
  // Relative: joined to the working folder.
  InFolder here(tmp.str());
  std::string cwd = fs::current_path().string();
  std::vector<std::string> got = take(trel_getFiles("set", &n), &n);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(got[0], cwd + "/set/a.pdb");
  fs::create_directories(tmp.file("empty"));
  EXPECT_EQ(trel_getFiles("empty", &n), nullptr);
  EXPECT_EQ(n, 0);
}

// A folder of structures as users keep them: beside the structures a README,
// an alignment, a sub-folder, a pipe, links and dot files. Only regular files
// (or links to them) are listed, and only those holding atom records are
// structure files; the others are counted once.
TEST(FileLists, FolderKeepsRegularFilesAndStructures) {
  TempDir tmp;
  const std::string set = tmp.file("set") + "/";
  fs::create_directories(set + "sub");
  write_file(set + "a.pdb", "HEADER\nATOM      1  N   GLY A   1       0.000   0.000   0.000\n");
  write_gzip(set + "b.pdb.gz", "HETATM    1 ZN    ZN A   1       0.000   0.000   0.000\n");
  write_file(set + "README", "Structures of the zinc-finger set.\n");
  write_file(set + "set.aln", "CLUSTAL\n\na  MKV\n");
  write_file(set + "sub/c.pdb", "ATOM      1  N   GLY A   1       0.000   0.000   0.000\n");
  write_file(set + ".d.pdb", "ATOM      1  N   GLY A   1       0.000   0.000   0.000\n");
  ASSERT_EQ(mkfifo((set + "pipe.pdb").c_str(), 0600), 0);
  fs::create_symlink(set + "a.pdb", set + "link.pdb");
  fs::create_symlink(set + "gone.pdb", set + "dangling.pdb");
  fs::create_directory_symlink(set + "sub", set + "subLink");
  int n = 0;
  std::vector<std::string> all = take(trel_getFiles(set.c_str(), &n), &n);
  EXPECT_EQ(all, (std::vector<std::string>{set + "README", set + "a.pdb", set + "b.pdb.gz",
                                           set + "link.pdb", set + "set.aln"}));
  Capture c;
  std::vector<std::string> pdb = take(trel_getStructureFiles(set.c_str(), 1, &n), &n);
  EXPECT_EQ(pdb, (std::vector<std::string>{set + "a.pdb", set + "b.pdb.gz", set + "link.pdb"}));
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0], "*Warning* Skipped 2 files in " + set +
                            " that hold no ATOM or HETATM record (not structure files).\n");
  // Files read as sequences, and the names of a list file, are kept as given.
  std::vector<std::string> seq = take(trel_getStructureFiles(set.c_str(), 0, &n), &n);
  EXPECT_EQ(seq, all);
  write_file(tmp.file("list"), set + "README\n" + set + "a.pdb\n");
  EXPECT_EQ(take(trel_getStructureFiles(tmp.file("list").c_str(), 1, &n), &n),
            (std::vector<std::string>{set + "README", set + "a.pdb"}));
  EXPECT_EQ(c.lines.size(), 1u);
  // Each file is looked at once, as it is listed, and its identity then
  // (a link's file's) comes with its name; a listed folder has none.
  _zam_identity a{}, b{};
  ASSERT_EQ(zam_identityAt((set + "a.pdb").c_str(), &a), 1);
  ASSERT_EQ(zam_identityAt((set + "b.pdb.gz").c_str(), &b), 1);
  std::vector<_zam_identity> ids;
  EXPECT_EQ(take(trel_getStructureFiles(set.c_str(), 1, &n, nullptr, &ids), &n), pdb);
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_TRUE(zam_sameIdentity(ids[0], a));
  EXPECT_TRUE(zam_sameIdentity(ids[1], b));
  EXPECT_TRUE(zam_sameIdentity(ids[2], a));
  write_file(tmp.file("list"), set + "sub\n" + set + "link.pdb notes\n");
  EXPECT_EQ(take(trel_getStructureFiles(tmp.file("list").c_str(), 1, &n, nullptr, &ids), &n),
            (std::vector<std::string>{set + "sub", set + "link.pdb"}));
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0].ino, 0u);
  EXPECT_TRUE(zam_sameIdentity(ids[1], a));
}

TEST(FileLists, MissingUnreadableAndBadLines) {
  TempDir tmp;
  Capture c;
  int n = 7;
  std::string missing = tmp.file("no_list");
  EXPECT_EQ(trel_getFiles(missing.c_str(), &n), nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(c.any("*Error* Failed to open file list: " + missing + " ["));
  EXPECT_EQ(trel_getFiles(nullptr, &n), nullptr);
  EXPECT_EQ(trel_getFiles("", &n), nullptr);

  if (geteuid() != 0) {
    write_file(tmp.file("locked"), "a.pdb\n");
    chmod(tmp.file("locked").c_str(), 0);
    EXPECT_EQ(trel_getFiles(tmp.file("locked").c_str(), &n), nullptr);
    EXPECT_TRUE(c.any("Failed to open file list: " + tmp.file("locked")));
  }

  // A name over the limit is reported by file and line and left out; the
  // other lines still count.
  write_file(tmp.file("ok.pdb"), "x");
  std::string list = tmp.file("long_list");
  write_file(list, tmp.file("ok.pdb") + "\n\n/" + std::string(300, 'z') + "\n" +
                       tmp.file("ok.pdb") + " " + std::string(5000, 'w') + "\n");
  c.lines.clear();
  std::vector<std::string> got = take(trel_getFiles(list.c_str(), &n), &n);
  EXPECT_EQ(got, (std::vector<std::string>{tmp.file("ok.pdb"), tmp.file("ok.pdb")}));
  EXPECT_TRUE(c.any("*Warning* Bad line 3 of " + list + ": file name longer than 256 characters"));

  // So is a folder entry whose full name is over the limit, with a warning.
  std::string deep = tmp.file(std::string(200, 'd'));
  fs::create_directories(deep);
  write_file(deep + "/a.pdb", "x");
  write_file(deep + "/" + std::string(100, 'l') + ".pdb", "x");
  c.lines.clear();
  EXPECT_EQ(take(trel_getFiles(deep.c_str(), &n), &n), (std::vector<std::string>{deep + "/a.pdb"}));
  EXPECT_TRUE(c.any("*Warning* File name longer than 256 characters: " + deep.substr(0, 64) + "..."));

  // A list of only missing names comes back empty.
  write_file(tmp.file("none"), tmp.file("gone1.pdb") + "\n" + tmp.file("gone2.pdb") + "\n");
  EXPECT_EQ(trel_getFiles(tmp.file("none").c_str(), &n), nullptr);
  EXPECT_EQ(n, 0);
}

TEST(NameLists, SortedNamesAndLookup) {
  TempDir tmp;
  write_file(tmp.file("only"), "# names\nd1abc_ first\n\n  \nd0xyz_\n");
  Capture c;
  int n = 0;
  char** names = trel_getNames(tmp.file("only").c_str(), &n);
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(names[0], "d0xyz_");
  EXPECT_STREQ(names[1], "d1abc_");
  EXPECT_EQ(trel_lookupName("d1abc_", names, n), 1);
  EXPECT_EQ(trel_lookupName("d0xyz_", names, n), 0);
  EXPECT_EQ(trel_lookupName("d1abc", names, n), -1);
  EXPECT_EQ(trel_lookupName("d1abc_", names, 0), -1);
  EXPECT_EQ(trel_lookupName(nullptr, names, n), -1);
  EXPECT_EQ(c.lines, (std::vector<std::string>{"getNames -> 2\n", "names[0] = d0xyz_\n",
                                               "names[1] = d1abc_\n"}));
  kfree(names);
}

TEST(NameLists, LongNamesDuplicatesAndByteOrder) {
  TempDir tmp;
  std::string forty = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
  write_file(tmp.file("only"), "b\n" + forty + "\nB\nb\n\xC3\xA9t\na\n");
  Capture c;
  int n = 0;
  std::vector<std::string> got = take(trel_getNames(tmp.file("only").c_str(), &n), &n);
  // Byte order: upper case before lower, bytes above 127 last; duplicates kept.
  EXPECT_EQ(got, (std::vector<std::string>{"B", "a", forty.substr(0, 31), "b", "b", "\xC3\xA9t"}));
  EXPECT_TRUE(c.any("*Warning* Name at line 2 of " + tmp.file("only") + " cut to 31 characters"));
  std::vector<char*> ptrs;
  for (auto& s : got) ptrs.push_back(s.data());
  for (int i = 0; i < n; ++i) {
    int k = trel_lookupName(got[i].c_str(), ptrs.data(), n);
    ASSERT_GE(k, 0);
    EXPECT_EQ(got[k], got[i]);
  }
  EXPECT_EQ(trel_lookupName(forty.c_str(), ptrs.data(), n), -1);
  EXPECT_EQ(trel_lookupName("0", ptrs.data(), n), -1);
  EXPECT_EQ(trel_lookupName("\xFF", ptrs.data(), n), -1);
}

TEST(NameLists, MissingAndEmptyFiles) {
  TempDir tmp;
  Capture c;
  int n = 3;
  EXPECT_EQ(trel_getNames(tmp.file("absent").c_str(), &n), nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(c.any("*Error* Failed to open name list: " + tmp.file("absent") + " ["));
  write_file(tmp.file("blank"), "\n  \n\t\n");
  c.lines.clear();
  n = 3;
  EXPECT_EQ(trel_getNames(tmp.file("blank").c_str(), &n), nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(c.lines.empty());
  // A folder given as a name list cannot be read.
  EXPECT_EQ(trel_getNames(tmp.str().c_str(), &n), nullptr);
  EXPECT_TRUE(c.any("*Error* Failed to read name list: " + tmp.str()));
}
