// The "-score" mode as a user runs it: alignments written by "-multi" for
// zinc fingers and trypsins (FASTA and PIR, each keeping its own summary),
// structure-based alignments of cytochromes and trypsins from the shared
// data, one unified PDB file (a chain per row, and the model per row the tool
// writes itself, fed back), rmt transforms and a matrix that cannot be read,
// odd letters, unequal rows, a single record, binary bytes, a failing file,
// structure files found gzipped or bzip2-packed, too few structures, and a
// results folder that is the input folder.
// The ".ksum" row of a three-row alignment is checked against values
// recomputed here from the structures and the alignment. Cytochromes are
// compared with a SISY-style reference file of the test fixtures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"
#include "runtime/zam_file.h"
#include "structure/zam_pdb.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;
using testutil::write_file;

// A gzip file of the shared data, unpacked to plain text.
std::string gunzip(const std::string& file) {
  _zam_file* f = zam_fopen(file.c_str(), "r");
  std::string text;
  if (!f) return text;
  for (int c; (c = zam_fgetc(f)) >= 0;) text += (char)c;
  zam_fclose(f);
  return text;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string f; std::getline(in, f, ',');) {
    const size_t a = f.find_first_not_of(" \n"), b = f.find_last_not_of(" \n");
    out.push_back(a == std::string::npos ? "" : f.substr(a, b - a + 1));
  }
  return out;
}

std::vector<std::string> lines(const std::string& text) { return testutil::split_lines(text); }

// Rows of a FASTA alignment: header token and letters.
std::vector<std::pair<std::string, std::string>> fasta_rows(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const std::string& l : lines(text)) {
    if (l.empty()) continue;
    if (l[0] == '>') {
      rows.push_back({l.substr(1, l.find(' ') - 1), ""});
    } else if (!rows.empty()) {
      rows.back().second += l;
    }
  }
  return rows;
}

// Runs "-multi" on the zinc fingers or trypsins copied into dir; returns the
// results folder of the kept pivot.
std::string multi(const TempDir& dir, const std::vector<std::string>& files, std::string* log) {
  std::vector<std::string> args = {"-multi"};
  args.insert(args.end(), files.begin(), files.end());
  const Outcome r = testutil::run_trel2(dir.str(), args, {"TREL_RESULTS=res"});
  EXPECT_EQ(r.status, 0) << r.out;
  *log = read_file(dir.file("res/trel.log"));
  for (const auto& e : fs::directory_iterator(dir.file("res")))
    if (e.is_directory()) return e.path().string();
  return {};
}

struct Recomputed {
  int full = 0, pairs = 0, ident = 0, afps = 0, viol = 0;
  double full_rmsd = 0;       // root of the mean over full columns of (sum of pair d2) / rows
  double mean_pair_rmsd = 0;  // mean over pairs of each pair's RMSD over the full columns
  std::vector<int> lengths;
};

// Every measure of the ".ksum" row from the structures and letters, done
// here without the tool's code: CA of a residue is its atom named "CA".
Recomputed recompute(const std::string& folder, const std::vector<std::pair<std::string, std::string>>& rows) {
  Recomputed r;
  const int n = (int)rows.size();
  std::vector<std::vector<std::array<double, 3>>> ca(n);
  std::vector<std::vector<std::string>> resname(n);
  for (int s = 0; s < n; s++) {
    _pdb_image* image = zam_readPdb((folder + "/" + rows[(size_t)s].first + ".pdb").c_str(), nullptr);
    EXPECT_NE(image, nullptr) << rows[(size_t)s].first;
    if (!image) return r;
    r.lengths.push_back(image->nres);
    for (int i = 0; i < image->nres; i++) {
      std::array<double, 3> p{0, 0, 0};
      for (int a = image->residues[i].first; a <= image->residues[i].last; a++)
        if (std::string(image->atoms[a].name) == "CA") {
          p = {image->atoms[a].x, image->atoms[a].y, image->atoms[a].z};
          break;
        }
      ca[(size_t)s].push_back(p);
      resname[(size_t)s].push_back(image->residues[i].resname);
    }
    zam_freePdb(image);
  }
  const int cols = (int)rows[0].second.size();
  std::vector<std::vector<int>> index(n, std::vector<int>(cols, -1));
  for (int s = 0; s < n; s++)
    for (int c = 0, k = 0; c < cols; c++)
      if (rows[(size_t)s].second[(size_t)c] != '-') index[(size_t)s][(size_t)c] = k++;
  auto d2 = [&](int a, int b, int c) {
    const auto& x = ca[(size_t)a][(size_t)index[(size_t)a][(size_t)c]];
    const auto& y = ca[(size_t)b][(size_t)index[(size_t)b][(size_t)c]];
    return (x[0] - y[0]) * (x[0] - y[0]) + (x[1] - y[1]) * (x[1] - y[1]) + (x[2] - y[2]) * (x[2] - y[2]);
  };
  std::vector<int> full;
  for (int c = 0; c < cols; c++) {
    bool all = true;
    for (int s = 0; s < n; s++) all = all && index[(size_t)s][(size_t)c] >= 0;
    if (all) full.push_back(c);
  }
  r.full = (int)full.size();
  double sum_full = 0, sum_pair_rmsd = 0;
  for (int a = 0; a < n; a++)
    for (int b = a + 1; b < n; b++) {
      int run = 0;
      for (int c = 0; c <= cols; c++) {
        const bool both = c < cols && index[(size_t)a][(size_t)c] >= 0 && index[(size_t)b][(size_t)c] >= 0;
        const double d = both ? d2(a, b, c) : 1e9;
        if (both) {
          r.pairs++;
          r.viol += d > 64.0;
          r.ident += resname[(size_t)a][(size_t)index[(size_t)a][(size_t)c]] ==
                     resname[(size_t)b][(size_t)index[(size_t)b][(size_t)c]];
        }
        if (d <= 12.25) {
          run++;
        } else {
          r.afps += run >= 3;
          run = 0;
        }
      }
      double pair = 0;
      for (int c : full) pair += d2(a, b, c);
      sum_full += pair;
      sum_pair_rmsd += std::sqrt(pair / full.size());
    }
  r.full_rmsd = std::sqrt(sum_full / n / full.size());
  r.mean_pair_rmsd = sum_pair_rmsd / (n * (n - 1) / 2);
  return r;
}

