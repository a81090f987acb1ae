// Reports of one finished pairwise alignment: the alignment print (summary
// and rows of residue letters and marks, to the log and standard output) and
// the ".krmsd" RMSD profile file. Also the whole-or-nothing text file that
// every result table is written through: text goes to a temporary file in
// the target's folder and is renamed over the target only when complete.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct _trel_align;
struct _pdb_image;
struct _trel_text;
struct _trel_pair_names;

struct _zam_file;

struct _zam_whole;

// A result file written whole (zam_openWhole, as plain text). Null without a
// message when it cannot be opened (errno tells why); counted as a failed
// file. A path that names an input file of the run (zam_keepInput) is not
// written: null after a warning naming it, with errno EEXIST, and not
// counted as a failure. Finish with trel_closeWhole.
_zam_whole* trel_openWhole(const std::string& path);
// zam_closeWhole; a file that was to be kept and could not be put in place
// counts as a failed file. No message. Null gives 0.
int trel_closeWhole(_zam_whole* whole, bool keep);
// Result files of this run that could not be opened or put in place (each
// was reported where it failed): a run with any has not done its job.
int trel_failedFiles();

// The result files put in place while a list is held, so that a query can
// name exactly the files it wrote: every file that trel_closeWhole,
// trel_closeShared or trel_placeAside puts in place (or leaves as it stood,
// holding the very same bytes) on a thread holding the list is added, by the
// path it was written to, with the hit it was written for (trel_holdHit).
// Threads writing side by side may hold one list.
struct _trel_written {
  std::mutex lock;
  std::vector<std::string> paths;  // in the order put in place; a path may repeat
  std::vector<std::string> hits;   // the hit of each path: a target's name, or empty
  // When set: called with data on the thread that opens each result file
  // while it holds the list (trel_openWhole), before the file can take its
  // name, with the path and the hit, so that a record can name it ahead.
  void (*opening)(void* data, const std::string& path, const std::string& hit) = nullptr;
  void* data = nullptr;
};
// Makes list the calling thread's list (null: none) and returns the one it
// replaces.
_trel_written* trel_holdWritten(_trel_written* list);
// Names the hit (the target's name) whose files the calling thread writes
// from now on, empty for none, and returns the name it replaces. A file set
// aside (trel_closeShared) keeps the hit it was written for.
std::string trel_holdHit(std::string hit);

// Files a query's hits write one after another under one name, each with
// contents of its own (the masked query, the query's rainbow file), of which
// the last hit's stays. Hits written side by side on worker threads set them
// aside, each hit in a list of its own (temporary and final names, in the
// order written), to be put in place in the hits' serial order.
struct _trel_aside {
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> hits;  // the hit each file was written for
};
// Makes list the calling thread's list (null: none) and returns the one it
// replaces.
_trel_aside* trel_holdAside(_trel_aside* list);
// trel_closeWhole for such a file: while the thread holds a list and the
// file is to be kept, it is closed under a temporary name and added to the
// list, else put in place at once. 1 on success, else 0 (counted as a
// failed file). No message.
int trel_closeShared(_zam_whole* whole, bool keep);
// Puts the list's files in place in their order and empties the list; a
// file that cannot be put in place gets the warning "Cannot write PDB file:
// %s" and counts as a failed file. Returns how many failed.
int trel_placeAside(_trel_aside* list);

// Opens a result file (trel_openWhole) for writing. Null after a warning
// naming path when it cannot be opened. Finish with trel_closeText.
_trel_text* trel_openText(const char* path);
// A whole result file of text at once: trel_openText, trel_putText,
// trel_closeText. 1 when written; 0 after the warning naming the file.
int trel_writeText(const std::string& path, const std::string& text);
// Appends text of any length (no cut at the stream's 1023-character limit).
void trel_putText(_trel_text* out, const char* text);
void trel_printText(_trel_text* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Appends row in lines of at most width characters, each ending in a newline.
void trel_putLines(_trel_text* out, const std::string& row, int width);
// One PIR entry as text: ">P1;" entry, then kind ("structure" or
// "sequence"), name and the first and last residues of image (blank without
// residues), then letters with the final '*' in lines of at most width
// characters, and a blank line.
std::string trel_pirEntry(const char* kind, const std::string& entry, const std::string& name,
                          const _pdb_image* image, const std::string& letters, int width);
// trel_openText, announcing the file name through zam_msg with announce (a
// format taking the name) when announce is not null and the debug level is
// at least min_debug.
_trel_text* trel_openAnnounced(const std::string& name, const char* announce, int min_debug);
// Closes and renames the temporary file into place; 1 on success. On any
// failed write, close or rename the temporary file is removed, the target
// is left as it was, a warning names it, it counts as a failed file
// (trel_failedFiles) and 0 is returned. Null gives 0.
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
// The same under the names given (trel_writeKrmsd: those of trel_pairNames);
// an empty superposed PDB name is printed "-".
int trel_writeKrmsdNamed(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                         const _trel_pair_names& names, const char* folder);
