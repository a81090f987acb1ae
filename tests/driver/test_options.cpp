// The option table and its reader: the usage text, clamping of every
// numeric option at both ends, every switch, the argument forms, bad input,
// and the run settings record with its table.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "driver/trel_options.h"
#include "matching/zam_dock_spec.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

std::string& captured = testutil::Messages::said();  // log_capture.h

// Resets the settings, parses the words (after a program name) with every
// message captured, and gives the result.
struct Parse {
  _docking_spec spec{};
  trel_parse_result result = TREL_PARSE_OK;
  explicit Parse(std::vector<std::string> words) {
    trel_resetSettings();
    zam_setDockSpec(&spec);
    zam_debug = 0;
    captured.clear();
    std::vector<std::string> args = {"trel"};
    args.insert(args.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testutil::Messages heard;
    result = trel_parseOptions(int(args.size()), argv.data(), &spec);
  }
};

trel_settings& S = trel_run_settings;
_trel_options& O = trel_run_settings.opt;

// The option lines of the usage text, in their order.
const char* const kUsage[] = {
    "-show", "-top", "-sort", "-fit", "-nofit", "-flex", "-noflex", "-rigid", "-renumber", "-norenumber",
    "-multi", "-nomulti", "-pivot_rule", "-core_rule", "-mrefine", "-nr", "-seq", "-qseq", "-tseq", "-model",
    "-template", "-cycle", "-database", "-db", "-build", "-extract", "-select", "-only", "-member", "-source",
    "-target", "-read", "-list", "-delete", "-clean", "-purge", "-dummy", "-cath", "-scop", "-pfam", "-ecod",
    "-broken", "-hetres", "-nohetres", "-stats", "-score", "-sisy", "-homstrad", "-sabmark", "-stdout",
    "-nostdout", "-subdirs", "-nosubdirs", "-threads", "-nothreads", "-binary", "-nobinary", "-cache",
    "-nocache", "-single", "-many", "-ligand", "-columns", "-conect", "-noconect", "-zam", "-nozam", "-vmd",
    "-novmd", "-jmol", "-nojmol", "-pdb", "-nopdb", "-matrix", "-nomatrix", "-sse", "-nosse", "-anchor",
    "-fasta", "-nofasta", "-pir", "-nopir", "-trw", "-notrw", "-krmsd", "-nokrmsd", "-profit", "-noprofit",
    "-nohits", "-notops", "-norank", "-noalign", "-nowrite", "-rainbow", "-norainbow", "-all", "-partner",
    "-trace", "-spatial", "-blosum", "-window", "-rho", "-alpha", "-beta", "-gamma", "-eta", "-sigma", "-tau",
    "-kbias", "-gbias", "-range", "-contact", "-match", "-filter", "-f", "-fragment", "-seeds", "-noseeds",
    "-mask", "-nomask", "-unmask", "-tidy", "-notidy", "-banded", "-nobanded", "-nohydrogens", "-hydrogens",
    "-random", "-norandom", "-unified", "-nounified", "-roc", "-noroc", "-nroc", "-log", "-verbose", "-debug",
};

using testutil::split_lines;

// The usage text: the listed options in their order, then the others;
// every keyword the reader takes has exactly one line with a description,
// the value placeholder exactly when the option takes a value.
TEST(Usage, EveryOptionHasOneLineListedOnesFirst) {
  std::string text = trel_usageText();
  const std::string head = "\nUsage: trel [-option -option=value] <list-of-pdb-files>\n  where options are:\n\n";
  ASSERT_EQ(text.substr(0, head.size()), head);
  std::vector<std::string> rows = split_lines(text.substr(head.size()));
  const size_t n = sizeof kUsage / sizeof kUsage[0];
  const size_t all = size_t(trel_optionCount());
  ASSERT_EQ(all, 257u);
  // a line per keyword but -version and -help, which close the text after
  // a blank line, and a last blank line
  ASSERT_EQ(rows.size(), all - 2 + 4);
  std::map<std::string, int> lines_of;
  for (size_t i = 0; i < all - 2; ++i) {
    const std::string& row = rows[i];
    SCOPED_TRACE(row);
    ASSERT_GT(row.size(), 16u);
    EXPECT_EQ(row[0], ' ');
    std::string flag = row.substr(1, row.find(' ', 1) - 1);
    const std::string name = flag.substr(0, flag.find('='));
    if (i < n) {
      EXPECT_EQ(name, kUsage[i]);
    }
    EXPECT_EQ(row.find_first_not_of(' ', 1 + flag.size()), 16u);  // padded to 15 characters
    EXPECT_TRUE(trel_isOption(name.c_str() + 1));
    lines_of[name.substr(1)]++;
    // A value is taken exactly when the line shows its placeholder.
    Parse without({name});
    const bool needs = without.result == TREL_PARSE_FAIL && captured.find(" needs a value.") != captured.npos;
    EXPECT_EQ(needs, flag.find('=') != flag.npos) << captured;
  }
  for (int k = 0; k < trel_optionCount(); ++k) {
    const std::string key = trel_optionName(k);
    if (key == "help" || key == "version") continue;
    EXPECT_EQ(lines_of[key], 1) << "-" << key;
  }
  // -nowrite says which files it leaves: those of -all and -score.
  const size_t nowrite = text.find(" -nowrite ");
  const std::string line = text.substr(nowrite, text.find('\n', nowrite) - nowrite);
  EXPECT_TRUE(line.find("-all") != line.npos && line.find(".ksum") != line.npos) << line;
  EXPECT_EQ(rows[all - 2], "");
  EXPECT_EQ(rows[all - 1].substr(0, 16), " -version       ");
  EXPECT_EQ(rows[all].substr(0, 16), " -help          ");
  EXPECT_EQ(rows[all + 1], "");
  EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
}

// Every environment variable the sources read is named in the README (PATH
// is the system's own and only extended).
TEST(Usage, ReadmeNamesEveryEnvironmentVariable) {
  const std::string readme = testutil::read_file(std::string(TREL_SOURCE_DIR) + "/README.md");
  std::set<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(std::string(TREL_SOURCE_DIR) + "/src")) {
    const std::string text = testutil::read_file(e.path().string());
    for (const std::string reader : {"getenv(\"", "_env(\""})  // zam_getenv, zam_char_env, zam_int_env, ...
      for (size_t at = text.find(reader); at != std::string::npos; at = text.find(reader, at + 1)) {
        const size_t from = at + reader.size(), end = text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_", from);
        if (end > from && text[end] == '"') names.insert(text.substr(from, end - from));
      }
  }
  names.erase("PATH");
  EXPECT_GE(names.size(), 12u);
  for (const std::string& name : names) EXPECT_NE(readme.find("`" + name + "`"), std::string::npos) << name;
}

