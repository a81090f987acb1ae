// Searching a structure database as a user does: a database built from real
// structures gives the same hits and scores as the same search against the
// files, a database member can be the query, members are selected by their
// classification, a corrupt database is refused and an existing one is
// never replaced by a build.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;
using testutil::write_file;

// The rows of the hit table (hits and the mean row) without the last two
// columns, which come from the classification (TP and the family code), and
// with the target name alone.
std::vector<std::string> hitRows(const std::string& out) {
  std::vector<std::string> rows;
  std::istringstream in(out);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind(" Rank ", 0) == 0) inside = true;
    if (!inside || line.empty() || line[0] == '=' || line.rfind(" Rank", 0) == 0) continue;
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string x; words >> x;) w.push_back(x);
    const bool mean = !w.empty() && w[0] == "Mean";
    std::string row;
    for (size_t k = 0; k < w.size() && k < 13; k++) row += w[k] + " ";
    if (!mean && w.size() >= 15) row += w[14].substr(0, w[14].find('['));
    rows.push_back(row);
    if (mean) break;
  }
  return rows;
}

// A database "zf" of eleven zinc fingers (all classified 3.30.160.60 by the
// domain list in the database folder) and four cytochromes c (whose names
// are too long for a CATH look-up, so they stay unclassified).
struct Library {
  TempDir dir;
  std::vector<std::string> files;
  std::vector<std::string> env;
  Outcome build;

  Library() {
    std::string list;
    for (const char* z : {"1ard", "1bboN", "1paa", "1sp1", "1sp2", "1zaa1", "1zaa2", "1zaa3", "1zfd", "1znf",
                          "2drp1"}) {
      files.push_back(shared_pdb(std::string("mustang-testdata/") + z + ".pdb"));
      list += std::string(z) + (std::string(z).size() == 4 ? "A00" : "00") + "  3  30  160  60  1 1 1 1 1 30 2.0\n";
    }
    for (const char* c : {"d1cih__", "d1crj__", "d1csu__", "d1csx__"})
      files.push_back(shared_pdb(std::string("theseus-examples/cytochromes/") + c + ".pdb.gz"));
    fs::create_directories(dir.file("db"));
    write_file(dir.file("db/CathDomainList"), list);
    env = {"TREL_DATABASE=" + dir.file("db")};
    std::vector<std::string> args = {"-build=zf"};
    args.insert(args.end(), files.begin(), files.end());
    build = testutil::run_trel2(dir.str(), args, env);
  }
  Outcome search(const std::string& results, std::vector<std::string> args) const {
    std::vector<std::string> e = env;
    e.push_back("TREL_RESULTS=" + dir.file(results));
    return testutil::run_trel2(dir.str(), args, e);
  }
};

TEST(DbSearch, SameHitsAsTheFileSearchWithCodesFromTheDatabase) {
  TREL_REQUIRE_SHARED_DATA();
  Library lib;
  ASSERT_EQ(lib.build.status, 0) << lib.build.out;
  const std::string query = lib.files[0];  // 1ard
  Outcome db = lib.search("res_db", {"-db=zf", query});
  ASSERT_EQ(db.status, 0) << db.out;
  std::vector<std::string> fargs = {query};
  fargs.insert(fargs.end(), lib.files.begin(), lib.files.end());
  Outcome files = lib.search("res_files", fargs);
  ASSERT_EQ(files.status, 0) << files.out;

  const std::vector<std::string> a = hitRows(db.out), b = hitRows(files.out);
  ASSERT_EQ(a.size(), 16u) << db.out;  // 15 hits and the mean row
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[0].substr(0, a[0].find(' ', 6)), "1 29.00");  // the query finds itself first
  // The file query has no code: the family is that of the best hit, and the
  // eleven classified zinc fingers are the positives.
  EXPECT_TRUE(has(db.out, "Top 15 matches for 1ard (length 29) [0.0.0.0] -> [3.30.160.60] (11/15)")) << db.out;
  EXPECT_TRUE(has(db.out, "1ard[3.30.160.60]"));
  EXPECT_TRUE(has(db.out, "d1cih__~pdb[0.0.0.0]"));
  EXPECT_TRUE(has(files.out, "(15/15) ROC AUC = 1.000000"));
  // The member images were loaded for the superposed hits.
  EXPECT_TRUE(fs::exists(lib.dir.file("res_db/1ard/1ard_1ard.kalign")));
  EXPECT_TRUE(fs::exists(lib.dir.file("res_db/1ard/d1csx__~pdb_1ard.pdb")));
}

