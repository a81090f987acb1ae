// Reference comparisons of the score mode on small real sets kept beside the
// tests (tests/msa/fixtures, made by make_fixtures.py): three cytochromes with
// a reference file of two alternatives, five superposed trypsins with their
// family alignment, and four zinc fingers with one pairwise reference file
// per pair. Known answers: an alignment equal to the reference keeps every
// equivalence or core column, one shifted residue loses exactly its own, a
// scrambled one keeps next to none; refusals leave the reference fields at
// their initial values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "msa/trel_msa_input.h"
#include "msa/trel_msa_reference.h"
#include "msa/trel_reference_measure.h"
#include "output/trel_run_options.h"
#include "structure/zam_pdb.h"

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

// The reference fields of a scored alignment, as the comparison left them.
struct RefFields {
  int ref_id = -1, query_eq = -1, ref_eq = -1, ref_sequential = 1;
  double ref_rmsd = 0, ref_pairs = 0, ref_viol = 0, ref_afp = -1;
  void take(const _trel_msa* q) {
    ref_id = q->ref_id;
    query_eq = q->query_eq;
    ref_eq = q->ref_eq;
    ref_sequential = q->ref_sequential;
    ref_rmsd = q->ref_rmsd;
    ref_pairs = q->ref_pairs;
    ref_viol = q->ref_viol;
    ref_afp = q->ref_afp;
  }
};

// Scores the given rows (structures "<name>.ent" here) against the family.
struct Scored : RefFields {
  int done = 0;
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
  r.take(q);
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

  // Refusals leave the fields untouched.
  auto refused = [&](const std::vector<std::string>& given, const char* message) {
    Capture said;
    const Scored r = score_family(fam.rows, given);
    EXPECT_EQ(r.done, 0) << message;
    EXPECT_EQ(r.ref_id, -1) << message;
    EXPECT_EQ(r.query_eq, -1) << message;
    EXPECT_TRUE(said.has(message)) << said.text;
  };
  // Only one member named as in the reference.
  files = {"1A0J_A.ent", "a.pdb", "b.pdb", "c.pdb", "d.pdb"};
  for (int s = 1; s < 5; s++) fs::copy_file(std::string(kTrypsins[s]) + ".ent", files[(size_t)s]);
  refused(files, "Less than 2 REFERENCE members match the QUERY MSA.");

  // A reference row whose structure file is gone: the family cannot be
  // measured over its rows (not a count of no core column).
  fs::create_directories("given");
  files.clear();
  for (const char* t : kTrypsins) {
    files.push_back(std::string("given/") + t + ".ent");
    fs::copy_file(std::string(t) + ".ent", files.back());
  }
  fs::remove("1A5I_A.ent");
  refused(files, "tryps.ali: no structure for row 1A5I_A");
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

  // A reference row with one letter more than its structure has residues
  // (as for a residue its file lacks) is refused, naming the file, the row
  // and the line where its letters run past the structure (its last line).
  const size_t row = good.find('-', good.find("structureX:1A5I_A"));
  write_file("tryps.ali", std::string(good).replace(row, 1, "G"));
  Capture said;
  const Scored longer = score_family(fam.rows);
  EXPECT_EQ(longer.done, 0);
  EXPECT_EQ(longer.ref_id, -1);
  EXPECT_TRUE(said.has("Row 1A5I_A (line 21 of tryps.ali) has ")) << said.text;
  EXPECT_TRUE(said.has("but its structure 1A5I_A.ent has only")) << said.text;
}

// The zinc-finger group: the query is the multiple alignment the pairs came from.
struct GroupRun : RefFields {
  int done = 0;
  std::string said;
};