// With no options the record points at the run's docking settings, leaves
// SPF (and so its order) off and names no structure file.
TEST(Options, NoOptionsLeaveSpfOffAndNoFiles) {
  Parse p({});
  ASSERT_EQ(p.result, TREL_PARSE_OK);
  _trel_options rec;
  rec.show_things = 0;
  setup_trel_options(&rec, &p.spec);
  EXPECT_EQ(rec.docking_spec, &p.spec);
  EXPECT_EQ(rec.with_spf, 0);
  EXPECT_EQ(rec.i_max, 0);
  EXPECT_TRUE(S.files.empty());
}

TEST(Options, SetupKeepsLoaderFieldsAndCarriesImaxWithSpf) {
  Parse p({"-spf", "-imax=7"});
  _trel_options rec;
  rec.show_things = 1;
  rec.with_lookup = 1;
  setup_trel_options(&rec, &p.spec);
  EXPECT_EQ(rec.show_things, 1);
  EXPECT_EQ(rec.with_lookup, 1);
  EXPECT_EQ(rec.with_spf, 1);
  EXPECT_EQ(rec.i_max, 7);
}

// Every numeric option at both ends of its range (and past them).
struct Clamp {
  const char* name;
  const char* low;
  const char* high;
  double want_low, want_high;
  double (*get)(const _docking_spec&);
};

double deg(double r) { return r * 180.0 / M_PI; }

