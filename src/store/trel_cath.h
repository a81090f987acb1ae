// The active domain classification (CATH, SCOP, Pfam or ECOD): the domain
// list it is read from, a sorted in-memory table from domain names to
// four-level codes, the rule that turns a structure name into a look-up key,
// and the printing, parsing and matching of codes and code patterns.
// The state is process-wide and unlocked: open the list and make the first
// look-up (which loads the table) before worker threads start.
#pragma once

// Classification types; any other value opens a list as CATH.
constexpr int TREL_CATH = 0;
constexpr int TREL_SCOP = 1;
constexpr int TREL_PFAM = 2;
constexpr int TREL_ECOD = 3;

// Room needed by trel_cathName's buffer.
constexpr int TREL_CATH_NAME_SIZE = 48;

// Forgets the previous list, sets the type and remembers the list's name.
// 1 on success; 0 after the warning "Failed to open domain index" when the
// file is missing or empty. Does not read the file yet.
int trel_openCath(const char* file, int type);
// Releases the list name and the table.
void trel_closeCath();
void trel_setCathType(int type);
int trel_getCathType();
// Table index of the structure name's key, filling code[0..3]; -1 with the
// code 0, 0, 0, 0 when not found, for a name of 11 or more characters, or
// when no list is open. The first call after trel_openCath loads the table
// (logging the count and time; a list that cannot be read is reported once).
int trel_lookupCath(const char* name, int* code);
// Build the table from the list trel_openCath remembered, reading its lines
// with the format of CATH, SCOP, Pfam or ECOD lists whatever the active type,
// and replace any table held (trel_lookupCath runs the loader of the active
// type on its first call). Lines without the fields of the format are
// skipped with a warning naming the file and line. Return the number of
// entries: 0 when no list is remembered or it cannot be read (reported).
int load_cath_table();
int load_scop_table();
int load_pfam_table();
int load_ecod_table();
// Writes the printed code into buffer (TREL_CATH_NAME_SIZE bytes) and returns it.
char* trel_cathName(const int* code, char* buffer);
// Parses a user's pattern into code[0..3]; unset or "*" levels are -1.
void trel_setCathPattern(const char* text, int* code);
// 1 when no level differs with both values non-negative, else 0.
int trel_compareCath(const int* code, const int* pattern);