double number_after(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? -1.0 : std::stod(text.substr(at + key.size()));
}

void copy_zinc(const TempDir& dir, const std::vector<std::string>& names) {
  for (const std::string& n : names)
    fs::copy_file(shared_pdb("mustang-testdata/" + n + ".pdb"), dir.file(n + ".pdb"));
}

TEST(ScoreMode, ZincFingerMultiAlignmentScoredFromFastaAndPir) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  copy_zinc(dir, {"1ard", "1bboN", "1paa"});
  std::string multi_log;
  const std::string folder = multi(dir, {"1ard.pdb", "1bboN.pdb", "1paa.pdb"}, &multi_log);
  ASSERT_FALSE(folder.empty());
  const std::string pivot = fs::path(folder).filename().string();
  // core 100: the CORE columns of the row are the full columns.
  const Outcome r = testutil::run_trel2(folder, {"-score", "-core=100", pivot + "_multi.fasta", pivot + "_multi.pir"},
                        {"TREL_RESULTS=out"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string log = read_file(folder + "/out/trel.log");
  EXPECT_TRUE(has(log, "Total differences = ZERO")) << log;

  const auto rows = fasta_rows(read_file(folder + "/" + pivot + "_multi.fasta"));
  ASSERT_EQ(rows.size(), 3u);
  const std::string out = folder + "/out/";
  for (const char* f :
       {"_msa.kmsa", "_msa.fasta", "_msa.pir", "_msa.kalign", "_msa_rainbow.pdb", "_msa_rainbow.mac",
        "_msa_rainbow.tcl", "_msa_rainbow_00001.pdb", "_msa_rainbow_00003.pdb", "_pivot.pdb", ".ksum"})
    EXPECT_TRUE(fs::exists(out + pivot + f)) << f;
  for (int s = 1; s < 3; s++)
    for (const char* f : {".pdb", ".kpairs", ".kalign", ".krmsd", ".fasta", ".pir"})
      EXPECT_TRUE(fs::exists(out + rows[(size_t)s].first + "_" + pivot + f)) << rows[(size_t)s].first << f;
  EXPECT_EQ(lines(read_file(out + "00_header.ksum")).size(), 1u);

  // Both alignments start with the pivot: the PIR one keeps its own summary
  // under the next free name, with the same measures.
  const std::vector<std::string> ksum = lines(read_file(out + pivot + ".ksum"));
  ASSERT_EQ(ksum.size(), 1u);
  const std::vector<std::string> pir = lines(read_file(out + pivot + "_2.ksum"));
  ASSERT_EQ(pir.size(), 1u);
  EXPECT_EQ(pir[0], pivot + "_2" + ksum[0].substr(pivot.size()));
  EXPECT_TRUE(fs::exists(out + pivot + "_2_msa.kmsa"));
  EXPECT_TRUE(fs::exists(out + rows[1].first + "_" + pivot + "_2.kpairs"));
  const std::vector<std::string> f = fields(ksum[0]);
  ASSERT_EQ(f.size(), 23u);
  const Recomputed want = recompute(folder, rows);
  ASSERT_EQ(want.lengths.size(), 3u);
  const double pairs_per = 3.0;  // structure pairs of three rows
  EXPECT_EQ(f[0], pivot);
  EXPECT_EQ(std::stoi(f[1]), 3);
  EXPECT_EQ(std::stoi(f[2]), *std::min_element(want.lengths.begin(), want.lengths.end()));
  EXPECT_EQ(std::stoi(f[3]), *std::max_element(want.lengths.begin(), want.lengths.end()));
  EXPECT_EQ(std::stoi(f[4]), want.full);
  EXPECT_NEAR(std::stod(f[5]), want.full_rmsd, 0.0015);
  EXPECT_NEAR(std::stod(f[6]), number_after(read_file(folder + "/" + pivot + ".kmulti"), "#Mscore:"), 0.0015);
  EXPECT_NEAR(std::stod(f[8]), want.pairs / pairs_per, 0.006);
  EXPECT_NEAR(std::stod(f[9]), want.ident / pairs_per, 0.006);
  EXPECT_NEAR(std::stod(f[10]), want.afps / pairs_per, 0.006);
  EXPECT_NEAR(std::stod(f[11]), want.viol / pairs_per, 0.006);
  EXPECT_GT(want.afps, 0);
  // No reference analysis: its fields keep their initial values.
  const std::vector<std::string> ref = {"-1", "-1", "-1", "0.000", "0.000", "0.000", "0.00", "-1.00", "-1.00",
                                        "0.00", "1"};
  EXPECT_EQ(std::vector<std::string>(f.begin() + 12, f.end()), ref);

  // "-multi" reports the mean over structure pairs of each pair's RMSD over
  // the full columns; the score mode reports the root of the mean over those
  // columns of (summed pair d2) / rows. With three rows (three pairs) that is
  // the root mean square of the pair RMSDs, which is never below their mean
  // and equals it only when all pairs agree; with N rows it carries a further
  // factor sqrt((N - 1) / 2).
  EXPECT_NEAR(number_after(multi_log, "mean pairwise CA RMSD over them = "), want.mean_pair_rmsd, 0.0015);
  EXPECT_NEAR(number_after(log, "(N==3) is "), want.full, 0.0);
  EXPECT_GE(want.full_rmsd + 1e-9, want.mean_pair_rmsd);
}

TEST(ScoreMode, TrypsinMultiAlignmentScoredFromFastaAndPir) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::vector<std::string> ids = {"1A0J_A", "1AN1_E", "1BZX_E"};
  std::vector<std::string> files;
  for (const std::string& id : ids) {
    write_file(dir.file(id + ".pdb"), gunzip(shared_pdb("theseus-examples/trypsins/" + id + ".pdb.gz")));
    files.push_back(id + ".pdb");
  }
  std::string multi_log;
  const std::string folder = multi(dir, files, &multi_log);
  ASSERT_FALSE(folder.empty());
  const std::string pivot = fs::path(folder).filename().string();
  for (const std::string ext : {".fasta", ".pir"}) {
    const Outcome r = testutil::run_trel2(folder, {"-score", pivot + "_multi" + ext}, {"TREL_RESULTS=out" + ext});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string log = read_file(folder + "/out" + ext + "/trel.log");
    EXPECT_TRUE(has(log, "Analysing QUERY MSA (3 structures")) << ext;
    EXPECT_TRUE(has(log, "Total differences = ZERO")) << ext;
    const std::vector<std::string> f = fields(read_file(folder + "/out" + ext + "/" + pivot + ".ksum"));
    ASSERT_EQ(f.size(), 23u);
    EXPECT_GT(std::stod(f[8]), 150.0) << "aligned pairs per structure pair";
    EXPECT_LT(std::stod(f[5]), 3.0) << "core RMSD of superposed trypsins";
  }
  EXPECT_EQ(read_file(folder + "/out.fasta/" + pivot + ".ksum"), read_file(folder + "/out.pir/" + pivot + ".ksum"));
}

