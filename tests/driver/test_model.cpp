// The model mode run as a user runs it: the sequence of one trypsin against
// other trypsins, zinc fingers and cytochromes. The scan table ranks the
// trypsins first, every listed template gets a modelling folder whose script
// parses as Python and whose ".ali" names what the script knows; "-multi"
// with "-template" writes one folder for the multiple alignment; unknown
// templates and unusable sequences end the run with status 1 after the other
// sequences were done. The theoretical-model run writes every residue's frame.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"
#include "structure/zam_pdb.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

const char* const kTrypsins[] = {"1A0L_A", "1A5I_A", "1AMH_A", "1AN1_E"};

std::string trypsin(const std::string& id) { return testutil::shared_pdb("theseus-examples/trypsins/" + id + ".pdb.gz"); }

std::vector<std::string> targets() {
  std::vector<std::string> t;
  for (const char* id : kTrypsins) t.push_back(trypsin(id));
  for (const char* z : {"1ard", "1zaa1"}) t.push_back(testutil::shared_pdb(std::string("mustang-testdata/") + z + ".pdb"));
  for (const char* c : {"d1cih__", "d1crj__"})
    t.push_back(testutil::shared_pdb(std::string("theseus-examples/cytochromes/") + c + ".pdb.gz"));
  return t;
}

// The one-letter sequence of a structure file, as FASTA named name.
std::string fastaOf(const std::string& pdb, const std::string& name) {
  _pdb_image* image = zam_readPdb(pdb.c_str(), nullptr);
  std::string seq;
  for (int i = 0; image && i < image->nres; i++) seq += image->residues[i].code[0];
  zam_freePdb(image);
  return ">" + name + "\n" + seq + "\n";
}

Outcome run(const TempDir& dir, std::vector<std::string> args) {
  return testutil::run_trel(dir.str(), std::move(args), {"TREL_RESULTS=res", "TREL_CPUS=2"});
}

Outcome model(const TempDir& dir, std::vector<std::string> args) {
  for (const std::string& t : targets()) args.push_back(t);
  return run(dir, args);
}

struct Row {
  int rank;
  double j;
  std::string name;
};

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string x; in >> x;) w.push_back(x);
  return w;
}

// The rows of the scan table in the output: rank, K, J, M, N, I, I/P, length
// and name[family].
std::vector<Row> table(const std::string& out) {
  std::vector<Row> rows;
  std::istringstream in(out);
  bool inside = false;
  for (std::string l; std::getline(in, l);) {
    if (l.find("sequence matches for") != std::string::npos) inside = true;
    if (inside && l.rfind(" Mean", 0) == 0) break;
    const std::vector<std::string> w = words(l);
    if (!inside || w.size() != 9 || w[0].find_first_not_of("0123456789") != std::string::npos) continue;
    rows.push_back({std::stoi(w[0]), std::stod(w[2]), w[8].substr(0, w[8].find('['))});
  }
  return rows;
}

int pyCompile(const std::string& file) {
  return testutil::run_program("/usr/bin/python3", "/", {"-I", "-m", "py_compile", file}, {"PATH=/usr/bin:/bin"})
      .status;
}

// The ".ali" entry names and the names the script lists as known templates.
std::vector<std::string> aliEntries(const std::string& ali, const std::string& kind) {
  std::vector<std::string> names;
  std::istringstream in(read_file(ali));
  for (std::string l; std::getline(in, l);)
    if (l.rfind(kind + ":", 0) == 0) names.push_back(l.substr(kind.size() + 1, l.find(':', kind.size() + 1) - kind.size() - 1));
  return names;
}

std::vector<std::string> knowns(const std::string& script) {
  const std::string text = read_file(script);
  const size_t at = text.find("knowns   = (");
  const std::string part = text.substr(at, text.find("))", at) - at);
  std::vector<std::string> names;
  for (size_t q = part.find('\''); q != std::string::npos; q = part.find('\'', q + 1)) {
    const size_t end = part.find('\'', q + 1);
    names.push_back(part.substr(q + 1, end - q - 1));
    q = end;
  }
  return names;
}

class ModelMode : public ::testing::Test {
 protected:
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    write_file(dir.file("s.fasta"), fastaOf(trypsin("1A0J_A"), "s"));
  }
  TempDir dir;
};

