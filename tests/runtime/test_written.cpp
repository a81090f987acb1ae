// The record of written files as a journal: a run stopped at any step of
// putting a file in place leaves it covered; a damaged record costs the
// lines that are damaged, once; whatever stands at the record's name that
// is not trel's record is moved aside once; the record is rewritten
// without the files gone; and a run writes to the record at the name, not
// to one moved away.
#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "runtime/zam_lock.h"
#include "runtime/zam_log.h"
#include "runtime/zam_place.h"
#include "runtime/zam_whole.h"
#include "runtime/zam_written_internal.h"

namespace {

// Writes text as the file at path and gives its identity (all zero, the
// test failed, when it cannot be looked at).
_zam_identity fileWith(const std::string& path, const std::string& text) {
  testutil::write_file(path, text);
  _zam_identity id{};
  EXPECT_EQ(zam_identityAt(path.c_str(), &id), 1) << path;
  return id;
}

namespace fs = std::filesystem;

int write_whole(const std::string& file, const std::string& body) {
  _zam_whole* w = zam_openWhole(file, "w");
  if (!w) return 0;
  zam_fwrite(w->fp, body.data(), (int64_t)body.size());
  return zam_closeWhole(w, true);
}

std::string fileLine(const std::string& folder, const std::string& name) {
  _zam_identity id{};
  EXPECT_EQ(zam_identityAt((folder + name).c_str(), &id), 1) << name;
  return "W " + zam_identityText(id) + " " + name + "\n";
}

// Whether the record of folder covers the file at name as it is now.
bool covered(const std::string& folder, const std::string& name) {
  std::vector<_zam_written_entry> lines;
  _zam_identity now{};
  if (!zam_readWritten(folder, &lines) || !zam_identityAt((folder + name).c_str(), &now)) return false;
  for (const _zam_written_entry& e : lines)
    if (e.kind == 'W' && e.path == name && zam_sameIdentity(e.id, now)) return true;
  return false;
}

ZamPlaceStep stop_at;
void stopHere(ZamPlaceStep step) {
  if (step == stop_at) raise(SIGKILL);
}

// Writes body whole at folder/name in a process of its own that is killed
// at step of putting it in place; true when it was.
bool killedWhilePlacing(const std::string& folder, const std::string& name, const std::string& body,
                        ZamPlaceStep step) {
  const pid_t child = fork();
  if (child == 0) {
    zam_recordWrites(folder);
    stop_at = step;
    zam_place_fault = stopHere;
    write_whole(folder + name, body);
    _exit(0);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// The birth time of the file at path (ns), 0 where none is kept.
int64_t bornAt(const std::string& path) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) != 0 || !(sx.stx_mask & STATX_BTIME))
    return 0;
  return int64_t{sx.stx_btime.tv_sec} * 1000000000 + sx.stx_btime.tv_nsec;
}

std::string head() { return std::string(ZAM_WRITTEN_HEAD) + "\n"; }

// The inode generation of the file at path, 0 where none is given.
uint64_t generationAt(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  long gen = 0;
  if (fd < 0 || ioctl(fd, FS_IOC_GETVERSION, &gen) != 0) gen = 0;
  if (fd >= 0) close(fd);
  return static_cast<uint32_t>(gen);
}

std::string aheadLine(const _zam_identity& id, int64_t by, int64_t born, const std::string& name) {
  return "B " + zam_identityText(id) + " " + std::to_string(by) + " " + std::to_string(born) + " " + name + "\n";
}

// The regular files directly in folder holding exactly body.
int copiesOf(const std::string& folder, const std::string& body) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file() && testutil::read_file(e.path().string()) == body) n++;
  return n;
}