// The cytochrome alignment of the shared data (CLUSTAL blocks, rows named
// through the file map) and a subset of the trypsin alignment, scored with
// one job name: one ".ksum" file with a row per alignment. One cytochrome
// has a modified lysine (a HETATM residue, no residue of its structure) where
// its row has an 'X': as given, that row runs one residue past its structure
// and the alignment is refused; with the 'X' made a gap it is scored.
TEST(ScoreMode, SharedStructureAlignmentsUnderOneJobName) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string cyt = shared_pdb("theseus-examples/cytochromes/");
  std::map<std::string, std::string> file_of;
  for (const std::string& l : lines(read_file(cyt + "cytc.filemap"))) {
    std::istringstream in(l);
    std::string file, name;
    if (in >> file >> name) file_of[file] = file;
  }
  std::map<std::string, std::string> letters;
  std::vector<std::string> order;
  for (const std::string& l : lines(read_file(cyt + "cytc.aln"))) {
    std::istringstream in(l);
    std::string name, seq;
    if (!(in >> name >> seq) || !file_of.count(name)) continue;
    if (!letters.count(name)) order.push_back(name);
    letters[name] += seq;
  }
  ASSERT_EQ(order.size(), 10u);
  std::string fasta, given;
  for (const std::string& name : order) {
    write_file(dir.file(file_of[name]), gunzip(cyt + file_of[name] + ".gz"));
    given += ">" + file_of[name] + "\n" + letters[name] + "\n";
    std::string row = letters[name];
    if (name == "d1kyow_.pdb") {
      ASSERT_EQ(std::count(row.begin(), row.end(), 'X'), 1);
      row[row.find('X')] = '-';
    }
    fasta += ">" + file_of[name] + "\n" + row + "\n";
  }
  write_file(dir.file("cytc.fasta"), fasta);
  write_file(dir.file("given.fasta"), given);
  Outcome r = testutil::run_trel2(dir.str(), {"-score", "given.fasta"}, {"TREL_RESULTS=given"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(read_file(dir.file("given/trel.log.1")),
                  "Row d1kyow_ (line 12 of given.fasta) has 108 residues, but its structure d1kyow_.pdb has only 107"));
  EXPECT_FALSE(fs::exists(dir.file("given/d1yeb__.ksum")));

  const std::string tryps = gunzip(shared_pdb("theseus-examples/trypsins/tryps.a2m.gz"));
  std::string subset;
  int records = 0;
  for (const std::string& l : lines(tryps)) {
    if (!l.empty() && l[0] == '>' && ++records > 4) break;
    // Rows name "1A0J_A.pdb": the files are found gzipped (as in the shared
    // data) or, for the second, bzip2-packed.
    if (!l.empty() && l[0] == '>') {
      const std::string file = l.substr(1), gz = shared_pdb("theseus-examples/trypsins/" + file + ".gz");
      if (records != 2) fs::copy_file(gz, dir.file(file + ".gz"));
      _zam_file* f = records == 2 ? zam_fopen(dir.file(file + ".bz2").c_str(), "w") : nullptr;
      const std::string text = f ? gunzip(gz) : "";
      if (f) {
        ASSERT_EQ(zam_fwrite(f, text.data(), (int64_t)text.size()) + zam_fclose(f), (int64_t)text.size());
      }
    }
    subset += l + "\n";
  }
  write_file(dir.file("tryps4.a2m"), subset);

  r = testutil::run_trel2(dir.str(), {"-score", "-job=both", "cytc.fasta", "tryps4.a2m"}, {"TREL_RESULTS=out"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string log = read_file(dir.file("out/trel.log"));
  EXPECT_TRUE(has(log, "Analysing QUERY MSA (10 structures")) << log;
  EXPECT_TRUE(has(log, "Analysing QUERY MSA (4 structures")) << log;
  const std::vector<std::string> rows = lines(read_file(dir.file("out/both.ksum")));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(std::stoi(fields(rows[0])[1]), 10);
  EXPECT_EQ(std::stoi(fields(rows[1])[1]), 4);
  EXPECT_EQ(lines(read_file(dir.file("out/00_header.ksum"))).size(), 1u);
  // The packed structures are named as plain files would be.
  for (const char* f : {"both_msa.kmsa", "both_msa.fasta", "both_msa.pir", "both_msa.kalign", "1A0J_A_pivot.pdb",
                        "1A0L_A_1A0J_A.kpairs", "1A5I_A_1A0J_A.pdb"})
    EXPECT_TRUE(fs::exists(dir.file(std::string("out/") + f))) << f;
}

// The letters of an image, one per residue.
std::string image_letters(const std::string& file) {
  _pdb_image* image = zam_readPdb(file.c_str(), nullptr);
  std::string s;
  if (!image) return s;
  for (int i = 0; i < image->nres; i++) s += image->residues[i].code[0];
  zam_freePdb(image);
  return s;
}

// ATOM lines of a PDB file with their chain letter set to chain.
std::string chain_atoms(const std::string& file, char chain) {
  std::string out;
  for (std::string l : lines(read_file(file)))
    if (l.rfind("ATOM", 0) == 0 && l.size() > 21) {
      l[21] = chain;
      out += l + "\n";
    }
  return out + "TER\n";
}

TEST(ScoreMode, UnifiedFileTransformsLettersAndBadInput) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  copy_zinc(dir, {"1ard", "1paa"});
  const std::string a = image_letters(dir.file("1ard.pdb")), b = image_letters(dir.file("1paa.pdb"));
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());

  // One PDB file holding a chain per row, named like the alignment.
  write_file(dir.file("uni.pdb"), chain_atoms(dir.file("1ard.pdb"), 'A') + chain_atoms(dir.file("1paa.pdb"), 'B') + "END\n");
  write_file(dir.file("uni.fasta"), ">first\n" + a + "\n>second\n" + b + "\n");
  Outcome r = testutil::run_trel2(dir.str(), {"-score", "-unified", "uni.fasta"}, {"TREL_RESULTS=u"});
  ASSERT_EQ(r.status, 0) << r.out;
  std::string log = read_file(dir.file("u/trel.log"));
  EXPECT_TRUE(has(log, "Analysing QUERY MSA (2 structures")) << log;
  EXPECT_TRUE(has(log, "Total differences = ZERO")) << log;
  EXPECT_FALSE(has(log, "has 1 models and")) << log;
  // The unified file the run wrote holds a model per row: fed back, gzipped,
  // it gives the same two structures and the same measures.
  const std::string first = read_file(dir.file("u/first.pdb"));
  ASSERT_NE(first.find("MODEL        2"), std::string::npos);
  _zam_file* packed = zam_fopen(dir.file("again.pdb.gz").c_str(), "w");
  ASSERT_TRUE(packed);
  ASSERT_EQ(zam_fwrite(packed, first.data(), (int64_t)first.size()) + zam_fclose(packed), (int64_t)first.size());
  write_file(dir.file("again.fasta"), ">first\n" + a + "\n>second\n" + b + "\n");
  r = testutil::run_trel2(dir.str(), {"-score", "-unified", "-job=again", "again.fasta"}, {"TREL_RESULTS=u2"});
  ASSERT_EQ(r.status, 0) << r.out;
  log = read_file(dir.file("u2/trel.log"));
  EXPECT_TRUE(has(log, "Analysing QUERY MSA (2 structures")) << log;
  EXPECT_TRUE(has(log, "Total differences = ZERO")) << log;
  EXPECT_FALSE(has(log, "models and")) << log;
  const std::string ksum = read_file(dir.file("u/first.ksum"));
  EXPECT_EQ("again" + ksum.substr(ksum.find(',')), read_file(dir.file("u2/again.ksum")));

  // A transform moving 1paa 100 A away makes every aligned pair a violation.
  write_file(dir.file("pair.fasta"), ">1ard.pdb\n" + a + "\n>1paa.pdb\n" + b + "\n");
  const std::string shift = ">1paa.pdb\n1 0 0, 100\n0 1 0, 0\n0 0 1, 0\n";
  write_file(dir.file("pair.rmt"), shift + ">1ard.pdb\n1 0 0, 0\n0 1 0, 0\n0 0 1, 0\n");
  r = testutil::run_trel2(dir.str(), {"-score", "-rmt", "pair.fasta"}, {"TREL_RESULTS=t"});
  ASSERT_EQ(r.status, 0) << r.out;
  log = read_file(dir.file("t/trel.log"));
  EXPECT_TRUE(has(log, "Shifting structure 1paa with RMT for 1paa.pdb")) << log;
  EXPECT_TRUE(has(log, "Shifting structure 1ard with RMT for 1ard.pdb")) << log;
  std::vector<std::string> f = fields(read_file(dir.file("t/1ard.ksum")));
  ASSERT_EQ(f.size(), 23u);
  EXPECT_EQ(f[8], f[11]) << "every pair a violation";
  // Two rows: a column's squared distance is halved (summed pair d2 / rows).
  EXPECT_GT(std::stod(f[5]), 90.0 / std::sqrt(2.0));
  // A row with a blank before its comma does not read: the alignment is not
  // scored and the run fails, with the file and line named.
  write_file(dir.file("pair.rmt"), shift + ">1ard.pdb\n1 0 0 , 100\n0 1 0, 0\n0 0 1, 0\n");
  r = testutil::run_trel2(dir.str(), {"-score", "-rmt", "pair.fasta"}, {"TREL_RESULTS=t2"});
  EXPECT_EQ(r.status, 1) << r.out;
  log = read_file(dir.file("t2/trel.log.1"));
  EXPECT_TRUE(has(log, "Bad matrix row for 1ard.pdb in RMT file pair.rmt, line 6: 1 0 0 , 100")) << log;
  EXPECT_FALSE(has(log, "Shifting structure")) << log;
  EXPECT_FALSE(fs::exists(dir.file("t2/1ard.ksum")));

  // '.' and '?' become 'X' with warnings naming the row; a short row is padded.
  const std::string odd = a.substr(0, 3) + ".?" + a.substr(5);
  write_file(dir.file("odd.fasta"), ">1ard.pdb\n" + odd + "\n>1paa.pdb\n" + b.substr(0, 10) + "\n");
  r = testutil::run_trel2(dir.str(), {"-score", "odd.fasta"}, {"TREL_RESULTS=o"});
  ASSERT_EQ(r.status, 0) << r.out;
  log = read_file(dir.file("o/trel.log"));
  EXPECT_TRUE(has(log, "Changing period character ('.') to ('X') for 1ard.pdb.")) << log;
  EXPECT_TRUE(has(log, "Changing unknown character ('?') to ('X') for 1ard.pdb.")) << log;
  EXPECT_TRUE(has(log, "Making MSA data structure for 2 structures and " + std::to_string(a.size()) + " columns"));
  EXPECT_TRUE(has(log, "PDB file 1ard has " + std::to_string(a.size()) + " residues, but MSA has " +
                           std::to_string(a.size() - 2) + " letters!"));
  EXPECT_TRUE(has(read_file(dir.file("o/1ard_msa.fasta")), b.substr(0, 10) + std::string(a.size() - 10, '-')));

  // A row with a header and letters thousands of characters long is read
  // whole and named in full; a row without a structure makes the alignment
  // one of sequences. A single record is refused, and a run in which one
  // alignment fails ends with status 1 after scoring the others.
  std::string description;
  for (int k = 0; k < 600; k++) description += " word";
  write_file(dir.file("long.fasta"), ">1ard.pdb:A" + description + "\n" + a + "\n>1paa.pdb\n" + b +
                                         "\n>nofile.pdb\n" + std::string(5000, 'A') + "\n");
  write_file(dir.file("one.fasta"), ">1ard.pdb\n" + a + "\n");
  write_file(dir.file("few.fasta"), ">1ard.pdb\n" + a + "\n>nofile.pdb\n" + a + "\n");
  write_file(dir.file("plain.txt"), "ACDEF\n");
  r = testutil::run_trel2(dir.str(), {"-score", "one.fasta", "few.fasta", "long.fasta", "plain.txt"}, {"TREL_RESULTS=bad"});
  EXPECT_EQ(r.status, 1) << r.out;
  log = read_file(dir.file("bad/trel.log.1"));
  EXPECT_TRUE(has(log, "Failed to find 2 or more structures in sequence file!")) << log;
  EXPECT_TRUE(has(log, "Alignment few.fasta not scored: structures found for 1 of its 2 rows")) << log;
  EXPECT_TRUE(has(log, "No sequence signatures (>) found in file plain.txt")) << log;
  EXPECT_TRUE(has(log, "Analysing QUERY MSA (3 sequences, 5000 columns)")) << log;
  EXPECT_TRUE(has(log, "Failed to find PDB file for structure <nofile.pdb>")) << log;
  EXPECT_EQ(read_file(dir.file("bad/1ard.ksum")).rfind("1ard,    3,", 0), 0u);

  // Binary bytes alone fail the run.
  write_file(dir.file("bin.fa"), std::string(">\x01\xff\n\x7f>\x02\n\x03\n", 10));
  r = testutil::run_trel2(dir.str(), {"-score", "bin.fa"}, {"TREL_RESULTS=bin"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(read_file(dir.file("bin/trel.log.1")), "Not a text alignment file: bin.fa (byte 0x01 at line 1)"));
}

// Results written into the folder of the given files: a result named like a
// given structure is not written and the given file keeps its bytes; every
// other result is written.
TEST(ScoreMode, ResultsFolderThatHoldsTheInputKeepsIt) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  copy_zinc(dir, {"1ard", "1paa"});
  const std::string a = image_letters(dir.file("1ard.pdb")), b = image_letters(dir.file("1paa.pdb"));
  write_file(dir.file("pair.fasta"), ">1ard.pdb\n" + a + "\n>1paa.pdb\n" + b + "\n");
  const std::string before_a = read_file(dir.file("1ard.pdb")), before_b = read_file(dir.file("1paa.pdb"));
  const Outcome r = testutil::run_trel2(dir.str(), {"-score", "pair.fasta"}, {"TREL_RESULTS=."});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(dir.file("1ard.pdb")), before_a);
  EXPECT_EQ(read_file(dir.file("1paa.pdb")), before_b);
  const std::string log = read_file(dir.file("trel.log"));
  EXPECT_TRUE(has(log, "Not writing ./1paa.pdb: it is an input file of this run and is kept as it is.")) << log;
  for (const char* f : {"1ard.ksum", "1ard_msa.kmsa", "1ard_msa.fasta", "1ard_pivot.pdb", "1paa_1ard.pdb",
                        "1paa_1ard.kpairs", "1ard_msa_rainbow.pdb"})
    EXPECT_TRUE(fs::exists(dir.file(f))) << f;

  // A summary that cannot be written (a folder that cannot be moved in its
  // place) fails the run.
  const testutil::FixedFolder in_way(dir.file("in_way/1ard.ksum"));
  if (!in_way.fixed) GTEST_SKIP() << "no immutable folders on this file system";
  const Outcome blocked = testutil::run_trel2(dir.str(), {"-score", "pair.fasta"}, {"TREL_RESULTS=in_way"});
  EXPECT_EQ(blocked.status, 1) << blocked.out;
  EXPECT_TRUE(has(blocked.out, "in_way/1ard.ksum")) << blocked.out;
  EXPECT_TRUE(fs::exists(dir.file("in_way/00_header.ksum")));
}