TEST(DbSearch, MemberQueryAndSelection) {
  TREL_REQUIRE_SHARED_DATA();
  Library lib;
  ASSERT_EQ(lib.build.status, 0) << lib.build.out;
  Outcome all = lib.search("res_all", {"-db=zf", "-member=1ard"});
  ASSERT_EQ(all.status, 0) << all.out;
  EXPECT_TRUE(has(all.out, "Top 15 matches for 1ard (length 29) [3.30.160.60] -> [3.30.160.60] (11/15)")) << all.out;
  Outcome file = lib.search("res_file", {"-db=zf", lib.files[0]});
  EXPECT_EQ(hitRows(all.out), hitRows(file.out));

  // The -only list, unsorted, names a member of another class and a name
  // that is no member at all: both are passed over.
  write_file(lib.dir.file("only.txt"), "1zfd\nd9xyz_\n1paa\nd1cih__~pdb\n");
  Outcome sel = lib.search("res_sel", {"-db=zf", "-member=1zfd", "-select=3.30.160.60", "-only=only.txt"});
  ASSERT_EQ(sel.status, 0) << sel.out;
  EXPECT_TRUE(has(sel.out, "Top 2 matches for 1zfd (length 32) [3.30.160.60] -> [3.30.160.60] (2/2)")) << sel.out;
  const std::vector<std::string> rows = hitRows(sel.out);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_TRUE(has(rows[0], " 1zfd")) << rows[0];
  EXPECT_TRUE(has(rows[1], " 1paa")) << rows[1];

  Outcome missing = lib.search("res_missing", {"-db=zf", "-member=9xyz"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(has(missing.out, "*Error* Failed to find member 9xyz in database NAMES file: " +
                                   lib.dir.file("db") + "/zf_trel/names.dat.\n"))
      << missing.out;
}

// A member whose structure file disappears after the build is still
// pre-scored from the database's trace, but cannot be superposed: the search
// says so once, writes its tables, and ends with status 1.
TEST(DbSearch, MemberWithoutItsStructureFileFailsTheRun) {
  TREL_REQUIRE_SHARED_DATA();
  Library lib;
  ASSERT_EQ(lib.build.status, 0) << lib.build.out;
  const std::string image = lib.dir.file("db/zf_trel/1paa.pdb");
  ASSERT_TRUE(fs::exists(image));
  fs::remove(image);
  Outcome s = lib.search("res_gone", {"-db=zf", lib.files[0]});
  EXPECT_EQ(s.status, 1) << s.out;
  const std::string failed = "*Warning* Structure file of database member 1paa not found: " + image + "\n";
  const size_t at = s.out.find(failed);
  ASSERT_NE(at, std::string::npos) << s.out;
  EXPECT_EQ(s.out.find(failed, at + 1), std::string::npos) << "reported twice:\n" << s.out;
  EXPECT_TRUE(has(s.out, "*Error* 1 target structure could not be read for superposition: its row has only "
                         "pre-scores.\n"))
      << s.out;
  // The other hits are all there.
  EXPECT_EQ(hitRows(s.out).size(), 16u) << s.out;
  EXPECT_TRUE(fs::exists(lib.dir.file("res_gone/1ard/1ard.krank")));
}

TEST(DbSearch, CorruptDatabaseIsRefused) {
  TREL_REQUIRE_SHARED_DATA();
  Library lib;
  ASSERT_EQ(lib.build.status, 0) << lib.build.out;
  const std::string folder = lib.dir.file("db/zf_trel/");
  const std::string traces = read_file(folder + "traces.dat");
  const std::string tags = read_file(folder + "tags.dat");
  struct Case {
    std::string file, content, message;
  } cases[] = {
      // A traces file cut short.
      {"traces.dat", traces.substr(0, traces.size() / 2),
       "*Error* Database file " + folder + "traces.dat holds " + std::to_string(traces.size() / 2) + " bytes"},
      // The first member's trace offset pointing far past the traces file.
      {"tags.dat", tags.substr(0, 8) + std::string("\x00\x00\x00\x00\x01\x00\x00\x00", 8) + tags.substr(16),
       "*Error* Database TAG file " + folder + "tags.dat: member 0 (1ard) is corrupt"},
      // A traces file of the right size holding other bytes.
      {"traces.dat", std::string(traces.size(), '\x5a'),
       "*Error* Database file " + folder + "traces.dat does not match its checksum in " + folder + "checksums.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string before = read_file(folder + c.file);
    write_file(folder + c.file, c.content);
    Outcome r = lib.search("res", {"-db=zf", lib.files[0]});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, c.message)) << r.out;
    EXPECT_FALSE(has(r.out, "Top ")) << r.out;
    write_file(folder + c.file, before);
  }
}

// A build under the name of an existing database is refused, naming it,
// before the optional domain list is looked for, and the database keeps
// every member.
TEST(DbSearch, BuildNeverReplacesADatabase) {
  TREL_REQUIRE_SHARED_DATA();
  Library lib;
  ASSERT_EQ(lib.build.status, 0) << lib.build.out;
  const std::string master = read_file(lib.dir.file("db/zf_trel/master.dat"));
  // Without its domain list, which a refused build must not go looking for.
  std::filesystem::remove(lib.dir.file("db/CathDomainList"));
  Outcome again = testutil::run_trel2(lib.dir.str(), {"-build=zf", lib.files[0]}, lib.env);
  EXPECT_EQ(again.status, 1) << again.out;
  EXPECT_TRUE(has(again.out, "*Error* Database zf exists already in " + lib.dir.file("db") + "/zf_trel/")) << again.out;
  EXPECT_FALSE(has(again.out, "domain index")) << again.out;
  EXPECT_EQ(read_file(lib.dir.file("db/zf_trel/master.dat")), master);
  Outcome s = lib.search("res", {"-db=zf", lib.files[0]});
  ASSERT_EQ(s.status, 0) << s.out;
  EXPECT_EQ(hitRows(s.out).size(), 16u) << s.out;
}

}  // namespace