// Runs body in a process of its own, which ends by its return value (1
// true); an alarm ends one that hangs. Whether it returned true.
template <typename F>
bool inChild(F body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(30);
    _exit(body() ? 1 : 0);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

// Another run (a process of its own) writes body at the names under folder.
bool anotherRunWrites(const std::string& folder, const std::vector<std::string>& names, const std::string& body) {
  const pid_t child = fork();
  if (child == 0) {
    zam_recordWrites(folder);
    bool ok = true;
    for (const std::string& name : names) ok = write_whole(folder + name, body) == 1 && ok;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// A run killed at any step of putting a result in place, where nothing
// stood and over an older file of trel's, leaves whatever stands at the name
// covered: the next run replaces it without setting it aside, and -purge's
// reading covers it.
TEST(Written, AStopAtEveryStepOfPlacingLeavesTheFileCovered) {
  for (const bool over : {false, true}) {
    for (const ZamPlaceStep step : {ZAM_STEP_AHEAD, ZAM_STEP_NAMED, ZAM_STEP_RECORDED}) {
      SCOPED_TRACE(std::to_string(over) + " " + std::to_string(step));
      testutil::TempDir dir;
      const std::string folder = dir.file("res") + "/";
      fs::create_directory(folder);
      if (over) {
        zam_recordWrites(folder);
        ASSERT_EQ(write_whole(folder + "a.pir", "older\n"), 1);
        zam_recordWrites("");
      }
      ASSERT_TRUE(killedWhilePlacing(folder, "a.pir", "killed run's\n", step));
      EXPECT_EQ(fs::exists(folder + "a.pir"), over || step != ZAM_STEP_AHEAD);
      EXPECT_TRUE(!fs::exists(folder + "a.pir") || covered(folder, "a.pir"));
      const int aside = zam_setAsideFiles();
      zam_recordWrites(folder);
      ASSERT_EQ(write_whole(folder + "a.pir", "next run's\n"), 1);
      zam_recordWrites("");
      EXPECT_EQ(zam_setAsideFiles(), aside);
      EXPECT_FALSE(fs::exists(folder + "a.pir.1"));
      EXPECT_TRUE(covered(folder, "a.pir"));
    }
  }
}

// Damage costs the damaged lines alone, once: NUL bytes a power loss left
// and a last line cut short, in trel's record and in one of the layout
// before the head line (whose every line parses: it is trel's). The files
// the other lines name are replaced, nothing is set aside, and the record
// is rewritten whole, with its head and without the damage.
TEST(Written, ADamagedRecordCostsItsDamagedLinesOnce) {
  for (const bool head : {true, false}) {
    SCOPED_TRACE(head);
    testutil::TempDir dir;
    const std::string folder = dir.file("res") + "/", record = folder + ZAM_WRITTEN_RECORD;
    fs::create_directory(folder);
    for (const char* name : {"a.pir", "b.pir"}) testutil::write_file(folder + name, "earlier\n");
    std::string text = head ? std::string(ZAM_WRITTEN_HEAD) + "\n" : std::string();
    text += fileLine(folder, "a.pir");
    if (head) text += std::string(64, '\0') + "\n";
    text += fileLine(folder, "b.pir");
    if (head) text += "W 65024 1234 5";
    testutil::write_file(record, text);
    // A run killed with its file in place, whose A line came after the cut
    // line: on a line of its own, it covers the file.
    ASSERT_TRUE(killedWhilePlacing(folder, "c.pir", "killed run's\n", ZAM_STEP_NAMED));
    const int aside = zam_setAsideFiles();
    for (int run = 0; run < 2; run++) {
      zam_recordWrites(folder);
      for (const char* name : {"a.pir", "b.pir", "c.pir"}) ASSERT_EQ(write_whole(folder + name, "run\n"), 1);
      zam_recordWrites("");
    }
    EXPECT_EQ(zam_setAsideFiles(), aside);
    const std::string now = testutil::read_file(record);
    EXPECT_EQ(now.compare(0, std::strlen(ZAM_WRITTEN_HEAD) + 1, std::string(ZAM_WRITTEN_HEAD) + "\n"), 0);
    EXPECT_EQ(now.find('\0'), std::string::npos);
    EXPECT_EQ(now.find("W 65024 1234 5\n"), std::string::npos);
    for (const char* name : {"a.pir", "b.pir", "c.pir"}) EXPECT_TRUE(covered(folder, name)) << name;
  }
}

// A link, a socket or a folder at the record's name is moved aside once,
// never followed nor left to turn the record off; a new record is begun.
TEST(Written, WhatStandsAtTheRecordsNameIsMovedAsideOnce) {
  for (const char* kind : {"link", "socket", "folder"}) {
    SCOPED_TRACE(kind);
    testutil::TempDir dir;
    const std::string folder = dir.file("res") + "/", record = folder + ZAM_WRITTEN_RECORD;
    fs::create_directory(folder);
    testutil::write_file(dir.file("elsewhere"), "a user's file\n");
    int sock = -1;
    if (std::string(kind) == "link") {
      fs::create_symlink(dir.file("elsewhere"), record);
    } else if (std::string(kind) == "folder") {
      fs::create_directory(record);
    } else {
      sock = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un at{};
      at.sun_family = AF_UNIX;
      ASSERT_LT(record.size(), sizeof at.sun_path);
      std::strcpy(at.sun_path, record.c_str());
      ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    }
    for (int run = 0; run < 2; run++) {
      zam_recordWrites(folder);
      ASSERT_EQ(write_whole(folder + "a.pir", "run " + std::to_string(run) + "\n"), 1);
      zam_recordWrites("");
    }
    if (sock >= 0) close(sock);
    EXPECT_TRUE(covered(folder, "a.pir"));
    EXPECT_FALSE(fs::exists(folder + "a.pir.1"));  // the second run's record covered the first's file
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(record)));
    EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(record + ".1")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(record + ".2")));
    EXPECT_EQ(testutil::read_file(dir.file("elsewhere")), "a user's file\n");
  }
}

// A record grown with the lines of files long gone is rewritten, at the
// run's first look, with those of the files that still stand; and a run
// that kept the record open writes its lines to the one now at the name,
// not to the one another run's rewrite moved away, and by the names of the
// folder recorded now.
TEST(Written, RewrittenWithoutTheFilesGone) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/", record = folder + ZAM_WRITTEN_RECORD;
  fs::create_directory(folder);
  testutil::write_file(folder + "kept.pir", "kept\n");
  std::string text = std::string(ZAM_WRITTEN_HEAD) + "\n";
  for (int k = 0; k < 6000; k++) text += "W 1 " + std::to_string(k + 2) + " 5 6 7 gone" + std::to_string(k) + ".pir\n";
  text += fileLine(folder, "kept.pir");
  testutil::write_file(record, text);
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "kept.pir", "again\n"), 1);
  EXPECT_FALSE(fs::exists(folder + "kept.pir.1"));
  EXPECT_LT(fs::file_size(record), 1000u);
  // Another run rewrites the record meanwhile: this one's next line goes there.
  const std::string moved = dir.file("moved");
  fs::rename(record, moved);
  testutil::write_file(record, std::string(ZAM_WRITTEN_HEAD) + "\n");
  ASSERT_EQ(write_whole(folder + "new.pir", "new\n"), 1);
  zam_recordWrites("");
  EXPECT_TRUE(covered(folder, "new.pir"));
  EXPECT_EQ(testutil::read_file(moved).find("new.pir"), std::string::npos);
  // A record begun next for a folder within names a file from there.
  fs::create_directory(folder + "sub");
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "sub/x.pir", "x\n"), 1);
  zam_recordWrites(folder + "sub");
  ASSERT_EQ(write_whole(folder + "sub/x.pir", "y\n"), 1);
  zam_recordWrites("");
  EXPECT_TRUE(covered(folder + "sub/", "x.pir"));
}

