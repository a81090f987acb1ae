// Reference comparisons of the score mode on small real sets kept beside the
// tests (tests/msa/fixtures, made by make_fixtures.py): five superposed
// trypsins with their family alignment, and four zinc fingers with one
// pairwise reference file per pair. Known answers: an alignment equal to the
// reference keeps every core column, one residue moved loses exactly its
// column, a scrambled one keeps next to none; refusals leave the reference
// fields at their initial values.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "msa/trel_msa_input.h"
#include "msa/trel_msa_reference.h"
#include "output/trel_run_options.h"

namespace {

namespace fs = std::filesystem;
using testutil::Capture;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

const std::string kFixtures = std::string(TREL_SOURCE_DIR) + "/tests/msa/fixtures/";
const char* const kTrypsins[5] = {"1A0J_A", "1A0L_A", "1A5I_A", "1ABI_H", "1AMH_A"};

// A copy of one fixture folder, made the working folder while it lives (the
// reference files name their structures relative to it).
struct FixtureCopy {
  TempDir dir;
  fs::path old = fs::current_path();
  explicit FixtureCopy(const std::string& set) {
    fs::copy(kFixtures + set, dir.path, fs::copy_options::recursive);
    fs::current_path(dir.path);
  }
  ~FixtureCopy() { fs::current_path(old); }
};

// Rows of a loaded alignment as text, gaps '-'.
std::vector<std::string> rows_of(const _trel_msa* m) {
  std::vector<std::string> rows((size_t)m->n_struct);
  for (int c = 0; c < m->n_col; c++)
    for (int s = 0; s < m->n_struct; s++) rows[(size_t)s] += m->letters[(size_t)c * m->n_struct + s];
  return rows;
}

std::string fasta(const std::vector<std::string>& names, const std::vector<std::string>& rows) {
  std::string out;
  for (size_t s = 0; s < rows.size(); s++) out += ">" + names[s] + "\n" + rows[s] + "\n";
  return out;
}

// The family's reference rows and its core column count.
struct Family {
  std::vector<std::string> rows;
  int n_core = 0;
};

Family read_family() {
  Family f;
  _trel_msa* ref = loadMSA("tryps.ali", "ent", nullptr);
  EXPECT_NE(ref, nullptr);
  if (!ref) return f;
  f.rows = rows_of(ref);
  for (int c = 0; c < ref->n_col; c++) {
    bool all = true;
    for (int s = 0; s < ref->n_struct; s++) all = all && ref->residue_index[(size_t)c * ref->n_struct + s] >= 0;
    f.n_core += all;
  }
  trel_freeMSA(ref);
  return f;
}

// Scores the given rows (structures "<name>.ent" here) against the family.
struct Scored {
  int done = 0;
  int query_eq = -1, ref_eq = -1, ref_id = -1;
  double ref_rmsd = 0, ref_pairs = 0, ref_viol = 0;
};

Scored score_family(const std::vector<std::string>& rows, std::vector<std::string> files = {}) {
  if (files.empty())
    for (const char* t : kTrypsins) files.push_back(std::string(t) + ".ent");
  write_file("query.fasta", fasta(files, rows));
  Scored r;
  _trel_msa* q = loadMSA("query.fasta", "pdb", nullptr);
  EXPECT_NE(q, nullptr);
  if (!q) return r;
  r.done = trel_analyseHOMSTRAD(q, "tryps.ali", nullptr);
  r.query_eq = q->query_eq;
  r.ref_eq = q->ref_eq;
  r.ref_id = q->ref_id;
  r.ref_rmsd = q->ref_rmsd;
  r.ref_pairs = q->ref_pairs;
  r.ref_viol = q->ref_viol;
  trel_freeMSA(q);
  return r;
}

TEST(Homstrad, IdenticalShiftedAndScrambledAlignments) {
  TREL_REQUIRE_SHARED_DATA();
  FixtureCopy here("homstrad/tryps");
  const Family fam = read_family();
  ASSERT_EQ(fam.rows.size(), 5u);
  ASSERT_GT(fam.n_core, 150);

  // The reference itself: every core column, superposed trypsins close.
  const Scored same = score_family(fam.rows);
  EXPECT_EQ(same.done, 1);
  EXPECT_EQ(same.ref_id, 1);
  EXPECT_EQ(same.ref_eq, fam.n_core);
  EXPECT_EQ(same.query_eq, fam.n_core);
  EXPECT_GT(same.ref_rmsd, 0.2);
  EXPECT_LT(same.ref_rmsd, 3.0);
  EXPECT_GE(same.ref_pairs, fam.n_core);  // per pair: at least the core columns
  EXPECT_LT(same.ref_viol, 5.0);

  // One residue of row 1 moved into the gap beside it: its core column goes.
  std::vector<std::string> moved = fam.rows;
  std::string& r1 = moved[1];
  int shifts = 0;
  for (size_t c = 1; c < r1.size() && !shifts; c++) {
    bool core = true;
    for (const std::string& r : fam.rows) core = core && r[c] != '-';
    if (core && r1[c - 1] == '-') {
      std::swap(r1[c - 1], r1[c]);
      shifts = 1;
    }
  }
  ASSERT_EQ(shifts, 1);
  EXPECT_EQ(score_family(moved).query_eq, fam.n_core - 1);

  // Row 1 slid one column along (a gap in front): every core column goes.
  std::vector<std::string> slid = fam.rows;
  for (std::string& r : slid) r += "-";
  slid[1] = "-" + fam.rows[1];
  EXPECT_EQ(score_family(slid).query_eq, 0);

  // Residues scattered over the columns in order at random: next to none.
  std::mt19937 rng(7);
  std::vector<std::string> scrambled;
  const size_t width = fam.rows[0].size() + 60;
  for (const std::string& r : fam.rows) {
    std::string letters;
    for (char ch : r)
      if (ch != '-') letters += ch;
    std::vector<int> take(width, 0);
    std::fill(take.begin(), take.begin() + (long)letters.size(), 1);
    std::shuffle(take.begin(), take.end(), rng);
    std::string out;
    size_t k = 0;
    for (int t : take) out += t ? letters[k++] : '-';
    scrambled.push_back(out);
  }
  const Scored random = score_family(scrambled);
  EXPECT_EQ(random.done, 1);
  EXPECT_LE(random.query_eq, 2);
  EXPECT_EQ(random.ref_eq, fam.n_core);
}

TEST(Homstrad, DecoratedNamesMissingResidueAndTooFewMembers) {
  TREL_REQUIRE_SHARED_DATA();
  FixtureCopy here("homstrad/tryps");
  const Family fam = read_family();
  ASSERT_EQ(fam.rows.size(), 5u);

  // Rows named with the program's decorations still match their members.
  std::vector<std::string> files;
  const char* const decorations[5] = {"_multi", "_flex", "_pivot", "_query", ""};
  for (int s = 0; s < 5; s++) {
    const std::string f = std::string(kTrypsins[s]) + decorations[s] + ".pdb";
    fs::copy_file(std::string(kTrypsins[s]) + ".ent", f);
    files.push_back(f);
  }
  EXPECT_EQ(score_family(fam.rows, files).query_eq, fam.n_core);

  // A structure lacking the number of its first core residue: that column
  // leaves the count (the other rows are untouched).
  size_t first_core = 0;
  for (size_t c = 0; c < fam.rows[0].size(); c++) {
    bool core = true;
    for (const std::string& r : fam.rows) core = core && r[c] != '-';
    if (core) {
      first_core = c;
      break;
    }
  }
  int ordinal = 0;  // residue of row 2 in that column
  for (size_t c = 0; c < first_core; c++) ordinal += fam.rows[2][c] != '-';
  std::string text = read_file("1A5I_A.ent"), out;
  size_t pos = 0;
  int atom = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end - pos);
    if (line.rfind("ATOM", 0) == 0 && atom++ == ordinal) line.replace(22, 4, "9999");
    out += line + "\n";
    pos = end + 1;
  }
  write_file("1A5I_A_renumbered.pdb", out);
  files = {"1A0J_A.ent", "1A0L_A.ent", "1A5I_A_renumbered.pdb", "1ABI_H.ent", "1AMH_A.ent"};
  // The renamed row no longer matches its member; name it as the member.
  fs::rename("1A5I_A_renumbered.pdb", "1A5I_A_multi.pdb");
  files[2] = "1A5I_A_multi.pdb";
  Capture said;
  const Scored missing = score_family(fam.rows, files);
  EXPECT_TRUE(said.has("not found in PDB")) << said.text;
  EXPECT_EQ(missing.query_eq, fam.n_core - 1);

  // Only one member named as in the reference: refused, fields untouched.
  files = {"1A0J_A.ent", "a.pdb", "b.pdb", "c.pdb", "d.pdb"};
  for (int s = 1; s < 5; s++) fs::copy_file(std::string(kTrypsins[s]) + ".ent", files[(size_t)s]);
  Capture refused;
  const Scored few = score_family(fam.rows, files);
  EXPECT_EQ(few.done, 0);
  EXPECT_EQ(few.ref_id, -1);
  EXPECT_EQ(few.query_eq, -1);
  EXPECT_TRUE(refused.has("Less than 2 REFERENCE members match the QUERY MSA.")) << refused.text;
}