TEST(Options, EveryNumericOptionIsClampedAtBothEnds) {
  const Clamp cases[] = {
      {"sol", "0", "20000", 1, 10000, [](const _docking_spec&) { return double(O.s_top); }},
      {"export", "-1", "9", 0, 4, [](const _docking_spec&) { return double(O.export_mode); }},
      {"range", "0.5", "25", 1, 20, [](const _docking_spec&) { return double(O.ca_range); }},
      {"contact", "-3", "99", 1, 20, [](const _docking_spec&) { return double(O.ca_contact); }},
      {"match", "0", "21", 1, 20, [](const _docking_spec&) { return double(O.ca_match); }},
      {"trace", "-1", "1e6", 0, 1e6, [](const _docking_spec&) { return double(S.align_trace); }},
      {"spatial", "-1", "3", 0, 3, [](const _docking_spec&) { return double(S.align_spatial); }},
      {"blosum", "-0.5", "2", 0, 2, [](const _docking_spec&) { return double(S.align_blosum); }},
      {"cut", "-2", "4", 0, 4, [](const _docking_spec&) { return double(S.align_cut); }},
      {"columns", "0", "10001", 10000, 10000, [](const _docking_spec&) { return double(O.n_columns); }},
      {"cols", "1", "10000", 1, 10000, [](const _docking_spec&) { return double(O.n_columns); }},
      {"filter", "-5", "150", 0, 1, [](const _docking_spec&) { return double(O.align_filter); }},
      {"f", "0.25", "50", 0.25, 0.5, [](const _docking_spec&) { return double(O.align_filter); }},
      {"group", "-4", "12", 0, 12, [](const _docking_spec&) { return double(O.with_group); }},
      {"nr", "-1", "101", 0, 100, [](const _docking_spec&) { return double(O.nr_percent); }},
      {"core", "-1", "101", 0, 100, [](const _docking_spec&) { return double(O.core_rule); }},
      {"core_rule", "-1", "300", 0, 100, [](const _docking_spec&) { return double(O.core_rule); }},
      {"pivot_rule", "-1", "4", 0, 3, [](const _docking_spec&) { return double(O.pivot_rule); }},
      {"anchor_rule", "-1", "3", 0, 2, [](const _docking_spec&) { return double(O.anchor_rule); }},
      {"anchor", "-1", "3", 0, 2, [](const _docking_spec&) { return double(O.anchor_rule); }},
      {"sigma", "0", "50", 0.01, 50, [](const _docking_spec&) { return double(S.align_sigma); }},
      {"tau", "-1", "21", 0, 20, [](const _docking_spec&) { return double(S.align_tau); }},
      {"window", "0", "5", 1, 4, [](const _docking_spec&) { return double(S.align_window); }},
      {"seeds", "-1", "501", 0, 500, [](const _docking_spec&) { return double(O.fit_seeds); }},
      {"seed", "-1", "600", 0, 500, [](const _docking_spec&) { return double(O.fit_seeds); }},
      {"cycle", "-1", "21", 0, 20, [](const _docking_spec&) { return double(O.fit_cycles); }},
      {"nroc", "-1", "2001", 0, 2000, [](const _docking_spec&) { return double(O.n_roc); }},
      {"nmodel", "0", "1001", 1, 1000, [](const _docking_spec&) { return double(O.n_modeller); }},
      {"tf", "0", "2", 0.0001, 1, [](const _docking_spec&) { return double(O.refine_fraction); }},
      {"tn", "0", "5000", 1, 5000, [](const _docking_spec&) { return double(O.refine_number); }},
      {"trange", "-1", "400", 0, 360, [](const _docking_spec& d) { return deg(d.twist_range); }},
      {"lrange", "-1", "181", 0, 180, [](const _docking_spec& d) { return deg(d.ligand_range); }},
      {"rrange", "-1", "181", 0, 180, [](const _docking_spec& d) { return deg(d.receptor_range); }},
      {"rstep", "5", "31", 5.5, 30, [](const _docking_spec& d) { return d.receptor_step; }},
      {"rs", "1", "90", 5.5, 30, [](const _docking_spec& d) { return d.receptor_step; }},
      {"lstep", "5", "31", 5.5, 30, [](const _docking_spec& d) { return d.ligand_step; }},
      {"ls", "0", "40", 5.5, 30, [](const _docking_spec& d) { return d.ligand_step; }},
      {"dstep", "0.05", "2", 0.1, 1, [](const _docking_spec& d) { return d.r12_step; }},
      {"ds", "0", "1.5", 0.1, 1, [](const _docking_spec& d) { return d.r12_step; }},
      {"drange", "-1", "31", 0, 30, [](const _docking_spec& d) { return d.r12_range; }},
      {"dr", "-5", "45", 0, 30, [](const _docking_spec& d) { return d.r12_range; }},
      {"nmax", "1", "31", 2, 30, [](const _docking_spec&) { return double(S.k_max); }},
      {"jmax", "-1", "31", 0, 30, [](const _docking_spec&) { return double(S.j_max); }},
      {"imax", "1", "31", 2, 30, [](const _docking_spec&) { return double(S.i_max); }},
      {"top", "0", "99999", 1, 99999, [](const _docking_spec&) { return double(O.n_top); }},
      {"show", "-3", "77", 1, 77, [](const _docking_spec&) { return double(O.n_show); }},
      {"ncath", "0", "101", 1, 100, [](const _docking_spec&) { return double(O.n_cath); }},
      {"maxs", "0", "2001", 1, 2000, [](const _docking_spec&) { return double(O.s_max); }},
      {"verbose", "-1", "3", 0, 2, [](const _docking_spec&) { return double(S.debug_level); }},
  };
  for (const Clamp& c : cases) {
    SCOPED_TRACE(c.name);
    Parse lo({std::string("-") + c.name + "=" + c.low});
    ASSERT_EQ(lo.result, TREL_PARSE_OK) << captured;
    EXPECT_NEAR(c.get(lo.spec), c.want_low, 1e-4);
    Parse hi({std::string("-") + c.name, c.high});  // next-argument form
    ASSERT_EQ(hi.result, TREL_PARSE_OK) << captured;
    EXPECT_NEAR(c.get(hi.spec), c.want_high, 1e-4);
    EXPECT_TRUE(S.files.empty());
  }
  zam_debug = 0;
}