// A file this process put in place is taken back only as it was placed:
// not once changed, given a second name, or when it is another's.
TEST(Written, TakeBackOnlyWhatThisProcessPlacedAsPlaced) {
  testutil::TempDir dir;
  const std::string a = dir.file("a.db"), b = dir.file("b.db"), c = dir.file("c.db");
  for (const std::string& name : {a, b, c}) ASSERT_EQ(write_whole(name, "mine\n"), 1);
  ASSERT_TRUE(testutil::rewrite_with_old_times(a, "user\n"));
  ASSERT_EQ(link(b.c_str(), dir.file("b.link").c_str()), 0);
  testutil::write_file(dir.file("d.db"), "user's\n");
  EXPECT_EQ(zam_removePlacedByThisRun(a), 0);
  EXPECT_EQ(zam_removePlacedByThisRun(b), 0);
  EXPECT_EQ(zam_removePlacedByThisRun(dir.file("d.db")), 0);
  EXPECT_EQ(zam_removePlacedByThisRun(c), 1);
  EXPECT_TRUE(fs::exists(a) && fs::exists(b) && fs::exists(dir.file("d.db")));
  EXPECT_FALSE(fs::exists(c));
}

// A stop waits for the turn another thread is in: the file that thread is
// putting in place is in place and recorded when the stop goes on, and no
// thread begins another turn. In a process of its own, which the stop ends.
TEST(Written, AStopFinishesTheTurnInProgress) {
  testutil::TempDir dir;
  static std::string folder;
  folder = dir.file("res") + "/";
  fs::create_directory(folder);
  const pid_t child = fork();
  if (child == 0) {
    zam_recordWrites(folder);
    static std::atomic<bool> ahead{false};
    zam_place_fault = [](ZamPlaceStep step) {
      if (step != ZAM_STEP_AHEAD) return;
      ahead = true;
      usleep(300000);
    };
    std::thread writer([] { write_whole(folder + "a.pir", "a\n"); });
    while (!ahead) usleep(1000);
    zam_recordStop();
    const bool placed = fs::exists(folder + "a.pir") && covered(folder, "a.pir");
    writer.join();
    _exit(placed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}


// A folder whose M line a run wrote before it was stopped is the run's when
// it was made then (its birth time says so); a folder made long after the
// line, or one there before it, a user's, is not.
TEST(Written, AFolderAnnouncedAndMadeThenIsCovered) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  fs::create_directory(folder);
  fs::create_directory(folder + "q3");
  usleep(100000);  // q3 is older than its line by more than the clocks differ
  const int64_t hour = int64_t{3600} * 1000000000;
  testutil::write_file(folder + ZAM_WRITTEN_RECORD, std::string(ZAM_WRITTEN_HEAD) + "\nM " +
                                                        std::to_string(zam_nowNs()) + " q1\nM " +
                                                        std::to_string(zam_nowNs() - hour) + " q2\nM " +
                                                        std::to_string(zam_nowNs()) + " q3\n");
  fs::create_directory(folder + "q1");
  fs::create_directory(folder + "q2");
  struct statx sx;
  if (statx(AT_FDCWD, (folder + "q1").c_str(), 0, STATX_BTIME, &sx) != 0 || !(sx.stx_mask & STATX_BTIME))
    GTEST_SKIP() << "no birth times on this file system";
  std::vector<_zam_written_entry> lines;
  ASSERT_EQ(zam_readWritten(folder, &lines), 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].kind, 'D');
  EXPECT_EQ(lines[0].path, "q1");
}

// An unsettled line covers only the very file it announced, as the line
// says it was: same inode and birth time, not smaller nor older, changed
// last by the line's time, which lies the grace after the change time it
// names. A line from a foreign clock or a forged one covers nothing, even
// after the user edits the file.
TEST(Written, AnUnsettledLineCoversOnlyTheFileItAnnounced) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  fs::create_directories(folder + "1ard");
  _zam_identity id = fileWith(folder + "a.pir", "trel's\n");
  const int64_t born = bornAt(folder + "a.pir"), by = id.ctime_ns + 10 * int64_t{1000000000};
  auto other = [&](auto change) {
    _zam_identity v = id;
    change(v);
    return v;
  };
  struct Case {
    std::string line;
    bool covers;
  };
  std::vector<Case> cases = {
      {aheadLine(id, by, born, "a.pir"), true},
      {aheadLine(other([](_zam_identity& v) { v.ino++; }), by, born, "a.pir"), false},
      {aheadLine(other([](_zam_identity& v) { v.size++; }), by, born, "a.pir"), false},
      {aheadLine(other([](_zam_identity& v) { v.ctime_ns++; }), by, born, "a.pir"), false},
      {aheadLine(other([](_zam_identity& v) { v.mtime_ns++; }), by, born, "a.pir"), false},
      {aheadLine(id, id.ctime_ns - 1, born, "a.pir"), false},  // changed after the name was taken
      {aheadLine(id, INT64_MAX, born, "a.pir"), false},        // a time far beyond the change time
      {aheadLine(id, by + 3600 * int64_t{1000000000}, born, "a.pir"), false},
      // Without a birth time: only a file born before the line was written.
      {"A " + zam_identityText(id) + " " + std::to_string(by) + " a.pir\n", true},
  };
  if (born != 0) {
    cases.push_back({aheadLine(id, by, born + 1, "a.pir"), false});
    cases.push_back({aheadLine(id, by, 0, "a.pir"), false});
    cases.push_back({"A " + zam_identityText(id) + " " + std::to_string(born - 1 + 10 * int64_t{1000000000}) +
                         " a.pir\n",
                     false});
  }
  for (const Case& c : cases) {
    testutil::write_file(folder + ZAM_WRITTEN_RECORD, head() + c.line);
    EXPECT_EQ(covered(folder, "a.pir"), c.covers) << c.line;
  }
  // A forged line of a user's file: not trel's, nor once edited; a run
  // sets it aside rather than replace it.
  _zam_identity notes = fileWith(folder + "1ard/mynotes.txt", "my notes\n");
  testutil::write_file(folder + ZAM_WRITTEN_RECORD, head() + "A " + std::to_string(notes.dev) + " " +
                                                        std::to_string(notes.ino) +
                                                        " 0 0 0 9223372036854775807 1ard/mynotes.txt\n");
  EXPECT_FALSE(covered(folder, "1ard/mynotes.txt"));
  testutil::write_file(folder + "1ard/mynotes.txt", "my notes, more of them\n");
  EXPECT_FALSE(covered(folder, "1ard/mynotes.txt"));
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "1ard/mynotes.txt", "trel's\n"), 1);
  zam_recordWrites("");
  EXPECT_EQ(testutil::read_file(folder + "1ard/mynotes.txt.1"), "my notes, more of them\n");
}