GroupRun score_group(const std::vector<std::string>& names, const char* folder = ".", const char* ext = ".ent") {
  std::vector<std::string> rows;
  const std::string msa = read_file("../zf.afasta");
  for (const std::string& n : names) {
    const size_t at = msa.find(">" + n + ".pdb\n");
    EXPECT_NE(at, std::string::npos) << n;
    const size_t from = msa.find('\n', at) + 1;
    rows.push_back(msa.substr(from, msa.find('\n', from) - from));
  }
  std::vector<std::string> files;
  for (const std::string& n : names) files.push_back(n + ext);
  write_file("query.fa", fasta(files, rows));
  GroupRun r;
  _trel_msa* q = loadMSA("query.fa", "pdb", nullptr);
  EXPECT_NE(q, nullptr);
  if (!q) return r;
  Capture said;
  r.done = trel_analyseSABMARK(q, folder, nullptr);
  r.said = said.text;
  r.take(q);
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
  // Measured on the pairs as fitted: the overall RMSD is that of the fits.
  double sum = 0.0;
  int points = 0;
  const std::string fitted = "SABMARK pair fitted with Npts = ";
  for (size_t at = 0; (at = all.said.find(fitted, at)) != std::string::npos; at += fitted.size()) {
    int n = 0;
    double rms = 0.0;
    ASSERT_EQ(sscanf(all.said.c_str() + at + fitted.size(), "%d, RMSD = %lf", &n, &rms), 2);
    sum += n * rms * rms;
    points += n;
  }
  ASSERT_EQ(points, total);
  EXPECT_NEAR(all.ref_rmsd, std::sqrt(sum / points), 0.005);

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
  // A row one residue longer than its structure: refused by name.
  write_file("1ard_1sp1.fasta", std::string(kept).replace(kept.find("-\n"), 1, "G"));
  GroupRun longer = score_group(four);
  EXPECT_EQ(longer.done, 0);
  EXPECT_EQ(longer.ref_id, -1);
  EXPECT_NE(longer.said.find("Row 1ard (line 2 of "), std::string::npos) << longer.said;
  EXPECT_NE(longer.said.find("1ard_1sp1.fasta) has 30 residues, but its structure 1ard.ent has only 29"),
            std::string::npos) << longer.said;
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
  write_file("1zaa1_1znf.fasta", read_file("1zaa1_1znf.fasta").replace(renamed.find(">other"), 6, ">1znf"));
  fs::remove("other.ent");

  // A member matched by name whose own structure is missing is named as
  // such, in each pair file that holds it (the given rows read copies).
  for (const std::string& n : four) fs::copy_file(n + ".ent", n + ".pdb");
  fs::rename("1sp1.ent", "1sp1.away");
  GroupRun lost = score_group(four, ".", ".pdb");
  fs::rename("1sp1.away", "1sp1.ent");
  EXPECT_EQ(lost.done, 0);
  EXPECT_EQ(lost.ref_id, -1);
  for (const char* pair : {"1ard_1sp1.fasta", "1sp1_1znf.fasta", "1zaa1_1sp1.fasta"})
    EXPECT_NE(lost.said.find(std::string(pair) + ": no structure for member 1sp1"), std::string::npos) << lost.said;
  EXPECT_EQ(lost.said.find("Not all reference structures mapped"), std::string::npos) << lost.said;
  EXPECT_EQ(score_group(four, ".", ".pdb").done, 1);

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

// A relative folder is taken from the working folder, however long its path.
TEST(Sabmark, RelativeFolderUnderALongWorkingFolder) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir root;
  fs::path deep = root.path;
  while (deep.string().size() < 300) deep /= std::string(40, 'd');
  fs::create_directories(deep);
  fs::copy(kFixtures + "sabmark", deep, fs::copy_options::recursive);
  fs::copy_file(kFixtures + "zf.afasta", deep / "zf.afasta");
  const fs::path old = fs::current_path();
  fs::current_path(deep / "zf");
  GroupRun run = score_group({"1ard", "1zaa1", "1sp1", "1znf"}, ".");
  fs::current_path(old);
  EXPECT_EQ(run.done, 1) << run.said;
  EXPECT_EQ(run.ref_id, 1);
  // (A message is cut at 256 characters: the path's start is what shows.)
  EXPECT_NE(run.said.find("pairs in folder " + root.str() + "/ddd"), std::string::npos) << run.said;
}

// ---- SISY: three cytochromes and a reference file of two alternatives ----

const char* const kCytochromes[3] = {"d1u74d_", "d1m60a_", "d1lfma_"};

// One alternative of the fixture's reference file: its id and its rows of
// residue number texts, one per member.
struct SisyAlt {
  int id = 0;
  std::vector<std::vector<std::string>> rows;
};

