// Files written whole or not at all: they appear only at their close, replace
// an older file of trel's (a link standing there included) and move a user's
// aside, leave an unchanged one of trel's in place, and a failure midway
// leaves the older file and nothing else; files set aside take their place
// only when put there, in that order. The record of written files: what it
// covers, and how it is read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/owner_marks.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_owner.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"

namespace {

int entries(const testutil::TempDir& dir) {
  int count = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.str())) {
    (void)e;
    count++;
  }
  return count;
}

// Writes body whole to file; the close's result.
int write_whole(const std::string& file, const std::string& body) {
  _zam_whole* w = zam_openWhole(file, "w");
  if (!w) return 0;
  zam_fwrite(w->fp, body.data(), (int64_t)body.size());
  return zam_closeWhole(w, true);
}

ino_t inode(const std::string& file) {
  struct stat st;
  return lstat(file.c_str(), &st) == 0 ? st.st_ino : ino_t(0);
}

// Appends line to the record of folder, as another run of trel does.
void appendRecord(const std::string& folder, const std::string& line) {
  std::ofstream(folder + ZAM_WRITTEN_RECORD, std::ios::app | std::ios::binary) << line;
}

// The record line of the file at name under folder, as it is now.
std::string fileLine(const std::string& folder, const std::string& name) {
  _zam_identity id{};
  EXPECT_EQ(zam_identityAt((folder + name).c_str(), &id), 1) << name;
  return "W " + zam_identityText(id) + " " + name + "\n";
}

bool marked(const std::string& first_line) { return first_line == "# mine"; }

}  // namespace

// Temporary names differ between calls, carry this process's owner mark,
// end in ".tmp" and lie beside the final file.
TEST(WholeFile, TemporaryNamesAreUniqueBesideTheFile) {
  const std::string a = zam_tempName("/x/y.pdb"), b = zam_tempName("/x/y.pdb");
  EXPECT_NE(a, b);
  const std::string head = "/x/y.pdb." + zam_ownerMark() + "-";
  EXPECT_EQ(a.compare(0, head.size(), head), 0) << a;
  EXPECT_EQ(a.substr(a.size() - 4), ".tmp");
}

// The sweep of a folder removes only temporary files whose maker is proven
// gone: one of a process of this machine and namespace that exited, and one
// whose process number now belongs to a process started later. A user's
// files of the same shape, a file of a live process and one of another
// machine or namespace, and one whose process number is past any process
// id's range, are kept.
TEST(WholeFile, SweepRemovesOnlyFilesOfGoneMakers) {
  testutil::TempDir dir;
  const std::string dead = testutil::deadMark(), mine = zam_ownerMark();
  ASSERT_EQ(zam_ownerMarkAt(dead), dead.size());
  ASSERT_EQ(zam_ownerMarkAt(mine), mine.size());
  EXPECT_EQ(zam_ownerGone(mine), 0);
  // This process's number with another start time: a process before it.
  const std::string reused = mine.substr(0, mine.rfind('-') + 1) + "1";
  const std::string foreign = testutil::foreignMark(mine);
  // The dead maker's number past a pid_t (it would be taken for the maker's
  // own once cut to 32 bits): no mark at all.
  const size_t dash = dead.find('-'), dash2 = dead.rfind('-');
  const std::string wide = dead.substr(0, dash + 1) +
                           std::to_string(std::stoll(dead.substr(dash + 1, dash2 - dash - 1)) + (int64_t{1} << 32)) +
                           dead.substr(dash2);
  EXPECT_EQ(zam_ownerMarkAt(wide), 0u) << wide;
  const std::vector<std::string> kept = {"draft.2024_1.tmp", "notes.99999_3.tmp", "x.pdb." + foreign + "-3.tmp",
                                         "y.pdb." + mine + "-3.tmp", "z.pdb." + dead + "-x.tmp",
                                         "z.pdb." + dead + "-3.tmp.gz", "trel" + dead.substr(4) + ".tmp",
                                         "w.pdb." + wide + "-3.tmp"};
  const std::vector<std::string> removed = {"z.pdb." + dead + "-3.tmp", "r.pdb." + reused + "-0.tmp"};
  for (const auto* list : {&kept, &removed})
    for (const std::string& name : *list) testutil::write_file(dir.file(name), "x\n");
  const bool starts_known = mine.substr(mine.rfind('-') + 1) != "0";
  EXPECT_EQ(zam_removeDeadTemps(dir.str()), starts_known ? 2 : 1);
  for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
  EXPECT_FALSE(std::filesystem::exists(dir.file(removed[0])));
  EXPECT_NE(std::filesystem::exists(dir.file(removed[1])), starts_known);
}