// A file of a user's put at the name after a run was killed at any step of
// putting its file there (made after the line, most often with the inode
// the killed run's file had) is never taken for trel's: -purge's reading
// does not cover it and the next run sets it aside.
TEST(Written, AUsersFileAfterAKillAtAnyStepIsNotTrels) {
  for (const ZamPlaceStep step : {ZAM_STEP_AHEAD, ZAM_STEP_NAMED, ZAM_STEP_RECORDED}) {
    SCOPED_TRACE(step);
    testutil::TempDir dir;
    const std::string folder = dir.file("res") + "/";
    fs::create_directory(folder);
    zam_recordWrites(folder);
    ASSERT_EQ(write_whole(folder + "b.pir", "b\n"), 1);  // the record is there
    zam_recordWrites("");
    ASSERT_TRUE(killedWhilePlacing(folder, "a.pir", "killed run's\n", step));
    // The user's file is made after the kill, on the file system's clock too.
    timespec after{};
    clock_gettime(CLOCK_REALTIME, &after);
    for (timespec t{}; clock_gettime(CLOCK_REALTIME_COARSE, &t) == 0 &&
                       (t.tv_sec < after.tv_sec || (t.tv_sec == after.tv_sec && t.tv_nsec <= after.tv_nsec));)
      usleep(1000);
    fs::remove(folder + "a.pir");
    const std::string users = "a user's file, longer than the killed run's\n";
    testutil::write_file(folder + "a.pir", users);
    EXPECT_FALSE(covered(folder, "a.pir"));
    zam_recordWrites(folder);
    ASSERT_EQ(write_whole(folder + "a.pir", "next run's\n"), 1);
    zam_recordWrites("");
    EXPECT_EQ(testutil::read_file(folder + "a.pir.1"), users);
    EXPECT_TRUE(covered(folder, "a.pir"));
  }
}

// A cut last line never becomes a line that parses when the next append
// ends it: a name cut short would name another file.
TEST(Written, ACutLastLineNeverParses) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  fs::create_directory(folder);
  _zam_identity id = fileWith(folder + "a.pi", "a user's file\n");
  testutil::write_file(folder + ZAM_WRITTEN_RECORD, head() + "W " + zam_identityText(id) + " a.pi");
  ASSERT_TRUE(anotherRunWrites(folder, {"b.pir"}, "b\n"));
  EXPECT_FALSE(covered(folder, "a.pi"));
  EXPECT_TRUE(covered(folder, "b.pir"));
  ASSERT_TRUE(anotherRunWrites(folder, {"b.pir"}, "b again\n"));  // read whole: rewritten without the cut line
  EXPECT_EQ(testutil::read_file(folder + ZAM_WRITTEN_RECORD).find('\0'), std::string::npos);
  EXPECT_FALSE(covered(folder, "a.pi"));
}

// An A line that cannot be written whole (the file size limit here, as a
// full disk would) leaves no part of itself, is said to have failed, and
// the record's trouble names the record.
TEST(Written, AFailedAppendLeavesNoPartOfALine) {
  testutil::TempDir dir;
  static std::string folder;
  folder = dir.file("res") + "/";
  fs::create_directory(folder);
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "a.pir", "a\n"), 1);
  zam_recordWrites("");
  const std::string before = testutil::read_file(folder + ZAM_WRITTEN_RECORD);
  EXPECT_TRUE(inChild([] {
    signal(SIGXFSZ, SIG_IGN);
    struct stat st;
    if (stat((folder + "a.pir").c_str(), &st) != 0) return false;
    zam_recordWrites(folder);
    const _zam_record_turn turn(folder + "c.pir");
    struct stat record;
    if (!turn.locked || stat((folder + ZAM_WRITTEN_RECORD).c_str(), &record) != 0) return false;
    const rlimit room{static_cast<rlim_t>(record.st_size) + 20, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &room) != 0) return false;
    const bool written = zam_recordAhead(turn, folder + "c.pir", st);
    const int err = errno;
    return !written && err == EFBIG && zam_recordTrouble().find(ZAM_WRITTEN_RECORD) != std::string::npos;
  }));
  EXPECT_EQ(testutil::read_file(folder + ZAM_WRITTEN_RECORD), before);
}

