#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_unpack.h"
#include "store/trel_sequence.h"

namespace {

// Messages shown while a Messages lives, in g_out (log_capture.h).
using Messages = testutil::Messages;
std::string& g_out = testutil::Messages::said();

std::string fixture(const char* name) { return std::string(TREL_SOURCE_DIR) + "/tests/store/data/" + name; }

// Reads a file into a record owned by the returned guard.
struct Seq {
  _trel_seq* seq;
  explicit Seq(const std::string& file) : seq(trel_readSequence(file.c_str())) {}
  ~Seq() { trel_freeSequence(seq); }
  _trel_seq* operator->() const { return seq; }
  std::string letters() const { return seq->sequence ? seq->sequence : ""; }
};

std::string repeat_letters(int n) {
  std::string s;
  for (int i = 0; i < n; i++) s.push_back(static_cast<char>('A' + i % 26));
  return s;
}

}  // namespace

TEST(SequenceRead, FastaFirstRecordWithBlanksStarAndWords) {
  Messages messages;
  Seq s(fixture("two_records.fasta"));
  ASSERT_NE(s.seq, nullptr);
  EXPECT_STREQ(s->name, "query1 human globin  fragment");
  EXPECT_EQ(s->description, nullptr);
  // Spaces removed, final '*' dropped, the empty line ends the record.
  EXPECT_EQ(s.letters(), "ACDEFGH");
  EXPECT_EQ(s->length, 7);
  EXPECT_EQ(g_out, "");
}

TEST(SequenceRead, PirWithCarriageReturnsAndLowerCase) {
  Seq s(fixture("crlf.pir"));
  ASSERT_NE(s.seq, nullptr);
  EXPECT_STREQ(s->name, "1abc");
  EXPECT_STREQ(s->description, "sequence:1abc:::::::0.00: 0.00");
  EXPECT_EQ(s.letters(), "MKVLSaGYw");  // letters kept as written
  EXPECT_EQ(s->length, 9);

  testutil::TempDir dir;
  std::string f1 = dir.file("x.pir");
  testutil::write_file(f1, ">F1;frag\ndescribed here\nAC\tD*\n>P1;next\nx\nQQ\n");
  Seq t(f1);
  ASSERT_NE(t.seq, nullptr);
  EXPECT_STREQ(t->name, "frag");
  EXPECT_STREQ(t->description, "described here");
  EXPECT_EQ(t.letters(), "AC\tD");  // tabs and other characters stay
  EXPECT_EQ(t->length, 4);
}

TEST(SequenceRead, EdgeCases) {
  Messages messages;
  testutil::TempDir dir;
  // Only a header: no letters.
  std::string only = dir.file("only.fasta");
  testutil::write_file(only, ">lonely");
  {
    Seq s(only);
    ASSERT_NE(s.seq, nullptr);
    EXPECT_STREQ(s->name, "lonely");
    EXPECT_EQ(s->length, 0);
    EXPECT_EQ(s->sequence, nullptr);
  }
  // A PIR header as the last line has no description.
  std::string pir = dir.file("only.pir");
  testutil::write_file(pir, ">P1;p\n");
  {
    Seq s(pir);
    ASSERT_NE(s.seq, nullptr);
    EXPECT_STREQ(s->name, "p");
    EXPECT_EQ(s->description, nullptr);
    EXPECT_EQ(s->length, 0);
  }
  // A lone '*' leaves nothing; a second '*' stays.
  std::string star = dir.file("star.fasta");
  testutil::write_file(star, ">s\n*\n");
  {
    Seq s(star);
    ASSERT_NE(s.seq, nullptr);
    EXPECT_EQ(s->length, 0);
    EXPECT_EQ(s->sequence, nullptr);
  }
  testutil::write_file(star, ">s\nAB**\n");
  EXPECT_EQ(Seq(star).letters(), "AB*");
  // A line of letters longer than any line buffer is read whole, between
  // long lines passed over: notes before the header (a '>' inside one
  // opens no header) and the next record's header.
  std::string longer = dir.file("long.fasta");
  std::string letters = repeat_letters(300000);
  const std::string notes = "notes " + std::string(300000, 'n') + ">no\r\n";
  testutil::write_file(longer, notes + "\r>big\n" + letters + "\n>next" + std::string(300000, 'x'));
  {
    Seq s(longer);
    ASSERT_NE(s.seq, nullptr);
    EXPECT_STREQ(s->name, "big");
    EXPECT_EQ(s->length, 300000);
    EXPECT_EQ(s.letters(), letters);
  }
  // A line of blanks inside the record adds nothing but does not end it.
  std::string blanks = dir.file("blanks.fasta");
  testutil::write_file(blanks, ">b\nAB\n   \nCD\n\nEF\n");
  EXPECT_EQ(Seq(blanks).letters(), "ABCD");
  EXPECT_EQ(g_out, "");
}