TEST(Homstrad, CorruptReferenceFilesAreRefused) {
  TREL_REQUIRE_SHARED_DATA();
  FixtureCopy here("homstrad/tryps");
  const Family fam = read_family();
  ASSERT_EQ(fam.rows.size(), 5u);
  const std::string good = read_file("tryps.ali");
  const std::vector<std::string> bad = {
      std::string("\0\0\xff\x01garbage", 11),              // binary, no record
      good.substr(0, good.find(">P1;1A0L_A")),             // one record
      std::string(good).replace(good.find(">P1;1A0L_A") + 4, 6, "ZZZZZZ")  // unknown member...
          .replace(good.find(">P1;1A5I_A") + 4, 6, "YYYYYY")
          .replace(good.find(">P1;1ABI_H") + 4, 6, "XXXXXX")
          .replace(good.find(">P1;1AMH_A") + 4, 6, "WWWWWW"),  // ...leaving one match
  };
  for (const std::string& b : bad) {
    write_file("tryps.ali", b);
    const Scored r = score_family(fam.rows);
    EXPECT_EQ(r.done, 0);
    EXPECT_EQ(r.ref_id, -1);
  }
  // Cut mid-row with stray bytes: the rows left are still compared, without harm.
  write_file("tryps.ali", good.substr(0, good.size() / 2) + std::string("\x80\x00\x7f", 3));
  EXPECT_LE(score_family(fam.rows).query_eq, fam.n_core);
}

