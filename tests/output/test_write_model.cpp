// Modelling folders: the script parses as Python, names that try to break out
// of their string literal stay inside it (checked by Python's own tokenizer,
// and by running the script against a stand-in modelling package that
// records what it was given), the ".ali" rows break at the line width with
// the final '*' counted, and a profile's script knows its structure rows and
// no job name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_backbone.h"
#include "align/trel_profile.h"
#include "common/log_capture.h"
#include "common/run_trel.h"
#include "common/test_util.h"
#include "output/trel_run_options.h"
#include "output/trel_write_model.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

using testutil::split_lines;  // test_util.h

int python(const std::string& cwd, std::vector<std::string> args, std::string* out = nullptr) {
  args.insert(args.begin(), {"-E", "-s"});  // no user settings; the script's folder on the path
  const testutil::Outcome r =
      testutil::run_program("/usr/bin/python3", cwd, args, {"PATH=/usr/bin:/bin", "HOME=" + cwd});
  if (out) *out = r.out;
  return r.status;
}

// A sequence object of n residues (an ideal backbone marked fake).
_trel_thing* sequenceThing(const std::string& name, int n) {
  std::string letters;
  for (int i = 0; i < n; i++) letters += "ACDEFGHIKLMNPQRSTVWY"[i % 20];
  _trel_thing* t = trel_createThing(name.c_str(), "./");
  t->image = trel_makeBackbone(name.c_str(), 'A', n, letters.c_str(), nullptr);
  return t;
}

_trel_thing* structureThing(const std::string& name, const std::string& id) {
  _trel_thing* t = trel_createThing(name.c_str(), "./");
  t->image = zam_readPdb(testutil::shared_pdb("mustang-testdata/" + id + ".pdb").c_str(), name.c_str());
  return t;
}

// An alignment of `columns` columns pairing query residue i with target
// residue i for i < pairs; the remaining query residues face gaps.
struct Align {
  std::vector<_trel_a_column> cols;
  _trel_align a{};
  Align(int columns, int pairs) : cols((size_t)columns) {
    for (int c = 0; c < columns; c++) {
      cols[(size_t)c].qres = c;
      cols[(size_t)c].tres = c < pairs ? c : -1;
    }
    a.ncolumns = columns;
    a.columns = cols.data();
  }
};

// Writes the modelling folder of seq against templ into dir, over an Align of
// the given columns and pairs, with the log captured.
void writeAlignFolder(const TempDir& dir, _trel_thing* seq, _trel_thing* templ, int columns, int pairs,
                      int n_models) {
  Align al(columns, pairs);
  _trel_options o;
  testutil::Capture log;
  trel_writeModelAlign(seq, templ, &al.a, (dir.str() + "/").c_str(), n_models, &o);
}

// Python's tokenizer: every token outside string literals and comments.
std::string codeTokens(const std::string& dir, const std::string& script) {
  const std::string check = dir + "/tokens.py";
  write_file(check,
             "import sys, tokenize\n"
             "with open(sys.argv[1], 'rb') as f:\n"
             "    for t in tokenize.tokenize(f.readline):\n"
             "        if t.type not in (tokenize.STRING, tokenize.COMMENT, tokenize.ENCODING):\n"
             "            print(t.string)\n");
  std::string out;
  EXPECT_EQ(python(dir, {check, script}, &out), 0) << out;
  return out;
}

// Stand-in for the modelling package: builds n fake models whose DOPE score
// is -100 - i and records what the script asked for.
void standInPackage(const std::string& dir) {
  fs::create_directories(dir + "/modeller");
  write_file(dir + "/modeller/__init__.py",
             "class _Log:\n    def verbose(self): pass\nlog = _Log()\n"
             "class _IO: pass\nclass environ:\n    def __init__(self): self.io = _IO()\n");
  write_file(dir + "/modeller/automodel.py",
             "class assess: DOPE = 'dope'\n"
             "class automodel:\n"
             "    def __init__(self, env, assess_methods=None, sequence=None, alnfile=None, knowns=None):\n"
             "        self.args = (sequence, alnfile, knowns)\n"
             "        self.outputs = []\n"
             "    def make(self):\n"
             "        for i in range(self.starting_model, self.ending_model + 1):\n"
             "            name = 'model%d.pdb' % i\n"
             "            open(name, 'w').write('model %d\\n' % i)\n"
             "            self.outputs.append({'name': name, 'failure': None, 'DOPE score': -100.0 - i})\n"
             "        open('asked.txt', 'w').write(repr(self.args))\n");
}