TEST_F(ModelMode, ScanRanksTrypsinsFirstAndWritesAFolderPerTemplate) {
  const Outcome r = model(dir, {"-model", "s.fasta"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<Row> rows = table(r.out);
  ASSERT_EQ(rows.size(), 8u) << r.out;
  for (size_t k = 0; k < rows.size(); k++) {
    EXPECT_EQ(rows[k].rank, (int)k + 1);
    if (k > 0) {
      EXPECT_LE(rows[k].j, rows[k - 1].j);
    }
    bool is_trypsin = false;
    for (const char* id : kTrypsins) is_trypsin = is_trypsin || rows[k].name == std::string(id) + "~pdb";
    EXPECT_EQ(is_trypsin, k < 4) << rows[k].name;
    const std::string folder = dir.file("res/s_" + rows[k].name);
    ASSERT_TRUE(fs::exists(folder + "/s.ali")) << folder;
    ASSERT_TRUE(fs::exists(folder + "/" + rows[k].name + ".pdb"));
    EXPECT_EQ(pyCompile(folder + "/s_modeller.py"), 0);
    EXPECT_EQ(aliEntries(folder + "/s.ali", "structure"), std::vector<std::string>{rows[k].name});
    EXPECT_EQ(aliEntries(folder + "/s.ali", "sequence"), std::vector<std::string>{"s"});
    EXPECT_EQ(knowns(folder + "/s_modeller.py"), std::vector<std::string>{rows[k].name});
  }
  // The best template's alignment files sit in the sequence's own folder.
  EXPECT_TRUE(fs::exists(dir.file("res/s/" + rows[0].name + "_s.kalign")));
  EXPECT_FALSE(fs::exists(dir.file("res/s/" + rows[0].name + "_s.profit")));
}

TEST_F(ModelMode, ShowOneListsAndWritesOnlyTheBest) {
  const Outcome r = model(dir, {"-model", "-show=1", "s.fasta"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<Row> rows = table(r.out);
  ASSERT_EQ(rows.size(), 1u);
  int folders = 0;
  for (const auto& e : fs::directory_iterator(dir.file("res")))
    if (e.path().filename().string().rfind("s_", 0) == 0) folders++;
  EXPECT_EQ(folders, 1);
}

TEST_F(ModelMode, MultiWithTemplateWritesTheProfileFolder) {
  const Outcome r = model(dir, {"-model", "-multi", "-nopivot", "-top=2", "-show=2", "-template=1A0L_A~pdb", "s.fasta"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Using given TEMPLATE structure: 1A0L_A~pdb"), std::string::npos);
  const std::string ali = dir.file("res/s/s.ali"), script = dir.file("res/s/s_modeller.py");
  ASSERT_TRUE(fs::exists(ali)) << r.out;
  EXPECT_EQ(pyCompile(script), 0);
  const std::vector<std::string> structures = aliEntries(ali, "structure");
  EXPECT_EQ(aliEntries(ali, "sequence"), std::vector<std::string>{"s"});
  ASSERT_EQ(structures.size(), 3u);  // the template and its two shown hits
  EXPECT_EQ(structures[0], "1A0L_A~pdb");
  EXPECT_EQ(knowns(script), structures);
  for (const std::string& s : structures) EXPECT_TRUE(fs::exists(dir.file("res/s/" + s + ".pdb"))) << s;
}

TEST_F(ModelMode, FailuresEndWithStatusOneAfterTheOtherSequences) {
  write_file(dir.file("empty.fasta"), ">empty\n");
  write_file(dir.file("queries"), "empty.fasta\ns.fasta\n");
  Outcome r = model(dir, {"-model", "-show=2", "-source=queries"});
  EXPECT_EQ(r.status, 1) << r.out;
  const size_t failed = r.out.find("*Error* Failed to open query: ");
  ASSERT_NE(failed, std::string::npos) << r.out;
  EXPECT_NE(r.out.substr(failed, r.out.find('\n', failed) - failed).find("empty.fasta"), std::string::npos);
  EXPECT_EQ(table(r.out).size(), 2u);  // the usable sequence still got its templates
  EXPECT_TRUE(fs::exists(dir.file("res/s_1AN1_E~pdb/s.ali")) || fs::exists(dir.file("res/s_1AMH_A~pdb/s.ali")));

  write_file(dir.file("t.fasta"), fastaOf(trypsin("1A0J_A"), "t"));
  write_file(dir.file("two"), "t.fasta\ns.fasta\n");
  r = model(dir, {"-model", "-multi", "-nopivot", "-show=2", "-template=nosuch", "-source=two"});
  EXPECT_EQ(r.status, 1) << r.out;
  size_t first = r.out.find("Given template structure (nosuch) NOT FOUND!");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(r.out.find("Given template structure (nosuch) NOT FOUND!", first + 1), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.file("res/s/s.ali")));
}

TEST(TheoreticalModels, EveryResidueInItsOwnFrame) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy_file(testutil::shared_pdb("mustang-testdata/1ard.pdb"), dir.file("x.pdb"));
  const Outcome r = run(dir, {"-theor=x.pdb"});
  ASSERT_EQ(r.status, 0) << r.out;
  _pdb_image* source = zam_readPdb(dir.file("x.pdb").c_str(), nullptr);
  ASSERT_NE(source, nullptr);
  const int n = source->nres;
  auto ca = [](const _pdb_image* image, int i) {
    for (int a = image->residues[i].first; a <= image->residues[i].last; a++)
      if (std::string(image->atoms[a].name) == "CA") return image->atoms[a];
    return image->atoms[image->residues[i].first];
  };
  auto dist = [](const _pdb_atom& a, const _pdb_atom& b) {
    return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
  };
  const double span = dist(ca(source, 0), ca(source, n - 1));
  for (int k = 0; k < n; k++) {
    const std::string file = dir.file("res/x_" + std::to_string(k + 1) + ".pdb");
    _pdb_image* moved = zam_readPdb(file.c_str(), nullptr);
    ASSERT_NE(moved, nullptr) << file;
    ASSERT_EQ(moved->nres, n);
    const _pdb_atom c = ca(moved, k);
    EXPECT_NEAR(std::sqrt(c.x * c.x + c.y * c.y + c.z * c.z), 0.0, 0.002) << file;
    EXPECT_NEAR(dist(ca(moved, 0), ca(moved, n - 1)), span, 0.005);
    zam_freePdb(moved);
  }
  EXPECT_FALSE(fs::exists(dir.file("res/x_" + std::to_string(n + 1) + ".pdb")));
  zam_freePdb(source);

  const Outcome missing = run(dir, {"-theor=nosuch.pdb"});
  EXPECT_EQ(missing.status, 1) << missing.out;
}

}  // namespace