// A file written whole appears only at its close, with the usual permission
// bits, replaces an older file, and leaves nothing else in the folder; one
// that is not kept, or whose folder is missing, changes nothing.
TEST(WholeFile, AppearsAtItsClose) {
  testutil::TempDir dir;
  const std::string file = dir.file("one.txt");
  _zam_whole* w = zam_openWhole(file, "w");
  ASSERT_NE(w, nullptr);
  zam_fputs(w->fp, "first\n");
  EXPECT_FALSE(std::filesystem::exists(file));
  ASSERT_EQ(zam_closeWhole(w, true), 1);
  EXPECT_EQ(testutil::read_file(file), "first\n");
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  w = zam_openWhole(file, "w");
  ASSERT_NE(w, nullptr);
  zam_fputs(w->fp, "second\n");
  EXPECT_EQ(testutil::read_file(file), "first\n");
  ASSERT_EQ(zam_closeWhole(w, true), 1);
  EXPECT_EQ(testutil::read_file(file), "second\n");

  w = zam_openWhole(file, "w");
  ASSERT_NE(w, nullptr);
  zam_fputs(w->fp, "dropped\n");
  EXPECT_EQ(zam_closeWhole(w, false), 0);
  EXPECT_EQ(testutil::read_file(file), "second\n");
  EXPECT_EQ(zam_closeWhole(nullptr, true), 0);

  EXPECT_EQ(zam_openWhole(dir.file("missing/two.txt"), "w"), nullptr);
  EXPECT_EQ(entries(dir), 1);
}

// A new file takes only a free name: a file or a link standing there is
// left as it is (EEXIST) and nothing is left of the new one.
TEST(WholeFile, NewFileNeverTakesAnotherFilesPlace) {
  testutil::TempDir dir;
  const std::string file = dir.file("mine.txt"), link = dir.file("link.txt");
  ASSERT_EQ(write_whole(file, "theirs\n"), 1);
  std::filesystem::create_symlink(file, link);
  for (const std::string& name : {file, link}) {
    _zam_whole* w = zam_openWhole(name, "w");
    ASSERT_NE(w, nullptr);
    zam_fputs(w->fp, "new\n");
    errno = 0;
    EXPECT_EQ(zam_closeWholeNew(w, true), 0) << name;
    EXPECT_EQ(errno, EEXIST) << name;
  }
  EXPECT_EQ(testutil::read_file(file), "theirs\n");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(entries(dir), 2);
  _zam_whole* w = zam_openWhole(dir.file("free.txt"), "w");
  ASSERT_NE(w, nullptr);
  zam_fputs(w->fp, "new\n");
  EXPECT_EQ(zam_closeWholeNew(w, true), 1);
  EXPECT_EQ(testutil::read_file(dir.file("free.txt")), "new\n");
  EXPECT_EQ(entries(dir), 3);
}

// A write that fails midway (the file-size limit stops it after a few
// blocks) leaves the older file as it was and no temporary file.
TEST(WholeFile, FailureMidwayLeavesTheOldFile) {
  testutil::TempDir dir;
  const std::string file = dir.file("kept.txt");
  ASSERT_EQ(write_whole(file, "old\n"), 1);
  std::string big;
  for (int i = 0; i < 20000; i++) big += "row " + std::to_string(i) + "\n";
  int written = -1;
  {
    const testutil::FileSizeLimit limit(50000);
    ASSERT_TRUE(limit.ok);
    written = write_whole(file, big);
  }
  EXPECT_EQ(written, 0);
  EXPECT_EQ(testutil::read_file(file), "old\n");
  EXPECT_EQ(entries(dir), 1);
}

// A file written again with the same bytes leaves the older one in place
// (same inode, nothing replaced); other bytes, a longer or shorter file, or
// a symbolic link standing under the name are replaced, the link not followed.
TEST(WholeFile, UnchangedFilesAreLeftInPlaceAndLinksReplaced) {
  testutil::TempDir dir;
  const std::string file = dir.file("same.txt");
  std::string big;
  for (int i = 0; i < 30000; i++) big += "row " + std::to_string(i) + "\n";  // several pieces
  ASSERT_EQ(write_whole(file, big), 1);
  const ino_t first = inode(file);
  ASSERT_EQ(write_whole(file, big), 1);
  EXPECT_EQ(inode(file), first);
  EXPECT_EQ(testutil::read_file(file), big);

  std::string changed = big;
  changed[changed.size() - 2] = 'x';  // same length, last piece differs
  ASSERT_EQ(write_whole(file, changed), 1);
  EXPECT_NE(inode(file), first);
  EXPECT_EQ(testutil::read_file(file), changed);
  ASSERT_EQ(write_whole(file, changed + "x"), 1);
  EXPECT_EQ(testutil::read_file(file), changed + "x");
  ASSERT_EQ(write_whole(file, ""), 1);
  EXPECT_EQ(testutil::read_file(file), "");

  // The link's target keeps its bytes whether or not the new ones match.
  const std::string other = dir.file("other.txt");
  for (const std::string body : {"linked\n", "new\n"}) {
    testutil::write_file(other, "linked\n");
    std::filesystem::remove(file);
    std::filesystem::create_symlink(other, file);
    ASSERT_EQ(write_whole(file, body), 1);
    EXPECT_FALSE(std::filesystem::is_symlink(file));
    EXPECT_EQ(testutil::read_file(file), body);
    EXPECT_EQ(testutil::read_file(other), "linked\n");
  }
  EXPECT_EQ(entries(dir), 2);
}

