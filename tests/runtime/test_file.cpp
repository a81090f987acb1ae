// File streams: kinds by name, line and token readers, round trips through
// plain, gzip and bzip2 files, the printf limit, the sum a plain writer
// keeps, whole blocks, pipes, spawned programs and the reporting of write
// failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_file.h"
#include "runtime/zam_line_break.h"

using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

std::string write_with(const std::string& path, const std::string& text) {
  _zam_file* f = zam_fopen(path.c_str(), "w");
  EXPECT_NE(f, nullptr) << path;
  if (!f) return {};
  zam_fwrite(f, text.data(), static_cast<int64_t>(text.size()));
  EXPECT_EQ(zam_fclose(f), 0) << path;
  return read_file(path);
}

std::vector<std::string> read_lines(_zam_file* f, int n = 256) {
  std::vector<std::string> lines;
  std::vector<char> buf(n);
  while (zam_freadln(f, n, buf.data()) >= 0) lines.emplace_back(buf.data());
  return lines;
}

std::string binary_block(size_t n) {
  std::mt19937 gen(7);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xff);
  s[0] = 0;
  s[n - 1] = '\n';
  return s;
}

}  // namespace

TEST(FileKind, ChosenByExactLowerCaseEnding) {
  TempDir tmp;
  const std::string text = "kind test\n";
  struct Case {
    const char* name;
    uint32_t codec;
  } cases[] = {{"a.pdb.gz", ZAM_FGZIP}, {"a.GZ", 0},        {"a.gzip", 0}, {"a.gz2", 0},
               {"a.bz2", ZAM_FBZIP2},   {"a.bz", ZAM_FBZIP2}, {"a.BZ2", 0}, {"noext", 0},
               {"a.tgz", 0}};
  for (const auto& c : cases) {
    std::string path = tmp.file(c.name);
    _zam_file* f = zam_fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << c.name;
    EXPECT_EQ(f->flags & (ZAM_FGZIP | ZAM_FBZIP2), c.codec) << c.name;
    if (c.codec) {
      EXPECT_TRUE(f->flags & ZAM_FBINARY) << c.name;
    }
    EXPECT_STREQ(zam_fname(f), path.c_str());
    zam_fputs(f, text.c_str());
    ASSERT_EQ(zam_fclose(f), 0);
    std::string raw = read_file(path);
    if (c.codec == ZAM_FGZIP) {
      EXPECT_EQ(raw.substr(0, 2), "\x1f\x8b") << c.name;
    } else if (c.codec == ZAM_FBZIP2) {
      EXPECT_EQ(raw.substr(0, 3), "BZh") << c.name;
    } else {
      EXPECT_EQ(raw, text) << c.name;
    }
  }
  // A directory part with a dot does not make a plain file compressed.
  ASSERT_EQ(mkdir(tmp.file("d.gz").c_str(), 0755), 0);
  EXPECT_EQ(write_with(tmp.file("d.gz/plain"), text), text);
}

