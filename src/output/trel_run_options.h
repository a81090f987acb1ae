// The run settings record, kept with the lowest layer that reads it (the
// result writers) so that no layer needs a driver header. The driver fills
// it from the command line (driver/trel_options.h) before any worker thread
// runs; every other layer only reads it.
#pragma once

#include <algorithm>

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

// Characters per row of the alignment files: n_columns within 1..10000;
// 80 without options.
inline int trel_rowWidth(const _trel_options* o) { return o ? std::clamp(o->n_columns, 1, 10000) : 80; }