TEST(Options, RefineModesAndTextValues) {
  Parse a({"-tf=0.5"});
  EXPECT_EQ(O.refine_method, 1);
  Parse b({"-tn", "-3"});
  EXPECT_EQ(O.refine_method, 2);
  EXPECT_EQ(O.refine_number, 1);
  Parse c({"-refine", "-norefine"});
  EXPECT_EQ(O.refine_method, 0);
  Parse d({"-db=/data/dbs/cath40.db", "-extract", "out", "-only=names.txt", "-select=1.10.*", "-member=m1",
           "-template", "t1", "-sisy=s", "-homstrad=h", "-sabmark=b", "-log=my.log", "-theor=x.pdb"});
  ASSERT_EQ(d.result, TREL_PARSE_OK);
  EXPECT_EQ(S.db_name, "cath40");
  EXPECT_EQ(O.use_db, 1);
  EXPECT_EQ(S.multi_query, 1);
  EXPECT_EQ(O.with_pivot, 0);
  EXPECT_EQ(S.do_extract, 1);
  EXPECT_EQ(S.extract_folder, "out/");
  EXPECT_EQ(S.only_file, "names.txt");
  EXPECT_EQ(S.select_pattern, "1.10.*");
  EXPECT_EQ(S.member_name, "m1");
  EXPECT_EQ(S.template_name, "t1");
  EXPECT_EQ(S.sisy_file, "s");
  EXPECT_EQ(S.homstrad_file, "h");
  EXPECT_EQ(S.sabmark_folder, "b");
  EXPECT_EQ(S.log_file, "my.log");
  EXPECT_EQ(S.do_theor, 1);
  EXPECT_EQ(S.theor_file, "x.pdb");
  Parse e({"-build=newdb"});
  EXPECT_EQ(S.do_build, 1);
  EXPECT_EQ(S.db_name, "newdb");
}

// Every switch, in both directions where it has a partner.
struct Switch {
  const char* name;
  int* field;
  int value;
};