// Three cytochromes against their reference file of two alternatives (the
// fixture of tests/msa): the ".ksum" row carries the best alternative, whose
// rows the alignment reproduces in full. A reference file that cannot be used
// fails the run with status 1 after every alignment is scored. A member whose
// structure file is missing fails the reference, and leaves the alignment
// without one scored as sequences.
TEST(ScoreMode, SisyReferenceFromTheCommandLine) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy(std::string(TREL_SOURCE_DIR) + "/tests/msa/fixtures/sisy/cytc", dir.path, fs::copy_options::recursive);
  const std::string xml = read_file(dir.file("cytc.xml"));
  int rows = 0;
  for (size_t at = xml.find("<alternative id=\"2\""); (at = xml.find("<mrow>", at)) != std::string::npos; at++) rows++;
  ASSERT_GT(rows, 90);

  Outcome r = testutil::run_trel2(dir.str(), {"-score", "-sisy=cytc.xml", "cytc.fasta"}, {"TREL_RESULTS=res"});
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> f = fields(read_file(dir.file("res/d1u74d_.ksum")));
  ASSERT_EQ(f.size(), 23u);
  const std::string n = std::to_string(rows);
  EXPECT_EQ(f[12], "2");                    // Sid: the unshifted alternative
  EXPECT_EQ(f[13], n);                      // Qeq: all its rows
  EXPECT_EQ(f[14], n);                      // Req
  EXPECT_EQ(f[18], n + ".00");              // Rpairs per structure pair
  EXPECT_EQ(f[21], "0.00");                 // Rviol
  EXPECT_EQ(f[22], "1");                    // Seq
  EXPECT_GT(std::stod(f[15]), 0.3);         // Rrmsd
  EXPECT_LT(std::stod(f[15]), 2.0);
  EXPECT_TRUE(fs::exists(dir.file("res/cytc_reference_0002.fasta")));
  EXPECT_TRUE(fs::exists(dir.file("res/d1lfma__reference_0001.pdb")));
  for (int k = 1; k <= 11; k++) EXPECT_TRUE(std::isfinite(std::stod(f[(size_t)k]))) << k;
  const std::string measured = read_file(dir.file("res/d1u74d_.ksum"));

  // A second reference beside the first would be passed over: refused.
  r = testutil::run_trel2(dir.str(), {"-score", "-sisy=cytc.xml", "-homstrad=cytc.fasta", "cytc.fasta"},
                          {"TREL_RESULTS=two"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "give -sisy, -homstrad or -sabmark, not 2 of them")) << r.out;
  EXPECT_FALSE(fs::exists(dir.file("two/d1u74d_.ksum")));

  // A member's structure file missing: the reference is refused by name,
  // not measured over the two members left.
  fs::rename(dir.file("d1lfma_.pdb"), dir.file("d1lfma_.away"));
  r = testutil::run_trel2(dir.str(), {"-score", "-sisy=cytc.xml", "cytc.fasta"}, {"TREL_RESULTS=lost"});
  // Without a reference the alignment is scored as one of sequences, and
  // ends well: what needs every structure (the lengths and the measures of
  // Qs to Qviol but Qcore) reads nan in the very columns of a measured row,
  // never a 0.000 that looks perfect; Qn and Qcore come from the letters.
  const Outcome plain = testutil::run_trel2(dir.str(), {"-score", "cytc.fasta"}, {"TREL_RESULTS=plain"});
  fs::rename(dir.file("d1lfma_.away"), dir.file("d1lfma_.pdb"));
  EXPECT_EQ(plain.status, 0) << plain.out;
  const std::string partial = read_file(dir.file("plain/d1u74d_.ksum"));
  f = fields(partial);
  ASSERT_EQ(f.size(), 23u);
  EXPECT_EQ(f[1], "3");
  EXPECT_EQ(f[4], n);
  for (int k : {2, 3, 5, 6, 7, 8, 9, 10, 11}) EXPECT_TRUE(std::isnan(std::stod(f[(size_t)k]))) << k;
  EXPECT_EQ(f[12], "-1");
  ASSERT_EQ(partial.size(), measured.size());
  for (size_t k = 0; k < partial.size(); k++) EXPECT_EQ(partial[k] == ',', measured[k] == ',') << k;
  EXPECT_FALSE(has(read_file(dir.file("plain/trel.log")), "RMSD = 0.00"));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "cytc.xml: no structure for member d1lfma_")) << r.out;
  f = fields(read_file(dir.file("lost/d1u74d_.ksum")));
  ASSERT_EQ(f.size(), 23u);
  EXPECT_EQ(f[12], "-1");  // Sid: no reference measured
  EXPECT_FALSE(fs::exists(dir.file("lost/cytc_reference_0002.fasta")));

  write_file(dir.file("bad.xml"), xml.substr(0, xml.find("alternatives=")) + "alternatives=\"0\">\n");
  const std::vector<std::string> given = lines(read_file(dir.file("cytc.fasta")));
  ASSERT_EQ(given.size(), 6u);
  write_file(dir.file("other.fasta"), given[2] + "\n" + given[3] + "\n" + given[0] + "\n" + given[1] + "\n");
  r = testutil::run_trel2(dir.str(), {"-score", "-sisy=bad.xml", "cytc.fasta", "other.fasta"}, {"TREL_RESULTS=bad"});
  EXPECT_EQ(r.status, 1) << r.out;
  const std::string log = read_file(dir.file("bad/trel.log.1"));
  EXPECT_TRUE(has(log, "Bad n_alt = 0 in file bad.xml")) << log;
  EXPECT_TRUE(has(log, "SISY comparison not possible.")) << log;
  for (const char* ksum : {"bad/d1u74d_.ksum", "bad/d1m60a_.ksum"}) {
    f = fields(read_file(dir.file(ksum)));
    ASSERT_EQ(f.size(), 23u) << ksum;
    EXPECT_EQ(f[12], "-1") << ksum;
    EXPECT_EQ(f[4], n) << ksum;  // Qcore: the alignment was scored all the same
  }
}

