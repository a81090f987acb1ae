// Trace records, the trace lifecycle and the raw trace file.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>

#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

using testutil::TempDir;

using testutil::LogTail;
using testutil::Messages;
std::string& g_messages = Messages::said();

struct DebugLevel {
  int old;
  explicit DebugLevel(int level) : old(zam_debug) { zam_debug = level; }
  ~DebugLevel() { zam_debug = old; }
};

// n records with every byte set from a position-dependent pattern, so that
// any shifted, lost or swapped byte shows up.
_trel_seg* patterned(int n) {
  auto* seg = static_cast<_trel_seg*>(kget1B(int64_t(n) * int64_t(sizeof(_trel_seg))));
  auto* bytes = reinterpret_cast<unsigned char*>(seg);
  for (size_t k = 0; k < size_t(n) * sizeof(_trel_seg); k++) bytes[k] = static_cast<unsigned char>(k * 7 + 3);
  return seg;
}

}  // namespace

TEST(TraceLifecycle, MakeWipeFree) {
  _trel_trace* trace = trel_makeTrace();
  ASSERT_NE(trace, nullptr);
  EXPECT_EQ(trace->n, 0);
  EXPECT_EQ(trace->seg, nullptr);
  EXPECT_EQ(trace->stats, nullptr);

  trace->n = 3;
  trace->seg = patterned(3);
  trace->stats = static_cast<_trel_trace_stats*>(kget1B_0(sizeof(_trel_trace_stats)));
  trel_wipeTrace(trace);  // frees both blocks (the sanitizer build checks)
  EXPECT_EQ(trace->n, 0);
  EXPECT_EQ(trace->seg, nullptr);
  EXPECT_EQ(trace->stats, nullptr);
  trel_wipeTrace(trace);  // a wiped trace stays as it is
  EXPECT_EQ(trace->seg, nullptr);

  trel_wipeTrace(nullptr);
  trel_freeTrace(nullptr);
  trace->seg = patterned(2);
  trel_freeTrace(trace);  // frees the records too (the sanitizer build checks)
}

TEST(TraceFile, RoundTripIsBitForBit) {
  TempDir dir;
  const int n = 5;
  _trel_seg* seg = patterned(n);
  seg[0].t[0] = Point3Df{1.5f, -2.25f, 3.0f};
  seg[0].v[7] = Point3Df{0.0f, 0.0f, -7.5f};
  const std::string name = dir.file("1abc.pdb");
  trel_write_trc(name.c_str(), n, seg);

  const std::string file = dir.file("1abc.trc");
  const std::string bytes = testutil::read_file(file);
  ASSERT_EQ(bytes.size(), size_t(268 * n));
  EXPECT_EQ(std::memcmp(bytes.data(), seg, bytes.size()), 0);
  float x, z;
  std::memcpy(&x, bytes.data() + 76, 4);  // t[0].x of record 0
  EXPECT_EQ(x, 1.5f);
  std::memcpy(&z, bytes.data() + 264, 4);  // v[7].z of record 0, its last four bytes
  EXPECT_EQ(z, -7.5f);

  _trel_seg* back = trel_read_trc(name.c_str(), n);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::memcmp(back, seg, 268 * n), 0);

  // A trace adopts the block and frees it with itself.
  _trel_trace* trace = trel_makeTrace();
  trace->n = n;
  trace->seg = back;
  trel_freeTrace(trace);
  kfree(seg);
}

TEST(TraceFile, ShortFileRefusedLongFileAccepted) {
  TempDir dir;
  _trel_seg* seg = patterned(3);
  const std::string name = dir.file("two");
  trel_write_trc(name.c_str(), 3, seg);

  {
    Messages m;
    EXPECT_EQ(trel_read_trc(name.c_str(), 4), nullptr);
    EXPECT_EQ(m.text(), "*Error* Failed to read TRC file: " + dir.file("two.trc") + ".\n");
  }
  _trel_seg* first = trel_read_trc(name.c_str(), 2);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::memcmp(first, seg, 2 * 268), 0);
  kfree(first);

  // Zero records: an empty file is enough.
  trel_write_trc(name.c_str(), 0, seg);
  EXPECT_EQ(std::filesystem::file_size(dir.file("two.trc")), 0u);
  _trel_seg* none = trel_read_trc(name.c_str(), 0);
  EXPECT_NE(none, nullptr);
  kfree(none);
  kfree(seg);
}

