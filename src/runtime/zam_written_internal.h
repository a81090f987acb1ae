// The parts of the results record (zam_written.h) that its files share:
// the journal a record is read into and what settles its lines
// (zam_written_journal.cpp), the turn at the record and the state it
// guards (zam_written_turn.cpp), and the record's rewrite
// (zam_written_rewrite.cpp). Not part of the module's contract.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "runtime/zam_written.h"

namespace zam_written_internal {

// The longest line read: a path of PATH_MAX bytes and its numbers. A longer
// one is no line of trel's and is passed over without being held.
constexpr size_t kLineMax = PATH_MAX + 256;
// The record is rewritten once it holds more lines than this and more than
// twice the lines it was last rewritten with (its line "#kept <count>").
constexpr long kCompactLines = 4096;
const char* const kKept = "#kept ";

// Which names under a folder stand there now, a folder's entries listed
// once: the lines of a long record name mostly files long gone, which are
// neither looked up one by one nor kept.
struct Presence {
  std::string root;  // the folder, ending in "/"
  bool list;         // folders are listed (a whole record is read); else each name is looked up
  struct Listing {
    bool known = true;  // false: the folder could not be listed, and every name in it may stand
    std::vector<std::string> entries;  // sorted
  };
  std::map<std::string, Listing> listed;  // a folder under root ("" itself)
  // Whether name may stand: false only when it is known not to.
  bool has(const std::string& name);
};

// What the lines of a record say, as read in order. Lines of names that do
// not stand in the folder now are counted and not kept: no file that comes
// there later is the one they named.
struct Journal {
  struct File {
    _zam_identity id;
    bool ahead;      // an unsettled A (or B) line: the file may be at its name
    int64_t by = 0;  // an A line's: the name was to be taken by then (0: a file still written)
    bool born_known = false;  // a B or G line: what a reused inode does not keep was looked at
    int64_t born = 0;         // a B line's birth time (0: the file system keeps none)
    uint64_t gen = 0;         // a G line's inode generation (the file system keeps no birth time)
  };
  std::map<std::string, std::vector<File>> files;  // by name under the folder
  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> folders;
  long lines = 0;    // lines read, the head and comments too
  long unread = 0;   // lines that did not parse
  long parsed = 0;   // lines of files and folders that did
  bool first_unread = false;  // the first line did not parse (a damaged head, say)
  bool headless = true;  // no head line read first
  long kept = 0;         // lines the record was last rewritten with (as its line says)
  std::vector<std::string> ahead_names;  // names of A lines read since last looked at
  std::map<std::string, int64_t> making;  // unsettled M lines: a folder to be made at the name, from then on
  Presence* presence = nullptr;  // when set, only the lines of names that stand are kept