// A file that trel did not write is never replaced: a user's file at a
// result's name (of the very same bytes too, which then gets no record) is
// moved aside to the first free numbered name before the result takes the
// name, by a plain close and by a file put in place later alike. A file this
// process wrote, one carrying the writer's mark, and any file under a writer
// whose files carry their own check are replaced.
TEST(WholeFile, AFileTrelDidNotWriteIsMovedAside) {
  testutil::TempDir dir;
  const int before = zam_setAsideFiles();
  const std::string hits = dir.file("1sp1.khits"), same = dir.file("1ard_1sp1.fasta.gz");
  testutil::write_file(hits, "my hits\n");
  testutil::write_file(dir.file("1sp1.khits.1"), "older\n");
  ASSERT_EQ(write_whole(hits, "trel's\n"), 1);
  EXPECT_EQ(testutil::read_file(hits), "trel's\n");
  EXPECT_EQ(testutil::read_file(dir.file("1sp1.khits.1")), "older\n");
  EXPECT_EQ(testutil::read_file(dir.file("1sp1.khits.2")), "my hits\n");
  ASSERT_EQ(write_whole(hits, "written again\n"), 1);  // this process's own: replaced
  ASSERT_EQ(write_whole(same, "x\n"), 1);
  const std::string bytes = testutil::read_file(same);
  std::filesystem::remove(same);
  testutil::write_file(same, bytes);
  ASSERT_EQ(write_whole(same, "x\n"), 1);
  EXPECT_EQ(testutil::read_file(dir.file("1ard_1sp1.fasta.1.gz")), bytes);
  EXPECT_EQ(zam_setAsideFiles() - before, 2);

  const std::string rainbow = dir.file("q_rainbow.pdb");
  testutil::write_file(rainbow, "mine\n");
  _zam_whole* w = zam_openWhole(rainbow, "w");
  ASSERT_NE(w, nullptr);
  zam_fputs(w->fp, "hit\n");
  ASSERT_EQ(zam_placeWhole(zam_closeWholeAside(w, true), rainbow), 1);
  EXPECT_EQ(testutil::read_file(dir.file("q_rainbow.pdb.1")), "mine\n");
  std::string first, as;
  EXPECT_EQ(zam_setAsideFiles(&first, &as) - before, 3);
  if (before == 0) {
    EXPECT_EQ(first, hits);
    EXPECT_EQ(as, dir.file("1sp1.khits.2"));
  }

  // Marked files and files of a writer that checks its own are replaced.
  for (const char* name : {"a.ss", "b.ss", "c.dat"}) testutil::write_file(dir.file(name), "psipred\n");
  testutil::write_file(dir.file("a.ss"), "# mine\r\n1 C\n");
  for (const char* name : {"a.ss", "b.ss", "c.dat"}) {
    w = zam_openWhole(dir.file(name), "w", name[0] == 'c' ? ZAM_OLDER_REPLACED : ZAM_OLDER_SET_ASIDE);
    ASSERT_NE(w, nullptr);
    w->marked = marked;
    zam_fputs(w->fp, "new\n");
    ASSERT_EQ(zam_closeWhole(w, true), 1);
    EXPECT_EQ(testutil::read_file(dir.file(name)), "new\n");
  }
  EXPECT_EQ(testutil::read_file(dir.file("b.ss.1")), "psipred\n");
  EXPECT_EQ(entries(dir), 11);
}

// The record of a results folder, whatever its name: a later run takes over
// the name of a file a line covers, wholly and at that name, and of no other
// file: one changed in place with its times set back, one recorded under
// another name, and every file when the record is damaged. Lines other runs
// appended after it was read are read too. A file of trel's given a numbered
// name keeps its record.
TEST(WholeFile, RecordCoversOnlyTheFilesItProvesTrels) {
  testutil::TempDir dir;
  const std::string folder = dir.file("mine") + "/";
  std::filesystem::create_directory(folder);
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "run.log", "log\n"), 1);
  testutil::write_file(folder + "new.log", "log 2\n");
  ASSERT_EQ(zam_placeKeeping(folder + "new.log", folder + "run.log"), 1);
  for (const char* name : {"b.txt", "c.txt", "d.txt", "e.txt"}) testutil::write_file(folder + name, "user\n");
  appendRecord(folder, fileLine(folder, "b.txt") + fileLine(folder, "c.txt"));
  ASSERT_TRUE(testutil::rewrite_with_old_times(folder + "c.txt", "USER\n"));
  _zam_identity e{};
  ASSERT_EQ(zam_identityAt((folder + "e.txt").c_str(), &e), 1);
  appendRecord(folder, "W " + zam_identityText(e) + " sub/e.txt\n");
  for (const char* name : {"b.txt", "c.txt", "e.txt"}) ASSERT_EQ(write_whole(folder + name, "trel\n"), 1) << name;
  appendRecord(folder, fileLine(folder, "d.txt"));
  ASSERT_EQ(write_whole(folder + "d.txt", "trel\n"), 1);
  testutil::write_file(folder + "same.txt", "trel\n");  // the very bytes, no record: set aside, the new recorded
  ASSERT_EQ(write_whole(folder + "same.txt", "trel\n"), 1);
  EXPECT_EQ(testutil::read_file(folder + "same.txt.1"), "trel\n");
  EXPECT_FALSE(std::filesystem::exists(folder + "b.txt.1"));
  EXPECT_FALSE(std::filesystem::exists(folder + "d.txt.1"));
  EXPECT_EQ(testutil::read_file(folder + "c.txt.1"), "USER\n");
  EXPECT_EQ(testutil::read_file(folder + "e.txt.1"), "user\n");

  std::vector<_zam_written_entry> lines;
  ASSERT_EQ(zam_readWritten(folder, &lines), 1);
  std::set<std::string> names;
  for (const _zam_written_entry& line : lines)
    if (line.kind == 'W') names.insert(line.path);
  // The log set aside by the second placement was trel's: recorded there.
  // The line of sub/e.txt, where no file stands, is no longer read.
  EXPECT_EQ(names, (std::set<std::string>{"run.log", "run.log.1", "b.txt", "c.txt", "d.txt", "e.txt", "same.txt"}));

  // A line that does not parse (a NUL byte in it, a last line cut short by
  // a full disk) costs only itself: the line before it still covers its
  // file, and the next line begins on a line of its own.
  testutil::write_file(folder + "f.txt", "user\n");
  const char nul[] = "W 1 2 3 4 5 g\0.txt\n";
  appendRecord(folder, fileLine(folder, "f.txt") + std::string(nul, sizeof nul - 1) + "W 65024 1234 5");
  ASSERT_EQ(write_whole(folder + "f.txt", "trel\n"), 1);
  ASSERT_EQ(write_whole(folder + "g.txt", "trel\n"), 1);
  EXPECT_FALSE(std::filesystem::exists(folder + "f.txt.1"));
  ASSERT_EQ(zam_readWritten(folder, &lines), 1);
  names.clear();
  for (const _zam_written_entry& line : lines) names.insert(line.path);
  EXPECT_TRUE(names.count("f.txt") && names.count("g.txt"));
  zam_recordWrites("");

  // Only a record that is there is written to when asked so.
  const std::string other = dir.file("other") + "/";
  std::filesystem::create_directory(other);
  zam_recordWrites(other, true);
  ASSERT_EQ(write_whole(other + "x.txt", "x\n"), 1);
  zam_recordWrites("");
  EXPECT_FALSE(std::filesystem::exists(other + ZAM_WRITTEN_RECORD));
}

