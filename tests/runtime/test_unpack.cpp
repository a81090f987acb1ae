// Compressed files read through their one decoder by both of its paths: a
// zam_fopen stream, and a descriptor unpacked in blocks
// with its packed bytes summed (as the PDB reader reads a source it stamps
// for the object cache). Both give the known text: gzip members one after
// the other, bytes after the last passed over, a file that is no gzip file
// as it is; bzip2 streams one after the other, bytes after the last that
// start no stream passed over. A file cut short or damaged fails on both
// after the same text, none of it from the part cut or damaged, and says
// which; the sum is the CRC-32 and size of the file as it lies on disk.
#include <bzlib.h>
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
  std::string why;  // what the failure was, as a message says it
};

const std::string kCut = zam_unpackFailure(ZAM_UNPACK_CUT);
const std::string kDamaged = zam_unpackFailure(ZAM_UNPACK_DAMAGED);

// The file as a zam_fopen stream reads it, byte by byte through its
// read-ahead.
Text streamed(const std::string& path) {
  Text t;
  _zam_file* f = zam_fopen(path.c_str(), "r");
  if (!f) return Text{"", true, "no file"};
  for (int c; (c = zam_fgetc(f)) >= 0;) t.bytes.push_back(static_cast<char>(c));
  t.failed = zam_ferror(f) != 0;
  t.why = zam_ferrorText(f);
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
  if (t.failed) t.why = zam_unpackFailure(errno);
  EXPECT_EQ(zam_unpackRead(u, buf.data(), 1), t.failed ? -1 : 0) << path;
  zam_unpackClose(u);
  EXPECT_EQ(zam_sumFinish(&sum, fd), 1) << path;
  close(fd);
  const std::string file = read_file(path);
  EXPECT_EQ(sum.size, static_cast<int64_t>(file.size())) << path;
  EXPECT_EQ(sum.crc, zam_crc32(0, file.data(), static_cast<int64_t>(file.size()))) << path;
  return t;
}

