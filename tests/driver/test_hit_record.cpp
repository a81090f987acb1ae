// Reruns into a results folder shared with other queries and with the user's
// own files, run by the tool itself: a rerun removes only the files of the
// hits its new table no longer shows that its query's earlier runs recorded
// and that stand as recorded; without a sound record it removes nothing;
// and two runs of one query at once keep each other's files and records.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/file.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/log_capture.h"
#include "common/run_trel.h"
#include "common/test_util.h"
#include "driver/trel_hit_record.h"
#include "driver/trel_top.h"
#include "runtime/zam_lock.h"
#include "runtime/zam_written.h"
#include "output/trel_print.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_identity.h"
#include "store/trel_thing.h"

namespace {

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;

const char* const kTargets[] = {"1ard", "1znf", "1zfd"};

// The regular files of folder with their contents, logs left out (a run
// sets its predecessor's aside under a numbered name).
std::map<std::string, std::string> contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name.rfind("trel.log", 0) != 0) files[name] = read_file(e.path().string());
  }
  return files;
}

void copyPdb(const TempDir& dir, const std::string& from, const std::string& to) {
  fs::copy_file(shared_pdb("mustang-testdata/" + from + ".pdb"), dir.file(to + ".pdb"));
}

// Runs the tool in dir with its results in dir itself, as -server does, and
// no sub-folder per query.
testutil::Outcome search(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), "-nosubdirs");
  return testutil::run_trel(dir.str(), args, {"TREL_RESULTS=."});
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

bool startsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

// Waits past the grain of the file system's change times: a rerun keeps a
// file changed in the very tick it started in, as one another run may have
// written since.
void pastTheTick() { usleep(20000); }

// The same record with its CRC line made right for what stands before it.
std::string resealed(const std::string& record) {
  const std::string body = record.substr(0, record.rfind('\n', record.size() - 2) + 1);
  char crc[24];
  std::snprintf(crc, sizeof crc, "#crc %08" PRIx32 "\n", zam_crc32(0, body.data(), (int64_t)body.size()));
  return body + crc;
}

// The files a record names, by name, with the five numbers of the identity
// it gives each as text.
std::map<std::string, std::string> recorded(const std::string& record) {
  std::map<std::string, std::string> files;
  for (const std::string& line : testutil::split_lines(record)) {
    if (line.empty() || line[0] < '0' || line[0] > '9') continue;
    size_t at = 0;
    for (int field = 0; field < 5; field++) at = line.find(' ', at) + 1;
    files[line.substr(at)] = line.substr(0, at - 1);
  }
  return files;
}

// The identity of the file at path as a record gives it.
std::string identity(const std::string& path) {
  _zam_identity id;
  return zam_identityAt(path.c_str(), &id) ? zam_identityText(id) : "(none)";
}

// Every file of folder whose name keep accepts is named in the query's
// record with the identity it has: no run's files fell out of it.
template <typename Keep>
void expectRecorded(const std::string& folder, const std::string& query, Keep keep) {
  const std::map<std::string, std::string> files = recorded(read_file(folder + "/" + query + ".kwritten"));
  int checked = 0;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (!keep(name)) continue;
    checked++;
    EXPECT_EQ(files.count(name) ? files.at(name) : "(not recorded)", identity(e.path().string())) << name;
  }
  EXPECT_GT(checked, 0);
}

class HitRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    copyPdb(dir, "1sp1", "q");
    copyPdb(dir, "1sp2", "q_A");  // PDB chain names make such pairs of queries common
    for (const char* t : kTargets) copyPdb(dir, t, t);
  }
  std::vector<std::string> with(const std::string& query, std::vector<std::string> options = {}) const {
    options.push_back(query + ".pdb");
    for (const char* t : kTargets) options.push_back(std::string(t) + ".pdb");
    return options;
  }
  TempDir dir;
};