// Bounded fuzzing of the record's reader: a sound record mutated by a seeded
// mutator (bytes changed, cut out or repeated, NUL bytes, long digit runs)
// is read as a purge reads it and met by a writer. Nothing is read out of
// bounds (the sanitizer build); a record is read or refused as damaged, and
// what is read is of a known kind and names a path with neither line end
// nor NUL byte.
TEST(WholeFile, FuzzedRecordsReadSafely) {
  testutil::TempDir dir;
  const std::string folder = dir.file("out") + "/";
  std::filesystem::create_directory(folder);
  for (const char* name : {"a.txt", "sub/b.txt"}) {
    std::filesystem::create_directories(std::filesystem::path(folder + name).parent_path());
    testutil::write_file(folder + name, name);
  }
  const std::string original = std::string(ZAM_WRITTEN_HEAD) + "\n" + fileLine(folder, "a.txt") +
                               fileLine(folder, "sub/b.txt") + "D 2049 131 sub\nW 1 2 3 4 5 d e\n";
  std::mt19937 random(20260611u);
  const char bytes[] = "WFD 0123456789\n\0/.";
  for (int round = 0; round < 300; round++) {
    std::string text = original;
    for (int m = 0; m < 4; m++) {
      const size_t at = random() % (text.size() + 1);
      switch (random() % 4) {
        case 0: if (at < text.size()) text[at] = bytes[random() % (sizeof bytes - 1)]; break;
        case 1: text.erase(at, random() % 30); break;
        case 2: text.insert(at, std::string(random() % 40, bytes[random() % (sizeof bytes - 1)])); break;
        default: text.insert(at, text.substr(at, random() % 60)); break;
      }
    }
    testutil::write_file(folder + ZAM_WRITTEN_RECORD, text);
    std::vector<_zam_written_entry> lines;
    if (!zam_readWritten(folder, &lines)) {
      EXPECT_EQ(errno, EPROTO);
    }
    for (const _zam_written_entry& line : lines) {
      EXPECT_NE(std::string("WD").find(line.kind), std::string::npos);
      EXPECT_FALSE(line.path.empty());
      EXPECT_EQ(line.path.find_first_of(std::string("\n\0", 2)), std::string::npos);
    }
    testutil::write_file(folder + "a.txt", "user\n");
    zam_recordWrites(folder);
    EXPECT_EQ(write_whole(folder + "a.txt", "trel\n"), 1);
    zam_recordWrites("");
    std::filesystem::remove(folder + "a.txt.1");
    std::filesystem::remove(std::string(folder + ZAM_WRITTEN_RECORD) + ".1");
  }
}