// The zinc-finger group: the query is the multiple alignment the pairs came from.
struct GroupRun {
  int done = 0;
  int ref_id = -1;
  double ref_rmsd = 0, ref_pairs = 0, ref_afp = -1;
  std::string said;
};

GroupRun score_group(const std::vector<std::string>& names, const char* folder = ".") {
  std::vector<std::string> rows;
  const std::string msa = read_file("../zf.afasta");
  for (const std::string& n : names) {
    const size_t at = msa.find(">" + n + ".pdb\n");
    EXPECT_NE(at, std::string::npos) << n;
    const size_t from = msa.find('\n', at) + 1;
    rows.push_back(msa.substr(from, msa.find('\n', from) - from));
  }
  std::vector<std::string> files;
  for (const std::string& n : names) files.push_back(n + ".ent");
  write_file("query.fa", fasta(files, rows));
  GroupRun r;
  _trel_msa* q = loadMSA("query.fa", "pdb", nullptr);
  EXPECT_NE(q, nullptr);
  if (!q) return r;
  Capture said;
  r.done = trel_analyseSABMARK(q, folder, nullptr);
  r.said = said.text;
  r.ref_id = q->ref_id;
  r.ref_rmsd = q->ref_rmsd;
  r.ref_pairs = q->ref_pairs;
  r.ref_afp = q->ref_afp;
  trel_freeMSA(q);
  return r;
}

// Columns where both rows of a pair file hold a residue, over all pair files.
int pairs_in_folder() {
  int total = 0;
  for (const auto& e : fs::directory_iterator(".")) {
    if (e.path().extension() != ".fasta") continue;
    const std::string t = read_file(e.path().string());
    std::vector<std::string> rows;
    size_t pos = 0;
    while ((pos = t.find('\n', t.find('>', pos))) != std::string::npos) {
      rows.push_back(t.substr(pos + 1, t.find('\n', pos + 1) - pos - 1));
      pos++;
    }
    for (size_t c = 0; c < rows[0].size(); c++) total += rows[0][c] != '-' && rows[1][c] != '-';
  }
  return total;
}