std::vector<SisyAlt> read_alternatives(const std::string& file) {
  std::vector<SisyAlt> alts;
  for (const std::string& line : testutil::split_lines(read_file(file))) {
    if (line.rfind("<alternative", 0) == 0) {
      alts.push_back({});
      EXPECT_EQ(sscanf(line.c_str(), "<alternative id=\"%d\"", &alts.back().id), 1) << line;
    } else if (line.find("<mrow>") != std::string::npos && !alts.empty()) {
      std::vector<std::string> row;
      for (size_t at = 0; (at = line.find("<mres>", at)) != std::string::npos; at += 6)
        row.push_back(line.substr(at + 6, line.find(':', at) - at - 6));
      alts.back().rows.push_back(row);
    }
  }
  return alts;
}

// Residue ordinals by number text, and one-letter codes, of the members.
struct Members {
  std::vector<std::map<std::string, int>> ordinal;
  std::vector<std::string> letters;
};

Members read_members() {
  Members mem;
  for (const char* c : kCytochromes) {
    _pdb_image* image = zam_readPdb((std::string(c) + ".pdb").c_str(), nullptr);
    EXPECT_NE(image, nullptr) << c;
    std::map<std::string, int> ordinal;
    std::string letters;
    for (int r = 0; image && r < image->nres; r++) {
      ordinal[image->residues[r].resnum] = r;
      letters += image->residues[r].code[0];
    }
    mem.ordinal.push_back(ordinal);
    mem.letters.push_back(letters);
    zam_freePdb(image);
  }
  return mem;
}

// An alignment whose columns holding all three members are exactly the given
// rows; every other residue stands alone in its own column.
std::vector<std::string> align_rows(const Members& mem, const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::string> out(3);
  std::vector<int> next(3, 0);
  auto alone = [&](int m, int upto) {
    for (; next[(size_t)m] < upto; next[(size_t)m]++)
      for (int k = 0; k < 3; k++) out[(size_t)k] += k == m ? mem.letters[(size_t)m][(size_t)next[(size_t)m]] : '-';
  };
  for (const auto& row : rows) {
    for (int m = 0; m < 3; m++) alone(m, mem.ordinal[(size_t)m].at(row[(size_t)m]));
    for (int m = 0; m < 3; m++) out[(size_t)m] += mem.letters[(size_t)m][(size_t)next[(size_t)m]++];
  }
  for (int m = 0; m < 3; m++) alone(m, (int)mem.letters[(size_t)m].size());
  return out;
}

std::vector<std::string> fasta_letters(const std::string& file) {
  std::vector<std::string> rows;
  for (const std::string& line : testutil::split_lines(read_file(file)))
    if (!line.empty() && line[0] != '>') rows.push_back(line);
  return rows;
}

struct SisyScore : RefFields {
  int done = 0;
  bool restored = false;  // every structure back at its loaded coordinates
  std::string said;
  // The reference RMSD of each alternative, in file order.
  std::vector<double> rmsds() const {
    std::vector<double> out;
    const std::string key = "Overall REFERENCE RMSD (ALL PAIRS) is ";
    for (size_t at = 0; (at = said.find(key, at)) != std::string::npos; at += key.size())
      out.push_back(std::stod(said.substr(at + key.size())));
    return out;
  }
};

// Scores the given rows (structures named by files, default the members'
// own) against a reference file of the working folder.
SisyScore score_sisy(const std::vector<std::string>& rows, std::vector<std::string> files = {},
                     const char* sisy = "cytc.xml") {
  if (files.empty())
    for (const char* c : kCytochromes) files.push_back(std::string(c) + ".pdb");
  write_file("query.fasta", fasta(files, rows));
  SisyScore r;
  _trel_msa* q = loadMSA("query.fasta", "pdb", nullptr);
  EXPECT_NE(q, nullptr);
  if (!q) return r;
  std::vector<Point3D> before;
  for (int s = 0; s < q->n_struct; s++)
    for (int k = 0; q->images[s] && k < q->images[s]->nres; k++) before.push_back(zam_ptPdbResidue(q->images[s], k));
  {
    Capture said;
    r.done = trel_analyseSISY(q, sisy, nullptr);
    r.said = said.text;
  }
  size_t i = 0;
  r.restored = true;
  for (int s = 0; s < q->n_struct; s++)
    for (int k = 0; q->images[s] && k < q->images[s]->nres; k++, i++) {
      const Point3D p = zam_ptPdbResidue(q->images[s], k);
      r.restored = r.restored && p.x == before[i].x && p.y == before[i].y && p.z == before[i].z;
    }
  r.take(q);
  trel_freeMSA(q);
  return r;
}