// What is not trel's at a name it writes is moved aside, never replaced nor
// written into: a pipe at a result's name, and a file at the record's name
// that lacks the record's first line (a user's list, notes with no line
// of a file), which gives way once to a record of trel's.
TEST(WholeFile, WhatIsNotTrelsIsMovedAside) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  std::filesystem::create_directory(folder);
  ASSERT_EQ(mkfifo((folder + "q.khits").c_str(), 0600), 0);
  for (const std::string& users : {std::string("my own list\n"), std::string("# my notes\n")}) {
    SCOPED_TRACE(users);
    testutil::write_file(folder + ZAM_WRITTEN_RECORD, users);
    std::filesystem::remove(folder + ZAM_WRITTEN_RECORD + std::string(".1"));
    const int before = zam_setAsideFiles();
    for (int run = 0; run < 2; run++) {
      zam_recordWrites(folder);
      ASSERT_EQ(write_whole(folder + "a.txt", "run " + std::to_string(run) + "\n"), 1);
      zam_recordWrites("");
    }
    EXPECT_EQ(zam_setAsideFiles(), before + 1);
    EXPECT_EQ(testutil::read_file(folder + ZAM_WRITTEN_RECORD + std::string(".1")), users);
    EXPECT_FALSE(std::filesystem::exists(folder + "a.txt.1"));  // the second run's record covered the first's file
    std::vector<_zam_written_entry> lines;
    ASSERT_EQ(zam_readWritten(folder, &lines), 1);
    EXPECT_EQ(lines.size(), 2u);
  }
  ASSERT_EQ(write_whole(folder + "q.khits", "hits\n"), 1);
  struct stat st;
  ASSERT_EQ(lstat((folder + "q.khits.1").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(testutil::read_file(folder + "q.khits"), "hits\n");
}

// Threads of one process that put files at one name take turns, with no
// record to go by: none takes another's file, just put there, for a user's
// and moves it aside, and one file is left.
TEST(WholeFile, ThreadsPlacingOneNameTakeTurns) {
  testutil::TempDir dir;
  const std::string file = dir.file("shared.txt");
  const int before = zam_setAsideFiles();
  std::vector<std::thread> threads;
  for (int k = 0; k < 8; k++)
    threads.emplace_back([&file, k] {
      for (int round = 0; round < 400; round++) write_whole(file, std::to_string(k * 1000 + round) + "\n");
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(zam_setAsideFiles(), before);
  EXPECT_EQ(entries(dir), 1);
}

// Runs that put files at the same names under one record at once (as
// identical searches into one folder do) never take each other's files
// for a user's: each file is put in place and recorded in one turn. Every
// file left is covered by a line.
TEST(WholeFile, RunsAtOnceKeepEachOthersFiles) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  std::filesystem::create_directory(folder);
  constexpr int kRuns = 4, kNames = 40, kRounds = 10;
  const int before = zam_setAsideFiles();
  std::vector<pid_t> runs;
  for (int r = 0; r < kRuns; r++) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      zam_recordWrites(folder);
      bool ok = true;
      for (int round = 0; round < kRounds; round++)
        for (int n = 0; n < kNames; n++)
          ok = write_whole(folder + "f" + std::to_string(n), std::to_string(r * 100 + round) + "\n") == 1 && ok;
      _exit(ok && zam_setAsideFiles() == before ? 0 : 1);
    }
    runs.push_back(pid);
  }
  for (const pid_t pid : runs) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(entries(dir), 1);
  std::vector<_zam_written_entry> lines;
  ASSERT_EQ(zam_readWritten(folder, &lines), 1);
  for (int n = 0; n < kNames; n++) {
    const std::string name = "f" + std::to_string(n);
    _zam_identity id{};
    ASSERT_EQ(zam_identityAt((folder + name).c_str(), &id), 1);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const _zam_written_entry& e) {
      return e.path == name && zam_sameIdentity(e.id, id);
    })) << name;
  }
  EXPECT_EQ(std::count_if(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator(),
                          [](const auto&) { return true; }),
            kNames + 1);
}

// The final name's ending chooses the codec, as zam_fopen would.
TEST(WholeFile, CompressedByTheFinalName) {
  testutil::TempDir dir;
  const std::string file = dir.file("packed.txt.gz");
  ASSERT_EQ(write_whole(file, "inside\n"), 1);
  const std::string raw = testutil::read_file(file);
  ASSERT_GE(raw.size(), 2u);
  EXPECT_EQ((unsigned char)raw[0], 0x1f);
  EXPECT_EQ((unsigned char)raw[1], 0x8b);
  _zam_file* in = zam_fopen(file.c_str(), "r");
  ASSERT_NE(in, nullptr);
  char buf[16] = {};
  EXPECT_GT(zam_fread(in, buf, 7), 0);
  zam_fclose(in);
  EXPECT_EQ(std::string(buf), "inside\n");
}

// Numbered names keep the compression ending, which chooses the codec.
TEST(PlaceKeeping, NumberedNamesKeepTheCodecEnding) {
  EXPECT_EQ(zam_numberedName("out/trel.log", "2"), "out/trel.log.2");
  EXPECT_EQ(zam_numberedName("run.log.gz", "2"), "run.log.2.gz");
  EXPECT_EQ(zam_numberedName("a.bz2", "x"), "a.x.bz2");
  EXPECT_EQ(zam_numberedName("dir.gz/log", "1"), "dir.gz/log.1");
}

// A file put in place never replaces another: the one standing there goes
// to the first free numbered name; links and folders stay where they are.
TEST(PlaceKeeping, NothingIsReplacedAndLinksStay) {
  testutil::TempDir dir;
  const std::string log = dir.file("x.log");
  testutil::write_file(dir.file("a"), "a\n");
  ASSERT_EQ(zam_placeKeeping(dir.file("a"), log), 1);
  EXPECT_EQ(testutil::read_file(log), "a\n");
  testutil::write_file(dir.file("b"), "b\n");
  testutil::write_file(dir.file("x.log.1"), "old\n");
  ASSERT_EQ(zam_placeKeeping(dir.file("b"), log), 1);
  EXPECT_EQ(testutil::read_file(log), "b\n");
  EXPECT_EQ(testutil::read_file(dir.file("x.log.1")), "old\n");
  EXPECT_EQ(testutil::read_file(dir.file("x.log.2")), "a\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("a")) || std::filesystem::exists(dir.file("b")));

  testutil::write_file(dir.file("c"), "c\n");
  EXPECT_EQ(zam_placeNumbered(dir.file("c"), log), dir.file("x.log.3"));
  EXPECT_EQ(testutil::read_file(dir.file("x.log.3")), "c\n");

  // A link or a folder at the name: left alone, the call fails.
  testutil::write_file(dir.file("target"), "t\n");
  ASSERT_EQ(symlink("target", dir.file("l.log").c_str()), 0);
  std::filesystem::create_directory(dir.file("d.log"));
  testutil::write_file(dir.file("e"), "e\n");
  for (const char* name : {"l.log", "d.log"}) {
    EXPECT_EQ(zam_placeKeeping(dir.file("e"), dir.file(name)), 0) << name;
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(testutil::read_file(dir.file("e")), "e\n");
  }
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("l.log")));
  EXPECT_EQ(testutil::read_file(dir.file("target")), "t\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("d.log")));
  EXPECT_EQ(zam_placeKeeping(dir.file("missing"), log), 0);
  EXPECT_EQ(errno, ENOENT);
}