TEST(WriteModel, PythonStringLiterals) {
  EXPECT_EQ(trel_pythonString("1abc"), "'1abc'");
  EXPECT_EQ(trel_pythonString("a';rm -rf ~;'"), "'a\\';rm -rf ~;\\''");
  EXPECT_EQ(trel_pythonString("a\\b\nc"), "'a\\\\b\\x0ac'");
  EXPECT_EQ(trel_pythonString("\xc3\xa9t\xe9"), "'\xc3\xa9t\\xe9'");  // whole UTF-8 kept, a stray byte escaped
  EXPECT_EQ(trel_pythonString("\xe2\x80\xa8"), "'\\xe2\\x80\\xa8'");  // a line separator never raw
}

TEST(WriteModel, HostileTemplateNameStaysInsideItsLiteral) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string hostile = "a';rm -rf ~;'";
  _trel_thing* seq = sequenceThing("s", 40);
  _trel_thing* templ = structureThing(hostile, "1ard");
  writeAlignFolder(dir, seq, templ, 40, 20, _trel_options().n_modeller);
  const std::string script = dir.file("s_modeller.py");
  ASSERT_TRUE(fs::exists(script));
  ASSERT_TRUE(fs::exists(dir.file("s.ali")));
  ASSERT_TRUE(fs::exists(dir.file(hostile + ".pdb")));
  std::string out;
  EXPECT_EQ(python(dir.str(), {"-m", "py_compile", script}, &out), 0) << out;
  // Outside string literals and comments the script holds none of the name.
  const std::string code = codeTokens(dir.str(), script);
  EXPECT_EQ(code.find("rm"), std::string::npos) << code;
  EXPECT_EQ(code.find("system"), std::string::npos) << code;
  const std::string text = read_file(script);
  EXPECT_NE(text.find("knowns   = ('a\\';rm -rf ~;\\''))\n"), std::string::npos) << text;
  EXPECT_NE(text.find("shutil.copy(m['name'], 's_a\\';rm -rf ~;\\'_modeller.pdb')\n"), std::string::npos);
  EXPECT_NE(text.find("a.ending_model   = 10\n"), std::string::npos);
  trel_closeThing(nullptr, seq);
  trel_closeThing(nullptr, templ);
}

TEST(WriteModel, ScriptRunsOnlyWhatItSays) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string hostile = "x';open('pwned','w').close();'";
  _trel_thing* seq = sequenceThing("q\nopen('pwned2','w')", 30);
  _trel_thing* templ = structureThing(hostile, "1ard");
  writeAlignFolder(dir, seq, templ, 30, 25, 3);
  const std::string stem = std::string("q\nopen('pwned2','w')");
  standInPackage(dir.str());
  std::string out;
  ASSERT_EQ(python(dir.str(), {stem + "_modeller.py"}, &out), 0) << out;
  EXPECT_FALSE(fs::exists(dir.file("pwned")));
  EXPECT_FALSE(fs::exists(dir.file("pwned2")));
  // The best model (lowest DOPE, model 3) copied under its fixed name, its score beside it.
  const std::string model = stem + "_" + hostile + "_modeller";
  EXPECT_EQ(read_file(dir.file(model + ".pdb")), "model 3\n");
  EXPECT_EQ(read_file(dir.file(model + ".dope")), "-103.0\n");
  EXPECT_EQ(read_file(dir.file("asked.txt")), "(\"q\\nopen('pwned2','w')\", \"q\\nopen('pwned2','w').ali\", "
                                              "\"x';open('pwned','w').close();'\")");
  trel_closeThing(nullptr, seq);
  trel_closeThing(nullptr, templ);
}