// Both paths read the file alike; what they read.
Text readAlike(const std::string& path, const std::string& what) {
  const Text s = streamed(path), u = unpacked(path);
  EXPECT_EQ(u.failed, s.failed) << what;
  EXPECT_EQ(u.why, s.why) << what;
  EXPECT_TRUE(u.bytes == s.bytes) << what << ": " << u.bytes.size() << " bytes unpacked, " << s.bytes.size()
                                  << " streamed";
  return u;
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

TEST(Unpack, KnownTextsAndFailuresOnBothPaths) {
  TempDir dir;
  const std::string a = text(6000), b = text(7);
  const std::string gz = packed(dir, "a.gz", a), gz_b = packed(dir, "b.gz", b);
  const std::string bz = packed(dir, "a.bz2", a), bz_b = packed(dir, "b.bz2", b);
  ASSERT_GT(gz.size(), 70000u);  // more than one read of packed bytes
  ASSERT_GT(bz.size(), 70000u);
  const std::string sound;
  const struct {
    const char* name;
    std::string bytes;
    std::string text;  // the whole text, or what a failed read gives first
    std::string why;   // sound, kCut or kDamaged
  } cases[] = {
      {"whole.gz", gz, a, sound},
      {"members.gz", gz + gz_b, a + b, sound},
      {"trailing.gz", gz + "trailing words\n", a, sound},
      {"half_magic.gz", gz + "\x1f", a, sound},
      {"bad_member.gz", gz + "\x1f\x8b" + "not a member", a, kDamaged},
      {"plain.gz", a, a, sound},
      {"one.gz", "A", "A", sound},
      {"empty.gz", "", "", sound},
      // A member's text is held until its check at the member's end.
      {"cut.gz", gz.substr(0, gz.size() / 2), "", kCut},
      {"cut_trailer.gz", gz.substr(0, gz.size() - 3), "", kCut},
      {"flipped.gz", gz.substr(0, 5000) + static_cast<char>(gz[5000] ^ 0x40) + gz.substr(5001), "", kDamaged},
      {"cut_second.gz", gz_b + gz.substr(0, gz.size() / 2), b, kCut},
      {"whole.bz2", bz, a, sound},
      // Streams one after the other, as parallel packers write a large file
      // and as concatenated files are.
      {"streams.bz2", bz_b + bz + bz_b, b + a + b, sound},
      {"trailing.bz2", bz + bz_b + "trailing words\n", a + b, sound},
      {"bad_size.bz2", bz + "BZh0", a, sound},  // a block size that is none: no stream
      {"half_magic.bz2", bz + "BZ", a, kCut},   // a stream begun, cut short
      {"bad_stream.bz2", bz + "BZh9" + "not a stream", a, kDamaged},
      {"plain.bz2", a, "", kDamaged},
      {"empty.bz2", "", "", kCut},
      {"cut.bz2", bz.substr(0, bz.size() - 10), a, kCut},  // its one block whole, its end cut
      {"cut_second.bz2", bz_b + bz.substr(0, bz.size() / 2), b, kCut},
  };
  for (const auto& c : cases) {
    write_file(dir.file(c.name), c.bytes);
    const Text t = readAlike(dir.file(c.name), c.name);
    EXPECT_EQ(t.failed, c.why != sound) << c.name;
    EXPECT_EQ(t.why, c.why) << c.name;
    EXPECT_TRUE(t.bytes == c.text) << c.name << ": " << t.bytes.size() << " bytes, not " << c.text.size();
  }
}

// Real structures with bytes flipped in the middle of their packed bytes: a
// damaged bzip2 block gives none of its text, only the blocks and streams
// before it, and the error says damaged. A gzip member is held as far as
// its text is of a structure's size; a longer one is not held whole, and
// goes out in parts before its error.
TEST(Unpack, DamagedBlocksAndMembersOfRealStructures) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const auto unpackedText = [&](const std::string& rel) {
    const Text t = streamed(testutil::shared_pdb(rel));
    EXPECT_FALSE(t.failed) << rel;
    return t.bytes;
  };
  const auto flipped = [](std::string bytes, size_t at) {
    for (size_t i = at; i < at + 4; i++) bytes[i] = static_cast<char>(bytes[i] ^ 0x55);
    return bytes;
  };
  // A bzip2 stream of blocks of at most 100 kB (before runs are undone).
  const auto small_blocks = [](const std::string& text) {
    std::string out(text.size() + text.size() / 50 + 1000, '\0');
    unsigned size = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(text.data()),
                                       static_cast<unsigned>(text.size()), 1, 0, 30),
              BZ_OK);
    out.resize(size);
    return out;
  };
  const std::string ubq = read_file(testutil::shared_pdb("freesasa/1ubq.pdb"));
  const std::string eep = unpackedText("tm-align/5eep.pdb.gz");
  const std::string big = unpackedText("tm-align/1ni7.pdb.gz");
  ASSERT_GT(eep.size(), 200000u);
  const std::string ubq_bz = packed(dir, "ubq.bz2", ubq), eep_bz = small_blocks(eep);
  const std::string ubq_gz = packed(dir, "ubq.gz", ubq), big_gz = packed(dir, "big.gz", big);
  const std::string big_bz = packed(dir, "big.bz2", big);
  const struct {
    const char* name;
    std::string bytes;
    std::string text;  // what the read gives before its error,
    bool part;         // or (when part) a start of it, neither empty nor whole
  } cases[] = {
      {"one_block.bz2", flipped(ubq_bz, ubq_bz.size() / 2), "", false},
      {"second_stream.bz2", eep_bz + flipped(ubq_bz, ubq_bz.size() / 2), eep, false},
      {"last_block.bz2", flipped(eep_bz, eep_bz.size() * 3 / 4), eep, true},
      {"large_blocks.bz2", flipped(big_bz, big_bz.size() - 2000), big, true},
      {"one_member.gz", flipped(ubq_gz, ubq_gz.size() / 2), "", false},
      {"long_member.gz", flipped(big_gz, big_gz.size() - 2000), big, true},
  };
  for (const auto& c : cases) {
    write_file(dir.file(c.name), c.bytes);
    const Text t = readAlike(dir.file(c.name), c.name);
    EXPECT_TRUE(t.failed) << c.name;
    EXPECT_EQ(t.why, kDamaged) << c.name;
    if (!c.part) {
      EXPECT_TRUE(t.bytes == c.text) << c.name << ": " << t.bytes.size() << " bytes";
      continue;
    }
    EXPECT_GT(t.bytes.size(), 0u) << c.name;
    EXPECT_LT(t.bytes.size(), c.text.size()) << c.name;
    EXPECT_EQ(c.text.compare(0, t.bytes.size(), t.bytes), 0) << c.name << ": not the text's start";
  }
}

// Bounded fuzzing: sound gzip and bzip2 files of two members or streams,
// with bytes changed, cut out or repeated by a seeded mutator, are read
// without reading out of bounds (the sanitizer build), and both paths give
// the same text and verdict.
TEST(Unpack, FuzzedFilesReadAlikeOnBothPaths) {
  TempDir dir;
  const std::string sound_gz = packed(dir, "s.gz", text(400)) + packed(dir, "t.gz", text(3));
  const std::string sound_bz = packed(dir, "s.bz2", text(400)) + packed(dir, "t.bz2", text(3));
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
      readAlike(dir.file(name), std::string(name) + " round " + std::to_string(round));
    }
  }
}
