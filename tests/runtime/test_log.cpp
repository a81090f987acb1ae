// Messages and the log file: prefixes, the 256-character cut, empty texts,
// warnings once per key, destinations with and without a callback and
// standard-error copies, the log's banners, bulk-mode signals and lock 4;
// messages held by threads and replayed in list order, or kept as bytes and
// said again by another process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <vector>
#include <string>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "common/test_util.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_system.h"
#include "runtime/zam_version.h"

namespace {

std::string captured;
int calls = 0;
void capture(const char* text) {
  captured += text;
  calls++;
}

// Every test starts without a callback, without standard-error copies and
// with no log open; the object installs the capturing callback on request.
struct Fresh {
  explicit Fresh(bool with_callback) {
    zam_logger_exit();
    zam_logger_state(0);
    zam_logger_stderr(0);
    zam_logger_callback(with_callback ? capture : nullptr);
    captured.clear();
    calls = 0;
  }
  ~Fresh() {
    zam_logger_callback(nullptr);
    zam_logger_stderr(0);
  }
};

const std::string kRule(78, '-');

using testutil::split_lines;  // test_util.h

// "<identity> log <what> at <24-character date> on host <host>."
bool is_stamp(const std::string& line, const std::string& what) {
  char host[64];
  zam_get_host(host);
  const std::string head = std::string(zam_version()) + " log " + what + " at ";
  const std::string tail = " on host " + std::string(host) + ".";
  return line.size() == head.size() + 24 + tail.size() && line.compare(0, head.size(), head) == 0 &&
         line.compare(head.size() + 24, tail.size(), tail) == 0;
}

TEST(Messages, DefaultLogNameAndNameChanges) {
  EXPECT_STREQ(zam_logger_file(), "zam.log");
  zam_logger_name("");
  zam_logger_name(nullptr);
  EXPECT_STREQ(zam_logger_file(), "zam.log");
  zam_logger_name("other.log");
  EXPECT_STREQ(zam_logger_file(), "other.log");
  // Names are kept to 256 characters.
  zam_logger_name(std::string(300, 'n').c_str());
  EXPECT_EQ(std::string(zam_logger_file()), std::string(256, 'n'));
  zam_logger_name("zam.log");
}

TEST(Messages, PrefixesAndPlainText) {
  Fresh fresh(true);
  zam_msg("plain %d\n", 1);
  zam_adv("a %s\n", "b");
  zam_wrn("w\n");
  zam_err("e=%.2f\n", 0.5);
  zam_oops("o\n");
  EXPECT_EQ(captured, "plain 1\n*Advisory* a b\n*Warning* w\n*Error* e=0.50\n*Oops* o\n");
  EXPECT_EQ(calls, 5);
  captured.clear();
  zam_msg_brk();
  EXPECT_EQ(captured, "\n" + kRule + "\n");
}

// Once per key: of eight threads racing on one key one warns; another key
// warns on its own; after a reset the first key warns again.
TEST(Messages, WarningOncePerKey) {
  Fresh fresh(true);
  zam_wrn_once_reset();
  std::atomic<int> given{0};
  std::vector<std::thread> racers;
  for (int i = 0; i < 8; i++) racers.emplace_back([&given, i] { given += zam_wrn_once("k", "k %d\n", i); });
  for (std::thread& t : racers) t.join();
  EXPECT_EQ(given.load(), 1);
  EXPECT_EQ(zam_wrn_once("l", "l\n") + zam_wrn_once("k", "k again\n"), 1);
  zam_wrn_once_reset();
  zam_wrn_once("k", "k reset\n");
  EXPECT_EQ(captured.substr(captured.find('\n') + 1), "*Warning* l\n*Warning* k reset\n");
}

// An advisory once per text: a held one counts where it is replayed, so the
// second of two holds replayed first is the one shown, once, in its place;
// a line given at once after them, and one cut to the same 256 characters,
// are not shown again.
TEST(Messages, AdvisoryOncePerTextCountedAtReplay) {
  Fresh fresh(true);
  zam_wrn_once_reset();
  _zam_log_held first, second;
  for (_zam_log_held* h : {&first, &second}) {
    zam_log_hold(h);
    zam_msg("%s\n", h == &first ? "one" : "two");
    zam_adv_once("same %d\n", 7);
    zam_log_hold(nullptr);
  }
  zam_log_replay(&second);
  zam_log_replay(&first);
  zam_adv_once("same %d\n", 7);
  const std::string tail(300, 't');
  zam_adv_once("%s", tail.c_str());
  zam_adv_once("%s", (tail + "more").c_str());
  EXPECT_EQ(captured, "two\n*Advisory* same 7\none\n*Advisory* " + std::string(256, 't'));
  zam_wrn_once_reset();
}

TEST(Messages, LongTextsAreCutAt256) {
  Fresh fresh(true);
  const std::string long_text(300, 'q');
  zam_msg("%s", long_text.c_str());
  EXPECT_EQ(captured, std::string(256, 'q'));
  captured.clear();
  zam_adv("%s", long_text.c_str());
  EXPECT_EQ(captured.size(), 267u);
  EXPECT_EQ(captured, "*Advisory* " + std::string(256, 'q'));
  captured.clear();
  zam_oops("%s", long_text.c_str());
  EXPECT_EQ(captured, "*Oops* " + std::string(256, 'q'));
}

// A text cut short that ended its line still ends it, whether its newline
// came from the format or from an argument, was given to a step as a
// finished text or held and replayed; the next message starts a line.
TEST(Messages, CutTextsKeepTheirNewline) {
  Fresh fresh(true);
  const std::string cut = std::string(255, 'q') + "\n";
  zam_msg("%s\n", std::string(300, 'q').c_str());
  zam_wrn("%s", (std::string(400, 'q') + "\n").c_str());
  zam_logger_msg((std::string(257, 'q') + "\n").c_str());
  _zam_log_held held;
  zam_log_hold(&held);
  zam_oops("%s\n", std::string(256, 'q').c_str());
  zam_err("%s\n", std::string(256, 'q').c_str());
  zam_log_hold(nullptr);
  zam_log_replay(&held);
  zam_adv("%s\n", std::string(255, 'q').c_str());  // not cut: as it stands
  EXPECT_EQ(captured, cut + "*Warning* " + cut + cut + "*Oops* " + cut + "*Error* " + cut + "*Advisory* " + cut);
}

TEST(Messages, EmptyTextWritesNothing) {
  Fresh fresh(true);
  zam_logger_stderr(1);
  testing::internal::CaptureStderr();
  zam_msg("%s", "");
  zam_adv("%s", "");
  zam_wrn("%s", "");
  zam_err("%s", "");
  zam_oops("%s", "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(calls, 0);
}

TEST(Messages, StandardOutputAndErrorCopies) {
  {
    Fresh fresh(false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    zam_msg("to out\n");
    zam_wrn("careful\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to out\n*Warning* careful\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  {
    Fresh fresh(false);
    zam_logger_stderr(1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    zam_msg("plain\n");
    zam_err("bad\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain\n*Error* bad\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "*Error* bad\n");
  }
  {
    // With a callback, a warning goes to standard error and the callback,
    // never to standard output.
    Fresh fresh(true);
    zam_logger_stderr(1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    zam_wrn("w %d\n", 2);
    zam_msg("m\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "*Warning* w 2\n");
    EXPECT_EQ(captured, "*Warning* w 2\nm\n");
  }
}

TEST(Messages, CallbackTickAndBufferSignals) {
  Fresh fresh(true);
  EXPECT_EQ(zam_logger_callback(capture), capture);
  zam_tick();
  EXPECT_EQ(captured, ".");
  captured.clear();
  zam_logger_buffer(1);
  zam_logger_buffer(1);
  EXPECT_EQ(captured, "BUFFER_ON\n");
  zam_logger_buffer(0);
  zam_logger_buffer(0);
  EXPECT_EQ(captured, "BUFFER_ON\nBUFFER_OFF\n");
  captured.clear();
  zam_logger_buffer(-1);
  EXPECT_EQ(captured, "BUFFER_OFF\n");

  EXPECT_EQ(zam_logger_callback(nullptr), capture);
  testing::internal::CaptureStdout();
  zam_tick();
  zam_logger_buffer(1);  // no callback: only the flush
  zam_logger_buffer(0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), ".");
}

// Quiet steps keep plain lines and ticks off the screen (the callback), not
// out of the log, and never keep warnings or errors from either, whichever
// thread gives them. Steps overlap: the screen comes back with the last
// close, and a close with none open changes nothing.
TEST(Messages, QuietStepsSilenceOnlyPlainLinesOnTheScreen) {
  Fresh fresh(true);
  testutil::TempDir dir;
  const std::string name = dir.file("quiet.log");
  zam_logger_name(name.c_str());
  zam_logger_state(1);
  zam_logger_quiet(1);
  std::thread([] {
    zam_logger_quiet(1);
    zam_msg("step\n");
    zam_tick();
    zam_wrn("seen\n");
  }).join();
  zam_logger_quiet(0);
  zam_msg("still quiet\n");
  zam_err("also seen\n");
  zam_logger_quiet(0);
  zam_logger_quiet(0);
  zam_msg("shown\n");
  EXPECT_EQ(captured, "*Warning* seen\n*Error* also seen\nshown\n");
  zam_logger_exit();
  const std::string log = testutil::read_file(name);
  EXPECT_NE(log.find("step\n*Warning* seen\nstill quiet\n*Error* also seen\nshown\n"), std::string::npos) << log;
  zam_logger_name("zam.log");
}

TEST(LogFile, BannersAndContents) {
  Fresh fresh(true);
  testutil::TempDir dir;
  const std::string name = dir.file("run.log");
  zam_logger_name(name.c_str());
  zam_log("not yet\n");  // logging off: nowhere
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(zam_logger_status(), 0);
  zam_logger_state(1);
  EXPECT_EQ(zam_logger_status(), 1);
  EXPECT_EQ(std::string(zam_logger_file()), name);
  zam_msg("hello %s\n", "50%s");
  zam_log("only in the log\n");
  zam_wrn("%s\n", std::string(300, 'z').c_str());
  zam_oops("broken\n");
  zam_msg("%s", "");
  zam_logger_state(0);
  zam_msg("while off\n");
  zam_log("while off\n");
  EXPECT_EQ(zam_logger_status(), 0);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(captured.find("only in the log"), std::string::npos);
  zam_logger_exit();
  EXPECT_EQ(zam_logger_status(), 0);
  zam_logger_exit();  // nothing open: nothing happens

  const std::vector<std::string> lines = split_lines(testutil::read_file(name));
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], kRule);
  EXPECT_TRUE(is_stamp(lines[1], "starting")) << lines[1];
  EXPECT_EQ(lines[2], kRule);
  EXPECT_EQ(lines[3], "hello 50%s");
  EXPECT_EQ(lines[4], "only in the log");
  EXPECT_EQ(lines[5], "*Warning* " + std::string(255, 'z'));
  EXPECT_EQ(lines[6], "*Oops* broken");
  EXPECT_EQ(lines[7], "");
  EXPECT_EQ(lines[8], kRule);
  EXPECT_TRUE(is_stamp(lines[9], "stopping")) << lines[9];
  EXPECT_EQ(lines[10], kRule);
  zam_logger_name("zam.log");
}

TEST(LogFile, ReopeningReplacesTheLog) {
  Fresh fresh(true);
  testutil::TempDir dir;
  const std::string name = dir.file("again.log");
  zam_logger_name(name.c_str());
  zam_logger_state(1);
  zam_msg("first run\n");
  zam_logger_exit();
  zam_logger_state(1);
  zam_msg("second run\n");
  zam_logger_exit();
  const std::string text = testutil::read_file(name);
  EXPECT_EQ(text.find("first run"), std::string::npos);
  EXPECT_NE(text.find("second run"), std::string::npos);
  zam_logger_name("zam.log");
}

// A symbolic link at the log's name is never written through.
TEST(LogFile, LinkAtTheNameIsRefused) {
  Fresh fresh(true);
  testutil::TempDir dir;
  testutil::write_file(dir.file("target.txt"), "keep\n");
  ASSERT_EQ(symlink("target.txt", dir.file("linked.log").c_str()), 0);
  zam_logger_name(dir.file("linked.log").c_str());
  zam_logger_state(1);
  EXPECT_EQ(captured,
            "*Error* Failed to open log file " + dir.file("linked.log") + " [Too many levels of symbolic links]\n");
  EXPECT_EQ(zam_logger_status(), 0);
  zam_logger_exit();
  EXPECT_EQ(testutil::read_file(dir.file("target.txt")), "keep\n");
  zam_logger_name("zam.log");
}

TEST(LogFile, FailedOpenIsReportedOnce) {
  Fresh fresh(true);
  testutil::TempDir dir;
  const std::string name = dir.file("missing/x.log");
  zam_logger_name(name.c_str());
  zam_logger_state(1);
  EXPECT_EQ(captured, "*Error* Failed to open log file " + name + " [No such file or directory]\n");
  EXPECT_EQ(zam_logger_status(), 0);
  captured.clear();
  zam_msg("still shown\n");
  EXPECT_EQ(captured, "still shown\n");
  // Asking again with a usable name opens it.
  const std::string good = dir.file("good.log");
  zam_logger_name(good.c_str());
  zam_logger_state(1);
  EXPECT_EQ(zam_logger_status(), 1);
  zam_logger_exit();
  EXPECT_NE(testutil::read_file(good).find(" log stopping at "), std::string::npos);
  zam_logger_name("zam.log");
}

// A log given as a descriptor is written through it, whatever stands at
// its name (nothing is made there); a pipe at a log's name that no process
// reads fails the open at once rather than wait for a reader.
TEST(LogFile, GivenDescriptorAndPipeThatNobodyReads) {
  Fresh fresh(true);
  testutil::TempDir dir;
  const int fd = open(dir.file("held").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  zam_logger_fd(fd);
  zam_logger_name(dir.file("shown.log").c_str());
  zam_logger_state(1);
  zam_msg("through the descriptor\n");
  zam_logger_exit();
  zam_logger_fd(-1);
  close(fd);
  EXPECT_NE(testutil::read_file(dir.file("held")).find("through the descriptor\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("shown.log")));
  const std::string pipe = dir.file("pipe.log");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  zam_logger_name(pipe.c_str());
  zam_logger_state(1);
  EXPECT_EQ(captured, "through the descriptor\n*Error* Failed to open log file " + pipe +
                          " [No such device or address]\n");
  EXPECT_EQ(zam_logger_status(), 0);
  zam_logger_name("zam.log");
}

// Every kind but zam_oops waits for lock 4.
TEST(Messages, LockFourGuardsAllButOops) {
  Fresh fresh(true);
  zam_thread_setup(2);
  zam_mutex_acquire(4);
  zam_oops("no lock\n");  // would never return if it took lock 4
  EXPECT_EQ(captured, "*Oops* no lock\n");

  std::atomic<int> done{0};
  std::thread writer([&done] {
    zam_msg("m\n");
    zam_log("l\n");
    zam_adv("a\n");
    zam_wrn("w\n");
    zam_err("e\n");
    done = 1;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(done.load(), 0);
  EXPECT_EQ(captured, "*Oops* no lock\n");
  zam_mutex_release(4);
  writer.join();
  EXPECT_EQ(captured, "*Oops* no lock\nm\n*Advisory* a\n*Warning* w\n*Error* e\n");
}

// Worker threads hold the messages of each item; the items are replayed in
// list order. The screen (callback) and the log file get the same texts in
// that order, whichever thread did which item, and nothing before the replay.
TEST(HeldMessages, ReplayKeepsListOrderOnScreenAndInTheLog) {
  Fresh fresh(true);
  testutil::TempDir dir;
  const std::string name = dir.file("held.log");
  zam_logger_name(name.c_str());
  zam_logger_state(1);
  zam_msg("before\n");
  constexpr int kItems = 24;
  std::vector<_zam_log_held> held(kItems);
  std::atomic<int> next{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; w++)
    workers.emplace_back([&] {
      // Items taken from the end, so that no thread does them in list order.
      for (int k = next++; k < kItems; k = next++) {
        const int i = kItems - 1 - k;
        EXPECT_EQ(zam_log_hold(&held[i]), nullptr);
        zam_msg("item %d\n", i);
        zam_log("item %d logged\n", i);
        zam_wrn("item %d warned\n", i);
        zam_tick();
        zam_msg_brk();
        EXPECT_EQ(zam_log_hold(nullptr), &held[i]);
      }
    });
  for (std::thread& t : workers) t.join();
  zam_logger_state(1);  // flushes
  EXPECT_EQ(captured, "before\n");
  EXPECT_EQ(testutil::read_file(name).find("item"), std::string::npos);

  std::string screen = "before\n", logged = "before\n";
  for (int i = 0; i < kItems; i++) {
    const std::string n = std::to_string(i);
    screen += "item " + n + "\n*Warning* item " + n + " warned\n.\n" + kRule + "\n";
    logged += "item " + n + "\nitem " + n + " logged\n*Warning* item " + n + " warned\n\n" +
              kRule + "\n";
    EXPECT_EQ(held[i].lines.size(), 5u) << i;
  }
  for (_zam_log_held& h : held) zam_log_replay(&h);
  for (const _zam_log_held& h : held) EXPECT_TRUE(h.lines.empty());
  EXPECT_EQ(captured, screen);
  zam_logger_exit();
  const std::string text = testutil::read_file(name);
  const size_t from = text.find("before\n");
  const size_t to = text.find("\n" + kRule + "\n" + zam_version() + " log stopping");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(text.substr(from, to - from), logged);
  zam_logger_name("zam.log");
}

// Holds nest; a replay inside a hold joins that hold; a held text is cut and
// dropped like any other; zam_oops is never held; the standard-error copy
// waits for the replay; without a hold nothing changes.
TEST(HeldMessages, NestingCutsAndDestinations) {
  Fresh fresh(true);
  EXPECT_EQ(zam_log_hold(nullptr), nullptr);
  zam_msg("direct\n");
  EXPECT_EQ(captured, "direct\n");
  captured.clear();

  _zam_log_held outer, inner;
  EXPECT_EQ(zam_log_hold(&outer), nullptr);
  zam_msg("1\n");
  EXPECT_EQ(zam_log_hold(&inner), &outer);
  zam_msg("2\n");
  zam_msg("%s", "");  // empty: nothing held
  zam_log("logging is off\n");  // nowhere, held or not
  EXPECT_EQ(zam_log_hold(&outer), &inner);
  zam_msg("3\n");
  zam_wrn("%s\n", std::string(300, 'z').c_str());
  zam_oops("at once\n");
  EXPECT_EQ(captured, "*Oops* at once\n");
  zam_log_replay(&inner);  // joins the outer hold
  EXPECT_TRUE(inner.lines.empty());
  EXPECT_EQ(captured, "*Oops* at once\n");
  EXPECT_EQ(zam_log_hold(nullptr), &outer);
  captured.clear();
  zam_log_replay(&outer);
  EXPECT_EQ(captured, "1\n3\n*Warning* " + std::string(255, 'z') + "\n2\n");
  zam_log_replay(&outer);  // emptied: nothing again
  zam_log_replay(nullptr);
  EXPECT_EQ(captured, "1\n3\n*Warning* " + std::string(255, 'z') + "\n2\n");

  zam_logger_stderr(1);
  captured.clear();
  testing::internal::CaptureStderr();
  _zam_log_held errors;
  zam_log_hold(&errors);
  zam_err("bad %d\n", 7);
  zam_log_hold(nullptr);
  EXPECT_EQ(captured, "");
  zam_log_replay(&errors);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "*Error* bad 7\n");
  EXPECT_EQ(captured, "*Error* bad 7\n");
}

// A hold kept as bytes and said by another process: every line comes back
// with its kind, a log line too though logging was off when it was given
// (keep_log), to the destinations its kind has there; an error counted where
// it was given counts no more where it is said. Bytes that are no such
// lines (cut, of an unknown kind, or spoilt at random) say nothing and do
// no harm.
TEST(HeldMessages, KeptLinesAreSaidAgainAsGiven) {
  Fresh fresh(true);
  zam_wrn_once_reset();
  _zam_log_held kept;
  kept.keep_log = 1;
  zam_log_hold(&kept);
  zam_msg("plain\n");
  zam_log("log only\n");
  zam_adv_once("once\n");
  const int errors = zam_err_count();
  zam_err("bad\n");
  zam_log_hold(nullptr);
  EXPECT_EQ(zam_err_count(), errors + 1);
  const std::string bytes = zam_log_keep(&kept);
  zam_log_drop(&kept);
  EXPECT_EQ(zam_log_keep(&kept), "");
  EXPECT_EQ(zam_log_kept(bytes.data(), bytes.size()), 4);

  _zam_log_held again;
  zam_log_hold(&again);
  EXPECT_TRUE(zam_log_say(bytes));
  zam_log_hold(nullptr);
  ASSERT_EQ(again.lines.size(), 4u);
  EXPECT_EQ(again.lines[1].text, "log only\n");
  zam_log_replay(&again);
  EXPECT_EQ(captured, "plain\n*Advisory* once\n*Error* bad\n");
  EXPECT_TRUE(zam_log_say(bytes));  // the advisory is shown once
  EXPECT_EQ(captured, "plain\n*Advisory* once\n*Error* bad\nplain\n*Error* bad\n");
  EXPECT_EQ(zam_err_count(), errors + 1);

  captured.clear();
  std::string bad = bytes;
  bad[0] = 9;
  EXPECT_FALSE(zam_log_say(bad));
  EXPECT_FALSE(zam_log_say(bytes.substr(0, bytes.size() - 1)));
  EXPECT_EQ(zam_log_kept(bytes.data(), bytes.size() - 1), -1);
  EXPECT_EQ(captured, "");
  std::mt19937 random(7);
  for (int round = 0; round < 2000; round++) {
    std::string spoilt = bytes;
    for (int k = 0; k < 3; k++) spoilt[random() % spoilt.size()] = static_cast<char>(random());
    zam_log_say(spoilt.substr(0, random() % (spoilt.size() + 1)));
  }
  EXPECT_EQ(zam_err_count(), errors + 1);
  zam_wrn_once_reset();
}

// Lines kept with a file's name are said with the name given then, only
// where the file was named (a name that also stands inside other text, here
// the reader's echo of a line, changes nothing there), cut at 256 characters
// after the prefix as an entry cuts them. No control byte but the line end
// reaches the screen or the log, whether the line was kept with it or the
// bytes were made by hand: each shows escaped. A line longer than any the
// entries give, escaped, is no kept line.
TEST(HeldMessages, KeptLinesNameTheFileTheyAreSaidOfAndShowNoControlBytes) {
  Fresh fresh(true);
  const char* token = "\x1d" "source" "\x1d";
  _zam_log_held kept;
  zam_log_hold(&kept);
  zam_wrn("Line 1 of %s is long\n", token);
  zam_msg("[ATOM a\x01\x1b[2J\t%s a]\n", "a");
  zam_log_hold(nullptr);
  const std::string bytes = zam_log_keep(&kept, token);
  zam_log_drop(&kept);
  zam_log_say(bytes, "a");
  zam_log_say(bytes, "b/z.pdb");
  EXPECT_EQ(captured,
            "*Warning* Line 1 of a is long\n[ATOM a\\x01\\x1b[2J\\x09a a]\n"
            "*Warning* Line 1 of b/z.pdb is long\n[ATOM a\\x01\\x1b[2J\\x09a a]\n");
  // A long name: the line said as the entry says it of that name.
  const std::string name(300, 'n');
  captured.clear();
  zam_wrn("Line 1 of %s is long\n", name.c_str());
  const std::string direct = captured;
  captured.clear();
  zam_log_say(bytes, name.c_str());
  EXPECT_EQ(captured.substr(0, direct.size()), direct);
  EXPECT_EQ(direct.size(), 10u + 256u);

  // Made by hand: the kind, the text's length and the text.
  const auto line = [](int kind, const std::string& text) {
    const uint32_t n = static_cast<uint32_t>(text.size());
    return std::string(1, static_cast<char>(kind)) + std::string(reinterpret_cast<const char*>(&n), sizeof n) + text;
  };
  captured.clear();
  EXPECT_TRUE(zam_log_say(line(2, "*Warning* \x1b]0;title\x07\r\x7f\n"), "x"));
  EXPECT_EQ(captured, "*Warning* \\x1b]0;title\\x07\\x0d\\x7f\n");
  // The longest line the entries give, every byte of it escaped, is kept
  // whole; a line of a million bytes is none.
  _zam_log_held longest;
  zam_log_hold(&longest);
  zam_adv("%s\n", std::string(300, '\x1b').c_str());
  zam_log_hold(nullptr);
  const std::string whole = zam_log_keep(&longest);
  zam_log_drop(&longest);
  EXPECT_EQ(zam_log_kept(whole.data(), whole.size()), 1);
  const std::string huge = line(0, std::string(1000000, 'x') + "\n");
  EXPECT_EQ(zam_log_kept(huge.data(), huge.size()), -1);
  captured.clear();
  EXPECT_FALSE(zam_log_say(line(0, "fine\n") + huge));
  EXPECT_EQ(captured, "");
}

// No held line is lost or written twice: a release (a run that stops, on
// another thread) writes every hold's lines in the order the holds were
// made, a worker still holding meanwhile included; a hold that goes before
// its replay writes what it kept.
TEST(HeldMessages, ReleasedOnceInOrder) {
  Fresh fresh(true);
  std::vector<_zam_log_held> held(3);
  std::thread([&] {
    for (const int i : {2, 0, 1}) {
      zam_log_hold(&held[i]);
      zam_wrn("item %d\n", i);
      zam_log_hold(nullptr);
    }
  }).join();
  std::thread([] { zam_log_release(); }).join();
  EXPECT_EQ(captured, "*Warning* item 0\n*Warning* item 1\n*Warning* item 2\n");
  for (_zam_log_held& h : held) zam_log_replay(&h);
  {
    _zam_log_held gone;
    zam_log_hold(&gone);
    zam_msg("kept\n");
    zam_log_hold(nullptr);
  }
  EXPECT_EQ(captured, "*Warning* item 0\n*Warning* item 1\n*Warning* item 2\nkept\n");

  // Releases while a worker holds: every line once, in its order.
  for (int trial = 0; trial < 20; trial++) {
    captured.clear();
    _zam_log_held busy;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      zam_log_hold(&busy);
      for (int k = 0; k < 500; k++) zam_msg("%d\n", k);
      zam_log_hold(nullptr);
      done = true;
    });
    while (!done) zam_log_release();
    worker.join();
    zam_log_replay(&busy);
    std::string expected;
    for (int k = 0; k < 500; k++) expected += std::to_string(k) + "\n";
    ASSERT_EQ(captured, expected) << trial;
  }
}

// Pinned destinations stay whatever a quiet step installs later. (In a child
// process: the pin holds for the process.)
TEST(HeldMessages, PinnedDestinationsStay) {
  const pid_t child = fork();
  if (child == 0) {
    Fresh fresh(false);
    zam_logger_pin(capture, 0);
    const bool kept = zam_logger_callback(nullptr) == capture;
    zam_msg("shown\n");
    _exit(kept && captured == "shown\n" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The steps under the entries take finished texts: a '%' is never
// interpreted, texts are cut at 256 characters, an empty text writes nothing
// (not even its prefix), a log-only line reaches only the log, and an error
// counts for the exit status.
TEST(LoggerSteps, FinishedTextsToTheirDestinations) {
  Fresh fresh(true);
  zam_logger_stderr(1);
  testutil::TempDir dir;
  const std::string name = dir.file("steps.log");
  zam_logger_name(name.c_str());
  zam_logger_log("logging is off\n");
  EXPECT_EQ(calls, 0);
  zam_logger_state(1);
  testing::internal::CaptureStderr();
  const int errors = zam_err_count();
  zam_logger_err("*Warning* ", "");
  zam_logger_msg("");
  zam_logger_log("");
  EXPECT_EQ(calls, 0);
  zam_logger_msg("50%s done %d\n");
  zam_logger_log("only %s in the log\n");
  zam_logger_err("*Advisory* ", std::string(300, 'a').c_str());
  zam_logger_err("*Error* ", "bad %n\n");
  EXPECT_EQ(zam_err_count(), errors + 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "*Advisory* " + std::string(256, 'a') + "*Error* bad %n\n");
  EXPECT_EQ(captured, "50%s done %d\n*Advisory* " + std::string(256, 'a') + "*Error* bad %n\n");
  zam_logger_exit();
  const std::vector<std::string> lines = split_lines(testutil::read_file(name));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[3], "50%s done %d");
  EXPECT_EQ(lines[4], "only %s in the log");
  EXPECT_EQ(lines[5], "*Advisory* " + std::string(256, 'a') + "*Error* bad %n");
  zam_logger_name("zam.log");
}

}  // namespace
