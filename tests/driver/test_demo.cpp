// tools/demo run in a stand-in project: the installer, the build tool and the
// tool itself are replaced by stubs, so only the script's own handling of the
// results folder is under test.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/run_trel.h"
#include "common/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

// A project root holding the demo script, stubs for what it runs and one
// example structure where the demo looks for its fetched copies.
struct DemoProject {
  TempDir dir;
  std::string root = dir.file("project");
  std::string bin = dir.file("bin");

  DemoProject() {
    fs::create_directories(root + "/tools");
    fs::create_directories(root + "/build-demo/src/driver");
    fs::create_directories(root + "/build-demo/data/mustang-testdata");
    fs::create_directories(bin);
    fs::copy_file(std::string(TREL_SOURCE_DIR) + "/tools/demo", root + "/tools/demo");
    stub(root + "/tools/install-deps", "exit 0");
    stub(bin + "/cmake", "exit 0");
    // The tool prints a hit table and leaves a result file in its folder.
    stub(root + "/build-demo/src/driver/trel",
         "echo '  Rank  K-Score'; echo '     1  1ard'; echo; echo x > \"$TREL_RESULTS/1ard.krank\"");
    write_file(root + "/build-demo/data/mustang-testdata/1ard.pdb", "ATOM\n");
    write_file(root + "/build-demo/data/mustang-testdata/1zfd.pdb", "ATOM\n");
  }

  static void stub(const std::string& path, const std::string& body) {
    write_file(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
  }

  testutil::Outcome run(const std::string& folder) const {
    return testutil::run_program("/bin/bash", dir.str(), {root + "/tools/demo", folder},
                                 {"PATH=" + bin + ":/usr/bin:/bin", "TMPDIR=" + dir.str()});
  }
};

TEST(Demo, NeverDeletesWhatItDidNotMake) {
  DemoProject p;
  // A user's folder and a file beside it that bears the name of the demo's
  // old output file.
  const std::string mine = p.dir.file("mine");
  fs::create_directories(mine);
  write_file(mine + "/notes.txt", "keep");
  write_file(mine + ".out", "keep too");
  testutil::Outcome r = p.run(mine);
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "already exists")) << r.out;
  EXPECT_EQ(read_file(mine + "/notes.txt"), "keep");
  EXPECT_EQ(read_file(mine + ".out"), "keep too");
  EXPECT_FALSE(fs::exists(mine + "/1ard.krank"));

  // A new folder is made and shown; a second demo run may use it again, and
  // leaves nothing beside it.
  const std::string fresh = p.dir.file("fresh");
  for (int run = 0; run < 2; ++run) {
    r = p.run(fresh);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "     1  1ard")) << r.out;
    EXPECT_TRUE(has(r.out, "Results folder: " + fresh)) << r.out;
    EXPECT_TRUE(fs::exists(fresh + "/1ard.krank"));
  }
  int beside = 0;
  for (const auto& e : fs::directory_iterator(p.dir.path)) beside += e.path().filename().string().starts_with("trel_demo");
  EXPECT_EQ(beside, 0);
  EXPECT_FALSE(fs::exists(fresh + ".out"));
}

}  // namespace