TEST(Options, EverySwitchSetsItsSetting) {
  const Switch cases[] = {
      {"nomatrix", &O.write_matrix, 0}, {"matrix", &O.write_matrix, 1}, {"nopdb", &O.write_pdb, 0},
      {"pdb", &O.write_pdb, 1}, {"norank", &O.write_rank, 0}, {"rank", &O.write_rank, 1},
      {"nokchains", &O.write_kchains, 0}, {"kchains", &O.write_kchains, 1}, {"noknames", &O.write_knames, 0},
      {"knames", &O.write_knames, 1}, {"nokcodes", &O.write_kcodes, 0}, {"kcodes", &O.write_kcodes, 1},
      {"nokalign", &O.write_kalign, 0}, {"kalign", &O.write_kalign, 1}, {"nokpairs", &O.write_kpairs, 0},
      {"kpairs", &O.write_kpairs, 1}, {"notrw", &O.write_trw, 0}, {"trw", &O.write_trw, 1},
      {"nokmulti", &O.write_kmulti, 0}, {"kmulti", &O.write_kmulti, 1}, {"nokmsa", &O.write_kmsa, 0},
      {"kmsa", &O.write_kmsa, 1}, {"nokrmsd", &O.write_krmsd, 0}, {"krmsd", &O.write_krmsd, 1},
      {"nokprof", &O.write_krmsd, 0}, {"kprof", &O.write_krmsd, 1}, {"noprofit", &O.write_profit, 0},
      {"profit", &O.write_profit, 1}, {"nofasta", &O.write_fasta, 0}, {"fasta", &O.write_fasta, 1},
      {"nopir", &O.write_pir, 0}, {"pir", &O.write_pir, 1}, {"nojmol", &O.write_jmol, 0},
      {"jmol", &O.write_jmol, 1}, {"nozam", &O.write_zam, 0}, {"zam", &O.write_zam, 1},
      {"novmd", &O.write_vmd, 0}, {"vmd", &O.write_vmd, 1}, {"nohits", &O.write_hits, 0},
      {"hits", &O.write_hits, 1}, {"notops", &O.write_tops, 0}, {"tops", &O.write_tops, 1},
      {"connect", &O.write_conect, 1}, {"noconnect", &O.write_conect, 0}, {"conect", &O.write_conect, 1},
      {"noconect", &O.write_conect, 0}, {"ligand", &O.do_ligand, 1}, {"noligand", &O.do_ligand, 0},
      {"rmt", &O.with_rmt, 1}, {"purge", &S.do_purge, 1}, {"clean", &S.do_purge, 1},
      {"delete", &S.do_delete, 1}, {"dummy", &S.really_delete, 0}, {"kids", &S.do_kids, 1},
      {"binary", &O.use_binary, 1}, {"nobinary", &O.use_binary, 0}, {"test", &S.do_test, 1},
      {"spf", &O.with_spf, 1}, {"nospf", &O.with_spf, 0}, {"pdbanchor", &O.write_anchor, 1},
      {"nopdbanchor", &O.write_anchor, 0}, {"renumber", &O.do_renumber, 1}, {"norenumber", &O.do_renumber, 0},
      {"flex", &O.do_flex, 1}, {"noflexible", &O.do_flex, 0}, {"noflex", &O.do_flex, 0},
      {"rigid", &O.do_flex, 0}, {"mrefine", &O.refine_msa, 1}, {"nomrefine", &O.refine_msa, 0},
      {"super", &O.do_super, 1}, {"fit", &O.do_fit, 1}, {"notidy", &O.do_tidy, 0}, {"tidy", &O.do_tidy, 1},
      {"notight", &O.do_tight, 0}, {"tight", &O.do_tight, 1}, {"all", &O.do_all, 1},
      {"sse", &O.sse_mode, 1}, {"nosse", &O.sse_mode, 0}, {"unified", &O.with_unified, 1},
      {"nounified", &O.with_unified, 0}, {"refine", &O.refine_method, 1}, {"norefine", &O.refine_method, 0},
      {"banded", &S.align_banded, 1}, {"nobanded", &S.align_banded, 0}, {"noqcp", &S.align_qcp, 0},
      {"qcp", &S.align_qcp, 1}, {"q5", &O.filter_method, 5}, {"q4", &O.filter_method, 4},
      {"q3", &O.filter_method, 3}, {"q2", &O.filter_method, 2}, {"q1", &O.filter_method, 1},
      {"q0", &O.filter_method, 0}, {"q6", &O.filter_method, 6}, {"box", &S.box_mode, 0},
      {"cpu", &S.use_device, 0}, {"gpu", &S.use_device, 1}, {"nopivot", &O.with_pivot, 0},
      {"pivot", &O.with_pivot, 1}, {"hydrogens", &S.with_hydrogens, 1}, {"nohydrogens", &S.with_hydrogens, 0},
      {"hyd", &S.with_hydrogens, 1}, {"nohyd", &S.with_hydrogens, 0}, {"list", &S.do_list, 1},
      {"index", &S.with_index, 1}, {"canonical", &O.use_canonical, 1}, {"nocanonical", &O.use_canonical, 0},
      {"canon", &O.use_canonical, 1}, {"nocanon", &O.use_canonical, 0}, {"cache", &O.use_cache, 1},
      {"nocache", &O.use_cache, 0}, {"mask", &O.residue_mask, 1}, {"unmask", &O.residue_mask, -1},
      {"nomask", &O.residue_mask, 0}, {"backbone", &O.atom_mode, 1}, {"stats", &O.do_stats, 1},
      {"map", &O.write_map, 1}, {"partner", &O.do_partner, 1}, {"score", &S.do_score, 1},
      {"scop", &S.db_type, 1}, {"pfam", &S.db_type, 2}, {"ecod", &S.db_type, 3}, {"cath", &S.db_type, 0},
      {"many", &S.multi_query, 1}, {"single", &S.multi_query, 0}, {"multi", &O.do_multi, 1},
      {"nomulti", &O.do_multi, 0}, {"norainbow", &O.write_rainbow, 0}, {"rainbow", &O.write_rainbow, 1},
      {"nomodeller", &O.write_modeller, 0}, {"modeller", &O.write_modeller, 1}, {"server", &S.server_mode, 1},
      {"nothreads", &O.use_threads, 0}, {"threads", &O.use_threads, 1}, {"nothread", &O.use_threads, 0},
      {"thread", &O.use_threads, 1}, {"nosubdirs", &O.use_subdirs, 0}, {"subdirs", &O.use_subdirs, 1},
      {"nofsuffix", &O.flex_suffix, 0}, {"fsuffix", &O.flex_suffix, 1}, {"nomsuffix", &O.multi_suffix, 0},
      {"msuffix", &O.multi_suffix, 1}, {"broken", &O.use_broken, 1}, {"hetres", &S.with_hetres, 1},
      {"nohetres", &S.with_hetres, 0}, {"nostdout", &S.use_stdout, 0}, {"stdout", &S.use_stdout, 1},
      {"random", &O.use_random, 1}, {"norandom", &O.use_random, 0}, {"preprocess", &S.do_preprocess, 1},
      {"noseeds", &O.fit_seeds, 0}, {"noseed", &O.fit_seeds, 0}, {"nocycles", &O.fit_cycles, 0},
      {"nocycle", &O.fit_cycles, 0}, {"notime", &O.write_time, 0}, {"time", &O.write_time, 1},
      {"noroc", &O.write_roc, 0}, {"roc", &O.write_roc, 1}, {"close", &O.do_close, 1},
      {"noclose", &O.do_close, 0},
  };
  for (const Switch& c : cases) {
    SCOPED_TRACE(c.name);
    // Start from the opposite value, so that the switch has to change it.
    Parse first({});
    *c.field = c.value == 0 ? 1 : 0;
    std::vector<std::string> args = {"trel", std::string("-") + c.name + "=9"};  // a switch ignores a value
    std::vector<char*> argv = {args[0].data(), args[1].data(), nullptr};
    ASSERT_EQ(trel_parseOptions(2, argv.data(), &first.spec), TREL_PARSE_OK);
    EXPECT_EQ(*c.field, c.value);
  }
  Parse counts({"-force", "-force", "-memory", "-debug", "-debug"});
  EXPECT_EQ(O.use_force, 2);
  EXPECT_EQ(S.do_memory, 1);
  EXPECT_EQ(zam_debug, 2);
  zam_debug = 0;
}