// Files set aside appear only when put in place, in the order placed, so
// that of several versions of one name the last placed stays; a version of
// the same bytes leaves the file in place, and a folder at the name is
// moved aside.
TEST(WholeFile, SetAsideUntilPutInPlace) {
  testutil::TempDir dir;
  const std::string file = dir.file("query.pdb");
  std::vector<std::string> temps;
  for (const char* body : {"hit one\n", "hit two\n", "hit two\n"}) {
    _zam_whole* w = zam_openWhole(file, "w");
    ASSERT_NE(w, nullptr);
    zam_fputs(w->fp, body);
    temps.push_back(zam_closeWholeAside(w, true));
    ASSERT_FALSE(temps.back().empty());
  }
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(entries(dir), 3);
  ASSERT_EQ(zam_placeWhole(temps[0], file), 1);
  EXPECT_EQ(testutil::read_file(file), "hit one\n");
  ASSERT_EQ(zam_placeWhole(temps[1], file), 1);
  const ino_t placed = inode(file);
  ASSERT_EQ(zam_placeWhole(temps[2], file), 1);
  EXPECT_EQ(testutil::read_file(file), "hit two\n");
  EXPECT_EQ(inode(file), placed);
  EXPECT_EQ(entries(dir), 1);

  _zam_whole* w = zam_openWhole(file, "w");
  ASSERT_NE(w, nullptr);
  zam_fputs(w->fp, "not kept\n");
  EXPECT_EQ(zam_closeWholeAside(w, false), "");
  EXPECT_EQ(zam_closeWholeAside(nullptr, true), "");
  EXPECT_EQ(entries(dir), 1);

  // A folder stands under the final name: moved aside whole, once, as a
  // user's file is.
  std::filesystem::create_directories(dir.file("taken.pdb/inside"));
  const int before = zam_setAsideFiles();
  for (const char* body : {"late\n", "later\n"}) {
    w = zam_openWhole(dir.file("taken.pdb"), "w");
    ASSERT_NE(w, nullptr);
    zam_fputs(w->fp, body);
    const std::string late = zam_closeWholeAside(w, true);
    ASSERT_FALSE(late.empty());
    EXPECT_EQ(zam_placeWhole(late, dir.file("taken.pdb")), 1);
    EXPECT_EQ(testutil::read_file(dir.file("taken.pdb")), body);
  }
  EXPECT_EQ(zam_setAsideFiles(), before + 1);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken.pdb.1/inside")));
  EXPECT_EQ(entries(dir), 3);
  EXPECT_EQ(testutil::read_file(file), "hit two\n");
}

namespace {

// The record of folder covers the file at path (under folder) as it is now.
bool covered(const std::string& folder, const std::string& name) {
  std::vector<_zam_written_entry> lines;
  _zam_identity now{};
  if (!zam_readWritten(folder, &lines) || !zam_identityAt((folder + name).c_str(), &now)) return false;
  return std::any_of(lines.begin(), lines.end(), [&](const _zam_written_entry& e) {
    return e.kind == 'W' && e.path == name && zam_sameIdentity(e.id, now);
  });
}

// The names in folder, the record's left out.
std::set<std::string> names(const std::string& folder) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (e.path().filename() != ZAM_WRITTEN_RECORD) out.insert(e.path().filename().string());
  return out;
}

// zam_announce_fault's answer: which turns and lines fail, and how.
std::string failing;  // "turn": every turn; "temp": the A lines of temporary names; "name": the others
int failing_with = 0;
int failAt(const std::string& path, bool ahead) {
  if (failing == "turn") return ahead ? 0 : failing_with;
  const bool temp = path.size() > 4 && path.compare(path.size() - 4, 4, ".tmp") == 0;
  return ahead && temp == (failing == "temp") ? failing_with : 0;
}

ZamPlaceStep kill_at;
void killHere(ZamPlaceStep step) {
  if (step == kill_at) raise(SIGKILL);
}

// A user's file put at path behind the writer's back, once: at the first
// step ZAM_STEP_AHEAD, between the writer's look and its naming.
std::string swap_path;
void swapInUsers(ZamPlaceStep step) {
  if (step != ZAM_STEP_AHEAD || swap_path.empty()) return;
  testutil::write_file(swap_path + ".users", "the user's, put there meanwhile\n");
  std::filesystem::rename(swap_path + ".users", swap_path);
  swap_path.clear();
}

}  // namespace

