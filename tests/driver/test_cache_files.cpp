// Runs on a cache whose files cannot serve: every kind of cache file (tag,
// trace, image, sig and tau coefficients) damaged, swapped for another
// structure's, cut short, or unreadable is named once, its object is rebuilt
// from its source and the run finds the very hits of a clean run; a cache
// beside the sources serves them as built; and a file name too long for its
// cache files still runs, cached.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"

using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

std::string finger(const char* name) { return testutil::shared_pdb(std::string("mustang-testdata/") + name + ".pdb"); }

int count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

// What is done to a cache file of target 1sp1; other is the same kind of
// file of target 5znf. A file that cannot be read for its mode can be had
// only when the tests do not run as root.
enum class Damage { flip, swap, cut, unreadable };

void apply(Damage d, const std::string& file, const std::string& other) {
  switch (d) {
    case Damage::flip: {
      std::string bytes = read_file(file);
      bytes[bytes.size() / 3] ^= 0x10;
      testutil::write_file(file, bytes);
      break;
    }
    case Damage::swap: fs::copy_file(other, file, fs::copy_options::overwrite_existing); break;
    case Damage::cut: fs::resize_file(file, fs::file_size(file) / 2); break;
    case Damage::unreadable: fs::permissions(file, fs::perms::none); break;
  }
}

}  // namespace

TEST(CacheFiles, FilesThatCannotServeAreRebuiltAndTheHitsStay) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string cache = dir.file("cache"), kept = dir.file("kept");
  const std::vector<std::string> env = {"TREL_CACHE=" + cache};
  struct Mode {
    std::vector<std::string> options;
    std::vector<const char*> kinds;  // the endings of the files of 1sp1 damaged
  };
  // Trace objects, then descriptor objects (1sp1's own class is A).
  const Mode modes[] = {{{"-cache"}, {".trq", ".trc", ".pdb"}}, {{"-cache", "-q3", "-nmax=4"}, {"_A.tau", "_A.sig"}}};
  for (const Mode& mode : modes) {
    std::vector<std::string> args = mode.options;
    for (const char* s : {"1ard", "1sp1", "5znf"}) args.push_back(finger(s));
    fs::remove_all(cache);
    const Outcome clean = testutil::run_trel2(dir.str(), args, env);
    ASSERT_EQ(clean.status, 0) << clean.out;
    const std::string hits = read_file(dir.file("trel_results/1ard/1ard.ktops"));
    ASSERT_TRUE(has(hits, " 1sp1 ")) << hits;
    fs::remove_all(kept);
    fs::copy(cache, kept);
    for (const char* kind : mode.kinds)
      for (const Damage d : {Damage::flip, Damage::swap, Damage::cut, Damage::unreadable}) {
        if (d == Damage::unreadable && geteuid() == 0) continue;
        fs::remove_all(cache);
        fs::copy(kept, cache);
        const std::string file = cache + "/1sp1" + kind;
        apply(d, file, cache + "/5znf" + kind);
        fs::remove_all(dir.file("trel_results"));
        const Outcome r = testutil::run_trel2(dir.str(), args, env);
        const std::string what = std::string(kind) + " damage " + std::to_string(static_cast<int>(d));
        EXPECT_EQ(r.status, 0) << what << r.out;
        EXPECT_EQ(read_file(dir.file("trel_results/1ard/1ard.ktops")), hits) << what;
        EXPECT_EQ(count(r.out, "Cache file " + file + " "), 1) << what << r.out;
        EXPECT_EQ(count(r.out, "Cache file "), 1) << what << r.out;
        if (d == Damage::unreadable) {
          EXPECT_TRUE(has(r.out, file + " cannot be read [Permission denied]")) << r.out;
        }
      }
  }
}

// A cache folder that holds the sources themselves: a structure's image
// file would be its source, which is never written over, so a descriptor
// object served from there has its image made from the source in the frame
// of its coefficients, and scores as when it was built.
TEST(CacheFiles, CacheBesideTheSourcesServesTheSameHits) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  for (const char* s : {"1ard", "1sp1", "5znf"}) fs::copy_file(finger(s), dir.file(std::string(s) + ".pdb"));
  const std::vector<std::string> args = {"-cache", "-q3", "-nmax=4", "1ard.pdb", "1sp1.pdb", "5znf.pdb"};
  const std::vector<std::string> env = {"TREL_CACHE=" + dir.str()};
  ASSERT_EQ(testutil::run_trel2(dir.str(), args, env).status, 0);
  const std::string hits = read_file(dir.file("trel_results/1ard/1ard.ktops"));
  ASSERT_TRUE(fs::exists(dir.file("1sp1_A.tau")));
  fs::remove_all(dir.file("trel_results"));
  const Outcome second = testutil::run_trel2(dir.str(), args, env);
  ASSERT_EQ(second.status, 0) << second.out;
  EXPECT_FALSE(has(second.out, "Re-creating")) << second.out;
  EXPECT_EQ(read_file(dir.file("trel_results/1ard/1ard.ktops")), hits);
}

// Cache files of a name too long for the cache folder get a hashed name that
// fits: the run goes on, and the next one is served from them.
TEST(CacheFiles, NameTooLongForTheCacheFolderIsHashed) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string name = std::string(150, 'l');
  fs::copy_file(finger("1sp1"), dir.file(name + ".pdb"));
  const std::vector<std::string> env = {"TREL_CACHE=" + dir.file(std::string(110, 'c'))};
  const std::vector<std::string> args = {"-cache", finger("1ard"), name + ".pdb"};
  const Outcome first = testutil::run_trel2(dir.str(), args, env);
  ASSERT_EQ(first.status, 0) << first.out;
  const std::string hits = read_file(dir.file("trel_results/1ard/1ard.ktops"));
  EXPECT_TRUE(has(hits, " " + name + " ")) << hits;
  fs::remove_all(dir.file("trel_results"));
  // The files of both, dated back so that a rewrite would show: the long
  // name's tag, trace and image are there under their hashed name.
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir.file(std::string(110, 'c')))) {
    fs::last_write_time(e.path(), old);
    files += e.path().filename().string().rfind(name.substr(0, 100), 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(files, 3);
  const Outcome second = testutil::run_trel2(dir.str(), args, env);
  ASSERT_EQ(second.status, 0) << second.out;
  EXPECT_FALSE(has(second.out, "Cache file")) << second.out;
  EXPECT_EQ(read_file(dir.file("trel_results/1ard/1ard.ktops")), hits);
  for (const auto& e : fs::directory_iterator(dir.file(std::string(110, 'c'))))
    EXPECT_TRUE(e.last_write_time() == old) << e.path();
}
