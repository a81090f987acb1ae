// Modelling folders for a comparative-modelling package (MODELLER): the PIR
// alignment ".ali" of a sequence with its template structures, the template
// PDB files and a Python script "_modeller.py" that builds the models with
// DOPE assessment, copies the best one to a fixed name and writes its DOPE
// score to a ".dope" file. The tool only prepares these files; the script is
// run from inside the folder. Every name that goes into the script is written
// as a Python string literal with every quote, backslash and control byte
// escaped, and files are copied with shutil.copy, never through a shell, so
// that no structure or file name can make the script run anything.
#pragma once

#include <string>

struct _trel_thing;
struct _trel_align;
struct _trel_profile;
struct _trel_options;

// text as a single-quoted Python string literal: printable ASCII as it is
// (quote and backslash escaped), whole UTF-8 characters as they are, every
// other byte as \xNN.
std::string trel_pythonString(const std::string& text);

// The folder (ending in '/') for the pairwise alignment align of the
// sequence object (query side) onto the template object (target side):
// <s>_modeller.py, <s>.ali (sequence entry, then template entry) and the
// template's PDB file <t>.pdb; the script names the best model
// <s>_<t>_modeller.pdb. Images are loaded on demand. Unwritable files give
// warnings naming them (and count in trel_failedFiles).
void trel_writeModelAlign(_trel_thing* sequence, _trel_thing* templ, const _trel_align* align,
                          const char* folder, int n_models, const _trel_options* options);
// The same for a profile whose rows include the sequence: one ".ali" entry
// per row of the working table (a row built from a sequence is of kind
// "sequence", any other "structure" with its PDB file), the structure rows
// as the script's known templates, the best model named <s>_modeller.pdb.
void trel_writeModelProfile(_trel_thing* sequence, const _trel_profile* profile, const char* folder,
                            int n_models, const _trel_options* options);