// No file takes a name under the recorded folder unless its turn was had
// and its A line written whole: a turn that fails, and an A line that fails
// (the file's own, or its temporary name's on its way to replacing an
// older file), fail the write with that errno and leave every name as it
// was, the user's file unmoved, nothing of the new file behind. The same
// holds for a file set aside, a file put in place later, and the log's moves.
TEST(WholeFile, NothingTakesANameWithoutItsLine) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  std::filesystem::create_directory(folder);
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "older.txt", "older\n"), 1);
  testutil::write_file(folder + "users.txt", "user\n");
  testutil::write_file(folder + "own.log", "log\n");
  const std::set<std::string> before = names(folder);
  const int aside = zam_setAsideFiles();
  zam_announce_fault = failAt;
  const std::shared_ptr<void> unhook(nullptr, [](void*) { zam_announce_fault = nullptr; });
  for (const auto& [where, err] : std::vector<std::pair<std::string, int>>{
           {"turn", EIO}, {"name", ENOSPC}, {"temp", EFBIG}}) {
    SCOPED_TRACE(where);
    failing = where;
    failing_with = err;
    // Over an older file of trel's only the temporary name's line fails;
    // a user's file stays unmoved where no turn was had.
    for (const char* name : {"new.txt", "users.txt", "older.txt"}) {
      if ((where == "temp" && std::string(name) != "older.txt") || (where != "turn" && name[0] == 'u')) continue;
      errno = 0;
      EXPECT_EQ(write_whole(folder + name, "new\n"), 0) << name;
      EXPECT_EQ(errno, err) << name;
    }
    // Set aside: its temporary name takes no name without its line either.
    _zam_whole* w = zam_openWhole(folder + "set.txt", "w");
    ASSERT_NE(w, nullptr);
    zam_fputs(w->fp, "aside\n");
    const std::string temp = zam_closeWholeAside(w, true);
    if (where == "name") {
      ASSERT_NE(temp, "");
      EXPECT_EQ(zam_placeWhole(temp, folder + "set.txt"), 0);
    } else {
      EXPECT_EQ(temp, "");
    }
    EXPECT_EQ(errno, err);
    if (where != "temp") {
      EXPECT_EQ(zam_placeKeeping(folder + "own.log", folder + (where == "turn" ? "users.txt" : "run.txt")), 0);
      EXPECT_EQ(errno, err);
      EXPECT_EQ(zam_placeNumberedOwn(folder + "own.log", folder + "older.txt"), "");
      EXPECT_EQ(errno, err);
    }
    EXPECT_EQ(names(folder), before);
    EXPECT_EQ(testutil::read_file(folder + "older.txt"), "older\n");
    EXPECT_EQ(testutil::read_file(folder + "users.txt"), "user\n");
  }
  zam_announce_fault = nullptr;
  EXPECT_EQ(zam_setAsideFiles(), aside);
  EXPECT_TRUE(covered(folder, "older.txt"));
  ASSERT_EQ(write_whole(folder + "older.txt", "new\n"), 1);
  EXPECT_EQ(testutil::read_file(folder + "older.txt"), "new\n");
  zam_recordWrites("");
}

// A replaced file that cannot be removed from the temporary name it was
// exchanged to is said, naming it and why, and fails the run (an error);
// the record covers it there, so that -purge removes it.
TEST(WholeFile, AReplacedFileLeftAtItsTemporaryNameIsSaidAndCovered) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  std::filesystem::create_directory(folder);
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "a.txt", "older\n"), 1);
  zam_file_fault = [](ZamFileCall call, const std::string&) { return call == ZAM_CALL_UNLINK ? EACCES : 0; };
  const std::shared_ptr<void> unhook(nullptr, [](void*) { zam_file_fault = nullptr; });
  const int errors = zam_err_count();
  testutil::Capture said;
  EXPECT_EQ(write_whole(folder + "a.txt", "new\n"), 1);
  zam_file_fault = nullptr;
  zam_recordWrites("");
  EXPECT_EQ(zam_err_count(), errors + 1);
  EXPECT_EQ(testutil::read_file(folder + "a.txt"), "new\n");
  std::set<std::string> left = names(folder);
  left.erase("a.txt");
  ASSERT_EQ(left.size(), 1u);
  const std::string temp = *left.begin();
  EXPECT_EQ(testutil::read_file(folder + temp), "older\n");
  EXPECT_TRUE(said.has("*Error* Failed to remove " + folder + temp + ", the earlier " + folder +
                       "a.txt that this run replaced [Permission denied]: -purge removes it.\n"))
      << said.text;
  EXPECT_TRUE(covered(folder, temp));
}