// A record that cannot be opened or locked fails the turn of a file under
// the folder, says so once (naming the record), and never ends recording:
// the next turn tries again and is had.
TEST(Written, ARecordThatCannotBeHadFailsTheTurnAndIsTriedAgain) {
  for (const ZamRecordStep step : {ZAM_RECORD_OPEN, ZAM_RECORD_LOCK}) {
    SCOPED_TRACE(step);
    testutil::TempDir dir;
    const std::string folder = dir.file("res") + "/";
    fs::create_directory(folder);
    static ZamRecordStep failing;
    static int fails;
    failing = step;
    fails = 2;
    zam_record_fault = [](ZamRecordStep at) { return at == failing && fails-- > 0 ? EIO : 0; };
    zam_recordWrites(folder);
    {
      const _zam_record_turn turn(folder + "a.pir");
      EXPECT_FALSE(turn.held);
      EXPECT_TRUE(turn.failed);
      EXPECT_EQ(turn.error, EIO);
      const _zam_record_turn elsewhere(dir.file("b.pir"));
      EXPECT_FALSE(elsewhere.failed);
    }
    EXPECT_EQ(zam_recordTrouble(), folder + ZAM_WRITTEN_RECORD + ": " + std::strerror(EIO));
    // A file that would grow under no line is told so, and kept as it is.
    testutil::write_file(folder + "run.log", "begun\n");
    {
      const int fd = open((folder + "run.log").c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_EQ(zam_holdWriting(fd), 1);
      EXPECT_FALSE(zam_recordGrowing(folder + "run.log", fd));
      EXPECT_EQ(errno, EIO);
      zam_releaseWriting(fd);
    }
    {
      const _zam_record_turn turn(folder + "a.pir");
      EXPECT_TRUE(turn.held && turn.locked);
      EXPECT_FALSE(turn.failed);
    }
    ASSERT_EQ(write_whole(folder + "a.pir", "a\n"), 1);
    EXPECT_TRUE(covered(folder, "a.pir"));
    EXPECT_FALSE(zam_recordTrouble().empty());
    zam_recordWrites("");
    zam_record_fault = nullptr;
  }
}

// Once the run is stopping, the stopping thread's own turn waits a few
// seconds at most for a record another run holds, and any other thread's
// turn fails at once: a stop always ends the run.
TEST(Written, TurnsAfterAStopEnd) {
  testutil::TempDir dir;
  static std::string folder;
  folder = dir.file("res") + "/";
  fs::create_directory(folder);
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "a.pir", "a\n"), 1);
  zam_recordWrites("");
  EXPECT_TRUE(inChild([] {
    zam_recordWrites(folder);
    const int other = open((folder + ZAM_WRITTEN_RECORD).c_str(), O_RDONLY | O_CLOEXEC);
    if (other < 0 || flock(other, LOCK_EX) != 0) return false;  // another run's turn, held
    zam_recordStop();
    bool others_fail = false;
    std::thread([&] {
      const _zam_record_turn turn(folder + "b.pir");
      others_fail = turn.failed && turn.error == ECANCELED;
    }).join();
    const _zam_record_turn turn(folder + "a.pir");
    return others_fail && turn.failed && turn.error == ECANCELED && !turn.held;
  }));
}