TEST(FileOpen, FailuresAndModes) {
  TempDir tmp;
  errno = 0;
  EXPECT_EQ(zam_fopen(tmp.file("missing.txt").c_str(), "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);  // callers report the reason
  errno = 0;
  EXPECT_EQ(zam_fopen(tmp.file("missing.gz").c_str(), "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(zam_fopen(tmp.file("missing.gz").c_str(), "r"), nullptr);
  EXPECT_EQ(zam_fopen(tmp.file("missing.bz2").c_str(), "r"), nullptr);
  EXPECT_EQ(zam_fopen(tmp.file("no/such/dir.txt").c_str(), "w"), nullptr);
  EXPECT_EQ(zam_fclose(nullptr), -1);

  // "a" opens for reading, never appending.
  std::string path = tmp.file("keep.txt");
  write_file(path, "first\n");
  _zam_file* f = zam_fopen(path.c_str(), "a");
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->flags & ZAM_FWRITE);
  char buf[32];
  EXPECT_EQ(zam_freadln(f, sizeof buf, buf), 5);
  EXPECT_STREQ(buf, "first");
  EXPECT_EQ(zam_fclose(f), 0);
  EXPECT_EQ(read_file(path), "first\n");

  // "w" replaces an existing file.
  EXPECT_EQ(write_with(path, "x"), "x");
}

TEST(FileRead, LineEdgeCases) {
  TempDir tmp;
  std::string longline(300, 'L');
  longline[80] = 'M';
  std::string body = "ab\r\n\n" + longline + "\nnext\r\n" + "x\ry\n" + "last";
  for (const char* name : {"lines.txt", "lines.gz", "lines.bz2"}) {
    std::string path = tmp.file(name);
    write_with(path, body);
    _zam_file* f = zam_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[81];
    EXPECT_EQ(zam_freadln(f, 81, buf), 2) << name;
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(zam_freadln(f, 81, buf), 0) << name;  // empty line: 0, not -1
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(zam_freadln(f, 81, buf), 80) << name;  // cut, the rest skipped
    EXPECT_EQ(std::string(buf), std::string(80, 'L'));
    EXPECT_EQ(zam_freadln(f, 81, buf), 4);
    EXPECT_STREQ(buf, "next");
    EXPECT_EQ(zam_freadln(f, 81, buf), 2);  // carriage returns dropped anywhere
    EXPECT_STREQ(buf, "xy");
    EXPECT_EQ(zam_fline(f), 5);
    EXPECT_EQ(zam_freadln(f, 81, buf), 4);  // last line without newline
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(zam_fline(f), 6);  // counted: a bad last line is told by its own number
    EXPECT_EQ(zam_freadln(f, 81, buf), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(zam_freadln(f, 81, buf), -1);

    // Rewind starts again and resets the counter.
    EXPECT_EQ(zam_rewind(f), 0) << name;
    EXPECT_EQ(zam_fline(f), 0);
    EXPECT_EQ(zam_freadln(f, 81, buf), 2) << name;
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(zam_fclose(f), 0);
  }
  // An over-long last line without newline is cut and still returned.
  std::string path = tmp.file("tail.txt");
  write_file(path, std::string(10, 'z'));
  _zam_file* f = zam_fopen(path.c_str(), "r");
  char small[4];
  EXPECT_EQ(zam_freadln(f, 4, small), 3);
  EXPECT_STREQ(small, "zzz");
  EXPECT_EQ(zam_freadln(f, 4, small), -1);
  zam_fclose(f);
}

TEST(FileRead, FindLineTestsBufferFirst) {
  TempDir tmp;
  std::string path = tmp.file("find.txt");
  write_file(path, "HEADER x\nATOM 1\nHETATM 2\nATOM 3\n");
  _zam_file* f = zam_fopen(path.c_str(), "r");
  char buf[64];
  strcpy(buf, "ATOM 0");
  EXPECT_EQ(zam_ffindln(f, "ATOM", sizeof buf, buf), 1);  // the text in buf itself
  EXPECT_STREQ(buf, "ATOM 0");
  EXPECT_EQ(zam_ffindln(f, "HETATM", sizeof buf, buf), 1);
  EXPECT_STREQ(buf, "HETATM 2");
  EXPECT_EQ(zam_ffindln(f, "END", sizeof buf, buf), -1);
  zam_fclose(f);
}

TEST(FileRead, TokensAndTokenise) {
  TempDir tmp;
  std::string path = tmp.file("tok.txt");
  write_file(path, ",, a,bb  ccc\r\n\n dddddddd,\te");
  _zam_file* f = zam_fopen(path.c_str(), "r");
  char buf[6];
  std::vector<std::string> got;
  while (zam_freadtok(f, ", ", sizeof buf, buf) >= 0) got.emplace_back(buf);
  EXPECT_EQ(got, (std::vector<std::string>{"a", "bb", "ccc", "ddddd", "\te"}));
  EXPECT_EQ(zam_fline(f), 2);
  zam_fclose(f);

  // Without a separator set only line ends separate.
  f = zam_fopen(path.c_str(), "r");
  char line[64];
  EXPECT_EQ(zam_freadtok(f, nullptr, sizeof line, line), 12);
  EXPECT_STREQ(line, ",, a,bb  ccc");
  zam_fclose(f);

  f = zam_fopen(path.c_str(), "r");
  char** tokens = nullptr;
  int n = zam_ftokenise(f, ", \t", sizeof line, line, &tokens);
  ASSERT_EQ(n, 5);
  EXPECT_STREQ(tokens[0], "a");
  EXPECT_STREQ(tokens[3], "dddddddd");
  EXPECT_STREQ(tokens[4], "e");
  kfree(tokens);
  EXPECT_EQ(zam_ftokenise(f, ", ", sizeof line, line, &tokens), 0);  // nothing left
  EXPECT_EQ(tokens, nullptr);
  zam_fclose(f);
}

TEST(FileRoundTrip, BinaryAndTextThroughEveryCodec) {
  TempDir tmp;
  const std::string block = binary_block(300000);
  for (const char* name : {"bin.dat", "bin.dat.gz", "bin.dat.bz2", "bin.bz"}) {
    std::string path = tmp.file(name);
    _zam_file* w = zam_fopen(path.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    int64_t r = zam_fwrite(w, block.data(), static_cast<int64_t>(block.size()));
    EXPECT_EQ(r, (w->flags & (ZAM_FGZIP | ZAM_FBZIP2)) ? static_cast<int64_t>(block.size()) : 1);
    EXPECT_EQ(zam_fflush(w), 0) << name;
    EXPECT_EQ(zam_fclose(w), 0) << name;

    _zam_file* f = zam_fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string back(block.size(), 'x');
    r = zam_fread(f, back.data(), static_cast<int64_t>(back.size()));
    bool codec = f->flags & (ZAM_FGZIP | ZAM_FBZIP2);
    EXPECT_EQ(r, codec ? static_cast<int64_t>(block.size()) : 1) << name;
    EXPECT_TRUE(back == block) << name;
    char extra;
    EXPECT_EQ(zam_fread(f, &extra, 1), 0) << name;  // nothing beyond the end
    EXPECT_EQ(zam_fgetc(f), -1);
    EXPECT_EQ(zam_fclose(f), 0);

    // Byte by byte: every byte, the last one included, then -1.
    f = zam_fopen(path.c_str(), "rb");
    std::string bytes;
    for (int c; (c = zam_fgetc(f)) >= 0;) bytes.push_back(static_cast<char>(c));
    EXPECT_TRUE(bytes == block) << name << " " << bytes.size();
    EXPECT_EQ(zam_fgetc(f), -1);
    zam_fclose(f);
  }
  for (const char* name : {"text.txt", "text.gz", "text.bz2"}) {
    std::string path = tmp.file(name);
    _zam_file* w = zam_fopen(path.c_str(), "w");
    ASSERT_NE(w, nullptr);
    for (int i = 0; i < 1000; i++) zam_fprintf(w, "line %d %8.3f\n", i, i * 0.5);
    EXPECT_EQ(zam_fwriteln(w, "tail") >= 1, true);
    EXPECT_EQ(zam_fline(w), 1);
    EXPECT_EQ(zam_fputc(w, 'Z') >= 0, true);
    EXPECT_EQ(zam_fputs(w, "!\n"), 2);
    EXPECT_EQ(zam_fputs(w, ""), 0);
    EXPECT_EQ(zam_fclose(w), 0);

    _zam_file* f = zam_fopen(path.c_str(), "r");
    std::vector<std::string> lines = read_lines(f);
    ASSERT_EQ(lines.size(), 1002u) << name;
    EXPECT_EQ(lines[0], "line 0    0.000");
    EXPECT_EQ(lines[999], "line 999  499.500");
    EXPECT_EQ(lines[1000], "tail");
    EXPECT_EQ(lines[1001], "Z!");
    EXPECT_EQ(zam_fline(f), 1002);
    zam_fclose(f);
  }
}

TEST(FileRead, TruncatedBzip2IsACodecError) {
  TempDir tmp;
  std::string path = tmp.file("cut.bz2");
  const std::string block = binary_block(200000);
  write_with(path, block);
  std::string raw = read_file(path);
  write_file(path, raw.substr(0, raw.size() / 2));
  _zam_file* f = zam_fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string back(block.size(), 0);
  EXPECT_EQ(zam_fread(f, back.data(), static_cast<int64_t>(back.size())), -1);
  EXPECT_EQ(zam_fgetc(f), -1);
  zam_fclose(f);
}

TEST(FileWrite, PrintfKeepsItsLimitAndReturns) {
  TempDir tmp;
  std::string big(2000, 'q');
  for (const char* name : {"p.txt", "p.gz", "p.bz2"}) {
    std::string path = tmp.file(name);
    _zam_file* w = zam_fopen(path.c_str(), "w");
    int r = zam_fprintf(w, "%s", big.c_str());
    bool codec = w->flags & (ZAM_FGZIP | ZAM_FBZIP2);
    EXPECT_EQ(r, codec ? 1023 : 1) << name;
    EXPECT_EQ(zam_fprintf(w, "%s", ""), 0);
    zam_fclose(w);
    _zam_file* f = zam_fopen(path.c_str(), "r");
    std::vector<std::string> lines = read_lines(f, 4096);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], big.substr(0, 1023)) << name;
    zam_fclose(f);
  }
}

TEST(FileWrite, FailedWriteMakesCloseFail) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  _zam_file* f = zam_fopen("/dev/full", "w");
  ASSERT_NE(f, nullptr);
  zam_fprintf(f, "%s\n", "lost");
  EXPECT_EQ(zam_fclose(f), -1);

  f = zam_fopen("/dev/full", "w");
  zam_fputs(f, "lost");
  EXPECT_EQ(zam_fflush(f), -1);
  zam_fputs(f, "more");  // the first error stays whatever follows
  EXPECT_EQ(zam_fclose(f), -1);

  // A large block fails at once and the failure is kept.
  std::string block(1 << 20, 'b');
  f = zam_fopen("/dev/full", "wb");
  EXPECT_EQ(zam_fwrite(f, block.data(), static_cast<int64_t>(block.size())), 0);
  EXPECT_EQ(zam_fclose(f), -1);

  // A writer with a buffer of its own meets the failure only at its close.
  int fd = open("/dev/full", O_WRONLY);
  f = zam_fdopen(fd, "w", 0);
  ASSERT_EQ(zam_fbuffer(f, 1 << 16), 1);
  EXPECT_EQ(zam_fprintf(f, "data\n"), 1);
  EXPECT_EQ(zam_fclose(f), -1);

  // A compressed writer fails at close, when its data reaches the device.
  fd = open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  f = zam_fdopen(fd, "w", ZAM_FBZIP2);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(zam_fname(f), "stream");
  zam_fprintf(f, "data\n");
  EXPECT_EQ(zam_fclose(f), -1);
  fd = open("/dev/full", O_WRONLY);
  f = zam_fdopen(fd, "w", ZAM_FGZIP);
  ASSERT_NE(f, nullptr);
  zam_fprintf(f, "data\n");
  EXPECT_EQ(zam_fclose(f), -1);
}

// The sum a plain writer keeps from its start is the CRC-32 of the bytes the
// file then holds, whatever mix of writes made them; a compressed writer
// keeps none, and a failed write ends it.
TEST(FileWrite, SumOfWhatAPlainWriterWrote) {
  TempDir tmp;
  const std::string path = tmp.file("s.txt"), block = binary_block(70000);
  _zam_file* f = zam_fopen(path.c_str(), "w");
  // A buffer of its own, smaller than the block: the block passes it by.
  ASSERT_EQ(zam_fbuffer(f, 4000), 1);
  zam_fputs(f, "before the start ");
  ASSERT_EQ(zam_fsumStart(f), 1);
  zam_fputc(f, 'A');
  zam_fprintf(f, "%5d|%s\n", 42, "x");
  zam_fwrite(f, block.data(), static_cast<int64_t>(block.size()));
  zam_fwriteln(f, "end");
  uint32_t sum = 0;
  ASSERT_EQ(zam_fsum(f, &sum), 1);
  EXPECT_EQ(zam_fclose(f), 0);
  const std::string bytes = read_file(path).substr(17);
  EXPECT_EQ(sum, zam_crc32(0, bytes.data(), static_cast<int64_t>(bytes.size())));

  f = zam_fopen(tmp.file("s.gz").c_str(), "w");
  EXPECT_EQ(zam_fsumStart(f), 0);
  zam_fclose(f);
  if (access("/dev/full", W_OK) != 0) return;
  f = zam_fopen("/dev/full", "wb");
  ASSERT_EQ(zam_fsumStart(f), 1);
  zam_fwrite(f, block.data(), static_cast<int64_t>(block.size()));
  EXPECT_EQ(zam_fsum(f, &sum), 0);
  zam_fclose(f);
}

TEST(FileOpen, DescriptorStreams) {
  TempDir tmp;
  std::string path = tmp.file("fd.out");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  _zam_file* w = zam_fdopen(fd, "w", ZAM_FGZIP);
  ASSERT_NE(w, nullptr);
  zam_fprintf(w, "via descriptor\n");
  ASSERT_EQ(zam_fclose(w), 0);
  EXPECT_EQ(read_file(path).substr(0, 2), "\x1f\x8b");
  fd = open(path.c_str(), O_RDONLY);
  _zam_file* f = zam_fdopen(fd, "r", ZAM_FGZIP);
  char buf[64];
  EXPECT_EQ(zam_freadln(f, sizeof buf, buf), 14);
  EXPECT_STREQ(buf, "via descriptor");
  zam_fclose(f);
}

TEST(FileBlocks, WholeBlockReadAndWrite) {
  TempDir tmp;
  std::string path = tmp.file("block.bin");
  unsigned char data[64];
  for (int i = 0; i < 64; i++) data[i] = static_cast<unsigned char>(i * 3 + 1);
  ASSERT_EQ(zam_bbwrite(path.c_str(), data, 64), 1);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 64);

  unsigned char back[128];
  memset(back, 0xee, sizeof back);
  EXPECT_EQ(zam_bbread(path.c_str(), back, 64), 1);
  EXPECT_EQ(memcmp(back, data, 64), 0);
  EXPECT_EQ(zam_bbread(path.c_str(), back, 32), 1);  // a prefix is fine

  memset(back, 0xee, sizeof back);
  EXPECT_EQ(zam_bbread(path.c_str(), back, 128), 0);  // short file: zeroed
  for (unsigned char c : back) ASSERT_EQ(c, 0);
  memset(back, 0xee, sizeof back);
  EXPECT_EQ(zam_bbread(tmp.file("none").c_str(), back, 16), 0);
  for (int i = 0; i < 16; i++) ASSERT_EQ(back[i], 0);
  EXPECT_EQ(back[16], 0xee);

  // No codec, whatever the name.
  std::string gz = tmp.file("raw.gz");
  ASSERT_EQ(zam_bbwrite(gz.c_str(), "plain", 5), 1);
  EXPECT_EQ(read_file(gz), "plain");

  // An existing read-only file is replaced; a missing folder fails.
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(zam_bbwrite(path.c_str(), "new", 3), 1);
  EXPECT_EQ(read_file(path), "new");
  EXPECT_EQ(zam_bbwrite(tmp.file("no/dir/x").c_str(), data, 4), 0);
}

TEST(FileBlocks, DescriptorTransfersGoOnUntilDone) {
  TempDir tmp;
  const std::string path = tmp.file("fd.bin");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(zam_writeAll(fd, "abcdef", 6), 6);
  // At an offset the position stays where it was.
  EXPECT_EQ(zam_writeAll(fd, "XY", 2, 2), 2);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 6);
  EXPECT_EQ(read_file(path), "abXYef");
  char buf[16] = {};
  EXPECT_EQ(zam_readAll(fd, buf, 10, 4), 2);  // the end of the file comes first
  EXPECT_EQ(std::string(buf, 2), "ef");
  EXPECT_EQ(zam_readAll(fd, buf, 4), 0);  // at the end already
  ASSERT_EQ(lseek(fd, 1, SEEK_SET), 1);
  EXPECT_EQ(zam_readAll(fd, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "bXY");
  close(fd);
  EXPECT_EQ(zam_writeAll(fd, "z", 1), 0);  // a closed descriptor: nothing written

  // Bytes that arrive in pieces are all read.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::thread writer([&] {
    EXPECT_EQ(write(ends[1], "abc", 3), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(write(ends[1], "defg", 4), 4);
    close(ends[1]);
  });
  EXPECT_EQ(zam_readAll(ends[0], buf, 6), 6);
  EXPECT_EQ(std::string(buf, 6), "abcdef");
  EXPECT_EQ(zam_readAll(ends[0], buf, 6), 1);
  writer.join();
  close(ends[0]);
}