  void clear() { *this = Journal{}; }
  void take(const char* begin, const char* end);
};

// The time the record's lines are judged against: no time read from the
// record is believed past it (zam_nowNs, or the test's zam_record_clock).
int64_t recordNow();

// How long after its A line a file is taken to have its name at the
// latest: a change later than that is not the naming's, and the file is no
// longer the one announced (its inode may have gone to another file since).
constexpr int64_t kNamingGrace = int64_t{10} * 1000000000;
// An A line's time lies the grace after the file's last change before the
// line, or a little more (the file was closed, then compared with an older
// one): a line whose time lies further beyond is no line of a placing.
constexpr int64_t kNamingMargin = int64_t{60} * 1000000000;
// File times come from a coarser clock than the lines' times.
constexpr int64_t kTick = 20000000;

// What a file has that a reused inode does not keep: its birth time (ns),
// where the file system keeps one; else its inode generation, where the
// file system gives one (0: none).
struct Birth {
  int64_t born = 0;
  uint64_t gen = 0;
};
// The Birth of the file open as fd.
Birth birthOf(int fd);
// The unsettled A line's entry of the file open as fd, of status st, that
// is to take its name by the time by (0: a file still written): with its
// birth time (born, when looked at with st), else its inode generation.
Journal::File aheadOfOpen(int fd, const struct stat& st, int64_t by, const int64_t* born = nullptr);

// The identity and birth time of the regular file at path (a link not
// followed), its inode generation too when gen and the file system keeps
// no birth time: 1; 0 when no regular file stands there; -1 when it cannot
// be looked at (errno), which is not "nothing stands".
int identityBorn(const std::string& path, _zam_identity* id, Birth* birth, bool gen);

// Whether the unsettled A line f allows the file of identity id, of birth,
// now at its name: the same file (device, inode and birth time, or inode
// generation where no birth time is kept: an inode given to another file
// since has another; with neither, no file is proved the same),
// neither smaller nor older than it was when the line was written (naming
// it moved its change time; a log still grows), and changed last by the
// time its name was to be taken, unless it was still written. No time of
// the line is believed past now, nor a line whose time lies far beyond the
// file's change time it names. Whether a still-written file's writer is
// gone is the caller's to ask.
bool allows(const Journal::File& f, const _zam_identity& id, const Birth& birth, int64_t now);

// The line of f (its kind A, B or G), unsettled, for the file at name.
std::string aheadLine(const Journal::File& f, const std::string& name);

// The device and inode of the folder at path when it was made (its birth
// time, where the file system keeps one, else its change time: a folder
// a run was stopped in before it wrote into it is unchanged since) within
// the grace after made, the time of its M line (never past now); false
// otherwise.
bool madeThen(const std::string& path, int64_t made, std::pair<uint64_t, uint64_t>* self);

// Whether list holds a W line of exactly id.
bool hasExact(const std::vector<Journal::File>& list, const _zam_identity& id);

// Reads the whole lines of the file open as fd from offset from into
// journal, a block at a time; returns the offset past the last whole line
// (a line cut short is read the next time, when its end has come).
int64_t readLines(int fd, int64_t from, Journal* journal);

// Whether a record without its head line, read whole into seen (past: the
// end of its last whole line, of size bytes), is trel's: empty (a rewrite a
// power loss took), in the layout before the head line (every line parses),
// or with its head damaged (every line after the first parses). Either has
// lines of files or folders: a user's file of one line is not taken.
bool trelsHeadless(const Journal& seen, int64_t past, int64_t size);

std::string headLine();
// A line of kind for the file or folder of id at name (by: an A line's time).
std::string fileLine(char kind, const _zam_identity& id, const std::string& name, int64_t by = 0);

// The state of the record of this process (zam_written_turn.cpp), guarded
// by the turn: set and read within a turn only.
extern std::string record_folder;  // as given, ending in "/"; empty: no record
extern int record_fd;              // the record, open to read and append, once a file was recorded
extern int record_lock;            // the kind of lock held of record_fd within a turn (zam_lockFile)
extern bool record_checked;        // record_fd is trel's record
// Within a turn: the record's size once looked at, when it ends a whole
// line (-1: not looked at in this turn). This process's own appends follow.
extern int64_t known_end;
// The record's size when this process's last turn ended on a whole line of
// its own (-1: not known).
extern int64_t turn_end;
// What this process read of the record, up to read_end.
extern Journal journal;
extern int64_t read_end;

// The record's path, of the folder recorded now.
std::string recordPath();
// Keeps the first failure of the run's turns, naming the record.
void noteTrouble(int err);
// Calls the test's hook at step; its errno, 0 to go on.
int fault(ZamRecordStep step);
// Appends lines to the record whole, on a fresh line; true when they were
// written whole. A last line cut short (a full disk, a power loss) is ended
// first with a NUL byte, which no line of trel's holds, so that it costs
// only itself: it never becomes a line that parses (a name cut short would
// name another file). Whether the record ends a line is looked at once a
// turn: the lines that follow are this process's own, whole. A write that
// fails (errno) or falls short is cut back to where the record was, so
// that no part of a line stays. turn_lock and the record's lock held.
bool append(std::string lines);
// Forgets what was read of the record.
void forgetRead();

// How many files this process holds (zam_holdWriting) and keeps the birth
// of: as many as holds not yet released.
size_t holdsKept();

// The rewrite (zam_written_rewrite.cpp).
// Begins a new record that is to take the temporary name temp: a file
// locked (*kind the lock taken; nobody knows it yet, and the lock is held
// for as long as it stands) and named at temp in the record held by an A
// line first; unnamed yet (*unnamed) where the system has unnamed files,
// else made at temp. -1 (errno) when it cannot be had. turn_lock and the
// record's lock held.
int beginAside(const std::string& temp, int* kind, bool* unnamed);
// Writes text into the new record *fd (beginAside), synced to the disk (it
// is to replace a record, whose loss would cost the folder), and gives an
// unnamed one the name temp; where an unnamed file cannot be named, a file
// made at temp takes its place (*fd and *kind then its own). False (errno)
// when it cannot be made whole: *fd is closed then, and the name temp
// removed.
bool finishAside(int* fd, int* kind, const std::string& temp, const std::string& text, bool unnamed);
// Makes the record at path with its head line, whole, taking the name
// only when it is free (EEXIST otherwise), so that no run ever meets a
// record without its head. (Not synced: the empty record a power loss may
// leave is read as trel's.)
bool makeRecord(const std::string& path);
// Whether the file open as fd begins with the record's head line.
bool hasHead(int fd);
// Whether name (in the record's folder) has the form of the temporary
// names of the record's rewrites (zam_tempName's, for the record).
bool isRecordTemp(const std::string& name);
// Reads what was appended to the record since it was last read, and
// settles the A lines found unsettled: within a turn, no other run is
// between its A line and its W line, so the run that wrote them was stopped
// there (or could not append). The file standing at the name is taken for
// the one announced when the line allows it (W), else the line is closed
// (X), before its inode could be given to a file of someone else's; the
// line of a file still written stays as it is while its writer is not
// known gone. A record read whole that holds lines that did not parse, no
// head, or many of files gone, is rewritten. turn_lock and the record's
// lock held.
void readRecordTail();

}  // namespace zam_written_internal
