// Reports of one finished pairwise alignment: the alignment print (summary
// and rows of residue letters and marks, to the log and standard output) and
// the ".krmsd" RMSD profile file. Also the whole-or-nothing text file that
// every result table is written through: text goes to a temporary file in
// the target's folder and is renamed over the target only when complete.
#pragma once

#include <string>

struct _trel_align;
struct _pdb_image;
struct _trel_text;

struct _zam_file;

// A temporary name beside path for a result file that is written whole and
// then renamed into place: path + "." + process id + "_" + serial + ".tmp",
// the serial counted process-wide (atomically). Writers on several threads
// that make the same final file (every shown hit writes the query's rainbow
// PDB file) thus never share a temporary file.
std::string trel_tempName(const std::string& path);

// A result file being written whole: it appears under its final name only
// when complete. Where the system has them it is an unnamed file in the final
// file's folder, linked under its name at the end: creating a named file
// holds the folder's lock for as long as the file system takes to make the
// inode, so writers on several threads would wait for each other there.
// Elsewhere it is written under trel_tempName(path) and renamed.
struct _trel_whole {
  _zam_file* fp;     // the stream, plain stdio
  std::string path;  // final name
  std::string temp;  // the temporary name; empty for an unnamed file
  int fd;            // a descriptor of the unnamed file kept for naming it, else -1
};
// Opens path's file for writing whole. Null without a message when it cannot
// be opened (errno tells why). Finish with trel_closeWhole.
_trel_whole* trel_openWhole(const std::string& path);
// Closes the stream and, when keep is true and every write and the close
// succeeded, puts the file in place under its final name (replacing an older
// one); 1 then. Otherwise the temporary file is removed, the final name is left
// as it was and 0 is returned. No message. Frees the record; null gives 0.
int trel_closeWhole(_trel_whole* whole, bool keep);
// Result files of this run that could not be opened or put in place (each
// was reported where it failed): a run with any has not done its job.
int trel_failedFiles();

// Opens a result file (trel_openWhole) for writing. Null after a warning
// naming path when it cannot be opened. Finish with trel_closeText.
_trel_text* trel_openText(const char* path);
// Appends text of any length (no cut at the stream's 1023-character limit).
void trel_putText(_trel_text* out, const char* text);
void trel_printText(_trel_text* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Closes and renames the temporary file into place; 1 on success. On any
// failed write, close or rename the temporary file is removed, the target
// is left as it was, a warning names it and 0 is returned. Null gives 0.
int trel_closeText(_trel_text* out);
// Prints text of any length through zam_msg (which cuts a message at 256
// characters), in pieces; the text is never read as a format.
void trel_msgText(const char* text);

// Prints the alignment through zam_msg: summary, then per block of width
// columns the query letters, target letters and marks (a second set of
// blocks with secondary-structure letters at debug level above 1).
// The identity percentage is 0 when nothing is aligned.
void trel_printAlign(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                     int width);

// Writes <folder><target>_<query><suffix>.krmsd: the RMSD over the aligned
// pairs taken from the closest to the farthest, with running G and K sums.
// query_tag is the text after the query name in its PDB name ("_query").
// 1 when written; 0 after a warning naming the file.
int trel_writeKrmsd(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                    const char* query_tag, const char* suffix, const char* folder);