// A rerun that writes fewer kinds of file (-nopdb, -nofasta) for the same
// hits removes none of theirs, and its record still names them. A rerun
// showing one hit of three then removes the other two hits' files, but only
// those still as trel wrote them, and never another query's files or the
// user's. The user's changes to the earlier files keep them: one grown, one
// overwritten in place at the same size and given its old times back (as
// cp -p, rsync -t and tar x do), one removed and replaced by a new file of
// the same size and times (which often gets the old inode number), and one
// to which the user gave a second name.
TEST_F(HitRecord, RerunRemovesOnlyTheFilesOfHiddenHitsAsWritten) {
  testutil::Outcome r = search(dir, with("q"));
  ASSERT_EQ(r.status, 0) << r.out;
  const std::map<std::string, std::string> first = contents(dir.str());
  r = search(dir, with("q", {"-nopdb", "-nofasta"}));
  ASSERT_EQ(r.status, 0) << r.out;
  for (const auto& entry : first) EXPECT_TRUE(fs::exists(dir.file(entry.first))) << entry.first;
  expectRecorded(dir.str(), "q", [](const std::string& name) { return name.find("_q") != std::string::npos; });
  r = search(dir, with("q_A"));
  ASSERT_EQ(r.status, 0) << r.out;
  std::map<std::string, std::string> other;  // q_A's files
  for (const auto& [name, text] : contents(dir.str()))
    if (!first.count(name)) other[name] = text;
  ASSERT_GT(other.size(), 60u);

  // The user's files of hit-like names and an edited ".knames" naming one.
  std::map<std::string, std::string> users;
  for (const char* t : kTargets)
    for (const char* tail : {".dat", "_B.pdb", "_mask.pdb", "_E.fasta"}) users[t + std::string("_q") + tail] = "mine\n";
  users["important_q.pdb"] = "mine\n";
  testutil::write_file(dir.file("q.knames"), read_file(dir.file("q.knames")) + "important\n");
  for (const auto& [name, text] : users) testutil::write_file(dir.file(name), text);
  pastTheTick();
  for (const char* t : kTargets) {
    const std::string stem = t + std::string("_q");
    users[stem + ".profit"] = first.at(stem + ".profit") + "! mine\n";
    testutil::write_file(dir.file(stem + ".profit"), users[stem + ".profit"]);
    for (const char* tail : {".pir", ".fasta"}) {
      const std::string path = dir.file(stem + tail);
      struct stat st;
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      if (tail == std::string(".fasta")) {
        ASSERT_EQ(unlink(path.c_str()), 0);
      }
      users[stem + tail] = std::string(first.at(stem + tail).size() - 1, 'n') + "\n";
      testutil::write_file(path, users[stem + tail]);
      const timespec times[2] = {st.st_atim, st.st_mtim};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    ASSERT_EQ(link(dir.file(stem + ".kalign").c_str(), dir.file(stem + "_mine.kalign").c_str()), 0);
    users[stem + ".kalign"] = users[stem + "_mine.kalign"] = first.at(stem + ".kalign");
  }

  r = search(dir, with("q", {"-show=1"}));
  ASSERT_EQ(r.status, 0) << r.out;
  const std::map<std::string, std::string> after = contents(dir.str());
  for (const auto& [name, text] : other) EXPECT_EQ(after.count(name) ? after.at(name) : "(gone)", text) << name;
  const std::string shown = firstLine(read_file(dir.file("q.knames")));
  int gone = 0;
  for (const char* t : kTargets) {
    const std::string stem = t + std::string("_q");
    if (shown == t) continue;  // its files are written again
    for (const auto& [name, text] : users)
      if (startsWith(name, stem)) {
        EXPECT_EQ(after.count(name) ? after.at(name) : "(gone)", text) << name;
      }
    // Every other file of the hidden hit is the earlier run's, unchanged.
    for (const auto& [name, text] : first)
      if (startsWith(name, stem + ".") || startsWith(name, stem + "_")) {
        if (users.count(name)) continue;
        EXPECT_FALSE(after.count(name)) << name;
        gone++;
      }
  }
  EXPECT_EQ(gone, 2 * 16);
  EXPECT_EQ(after.at("important_q.pdb"), "mine\n");
  for (const char* input : {"q.pdb", "q_A.pdb", "1ard.pdb"}) EXPECT_TRUE(after.count(input)) << input;
}

// Without a record that proves what the earlier run wrote (results of an
// older trel, a record damaged or edited by hand), a rerun removes nothing.
TEST_F(HitRecord, NoSoundRecordRemovesNothing) {
  testutil::Outcome r = search(dir, with("q"));
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string record = read_file(dir.file("q.kwritten"));
  const size_t pir = record.find(" 1ard_q.pir\n");
  ASSERT_NE(pir, std::string::npos) << record;
  // A size made ten times larger; a name that a NUL byte would cut to a
  // file's name, and a number of a hit's line a NUL byte would end, under a
  // CRC made right; a record of an older trel (size,
  // modification time and inode, no change time and no hit) that names the
  // file as it stands.
  std::string edited = record;
  const size_t line = record.rfind('\n', pir) + 1;
  edited.insert(record.find(' ', record.find(' ', record.find(' ', line) + 1) + 1), "0");
  std::string cut = record;
  cut.insert(pir + 11, std::string(1, '\0') + "x");
  // A NUL byte within the number of a hit's line, which would end it there
  // for a reader of C strings.
  std::string stopped = record;
  const size_t hit = record.find("\n#hit ");
  ASSERT_NE(hit, std::string::npos) << record;
  stopped.insert(hit + 7, std::string(1, '\0') + "9");
  // A line longer than any a record writes (a name of 70,000 bytes).
  std::string longer = record;
  longer.insert(pir + 11, std::string(70000, 'x'));
  struct stat st;
  ASSERT_EQ(stat(dir.file("1ard_q.pir").c_str(), &st), 0);
  const std::string older = "#trel hit files 1: q\n" + std::to_string(st.st_size) + " " +
                            std::to_string((long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec) + " " +
                            std::to_string(st.st_ino) + " 1ard_q.pir\n#crc 0\n";
  for (const std::string& text :
       {std::string(), edited, resealed(cut), resealed(stopped), resealed(older), resealed(longer)}) {
    if (text.empty())
      fs::remove(dir.file("q.kwritten"));
    else
      testutil::write_file(dir.file("q.kwritten"), text);
    std::map<std::string, std::string> before = contents(dir.str());
    r = search(dir, with("q", {"-show=1"}));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::map<std::string, std::string> after = contents(dir.str());
    for (const auto& entry : before) EXPECT_TRUE(after.count(entry.first)) << entry.first;
    // The rerun's sound record lets the next one remove the files it wrote.
    r = search(dir, with("q"));
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // A record that begins as trel's does, however damaged, is trel's: the
  // run that refuses it writes over it. An empty one (a disk that was full,
  // a user's ": >") is not: it is moved aside once, and a record begun anew.
  EXPECT_FALSE(fs::exists(dir.file("q.kwritten.1")));
  testutil::write_file(dir.file("q.kwritten"), "");
  for (int run = 0; run < 2; run++) {
    r = search(dir, with("q"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(startsWith(read_file(dir.file("q.kwritten")), "#trel hit files 4: q\n"));
  }
  EXPECT_EQ(read_file(dir.file("q.kwritten.1")), "");
  EXPECT_FALSE(fs::exists(dir.file("q.kwritten.2")));
}

// Two queries of one run in one folder, their names a target's and a query's
// apart: x_q and q, each a copy of 1sp1, against t and t_x, each a copy of
// 1ard. Query x_q's hit t and q's hit t_x both write t_x_q.mat, with the same
// bytes, which the second write therefore leaves as it stands (time and
// all). A rerun in which q no longer shows t_x must not remove the file
// that x_q, shown t, has just written again.
TEST_F(HitRecord, AFileAnotherQueryOfTheRunWroteStays) {
  copyPdb(dir, "1sp1", "x_q");
  copyPdb(dir, "1ard", "t");
  copyPdb(dir, "1ard", "t_x");
  testutil::write_file(dir.file("queries"), "x_q.pdb\nq.pdb\n");
  testutil::write_file(dir.file("targets"), "t.pdb\nt_x.pdb\n1znf.pdb\n");
  testutil::Outcome r = search(dir, {"-source=queries", "-target=targets"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string mat = read_file(dir.file("t_x_q.mat"));
  ASSERT_FALSE(mat.empty());

  pastTheTick();
  r = search(dir, {"-show=1", "-source=queries", "-target=targets"});
  ASSERT_EQ(r.status, 0) << r.out;
  // The equal hits are ranked alike for both queries.
  ASSERT_EQ(firstLine(read_file(dir.file("q.knames"))), "t");
  ASSERT_EQ(firstLine(read_file(dir.file("x_q.knames"))), "t");
  EXPECT_EQ(read_file(dir.file("t_x_q.mat")), mat);
  EXPECT_FALSE(fs::exists(dir.file("t_x_x_q.mat")));  // x_q's hidden hit
  EXPECT_FALSE(fs::exists(dir.file("1znf_q.mat")));
}

// Whether a file of res/1ard is no table of the query's nor its record.
bool notTable(const std::string& name) { return !startsWith(name, "1ard."); }

// Runs of query 1ard into res/ of the folder of the zinc fingers, as a user
// starts them side by side.
class TwoRuns : public ::testing::Test {
 protected:
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    for (const char* s : {"1ard", "1sp1", "1zaa1", "1znf", "5znf"}) copyPdb(dir, s, s);
  }
  testutil::Outcome run(std::vector<std::string> args) const {
    return testutil::run_trel(dir.str(), std::move(args), {"TREL_RESULTS=res"});
  }
  // The hit files in res/1ard, by the hit's name.
  std::map<std::string, int> hitFiles() const {
    std::map<std::string, int> hits;
    for (const auto& e : fs::directory_iterator(dir.file("res/1ard"))) {
      const std::string name = e.path().filename().string();
      if (!startsWith(name, "1ard")) hits[name.substr(0, name.find("_1ard"))]++;
    }
    return hits;
  }
  TempDir dir;
};

// Whichever run writes first, each keeps the other's files and the record
// names the files of both, so that a later rerun removes those of every
// hit it does not show.
TEST_F(TwoRuns, SideBySideKeepOneRecordOfBoth) {
  for (int trial = 0; trial < 3; trial++) {
    SCOPED_TRACE(trial);
    fs::remove_all(dir.file("res"));
    testutil::Outcome a, b;
    std::thread one([&] { a = run({"1ard.pdb", "1sp1.pdb", "1zaa1.pdb"}); });
    std::thread two([&] { b = run({"1ard.pdb", "1znf.pdb", "5znf.pdb"}); });
    one.join();
    two.join();
    ASSERT_EQ(a.status, 0) << a.out;
    ASSERT_EQ(b.status, 0) << b.out;
    expectRecorded(dir.file("res/1ard"), "1ard", notTable);
  }
  pastTheTick();
  testutil::Outcome r = run({"1ard.pdb", "1sp1.pdb"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(hitFiles(), (std::map<std::string, int>{{"1sp1", 20}}));
}

// A run started first that ends after one started later keeps the files the
// later one wrote in the meantime, though its own table does not show them:
// the first run waits in its search for its target list, a pipe, while the
// second runs whole. Done twice, so that the second time both find their
// earlier results, which they write again with the very same bytes: that
// counts as written, and neither run removes the other's hits.
TEST_F(TwoRuns, AnEarlierRunKeepsTheFilesOfALaterOne) {
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    fs::remove(dir.file("held"));
    ASSERT_EQ(mkfifo(dir.file("held").c_str(), 0600), 0);
    testutil::Outcome early;
    std::thread first([&] { early = run({"-target=held", "1ard.pdb"}); });
    int writer = -1;
    for (int wait = 0; wait < 6000 && writer < 0; wait++)
      if ((writer = open(dir.file("held").c_str(), O_WRONLY | O_NONBLOCK)) < 0) usleep(10000);
    if (writer < 0) {
      first.join();
      FAIL() << early.out;
    }
    testutil::Outcome later = run({"1ard.pdb", "1znf.pdb", "5znf.pdb"});
    const std::string list = "1sp1.pdb\n1zaa1.pdb\n";
    const bool fed = write(writer, list.data(), list.size()) == (ssize_t)list.size();
    close(writer);
    first.join();
    ASSERT_TRUE(fed);
    ASSERT_EQ(later.status, 0) << later.out;
    ASSERT_EQ(early.status, 0) << early.out;
    EXPECT_EQ(early.out.find("Removed"), std::string::npos) << early.out;
    EXPECT_EQ(hitFiles(), (std::map<std::string, int>{{"1sp1", 20}, {"1zaa1", 20}, {"1znf", 20}, {"5znf", 20}}));
    expectRecorded(dir.file("res/1ard"), "1ard", notTable);
  }
}

// Identical runs at once, from an empty folder and over their own earlier
// results, each write every file of every hit: none takes another's file
// for a user's and moves it aside, none removes one, and the record names
// them all.
TEST_F(TwoRuns, IdenticalRunsAtOnceSetNothingAside) {
  const std::vector<std::string> args = {"1ard.pdb", "1sp1.pdb", "1zaa1.pdb", "1znf.pdb", "5znf.pdb"};
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    testutil::Outcome r[3];
    std::vector<std::thread> runs;
    for (testutil::Outcome& one : r) runs.emplace_back([&] { one = run(args); });
    for (std::thread& t : runs) t.join();
    for (const testutil::Outcome& one : r) {
      ASSERT_EQ(one.status, 0) << one.out;
      EXPECT_EQ(one.out.find("Removed"), std::string::npos) << one.out;
      EXPECT_EQ(one.out.find("no record shows trel wrote"), std::string::npos) << one.out;
    }
    for (const auto& e : fs::recursive_directory_iterator(dir.file("res"))) {
      const std::string name = e.path().filename().string();
      const bool numbered = name.find(".1") != std::string::npos;
      EXPECT_TRUE(!numbered || startsWith(name, "trel.log.")) << name;  // only the logs are numbered
    }
    EXPECT_EQ(hitFiles(), (std::map<std::string, int>{{"1sp1", 20}, {"1zaa1", 20}, {"1znf", 20}, {"5znf", 20}}));
    expectRecorded(dir.file("res/1ard"), "1ard", notTable);
  }
}

// A run of many queries keeps no descriptor of a query past it: at a limit
// a few above what one query needs, each query of twenty is written whole.
TEST(ManyQueries, NeedNoMoreDescriptorsThanOne) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directory(dir.file("tg"));
  for (const char* t : {"1ard", "1znf", "1zfd"}) copyPdb(dir, t, "tg/" + std::string(t));
  std::vector<std::string> args = {"-c", "ulimit -n 18 && exec \"$@\"", "sh", TREL_BINARY, "-many", "-target=tg"};
  for (int q = 0; q < 20; q++) {
    copyPdb(dir, "1sp1", "q" + std::to_string(q));
    args.push_back("q" + std::to_string(q) + ".pdb");
  }
  const testutil::Outcome r = testutil::run_program("/bin/sh", dir.str(), args, {"PATH=/usr/bin:/bin", "TREL_CPUS=1"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(testutil::has(r.out, "Too many open files")) << r.out;
  EXPECT_TRUE(fs::exists(dir.file("trel_results/q19/1ard_q19.kalign")));
}

// The descriptor exports of a run killed as they take their names are
// named ahead in the query's record, as its other files are: a rerun that
// does not show their hit removes them.
TEST(Exports, OfARunKilledAsTheyArePlacedGoWithTheNextRun) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  for (const char* s : {"1sp1", "1sp2", "1ard"}) copyPdb(dir, s, s);
  static std::string sig;
  sig = dir.file("trel_results/1sp1/1sp2_1sp1_B_sig.dat");
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || chdir(dir.str().c_str()) != 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
    setenv("TREL_CACHE", dir.file("cache").c_str(), 1);
    zam_place_fault = [](ZamPlaceStep step) {
      if (step == ZAM_STEP_NAMED && access(sig.c_str(), F_OK) == 0) raise(SIGKILL);
    };
    char* args[] = {const_cast<char*>("trel"), const_cast<char*>("-cache"), const_cast<char*>("-q3"),
                    const_cast<char*>("-nmax=4"), const_cast<char*>("1sp1.pdb"), const_cast<char*>("1sp2.pdb"),
                    const_cast<char*>("1ard.pdb"), nullptr};
    std::exit(trel_top(7, args, environ));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << read_file(dir.file("out"));
  ASSERT_TRUE(fs::exists(sig));
  ASSERT_TRUE(fs::exists(dir.file("trel_results/1sp1/1sp2_1sp1_B_tau.dat")));
  pastTheTick();
  const testutil::Outcome r = testutil::run_trel(dir.str(), {"-cache", "-q3", "-nmax=4", "1sp1.pdb", "1ard.pdb"},
                                                 {"TREL_CACHE=" + dir.file("cache")});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(fs::exists(sig)) << r.out;
  EXPECT_FALSE(fs::exists(dir.file("trel_results/1sp1/1sp2_1sp1_B_tau.dat"))) << r.out;
  EXPECT_TRUE(fs::exists(dir.file("trel_results/1sp1/1ard_1sp1_B_tau.dat"))) << r.out;
}

// The passes of a query's runs over its folder, each run a process of its
// own (with its own start) that records what it writes in the folder's
// results record: one file "<hit>_q.pir" for each hit it writes, each
// named ahead in the query's record as it is opened, then a renew showing
// the hits named. Flags: "wait", the run leaves the file "ready" once it
// has begun and waits for the file "go" before it writes; "stop", it ends
// once its files are written, as a stopped run does, without its renew;
// "linger", it leaves "renewed" after its renew and waits for "go" before
// it ends; "noofd", the file system refuses open-file-description locks;
// "same", every run writes a hit's file with the same bytes (which leaves
// a file written before as it stands, its times and all); "two", each hit
// writes "<hit>_q.fasta" too; "noask", the file system cannot tell whose
// open-file-description locks a file holds (it grants them).
// What the run says goes to "said.<pid>". Run as the disabled test below,
// by the test binary started again.
constexpr const char* kPassVariable = "TREL_TEST_HIT_PASS";

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool says(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class HitPasses : public ::testing::Test {
 protected:
  std::string folder() const { return dir.str() + "/"; }
  std::string control(const std::string& name) const { return ctl.file(name); }
  // Starts a run writing hits and showing shown, with the flags; waits for
  // it to begin when it is to wait for "go".
  pid_t start(const std::string& hits, const std::string& shown, const std::string& flags = "") {
    fs::remove(control("ready"));
    fs::remove(control("go"));
    fs::remove(control("renewed"));
    const std::string spec = folder() + "\n" + hits + "\n" + shown + "\n" + ctl.str() + "\n" + flags;
    const pid_t child = fork();
    if (child == 0) {
      setenv(kPassVariable, spec.c_str(), 1);
      execl("/proc/self/exe", "test", "--gtest_filter=HitPassRun.DISABLED_InAProcessOfItsOwn",
            "--gtest_also_run_disabled_tests", "--gtest_brief=1", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int k = 0; says(flags, "wait") && k < 3000 && !fs::exists(control("ready")); k++) usleep(2000);
    return child;
  }
  // Waits for the run to end; its status, what it said in *said.
  int finish(pid_t child, std::string* said = nullptr) const {
    int status = 0;
    const bool ended = waitpid(child, &status, 0) == child;
    if (said) *said = read_file(control("said." + std::to_string(child)));
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int run(const std::string& hits, const std::string& shown, const std::string& flags = "",
          std::string* said = nullptr) {
    return finish(start(hits, shown, flags), said);
  }
  void go() const { testutil::write_file(control("go"), "go\n"); }
  bool has(const std::string& hit) const { return fs::exists(folder() + hit + "_q.pir"); }
  TempDir dir, ctl;
};

// Refuses every open-file-description lock, as some file systems do.
int refuseOfd(int, int, struct flock*) {
  errno = ENOLCK;
  return -1;
}

// Grants open-file-description locks but cannot tell who holds one.
int failAsking(int fd, int cmd, struct flock* lock) {
  if (cmd != F_OFD_GETLK) return fcntl(fd, cmd, lock);
  errno = EIO;
  return -1;
}

void waitFor(const std::string& path) {
  for (int k = 0; k < 30000 && !fs::exists(path); k++) usleep(1000);
}

TEST(HitPassRun, DISABLED_InAProcessOfItsOwn) {
  const char* spec = std::getenv(kPassVariable);
  if (!spec) GTEST_SKIP();
  const std::vector<std::string> parts = testutil::split_lines(spec);
  ASSERT_GE(parts.size(), 4u);
  const std::string& folder = parts[0];
  const std::string& ctl = parts[3];
  const std::string flags = parts.size() > 4 ? parts[4] : "";
  if (says(flags, "noofd")) zam_ofd_lock_call = refuseOfd;
  if (says(flags, "noask")) zam_ofd_lock_call = failAsking;
  zam_recordWrites(folder);
  testutil::Capture said;
  {
    _trel_thing* q = trel_createThing("q", "./");
    _trel_hit_pass pass;
    trel_beginHitFiles(&pass, folder.c_str(), q, "");
    if (says(flags, "wait")) {
      testutil::write_file(ctl + "/ready", "ready\n");
      waitFor(ctl + "/go");
    }
    _trel_written written;
    written.data = &pass;
    written.opening = [](void* data, const std::string& path, const std::string& hit) {
      trel_aheadHitFile(static_cast<_trel_hit_pass*>(data), path, hit);
    };
    _trel_written* before = trel_holdWritten(&written);
    for (const std::string& hit : words(parts[1])) {
      const std::string was = trel_holdHit(hit);
      const std::string run = says(flags, "same") ? "" : " of run " + std::to_string(getpid());
      trel_writeText(folder + hit + "_q.pir", "hit " + hit + run + "\n");
      if (says(flags, "two")) trel_writeText(folder + hit + "_q.fasta", "hit " + hit + run + "\n");
      trel_holdHit(was);
    }
    trel_holdWritten(before);
    if (!says(flags, "stop")) {
      const std::vector<std::string> shown = words(parts[2]);
      trel_renewHitRecord(&pass, folder.c_str(), q, "", written,
                          std::set<std::string>(shown.begin(), shown.end()), true);
    }
    if (says(flags, "linger")) {
      testutil::write_file(ctl + "/renewed", "renewed\n");
      waitFor(ctl + "/go");
    }
    trel_closeThing(nullptr, q);
  }
  zam_recordWrites("");
  testutil::write_file(ctl + "/said." + std::to_string(getpid()), said.text);
}

// A line naming a file ahead, as a run with the word run appends it.
std::string aheadLine(const std::string& run, const std::string& name, const std::string& hit) {
  const std::string body = run + " " + name + "/" + hit;
  char crc[16];
  std::snprintf(crc, sizeof crc, "+%08" PRIx32 " ", zam_crc32(0, body.data(), (int64_t)body.size()));
  return crc + body + "\n";
}

// A run that writes its files holds every removal of a hidden hit back,
// and holds nothing once it is gone, killed as it may be, its mark a lock
// the kernel dropped.
TEST_F(HitPasses, AWritingRunHoldsRemovalsUntilItEnds) {
  ASSERT_EQ(run("a b", "a b"), 0);
  const pid_t writing = start("", "", "wait");
  ASSERT_TRUE(fs::exists(control("ready")));
  ASSERT_EQ(run("a", "a"), 0);
  EXPECT_TRUE(has("b"));
  kill(writing, SIGKILL);
  finish(writing);
  ASSERT_EQ(run("a", "a"), 0);
  EXPECT_FALSE(has("b"));
}

// Where it cannot be told whether another run writes, a run removes no
// hidden hit (one writing may write it again), and says why.
TEST_F(HitPasses, WhereWritersCannotBeToldHiddenHitsStay) {
  ASSERT_EQ(run("a b", "a b"), 0);
  const pid_t writing = start("", "", "wait");
  ASSERT_TRUE(fs::exists(control("ready")));
  std::string said;
  ASSERT_EQ(run("a", "a", "noask", &said), 0);
  kill(writing, SIGKILL);
  finish(writing);
  EXPECT_TRUE(has("b"));
  EXPECT_TRUE(says(said, "Kept 1 file of hits of q that its table does not show: whether another run of the "
                         "query writes it now cannot be told in " + folder() + ".\n"))
      << said;
}

// A run keeps the hits that a run ending after it began wrote, though its
// table does not show them, and removes those of a run that ended before it
// began, however shortly before: runs one after the other do not overlap.
TEST_F(HitPasses, OnlyARunEndingAfterThisOneBeganKeepsItsHits) {
  ASSERT_EQ(run("a b c", "a b c"), 0);
  const pid_t first = start("a", "a", "wait");
  ASSERT_TRUE(fs::exists(control("ready")));
  ASSERT_EQ(run("c", "c"), 0);
  go();
  ASSERT_EQ(finish(first), 0);
  EXPECT_FALSE(has("b"));
  EXPECT_TRUE(has("c"));
  ASSERT_EQ(run("a", "a"), 0);
  EXPECT_FALSE(has("c"));
}

// No time read from the record is believed past now: a hit whose writer
// ends in the far future (a forged record, a clock that ran ahead) is kept
// by the run that finds it so, which writes it back as now, and removed by
// the next.
TEST_F(HitPasses, NoTimeFromTheRecordIsBelievedPastNow) {
  ASSERT_EQ(run("a b", "a b"), 0);
  const std::string path = folder() + "q.kwritten";
  std::string record = read_file(path);
  const size_t at = record.find("#hit ");
  const size_t b = record.find("#hit ", at + 1);
  ASSERT_NE(b, std::string::npos);
  record.replace(b, record.find(' ', b + 5) - b, "#hit 9000000000000000000");
  testutil::write_file(path, resealed(record));
  ASSERT_EQ(run("a", "a"), 0);
  EXPECT_TRUE(has("b"));
  ASSERT_EQ(run("a", "a"), 0);
  EXPECT_FALSE(has("b"));
}

// A run enters while another writes (it never waits for a writing run),
// and waits, saying so after a second and naming the folder, only while
// another run enters or renews the record; so does a renew.
TEST_F(HitPasses, EnteringWaitsForARenewNeverForAWriter) {
  const pid_t writing = start("", "", "wait");
  ASSERT_TRUE(fs::exists(control("ready")));
  _trel_thing* q = trel_createThing("q", "./");
  const auto within = [](std::atomic<bool>& done, int ms) {
    for (int k = 0; k < ms && !done; k++) usleep(1000);
    return done.load();
  };
  {
    std::atomic<bool> done{false};
    _trel_hit_pass pass;
    std::thread enter([&] {
      trel_beginHitFiles(&pass, folder().c_str(), q, "");
      done = true;
    });
    const bool entered = within(done, 10000);
    if (!entered) kill(writing, SIGKILL);  // lets it through
    enter.join();
    EXPECT_TRUE(entered);
  }
  kill(writing, SIGKILL);
  finish(writing);
  const int held = open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  _trel_written none;
  for (const bool renew : {false, true}) {
    SCOPED_TRACE(renew);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::atomic<bool> done{false};
    _trel_hit_pass pass;
    testutil::Capture said;
    if (renew) pass.fd = open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::thread step([&] {
      if (renew) {
        trel_renewHitRecord(&pass, folder().c_str(), q, "", none, {}, true);
      } else {
        trel_beginHitFiles(&pass, folder().c_str(), q, "");
      }
      done = true;
    });
    EXPECT_FALSE(within(done, renew ? 200 : 1500));
    flock(held, LOCK_UN);
    EXPECT_TRUE(within(done, 10000));
    step.join();
    EXPECT_TRUE(renew || said.has("Waiting for another run of q to renew its record in " + folder()));
  }
  close(held);
  trel_closeThing(nullptr, q);
}

// Where the file system refuses flock, runs of a query still take turns:
// by the other kind of lock, of the query's lock file (a folder cannot
// hold that kind exclusive).
TEST_F(HitPasses, WhereFlockIsRefusedRunsStillTakeTurns) {
  zam_flock_call = [](int, int) {
    errno = ENOLCK;
    return -1;
  };
  _trel_thing* q = trel_createThing("q", "./");
  {
    _trel_hit_pass first;
    trel_beginHitFiles(&first, folder().c_str(), q, "");  // makes the lock file
    const int held = open((folder() + "q.kwriting").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &whole), 0);
    std::atomic<bool> done{false};
    _trel_hit_pass pass;
    std::thread enter([&] {
      trel_beginHitFiles(&pass, folder().c_str(), q, "");
      done = true;
    });
    usleep(300000);
    EXPECT_FALSE(done.load());
    close(held);
    enter.join();
    EXPECT_TRUE(done.load());
  }
  trel_closeThing(nullptr, q);
  zam_flock_call = nullptr;
}

// Writer threads that wait for another run's turn at the record say so
// once, naming the query and the folder, and go on once it ends.
TEST_F(HitPasses, WritersWaitingForARenewSaySoOnce) {
  _trel_thing* q = trel_createThing("q", "./");
  testutil::Capture said;
  {
    _trel_hit_pass pass;
    trel_beginHitFiles(&pass, folder().c_str(), q, "");
    const int held = open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::atomic<int> done{0};
    std::vector<std::thread> writers;
    for (const char* hit : {"a", "b", "c"})
      writers.emplace_back([&, hit] {
        trel_aheadHitFile(&pass, folder() + hit + "_q.pir", hit);
        done++;
      });
    usleep(1500000);
    EXPECT_EQ(done.load(), 0);
    flock(held, LOCK_UN);
    close(held);
    for (std::thread& t : writers) t.join();
  }
  trel_closeThing(nullptr, q);
  const std::string line = "Waiting for another run of q to renew its record in " + folder() + "\n";
  const size_t at = said.text.find(line);
  EXPECT_NE(at, std::string::npos) << said.text;
  EXPECT_EQ(said.text.find(line, at + 1), std::string::npos) << said.text;
  EXPECT_NE(read_file(folder() + "q.kwritten").find("c_q.pir/c\n"), std::string::npos);
}

// A run stopped once its files are written, before it renews the record,
// leaves them named ahead: the next run that does not show their hits
// removes them, those it wrote again over an earlier run's files as well
// (trel changed them: they are not the user's), and says nothing of files
// changed since trel wrote them. Its record then names the files that
// stand, and no other.
TEST_F(HitPasses, AStoppedRunsHitsGoWithTheNextRun) {
  ASSERT_EQ(run("a b x", "", "stop"), 0);  // the first run into the folder: no record before it
  pastTheTick();
  ASSERT_EQ(run("a b", "a b"), 0);
  EXPECT_FALSE(has("x"));
  const std::string earlier = read_file(folder() + "b_q.pir");
  pastTheTick();
  ASSERT_EQ(run("a b c d", "", "stop"), 0);
  ASSERT_NE(read_file(folder() + "b_q.pir"), earlier);  // written again, as the stopped run's
  ASSERT_TRUE(has("c"));
  // The user's file in place of one the stopped run wrote: no record
  // proves it trel's.
  fs::remove(folder() + "d_q.pir");
  testutil::write_file(folder() + "d_q.pir", "mine\n");
  pastTheTick();
  std::string said;
  ASSERT_EQ(run("a", "a", "", &said), 0);
  EXPECT_TRUE(has("a"));
  EXPECT_FALSE(has("b"));
  EXPECT_FALSE(has("c"));
  EXPECT_EQ(read_file(folder() + "d_q.pir"), "mine\n");
  EXPECT_FALSE(says(said, "changed")) << said;
  EXPECT_TRUE(says(said, "Removed 2 files")) << said;
  const std::map<std::string, std::string> files = recorded(read_file(folder() + "q.kwritten"));
  EXPECT_EQ(files.size(), 1u);
  EXPECT_TRUE(files.count("a_q.pir"));
}

// A hit's files are named ahead in one line once the run's first hit
// showed what a hit writes; the next run removes them all.
TEST_F(HitPasses, OneLineNamesTheFilesOfAHit) {
  ASSERT_EQ(run("a b c", "", "stop two"), 0);
  const std::string record = read_file(folder() + "q.kwritten");
  const std::vector<std::string> lines = testutil::split_lines(record.substr(record.find("#crc ")));
  EXPECT_EQ(lines.size(), 1u + 2 + 1 + 1) << record;  // the CRC line, two lines for a, one each for b and c
  pastTheTick();
  ASSERT_EQ(run("a", "a"), 0);
  for (const char* file : {"b_q.pir", "b_q.fasta", "c_q.pir", "c_q.fasta"})
    EXPECT_FALSE(fs::exists(folder() + file)) << file;
  EXPECT_TRUE(fs::exists(folder() + "a_q.fasta"));
}

// A line named ahead that a stop or a full disk cut names nothing, though
// what is left of it would read as another hit's file, and costs no other
// line: the file of the cut line stays (no record proves whose it is), that
// of the line the next stopped run appended after it goes.
TEST_F(HitPasses, ALineNamedAheadThatIsCutCostsOnlyItself) {
  ASSERT_EQ(run("a", "a"), 0);
  ASSERT_EQ(run("bb", "", "stop"), 0);
  const std::string path = folder() + "q.kwritten";
  const std::string record = read_file(path);
  ASSERT_EQ(record.substr(record.size() - 13), " bb_q.pir/bb\n") << record;
  testutil::write_file(path, record.substr(0, record.size() - 2));  // now "... bb_q.pir/b"
  ASSERT_EQ(run("d", "", "stop"), 0);
  pastTheTick();
  ASSERT_EQ(run("a", "a"), 0);
  EXPECT_TRUE(has("bb"));
  EXPECT_FALSE(has("d"));
}

// The lines a run still writing named ahead outlive another run's renew of
// the record, those of files it has yet to write too, so that once the
// writing run is killed, the next run removes its files.
TEST_F(HitPasses, LinesNamedAheadByAWritingRunOutliveAnotherRunsRenew) {
  ASSERT_EQ(run("a", "a"), 0);
  const pid_t writing = start("b", "", "stop linger");
  waitFor(control("renewed"));
  ASSERT_TRUE(fs::exists(control("renewed")));
  const std::string record = folder() + "q.kwritten";
  testutil::write_file(record, read_file(record) + aheadLine("1.1", "z_q.pir", "z"));
  ASSERT_EQ(run("a", "a"), 0);
  ASSERT_TRUE(has("b"));
  zam_recordWrites(folder());
  trel_writeText(folder() + "z_q.pir", "hit z\n");  // as the writing run goes on
  zam_recordWrites("");
  kill(writing, SIGKILL);
  finish(writing);
  pastTheTick();
  ASSERT_EQ(run("a", "a"), 0);
  EXPECT_FALSE(has("b"));
  EXPECT_FALSE(has("z"));
}

// Past many names of files that stand nowhere, the folder's listing tells
// which stand: the files a stopped run named after them still go.
TEST_F(HitPasses, ManyNamesOfFilesGoneCostNoFileThatStands) {
  ASSERT_EQ(run("a", "a"), 0);
  ASSERT_EQ(run("b c", "", "stop"), 0);
  const std::string path = folder() + "q.kwritten";
  const std::string record = read_file(path);
  const size_t ahead = record.find('\n', record.find("#crc ")) + 1;
  std::string gone;
  for (int k = 0; k < 20000; k++) gone += aheadLine("1.1", "m" + std::to_string(k) + "_q.pir", "b");
  testutil::write_file(path, record.substr(0, ahead) + gone + record.substr(ahead));
  pastTheTick();
  ASSERT_EQ(run("a", "a"), 0);
  EXPECT_FALSE(has("b"));
  EXPECT_FALSE(has("c"));
  EXPECT_TRUE(has("a"));
}

// A run that began first and renews last keeps the files of a run that
// began after it and ended before it, though a run now gone named them
// ahead since: the later run's end stands. The later run writes its files
// with the bytes they had, so their change times are older than either run.
TEST_F(HitPasses, ALaterRunsEndOutlivesTheLinesOfAGoneRun) {
  ASSERT_EQ(run("a b c", "a b c", "same"), 0);
  pastTheTick();
  const pid_t first = start("a", "a", "wait same");
  ASSERT_TRUE(fs::exists(control("ready")));
  ASSERT_EQ(run("b c", "b c", "same"), 0);
  std::string lines;
  for (const char* hit : {"b", "c"}) lines += aheadLine("1.1", hit + std::string("_q.pir"), hit);
  testutil::write_file(folder() + "q.kwritten", read_file(folder() + "q.kwritten") + lines);
  go();
  std::string said;
  ASSERT_EQ(finish(first, &said), 0);
  EXPECT_TRUE(has("b")) << said;
  EXPECT_TRUE(has("c")) << said;
}

// Two runs of one query, one stopped by SIGTERM while the other renewed
// (which names the stopped run's files again for it), then both at once
// over their results, the one that wrote the hits the stopped run named
// renewing first, then last: neither loses a file of the other's.
TEST_F(HitPasses, RunsAtOnceAfterAStoppedOneKeepEachOthersFiles) {
  for (const char* first_hits : {"a b", "c d"}) {
    SCOPED_TRACE(first_hits);
    ASSERT_EQ(run("a b c d", "a b c d", "same"), 0);
    const pid_t stopped = start("c d", "", "stop linger same");
    waitFor(control("renewed"));
    ASSERT_EQ(run("a b", "a b", "same"), 0);
    kill(stopped, SIGTERM);
    finish(stopped);
    pastTheTick();
    const std::string second_hits = first_hits == std::string("a b") ? "c d" : "a b";
    const pid_t first = start(first_hits, first_hits, "wait same");
    ASSERT_TRUE(fs::exists(control("ready")));
    ASSERT_EQ(run(second_hits, second_hits, "same"), 0);
    go();
    std::string said;
    ASSERT_EQ(finish(first, &said), 0);
    for (const char* hit : {"a", "b", "c", "d"}) EXPECT_TRUE(has(hit)) << hit << said;
  }
}

// The end a run records for its hits is taken on the fine clock when it
// renews, the clock a later run's beginning is taken on: a run that begins
// right after it ended (a script's "trel ...; trel ...") removes its hidden
// hits. (On the coarse clock the end may lie a tick before the renew, and a
// run begun within that tick would take the two runs to overlap.)
TEST_F(HitPasses, TheEndOfARunIsNoEarlierThanItsRenew) {
  _trel_thing* q = trel_createThing("q", "./");
  for (int round = 0; round < 8; round++) {
    const std::string hit = "h" + std::to_string(round);
    _trel_hit_pass pass;
    trel_beginHitFiles(&pass, folder().c_str(), q, "");
    _trel_written written;
    written.paths.push_back(folder() + hit + "_q.pir");
    written.hits.push_back(hit);
    testutil::write_file(written.paths.back(), hit + "\n");
    const int64_t before = zam_nowNs();
    trel_renewHitRecord(&pass, folder().c_str(), q, "", written, {hit}, true);
    const std::string record = read_file(folder() + "q.kwritten");
    const size_t line = record.find(" " + hit + "\n");
    ASSERT_NE(line, std::string::npos) << record;
    const size_t at = record.rfind("#hit ", line) + 5;
    EXPECT_GE(std::stoll(record.substr(at, line - at)), before) << record;
  }
  trel_closeThing(nullptr, q);
}

// A run's mark goes with its renew, not with the end of its process: a run
// that still lives (a search of its next query) holds no later run's
// removals back.
TEST_F(HitPasses, AMarkGoesWithTheRenew) {
  const pid_t lingering = start("a b", "a b", "linger");
  waitFor(control("renewed"));
  ASSERT_TRUE(fs::exists(control("renewed")));
  pastTheTick();
  std::string said;
  const int status = run("a", "a", "", &said);
  go();
  ASSERT_EQ(finish(lingering), 0);
  ASSERT_EQ(status, 0);
  EXPECT_FALSE(has("b")) << said;
}

// Where the file system refuses open-file-description locks, a run says so
// once, naming the folder and the error, and its mark is a lock the file
// system grants: a run alone removes the hidden hits, a writing run holds
// them back until it is gone.
TEST_F(HitPasses, WhereTheMarkIsRefusedAnotherLockStandsForIt) {
  std::string said;
  ASSERT_EQ(run("a b c", "a b c", "noofd", &said), 0);
  EXPECT_TRUE(says(said, folder() + " refuses open-file-description locks (" + std::strerror(ENOLCK) + ")")) << said;
  ASSERT_EQ(run("a b", "a b", "noofd", &said), 0);
  EXPECT_FALSE(has("c")) << said;
  const pid_t writing = start("", "", "wait noofd");
  ASSERT_TRUE(fs::exists(control("ready")));
  ASSERT_EQ(run("a", "a", "noofd", &said), 0);
  EXPECT_TRUE(has("b"));
  kill(writing, SIGKILL);
  finish(writing);
  ASSERT_EQ(run("a", "a", "noofd", &said), 0);
  EXPECT_FALSE(has("b")) << said;
  EXPECT_FALSE(says(said, "another run")) << said;
}

}  // namespace

