// The modes of trel_top that stand on subsystems not yet part of this build.
// Each says so with an error naming the mode, and the run ends with status 1.
#include "driver/trel_modes.h"

#include "driver/trel_options.h"
#include "driver/trel_process.h"
#include "runtime/zam_log.h"

namespace {

int unavailable(const char* mode) {
  zam_err("The %s mode is not available in this build.\n", mode);
  return 0;
}

}  // namespace

int trel_modeTheor(const char*, const char*, int) { return unavailable("theoretical-model"); }

int trel_modeDelete(const char*, const char*, int, int) { return unavailable("database delete"); }

int trel_modeList(const char*, const char*, int, const char*, char**, int, _trel_options*) {
  return unavailable("database list");
}

int trel_modeExtract(const char*, const char*, int, const char*, const char*, char**, int, _trel_options*) {
  return unavailable("database extract");
}

int trel_modeScore(const char*, const char*, const char*, const char*, _trel_options*) {
  return unavailable("score");
}

int trel_modePreprocess(char**, int, _trel_options*) { return unavailable("clean-up"); }

int trel_modeBuild(const char*, const char*, char**, int, int, int, _trel_options*) {
  return unavailable("database build");
}

int trel_modeOpenDatabase(const char*, const char*, int, int* members) {
  *members = 0;
  return unavailable("database search");
}

void trel_modeCloseDatabase() {}

int trel_modeSearch(const char* sys_folder, const char* name, const char* usr_folder, char** queries, int nq,
                    char** targets, int nt, const char* member, const char* templ, const char* select,
                    char** only, int n_only, _trel_options* options) {
  // The database is never open in this build (trel_modeOpenDatabase refuses).
  trel_process(sys_folder, name, usr_folder, queries, nq, targets, nt, member, templ, nullptr, select, only,
               n_only, options);
  return 1;
}

// Without the matcher the samplings keep the values of the docking defaults.
void trel_modeSetupSpf() {}

void trel_modeSpfSampling(_docking_spec*) {}