TEST(FileRead, LineBreakScanAcrossBlocks) {
  // 48 bytes of text and the padding the scan may read past its end.
  for (int at : {0, 1, 15, 16, 17, 31, 32, 47}) {
    for (char c : {'\n', '\r'}) {
      std::string text(48 + 16, 'x');
      text[at] = c;
      EXPECT_EQ(zam_line_break(text.data(), 48), at) << at;
      EXPECT_EQ(zam_line_break(text.data(), at), at) << at;  // not within the bytes: none
    }
  }
  std::string none(64, 'x');
  none[40] = '\n';  // past the bytes asked about
  EXPECT_EQ(zam_line_break(none.data(), 33), 33);
  EXPECT_EQ(zam_line_break(none.data(), 0), 0);
}

TEST(FilePipe, ReadWriteAndFailedPrograms) {
  TempDir tmp;
  _zam_file* r = zam_popen_read("echo", "hello", "world");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->flags, ZAM_FPIPE);
  EXPECT_EQ(zam_fname(r), nullptr);
  char buf[64];
  EXPECT_EQ(zam_freadln(r, sizeof buf, buf), 11);
  EXPECT_STREQ(buf, "hello world");
  EXPECT_EQ(zam_freadln(r, sizeof buf, buf), -1);
  EXPECT_EQ(zam_rewind(r), 0);
  EXPECT_EQ(zam_fclose(r), 0);

  // Empty arguments are not passed: echo prints only its newline.
  r = zam_popen_read("echo", "", nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(zam_freadln(r, sizeof buf, buf), 0);
  EXPECT_EQ(zam_fclose(r), 0);

  std::string out = tmp.file("piped.txt");
  std::string cmd = "cat > '" + out + "'";
  _zam_file* w = zam_popen_write("sh", "-c", cmd.c_str());
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->flags, ZAM_FWRITE | ZAM_FPIPE);
  zam_fprintf(w, "one %d\n", 1);
  zam_fwriteln(w, "two");
  EXPECT_EQ(zam_fclose(w), 0);
  EXPECT_EQ(read_file(out), "one 1\ntwo\n");

  // The child's exit status comes back through close.
  r = zam_popen_read("sh", "-c", "exit 3");
  ASSERT_NE(r, nullptr);
  int status = zam_fclose(r);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);

  // A program that cannot run: status 127, and writing into the dead pipe
  // fails without killing the writer.
  r = zam_popen_read("/no/such/program", nullptr, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(zam_freadln(r, sizeof buf, buf), -1);
  status = zam_fclose(r);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 127);

  w = zam_popen_write("/no/such/program", nullptr, nullptr);
  ASSERT_NE(w, nullptr);
  std::string block(1 << 18, 'p');
  zam_fwrite(w, block.data(), static_cast<int64_t>(block.size()));
  EXPECT_NE(zam_fclose(w), 0);
}