// A header or description line of megabytes is kept only as far as a name
// or a description can use it, said once with the file and the line; the
// letters after it, on many lines or on one long one, are read whole.
TEST(SequenceRead, HugeHeaderIsCutAndSaidOnce) {
  testutil::TempDir dir;
  const std::string head = "query " + std::string(3 << 20, 'h');
  const std::string lines = repeat_letters(60) + "\n" + repeat_letters(60) + "\n";
  const std::string one_line = repeat_letters(500000);
  const struct {
    const char* file;
    std::string text;
    std::string letters;
    int line;  // the line said to be long
  } cases[] = {
      {"h.fasta", ">" + head + "\n" + lines + one_line + "\n>next\nQQ\n", lines + one_line, 1},
      {"h.pir", "notes\n>P1;" + head + "\n" + head + "\n" + one_line + "*\n", one_line, 2},
      {"h.fasta.gz", "\n>" + head + "\r\n" + lines, lines, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string file = dir.file(c.file);
    _zam_file* out = zam_fopen(file.c_str(), "w");
    ASSERT_NE(out, nullptr);
    zam_fwrite(out, c.text.data(), static_cast<int64_t>(c.text.size()));
    ASSERT_EQ(zam_fclose(out), 0);
    Messages messages;
    Seq s(file);
    ASSERT_NE(s.seq, nullptr);
    std::string letters = c.letters;
    std::erase(letters, '\n');
    EXPECT_EQ(s.letters(), letters);
    for (const char* kept : {s->name, s->description}) {
      if (!kept) continue;
      const size_t n = strlen(kept);
      EXPECT_GT(n, 0u);
      EXPECT_LE(n, 256u);
      EXPECT_EQ(head.compare(0, n, kept), 0);
    }
    EXPECT_EQ(s->description != nullptr, std::string(c.file).ends_with(".pir"));
    EXPECT_EQ(testutil::occurrences(g_out, "longer than"), 1) << g_out;
    EXPECT_EQ(testutil::occurrences(g_out, "*Warning* Line " + std::to_string(c.line) + " of " + file + " "), 1)
        << g_out;
  }
}

TEST(SequenceRead, GzipFile) {
  testutil::TempDir dir;
  std::string gz = dir.file("q.fasta.gz");
  _zam_file* out = zam_fopen(gz.c_str(), "w");
  ASSERT_NE(out, nullptr);
  zam_fputs(out, "; comment before the header\n>gz query\nmkv\nLS*\n");
  ASSERT_EQ(zam_fclose(out), 0);
  EXPECT_NE(testutil::read_file(gz).substr(0, 2), ">g");  // really compressed
  Seq s(gz);
  ASSERT_NE(s.seq, nullptr);
  EXPECT_STREQ(s->name, "gz query");
  EXPECT_EQ(s.letters(), "mkvLS");
}

TEST(SequenceRead, FailuresAreReportedByName) {
  Messages messages;
  testutil::TempDir dir;
  std::string missing = dir.file("missing.fasta");
  EXPECT_EQ(trel_readSequence(missing.c_str()), nullptr);
  EXPECT_NE(g_out.find("*Error* Failed to read SEQUENCE file: " + missing + " [No such file or directory]\n"),
            std::string::npos)
      << g_out;
  g_out.clear();
  std::string empty = dir.file("empty.fasta");
  testutil::write_file(empty, "");
  EXPECT_EQ(trel_readSequenceFasta(empty.c_str()), nullptr);
  EXPECT_NE(g_out.find("Empty SEQUENCE file: " + empty), std::string::npos);
  g_out.clear();
  std::string headless = dir.file("headless.pir");
  testutil::write_file(headless, "ACDEF\nGHI\n");
  EXPECT_EQ(trel_readSequencePir(headless.c_str()), nullptr);
  EXPECT_NE(g_out.find("No '>' header in SEQUENCE file: " + headless), std::string::npos);
  // A compressed file cut short would give fewer letters: it is refused
  // (its one block unchecked, no line of it read).
  g_out.clear();
  std::string cut = dir.file("cut.fasta.bz2");
  _zam_file* out = zam_fopen(cut.c_str(), "w");
  ASSERT_NE(out, nullptr);
  zam_fputs(out, (">cut\n" + repeat_letters(5000) + "\n").c_str());
  ASSERT_EQ(zam_fclose(out), 0);
  const std::string bytes = testutil::read_file(cut);
  testutil::write_file(cut, bytes.substr(0, bytes.size() - 20));
  EXPECT_EQ(trel_readSequence(cut.c_str()), nullptr);
  EXPECT_NE(g_out.find("*Error* Failed to read SEQUENCE file: " + cut + " (after line 0) [" +
                       zam_unpackFailure(ZAM_UNPACK_CUT) + "]\n"),
            std::string::npos)
      << g_out;
  EXPECT_EQ(trel_readSequence(nullptr), nullptr);
  trel_freeSequence(nullptr);
}

TEST(SequenceWrite, FastaAndPirFilesInRowsOf80) {
  Messages messages;
  testutil::TempDir dir;
  std::string file = dir.file("in.fasta");
  std::string letters = repeat_letters(81);
  testutil::write_file(file, ">q81 two words\n" + letters + "\n");
  Seq s(file);
  ASSERT_NE(s.seq, nullptr);
  std::string folder = dir.str() + "/";

  ASSERT_EQ(trel_writeSequenceFasta(folder.c_str(), "out", s.seq), 1);
  EXPECT_EQ(testutil::read_file(folder + "out.fasta"),
            ">q81 two words\n" + letters.substr(0, 80) + "\n" + letters.substr(80) + "\n\n");
  ASSERT_EQ(trel_writeSequencePir(folder.c_str(), "out", s.seq), 1);
  // A record read from FASTA has no description: it is labelled a sequence.
  EXPECT_EQ(testutil::read_file(folder + "out.pir"),
            ">P1;q81 two words\nsequence\n" + letters.substr(0, 80) + "\n" + letters.substr(80) + "*\n\n");
  EXPECT_EQ(g_out, "");  // announced only at debug level 2

  // Round trip through PIR keeps everything.
  Seq back(folder + "out.pir");
  ASSERT_NE(back.seq, nullptr);
  EXPECT_STREQ(back->name, "q81 two words");
  EXPECT_STREQ(back->description, "sequence");
  EXPECT_EQ(back.letters(), letters);

  // 80 letters: the '*' goes on a row of its own; no letters: header only.
  testutil::write_file(file, ">e\n" + letters.substr(0, 80) + "\n");
  Seq eighty(file);
  ASSERT_EQ(trel_writeSequencePir(folder.c_str(), "eighty", eighty.seq), 1);
  EXPECT_EQ(testutil::read_file(folder + "eighty.pir"), ">P1;e\nsequence\n" + letters.substr(0, 80) + "\n*\n\n");
  testutil::write_file(file, ">none\n");
  Seq none(file);
  ASSERT_EQ(trel_writeSequenceFasta(folder.c_str(), "none", none.seq), 1);
  EXPECT_EQ(testutil::read_file(folder + "none.fasta"), ">none\n\n");

  int saved = zam_debug;
  zam_debug = 2;
  ASSERT_EQ(trel_writeSequencePir(folder.c_str(), "dbg", s.seq), 1);
  zam_debug = saved;
  EXPECT_NE(g_out.find("Writing PIR file: " + folder + "dbg.pir\n"), std::string::npos);
}

TEST(SequenceWrite, UncreatableFileIsReportedAndOldFileKept) {
  Messages messages;
  testutil::TempDir dir;
  Seq s(fixture("crlf.pir"));
  ASSERT_NE(s.seq, nullptr);
  std::string folder = dir.str() + "/no_such_folder/";
  EXPECT_EQ(trel_writeSequenceFasta(folder.c_str(), "q", s.seq), 0);
  EXPECT_NE(g_out.find("*Error* Failed to open file: " + folder + "q.fasta [No such file or directory]"),
            std::string::npos)
      << g_out;
  // The temporary file takes the name only when complete; a file of the
  // user's found there is kept under a numbered name.
  std::string ok = dir.str() + "/";
  testutil::write_file(ok + "q.pir", "old");
  ASSERT_EQ(trel_writeSequencePir(ok.c_str(), "q", s.seq), 1);
  EXPECT_EQ(testutil::read_file(ok + "q.pir"), ">P1;1abc\nsequence:1abc:::::::0.00: 0.00\nMKVLSaGYw*\n\n");
  EXPECT_EQ(testutil::read_file(ok + "q.pir.1"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2);
}

TEST(SequencePrint, FastaAndPirIntoTheLog) {
  Messages messages;
  Seq s(fixture("crlf.pir"));
  ASSERT_NE(s.seq, nullptr);
  trel_printSequenceFasta(s.seq);
  EXPECT_EQ(g_out, ">1abc\nMKVLSaGYw\n\n");
  g_out.clear();
  trel_printSequencePir(s.seq);
  EXPECT_EQ(g_out, ">P1;1abc\n;sequence:1abc:::::::0.00: 0.00\nMKVLSaGYw*\n\n");
  g_out.clear();
  Seq f(fixture("two_records.fasta"));
  trel_printSequencePir(f.seq);
  EXPECT_EQ(g_out, ">P1;query1 human globin  fragment\n;sequence\nACDEFGH*\n\n");
  g_out.clear();
  trel_printSequenceFasta(nullptr);
  EXPECT_EQ(g_out, "");
}
