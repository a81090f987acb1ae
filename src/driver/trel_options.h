// The run's settings: the record that every stage reads (_trel_options), the
// driver's own settings variables with their defaults, the one option table
// that drives parsing, clamping, the usage text and the settings echo, and
// the start line. All settings live in one process-wide object,
// trel_run_settings, filled from the environment and the command line on
// the main thread before any worker thread exists.
#pragma once

#include <string>
#include <vector>

#include "output/trel_run_options.h"

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
// settings record (which may be null while only the driver's settings are
// wanted: the docking options are then read and dropped).
// TREL_PARSE_EXIT after -help or -version (their text already printed);
// TREL_PARSE_FAIL after an error message (unknown option, missing or
// non-numeric value, missing list file). Prints option messages when
// do_write is on; sets zam_debug at the end.
trel_parse_result trel_parseOptions(int argc, char** argv, _docking_spec* spec);

// The usage text of -help, as one string, listing every option keyword.
std::string trel_usageText();
// Prints the usage text through zam_msg.
void trel_showUsage();
// 1 when name is empty (none given) or a plain file name: not "." or "..",
// no '/' or '\\'. Otherwise 0 after an error naming what it is ("job name",
// "database name"), the name and where it came from (source: "-job",
// "TREL_JOB", "-build").
int trel_checkPlainName(const std::string& name, const char* what, const char* source);

// Number of option keywords (synonyms counted one by one), and keyword i
// (0 <= i < count; null outside) in the order names are compared.
int trel_optionCount();
const char* trel_optionName(int i);
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