TEST(FileSpawn, ChildrenRunOrReportStatus) {
  int pid = zam_spawn_file("true", nullptr, "");
  ASSERT_GT(pid, 0);
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  pid = zam_spawn_file("sh", "-c", "exit 5");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 5);

  const char* list[] = {"/no/such/one", "/no/such/two", "true", nullptr};
  pid = zam_spawn_list(list, nullptr, nullptr);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const char* none[] = {"/no/such/one", nullptr};
  pid = zam_spawn_list(none, nullptr, nullptr);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_NE(WEXITSTATUS(status), 0);
}

TEST(FileRealData, GzipPdbReadsLikeExternalGunzip) {
  TREL_REQUIRE_SHARED_DATA();
  std::string path = testutil::shared_pdb("freesasa/1d3z.pdb.gz");
  _zam_file* f = zam_fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->flags & ZAM_FGZIP);
  std::vector<std::string> lines = read_lines(f, 82);
  EXPECT_EQ(zam_fline(f), 12512);
  zam_fclose(f);
  ASSERT_EQ(lines.size(), 12512u);
  EXPECT_EQ(lines[0].rfind("HEADER    HYDROLASE", 0), 0u);
  EXPECT_EQ(lines[0].size(), 80u);

  _zam_file* p = zam_popen_read("gzip", "-dc", path.c_str());
  ASSERT_NE(p, nullptr);
  std::vector<std::string> piped = read_lines(p, 82);
  EXPECT_EQ(zam_fclose(p), 0);
  EXPECT_EQ(piped, lines);

  // Looking for the first atom record.
  f = zam_fopen(path.c_str(), "r");
  char buf[82] = "";
  ASSERT_EQ(zam_ffindln(f, "ATOM  ", sizeof buf, buf), 1);
  EXPECT_EQ(std::string(buf).substr(12, 4), " N  ");
  zam_fclose(f);
}