TEST(Options, WriteSwitchesAndNowrite) {
  Parse p({"-nowrite", "-pdbanchor", "-nowrite"});
  EXPECT_EQ(O.do_write, 0);
  EXPECT_EQ(O.write_anchor, 1);  // -nowrite keeps the anchor files
  EXPECT_EQ(O.write_pdb, 0);
  EXPECT_EQ(O.write_matrix, 0);
  EXPECT_EQ(O.write_map, 0);
  EXPECT_TRUE(S.log_file.empty());
  Parse q({"-nowrite", "-pdb"});
  EXPECT_EQ(O.do_write, 1);
  EXPECT_EQ(O.write_pdb, 1);
  EXPECT_EQ(O.write_rank, 0);
  Parse r({"-nowrite", "-nopdb"});  // a switch that sets 0 leaves do_write alone
  EXPECT_EQ(O.do_write, 0);
  Parse s({"-noalign"});
  for (int v : {O.write_kalign, O.write_kpairs, O.write_kchains, O.write_trw, O.write_kmulti, O.write_kmsa,
                O.write_krmsd, O.write_profit})
    EXPECT_EQ(v, 0);
  EXPECT_EQ(O.write_fasta, 1);
  Parse t({"-nowrite", "-align"});
  EXPECT_EQ(O.do_write, 1);
  EXPECT_EQ(O.write_kalign, 1);
  EXPECT_EQ(O.write_knames, 0);
  Parse u({"-nowrite", "-model"});
  EXPECT_EQ(O.do_write, 1);
  EXPECT_EQ(O.do_model, 1);
  EXPECT_EQ(O.with_qseq, 1);
  Parse v({"-nolog"});
  EXPECT_TRUE(S.log_file.empty());
}

TEST(Options, SequenceAndFittingSwitchesChangeScoringAndSay) {
  Parse seq({"-seq"});
  EXPECT_EQ(O.with_qseq, 1);
  EXPECT_EQ(O.with_tseq, 1);
  EXPECT_FLOAT_EQ(S.align_blosum, 1.0f);
  EXPECT_FLOAT_EQ(S.align_trace, 0.0f);
  EXPECT_FLOAT_EQ(S.align_spatial, 0.0f);
  EXPECT_EQ(O.do_sort, 8);
  EXPECT_EQ(O.do_super, 0);
  EXPECT_EQ(O.write_pdb, 0);
  EXPECT_EQ(O.write_profit, 0);
  EXPECT_EQ(captured, "Changing to align on BLOSUM and sort on I-Score with option -seq.\n");
  Parse qseq({"-qseq"});
  EXPECT_EQ(O.with_tseq, 0);
  EXPECT_EQ(O.write_pdb, 1);
  EXPECT_EQ(captured, "Changing to align on BLOSUM and sort on I-Score with option -qseq.\n");
  Parse quiet({"-nowrite", "-tseq"});  // messages only while writing
  EXPECT_EQ(O.with_tseq, 1);
  EXPECT_EQ(captured, "");
  Parse nosuper({"-nosuper"});
  EXPECT_EQ(O.do_fit, 0);
  EXPECT_EQ(O.do_sort, 8);
  EXPECT_EQ(captured, "Changing to sort on I-Score with option -nosuper.\n");
  Parse nofit({"-nofit"});
  EXPECT_EQ(O.do_super, 1);
  EXPECT_EQ(captured,
            "Fitting off. Use option -nosuper for absolutely no superpositions.\n"
            "Changing to sort on I-Score with option -nofit.\n");
  Parse frag({"-f=0.4", "-fragment"});
  EXPECT_FLOAT_EQ(O.align_filter, 0.0f);
  EXPECT_FLOAT_EQ(S.align_trace, 1.0f);
  EXPECT_FLOAT_EQ(S.align_rho, 5.0f);
  EXPECT_EQ(O.residue_mask, 1);
  Parse job({"-job", "j7", "-trange=90", "-drange=4", "-dstep=0.5"});
  EXPECT_EQ(S.job_name, "j7");
  EXPECT_NEAR(job.spec.twist_range, M_PI / 2, 1e-12);
  EXPECT_EQ(captured, "Setting jobname: j7\nTwist range angle set: 90.000\nR12 range: 4.00\nR12 step: 0.50\n");
}