// The rows of one alternative that the other lacks.
std::vector<std::vector<std::string>> rows_not_in(const SisyAlt& a, const SisyAlt& b) {
  const std::set<std::vector<std::string>> other(b.rows.begin(), b.rows.end());
  std::vector<std::vector<std::string>> out;
  for (const auto& r : a.rows)
    if (!other.count(r)) out.push_back(r);
  return out;
}

TEST(Sisy, IdenticalShiftedAndBestAlternative) {
  TREL_REQUIRE_SHARED_DATA();
  FixtureCopy here("sisy/cytc");
  const std::vector<SisyAlt> alts = read_alternatives("cytc.xml");
  ASSERT_EQ(alts.size(), 2u);
  const SisyAlt& shifted = alts[0];  // id 1: ten rows out of register, one row fewer
  const SisyAlt& exact = alts[1];    // id 2: every full column of cytc.fasta
  const int n1 = (int)shifted.rows.size(), n2 = (int)exact.rows.size();
  ASSERT_GT(n2, 90);
  ASSERT_EQ(n1, n2 - 1);
  const std::vector<std::string> given = fasta_letters("cytc.fasta");
  ASSERT_EQ(given.size(), 3u);

  // The alignment the equivalences come from: every row recovered, every
  // pair measured (per structure pair), none beyond 8 A; the structures are
  // put back afterwards. The register shift costs the other alternative RMSD.
  const SisyScore same = score_sisy(given);
  EXPECT_EQ(same.done, 1) << same.said;
  EXPECT_EQ(same.ref_id, 2);
  EXPECT_EQ(same.query_eq, n2);
  EXPECT_EQ(same.ref_eq, n2);
  EXPECT_DOUBLE_EQ(same.ref_pairs, n2);
  EXPECT_EQ(same.ref_viol, 0.0);
  EXPECT_EQ(same.ref_sequential, 1);
  EXPECT_GT(same.ref_rmsd, 0.3);
  EXPECT_LT(same.ref_rmsd, 2.0);
  EXPECT_TRUE(same.restored);
  const std::vector<double> rmsd = same.rmsds();
  ASSERT_EQ(rmsd.size(), 2u);
  EXPECT_GT(rmsd[0], rmsd[1] + 0.1);
  EXPECT_NEAR(same.ref_rmsd, rmsd[1], 0.005);
  EXPECT_TRUE(same.said.find("SISY ID = 2, iteration = 3, np = " + std::to_string(n2)) != std::string::npos);

  // The third row slid one column along from the 61st full column on:
  // exactly the rows whose residue of it moved are lost; the reference
  // itself is measured as before.
  int full = 0, from = -1;
  for (size_t c = 0; c < given[0].size() && from < 0; c++)
    if (given[0][c] != '-' && given[1][c] != '-' && given[2][c] != '-' && full++ == 60) from = (int)c;
  ASSERT_GT(from, 0);
  ASSERT_EQ(given[2].back(), '-');
  std::vector<std::string> slid = given;
  slid[2] = given[2].substr(0, (size_t)from) + "-" + given[2].substr((size_t)from, given[2].size() - from - 1);
  const SisyScore moved = score_sisy(slid);
  EXPECT_EQ(moved.ref_id, 2);
  EXPECT_EQ(moved.query_eq, 60);
  EXPECT_EQ(moved.ref_eq, n2);
  EXPECT_DOUBLE_EQ(moved.ref_pairs, n2);
  EXPECT_NEAR(moved.ref_rmsd, same.ref_rmsd, 1e-9);

  // Residues scattered over the columns in order at random: next to none.
  std::mt19937 rng(11);
  std::vector<std::string> scattered;
  for (const std::string& r : given) {
    std::string letters, out;
    for (char ch : r)
      if (ch != '-') letters += ch;
    std::vector<int> take(r.size() + 40, 0);
    std::fill(take.begin(), take.begin() + (long)letters.size(), 1);
    std::shuffle(take.begin(), take.end(), rng);
    size_t k = 0;
    for (int t : take) out += t ? letters[k++] : '-';
    scattered.push_back(out);
  }
  const SisyScore random = score_sisy(scattered);
  EXPECT_EQ(random.done, 1);
  EXPECT_LE(random.query_eq, 3);
  EXPECT_EQ(random.ref_eq, random.ref_id == 1 ? n1 : n2);

  // Most rows reproduced wins over a lower RMSD: the alignment made from the
  // shifted alternative keeps all its rows and the other loses eleven.
  const SisyScore by_rows = score_sisy(align_rows(read_members(), shifted.rows));
  EXPECT_EQ(by_rows.ref_id, 1);
  EXPECT_EQ(by_rows.query_eq, n1);
  EXPECT_EQ(by_rows.ref_eq, n1);
  EXPECT_NEAR(by_rows.ref_rmsd, rmsd[0], 0.005);

  // A tie (neither alternative's own rows aligned): the lower RMSD wins,
  // whichever comes first; an equal one later does not replace it.
  std::vector<std::vector<std::string>> common;
  const auto only_exact = rows_not_in(exact, shifted);
  ASSERT_EQ(only_exact.size(), 11u);
  ASSERT_EQ(rows_not_in(shifted, exact).size(), 10u);
  for (const auto& r : exact.rows)
    if (std::find(only_exact.begin(), only_exact.end(), r) == only_exact.end()) common.push_back(r);
  const std::vector<std::string> tied = align_rows(read_members(), common);
  const SisyScore tie = score_sisy(tied);
  EXPECT_EQ(tie.query_eq, n2 - 11);
  EXPECT_EQ(tie.ref_id, 2);
  EXPECT_EQ(tie.ref_eq, n2);

  const std::string text = read_file("cytc.xml");
  const size_t a1 = text.find("<alternative id=\"1\""), a2 = text.find("<alternative id=\"2\"");
  const size_t end = text.find("</multiple-alignment>");
  const std::string head = text.substr(0, a1), alt1 = text.substr(a1, a2 - a1), alt2 = text.substr(a2, end - a2);
  write_file("swapped.xml", head + alt2 + alt1 + "</multiple-alignment>\n");
  EXPECT_EQ(score_sisy(tied, {}, "swapped.xml").ref_id, 2);
  std::string again = alt2;
  again.replace(0, again.find('>'), "<alternative id=\"7\" rows=\"" + std::to_string(n2) + "\"");
  write_file("twice.xml", head + alt2 + again + "</multiple-alignment>\n");
  const SisyScore twice = score_sisy(given, {}, "twice.xml");
  EXPECT_EQ(twice.done, 1) << twice.said;
  EXPECT_EQ(twice.ref_id, 2);
  EXPECT_EQ(twice.rmsds().size(), 2u);
}