namespace {

// One line as zam_freadln's contract gives it: its return, its text and the
// line count after it.
struct Line {
  int length;
  std::string text;
  int count;
};

// The lines of data for buffer size n: carriage returns dropped anywhere, the
// newline not kept, the rest of a long line skipped, lines counted at
// newlines, a last line without newline kept when it holds any byte, and -1
// at the end.
std::vector<Line> contract_lines(const std::string& data, int n) {
  std::vector<Line> lines;
  std::string text;
  bool any = false;
  int count = 0;
  for (char c : data) {
    if (c == '\r') continue;
    if (c == '\n') {
      lines.push_back({static_cast<int>(text.size()), text, ++count});
      text.clear();
      any = false;
      continue;
    }
    any = true;
    if (static_cast<int>(text.size()) < n - 1) text.push_back(c);
  }
  if (any) lines.push_back({static_cast<int>(text.size()), text, ++count});
  lines.push_back({-1, "", count});
  return lines;
}

// The texts alone.
std::vector<std::string> split_lines(const std::string& data, int n) {
  std::vector<std::string> texts;
  for (const Line& l : contract_lines(data, n))
    if (l.length >= 0) texts.push_back(l.text);
  return texts;
}

// Reads f line by line with buffer size n against the contract: each return,
// text and count, the terminating zero, and nothing written past n.
void expect_contract(_zam_file* f, const std::string& data, int n, const std::string& what) {
  std::vector<char> buf(static_cast<size_t>(n) + 16, '#');
  const std::vector<Line> want = contract_lines(data, n);
  for (size_t k = 0; k < want.size(); ++k) {
    const int got = zam_freadln(f, n, buf.data());
    ASSERT_EQ(got, want[k].length) << what << " n " << n << " line " << k;
    if (got >= 0) {
      ASSERT_EQ(std::string(buf.data(), static_cast<size_t>(got)), want[k].text) << what << " n " << n << " line " << k;
      ASSERT_EQ(buf[static_cast<size_t>(got)], 0);
    }
    ASSERT_EQ(zam_fline(f), want[k].count) << what << " n " << n << " line " << k;
    ASSERT_EQ(buf[static_cast<size_t>(n)], '#') << "wrote past n: " << what << " n " << n;
  }
  EXPECT_EQ(zam_freadln(f, n, buf.data()), -1) << what;
}

// Lines of every length around the read-ahead size, carriage returns at
// line ends and inside, and a last line without newline.
std::string varied_text() {
  std::mt19937 gen(11);
  std::string text;
  for (int i = 0; i < 400; i++) {
    size_t len = gen() % 300;
    if (i % 50 == 7) len = 40000 + gen() % 30000;
    for (size_t k = 0; k < len; k++) text.push_back(static_cast<char>('a' + gen() % 26));
    if (i % 3 == 0) text.push_back('\r');
    if (i % 11 == 0) text.insert(text.size() - len / 2, "\r\r");
    text.push_back('\n');
  }
  return text + "tail\r";
}

}  // namespace

