// The option table and the command-line reader. Each row names one keyword
// (synonyms and the two halves of a switch pair are rows of their own, in
// the order in which names are compared), says what kind of value it takes,
// which setting it changes, its range and its help line. Parsing, clamping
// and the usage text all read this one table.
#include "driver/trel_options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <strings.h>
#include <vector>

#include "matching/zam_dock_spec.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_version.h"

trel_settings trel_run_settings;

namespace {

trel_settings& S = trel_run_settings;
_trel_options& O = trel_run_settings.opt;

constexpr double kBig = 2147483647.0;
constexpr double kDeg = M_PI / 180.0;

enum Kind : char {
  SET,    // switch: int field = value
  COUNT,  // switch: int field += 1
  INT,    // =N: int field = N clamped to lo..hi
  REAL,   // =X: float field = X clamped to lo..hi
  TEXT,   // =T: string field
  SPEC,   // =X: double field of the docking settings, clamped, times scale
  ACT,    // anything else: the row's action
};

struct Opt;
// An action returns 0 to go on, 1 to end the run with status 0, -1 on error.
using Action = int (*)(const Opt& o, const char* value, _docking_spec* spec);

struct Opt {
  const char* key;
  Kind kind;
  bool takes_value;
  int* ifield;
  float* ffield;
  std::string* sfield;
  double _docking_spec::*dfield;
  int value;         // SET: the value stored
  double lo, hi;     // clamping range
  double scale;      // SPEC: factor applied after clamping
  bool plus_write;   // also sets do_write
  Action act;
  const char* msg;   // message printed with the value when do_write is on
  const char* arg;   // value placeholder of the usage line
  const char* help;  // usage description
};

constexpr Opt sw(const char* key, int* f, int v, bool w, const char* help = nullptr) {
  return Opt{key, SET, false, f, nullptr, nullptr, nullptr, v, 0, 0, 1, w, nullptr, nullptr, nullptr, help};
}
constexpr Opt cnt(const char* key, int* f, const char* help = nullptr) {
  return Opt{key, COUNT, false, f, nullptr, nullptr, nullptr, 0, 0, 0, 1, false, nullptr, nullptr, nullptr, help};
}
constexpr Opt num(const char* key, int* f, double lo, double hi, const char* arg, const char* help = nullptr) {
  return Opt{key, INT, true, f, nullptr, nullptr, nullptr, 0, lo, hi, 1, false, nullptr, nullptr, arg, help};
}
constexpr Opt real(const char* key, float* f, double lo, double hi, const char* arg, const char* help = nullptr) {
  return Opt{key, REAL, true, nullptr, f, nullptr, nullptr, 0, lo, hi, 1, false, nullptr, nullptr, arg, help};
}
constexpr Opt text(const char* key, std::string* f, const char* arg, const char* help = nullptr) {
  return Opt{key, TEXT, true, nullptr, nullptr, f, nullptr, 0, 0, 0, 1, false, nullptr, nullptr, arg, help};
}
constexpr Opt spec(const char* key, double _docking_spec::*f, double lo, double hi, double scale, const char* msg,
                   const char* help) {
  return Opt{key, SPEC, true, nullptr, nullptr, nullptr, f, 0, lo, hi, scale, false, nullptr, msg, "X", help};
}
constexpr Opt lst(const char* key, std::string* f, Action a, const char* help = nullptr) {
  return Opt{key, ACT, true, nullptr, nullptr, f, nullptr, 0, 0, 0, 1, false, a, nullptr, "F", help};
}
// An action row; a row with a value placeholder takes a value.
constexpr Opt act(const char* key, Action a, const char* arg, const char* help = nullptr, int v = 0,
                  int* f = nullptr) {
  return Opt{key, ACT, arg != nullptr, f, nullptr, nullptr, nullptr, v, 0, 0, 1, false, a, nullptr, arg, help};
}

void message(const char* fmt, double x) {
  if (O.do_write) zam_msg(fmt, x);
}
void message(const char* fmt, const char* s) {
  if (O.do_write) zam_msg(fmt, s);
}

// Reads the whole of value v as a number of the option's kind (blanks
// around it allowed): decimal digits with an optional sign for a whole
// number, any finite floating-point text for a real one. Anything else, NaN
// and the infinities included, is reported as an error naming the option.
bool readNumber(const Opt& o, const char* v, bool whole, double* out) {
  errno = 0;
  char* end = nullptr;
  double x = 0.0;
  if (whole)
    x = double(std::strtoll(v, &end, 10));  // past the range: held at its ends, then clamped
  else
    x = std::strtod(v, &end);
  const char* rest = end;
  while (rest && *rest && std::isspace(static_cast<unsigned char>(*rest))) rest++;
  if (!end || end == v || *rest) {
    zam_err("Option -%s needs %s, not \"%s\".\n", o.key, whole ? "a whole number" : "a number", v);
    return false;
  }
  if (!std::isfinite(x)) {
    zam_err("Option -%s needs a finite number, not \"%s\".\n", o.key, v);
    return false;
  }
  *out = x;
  return true;
}

// The value used for x, read from text v, when it lies outside lo..hi: the
// nearer end, said once in a warning naming the option and that value.
double clampTo(const Opt& o, const char* v, double x, double lo, double hi) {
  const double y = x < lo ? lo : (x > hi ? hi : x);
  if (y != x) zam_wrn("Option -%s=%s is out of range: using %.10g.\n", o.key, v, y);
  return y;
}

// A value that stands for another (-columns past its range, -sort outside
// the score numbers, -tn at 0 or below): said like a clamped one.
double replaced(const Opt& o, const char* v, double used) {
  zam_wrn("Option -%s=%s is out of range: using %.10g.\n", o.key, v, used);
  return used;
}

// Every write switch of the record except write_anchor.
int* const kWriteSwitches[] = {
    &O.write_pdb,    &O.write_rank,    &O.write_hits,   &O.write_tops,    &O.write_vmd,     &O.write_zam,
    &O.write_jmol,   &O.write_fasta,   &O.write_pir,    &O.write_kalign,  &O.write_kchains, &O.write_knames,
    &O.write_kcodes, &O.write_kpairs,  &O.write_trw,    &O.write_kmulti,  &O.write_kmsa,    &O.write_krmsd,
    &O.write_profit, &O.write_rainbow, &O.write_roc,    &O.write_conect,  &O.write_modeller, &O.write_time,
    &O.write_map,    &O.write_matrix,
};

int actHelp(const Opt&, const char*, _docking_spec*) {
  trel_showUsage();
  return 1;
}
int actVersion(const Opt&, const char*, _docking_spec*) {
  zam_msg("%s\n", zam_version_only());
  return 1;
}
int actNowrite(const Opt&, const char*, _docking_spec*) {
  for (int* f : kWriteSwitches) *f = 0;
  O.do_write = 0;
  S.log_file.clear();
  return 0;
}
int actNolog(const Opt&, const char*, _docking_spec*) {
  S.log_file.clear();
  return 0;
}
// -align / -noalign: the alignment files as a group.
int actAlign(const Opt& o, const char*, _docking_spec*) {
  for (int* f : {&O.write_kalign, &O.write_kpairs, &O.write_kchains, &O.write_trw, &O.write_kmulti,
                 &O.write_kmsa, &O.write_krmsd, &O.write_profit})
    *f = o.value;
  if (o.value) O.do_write = 1;
  return 0;
}
int actTheor(const Opt&, const char* v, _docking_spec*) {
  S.do_theor = 1;
  S.theor_file = v;
  return 0;
}
int actModel(const Opt&, const char*, _docking_spec*) {
  O.do_model = 1;
  O.with_qseq = 1;
  O.with_tseq = 0;
  O.do_write = 1;
  return 0;
}
// -qseq, -tseq, -seq: align on BLOSUM62 alone and rank by the I-score.
int actSequence(const Opt& o, const char*, _docking_spec*) {
  if (o.value & 1) O.with_qseq = 1;
  if (o.value & 2) {
    O.with_tseq = 1;
    O.write_pdb = O.write_matrix = O.write_profit = 0;
  }
  S.align_blosum = 1.0f;
  S.align_trace = S.align_spatial = S.align_cut = 0.0f;
  O.do_sort = 8;
  O.do_super = 0;
  O.do_fit = 0;
  message("Changing to align on BLOSUM and sort on I-Score with option -%s.\n", o.key);
  return 0;
}
int actNosuper(const Opt&, const char*, _docking_spec*) {
  O.do_super = 0;
  O.do_fit = 0;
  O.do_sort = 8;
  message("Changing to sort on I-Score with option -%s.\n", "nosuper");
  return 0;
}
int actNofit(const Opt&, const char*, _docking_spec*) {
  O.do_fit = 0;
  O.do_sort = 8;
  if (O.do_write) zam_msg("Fitting off. Use option -nosuper for absolutely no superpositions.\n");
  message("Changing to sort on I-Score with option -%s.\n", "nofit");
  return 0;
}
int actFragment(const Opt&, const char*, _docking_spec*) {
  O.align_filter = 0.0f;
  S.align_spatial = 0.0f;
  S.align_trace = 1.0f;
  S.align_rho = 5.0f;
  O.residue_mask = 1;
  return 0;
}
int actJob(const Opt&, const char* v, _docking_spec*) {
  if (!trel_checkPlainName(v, "job name", "-job")) return -1;
  S.job_name = v;
  message("Setting jobname: %s\n", v);
  return 0;
}
int actExtract(const Opt&, const char* v, _docking_spec*) {
  S.do_extract = 1;
  S.extract_folder = v;
  if (S.extract_folder.empty() || S.extract_folder.back() != '/') S.extract_folder += '/';
  return 0;
}
// -database, -db and -build: the database name is the base name of the value
// (-build takes only a plain name, so that is the name itself, less any extension).
std::string rootName(const char* v) {
  std::string base = v;
  while (base.size() > 1 && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  size_t slash = base.find_last_of("/\\");
  if (slash != std::string::npos) base.erase(0, slash + 1);
  size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  return base;
}
int actDatabase(const Opt&, const char* v, _docking_spec*) {
  O.use_db = 1;
  S.multi_query = 1;
  O.with_pivot = 0;
  S.db_name = rootName(v);
  return 0;
}
int actBuild(const Opt&, const char* v, _docking_spec*) {
  if (!trel_checkPlainName(v, "database name", "-build")) return -1;
  S.do_build = 1;
  S.db_name = rootName(v);
  return 0;
}
// -read, -source, -target: the list file or folder must exist.
int actList(const Opt& o, const char* v, _docking_spec*) {
  if (zam_filesize(v) == -1) {
    zam_err("File not found: %s\n", v);
    return -1;
  }
  *o.sfield = v;
  return 0;
}
int actColumns(const Opt& o, const char* v, _docking_spec*) {
  double n = 0;
  if (!readNumber(o, v, true, &n)) return -1;
  O.n_columns = (n >= 1 && n <= 10000) ? int(n) : int(replaced(o, v, 10000));
  return 0;
}
// -filter, -f: a fraction, or a percentage when above 1.
int actFilter(const Opt& o, const char* v, _docking_spec*) {
  double x = 0;
  if (!readNumber(o, v, false, &x)) return -1;
  x = clampTo(o, v, x, 0, 100);
  if (x > 1) x /= 100.0;
  O.align_filter = float(x);
  return 0;
}
// -sort: a score letter, or its index; anything outside 0..9 ranks by the G-score.
int actSort(const Opt& o, const char* v, _docking_spec*) {
  static const char letters[] = "KGJMTRNDIP";
  if (std::strlen(v) == 1) {
    const char* at = std::strchr(letters, std::toupper(static_cast<unsigned char>(v[0])));
    if (at && *at) {
      O.do_sort = int(at - letters);
      return 0;
    }
  }
  // Anything but a letter or a whole number is told as such, with the letters.
  char* end = nullptr;
  const long long n = std::strtoll(v, &end, 10);
  while (end && *end && std::isspace(static_cast<unsigned char>(*end))) end++;
  if (!end || end == v || *end) {
    zam_err("Option -%s needs a score letter (K, G, J, M, T, R, N, D, I or P) or its number 0 to 9, not \"%s\".\n",
            o.key, v);
    return -1;
  }
  O.do_sort = (n >= 0 && n <= 9) ? int(n) : int(replaced(o, v, 1));
  return 0;
}
int actTn(const Opt& o, const char* v, _docking_spec*) {
  double n = 0;
  if (!readNumber(o, v, true, &n)) return -1;
  O.refine_method = 2;
  O.refine_number = n <= 0 ? int(replaced(o, v, 1)) : int(clampTo(o, v, n, 1, kBig));
  return 0;
}
int actTf(const Opt& o, const char* v, _docking_spec*) {
  double x = 0;
  if (!readNumber(o, v, false, &x)) return -1;
  O.refine_method = 1;
  O.refine_fraction = float(clampTo(o, v, x, 0.0001, 1));
  return 0;
}
// -drange: a whole number of angstroms.
int actDrange(const Opt& o, const char* v, _docking_spec* spec) {
  double n = 0;
  if (!readNumber(o, v, true, &n)) return -1;
  const double r = clampTo(o, v, n, 0, 30);
  if (spec) spec->r12_range = r;
  message("R12 range: %.2lf\n", r);
  return 0;
}
int actSetMany(const Opt& o, const char*, _docking_spec*) {
  S.multi_query = o.value;
  return 0;
}

#define W true
#define NW false
const Opt kTable[] = {
    act("help", actHelp, nullptr, "show this text"),
    act("version", actVersion, nullptr, "show the version number"),
    act("v", actVersion, nullptr, "the same as -version"),
    act("nowrite", actNowrite, nullptr,
        "write no log and no search or alignment files (-all still writes its matrix, cluster and "
        "neighbour files, -score its .ksum summaries)"),
    text("log", &S.log_file, "F", "write the log to file F (default trel.log in the results folder)"),
    act("nolog", actNolog, nullptr, "write no log file"),
    sw("matrix", &O.write_matrix, 1, W, "write superposition and score matrix files (default)"),
    sw("nomatrix", &O.write_matrix, 0, NW, "do not write superposition and score matrix files"),
    sw("pdb", &O.write_pdb, 1, W, "write superposed PDB files (default)"),
    sw("nopdb", &O.write_pdb, 0, NW, "do not write superposed PDB files"),
    sw("rank", &O.write_rank, 1, W, "write .krank files (default)"),
    sw("norank", &O.write_rank, 0, NW, "do not write .krank files"),
    act("align", actAlign, nullptr, "write every alignment file (default)", 1),
    act("noalign", actAlign, nullptr, "do not write any alignment file", 0),
    sw("kchains", &O.write_kchains, 1, W, "write .kchains files (default)"),
    sw("nokchains", &O.write_kchains, 0, NW, "do not write .kchains files"),
    sw("knames", &O.write_knames, 1, W, "write .knames files (default)"),
    sw("noknames", &O.write_knames, 0, NW, "do not write .knames files"),
    sw("kcodes", &O.write_kcodes, 1, W, "write .kcode files (default)"),
    sw("nokcodes", &O.write_kcodes, 0, NW, "do not write .kcode files"),
    sw("kalign", &O.write_kalign, 1, W, "write .kalign files (default)"),
    sw("nokalign", &O.write_kalign, 0, NW, "do not write .kalign files"),
    sw("kpairs", &O.write_kpairs, 1, W, "write .kpairs files (default)"),
    sw("nokpairs", &O.write_kpairs, 0, NW, "do not write .kpairs files"),
    sw("trw", &O.write_trw, 1, W, "write .wpairs alignment files (default)"),
    sw("notrw", &O.write_trw, 0, NW, "do not write .wpairs alignment files"),
    sw("kmulti", &O.write_kmulti, 1, W, "write .kmulti files (default)"),
    sw("nokmulti", &O.write_kmulti, 0, NW, "do not write .kmulti files"),
    sw("kmsa", &O.write_kmsa, 1, W, "write .kmsa files (default)"),
    sw("nokmsa", &O.write_kmsa, 0, NW, "do not write .kmsa files"),
    sw("krmsd", &O.write_krmsd, 1, W, "write .krmsd RMSD profiles (default)"),
    sw("kprof", &O.write_krmsd, 1, W, "the same as -krmsd"),
    sw("nokrmsd", &O.write_krmsd, 0, NW, "do not write .krmsd RMSD profiles"),
    sw("nokprof", &O.write_krmsd, 0, NW, "the same as -nokrmsd"),
    sw("profit", &O.write_profit, 1, W, "write ProFit command files (default)"),
    sw("noprofit", &O.write_profit, 0, NW, "do not write ProFit command files"),
    sw("fasta", &O.write_fasta, 1, W, "write FASTA alignment files (default)"),
    sw("nofasta", &O.write_fasta, 0, NW, "do not write FASTA alignment files"),
    sw("pir", &O.write_pir, 1, W, "write PIR alignment files (default)"),
    sw("nopir", &O.write_pir, 0, NW, "do not write PIR alignment files"),
    sw("jmol", &O.write_jmol, 1, W, "write Jmol command files (default)"),
    sw("nojmol", &O.write_jmol, 0, NW, "do not write Jmol command files"),
    sw("zam", &O.write_zam, 1, W, "write Zam command files (default)"),
    sw("nozam", &O.write_zam, 0, NW, "do not write Zam command files"),
    sw("vmd", &O.write_vmd, 1, W, "write VMD command files (default)"),
    sw("novmd", &O.write_vmd, 0, NW, "do not write VMD command files"),
    sw("hits", &O.write_hits, 1, W, "write .khits files (default)"),
    sw("nohits", &O.write_hits, 0, NW, "do not write .khits files"),
    sw("tops", &O.write_tops, 1, W, "write .ktops files (default)"),
    sw("notops", &O.write_tops, 0, NW, "do not write .ktops files"),
    sw("connect", &O.write_conect, 1, W, "the same as -conect"),
    sw("conect", &O.write_conect, 1, W, "write CONECT records for aligned CA atoms"),
    sw("noconnect", &O.write_conect, 0, NW, "the same as -noconect"),
    sw("noconect", &O.write_conect, 0, NW, "write no CONECT records (default)"),
    sw("ligand", &O.do_ligand, 1, NW, "ligand mode: 1 query, 1 target and 1 ligand PDB file"),
    sw("noligand", &O.do_ligand, 0, NW, "no ligand mode (default)"),
    act("theor", actTheor, "F", "write one theoretical-model PDB file per residue of PDB file F"),
    act("theoretical", actTheor, "F", "the same as -theor"),
    act("model", actModel, nullptr, "find templates for query sequences and write modelling files"),
    sw("rmt", &O.with_rmt, 1, NW, "with -score: apply the rotation-translation (.rmt) file of each alignment"),
    sw("purge", &S.do_purge, 1, NW, "delete the results folder"),
    sw("clean", &S.do_purge, 1, NW, "delete the results folder"),
    sw("delete", &S.do_delete, 1, NW, "delete the database given with -db"),
    sw("dummy", &S.really_delete, 0, NW, "only show what -purge or -delete would delete"),
    sw("kids", &S.do_kids, 1, NW, "allocator self-test (ends with status 1)"),
    sw("binary", &O.use_binary, 1, NW, "keep raw structure images in a database"),
    sw("nobinary", &O.use_binary, 0, NW, "keep PDB text in a database (default)"),
    sw("test", &S.do_test, 1, NW, "with one query and one target: write three ideal backbones, no search"),
    act("qseq", actSequence, nullptr, "query files are sequences", 1),
    act("tseq", actSequence, nullptr, "target files are sequences", 2),
    act("seq", actSequence, nullptr, "query and target files are sequences", 3),
    sw("spf", &O.with_spf, 1, NW, "superpose the hits from an SPF rotational match"),
    sw("nospf", &O.with_spf, 0, NW, "no SPF rotational match (default unless -q0 to -q5)"),
    sw("pdbanchor", &O.write_anchor, 1, W, "write the anchor superpositions as PDB files"),
    sw("nopdbanchor", &O.write_anchor, 0, NW, "do not write anchor PDB files (default)"),
    sw("renumber", &O.do_renumber, 1, NW, "write renumbered target PDB files"),
    sw("norenumber", &O.do_renumber, 0, NW, "keep the residue numbers of target PDB files (default)"),
    sw("flex", &O.do_flex, 1, NW, "flexible alignment"),
    sw("noflexible", &O.do_flex, 0, NW, "the same as -noflex"),
    sw("noflex", &O.do_flex, 0, NW, "rigid alignment (default)"),
    sw("rigid", &O.do_flex, 0, NW, "rigid alignment (default)"),
    sw("mrefine", &O.refine_msa, 1, NW, "refine multiple alignments"),
    sw("nomrefine", &O.refine_msa, 0, NW, "do not refine multiple alignments (default)"),
    sw("super", &O.do_super, 1, NW, "superpose the hits (default)"),
    act("nosuper", actNosuper, nullptr, "no superposition or fitting; rank by the I-score"),
    sw("fit", &O.do_fit, 1, NW, "least-squares fitting after superposition (default)"),
    act("nofit", actNofit, nullptr, "no fitting; rank by the I-score"),
    sw("tidy", &O.do_tidy, 1, NW, "tidy the final alignment (default)"),
    sw("notidy", &O.do_tidy, 0, NW, "do not tidy the final alignment"),
    sw("tight", &O.do_tight, 1, NW, "tight fitting (default)"),
    sw("notight", &O.do_tight, 0, NW, "no tight fitting"),
    sw("all", &O.do_all, 1, NW, "compare all structures with all"),
    num("sol", &O.s_top, 1, 10000, "N", "SPF: align from the best N pose clusters, 1-10000 (default 5)"),
    num("export", &O.export_mode, 0, 4, "N", "form of extracted structures, 0-4 (default 0)"),
    sw("sse", &O.sse_mode, 1, NW, "write secondary-structure records in PDB files"),
    sw("nosse", &O.sse_mode, 0, NW, "no secondary-structure records in PDB files (default)"),
    sw("unified", &O.with_unified, 1, NW, "one multi-model PDB file for all structures"),
    sw("nounified", &O.with_unified, 0, NW, "one PDB file per structure (default)"),
    real("range", &O.ca_range, 1, 20, "X", "CA distance range of the Gaussian overlap, 1-20 (default 12)"),
    real("contact", &O.ca_contact, 1, 20, "X", "CA contact threshold, 1-20 (default 7)"),
    real("match", &O.ca_match, 1, 20, "X", "CA match threshold, 1-20 (default 3.4)"),
    real("trace", &S.align_trace, 0, kBig, "X", "K-score trace weight (default 0.5)"),
    real("spatial", &S.align_spatial, 0, kBig, "X", "K-score spatial weight (default 0.5)"),
    real("blosum", &S.align_blosum, 0, kBig, "X", "K-score BLOSUM62 weight (default 0)"),
    real("cut", &S.align_cut, 0, kBig, "X", "K-score cut weight (default 0)"),
    sw("refine", &O.refine_method, 1, NW, "tandem search: superpose the best fraction -tf of the pre-scored targets"),
    sw("norefine", &O.refine_method, 0, NW, "no tandem search (default)"),
    act("columns", actColumns, "N", "characters per alignment line, 1-10000 (default 80)"),
    act("cols", actColumns, "N", "the same as -columns"),
    sw("banded", &S.align_banded, 1, NW, "banded alignment"),
    sw("nobanded", &S.align_banded, 0, NW, "full alignment (default)"),
    sw("qcp", &S.align_qcp, 1, NW, "superpose by the QCP method (default)"),
    sw("noqcp", &S.align_qcp, 0, NW, "superpose by an eigenvector fit"),
    act("filter", actFilter, "F", "size filter as a fraction or a percentage (default 0)"),
    act("f", actFilter, "F", "the same as -filter"),
    act("fragment", actFragment, nullptr, "fragment search: trace weight 1, rho 5, aligned residues only"),
    sw("q6", &O.filter_method, 6, NW, "pre-score the targets by their backbone traces (default)"),
    sw("q5", &O.filter_method, 5, NW, "pre-score by an FFT search of turns about and separations along z"),
    sw("q4", &O.filter_method, 4, NW, "pre-score by an FFT search of the turn about the canonical z axis"),
    sw("q3", &O.filter_method, 3, NW, "pre-score by the invariants about z of six canonical orientations"),
    sw("q2", &O.filter_method, 2, NW, "pre-score by the radii of the radial moments of the shape"),
    sw("q1", &O.filter_method, 1, NW, "pre-score by the rotation invariants of the shape"),
    sw("q0", &O.filter_method, 0, NW, "pre-score nothing: superpose every target from an SPF match"),
    sw("box", &S.box_mode, 0, NW, "no effect"),
    sw("cpu", &S.use_device, 0, NW, "compute on the CPU only"),
    sw("gpu", &S.use_device, 1, NW, "use a GPU when one is usable (none in this build)"),
    sw("pivot", &O.with_pivot, 1, NW, "-multi: try every structure as the pivot (default)"),
    sw("nopivot", &O.with_pivot, 0, NW, "-multi: the first structure is the pivot"),
    act("sort", actSort, "S", "rank by score K, G, J, M, T, R, N, D, I or P (default G)"),
    sw("hydrogens", &S.with_hydrogens, 1, NW, "keep hydrogen atoms"),
    sw("hyd", &S.with_hydrogens, 1, NW, "the same as -hydrogens"),
    sw("nohydrogens", &S.with_hydrogens, 0, NW, "strip hydrogen atoms (default)"),
    sw("nohyd", &S.with_hydrogens, 0, NW, "the same as -nohydrogens"),
    act("job", actJob, "J", "job name J, a plain file name: names -multi, -all and -score results"),
    act("extract", actExtract, "D", "extract the database's structures into folder D"),
    sw("list", &S.do_list, 1, NW, "list the database given with -db"),
    text("only", &S.only_file, "F", "use only the members named in file F"),
    text("select", &S.select_pattern, "P", "use only the members of classification pattern P"),
    sw("index", &S.with_index, 1, NW, "the database folder is in index form"),
    sw("canonical", &O.use_canonical, 1, NW, "write results in the query's canonical frame, not its own coordinates"),
    sw("canon", &O.use_canonical, 1, NW, "the same as -canonical"),
    sw("nocanonical", &O.use_canonical, 0, NW, "write results in the query's own coordinates (default)"),
    sw("nocanon", &O.use_canonical, 0, NW, "the same as -nocanonical"),
    sw("cache", &O.use_cache, 1, NW, "keep per-structure cache files"),
    sw("nocache", &O.use_cache, 0, NW, "keep no cache files (default)"),
    act("database", actDatabase, "D", "search the structure database D"),
    act("db", actDatabase, "D", "the same as -database"),
    sw("mask", &O.residue_mask, 1, NW, "write aligned residues only to PDB files"),
    sw("nomask", &O.residue_mask, 0, NW, "write all residues to PDB files (default)"),
    sw("unmask", &O.residue_mask, -1, NW, "write unaligned residues only to PDB files"),
    sw("backbone", &O.atom_mode, 1, NW, "no effect (the backbone atom mode is the only one)"),
    sw("stats", &O.do_stats, 1, NW, "statistics after a database build"),
    sw("map", &O.write_map, 1, W, "write .kmap trace score maps"),
    sw("partner", &O.do_partner, 1, NW, "all against all: choose the best partners"),
    num("group", &O.with_group, 0, kBig, "N", "keep at most N hits in a run of one family (default 0: off)"),
    real("nr", &O.nr_percent, 0, 100, "P", "identity threshold in percent of the non-redundancy filter (default 0)"),
    sw("score", &S.do_score, 1, NW, "score the given multiple alignment files"),
    text("sisy", &S.sisy_file, "F", "SISY reference file"),
    text("homstrad", &S.homstrad_file, "F", "HOMSTRAD reference file"),
    text("sabmark", &S.sabmark_folder, "D", "SABMARK reference folder"),
    act("build", actBuild, "D", "build the structure database D"),
    sw("cath", &S.db_type, 0, NW, "classify a database by CATH (default)"),
    sw("scop", &S.db_type, 1, NW, "classify a database by SCOP"),
    sw("pfam", &S.db_type, 2, NW, "classify a database by Pfam"),
    sw("ecod", &S.db_type, 3, NW, "classify a database by ECOD"),
    act("single", actSetMany, nullptr, "only the first file is a query (default)", 0),
    act("many", actSetMany, nullptr, "every file is a query", 1),
    sw("multi", &O.do_multi, 1, NW, "multiple structural alignment"),
    sw("nomulti", &O.do_multi, 0, NW, "no multiple alignment (default)"),
    sw("rainbow", &O.write_rainbow, 1, W, "write rainbow-coloured PDB files (default)"),
    sw("norainbow", &O.write_rainbow, 0, NW, "do not write rainbow-coloured PDB files"),
    sw("modeller", &O.write_modeller, 1, W, "write modelling files (default)"),
    sw("nomodeller", &O.write_modeller, 0, NW, "do not write modelling files"),
    sw("server", &S.server_mode, 1, NW, "results in the current folder (unless TREL_RESULTS), no sub-folders or cache"),
    sw("threads", &O.use_threads, 1, NW, "use worker threads (default)"),
    sw("thread", &O.use_threads, 1, NW, "the same as -threads"),
    sw("nothreads", &O.use_threads, 0, NW, "use no worker threads"),
    sw("nothread", &O.use_threads, 0, NW, "the same as -nothreads"),
    sw("subdirs", &O.use_subdirs, 1, NW, "one results sub-folder per query (default)"),
    sw("nosubdirs", &O.use_subdirs, 0, NW, "all results in the results folder"),
    sw("fsuffix", &O.flex_suffix, 1, NW, "add \"_flex\" to the names of flexible results (default)"),
    sw("nofsuffix", &O.flex_suffix, 0, NW, "no \"_flex\" in the names of flexible results"),
    sw("msuffix", &O.multi_suffix, 1, NW, "add \"_multi\" to the names of multiple-alignment results (default)"),
    sw("nomsuffix", &O.multi_suffix, 0, NW, "no \"_multi\" in the names of multiple-alignment results"),
    num("core", &O.core_rule, 0, 100, "P", "the same as -core_rule"),
    num("core_rule", &O.core_rule, 0, 100, "P", "core-column percentage, 0-100 (default 50)"),
    num("pivot_rule", &O.pivot_rule, 0, 3, "R", "pivot acceptance rule, 0-3 (default 0)"),
    num("anchor_rule", &O.anchor_rule, 0, 2, "R", "the same as -anchor"),
    num("anchor", &O.anchor_rule, 0, 2, "R", "anchor rule, 0-2 (default 0)"),
    sw("broken", &O.use_broken, 1, NW, "accept broken structures"),
    sw("hetres", &S.with_hetres, 1, NW, "read the residues of HETATM records"),
    sw("nohetres", &S.with_hetres, 0, NW, "skip the residues of HETATM records (default)"),
    sw("stdout", &S.use_stdout, 1, NW, "messages to standard output (default)"),
    sw("nostdout", &S.use_stdout, 0, NW, "messages to the log only"),
    cnt("force", &O.use_force, "rebuild cached structure files even when they are up to date"),
    sw("random", &O.use_random, 1, NW, "rotate every structure read at random"),
    sw("norandom", &O.use_random, 0, NW, "no random rotation (default)"),
    text("member", &S.member_name, "M", "the database member M is the query"),
    text("template", &S.template_name, "M", "template name M"),
    sw("preprocess", &S.do_preprocess, 1, NW, "clean up the given PDB files"),
    lst("read", &S.read_list, actList, "list file F of all structures, the query first"),
    lst("source", &S.source_list, actList, "list file or folder F of queries"),
    lst("sources", &S.source_list, actList, "the same as -source"),
    lst("queries", &S.source_list, actList, "the same as -source"),
    lst("ql", &S.source_list, actList, "the same as -source"),
    lst("target", &S.target_list, actList, "list file or folder F of targets"),
    lst("targets", &S.target_list, actList, "the same as -target"),
    lst("tl", &S.target_list, actList, "the same as -target"),
    real("sigma", &S.align_sigma, 0.01, kBig, "X", "K-score scale factor, at least 0.01 (default 1)"),
    real("tau", &S.align_tau, 0, 20, "X", "G-score scale factor, 0-20 (default 1)"),
    num("window", &S.align_window, 1, 4, "N", "scoring window, 1-4 (default 3)"),
    real("rho", &S.align_rho, -kBig, kBig, "X", "gap-open penalty unit (default 0.1)"),
    real("open", &S.align_rho, -kBig, kBig, "X", "the same as -rho"),
    real("alpha", &S.align_alpha, -kBig, kBig, "X", "helix gap-opening factor (default 2)"),
    real("beta", &S.align_beta, -kBig, kBig, "X", "strand gap-opening factor (default 1)"),
    real("gamma", &S.align_gamma, -kBig, kBig, "X", "loop gap-opening factor (default 0.5)"),
    real("eta", &S.align_eta, -kBig, kBig, "X", "gap-extension penalty (default 0)"),
    real("kbias", &S.align_kbias, -kBig, kBig, "X", "K-score identity bias (default 2)"),
    real("gbias", &S.align_gbias, -kBig, kBig, "X", "G-score identity bias (default 1)"),
    num("seeds", &O.fit_seeds, 0, 500, "N", "number of fitting seeds, 0-500 (default 1)"),
    num("seed", &O.fit_seeds, 0, 500, "N", "the same as -seeds"),
    sw("noseeds", &O.fit_seeds, 0, NW, "no fitting seeds"),
    sw("noseed", &O.fit_seeds, 0, NW, "the same as -noseeds"),
    num("cycle", &O.fit_cycles, 0, 20, "N", "fitting iterations, 0-20 (default 4)"),
    sw("nocycles", &O.fit_cycles, 0, NW, "no fitting iterations"),
    sw("nocycle", &O.fit_cycles, 0, NW, "the same as -nocycles"),
    sw("time", &O.write_time, 1, W, "write .ktime files (default)"),
    sw("notime", &O.write_time, 0, NW, "do not write .ktime files"),
    sw("roc", &O.write_roc, 1, W, "write ROC and AUC files (default)"),
    sw("noroc", &O.write_roc, 0, NW, "do not write ROC and AUC files"),
    num("nroc", &O.n_roc, 0, 2000, "N", "points of a ROC curve, 0-2000 (default 500)"),
    num("nmodel", &O.n_modeller, 1, 1000, "N", "models per modelling script, 1-1000 (default 10)"),
    act("tf", actTf, "X", "tandem search: superpose the best fraction X of the targets, 0.0001-1"),
    act("tn", actTn, "N", "tandem search: superpose the best N targets (at least -top and -show)"),
    spec("trange", &_docking_spec::twist_range, 0, 360, kDeg, "Twist range angle set: %3.3f\n",
         "SPF twist range angle, 0-360 degrees (default 360)"),
    spec("lrange", &_docking_spec::ligand_range, 0, 180, kDeg, "Ligand range angle set: %3.3f\n",
         "SPF target range angle, 0-180 degrees (default 180)"),
    spec("rrange", &_docking_spec::receptor_range, 0, 180, kDeg, "Receptor range angle set: %3.3f\n",
         "SPF query range angle, 0-180 degrees (default 180)"),
    spec("rstep", &_docking_spec::receptor_step, 5.5, 30, 1, nullptr,
         "SPF query step size, 5.5-30 degrees (default 20)"),
    spec("rs", &_docking_spec::receptor_step, 5.5, 30, 1, nullptr, "the same as -rstep"),
    spec("lstep", &_docking_spec::ligand_step, 5.5, 30, 1, nullptr,
         "SPF target step size, 5.5-30 degrees (default 10)"),
    spec("ls", &_docking_spec::ligand_step, 5.5, 30, 1, nullptr, "the same as -lstep"),
    spec("dstep", &_docking_spec::r12_step, 0.1, 1, 1, "R12 step: %.2f\n",
         "SPF distance step, 0.1-1 angstroms (default 0.8)"),
    spec("ds", &_docking_spec::r12_step, 0.1, 1, 1, "R12 step: %.2f\n", "the same as -dstep"),
    act("drange", actDrange, "N", "SPF distance range, 0-30 angstroms (default 6)"),
    act("dr", actDrange, "N", "the same as -drange"),
    num("nmax", &S.k_max, 2, 30, "N", "order of the SPF coefficients, 2-30 (default 15)"),
    num("jmax", &S.j_max, 0, 30, "N", "SPF re-scoring order, 0-30 (default 0: none)"),
    num("imax", &S.i_max, 2, 30, "N", "order of the coefficients a -spf database build keeps, 2-30 (default 15)"),
    num("top", &O.n_top, 1, kBig, "N", "top matches to superpose and align (default 64)"),
    num("show", &O.n_show, 1, kBig, "N", "top hits to show and write (default 40)"),
    num("ncath", &O.n_cath, 1, 100, "N", "top classification matches written, 1-100 (default 10)"),
    num("maxs", &O.s_max, 1, 2000, "N", "SPF solutions kept, 1-2000 (default 20)"),
    num("verbose", &S.debug_level, 0, 2, "N", "debug level, 0-2 (default 0)"),
    cnt("debug", &S.debug_level, "raise the debug level by 1"),
    cnt("memory", &S.do_memory, "raise the allocator's debug level by 1"),
    sw("close", &O.do_close, 1, NW, "close the structure objects after the search"),
    sw("noclose", &O.do_close, 0, NW, "keep the structure objects open to the end (default)"),
};
#undef W
#undef NW

// Order of the option lines of the usage text; -version and -help close it.
const char* const kUsageOrder[] = {
    "show", "top", "sort", "fit", "nofit", "flex", "noflex", "rigid", "renumber", "norenumber", "multi",
    "nomulti", "pivot_rule", "core_rule", "mrefine", "nr", "seq", "qseq", "tseq", "model", "template",
    "cycle", "database", "db", "build", "extract", "select", "only", "member", "source", "target", "read",
    "list", "delete", "clean", "purge", "dummy", "cath", "scop", "pfam", "ecod", "broken", "hetres",
    "nohetres", "stats", "score", "sisy", "homstrad", "sabmark", "stdout", "nostdout", "subdirs",
    "nosubdirs", "threads", "nothreads", "binary", "nobinary", "cache", "nocache", "single", "many",
    "ligand", "columns", "conect", "noconect", "zam", "nozam", "vmd", "novmd", "jmol", "nojmol", "pdb",
    "nopdb", "matrix", "nomatrix", "sse", "nosse", "anchor", "fasta", "nofasta", "pir", "nopir", "trw",
    "notrw", "krmsd", "nokrmsd", "profit", "noprofit", "nohits", "notops", "norank", "noalign", "nowrite",
    "rainbow", "norainbow", "all", "partner", "trace", "spatial", "blosum", "window", "rho", "alpha", "beta",
    "gamma", "eta", "sigma", "tau", "kbias", "gbias", "range", "contact", "match", "filter", "f",
    "fragment", "seeds", "noseeds", "mask", "nomask", "unmask", "tidy", "notidy", "banded", "nobanded",
    "nohydrogens", "hydrogens", "random", "norandom", "unified", "nounified", "roc", "noroc", "nroc", "log",
    "verbose", "debug",
};

const Opt* findOption(const char* name) {
  for (const Opt& o : kTable)
    if (strcasecmp(o.key, name) == 0) return &o;
  return nullptr;
}

void usageLine(std::string& out, const Opt& o) {
  std::string flag = std::string("-") + o.key;
  if (o.arg) flag += std::string("=") + o.arg;
  char line[256];
  std::snprintf(line, sizeof line, " %-15s%s\n", flag.c_str(), o.help);
  out += line;
}

// Applies one option; 0 to go on, 1 to end with status 0, -1 on error.
int apply(const Opt& o, const char* value, _docking_spec* spec) {
  switch (o.kind) {
    case SET:
      *o.ifield = o.value;
      if (o.plus_write) O.do_write = 1;
      return 0;
    case COUNT:
      ++*o.ifield;
      return 0;
    case INT:
    case REAL:
    case SPEC:
      break;
    case TEXT:
      *o.sfield = value;
      return 0;
    case ACT:
      return o.act(o, value, spec);
  }
  // The numeric kinds: the whole value read as a number, then clamped.
  double x = 0;
  if (!readNumber(o, value, o.kind == INT, &x)) return -1;
  x = clampTo(o, value, x, o.lo, o.hi);
  switch (o.kind) {
    case INT:
      *o.ifield = int(x);
      return 0;
    case REAL:
      *o.ffield = float(x);
      return 0;
    case SPEC: {
      if (spec) spec->*o.dfield = x * o.scale;
      if (o.msg) message(o.msg, x);
      return 0;
    }
    default:
      return 0;
  }
}

}  // namespace

void trel_resetSettings() { trel_run_settings = trel_settings{}; }

void suppress_stdout(const char*) {}

void trel_startLine() {
  if (!O.do_write) return;
  char date[32], host[32];
  zam_msg("\n%s starting at %s on host %s.\n", zam_version(), zam_get_date(date), zam_get_host(host));
}

// The usage text lists the options of kUsageOrder first, then every other
// keyword of the table in table order, so that no option the reader takes
// is missing from it.
std::string trel_usageText() {
  std::string out = "\nUsage: trel [-option -option=value] <list-of-pdb-files>\n  where options are:\n\n";
  std::vector<bool> listed(std::size(kTable), false);
  for (const char* key : kUsageOrder) {
    const Opt* o = findOption(key);
    if (o && !listed[size_t(o - kTable)]) {
      usageLine(out, *o);
      listed[size_t(o - kTable)] = true;
    }
  }
  for (const char* key : {"help", "version"}) listed[size_t(findOption(key) - kTable)] = true;
  for (size_t k = 0; k < std::size(kTable); ++k)
    if (!listed[k]) usageLine(out, kTable[k]);
  out += "\n";
  usageLine(out, *findOption("version"));
  usageLine(out, *findOption("help"));
  out += "\n";
  return out;
}

// Line by line: a message is cut at 256 characters.
void trel_showUsage() {
  std::string text = trel_usageText();
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    zam_msg("%s\n", text.substr(at, nl - at).c_str());
    at = nl + 1;
  }
}

