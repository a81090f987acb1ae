// The search mode: turns the query and target file names, and the selected
// members of an open structure database (and a -member query), into
// structure objects, checks them (broken structures stop the run unless -broken),
// fixes the residue-length window of the targets, allocates one alignment
// buffer per thread and hands everything to the per-query search, or, with
// -multi and no database, to the multiple mode (with a database the search
// runs it on each query's hits), with -model to the model mode (a sequence
// that cannot be used is reported and skipped there, and the run ends with
// status 1 after the others), or with -all to the all-against-all comparison.
#pragma once

struct _trel_db;
struct _trel_options;
struct _zam_identity;

// The identities the query and target files had when their lists were read
// (zam_identity.h), one for each file (all zero: not known, looked at when
// opened); null arrays when none is known.
struct _trel_input_ids {
  const _zam_identity* queries = nullptr;
  const _zam_identity* targets = nullptr;
};

// queries[0..nq-1] and targets[0..nt-1] are file names; db (or null) adds
// its members chosen by select and only[0..nonly-1] (sorted) as targets, and
// member names one of them as a further query; templ serves the model mode. Every
// failure is reported here and ends the process with exit status 1; on
// return every object and buffer it made has been released.
void trel_process(const char* sys_folder, const char* name, const char* usr_folder,
                  char** queries, int nq, char** targets, int nt, const char* member,
                  const char* templ, _trel_db* db, const char* select, char** only, int nonly,
                  _trel_options* options, const _trel_input_ids& ids = {});