// Lines of every length around the read-ahead size (plain, gzip, bzip2 and
// through a pipe, which reads through stdio alone), and random texts with
// carriage returns alone, in pairs and in runs, zero and high bytes, read
// with buffer sizes around the sixteen-byte steps of the line search.
TEST(FileRead, AnyTextSplitsAsTheContractSays) {
  TempDir tmp;
  const std::string text = varied_text();
  for (const char* name : {"v.txt", "v.gz", "v.bz2"}) {
    std::string path = tmp.file(name);
    write_with(path, text);
    for (int n : {81, 257, 70000}) {
      _zam_file* f = zam_fopen(path.c_str(), "r");
      ASSERT_NE(f, nullptr);
      expect_contract(f, text, n, name);
      zam_fclose(f);
    }
  }
  std::string plain = tmp.file("v.txt");
  _zam_file* p = zam_popen_read("cat", plain.c_str(), nullptr);
  ASSERT_NE(p, nullptr);
  expect_contract(p, text, 257, "pipe");
  EXPECT_EQ(zam_fclose(p), 0);

  std::mt19937 rng(7);
  for (int round = 0; round < 24; ++round) {
    const int size = round < 6 ? static_cast<int>(rng() % 100) : static_cast<int>(rng() % 90000);
    const int newlines = 1 + round % 4 * 5, returns = round % 3 == 0 ? 30 : 3;
    std::string data;
    while (static_cast<int>(data.size()) < size) {
      const int r = static_cast<int>(rng() % 100);
      if (r < newlines) data += '\n';
      else if (r < newlines + returns) data += '\r';
      else if (r < newlines + returns + 2) data += static_cast<char>(rng() % 256);
      else data += static_cast<char>('A' + rng() % 26);
    }
    const std::string path = tmp.file(round % 4 == 3 ? "r.gz" : "r.txt");
    write_with(path, data);
    for (int n : {1, 2, 16, 17, 18, 33, 257, 4000}) {
      _zam_file* f = zam_fopen(path.c_str(), "r");
      ASSERT_NE(f, nullptr);
      expect_contract(f, data, n, "round " + std::to_string(round));
      zam_fclose(f);
    }
  }
}