int trel_checkPlainName(const std::string& name, const char* what, const char* source) {
  // A job name becomes the first part of result file and folder names inside
  // the results folder, a database name that of its folder in the database
  // root: a separator or a dot name would put them elsewhere ("../..",
  // "a/b"), or be cut to a name the user did not give.
  if (name.empty() || (name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos)) return 1;
  zam_err("The %s \"%s\" (%s) is not a plain file name: it may not hold '/' or '\\', nor be \".\" or "
          "\"..\".\n",
          what, name.c_str(), source);
  return 0;
}

int trel_optionCount() { return int(std::size(kTable)); }

const char* trel_optionName(int i) { return i >= 0 && i < trel_optionCount() ? kTable[i].key : nullptr; }

int trel_isOption(const char* name) { return name && findOption(name) ? 1 : 0; }

trel_parse_result trel_parseOptions(int argc, char** argv, _docking_spec* spec) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i] ? argv[i] : "";
    size_t eq = arg.find('=');
    bool dashed = !arg.empty() && arg[0] == '-';
    if (eq == std::string::npos && !dashed) {
      S.files.push_back(arg);
      continue;
    }
    std::string head = eq == std::string::npos ? arg : arg.substr(0, eq);
    size_t skip = head.compare(0, 2, "--") == 0 ? 2 : (head.compare(0, 1, "-") == 0 ? 1 : 0);
    std::string name = head.substr(skip);
    const Opt* o = findOption(name.c_str());
    if (!o) {
      trel_startLine();
      zam_err("Option not recognised: %s\n", name.c_str());
      return TREL_PARSE_FAIL;
    }
    std::string value;
    bool has_value = false;
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
      has_value = true;
    } else if (o->takes_value && i + 1 < argc) {
      value = argv[++i];  // the next argument is this option's value
      has_value = true;
    }
    if (o->takes_value) {
      if (!has_value || value.empty()) {
        zam_err("Option -%s needs a value.\n", o->key);
        return TREL_PARSE_FAIL;
      }
    }
    int rc = apply(*o, value.c_str(), spec);
    if (rc > 0) return TREL_PARSE_EXIT;
    if (rc < 0) return TREL_PARSE_FAIL;
  }
  zam_debug = S.debug_level;
  return TREL_PARSE_OK;
}
