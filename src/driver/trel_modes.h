// The modes that trel_top runs once start-up is done. Each entry returns 1
// when the mode ran (its own failures are reported inside it) and 0 after an
// error message, when the driver ends the run with exit status 1. Modes whose
// subsystems are not part of this build say so and return 0.
#pragma once

struct _trel_options;
struct _trel_db;

// Theoretical-model run: one PDB file per residue of pdb_file into folder.
int trel_modeTheor(const char* folder, const char* pdb_file, int export_mode);
// Database delete, list and extract (name: the database name).
int trel_modeDelete(const char* sys_folder, const char* name, int with_index, int really);
int trel_modeList(const char* sys_folder, const char* name, int with_index, const char* select,
                  char** only, int n_only, _trel_options* options);
int trel_modeExtract(const char* sys_folder, const char* name, int with_index, const char* folder,
                     const char* select, char** only, int n_only, _trel_options* options);
// Scoring of one given multiple alignment.
int trel_modeScore(const char* file, const char* sisy, const char* homstrad, const char* sabmark,
                   _trel_options* options);
// Clean-up of PDB files.
int trel_modePreprocess(char** files, int n, _trel_options* options);
// Database build from n structure files, classified by type 0..3.
int trel_modeBuild(const char* sys_folder, const char* name, char** files, int n, int with_index, int type,
                   _trel_options* options);
// Opens the database for a search (null after a reported failure); *members
// receives its member count. It stays open until trel_modeCloseDatabase.
_trel_db* trel_modeOpenDatabase(const char* sys_folder, const char* name, int with_index, int* members);
// Closes the database opened by trel_modeOpenDatabase; nothing when none is open.
void trel_modeCloseDatabase();
// SPF set-up at start-up: sphere samplings and the translation-matrix cache.
void trel_modeSetupSpf();