// A symbolic link standing at the trace file's name is replaced by the file,
// never written through: the file it points at keeps its bytes.
TEST(TraceFile, LinkAtTheNameIsReplacedNotFollowed) {
  TempDir dir;
  const std::string outside = dir.file("users.txt");
  testutil::write_file(outside, "the user's own notes\n");
  std::filesystem::create_symlink(outside, dir.file("t.trc"));
  _trel_seg* seg = patterned(2);
  trel_write_trc(dir.file("t").c_str(), 2, seg);
  EXPECT_EQ(testutil::read_file(outside), "the user's own notes\n");
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file("t.trc")));
  _trel_seg* back = trel_read_trc(dir.file("t").c_str(), 2);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::memcmp(back, seg, 2 * 268), 0);
  kfree(back);
  kfree(seg);
}

TEST(TraceFile, FailuresAreReported) {
  TempDir dir;
  Messages m;
  EXPECT_EQ(trel_read_trc(dir.file("missing.pdb").c_str(), 1), nullptr);
  EXPECT_EQ(m.text(), "*Error* Failed to read TRC file: " + dir.file("missing.trc") + ".\n");

  g_messages.clear();
  _trel_seg* seg = patterned(1);
  trel_write_trc(dir.file("no/such/folder/x.pdb").c_str(), 1, seg);
  EXPECT_EQ(m.text(), "*Error* Failed to write TRC file: " + dir.file("no/such/folder/x.trc") + ".\n");
  kfree(seg);

  g_messages.clear();
  EXPECT_EQ(trel_read_trc(dir.file("missing").c_str(), -1), nullptr);
  EXPECT_NE(m.text().find("Failed to read TRC file"), std::string::npos);
}

TEST(TraceFile, DebugListing) {
  TempDir dir;
  _trel_seg* seg = static_cast<_trel_seg*>(kget1B_0(2 * 268));
  seg[0].code = 'M';
  seg[1].code = 'Q';
  for (int s = 0; s < 8; s++) {
    seg[0].t[s] = Point3Df{float(s), -1.0f, 9.0f};
    seg[0].v[s] = Point3Df{0.5f, float(-s), 9.0f};
  }
  const std::string name = dir.file("dbg");
  trel_write_trc(name.c_str(), 2, seg);

  LogTail log;
  {
    DebugLevel level(3);
    _trel_seg* back = trel_read_trc(name.c_str(), 2);
    ASSERT_NE(back, nullptr);
    kfree(back);
  }
  const std::string text = log.tail();
  const std::string file = dir.file("dbg.trc");
  std::string expect = "Reading TRC file: " + file + "\nLoaded TRC data from " + file + "\n";
  expect += "    0  M\n";
  expect += "T00 = [  0.000, -1.000]T01 = [  1.000, -1.000]T02 = [  2.000, -1.000]T03 = [  3.000, -1.000]"
            "T04 = [  4.000, -1.000]T05 = [  5.000, -1.000]T06 = [  6.000, -1.000]T07 = [  7.000, -1.000]\n";
  expect += "V00 = [  0.500,  0.000]V01 = [  0.500, -1.000]V02 = [  0.500, -2.000]V03 = [  0.500, -3.000]"
            "V04 = [  0.500, -4.000]V05 = [  0.500, -5.000]V06 = [  0.500, -6.000]V07 = [  0.500, -7.000]";
  expect += "    1  Q\n";
  std::string zeros;
  for (int s = 0; s < 8; s++) zeros += "T0" + std::to_string(s) + " = [  0.000,  0.000]";
  expect += zeros + "\n";
  for (int s = 0; s < 8; s++) expect += "V0" + std::to_string(s) + " = [  0.000,  0.000]";
  EXPECT_EQ(text, expect);

  // Below level 3 nothing is logged; at level 2 the write names its file.
  LogTail quiet;
  {
    DebugLevel level(2);
    trel_write_trc(name.c_str(), 2, seg);
    kfree(trel_read_trc(name.c_str(), 2));
  }
  EXPECT_EQ(quiet.tail(), "Writing TRC file: " + file + "\n");
  kfree(seg);
}
