// The record of written files as a journal: a run stopped at any step of
// putting a file in place leaves it covered; a damaged record costs the
// lines that are damaged, once; whatever stands at the record's name that
// is not trel's record is moved aside once; the record is rewritten
// without the files gone; and a run writes to the record at the name, not
// to one moved away.
#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "runtime/zam_whole.h"

namespace {

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
// not to the one another run's rewrite moved away.
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
// line, a user's, is not.
TEST(Written, AFolderAnnouncedAndMadeThenIsCovered) {
  testutil::TempDir dir;
  const std::string folder = dir.file("res") + "/";
  fs::create_directory(folder);
  const int64_t hour = int64_t{3600} * 1000000000;
  testutil::write_file(folder + ZAM_WRITTEN_RECORD, std::string(ZAM_WRITTEN_HEAD) + "\nM " +
                                                        std::to_string(zam_nowNs()) + " q1\nM " +
                                                        std::to_string(zam_nowNs() - hour) + " q2\n");
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