// The line of a file still written (a run's log) is settled only once its
// writer is gone: while it lives, no reading takes it, a rewrite keeps its
// line as it is, and -purge's reading does not list it; once gone, the
// file is covered as it ended.
TEST(Written, AFileStillWrittenIsSettledOnlyOnceItsWriterIsGone) {
  testutil::TempDir dir;
  static std::string folder;
  folder = dir.file("res") + "/";
  fs::create_directory(folder);
  ASSERT_TRUE(anotherRunWrites(folder, {"a.pir"}, "a\n"));
  int go[2], ready[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    alarm(30);
    testutil::write_file(folder + "run.log", "begun\n");
    zam_recordWrites(folder);
    const int log = open((folder + "run.log").c_str(), O_RDONLY | O_CLOEXEC);
    if (zam_holdWriting(log) != 1 || !zam_recordGrowing(folder + "run.log", log)) _exit(3);
    char c = 'r';
    if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
    std::ofstream(folder + "run.log", std::ios::app) << "more\n";
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const std::string record = folder + ZAM_WRITTEN_RECORD;
  const std::string text = testutil::read_file(record);
  const size_t end = text.find(" run.log\n");
  ASSERT_NE(end, std::string::npos) << text;
  const size_t at = text.rfind('\n', end) + 1;
  const std::string line = text.substr(at, end + 9 - at);
  ASSERT_EQ(line.compare(0, 2, "B "), 0) << line;
  EXPECT_FALSE(covered(folder, "run.log"));
  // A rewrite (the record damaged) by another run, which reads it whole.
  testutil::write_file(record, text + std::string(8, '\0') + "\n");
  ASSERT_TRUE(anotherRunWrites(folder, {"a.pir"}, "a again\n"));
  const std::string rewritten = testutil::read_file(record);
  EXPECT_EQ(rewritten.find('\0'), std::string::npos);
  EXPECT_NE(rewritten.find(line), std::string::npos) << rewritten;
  EXPECT_EQ(rewritten.find("run.log"), rewritten.rfind("run.log")) << rewritten;  // no line settles it
  EXPECT_FALSE(covered(folder, "run.log"));
  ASSERT_EQ(write(go[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(covered(folder, "run.log"));
  for (int fd : {go[0], go[1], ready[0], ready[1]}) close(fd);
}

// A rewrite keeps only what the record proves: a file that stands at a
// recorded name but is not the file recorded there is left out. And it
// takes the record's name only from the record this run holds: a user's
// file put at that name meanwhile is kept whole, never replaced nor
// removed.
TEST(Written, ARewriteTakesNothingItDoesNotProve) {
  testutil::TempDir dir;
  static std::string folder, users;
  folder = dir.file("res") + "/";
  users = dir.file("users");
  fs::create_directory(folder);
  ASSERT_TRUE(anotherRunWrites(folder, {"a.pir", "b.pir", "d.pir"}, "trel's\n"));
  fs::remove(folder + "a.pir");
  testutil::write_file(folder + "a.pir", "a user's file\n");
  const std::string record = folder + ZAM_WRITTEN_RECORD;
  testutil::write_file(record, testutil::read_file(record) + std::string(4, '\0') + "\n");
  ASSERT_TRUE(anotherRunWrites(folder, {"d.pir"}, "trel's again\n"));
  const std::string rewritten = testutil::read_file(record);
  EXPECT_EQ(rewritten.find('\0'), std::string::npos);
  EXPECT_EQ(rewritten.find("a.pir"), std::string::npos) << rewritten;
  EXPECT_FALSE(covered(folder, "a.pir"));
  EXPECT_TRUE(covered(folder, "b.pir"));
  // A user's file put at the record's name as the rewrite takes it.
  testutil::write_file(record, rewritten + std::string(4, '\0') + "\n");
  testutil::write_file(users, "a user's list\n");
  zam_record_fault = [](ZamRecordStep step) {
    if (step == ZAM_RECORD_SWAP) fs::rename(users, folder + ZAM_WRITTEN_RECORD);
    return 0;
  };
  zam_recordWrites(folder);
  ASSERT_EQ(write_whole(folder + "b.pir", "trel's once more\n"), 1);
  zam_record_fault = nullptr;
  ASSERT_EQ(write_whole(folder + "c.pir", "c\n"), 1);
  zam_recordWrites("");
  EXPECT_EQ(copiesOf(folder, "a user's list\n"), 1);
  EXPECT_TRUE(covered(folder, "c.pir"));
}

// A head that damage took (NUL bytes over the record's start, into its
// next lines) or an empty record costs the lines damaged alone: the record
// is read as trel's and rewritten with its head, and the files of its
// other lines are replaced, none set aside. A record's count of lines past
// what it holds is damage too.
TEST(Written, ADamagedOrEmptyHeadIsTrels) {
  for (const int damage : {0, 1, 2}) {
    SCOPED_TRACE(damage);
    testutil::TempDir dir;
    const std::string folder = dir.file("res") + "/", record = folder + ZAM_WRITTEN_RECORD;
    fs::create_directory(folder);
    const std::vector<std::string> names = {"a.pir", "b.pir", "c.pir", "d.pir"};
    ASSERT_TRUE(anotherRunWrites(folder, names, "trel's\n"));
    std::string text = testutil::read_file(record);
    if (damage == 0) text.replace(0, 64, std::string(64, '\0'));
    if (damage == 1) text.clear();
    if (damage == 2) text = head() + "#kept 9223372036854775807\n" + text.substr(head().size());
    testutil::write_file(record, text);
    const int aside = zam_setAsideFiles();
    for (int run = 0; run < 2; run++) {
      zam_recordWrites(folder);
      for (const std::string& name : names) ASSERT_EQ(write_whole(folder + name, "run\n"), 1);
      zam_recordWrites("");
    }
    // The lines damage took cost their files once: all, for an empty
    // record; none for the head and an A line, whose W line follows.
    const int lost = damage == 1 ? 4 : 0;
    EXPECT_EQ(zam_setAsideFiles(), aside + lost);
    EXPECT_FALSE(fs::exists(record + ".1"));
    const std::string now = testutil::read_file(record);
    EXPECT_EQ(now.compare(0, head().size(), head()), 0);
    EXPECT_EQ(now.find('\0'), std::string::npos);
    EXPECT_EQ(now.find("9223372036854775807"), std::string::npos);
    for (const std::string& name : names) EXPECT_TRUE(covered(folder, name)) << name;
  }
}

// A folder is announced before it is made: a run stopped between the two
// leaves it covered.
TEST(Written, AFolderIsAnnouncedBeforeItIsMade) {
  testutil::TempDir dir;
  static std::string folder;
  folder = dir.file("res") + "/";
  fs::create_directory(folder);
  EXPECT_FALSE(inChild([] {
    zam_recordWrites(folder);
    if (write_whole(folder + "a.pir", "a\n") != 1) return false;
    zam_record_fault = [](ZamRecordStep step) {
      if (step == ZAM_RECORD_MADE) _exit(0);
      return 0;
    };
    zam_mkdirRecorded((folder + "q1").c_str(), 0777);
    return true;
  }));
  ASSERT_TRUE(fs::is_directory(folder + "q1"));
  std::vector<_zam_written_entry> lines;
  ASSERT_EQ(zam_readWritten(folder, &lines), 1);
  bool found = false;
  for (const _zam_written_entry& e : lines) found = found || (e.kind == 'D' && e.path == "q1");
  EXPECT_TRUE(found);
}

// Where the file system refuses flock, the record takes turns by the other
// kind of lock, and says so once; where it refuses every kind, it says that
// once, and writes and records as before. Either way a damaged record is
// rewritten, and the files are covered.
TEST(Written, WhereFlockOrEveryLockIsRefusedFilesAreRecorded) {
  for (const bool every : {false, true}) {
    SCOPED_TRACE(every);
    testutil::TempDir dir;
    static std::string folder;
    static bool refuse_every;
    folder = dir.file("res") + "/";
    refuse_every = every;
    fs::create_directory(folder);
    ASSERT_TRUE(anotherRunWrites(folder, {"a.pir"}, "a\n"));
    const std::string record = folder + ZAM_WRITTEN_RECORD;
    testutil::write_file(record, testutil::read_file(record) + std::string(4, '\0') + "\n");
    EXPECT_TRUE(inChild([] {
      zam_flock_call = [](int, int) {
        errno = ENOLCK;
        return -1;
      };
      if (refuse_every)
        zam_ofd_lock_call = [](int, int, struct flock*) {
          errno = ENOLCK;
          return -1;
        };
      zam_wrn_once_reset();
      testutil::Capture said;
      for (int run = 0; run < 2; run++) {
        zam_recordWrites(folder);
        for (const char* name : {"a.pir", "b.pir"})
          if (write_whole(folder + name, "run\n") != 1) return false;
        zam_recordWrites("");
      }
      const bool covers = covered(folder, "a.pir") && covered(folder, "b.pir");
      const std::string text = testutil::read_file(folder + ZAM_WRITTEN_RECORD);
      return covers && text.find('\0') == std::string::npos && !fs::exists(folder + "a.pir.1") &&
             testutil::occurrences(said.text, "refuses flock locks") == (refuse_every ? 0 : 1) &&
             testutil::occurrences(said.text, "refuses every file lock") == (refuse_every ? 1 : 0);
    }));
  }
}

// Where the file system keeps no birth time, the inode generation tells the
// file a line announced from another that got its inode since; where it
// gives neither, no unsettled line covers a file: a killed run's file
// costs a copy, set aside once, and a user's file is never taken.
TEST(Written, WithoutBirthTimesAReusedInodeIsNotTaken) {
  static bool neither;
  zam_stamp_fault = [](bool generation) { return !generation || neither; };
  for (const bool no_generation : {false, true}) {
    SCOPED_TRACE(no_generation);
    neither = no_generation;
    testutil::TempDir dir;
    const std::string folder = dir.file("res") + "/";
    fs::create_directory(folder);
    _zam_identity id = fileWith(folder + "a.pir", "a\n");
    const uint64_t gen = no_generation ? 0 : generationAt(folder + "a.pir");
    const std::string by = std::to_string(id.ctime_ns + 10 * int64_t{1000000000});
    const std::string line = zam_identityText(id) + " " + by + " ";
    const std::vector<std::pair<std::string, bool>> cases = {
        {"G " + line + std::to_string(gen) + " a.pir\n", gen != 0},
        {"G " + line + std::to_string(gen + 1) + " a.pir\n", false},  // an inode given to another file since
        {"B " + line + "0 a.pir\n", false},
        {"A " + line + "a.pir\n", false},
    };
    for (const auto& [text, covers] : cases) {
      testutil::write_file(folder + ZAM_WRITTEN_RECORD, head() + text);
      EXPECT_EQ(covered(folder, "a.pir"), covers) << text;
    }
    ASSERT_TRUE(killedWhilePlacing(folder, "k.pir", "killed run's\n", ZAM_STEP_NAMED));
    zam_recordWrites(folder);
    ASSERT_EQ(write_whole(folder + "k.pir", "next run's\n"), 1);
    zam_recordWrites("");
    EXPECT_EQ(fs::exists(folder + "k.pir.1"), gen == 0);
  }
  zam_stamp_fault = nullptr;
}

// A folder that cannot be listed, or a name that cannot be looked at while
// the record is read and rewritten, is not "nothing stands": one EIO there
// costs no line, and no file of trel's is set aside.
TEST(Written, AFailedListingOrLookKeepsTheLines) {
  for (const ZamRecordStep step : {ZAM_RECORD_LIST, ZAM_RECORD_LOOK}) {
    SCOPED_TRACE(step);
    testutil::TempDir dir;
    const std::string folder = dir.file("res") + "/", record = folder + ZAM_WRITTEN_RECORD;
    fs::create_directories(folder + "q");
    ASSERT_TRUE(anotherRunWrites(folder, {"a.pir", "q/b.pir"}, "trel's\n"));
    testutil::write_file(record, testutil::read_file(record) + std::string(4, '\0') + "\n");  // to be rewritten
    static ZamRecordStep failing;
    static int fails;
    failing = step;
    fails = 1;
    zam_record_fault = [](ZamRecordStep at) { return at == failing && fails-- > 0 ? EIO : 0; };
    zam_recordWrites(folder);
    for (const char* name : {"a.pir", "q/b.pir"}) ASSERT_EQ(write_whole(folder + name, "again\n"), 1);
    zam_recordWrites("");
    zam_record_fault = nullptr;
    EXPECT_LT(fails, 0);  // the step was reached, and failed once
    EXPECT_FALSE(fs::exists(folder + "a.pir.1"));
    EXPECT_FALSE(fs::exists(folder + "q/b.pir.1"));
    EXPECT_EQ(testutil::read_file(record).find('\0'), std::string::npos);
    for (const char* name : {"a.pir", "q/b.pir"}) EXPECT_TRUE(covered(folder, name)) << name;
  }
}

// A run killed in its rewrite of the record leaves a temporary: the new
// record before it takes the record's name, the old one after. The record
// at the name covers it (its line written before the name was taken):
// -purge's reading covers it, and the next run removes it. A temporary of
// that form that no line covers (a live writer's, a user's file) is kept.
TEST(Written, ARewritesTemporaryAfterAKillGoes) {
  for (const ZamRecordStep at : {ZAM_RECORD_SWAP, ZAM_RECORD_SWAPPED}) {
    SCOPED_TRACE(at);
    testutil::TempDir dir;
    static ZamRecordStep kill_at;
    kill_at = at;
    const std::string folder = dir.file("res") + "/", record = folder + ZAM_WRITTEN_RECORD;
    fs::create_directory(folder);
    ASSERT_TRUE(anotherRunWrites(folder, {"a.pir"}, "trel's\n"));
    testutil::write_file(record, testutil::read_file(record) + std::string(4, '\0') + "\n");
    const pid_t child = fork();
    if (child == 0) {
      zam_record_fault = [](ZamRecordStep step) {
        if (step == kill_at) raise(SIGKILL);
        return 0;
      };
      zam_recordWrites(folder);
      write_whole(folder + "a.pir", "again\n");
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto temps = [&] {
      std::vector<std::string> names;
      for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().ends_with(".tmp")) names.push_back(e.path().filename().string());
      return names;
    };
    ASSERT_EQ(temps().size(), 1u);
    const std::string killed = temps()[0];
    std::vector<_zam_written_entry> lines;
    ASSERT_EQ(zam_readWritten(folder, &lines), 1);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const _zam_written_entry& e) { return e.path == killed; }));
    const std::string live = zam_tempName(record), users = zam_tempName(record);
    testutil::write_file(live, head());
    testutil::write_file(users, "a user's file\n");
    const int held = open(live.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    zam_recordWrites(folder);
    ASSERT_EQ(write_whole(folder + "b.pir", "b\n"), 1);
    zam_recordWrites("");
    close(held);
    EXPECT_FALSE(fs::exists(folder + killed));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(users));
    EXPECT_TRUE(covered(folder, "a.pir"));
  }
}

// zam_readWritten says which record file it read, as it was read under its
// lock, so that -purge need not open and lock it again; of a file that is
// not trel's record, that it is not.
TEST(Written, TheRecordReadIsReported) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/", record = folder + ZAM_WRITTEN_RECORD;
  fs::create_directory(folder);
  ASSERT_TRUE(anotherRunWrites(folder, {"a.pir"}, "a\n"));
  std::vector<_zam_written_entry> lines;
  _zam_written_read read;
  ASSERT_EQ(zam_readWritten(folder, &lines, &read), 1);
  struct stat st;
  ASSERT_EQ(stat(record.c_str(), &st), 0);
  EXPECT_TRUE(read.trels && read.stood);
  EXPECT_EQ(read.lock, ZAM_LOCK_FLOCK);
  EXPECT_EQ(read.dev, uint64_t(st.st_dev));
  EXPECT_EQ(read.ino, uint64_t(st.st_ino));
  EXPECT_EQ(read.size, int64_t(st.st_size));
  testutil::write_file(record, "a user's list\n");
  EXPECT_EQ(zam_readWritten(folder, &lines, &read), 0);
  EXPECT_EQ(errno, EPROTO);
  EXPECT_FALSE(read.trels);
  EXPECT_EQ(read.size, 14);
}

