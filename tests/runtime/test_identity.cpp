// File identities: the text form read back exactly and nothing else taken
// for it; a recorded file removed only when that very file, unchanged, with
// one name, stands at its recorded path; small files read whole or not.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "runtime/zam_identity.h"

namespace {

_zam_identity identityAt(const std::string& path) {
  _zam_identity id{};
  EXPECT_EQ(zam_identityAt(path.c_str(), &id), 1) << path;
  return id;
}

TEST(Identity, TextRoundTripAndRefusals) {
  const _zam_identity id{UINT64_MAX, 1234567, INT64_MAX, 1700000000123456789, 1};
  EXPECT_EQ(zam_identityText(id), "18446744073709551615 1234567 9223372036854775807 1700000000123456789 1");
  EXPECT_EQ(zam_identityText(_zam_identity{0, 2, -3, INT64_MIN, 0}), "0 2 -3 -9223372036854775808 0");
  const std::string line = zam_identityText(id) + " name";
  _zam_identity back{};
  const char* end = nullptr;
  ASSERT_TRUE(zam_parseIdentity(line.data(), line.data() + line.size(), &back, &end));
  EXPECT_EQ(std::string(end), " name");
  EXPECT_EQ(std::memcmp(&id, &back, sizeof id), 0);
  for (const char* bad : {"", "1 2 3 4", "1 2 3 4 -5", "1  2 3 4 5", "1 2 3 4 x", "+1 2 3 4 5",
                          "18446744073709551616 2 3 4 5", "1 2 9223372036854775808 4 5", "1\t2 3 4 5"}) {
    _zam_identity untouched{7, 7, 7, 7, 7};
    EXPECT_FALSE(zam_parseIdentity(bad, bad + std::strlen(bad), &untouched)) << bad;
    EXPECT_EQ(untouched.dev, 7u) << bad;
  }
  // The text ends where the caller says, not at a NUL byte: a field cut by
  // one is no field.
  const std::string nul("1 2 3 4 5\0" "6", 11);
  EXPECT_FALSE(zam_parseIdentity(nul.data(), nul.data() + 8, &back));
  _zam_identity five{};
  const char* past = nullptr;
  ASSERT_TRUE(zam_parseIdentity(nul.data(), nul.data() + nul.size(), &five, &past));
  EXPECT_EQ(five.ctime_ns, 5);
  EXPECT_EQ(*past, '\0');
}

// A number is read up to its bound and refused past it, whatever the bound,
// a single digit too.
TEST(Identity, NumbersAreBoundedByTheirMaximum) {
  struct Case {
    const char* text;
    uint64_t max;
    bool ok;
  };
  for (const Case& c : {Case{"5", 5, true}, Case{"6", 5, false}, Case{"9", 0, false}, Case{"0", 0, true},
                        Case{"12", 11, false}, Case{"11", 11, true}, Case{"18446744073709551615", UINT64_MAX, true},
                        Case{"18446744073709551616", UINT64_MAX, false}}) {
    const char* p = c.text;
    uint64_t v = 77;
    EXPECT_EQ(zam_parseNumber(p, c.text + std::strlen(c.text), c.max, &v), c.ok) << c.text << " " << c.max;
    EXPECT_EQ(p == c.text, !c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(v, 77u) << c.text;
    }
  }
}

// Times in nanoseconds: exact within 64 bits, held at the ends past them
// (after 2262, or a time set that far back) instead of wrapping.
TEST(Identity, NanosecondsHeldAtTheEnds) {
  EXPECT_EQ(zam_nanoseconds(timespec{1700000000, 123456789}), 1700000000123456789);
  EXPECT_EQ(zam_nanoseconds(timespec{-2, 500000000}), -1500000000);
  EXPECT_EQ(zam_nanoseconds(timespec{9223372035, 999999999}), 9223372035999999999);
  EXPECT_EQ(zam_nanoseconds(timespec{9223372036, 854775807}), INT64_MAX);
  EXPECT_EQ(zam_nanoseconds(timespec{INT64_MAX, 0}), INT64_MAX);
  EXPECT_EQ(zam_nanoseconds(timespec{INT64_MIN, 0}), INT64_MIN);
  EXPECT_LE(zam_runStart(), zam_nowNs());
}

TEST(Identity, RemovesOnlyTheRecordedFileAtItsPath) {
  testutil::TempDir dir;
  const std::string a = dir.file("a.pir"), b = dir.file("b.pir");
  // The file itself, unchanged: removed, and a dummy run only says so.
  testutil::write_file(a, "result\n");
  _zam_identity id = identityAt(a);
  EXPECT_EQ(zam_removeRecorded(a, id, false), ZAM_RECORDED_REMOVED);
  EXPECT_EQ(access(a.c_str(), F_OK), 0);
  EXPECT_EQ(zam_removeRecorded(a, id), ZAM_RECORDED_REMOVED);
  EXPECT_EQ(zam_removeRecorded(a, id), ZAM_RECORDED_GONE);

  // Rewritten in place at the same size with its times set back: the
  // change time tells it apart.
  testutil::write_file(a, "result\n");
  id = identityAt(a);
  struct stat st;
  ASSERT_EQ(stat(a.c_str(), &st), 0);
  usleep(20000);
  testutil::write_file(a, "notes!\n");
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), times, 0), 0);
  EXPECT_EQ(zam_removeRecorded(a, id), ZAM_RECORDED_CHANGED);
  EXPECT_EQ(testutil::read_file(a), "notes!\n");

  // Moved to another name: not removed there, nothing at the recorded path.
  id = identityAt(a);
  ASSERT_EQ(rename(a.c_str(), b.c_str()), 0);
  EXPECT_EQ(zam_removeRecorded(a, id), ZAM_RECORDED_GONE);
  EXPECT_EQ(zam_removeRecorded(b, id), ZAM_RECORDED_CHANGED);  // the rename gave it a new change time

  // A second name given to the file: both names keep it.
  id = identityAt(b);
  ASSERT_EQ(link(b.c_str(), a.c_str()), 0);
  EXPECT_EQ(zam_removeRecorded(b, identityAt(b)), ZAM_RECORDED_LINKED);
  EXPECT_EQ(testutil::read_file(a), "notes!\n");

  // A link standing at the recorded path is never followed.
  ASSERT_EQ(unlink(a.c_str()), 0);
  ASSERT_EQ(symlink(b.c_str(), a.c_str()), 0);
  EXPECT_EQ(zam_removeRecorded(a, identityAt(b)), ZAM_RECORDED_CHANGED);
  EXPECT_EQ(access(b.c_str(), F_OK), 0);
}