TEST(FileRead, MixedReadsShareTheStream) {
  TempDir tmp;
  std::string text = "first\r\nsecond line\n" + std::string(50000, 'x') + "\nafter\nend";
  for (const char* name : {"m.txt", "m.gz", "m.bz2"}) {
    std::string path = tmp.file(name);
    write_with(path, text);
    _zam_file* f = zam_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    bool codec = f->flags & (ZAM_FGZIP | ZAM_FBZIP2);
    char buf[64];
    EXPECT_EQ(zam_freadln(f, sizeof buf, buf), 5) << name;
    EXPECT_EQ(zam_fgetc(f), 's');
    char block[6] = {};
    EXPECT_EQ(zam_fread(f, block, 5), codec ? 5 : 1) << name;
    EXPECT_STREQ(block, "econd");
    EXPECT_EQ(zam_freadtok(f, " ", sizeof buf, buf), 4);
    EXPECT_STREQ(buf, "line");
    EXPECT_EQ(zam_fline(f), 2);
    // A block read larger than what was read ahead takes that first.
    std::string big(50001, 0);
    EXPECT_EQ(zam_fread(f, big.data(), 50001), codec ? 50001 : 1) << name;
    EXPECT_EQ(big, std::string(50000, 'x') + "\n");
    EXPECT_EQ(zam_freadln(f, sizeof buf, buf), 5);
    EXPECT_STREQ(buf, "after");
    // A short block read gives what is left: its count, or 0 for stdio.
    EXPECT_EQ(zam_fread(f, block, 5), codec ? 3 : 0) << name;
    EXPECT_EQ(zam_freadln(f, sizeof buf, buf), -1);
    EXPECT_EQ(zam_fgetc(f), -1);
    // Rewinding drops what was read ahead.
    EXPECT_EQ(zam_rewind(f), 0);
    EXPECT_EQ(zam_fgetc(f), 'f');
    EXPECT_EQ(zam_freadln(f, sizeof buf, buf), 4);
    EXPECT_STREQ(buf, "irst");
    EXPECT_EQ(zam_fclose(f), 0);
  }
}

// A gzip member is checked only at its end: a member cut short gives none of
// the text it holds unchecked, and one too long to hold gives its text in
// parts, a start of the whole. Byte by byte and line by line deliver the
// same text.
TEST(FileRead, TruncatedGzipGivesNoTextHeldUnchecked) {
  TempDir tmp;
  const std::string text = varied_text();
  std::string longer;
  for (int i = 0; i < 5; i++) longer += text;
  for (const std::string* whole : {&text, static_cast<const std::string*>(&longer)}) {
    std::string path = tmp.file("cut.gz");
    const std::string raw = write_with(path, *whole);
    write_file(path, raw.substr(0, raw.size() * 3 / 5));
    _zam_file* f = zam_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string bytes;
    for (int c; (c = zam_fgetc(f)) >= 0;) bytes.push_back(static_cast<char>(c));
    EXPECT_EQ(zam_ferror(f), 1);
    zam_fclose(f);
    if (whole == &text) {
      EXPECT_EQ(bytes.size(), 0u);
    } else {
      EXPECT_GT(bytes.size(), whole->size() / 5);
      EXPECT_LT(bytes.size(), whole->size() * 3 / 5);
      EXPECT_EQ(whole->compare(0, bytes.size(), bytes), 0);
    }
    f = zam_fopen(path.c_str(), "r");
    EXPECT_TRUE(read_lines(f, 257) == split_lines(bytes, 257));
    zam_fclose(f);
  }
}

TEST(FileRead, ReadErrorsAreRememberedCleanEndsAreNot) {
  TempDir tmp;
  const std::string text = varied_text();
  // Every way of reading ends with the same verdict: line by line, byte by
  // byte, and one block read.
  auto verdicts = [](const std::string& path) {
    std::vector<int> v;
    std::vector<char> buf(300);
    for (int way = 0; way < 3; way++) {
      _zam_file* f = zam_fopen(path.c_str(), "r");
      EXPECT_NE(f, nullptr) << path;
      if (!f) return v;
      if (way == 0) read_lines(f, 257);
      if (way == 1)
        while (zam_fgetc(f) >= 0) {
        }
      if (way == 2) {
        std::string block(1 << 20, 0);
        zam_fread(f, block.data(), static_cast<int64_t>(block.size()));
      }
      v.push_back(zam_ferror(f));
      zam_fclose(f);
    }
    return v;
  };
  const std::vector<int> clean{0, 0, 0}, failed{1, 1, 1};
  for (const char* name : {"t.txt", "t.gz", "t.bz2"}) {
    std::string path = tmp.file(name);
    write_with(path, text);
    EXPECT_EQ(verdicts(path), clean) << name;
    if (std::string(name) == "t.txt") continue;
    std::string raw = read_file(path);
    std::string cut = tmp.file(std::string("cut.") + name);
    write_file(cut, raw.substr(0, raw.size() * 3 / 5));
    EXPECT_EQ(verdicts(cut), failed) << "cut " << name;
    std::string bad = tmp.file(std::string("bad.") + name);
    std::string damaged = raw;
    for (size_t i = raw.size() / 2; i < raw.size() / 2 + 64; i++) damaged[i] ^= 0x5a;
    write_file(bad, damaged);
    EXPECT_EQ(verdicts(bad), failed) << "damaged " << name;
  }
  // A folder opens as a plain file but cannot be read.
  EXPECT_EQ(verdicts(tmp.path.string()), failed);
  EXPECT_EQ(zam_ferror(nullptr), 0);

  // A writer's failure shows as well, and a reader's close result stays the
  // close call's own.
  if (access("/dev/full", W_OK) == 0) {
    _zam_file* w = zam_fopen("/dev/full", "wb");
    std::string block(1 << 20, 'b');
    zam_fwrite(w, block.data(), static_cast<int64_t>(block.size()));
    EXPECT_EQ(zam_ferror(w), 1);
    zam_fclose(w);
  }
  std::string bz = tmp.file("cut.t.bz2");
  _zam_file* f = zam_fopen(bz.c_str(), "r");
  read_lines(f);
  EXPECT_EQ(zam_ferror(f), 1);
  EXPECT_EQ(zam_rewind(f), 0);
  EXPECT_EQ(zam_ferror(f), 1);  // the first failure stays
  EXPECT_EQ(zam_fclose(f), 0);
}