// A hold of a file written is released where its descriptor is closed:
// what the process keeps of its holds does not grow with the files it
// writes, whether a file given a temporary name is put in place, or given
// up.
TEST(Written, HoldsDoNotGrowWithTheFilesWritten) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  fs::create_directory(folder);
  zam_recordWrites(folder);
  const size_t before = zam_written_internal::holdsKept();
  for (int k = 0; k < 10; k++) {
    _zam_whole* w = zam_openWhole(folder + "a.pir", "w");
    ASSERT_NE(w, nullptr);
    zam_fwrite(w->fp, "a\n", 2);
    const std::string aside = zam_closeWholeAside(w, k % 2 == 0);
    ASSERT_EQ(aside.empty(), k % 2 != 0);
    if (!aside.empty()) {
      ASSERT_EQ(zam_placeWhole(aside, folder + "a.pir"), 1);
    }
  }
  zam_recordWrites("");
  EXPECT_EQ(zam_written_internal::holdsKept(), before);
}

// No time is believed past now: a line whose time lies ahead of the clock
// settles no file changed since the clock's now (a clock set back, or a
// file system's clock ahead of it), though the line's time would allow
// it; once the clock passes the change, it does.
TEST(Written, NoTimeIsBelievedPastNow) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  fs::create_directory(folder);
  _zam_identity id = fileWith(folder + "a.pir", "a\n");
  constexpr int64_t kSecond = 1000000000;
  testutil::write_file(folder + ZAM_WRITTEN_RECORD,
                       head() + aheadLine(id, id.ctime_ns + 10 * kSecond, bornAt(folder + "a.pir"), "a.pir"));
  static int64_t clock;
  zam_record_clock = [] { return clock; };
  clock = id.ctime_ns - kSecond;
  EXPECT_FALSE(covered(folder, "a.pir"));
  clock = id.ctime_ns + kSecond;
  EXPECT_TRUE(covered(folder, "a.pir"));
  zam_record_clock = nullptr;
}

// A rewrite takes the record's name only once its bytes are on the disk:
// a sync that fails leaves the record as it was, for a later rewrite.
TEST(Written, ARewriteIsSyncedBeforeItTakesTheName) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/", record = folder + ZAM_WRITTEN_RECORD;
  fs::create_directory(folder);
  ASSERT_TRUE(anotherRunWrites(folder, {"a.pir"}, "a\n"));
  testutil::write_file(record, testutil::read_file(record) + std::string(4, '\0') + "\n");
  static bool failing;
  zam_record_sync_call = [](int fd) { return failing ? (errno = EIO, -1) : fsync(fd); };
  for (const bool fail : {true, false}) {
    failing = fail;
    ASSERT_TRUE(anotherRunWrites(folder, {"a.pir"}, "again\n"));
    EXPECT_EQ(testutil::read_file(record).find('\0') == std::string::npos, !fail);
  }
  zam_record_sync_call = nullptr;
  EXPECT_TRUE(covered(folder, "a.pir"));
}
