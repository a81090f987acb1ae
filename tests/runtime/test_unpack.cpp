// Compressed files unpacked as they are read, their packed bytes summed: the
// text is the one a stream of the file gives (gzip members one after the
// other, bytes after the last passed over, a file that is no gzip file as it
// is, bzip2's first stream), a file cut short or damaged fails as it does
// there, and the sum is the CRC-32 and size of the file as it lies on disk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"
#include "runtime/zam_unpack.h"

using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

struct Text {
  std::string bytes;
  bool failed = false;
};

// The file as a zam_fopen stream reads it.
Text streamed(const std::string& path) {
  Text t;
  _zam_file* f = zam_fopen(path.c_str(), "r");
  if (!f) return Text{"", true};
  char buf[4096];
  int64_t got;
  while ((got = zam_fread(f, buf, sizeof buf)) > 0) t.bytes.append(buf, static_cast<size_t>(got));
  t.failed = got < 0 || zam_ferror(f);
  zam_fclose(f);
  return t;
}

// The file unpacked in blocks of odd sizes, the packed bytes summed to the
// end; the sum must be the file's whatever the text was.
Text unpacked(const std::string& path) {
  Text t;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  _zam_filesum sum;
  zam_sumStart(&sum);
  _zam_unpack* u = zam_unpackOpen(fd, zam_fkind(path.c_str()), &sum);
  EXPECT_NE(u, nullptr) << path;
  std::vector<char> buf(7001);
  int64_t got;
  while ((got = zam_unpackRead(u, buf.data(), static_cast<int64_t>(buf.size()))) > 0)
    t.bytes.append(buf.data(), static_cast<size_t>(got));
  t.failed = got < 0;
  EXPECT_EQ(zam_unpackRead(u, buf.data(), 1), t.failed ? -1 : 0) << path;
  zam_unpackClose(u);
  EXPECT_EQ(zam_sumFinish(&sum, fd), 1) << path;
  close(fd);
  const std::string file = read_file(path);
  EXPECT_EQ(sum.size, static_cast<int64_t>(file.size())) << path;
  EXPECT_EQ(sum.crc, zam_crc32(0, file.data(), static_cast<int64_t>(file.size()))) << path;
  return t;
}

void expectAsStreamed(const std::string& path, const std::string& what) {
  const Text s = streamed(path), u = unpacked(path);
  EXPECT_EQ(u.failed, s.failed) << what;
  if (!s.failed && !u.failed) {
    EXPECT_EQ(u.bytes, s.bytes) << what;
  }
}

// A PDB-like text of the given lines, with coordinates that do not pack
// much, so that a long one takes several codec blocks.
std::string text(int lines) {
  std::mt19937 random(static_cast<unsigned>(lines));
  std::string t;
  char line[96];
  for (int i = 0; i < lines; i++) {
    snprintf(line, sizeof line, "ATOM  %5d  CA  GLY A%4d    %8.3f%8.3f%8.3f\n", i % 99999, i % 9999,
             static_cast<double>(random() % 200000) / 1000.0, static_cast<double>(random() % 200000) / 1000.0,
             static_cast<double>(random() % 200000) / 1000.0);
    t += line;
  }
  return t;
}

std::string packed(const TempDir& dir, const std::string& name, const std::string& bytes) {
  _zam_file* f = zam_fopen(dir.file(name).c_str(), "w");
  zam_fwrite(f, bytes.data(), static_cast<int64_t>(bytes.size()));
  zam_fclose(f);
  return read_file(dir.file(name));
}

}  // namespace

TEST(Unpack, TextAndFailuresAreThoseOfTheStream) {
  TempDir dir;
  const std::string a = text(6000), b = text(7);
  const std::string gz = packed(dir, "a.gz", a), gz_b = packed(dir, "b.gz", b);
  const std::string bz = packed(dir, "a.bz2", a), bz_b = packed(dir, "b.bz2", b);
  ASSERT_GT(gz.size(), 70000u);  // more than one read of packed bytes
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"whole.gz", gz},
      {"members.gz", gz + gz_b},
      {"trailing.gz", gz + "trailing words\n"},
      {"half_magic.gz", gz + "\x1f"},
      {"bad_member.gz", gz + "\x1f\x8b" + "not a member"},
      {"plain.gz", a},
      {"one.gz", "A"},
      {"empty.gz", ""},
      {"cut.gz", gz.substr(0, gz.size() / 2)},
      {"cut_trailer.gz", gz.substr(0, gz.size() - 3)},
      {"flipped.gz", gz.substr(0, 5000) + static_cast<char>(gz[5000] ^ 0x40) + gz.substr(5001)},
      {"whole.bz2", bz},
      {"streams.bz2", bz + bz_b},
      {"plain.bz2", a},
      {"empty.bz2", ""},
      {"cut.bz2", bz.substr(0, bz.size() - 10)},
  };
  for (const auto& c : cases) {
    write_file(dir.file(c.name), c.bytes);
    expectAsStreamed(dir.file(c.name), c.name);
  }
}

// Bounded fuzzing: sound gzip and bzip2 files with bytes changed, cut out or
// repeated by a seeded mutator are unpacked without reading out of bounds
// (the sanitizer build), fail where the stream fails, and give its text
// where it gives one.
TEST(Unpack, FuzzedFilesUnpackAsTheStreamReadsThem) {
  TempDir dir;
  const std::string sound_gz = packed(dir, "s.gz", text(400)), sound_bz = packed(dir, "s.bz2", text(400));
  std::mt19937 random(20260612u);
  for (int round = 0; round < 120; round++) {
    for (const char* name : {"f.gz", "f.bz2"}) {
      std::string bytes = name[2] == 'g' ? sound_gz : sound_bz;
      for (int m = 0; m < 3; m++) {
        const size_t at = random() % (bytes.size() + 1);
        switch (random() % 3) {
          case 0:
            if (at < bytes.size()) bytes[at] = static_cast<char>(random() & 0xff);
            break;
          case 1: bytes.erase(at, random() % 64); break;
          default: bytes.insert(at, bytes.substr(at, random() % 64)); break;
        }
      }
      write_file(dir.file(name), bytes);
      expectAsStreamed(dir.file(name), std::string(name) + " round " + std::to_string(round));
    }
  }
}