TEST(Sisy, MissingResidueDecoratedNamesAndUnmappedMembers) {
  TREL_REQUIRE_SHARED_DATA();
  FixtureCopy here("sisy/cytc");
  const std::vector<SisyAlt> alts = read_alternatives("cytc.xml");
  ASSERT_EQ(alts.size(), 2u);
  const int n2 = (int)alts[1].rows.size();
  const std::vector<std::string> given = fasta_letters("cytc.fasta");

  // Rows named with the program's suffixes still match their members.
  const std::vector<std::string> decorated = {"d1u74d__multi.pdb", "d1m60a__pivot.pdb", "d1lfma__query.pdb"};
  for (int m = 0; m < 3; m++) fs::copy_file(std::string(kCytochromes[m]) + ".pdb", decorated[(size_t)m]);
  const SisyScore named = score_sisy(given, decorated);
  EXPECT_EQ(named.done, 1) << named.said;
  EXPECT_EQ(named.query_eq, n2);
  EXPECT_TRUE(named.said.find("Mapping MSA structure d1m60a__pivot to SISY member d1m60a_") != std::string::npos);

  // d1m60a_ with the residues of the rows from..to-1 of alternative 2
  // numbered 1000 higher: the reference no longer names them.
  fs::create_directories("renumbered");
  auto renumber = [&](int from, int to) {
    std::set<std::string> moved;
    for (int r = from; r < to; r++) moved.insert(alts[1].rows[(size_t)r][1]);
    std::string pdb;
    for (const std::string& line : testutil::split_lines(read_file("d1m60a_.pdb"))) {
      std::string l = line;
      if (l.rfind("ATOM", 0) == 0 && l.size() > 27) {
        std::string label = l.substr(22, 5);
        label.erase(std::remove(label.begin(), label.end(), ' '), label.end());
        if (moved.count(label)) l.replace(22, 4, std::to_string(std::stoi(label) + 1000));
      }
      pdb += l + "\n";
    }
    write_file("renumbered/d1m60a_.pdb", pdb);
  };
  const std::vector<std::string> renumbered = {"d1u74d_.pdb", "renumbered/d1m60a_.pdb", "d1lfma_.pdb"};

  // A residue number that d1m60a_ lacks: its row leaves the fits, the
  // measures and the count of the alternatives that hold it.
  const std::string number = alts[1].rows[50][1];
  renumber(50, 51);
  const SisyScore missing = score_sisy(given, renumbered);
  EXPECT_EQ(missing.done, 1) << missing.said;
  EXPECT_TRUE(missing.said.find("Ignoring SISY d1m60a_[A:" + number + "-") != std::string::npos) << missing.said;
  EXPECT_EQ(missing.ref_id, 2);
  EXPECT_EQ(missing.ref_eq, n2);
  EXPECT_EQ(missing.query_eq, n2 - 1);
  EXPECT_DOUBLE_EQ(missing.ref_pairs, n2 - 1);
  EXPECT_TRUE(missing.said.find("SISY ID = 2, iteration = 3, np = " + std::to_string(n2 - 1) + ",") !=
              std::string::npos);

  // Alternative 2 alone: when fewer than half of its rows are residues of
  // the given structures, it describes other structures and is refused.
  const std::string text = read_file("cytc.xml");
  std::string head = text.substr(0, text.find("<alternative"));
  head.replace(head.find("alternatives=\"2\""), 16, "alternatives=\"1\"");
  write_file("alt2.xml", head + text.substr(text.find("<alternative id=\"2\"")));
  for (const int kept : {(n2 + 1) / 2, (n2 - 1) / 2}) {
    renumber(kept, n2);
    const SisyScore r = score_sisy(given, renumbered, "alt2.xml");
    EXPECT_EQ(r.done, 2 * kept >= n2) << r.said;
    EXPECT_EQ(r.query_eq, 2 * kept >= n2 ? kept : -1);
    const std::string refusal = "only " + std::to_string(kept) + " of its " + std::to_string(n2) + " rows";
    EXPECT_EQ(r.said.find(refusal) != std::string::npos, 2 * kept < n2);
  }

  // Two of the three members given: the third is reported and left out; the
  // centroid is that of the two (each member half the pair's RMSD from it)
  // and the values are those of their one pair.
  const SisyScore two = score_sisy({given[0], given[1]}, {"d1u74d_.pdb", "d1m60a_.pdb"});
  EXPECT_EQ(two.done, 1) << two.said;
  EXPECT_TRUE(two.said.find("n_member=3 in SISY cytc.xml does NOT match n_struct=2 in MSA.") != std::string::npos);
  EXPECT_TRUE(two.said.find("Member d1lfma_, in file cytc.xml NOT found in MSA") != std::string::npos);
  EXPECT_EQ(two.query_eq, n2);
  EXPECT_DOUBLE_EQ(two.ref_pairs, n2);
  const std::string key = "SISY ID = 2, iteration = 3, np = " + std::to_string(n2) + ", Centroid RMSD = ";
  const size_t at = two.said.find(key);
  ASSERT_NE(at, std::string::npos) << two.said;
  EXPECT_NEAR(std::stod(two.said.substr(at + key.size())), two.ref_rmsd / 2, 0.002);

  // A member whose row is given without its structure file would leave the
  // reference measured over the others: each such member is named and the
  // comparison refused, the fields untouched.
  const SisyScore lost = score_sisy(given, {"gone/d1u74d_.pdb", "d1m60a_.pdb", "gone/d1lfma_.pdb"});
  EXPECT_EQ(lost.done, 0);
  for (const char* member : {"d1u74d_", "d1lfma_"})
    EXPECT_TRUE(lost.said.find(std::string("cytc.xml: no structure for member ") + member) != std::string::npos)
        << lost.said;
  EXPECT_EQ(lost.ref_id, -1);
  EXPECT_EQ(lost.query_eq, -1);
  EXPECT_EQ(lost.said.find("SISY ID ="), std::string::npos) << lost.said;
  EXPECT_TRUE(lost.said.find("SISY comparison not possible.") != std::string::npos);
}