TEST(WriteModel, AlignmentRowsBreakAtTheLineWidth) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  _trel_thing* seq = sequenceThing("s", 160);
  _trel_thing* templ = structureThing("1ard", "1ard");
  const int tres = templ->image->nres;
  writeAlignFolder(dir, seq, templ, 160, tres, 10);
  const std::vector<std::string> ali = split_lines(read_file(dir.file("s.ali")));
  ASSERT_EQ(ali.size(), 12u);
  EXPECT_EQ(ali[0], ">P1;s");
  EXPECT_EQ(ali[1].rfind("sequence:s:", 0), 0u);
  EXPECT_EQ(ali[2].size(), 80u);
  EXPECT_EQ(ali[3].size(), 80u);
  EXPECT_EQ(ali[4], "*");
  EXPECT_EQ(ali[5], "");
  EXPECT_EQ(ali[6], ">P1;1ard");
  EXPECT_EQ(ali[7].substr(ali[7].size() - 26), ":unknown:unknown:0.00:0.00");
  EXPECT_EQ(ali[7].rfind("structure:1ard:", 0), 0u);
  // The template's letters, then gaps facing the rest of the sequence.
  std::string trow = ali[8] + ali[9] + ali[10];
  ASSERT_EQ(trow.size(), 161u);
  for (int i = 0; i < tres; i++) EXPECT_EQ(trow[(size_t)i], templ->image->residues[i].code[0]);
  EXPECT_EQ(trow.substr((size_t)tres), std::string((size_t)(160 - tres), '-') + "*");
  trel_closeThing(nullptr, seq);
  trel_closeThing(nullptr, templ);
}

TEST(WriteModel, ProfileKnowsItsStructureRowsAndNoJobName) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  _trel_thing* things[3] = {structureThing("1ard", "1ard"), structureThing("1zaa1", "1zaa1"),
                            sequenceThing("seq", 5)};
  // Columns: 1ard 0..4 against 1zaa1 0..4 and the sequence 0..4, then 1ard alone.
  std::vector<int> table;
  for (int c = 0; c < 5; c++) table.insert(table.end(), {c, c, c});
  table.insert(table.end(), {5, -1, -1});
  _trel_profile p{};
  char names[3][TREL_PROFILE_NAME] = {"1ard", "1zaa1", "seq"};
  p.n_rows = p.n_used = 3;
  p.n_struct = 1;
  p.n_cols = 6;
  p.name = const_cast<char*>("my job");
  p.names = names;
  p.things = things;
  p.table = table.data();
  _trel_options o;
  {
    testutil::Capture log;
    trel_writeModelProfile(things[2], &p, (dir.str() + "/").c_str(), 7, &o);
  }
  const std::string text = read_file(dir.file("seq_modeller.py"));
  EXPECT_NE(text.find("knowns   = ('1ard',\n                          '1zaa1'))\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("my job"), std::string::npos);
  EXPECT_NE(text.find("'seq_modeller.pdb'"), std::string::npos);
  std::string out;
  EXPECT_EQ(python(dir.str(), {"-m", "py_compile", dir.file("seq_modeller.py")}, &out), 0) << out;
  const std::vector<std::string> ali = split_lines(read_file(dir.file("seq.ali")));
  ASSERT_EQ(ali.size(), 12u);
  EXPECT_EQ(ali[1].rfind("structure:1ard:", 0), 0u);
  EXPECT_EQ(ali[5].rfind("structure:1zaa1:", 0), 0u);
  EXPECT_EQ(ali[9].rfind("sequence:seq:", 0), 0u);
  EXPECT_EQ(ali[10], "ACDEF-*");
  EXPECT_TRUE(fs::exists(dir.file("1ard.pdb")));
  EXPECT_TRUE(fs::exists(dir.file("1zaa1.pdb")));
  EXPECT_FALSE(fs::exists(dir.file("seq.pdb")));
  for (_trel_thing* t : things) trel_closeThing(nullptr, t);
}

}  // namespace