// A result replaces only the file that was looked at: a user's file put at
// the name between the look and the naming is moved aside, not replaced,
// whether the new file is put in place at its close or later; and a user's
// file put at the name after a run was killed at any step of placing its
// file there (over an older file of trel's or at a free name) is never
// taken for trel's: the next run moves it aside, and every other file left
// in the folder, the killed run's temporary names included, is covered by
// the record, for -purge to remove.
TEST(WholeFile, AUsersFileAtTheNameIsNeverReplaced) {
  for (const bool later : {false, true}) {
    SCOPED_TRACE(later);
    testutil::TempDir dir;
    const std::string folder = dir.file("res") + "/", file = folder + "a.pir";
    std::filesystem::create_directory(folder);
    zam_recordWrites(folder);
    ASSERT_EQ(write_whole(file, "older\n"), 1);
    const int aside = zam_setAsideFiles();
    swap_path = file;
    zam_place_fault = swapInUsers;
    const std::shared_ptr<void> unhook(nullptr, [](void*) { zam_place_fault = nullptr; });
    if (later) {
      _zam_whole* w = zam_openWhole(file, "w");
      ASSERT_NE(w, nullptr);
      zam_fputs(w->fp, "new\n");
      EXPECT_EQ(zam_placeWhole(zam_closeWholeAside(w, true), file), 1);
    } else {
      EXPECT_EQ(write_whole(file, "new\n"), 1);
    }
    zam_place_fault = nullptr;
    zam_recordWrites("");
    EXPECT_TRUE(swap_path.empty());
    EXPECT_EQ(testutil::read_file(file), "new\n");
    EXPECT_EQ(testutil::read_file(file + ".1"), "the user's, put there meanwhile\n");
    EXPECT_EQ(names(folder), (std::set<std::string>{"a.pir", "a.pir.1"}));
    EXPECT_EQ(zam_setAsideFiles(), aside + 1);
    EXPECT_TRUE(covered(folder, "a.pir"));
    EXPECT_FALSE(covered(folder, "a.pir.1"));
  }
  // The user's file is smaller than the killed run's, as a reused inode is
  // the record's own matter.
  const std::string users = "mine\n";
  for (const bool over : {false, true}) {
    for (const ZamPlaceStep step : {ZAM_STEP_AHEAD, ZAM_STEP_NAMED, ZAM_STEP_RECORDED}) {
      SCOPED_TRACE(std::to_string(over) + " " + std::to_string(step));
      testutil::TempDir dir;
      const std::string folder = dir.file("res") + "/", file = folder + "a.pir";
      std::filesystem::create_directory(folder);
      if (over) {
        zam_recordWrites(folder);
        ASSERT_EQ(write_whole(file, "older, of trel's\n"), 1);
        zam_recordWrites("");
      }
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        zam_recordWrites(folder);
        kill_at = step;
        zam_place_fault = killHere;
        write_whole(file, "the killed run's\n");
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
      testutil::write_file(folder + "saved", users);
      std::filesystem::rename(folder + "saved", file);
      const int aside = zam_setAsideFiles();
      zam_recordWrites(folder);
      ASSERT_EQ(write_whole(file, "next run's\n"), 1);
      zam_recordWrites("");
      EXPECT_EQ(zam_setAsideFiles(), aside + 1);
      EXPECT_EQ(testutil::read_file(file + ".1"), users);
      EXPECT_FALSE(covered(folder, "a.pir.1"));
      for (const std::string& name : names(folder)) {
        if (name == "a.pir.1") continue;
        EXPECT_TRUE(covered(folder, name)) << name;
      }
    }
  }
}

// A file set aside under a temporary name is held by its writer's lock and
// recorded ahead as still written, as long as the name stands: a run killed
// meanwhile leaves it to a record that covers it once the lock is gone.
TEST(WholeFile, ATemporaryNameIsHeldAndRecorded) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/", file = folder + "q.pdb";
  std::filesystem::create_directory(folder);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    zam_recordWrites(folder);
    _zam_whole* w = zam_openWhole(file, "w");
    if (w) zam_fputs(w->fp, "hit\n");
    const std::string temp = zam_closeWholeAside(w, true);
    const std::string said = temp + "\n";
    if (write(pipe_fds[1], said.data(), said.size()) != static_cast<ssize_t>(said.size())) _exit(1);
    pause();  // killed
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string temp;
  char c;
  while (read(pipe_fds[0], &c, 1) == 1 && c != '\n') temp += c;
  close(pipe_fds[0]);
  const int held = temp.empty() ? -1 : zam_writerGone(temp);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(held, 0);
  EXPECT_EQ(zam_writerGone(temp), 1);
  EXPECT_TRUE(covered(folder, temp.substr(folder.size())));

  // In this process: held until put in place, then let go.
  zam_recordWrites(folder);
  _zam_whole* w = zam_openWhole(file, "w");
  ASSERT_NE(w, nullptr);
  zam_fputs(w->fp, "hit\n");
  const std::string mine = zam_closeWholeAside(w, true);
  ASSERT_FALSE(mine.empty());
  EXPECT_EQ(zam_writerGone(mine), 0);
  ASSERT_EQ(zam_placeWhole(mine, file), 1);
  EXPECT_EQ(zam_writerGone(file), 1);
  zam_recordWrites("");
  EXPECT_TRUE(covered(folder, "q.pdb"));
}

// A run that is stopped takes away what it set aside and never placed, and
// sets nothing aside afterwards. (Last: the stop holds for the process.)
TEST(WholeFile, StopRemovesWhatWasSetAside) {
  testutil::TempDir dir;
  const std::string file = dir.file("query.pdb");
  testutil::write_file(file, "old\n");
  std::string aside[2];
  for (std::string& temp : aside) {
    _zam_whole* w = zam_openWhole(file, "w");
    ASSERT_NE(w, nullptr);
    zam_fputs(w->fp, "new\n");
    temp = zam_closeWholeAside(w, true);
    if (&temp == &aside[0]) {
      EXPECT_EQ(zam_removeOwnTemps(), 1);
    }
  }
  EXPECT_TRUE(aside[1].empty());
  EXPECT_EQ(entries(dir), 1);
  EXPECT_EQ(testutil::read_file(file), "old\n");
}