TEST(Options, ArgumentForms) {
  Parse a({"-TOP=5", "--Show", "7", "a.pdb", "-pdb", "b.pdb", "-seeds", "3", "SORT=t"});
  ASSERT_EQ(a.result, TREL_PARSE_OK);
  EXPECT_EQ(O.n_top, 5);
  EXPECT_EQ(O.n_show, 7);
  EXPECT_EQ(O.fit_seeds, 3);
  EXPECT_EQ(O.do_sort, 4);
  EXPECT_EQ(S.files, (std::vector<std::string>{"a.pdb", "b.pdb"}));
  Parse b({"-top=5", "-top", "9", "-top=2"});  // the last one wins
  EXPECT_EQ(O.n_top, 2);
  Parse c({"-sort=4"});
  EXPECT_EQ(O.do_sort, 4);
  Parse d({"-sort", "12"});
  EXPECT_EQ(O.do_sort, 1);
  Parse e({"-sort=p"});
  EXPECT_EQ(O.do_sort, 9);
  // A letter that names no score is told by the letters there are.
  Parse z({"-sort=Z"});
  EXPECT_EQ(z.result, TREL_PARSE_FAIL);
  EXPECT_NE(captured.find("(K, G, J, M, T, R, N, D, I or P)"), std::string::npos) << captured;
  for (const char* form : {"--db=cath40", "DB=cath40"}) {
    Parse f({form});
    EXPECT_EQ(S.db_name, "cath40");
  }
  Parse g({"-db", "cath40"});
  EXPECT_EQ(S.db_name, "cath40");
  EXPECT_TRUE(S.files.empty());
  Parse h({"-pdb=0"});
  EXPECT_EQ(O.write_pdb, 1);
}

// A value is read whole, as a number of the option's kind, or refused with
// an error naming the option; NaN and the infinities are refused; a value
// outside the range is clamped with one warning that names the option and
// the value used, and a value inside it draws no word.
TEST(Options, NumbersAreReadWholeAndClampedWithOneWarning) {
  for (const char* bad : {"-top=1e9", "-top", "-show=12abc", "-cycle=2.5", "-tau=nan", "-tau=inf", "-range=-inf",
                          "-range=1e999", "-sigma=0x", "-tf=1/2", "-columns=80cols", "-dr=12.7", "-tn=1e3",
                          "-sort=1.5", "-rstep=NaN", "-f=50%"}) {
    std::vector<std::string> words = {bad};
    if (std::string(bad) == "-top") words.push_back("12abc");
    Parse p(words);
    EXPECT_EQ(p.result, TREL_PARSE_FAIL) << bad;
    const std::string name = std::string(bad).substr(0, std::string(bad).find('='));
    EXPECT_EQ(captured.rfind("*Error* Option " + name + " needs a", 0), 0u) << bad << ": " << captured;
  }
  EXPECT_EQ(S.align_tau, 1.0f);  // the refused value left the setting alone

  Parse big({"-top=99999999999999999999", "-tau", "50", "-cycle=-3", "-columns=0", "-sort=12", "-tn=-1"});
  ASSERT_EQ(big.result, TREL_PARSE_OK) << captured;
  EXPECT_EQ(O.n_top, 2147483647);
  EXPECT_FLOAT_EQ(S.align_tau, 20.0f);
  EXPECT_EQ(O.fit_cycles, 0);
  EXPECT_EQ(O.n_columns, 10000);
  EXPECT_EQ(O.do_sort, 1);
  EXPECT_EQ(O.refine_number, 1);
  EXPECT_EQ(captured,
            "*Warning* Option -top=99999999999999999999 is out of range: using 2147483647.\n"
            "*Warning* Option -tau=50 is out of range: using 20.\n"
            "*Warning* Option -cycle=-3 is out of range: using 0.\n"
            "*Warning* Option -columns=0 is out of range: using 10000.\n"
            "*Warning* Option -sort=12 is out of range: using 1.\n"
            "*Warning* Option -tn=-1 is out of range: using 1.\n");

  Parse fine({"-top=+12", "-tau=2.5e-1", "-cycle", " 3 ", "-f=50"});
  ASSERT_EQ(fine.result, TREL_PARSE_OK) << captured;
  EXPECT_EQ(captured, "");
  EXPECT_EQ(O.n_top, 12);
  EXPECT_FLOAT_EQ(S.align_tau, 0.25f);
  EXPECT_EQ(O.fit_cycles, 3);
  EXPECT_FLOAT_EQ(O.align_filter, 0.5f);
}

