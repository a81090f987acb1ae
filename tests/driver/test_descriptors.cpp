// Descriptor objects of whole runs: "-cache -q3" writes the sig and tau
// files of every class its tags claim (private to the user) and the text
// export of the query's class beside the PDB results, a second run reads
// them, computes nothing and finds the same hits; a database built
// with "-spf -imax=N" holds all five classes of every member at order N,
// serves a search at that order and fails one at a higher order.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "common/run_trel.h"
#include "common/test_util.h"
#include "store/trel_cache_check.h"

using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

std::string finger(const std::string& name) {
  return testutil::shared_pdb("mustang-testdata/" + name + ".pdb");
}

const char* const kLetters[5] = {"A", "B", "C", "D", "E"};

struct Tag {
  int32_t valid = 0, order = 0, pot_class = -1;
  int32_t flags[5] = {0, 0, 0, 0, 0};
};

Tag readTag(const std::string& file) {
  const std::string bytes = read_file(file);
  Tag t;
  if (bytes.size() < 304) return t;  // the tag, then the file's check line
  std::memcpy(&t.valid, bytes.data(), 4);
  std::memcpy(&t.order, bytes.data() + 16, 4);
  std::memcpy(&t.pot_class, bytes.data() + 40, 4);
  std::memcpy(t.flags, bytes.data() + 44, 20);
  return t;
}

// Every file of a folder with its bytes.
std::map<std::string, std::string> contents(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out[e.path().filename().string()] = read_file(e.path().string());
  return out;
}

// The sig and tau files of a structure hold exactly the classes its tag
// claims, each an order-N file (8-byte header, N(N+1)(2N+1)/6 doubles, the
// cache file's check line) that only its owner may read or write.
void expectClassFiles(const std::string& folder, const std::string& name, int order) {
  const Tag tag = readTag(folder + name + ".trq");
  ASSERT_EQ(tag.valid, 1) << name;
  EXPECT_EQ(tag.order, order) << name;
  EXPECT_EQ(tag.flags[tag.pot_class], 1) << name;
  const uintmax_t bytes = 8 + 8 * static_cast<uintmax_t>(order * (order + 1) * (2 * order + 1) / 6);
  for (int c = 0; c < 5; c++)
    for (const char* ext : {".sig", ".tau"}) {
      const std::string file = folder + name + "_" + kLetters[c] + ext;
      EXPECT_EQ(fs::exists(file), tag.flags[c] == 1) << file;
      if (!fs::exists(file)) continue;
      EXPECT_EQ(fs::file_size(file), bytes + TREL_CHECK_LINE) << file;
      struct stat st;
      ASSERT_EQ(stat(file.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0077, 0u) << file;  // private to the user
    }
}

}  // namespace

TEST(DescriptorRuns, CacheWritesClassFilesAndASecondRunComputesNothing) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string cache = dir.file("cache") + "/";
  // Order 8 rather than the default 15: the files and their round trip are
  // the same at any order, and the run costs about two fifths less.
  const std::vector<std::string> args = {"-cache",        "-q3",          "-verbose=2",     "-nmax=8",
                                         finger("1sp1"), finger("1sp2"), finger("2drp1"), finger("1ard")};
  const std::vector<std::string> env = {"TREL_CACHE=" + cache};
  const Outcome first = testutil::run_trel2(dir.str(), args, env);
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_TRUE(has(first.out, "Calculating coefficients for 1sp1, pot=1, N=8.\n")) << first.out;
  for (const char* name : {"1sp1", "1sp2", "2drp1", "1ard"}) expectClassFiles(cache, name, 8);
  // The targets carry the query's class B beside their own.
  for (const char* name : {"1sp2", "2drp1", "1ard"}) EXPECT_EQ(readTag(cache + name + ".trq").flags[1], 1) << name;
  // The PDB results come with the coefficients of the query's class as text.
  for (const char* stem : {"1sp1_query", "1sp2_1sp1", "2drp1_1sp1", "1ard_1sp1"})
    for (const char* kind : {"_B_sig.dat", "_B_tau.dat"}) {
      const std::string text = read_file(dir.file(std::string("trel_results/1sp1/") + stem + kind));
      EXPECT_EQ(text.rfind("n_max = 8, n_dim = 204\n", 0), 0u) << stem << kind;
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 205) << stem << kind;
    }
  const auto files = contents(cache);
  const std::string hits = read_file(dir.file("trel_results/1sp1/1sp1.ktops"));
  ASSERT_FALSE(hits.empty());

  const Outcome second = testutil::run_trel2(dir.str(), args, env);
  ASSERT_EQ(second.status, 0) << second.out;
  EXPECT_FALSE(has(second.out, "Calculating coefficients")) << second.out;
  EXPECT_FALSE(has(second.out, "Re-creating")) << second.out;
  EXPECT_TRUE(contents(cache) == files);
  // Objects read from their files score as the ones just built did.
  EXPECT_EQ(read_file(dir.file("trel_results/1sp1/1sp1.ktops")), hits);
}

TEST(DescriptorRuns, SpfDatabaseHoldsEveryClassAtItsOrder) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::vector<std::string> env = {"TREL_DATABASE=" + dir.file("db")};
  const Outcome build = testutil::run_trel2(
      dir.str(), {"-spf", "-imax=6", "-build=fingers", finger("1sp2"), finger("2drp1"), finger("1ard")}, env);
  ASSERT_EQ(build.status, 0) << build.out;
  const std::string folder = dir.file("db/fingers_trel") + "/";
  const std::string master = read_file(folder + "master.dat");
  ASSERT_GE(master.size(), 8u);
  int32_t members = 0, order = 0;
  std::memcpy(&members, master.data(), 4);
  std::memcpy(&order, master.data() + 4, 4);
  EXPECT_EQ(members, 3);
  EXPECT_EQ(order, 6);
  const std::string tags = read_file(folder + "tags.dat");
  ASSERT_GE(tags.size(), 3u * 304u);
  for (int i = 0; i < 3; i++) {
    int32_t tag_order = 0, flags[5];
    std::memcpy(&tag_order, tags.data() + 304 * i + 16, 4);
    std::memcpy(flags, tags.data() + 304 * i + 44, 20);
    EXPECT_EQ(tag_order, 6) << i;
    for (int c = 0; c < 5; c++) EXPECT_EQ(flags[c], 1) << i << " " << c;
  }
  for (const char* name : {"1sp2", "2drp1", "1ard"})
    for (const char* c : kLetters)
      for (const char* ext : {".sig", ".tau"}) EXPECT_TRUE(fs::exists(folder + name + "_" + c + ext)) << name << c;

  const Outcome search = testutil::run_trel2(dir.str(), {"-q3", "-nmax=6", "-db=fingers", finger("1sp1")}, env);
  EXPECT_EQ(search.status, 0) << search.out;
  EXPECT_TRUE(has(search.out, "Top 3 matches for 1sp1")) << search.out;
  // Order 8 from a database of order 6: refused, never served zero-padded.
  const Outcome higher = testutil::run_trel2(dir.str(), {"-q3", "-nmax=8", "-db=fingers", finger("1sp1")}, env);
  EXPECT_EQ(higher.status, 1);
  EXPECT_TRUE(has(higher.out, "Requested N=8 but found N=6 in file: " + folder)) << higher.out;
  EXPECT_TRUE(has(higher.out, "*Error* Failed to load SPF data for: ")) << higher.out;
}
