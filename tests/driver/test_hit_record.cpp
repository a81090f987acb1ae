// Reruns into a results folder shared with other queries and with the user's
// own files, run by the tool itself: a rerun removes only the files its
// query's earlier run recorded, does not write again and finds unchanged;
// without a sound record it removes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;

const char* const kTargets[] = {"1ard", "1znf", "1zfd"};

// The regular files of folder with their contents, logs left out (a run
// sets its predecessor's aside under a numbered name).
std::map<std::string, std::string> contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name.rfind("trel.log", 0) != 0) files[name] = read_file(e.path().string());
  }
  return files;
}

void copyPdb(const TempDir& dir, const std::string& from, const std::string& to) {
  fs::copy_file(shared_pdb("mustang-testdata/" + from + ".pdb"), dir.file(to + ".pdb"));
}

// Runs the tool in dir with its results in dir itself, as -server does, and
// no sub-folder per query.
testutil::Outcome search(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), "-nosubdirs");
  return testutil::run_trel(dir.str(), args, {"TREL_RESULTS=."});
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

bool startsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

class HitRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    copyPdb(dir, "1sp1", "q");
    copyPdb(dir, "1sp2", "q_A");  // PDB chain names make such pairs of queries common
    for (const char* t : kTargets) copyPdb(dir, t, t);
  }
  std::vector<std::string> with(const std::string& query, std::vector<std::string> options = {}) const {
    options.push_back(query + ".pdb");
    for (const char* t : kTargets) options.push_back(std::string(t) + ".pdb");
    return options;
  }
  TempDir dir;
};

TEST_F(HitRecord, RerunRemovesOnlyTheFilesItsQueryWroteUnchanged) {
  testutil::Outcome r = search(dir, with("q"));
  ASSERT_EQ(r.status, 0) << r.out;
  const std::map<std::string, std::string> first = contents(dir.str());
  r = search(dir, with("q_A"));
  ASSERT_EQ(r.status, 0) << r.out;
  std::map<std::string, std::string> other;  // q_A's files
  for (const auto& [name, text] : contents(dir.str()))
    if (!first.count(name)) other[name] = text;
  ASSERT_GT(other.size(), 60u);

  // The user's files of hit-like names, an edited ".knames" naming one of
  // them, and files of q's earlier hits that the user changed since: one
  // grown, one of the same bytes given another time.
  std::map<std::string, std::string> users;
  for (const char* t : kTargets)
    for (const char* tail : {".dat", "_B.pdb", "_mask.pdb", "_E.fasta"}) users[t + std::string("_q") + tail] = "mine\n";
  users["important_q.pdb"] = "mine\n";
  testutil::write_file(dir.file("q.knames"), read_file(dir.file("q.knames")) + "important\n");
  for (const char* t : kTargets) {
    users[t + std::string("_q.profit")] = first.at(t + std::string("_q.profit")) + "! mine\n";
    fs::last_write_time(dir.file(t + std::string("_q.pir")), fs::file_time_type::clock::now() - std::chrono::hours(2));
  }
  for (const auto& [name, text] : users) testutil::write_file(dir.file(name), text);

  r = search(dir, with("q", {"-show=1"}));
  ASSERT_EQ(r.status, 0) << r.out;
  const std::map<std::string, std::string> after = contents(dir.str());
  for (const auto& [name, text] : other) EXPECT_EQ(after.count(name) ? after.at(name) : "(gone)", text) << name;
  const std::string shown = firstLine(read_file(dir.file("q.knames")));
  int gone = 0;
  for (const char* t : kTargets) {
    const std::string stem = t + std::string("_q");
    if (shown == t) continue;  // its files are written again
    for (const auto& [name, text] : users)
      if (startsWith(name, stem)) {
        EXPECT_EQ(after.count(name) ? after.at(name) : "(gone)", text) << name;
      }
    EXPECT_TRUE(after.count(stem + ".pir")) << stem;
    // Every other file of the hidden hit is the earlier run's, unchanged.
    for (const auto& [name, text] : first)
      if (startsWith(name, stem + ".") || startsWith(name, stem + "_")) {
        if (users.count(name) || name == stem + ".pir") continue;
        EXPECT_FALSE(after.count(name)) << name;
        gone++;
      }
  }
  EXPECT_EQ(gone, 2 * 18);
  EXPECT_EQ(after.at("important_q.pdb"), "mine\n");
  for (const char* input : {"q.pdb", "q_A.pdb", "1ard.pdb"}) EXPECT_TRUE(after.count(input)) << input;
}

// Without a record that proves what the earlier run wrote (results of an
// older trel, a record damaged or edited by hand), a rerun removes nothing.
TEST_F(HitRecord, NoSoundRecordRemovesNothing) {
  testutil::Outcome r = search(dir, with("q"));
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string record = read_file(dir.file("q.kwritten"));
  ASSERT_FALSE(record.empty());
  // A record whose second line gives its file another size.
  const size_t line = record.find('\n') + 1;
  std::string edited = record;
  edited.insert(record.find(' ', line), "0");
  for (const std::string& text : {std::string(), edited}) {
    if (text.empty())
      fs::remove(dir.file("q.kwritten"));
    else
      testutil::write_file(dir.file("q.kwritten"), text);
    std::map<std::string, std::string> before = contents(dir.str());
    r = search(dir, with("q", {"-show=1"}));
    ASSERT_EQ(r.status, 0) << r.out;
    const std::map<std::string, std::string> after = contents(dir.str());
    for (const auto& entry : before) EXPECT_TRUE(after.count(entry.first)) << entry.first;
    // The rerun's sound record lets the next one remove the files it wrote.
    r = search(dir, with("q"));
    ASSERT_EQ(r.status, 0) << r.out;
  }
}

// Two queries of one run in one folder, their names a target's and a query's
// apart: x_q and q, each a copy of 1sp1, against t and t_x, each a copy of
// 1ard. Query x_q's hit t and q's hit t_x both write t_x_q.mat, with the same
// bytes, which the second write therefore leaves as it stands (time and
// all). A rerun in which q no longer shows t_x must not remove the file
// that x_q, shown t, has just written again.
TEST_F(HitRecord, AFileAnotherQueryOfTheRunWroteStays) {
  copyPdb(dir, "1sp1", "x_q");
  copyPdb(dir, "1ard", "t");
  copyPdb(dir, "1ard", "t_x");
  testutil::write_file(dir.file("queries"), "x_q.pdb\nq.pdb\n");
  testutil::write_file(dir.file("targets"), "t.pdb\nt_x.pdb\n1znf.pdb\n");
  testutil::Outcome r = search(dir, {"-source=queries", "-target=targets"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string mat = read_file(dir.file("t_x_q.mat"));
  ASSERT_FALSE(mat.empty());

  r = search(dir, {"-show=1", "-source=queries", "-target=targets"});
  ASSERT_EQ(r.status, 0) << r.out;
  // The equal hits are ranked alike for both queries.
  ASSERT_EQ(firstLine(read_file(dir.file("q.knames"))), "t");
  ASSERT_EQ(firstLine(read_file(dir.file("x_q.knames"))), "t");
  EXPECT_EQ(read_file(dir.file("t_x_q.mat")), mat);
  EXPECT_FALSE(fs::exists(dir.file("t_x_x_q.mat")));  // x_q's hidden hit
  EXPECT_FALSE(fs::exists(dir.file("1znf_q.mat")));
}

}  // namespace
