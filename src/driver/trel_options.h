// The run's settings: the record that every stage reads (_trel_options), the
// driver's own settings variables with their defaults, the one option table
// that drives parsing, clamping, the usage text and the settings echo, and
// the start line. All settings live in one process-wide object,
// trel_run_settings, filled from the environment and the command line on
// the main thread before any worker thread exists.
#pragma once

#include <string>
#include <vector>

struct _docking_spec;

// The run settings record: switches of every output file, mode switches,
// structure-loading and alignment rules, counts and thresholds. String
// fields are borrowed from the driver, which owns them for the whole run.
struct _trel_options {
  _docking_spec* docking_spec = nullptr;
  const char* sys_folder = nullptr;  // database folder, ending in "/"
  const char* usr_folder = nullptr;  // cache folder, ending in "/"
  const char* res_folder = nullptr;  // results folder, ending in "/"
  const char* job_name = nullptr;
  int use_db = 0;
  int write_pdb = 1;
  int write_rank = 1;
  int write_hits = 1;
  int write_tops = 1;
  int write_vmd = 1;
  int write_zam = 1;
  int write_jmol = 1;
  int write_fasta = 1;
  int write_pir = 1;
  int write_kalign = 1;
  int write_kchains = 1;
  int write_knames = 1;
  int write_kcodes = 1;
  int write_kpairs = 1;
  int write_trw = 1;
  int write_kmulti = 1;
  int write_kmsa = 1;
  int write_krmsd = 1;
  int write_profit = 1;
  int write_rainbow = 1;
  int write_roc = 1;
  int write_conect = 0;
  int write_modeller = 1;
  int write_time = 1;
  int write_map = 0;
  int write_anchor = 0;
  int write_matrix = 1;
  int do_all = 0;
  int do_partner = 0;
  int do_ligand = 0;
  int do_fit = 1;
  int do_multi = 0;
  int do_super = 1;
  int do_close = 0;
  int do_stats = 0;
  int do_sort = 1;       // ranking score 0..9: K, G, J, M, T, R, N, D, I, P
  int do_tight = 1;
  int do_tidy = 1;
  int do_model = 0;
  int do_flex = 0;
  int do_renumber = 0;
  int do_write = 1;      // any result file at all
  int show_things = 0;   // print each structure's summary while it loads
  int use_binary = 0;
  int use_cache = 0;
  int use_force = 0;
  int use_random = 0;
  int use_canonical = 0;
  int use_subdirs = 1;
  int use_threads = 1;
  int use_broken = 0;
  int fit_seeds = 1;
  int fit_cycles = 4;
  int filter_method = 6;
  int refine_method = 0;  // 0 none, 1 by fraction, 2 by number
  float refine_fraction = 0.1f;
  int refine_number = 100;
  int residue_mask = 0;   // 0 all, 1 aligned only, -1 unaligned only
  int atom_mode = 1;
  int export_mode = 0;
  int sse_mode = 0;
  int flex_suffix = 1;
  int multi_suffix = 1;
  int with_qseq = 0;
  int with_tseq = 0;
  int with_rmt = 0;
  int refine_msa = 0;
  int with_pivot = 1;
  int pivot_rule = 0;
  int core_rule = 50;
  int anchor_rule = 0;
  int with_lookup = 0;    // look up classification codes while loading
  int with_spf = 0;
  int with_group = 0;
  int with_unified = 0;
  float nr_percent = 0.0f;
  float align_filter = 0.0f;
  float ca_range = 12.0f;
  float ca_contact = 7.0f;
  float ca_match = 3.4f;
  int n_columns = 80;
  int n_modeller = 10;
  int n_show = 40;
  int n_top = 64;
  int n_cath = 10;
  int n_roc = 500;
  int q_max = 15;
  int i_max = 15;
  int s_max = 20;
  int s_top = 5;
};

// Every setting of a run. `opt` holds the settings that reach the record,
// under the record's names; the rest are the driver's own.
struct trel_settings {
  _trel_options opt;

  // Alignment engine settings, pushed through its setters at start-up.
  float align_trace = 0.5f, align_spatial = 0.5f, align_blosum = 0.0f, align_cut = 0.0f;
  float align_rho = 0.1f, align_eta = 0.0f;
  float align_alpha = 2.0f, align_beta = 1.0f, align_gamma = 0.5f;
  float align_sigma = 1.0f, align_tau = 1.0f;
  float align_kbias = 2.0f, align_gbias = 1.0f;
  int align_window = 3, align_qcp = 1, align_banded = 0;

  int k_max = 15, j_max = 0, i_max = 15;  // matcher orders; i_max for a database build
  int use_device = -1;   // -1 or 1: a GPU when usable; 0: CPU only
  int use_stdout = 1;
  int really_delete = 1;
  int server_mode = 0;
  int multi_query = 0;
  int db_type = 0;       // 0 CATH, 1 SCOP, 2 Pfam, 3 ECOD
  int with_index = 0;
  int with_hydrogens = 0, with_hetres = 0;
  int box_mode = 0;
  int do_theor = 0, do_purge = 0, do_delete = 0, do_list = 0, do_extract = 0;
  int do_score = 0, do_preprocess = 0, do_build = 0, do_test = 0, do_kids = 0;
  int do_memory = 0;
  int debug_level = 0;   // becomes zam_debug once the options are read

  // Environment.
  int n_cpus = 0, n_gpus = 1, first_gpu = 0;
  std::string root, sys_folder, res_folder, usr_folder, job_name;

  // Strings set by options; "" when not given.
  std::string log_file, theor_file, extract_folder, only_file, select_pattern;
  std::string read_list, source_list, target_list, member_name, template_name;
  std::string sisy_file, homstrad_file, sabmark_folder, db_name;

  // Arguments that are neither options nor option values, in order.
  std::vector<std::string> files;
};

// The settings of this run (defaults until trel_parseOptions changes them).
extern trel_settings trel_run_settings;

// Puts every setting back to its default (the environment is not read).
void trel_resetSettings();

// Outcome of reading the command line.
enum trel_parse_result { TREL_PARSE_OK = 0, TREL_PARSE_EXIT = 1, TREL_PARSE_FAIL = 2 };

// Reads argv[1..argc-1] into trel_run_settings and the docking
// specification (which may be null while only the driver's settings are
// wanted: the specification options are then read and dropped).
// TREL_PARSE_EXIT after -help or -version (their text already printed);
// TREL_PARSE_FAIL after an error message (unknown option, missing or
// non-numeric value, missing list file). Prints option messages when
// do_write is on; sets zam_debug at the end.
trel_parse_result trel_parseOptions(int argc, char** argv, _docking_spec* spec);

// The usage text of -help, as one string.
std::string trel_usageText();

// Number of option keywords (synonyms counted one by one).
int trel_optionCount();
// 1 when name (without dashes) is an option keyword, compared without case.
int trel_isOption(const char* name);

// "\n%s starting at %s on host %s.\n" when do_write is on.
void trel_startLine();

// The empty message callback: drops the text.
void suppress_stdout(const char* text);

// Copies every setting into the record (leaving show_things and with_lookup
// alone) and stores spec in it; i_max is the -imax setting with SPF on, else 0.
void setup_trel_options(_trel_options* options, _docking_spec* spec);
// Prints the settings table to the log (and to standard output too when the
// debug level is above 0). spec may be null (its rows then show nothing).
void show_trel_options(const _trel_options* options, const _docking_spec* spec);