TEST(Sisy, CorruptReferenceFilesAreRefused) {
  TREL_REQUIRE_SHARED_DATA();
  FixtureCopy here("sisy/cytc");
  const std::vector<std::string> given = fasta_letters("cytc.fasta");
  const std::string good = read_file("cytc.xml");
  auto with = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    const size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? t : t.replace(at, from.size(), to);
  };
  const size_t alt2 = good.find("<alternative id=\"2\"");
  const size_t row = good.find("  <mrow>"), row_end = good.find('\n', row);
  std::string one_cell = good;
  one_cell.replace(row, row_end - row, "  <mrow><mres>1:A:A</mres></mrow>");
  struct Case {
    std::string text, message;
    int ref_id;  // what the fields hold afterwards: the alternatives read before the fault
  };
  const std::vector<Case> cases = {
      {std::string("\0\xff\x01<multi\"3\"\n\x80", 14), "Failed to read SISY file: cytc.xml", -1},
      {with("alternatives=\"2\"", "alternatives=\"0\""), "Bad n_alt = 0 in file cytc.xml, line 2", -1},
      {with("alternatives=\"2\"", "alternatives=\"100\""), "Bad n_alt = 100 in file cytc.xml", -1},
      {with("alternatives=\"2\"", "alternatives=\"0x63\""), "Failed to find <alternative> in cytc.xml", 2},
      {with("<members>", "<memberz>"), "Failed to find <members> in cytc.xml (after line ", -1},
      {with("  <member>d1m60a_</member>", "  d1m60a_"), "Failed to read <member> in cytc.xml, line 5", -1},
      {with("<member>d1lfma_</member>", "<member>d1m60a_</member>"),
       "members 2 (d1m60a_) and 3 (d1m60a_) are both structure d1m60a_", -1},
      {with("members=\"3\"", "members=\"99999999999\""), "Failed to read <member> in cytc.xml", -1},
      {good.substr(0, good.size() / 4), "Failed to <row> of SISY file: cytc.xml", -1},
      {good.substr(0, good.find("</mres></mrow>", good.size() / 4)), "Failed to <row> of SISY file: cytc.xml", -1},
      {one_cell, "Failed to <row> of SISY file: cytc.xml, line 10", -1},
      {good.substr(0, alt2) + good.substr(alt2).replace(good.substr(alt2).find("<mequivalences>"), 15, "<equivalences>"),
       "Failed to find <mequivalences> in cytc.xml", 1},
      {with("<alternative id=\"1\" rows=\"", "<alternative id=\"1\" rows=\"-5\" was=\""),
       "Bad n_eq = -5 in file cytc.xml, line 8", -1},
  };
  for (const Case& c : cases) {
    write_file("cytc.xml", c.text);
    const SisyScore r = score_sisy(given);
    EXPECT_EQ(r.done, 0) << c.message;
    EXPECT_EQ(r.ref_id, c.ref_id) << c.message;
    EXPECT_TRUE(r.restored) << c.message;
    EXPECT_TRUE(r.said.find(c.message) != std::string::npos) << c.message << "\n" << r.said;
    EXPECT_TRUE(r.said.find("SISY comparison not possible.") != std::string::npos) << c.message;
  }
  fs::remove("cytc.xml");
  const SisyScore none = score_sisy(given);
  EXPECT_EQ(none.done, 0);
  EXPECT_TRUE(none.said.find("Failed to open SISY file: cytc.xml") != std::string::npos);

  // Bytes changed, dropped and cut at random: refused or compared, never a
  // crash, and the structures always put back.
  std::mt19937 rng(23);
  const std::string marks = std::string("<>\":/ \n0-9x", 11) + std::string(1, '\0');
  for (int trial = 0; trial < 60; trial++) {
    std::string t = good;
    for (int k = 0; k < 8; k++) {
      const size_t at = rng() % t.size();
      switch (rng() % 3) {
        case 0: t[at] = marks[rng() % marks.size()]; break;
        case 1: t.erase(at, 1 + rng() % 20); break;
        default: t[at] = (char)(rng() % 256); break;
      }
    }
    if (trial % 4 == 0) t.resize(rng() % t.size());
    write_file("cytc.xml", t);
    const SisyScore r = score_sisy(given);
    EXPECT_TRUE(r.done == 0 || r.done == 1);
    EXPECT_TRUE(r.restored) << trial;
    if (r.ref_id == -1) {
      EXPECT_EQ(r.query_eq, -1) << trial;
    }
  }
}