TEST(Sabmark, GroupMeasuredOverAllPairs) {
  TREL_REQUIRE_SHARED_DATA();
  fs::create_directories(fs::temp_directory_path());
  TempDir root;
  fs::copy(kFixtures + "sabmark", root.path / "sabmark", fs::copy_options::recursive);
  fs::copy_file(kFixtures + "zf.afasta", root.path / "sabmark" / "zf.afasta");
  const fs::path old = fs::current_path();
  fs::current_path(root.path / "sabmark" / "zf");
  const int total = pairs_in_folder();
  ASSERT_GT(total, 100);

  const std::vector<std::string> four = {"1ard", "1zaa1", "1sp1", "1znf"};
  GroupRun all = score_group(four);
  EXPECT_EQ(all.done, 1) << all.said;
  EXPECT_EQ(all.ref_id, 1);
  EXPECT_DOUBLE_EQ(all.ref_pairs, total / 6.0);
  EXPECT_GT(all.ref_rmsd, 0.3);
  EXPECT_LT(all.ref_rmsd, 4.0);
  EXPECT_GT(all.ref_afp, 0.0);

  // One file too many: refused before anything is loaded.
  write_file("zz_extra.fasta", read_file("1ard_1sp1.fasta"));
  GroupRun extra = score_group(four);
  EXPECT_EQ(extra.done, 0);
  EXPECT_EQ(extra.ref_id, -1);
  EXPECT_NE(extra.said.find("Found 7 SABMARK fasta files"), std::string::npos) << extra.said;
  fs::remove("zz_extra.fasta");

  // A pair file of three rows.
  const std::string kept = read_file("1ard_1sp1.fasta");
  write_file("1ard_1sp1.fasta", kept + ">1znf\nYKCGLCERSFVEKSALSRHQRVHKN\n");
  GroupRun three = score_group(four);
  EXPECT_EQ(three.done, 0);
  EXPECT_NE(three.said.find("has 3 structures (expected 2)"), std::string::npos) << three.said;
  write_file("1ard_1sp1.fasta", std::string("\x01\xfe>\0\n>", 6));  // byte garbage
  EXPECT_EQ(score_group(four).done, 0);
  write_file("1ard_1sp1.fasta", kept);

  // A member the query does not hold; then not a folder at all.
  fs::copy_file("1znf.ent", "other.ent");
  std::string renamed = read_file("1zaa1_1znf.fasta");
  renamed.replace(renamed.find(">1znf"), 5, ">other");
  write_file("1zaa1_1znf.fasta", renamed);
  GroupRun unmatched = score_group(four);
  EXPECT_EQ(unmatched.done, 0);
  EXPECT_NE(unmatched.said.find("Did not match REFERENCE member other"), std::string::npos) << unmatched.said;
  EXPECT_EQ(score_group(four, "no_such_folder").done, 0);

  // Two structures: one pair file, stored undivided.
  TempDir two;
  fs::copy_file("1ard_1sp1.fasta", two.path / "1ard_1sp1.fasta");
  fs::copy_file("1ard.ent", two.path / "1ard.ent");
  fs::copy_file("1sp1.ent", two.path / "1sp1.ent");
  fs::copy_file("../zf.afasta", two.path.parent_path() / "zf.afasta", fs::copy_options::overwrite_existing);
  fs::current_path(two.path);
  GroupRun pair = score_group({"1ard", "1sp1"});
  EXPECT_EQ(pair.done, 1) << pair.said;
  EXPECT_EQ(pair.ref_pairs, (double)pairs_in_folder());
  fs::remove(two.path.parent_path() / "zf.afasta");
  fs::current_path(old);
}

TEST(ReferenceCounts, FullRowsAndSequentialOrder) {
  // Three members, member 1 unmapped; row-major rows x members.
  const int member_row[3] = {0, -1, 2};
  const int eq_ok[3] = {1, 1, 0};
  const int eq_residue[9] = {4, 9, 7, 5, -1, 8, 6, 1, 2};
  const int eq_column[9] = {10, 3, 10, 11, -1, 12, 13, 0, 0};
  // Row 0 agrees, row 1 does not, row 2 is not usable.
  EXPECT_EQ(sisy_count_full(3, 3, member_row, eq_ok, eq_residue, eq_column), 1);
  EXPECT_EQ(sisy_check_sequential(1, 3, 3, member_row, eq_ok, eq_residue), 1);
  const int backwards[9] = {4, 9, 8, 5, -1, 7, 6, 1, 2};
  const int all_ok[3] = {1, 1, 1};
  Capture said;
  EXPECT_EQ(sisy_check_sequential(1, 3, 3, member_row, all_ok, backwards), 0);
  EXPECT_TRUE(said.has("non-sequential fragment at ID 1, row 2")) << said.text;
}

}  // namespace