// One statx gives what fstat gives of a file held open, times apart
// (modification set back), and its birth time as the file system keeps it;
// the held status tells whether the file still stands at a name, looking at
// the name alone.
TEST(Identity, OneLookGivesStatusAndBirth) {
  testutil::TempDir dir;
  const std::string a = dir.file("a.pir"), b = dir.file("b.pir");
  testutil::write_file(a, "result\n");
  const timespec times[2] = {{1000000000, 5}, {1200000000, 7}};
  ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), times, 0), 0);
  const int fd = open(a.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat got, want;
  int64_t born = -1;
  ASSERT_TRUE(zam_statBorn(fd, &got, &born));
  ASSERT_EQ(fstat(fd, &want), 0);
  const _zam_identity g = zam_identityOf(got), w = zam_identityOf(want);
  EXPECT_EQ(std::memcmp(&g, &w, sizeof g), 0);
  EXPECT_EQ(g.mtime_ns, 1200000000000000007);
  EXPECT_EQ(got.st_mode, want.st_mode);
  struct statx sx;
  ASSERT_EQ(statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx), 0);
  EXPECT_EQ(born, (sx.stx_mask & STATX_BTIME)
                      ? zam_nanoseconds(timespec{static_cast<time_t>(sx.stx_btime.tv_sec), sx.stx_btime.tv_nsec})
                      : 0);

  struct stat there;
  EXPECT_TRUE(zam_standsAt(got, a, &there));
  EXPECT_EQ(there.st_ino, want.st_ino);
  ASSERT_EQ(rename(a.c_str(), b.c_str()), 0);
  EXPECT_FALSE(zam_standsAt(got, a));
  EXPECT_TRUE(zam_standsAt(got, b));
  testutil::write_file(a, "another\n");  // another file at the name
  EXPECT_FALSE(zam_standsAt(got, a));
  EXPECT_FALSE(zam_standsAt(fd, a));
  close(fd);
  EXPECT_FALSE(zam_statBorn(fd, &got, &born));
  EXPECT_EQ(errno, EBADF);
}

TEST(Identity, ReadsARegularFileWholeOrNotAtAll) {
  testutil::TempDir dir;
  const std::string f = dir.file("f"), l = dir.file("l"), p = dir.file("p");
  testutil::write_file(f, "abc");
  std::string bytes = "old";
  struct stat st;
  ASSERT_EQ(zam_readWholeFile(f.c_str(), &bytes, 3, &st), 1);
  EXPECT_EQ(bytes, "abc");
  EXPECT_EQ(st.st_size, 3);
  EXPECT_EQ(zam_readWholeFile(f.c_str(), &bytes, 2), 0);
  EXPECT_EQ(errno, EFBIG);
  ASSERT_EQ(symlink(f.c_str(), l.c_str()), 0);
  EXPECT_EQ(zam_readWholeFile(l.c_str(), &bytes, 10), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(zam_readWholeFile(l.c_str(), &bytes, 10, nullptr, true), 1);
  // A pipe at the name is neither waited on nor read.
  ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
  EXPECT_EQ(zam_readWholeFile(p.c_str(), &bytes, 10), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(bytes.empty());
}

}  // namespace
