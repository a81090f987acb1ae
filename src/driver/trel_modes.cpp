// The modes of trel_top.
#include "driver/trel_modes.h"

#include <string>

#include "driver/trel_model.h"
#include "driver/trel_options.h"
#include "harmonics/zam_cache.h"
#include "matching/zam_dock_spec.h"
#include "matching/zam_platonic.h"
#include "msa/trel_msa_input.h"
#include "runtime/zam_log.h"
#include "store/trel_cath.h"
#include "store/trel_database.h"
#include "store/trel_folders.h"
#include "store/trel_preprocess.h"

namespace {

// The database opened for a search, closed at the end of the run.
_trel_db* open_db = nullptr;

// What the store reads of the run settings.
_trel_db_opts dbOptions(const _trel_options* o) {
  _trel_db_opts d;
  d.thing.with_spf = o->with_spf;
  d.thing.use_force = o->use_force;
  d.thing.use_random = o->use_random;
  d.thing.with_lookup = o->with_lookup;
  d.thing.do_write = o->do_write;
  d.thing.show_things = o->show_things;
  d.thing.filter_method = o->filter_method;
  d.thing.q_max = o->q_max;
  // Descriptors are sampled on the docking grid: its cell size and its
  // distance limit as the largest half-width.
  if (o->docking_spec) {
    d.thing.grid_spacing = o->docking_spec->grid_spacing;
    d.thing.grid_extent = o->docking_spec->potential_cutoff;
  }
  d.i_max = o->i_max;
  d.use_binary = o->use_binary;
  d.do_stats = o->do_stats;
  d.export_mode = o->export_mode;
  return d;
}

}  // namespace

int trel_modeTheor(const char* folder, const char* pdb_file, int export_mode) {
  return trel_processModel(folder, pdb_file, export_mode);
}

// A refused delete only logs; the run goes on.
int trel_modeDelete(const char* sys_folder, const char* name, int with_index, int really) {
  trel_deleteDatabase(sys_folder, name, with_index, really);
  return 1;
}

int trel_modeList(const char* sys_folder, const char* name, int with_index, const char* select, char** only,
                  int n_only, _trel_options* options) {
  const _trel_db_opts d = dbOptions(options);
  return trel_listDatabase(sys_folder, name, with_index, select, only, n_only, &d);
}

int trel_modeExtract(const char* sys_folder, const char* name, int with_index, const char* folder,
                     const char* select, char** only, int n_only, _trel_options* options) {
  std::string out = folder ? folder : "";
  if (out.empty() || out.back() != '/') out += "/";  // the driver has made the folder
  const _trel_db_opts d = dbOptions(options);
  return trel_extractDatabase(sys_folder, name, with_index, out.c_str(), select, only, n_only, &d);
}

int trel_modeScore(const char* file, const char* sisy, const char* homstrad, const char* sabmark,
                   _trel_options* options) {
  return trel_processMSA(file, sisy, homstrad, sabmark, options);
}

int trel_modePreprocess(char** files, int n, _trel_options* options) {
  _trel_cleanup_opts c;
  c.export_mode = options->export_mode;
  c.sse_mode = options->sse_mode;
  c.do_write = options->do_write;
  trel_cleanupPDBs(files, n, &c);
  return 1;
}

int trel_modeBuild(const char* sys_folder, const char* name, char** files, int n, int with_index, int type,
                   _trel_options* options) {
  static const char* const lists[4] = {"CathDomainList", "ScopDomainList", "PfamDomainList",
                                       "EcodDomainList"};
  // A refused build is said before the optional domain list is read, so
  // that no warning about a missing list comes first.
  if (!trel_checkNewDatabase(sys_folder, name, with_index)) return 0;
  const std::string list = std::string(sys_folder) + lists[type >= 0 && type < 4 ? type : 0];
  trel_openCath(list.c_str(), type);  // a missing list only warns: members get no code
  const _trel_db_opts d = dbOptions(options);
  return trel_buildDatabase(sys_folder, name, files, n, with_index, type, &d);
}

_trel_db* trel_modeOpenDatabase(const char* sys_folder, const char* name, int with_index, int* members) {
  *members = 0;
  trel_closeDatabase(open_db);
  open_db = trel_openDatabase(sys_folder, name, with_index);
  if (open_db) *members = open_db->n_members;
  return open_db;
}

void trel_modeCloseDatabase() {
  trel_closeDatabase(open_db);
  open_db = nullptr;
}

void trel_modeSetupSpf() {
  setup_platonic();
  zam_cache_probe();
}
