// PDB clean-up ("-preprocess"): rewrites PDB files in place in the clean
// single-chain form the tool reads fastest (first chain only, no hetero
// atoms), optionally with HELIX/SHEET records and a secondary-structure
// ("ss") file beside each; folders are walked recursively.
#pragma once

struct _trel_trace;

struct _trel_cleanup_opts {
  int export_mode = 0;  // atom selection of the writer
  int sse_mode = 0;     // secondary-structure records and "ss" files
  int do_write = 1;     // handed to the trace builder (chain-break warnings)
};

// Cleans the n paths (files or folders; folders recursively). Inside a walk
// no symbolic link is followed and dot files, pipes and devices are passed
// over; a link named among the paths is. Regular files ending ".pdb" or
// ".ent" (any case) are read and rewritten whole under a temporary name,
// then renamed over the original; other files are skipped, and those of
// them holding no ATOM or HETATM record are counted in one warning at the
// end. Returns the number of files rewritten; unreadable, empty or
// unwritable files are reported and not counted.
int trel_cleanupPDBs(char** paths, int n, const _trel_cleanup_opts* options);

// Writes the secondary-structure file of a trace to path: a count line, then
// one line per residue with its code, class (H, S or C) and the coil, helix
// and strand scores, written whole (a link at path is replaced, not written
// through; a file there whose first line is not such a count line, another
// program's, is moved aside to a numbered name). 1; 0 after "Failed to write SSE file: %s [%s]\n", or after the
// warning of zam_refuseInput when path names an input of the run.
int trel_writeTraceSSE(const char* path, const _trel_trace* trace);