// The reference file with d1lfma_ (the third cell of a row) renumbered 5000
// higher in the first `count` rows of the alternatives `ids`.
std::string renumber_third(std::string xml, std::initializer_list<int> ids, int count) {
  for (const int id : ids) {
    size_t at = xml.find("<alternative id=\"" + std::to_string(id) + "\"");
    for (int k = 0; k < count && at != std::string::npos; k++) {
      at = xml.find("<mrow>", at);
      for (int c = 0; c < 3 && at != std::string::npos; c++) at = xml.find("<mres>", at + 1);
      if (at == std::string::npos) break;
      at += 6;
      const size_t colon = xml.find(':', at);
      xml.replace(at, colon - at, std::to_string(std::stoi(xml.substr(at, colon - at)) + 5000));
    }
    EXPECT_NE(at, std::string::npos) << id;
  }
  return xml;
}

// An alternative whose rows are mostly not residues of the given structures
// is left out: the run keeps the other's measures, exactly those of a file
// holding that alternative alone, and ends well. With no alternative left,
// the run fails.
TEST(ScoreMode, SisyAlternativeLeftOutKeepsTheOthers) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy(std::string(TREL_SOURCE_DIR) + "/tests/msa/fixtures/sisy/cytc", dir.path, fs::copy_options::recursive);
  const std::string xml = read_file(dir.file("cytc.xml"));
  const size_t a1 = xml.find("<alternative"), a2 = xml.find("<alternative id=\"2\"");
  ASSERT_NE(a2, std::string::npos);
  std::string head = xml.substr(0, a1);
  head.replace(head.find("alternatives=\"2\""), 16, "alternatives=\"1\"");
  write_file(dir.file("alone.xml"), head + xml.substr(a1, a2 - a1) + "</multiple-alignment>\n");
  write_file(dir.file("part.xml"), renumber_third(xml, {2}, 60));
  write_file(dir.file("none.xml"), renumber_third(xml, {1, 2}, 60));
  auto run = [&](const std::string& name) {
    return testutil::run_trel2(dir.str(), {"-score", "-sisy=" + name + ".xml", "cytc.fasta"},
                               {"TREL_RESULTS=" + name});
  };

  ASSERT_EQ(run("alone").status, 0);
  const std::string want = read_file(dir.file("alone/d1u74d_.ksum"));
  ASSERT_EQ(fields(want).size(), 23u);
  EXPECT_EQ(fields(want)[12], "1");

  const Outcome part = run("part");
  EXPECT_EQ(part.status, 0) << part.out;
  EXPECT_EQ(read_file(dir.file("part/d1u74d_.ksum")), want);
  const std::string log = read_file(dir.file("part/trel.log"));
  EXPECT_TRUE(has(log, "alternative 2: only 43 of its 103 rows")) << log;
  EXPECT_TRUE(has(log, "Ignoring SISY d1lfma_[A:5060-")) << log;
  EXPECT_FALSE(has(log, "SISY ID = 2")) << log;
  EXPECT_FALSE(has(log, "SISY comparison not possible.")) << log;
  EXPECT_TRUE(fs::exists(dir.file("part/part_reference_0001.fasta")));
  EXPECT_FALSE(fs::exists(dir.file("part/part_reference_0002.fasta")));

  const Outcome none = run("none");
  EXPECT_EQ(none.status, 1) << none.out;
  const std::vector<std::string> f = fields(read_file(dir.file("none/d1u74d_.ksum")));
  ASSERT_EQ(f.size(), 23u);
  EXPECT_EQ(f[12], "-1");
  EXPECT_TRUE(has(none.out, "none.xml: none of its 2 alternatives can be compared")) << none.out;
  EXPECT_TRUE(has(read_file(dir.file("none/trel.log.1")), "SISY comparison not possible."));
}

}  // namespace