TEST(Options, HelpAndVersionEndTheReading) {
  Parse help({"-HELP", "-top=5"});
  EXPECT_EQ(help.result, TREL_PARSE_EXIT);
  EXPECT_EQ(captured, trel_usageText());
  EXPECT_EQ(O.n_top, 64);
  Parse v({"-v"});
  EXPECT_EQ(v.result, TREL_PARSE_EXIT);
  EXPECT_EQ(captured.back(), '\n');
}

TEST(Options, BadInputIsRefused) {
  Parse unknown({"-top=3", "-bogus"});
  EXPECT_EQ(unknown.result, TREL_PARSE_FAIL);
  EXPECT_NE(captured.find("*Error* Option not recognised: bogus\n"), std::string::npos);
  EXPECT_NE(captured.find(" starting at "), std::string::npos);  // the start line comes first
  for (const char* lone : {"-", "--", "--=3"}) {
    Parse p({lone});
    EXPECT_EQ(p.result, TREL_PARSE_FAIL);
    EXPECT_NE(captured.find("*Error* Option not recognised: \n"), std::string::npos);
  }
  Parse abbreviated({"-ver"});
  EXPECT_EQ(abbreviated.result, TREL_PARSE_FAIL);
  Parse missing({"-top"});
  EXPECT_EQ(missing.result, TREL_PARSE_FAIL);
  EXPECT_EQ(captured, "*Error* Option -top needs a value.\n");
  Parse empty({"-log="});
  EXPECT_EQ(empty.result, TREL_PARSE_FAIL);
  for (const char* bad : {"-top=abc", "-f=x", "-rstep=fast", "-sort=best", "-sort=x", "-tn=?"}) {
    Parse p({bad});
    EXPECT_EQ(p.result, TREL_PARSE_FAIL) << bad;
    EXPECT_NE(captured.find("*Error* Option -"), std::string::npos) << bad;
  }
  Parse nofile({"-read", "/nonexistent/list.txt"});
  EXPECT_EQ(nofile.result, TREL_PARSE_FAIL);
  EXPECT_EQ(captured, "*Error* File not found: /nonexistent/list.txt\n");
  testutil::TempDir dir;
  testutil::write_file(dir.file("list.txt"), "a.pdb\n");
  Parse ok({"-source", dir.file("list.txt"), "-tl=" + dir.str()});
  EXPECT_EQ(ok.result, TREL_PARSE_OK);
  EXPECT_EQ(S.source_list, dir.file("list.txt"));
  EXPECT_EQ(S.target_list, dir.str());
}

// Rows of the settings table that the options change.
TEST(SettingsTable, ShowsTheRecordAndGoesToStdoutOnlyWhenDebugging) {
  Parse p({"-hydrogens", "-banded", "-top=9", "-trace=2"});
  _trel_options rec;
  setup_trel_options(&rec, &p.spec);
  auto heard = std::make_unique<testutil::Messages>();
  show_trel_options(&rec, &p.spec);
  EXPECT_EQ(captured, "");  // log only
  zam_debug = 1;
  show_trel_options(&rec, &p.spec);
  zam_debug = 0;
  heard.reset();
  std::string rule = std::string(65, '-') + "\n";
  EXPECT_EQ(captured.substr(0, rule.size()), rule);
  EXPECT_EQ(captured.substr(captured.size() - rule.size() - 1), rule + "\n");
  EXPECT_NE(captured.find("\nStrip hydrogens:                0\n"), std::string::npos);
  EXPECT_NE(captured.find("\nBanded alignment mode:          Yes (-banded)\n"), std::string::npos);
  EXPECT_NE(captured.find("\nTop matches to align:           9 (-top)\n"), std::string::npos);
  EXPECT_NE(captured.find("\nAlignment trace weight:         2.00 (-trace)\n"), std::string::npos);
}

}  // namespace