// Text in blocks into a reusable buffer: the unread end kept in front of
// each block, blocks of any size up to the end of a file, a pipe, growth
// past the first room, zeroed padding after every read, reuse for a
// smaller file and read errors.
TEST(FileText, BlocksKeepTheUnreadEnd) {
  TempDir tmp;
  const std::string big = binary_block(300000), small("ATOM\r\n\n\0x", 9);
  write_file(tmp.file("big"), big);
  write_file(tmp.file("small"), small);
  write_file(tmp.file("empty"), "");
  _zam_text text{};
  auto padded = [&] {
    for (int i = 0; i < ZAM_TEXT_PAD; ++i)
      if (text.data[text.size + i] != 0) return false;
    return true;
  };
  // Reads the whole of fd in blocks of want bytes, taking up to `take`
  // bytes of the text after each (the rest kept in front of the next block),
  // and gives what was taken and what is left at the end.
  auto readAll = [&](int fd, int64_t want, int64_t take) {
    std::string got;
    int64_t used = 0;
    for (;;) {
      const int64_t kept = text.size - used;
      const int64_t r = zam_readTextBlock(fd, used, want, &text);
      EXPECT_TRUE(padded());
      if (r < 0) {
        ADD_FAILURE() << "read failed";
        break;
      }
      EXPECT_EQ(text.size, kept + r);
      if (r == 0) break;
      used = std::min(take, text.size);
      got.append(text.data, static_cast<size_t>(used));
    }
    got.append(text.data, static_cast<size_t>(text.size));
    return got;
  };
  for (int64_t want : {int64_t{1}, int64_t{7}, int64_t{4096}, int64_t{65536}, int64_t{1} << 20})
    for (int64_t take : {int64_t{0}, int64_t{3}, int64_t{5000}, int64_t{1} << 30}) {
      text.size = 0;
      const int fd = open(tmp.file(want < 100 ? "small" : "big").c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      const std::string got = readAll(fd, want, take);
      close(fd);
      EXPECT_TRUE(got == (want < 100 ? small : big)) << want << " " << take << " " << got.size();
    }
  // One read of the size known and one byte more gives the file at once.
  int fd = open(tmp.file("big").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  text.size = 0;
  EXPECT_EQ(zam_readTextBlock(fd, 0, static_cast<int64_t>(big.size()) + 1, &text), static_cast<int64_t>(big.size()));
  EXPECT_TRUE(std::string(text.data, static_cast<size_t>(text.size)) == big);
  EXPECT_GE(text.cap, text.size);
  EXPECT_TRUE(padded());
  EXPECT_EQ(zam_readTextBlock(fd, text.size, 10, &text), 0);
  EXPECT_EQ(text.size, 0);
  close(fd);
  fd = open(tmp.file("empty").c_str(), O_RDONLY);
  EXPECT_EQ(zam_readTextBlock(fd, 0, 1, &text), 0);
  EXPECT_EQ(text.size, 0);
  EXPECT_TRUE(padded());
  close(fd);

  // A pipe gives its bytes in pieces.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ends[0]);
    for (size_t at = 0; at < big.size(); at += 7000) {
      const size_t k = std::min<size_t>(7000, big.size() - at);
      if (write(ends[1], big.data() + at, k) != static_cast<ssize_t>(k)) _exit(1);
    }
    _exit(0);
  }
  close(ends[1]);
  std::string piped;
  text.size = 0;
  while (zam_readTextBlock(ends[0], text.size, 100000, &text) > 0) piped.append(text.data, static_cast<size_t>(text.size));
  close(ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(piped == big);

  // A folder cannot be read: failure with errno set, the kept text still there.
  write_file(tmp.file("small"), small);
  fd = open(tmp.file("small").c_str(), O_RDONLY);
  text.size = 0;
  ASSERT_EQ(zam_readTextBlock(fd, 0, 100, &text), static_cast<int64_t>(small.size()));
  close(fd);
  fd = open(tmp.str().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  errno = 0;
  EXPECT_EQ(zam_readTextBlock(fd, 4, 100, &text), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(std::string(text.data, static_cast<size_t>(text.size)), small.substr(4));
  EXPECT_TRUE(padded());
  close(fd);
  EXPECT_EQ(zam_readTextBlock(-1, 0, 1, &text), -1);
  EXPECT_EQ(zam_readTextBlock(0, 0, 1, nullptr), -1);

  zam_freeText(&text);
  EXPECT_EQ(text.data, nullptr);
  EXPECT_EQ(text.cap, 0);
  zam_freeText(&text);
  zam_freeText(nullptr);
}