// The reference's results are named by its file, packed or not; a job name
// takes over.
TEST(ReferenceCounts, RunNameOfPlainAndPackedFiles) {
  EXPECT_EQ(ref_run_name("sets/v1.2/tryps.ali", nullptr), "tryps");
  EXPECT_EQ(ref_run_name("sets/v1.2/tryps.ali.gz", nullptr), "tryps");
  EXPECT_EQ(ref_run_name("cytc.xml.bz2", nullptr), "cytc");
  EXPECT_EQ(ref_run_name("cytc.gz", nullptr), "cytc");
  EXPECT_EQ(ref_run_name("cytc.xml.gzip", nullptr), "cytc.xml");
  _trel_options o{};
  o.job_name = "mine";
  EXPECT_EQ(ref_run_name("cytc.xml.gz", &o), "mine");
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
  // Pairs in one column over usable rows (row 0 only); flags set.
  EXPECT_EQ(sisy_count_pairs(3, 3, member_row, eq_ok, eq_residue, eq_column), 1);
  EXPECT_EQ(sisy_count_ok(3, eq_ok), 2);
}

TEST(ReferenceCounts, AfpsRunWithinBlocksOfConsecutiveResidues) {
  TREL_REQUIRE_SHARED_DATA();
  FixtureCopy here("sisy/cytc");
  write_file("self.fasta", ">d1u74d_.pdb\nTEFKAGSAKK\n>d1u74d_.pdb\nTEFKAGSAKK\n");
  _trel_msa* msa = loadMSA("self.fasta", "pdb", nullptr);
  ASSERT_NE(msa, nullptr);
  ASSERT_TRUE(msa->images[0] && msa->images[1]);
  // Row 1's copy has residue 4 moved 10 A away: its row is no longer close.
  zam_movePdbResidue(msa->images[1], 4, tf_translate(Point3D{10.0, 0.0, 0.0}));
  const int member_row[2] = {0, 1};
  char flags[9];
  auto afps = [&](const std::vector<int>& rows) {
    return sisy_count_afps(msa, 0, 1, 12.25, 2, (int)rows.size() / 2, member_row, rows.data(), flags);
  };
  EXPECT_EQ(afps({0, 0, 1, 1}), 0);                                      // two close rows
  EXPECT_EQ(afps({0, 0, 1, 1, 2, 2}), 1);                                // three
  EXPECT_EQ(afps({0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8}), 2);  // broken by row 4
  EXPECT_EQ(afps({0, 0, 1, 1, 2, 2, 3, 3, 5, 5, 6, 6, 7, 7}), 2);        // a skipped residue ends a block
  EXPECT_EQ(afps({0, 0, 1, 1, -1, 2, 2, 2, 3, 3, 5, 5}), 0);             // an unset residue ends a block
  const int unmapped[2] = {0, -1};
  const std::vector<int> three = {0, 0, 1, 1, 2, 2};
  EXPECT_EQ(sisy_count_afps(msa, 0, 1, 12.25, 2, 3, unmapped, three.data(), flags), 0);
  trel_freeMSA(msa);
}

}  // namespace
