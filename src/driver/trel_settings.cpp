// The run settings record: filled once from the settings of the run and
// echoed as the settings table into the log.
#include <cmath>

#include "driver/trel_options.h"
#include "matching/zam_dock_spec.h"
#include "runtime/zam_gpu.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace {

void rule() { zam_msg("%s\n", std::string(65, '-').c_str()); }

const char* orNull(const std::string& s) { return s.empty() ? "NULL" : s.c_str(); }

double degrees(double radians) { return radians * 180.0 / M_PI; }

}  // namespace

void setup_trel_options(_trel_options* options, _docking_spec* spec) {
  const trel_settings& s = trel_run_settings;
  int show_things = options->show_things;
  int with_lookup = options->with_lookup;
  *options = s.opt;
  options->show_things = show_things;
  options->with_lookup = with_lookup;
  options->docking_spec = spec;
  options->sys_folder = s.sys_folder.c_str();
  options->usr_folder = s.usr_folder.c_str();
  options->res_folder = s.res_folder.c_str();
  options->job_name = s.job_name.c_str();
  options->i_max = s.opt.with_spf ? s.i_max : 0;
}

void show_trel_options(const _trel_options* options, const _docking_spec* spec) {
  const trel_settings& s = trel_run_settings;
  // The settings go to the log alone; a warning given meanwhile is shown.
  const bool quiet = zam_debug <= 0;
  if (quiet) zam_logger_quiet(1);

  char host[32];
  rule();
  zam_msg("Hostname:                       %s\n", zam_get_host(host));
  zam_msg("Main memory:                    %d %s\n", zam_mb_memory(), "Mb");
  zam_msg("CPUs online:                    %d\n", zam_cpus_online());
  zam_msg("GPUs online:                    %d\n", zam_cuda_online());
  zam_msg("Compute threads:                %d\n", zam_thread_slots());
  zam_msg("TREL_ROOT:                      %s\n", zam_null_env("TREL_ROOT"));
  zam_msg("TREL_DATABASE:                  %s\n", zam_null_env("TREL_DATABASE"));
  zam_msg("TREL_CACHE:                     %s\n", zam_null_env("TREL_CACHE"));
  zam_msg("TREL_RESULTS:                   %s\n", zam_null_env("TREL_RESULTS"));
  zam_msg("TREL_JOB:                       %s\n", options->job_name ? options->job_name : "");
  zam_msg("TREL_CPUS:                      %d\n", s.n_cpus);
  zam_msg("TREL_GPUS:                      %d\n", s.n_gpus);
  zam_msg("System folder:                  %s\n", options->sys_folder ? options->sys_folder : "");
  zam_msg("Cache folder:                   %s\n", options->usr_folder ? options->usr_folder : "");
  zam_msg("Results folder:                 %s\n", options->res_folder ? options->res_folder : "");
  zam_msg("Source folder:                  %s\n", orNull(s.source_list));
  zam_msg("Strip hydrogens:                %d\n", s.with_hydrogens ? 0 : 1);
  rule();
  zam_msg("Top matches to align:           %d (-top)\n", options->n_top);
  zam_msg("Top hits to show and output:    %d (-show)\n", options->n_show);
  if (s.align_banded)
    zam_msg("Banded alignment mode:          %s (-banded)\n", "Yes");
  else
    zam_msg("Banded alignment mode:          %s (-nobanded)\n", "No");
  zam_msg("Banded alignment similarity:    %.2f (-filter)\n", options->align_filter);
  zam_msg("Alignment trace weight:         %.2f (-trace)\n", s.align_trace);
  zam_msg("Alignment spatial weight:       %.2f (-spatial)\n", s.align_spatial);
  zam_msg("Alignment Blosum62 weight:      %.2f (-blosum)\n", s.align_blosum);
  zam_msg("Alignment gap open penalty:     %.2f (-rho)\n", s.align_rho);
  zam_msg("Alignment gap extend penalty:   %.2f (-eta)\n", s.align_eta);
  zam_msg("Alignment alpha penalty factor: %.2f (-alpha)\n", s.align_alpha);
  zam_msg("Alignment beta penalty factor:  %.2f (-beta)\n", s.align_beta);
  zam_msg("Alignment loop penalty factor:  %.2f (-gamma)\n", s.align_gamma);
  zam_msg("Alignment K-score scale factor: %.2f (-sigma)\n", s.align_sigma);
  zam_msg("Alignment G-score scale factor: %.2f (-tau)\n", s.align_tau);
  zam_msg("Top CATH matches to output:     %d (-ncath)\n", options->n_cath);
  rule();
  zam_msg("Correlation scoring order:      %d\n", s.k_max);
  zam_msg("Re-scoring order:               %d\n", s.j_max);
  zam_msg("Top solutions to consider:      %d\n", options->s_top);
  zam_msg("Max solutions:                  %d\n", options->s_max);
  zam_msg("Database import order:          %d\n", options->i_max);
  if (spec) {
    zam_msg("Receptor range angle:           %.2lf\n", degrees(spec->receptor_range));
    zam_msg("Ligand range angle:             %.2lf\n", degrees(spec->ligand_range));
    zam_msg("Receptor step size:             %.2lf\n", spec->receptor_step);
    zam_msg("Ligand step size:               %.2lf\n", spec->ligand_step);
    zam_msg("Distance range:                 %.2lf\n", spec->r12_range);
    zam_msg("Distance step:                  %.2lf\n", spec->r12_step);
  }
  rule();
  zam_msg("\n");

  if (quiet) zam_logger_quiet(0);
}
