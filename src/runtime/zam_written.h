// The record of what the tool writes into a run's results folder, from
// which later runs know their own files from a user's (a result's name is
// taken over only from a file of trel's) and -purge knows what to remove:
// the hidden file ZAM_WRITTEN_RECORD in that folder. It begins with the line
// ZAM_WRITTEN_HEAD, then one line for every file a whole-file writer of any
// run puts in place anywhere under the folder (and every file or folder
// given to zam_recordMade):
//   B <identity> <by> <birth> <path>   ahead: the file, born at the time
//                         birth (ns; 0 where the file system keeps neither
//                         a birth time nor an inode generation), is about
//                         to appear at path by the time by (ns; 0 for a
//                         file still written)
//   G <identity> <by> <generation> <path>   the same, where the file
//                         system keeps no birth time but gives the inode's
//                         generation (FS_IOC_GETVERSION; builds before it
//                         pass G lines over as damage, and misread none)
//   A <identity> <by> <path>   the same, its birth time not known (as
//                         builds before birth times wrote it; they pass B
//                         lines over as damage, and misread none)
//   W <identity> <path>   the file is in place at path, as it is now
//   X <device> <inode> <path>   the file of an A line did not appear there
//   M <time> <path>       ahead: a folder is about to be made at path (ns)
//   D <device> <inode> <path>   a folder made
// (identity as zam_identityText; path under the folder, "." for the folder
// itself). The record is kept as a journal: a file's A line is written
// before the file takes its name and settled by its W (or X) line after, all
// in one turn at the record (_zam_record_turn), which holds the record
// file's lock. A run killed within its turn leaves an A line unsettled; the
// next turn of any run then takes the file standing at that name for the
// one announced when its device, inode and birth time are the same (an
// inode given to another file since has another birth; where the file
// system keeps none, its inode generation; a line with neither proves no
// file the one announced, and the file costs a copy, set aside once; a line
// without the birth time allows only a file known born before it was
// written),
// its size and times are not older than the line says (naming a file moves
// its change time, and a log still grows) and it changed last by the line's
// time (a file changed later is not taken), and settles the line. No time read
// from the record is believed past now, and a line whose time lies far
// beyond the change time it names settles nothing. The line of a file
// still written is settled only once its writer is known gone by its lock
// (zam_writerGone). An unsettled M line likewise covers the folder at its
// name whose birth time (where the file system keeps one, else its change
// time) lies within a moment of the line's. Appends always begin on a
// fresh line: a last line cut short is ended with a NUL byte first, so
// that it never parses; a line that does not parse (cut by a full disk,
// bytes a power loss left) covers nothing but is otherwise passed over. An
// append that fails is cut back. Once the record has grown to twice the
// lines it was last rewritten with (a line "#kept <count>" after the head
// says how many), or holds any such damage, the run that reads it rewrites
// it under its lock with the lines of what still stands, synced before it
// takes the record's name.
// A record without its head line is taken as trel's and rewritten with the
// head when it is empty (a rewrite a power loss took), or when its every
// line parses (the layout before the head line) or every line after the
// first does (a damaged head), with one line of a file at least; anything
// else at the record's name (a user's file, a link, a socket, a folder) is
// moved aside to a numbered name, once, and a new record begun. A record
// that cannot be opened, locked or begun never ends recording: each turn
// under the folder fails (_zam_record_turn::failed) and the next one tries
// again.
#pragma once

#include <string>
#include <vector>

#include "runtime/zam_identity.h"

struct stat;

constexpr const char* ZAM_WRITTEN_RECORD = ".zam_written";
// The first line of the record: its kind and version.
constexpr const char* ZAM_WRITTEN_HEAD = "#trel written files 2";

// Starts the record of folder for the rest of the process ("" ends it).
// The record file is made with the first file recorded (the folders made
// before it are held until then), so a run that writes nothing leaves none;
// with extend_only a record is kept only where one is already. A record
// that cannot be had (no room, no right to the folder) fails the turns
// that need it, and each later turn tries again. Forgets the trouble of
// the record before (zam_recordTrouble). No message.
void zam_recordWrites(const std::string& folder, bool extend_only = false);
// Records the file or folder path (as it is now, a link not followed) when
// it lies under the recorded folder. No message.
void zam_recordMade(const std::string& path);

// One file or folder the record names.
struct _zam_written_entry {
  char kind;          // 'W' a file; 'D' a folder made
  _zam_identity id;   // 'D': device and inode only
  std::string path;   // under the folder; "." the folder itself
};
// Reads the record of folder (ZAM_WRITTEN_RECORD in it) into *entries, by
// name, under the record's lock (shared): the files its W lines cover,
// those of unsettled A lines that stand at their names as the line allows
// (with their identity now), and the folders of its D lines; lines of names
// where nothing stands now are passed over, as are lines that do not parse,
// so memory goes with what stands, not with the record (a folder that
// cannot be listed, or a name that cannot be looked at, is not taken for
// nothing standing). A temporary of the record's rewrite that a killed run
// left is listed too: its line was written before it took its name. 1; 0 when
// there is none or it cannot be read (errno), and 0 with errno EPROTO for a
// file that is not trel's record. With read, what was read goes there
// (_zam_written_read), so that a caller need not open and lock the record
// again. No message.
struct _zam_written_read {
  bool trels = false;  // the file read is trel's record (the call gave 1)
  int lock = 0;        // the kind of lock it was read under (ZamLockKind; ZAM_LOCK_FAILED: none read)
  bool stood = false;  // it stood at the record's name once read
  uint64_t dev = 0, ino = 0;
  int64_t size = 0;    // its size as read: no run appends while the lock is held
};
int zam_readWritten(const std::string& folder, std::vector<_zam_written_entry>* entries,
                    _zam_written_read* read = nullptr);

// A turn at the record for a file at path: when path lies under the
// recorded folder, the record is open (made when missing, unless only an
// existing one is kept) and locked, for this process's threads and for
// every other run, until the turn ends; held is true then. Otherwise
// nothing is locked. A wait of more than a second for another run's turn is
// said, naming the folder. A folder's turn (file false) takes the process's
// lock alone: its line may wait for the record. Turns do not nest, but for
// the thread that stops the run (zam_recordStop).
struct _zam_record_turn {
  explicit _zam_record_turn(const std::string& path, bool file = true);
  ~_zam_record_turn();
  _zam_record_turn(const _zam_record_turn&) = delete;
  _zam_record_turn& operator=(const _zam_record_turn&) = delete;
  bool held = false;
  bool locked = false;  // the record file's lock is held
  // path lies under the recorded folder, but the turn could not be had: the
  // record could not be opened, locked or begun (error holds errno), or the
  // run is stopping and the record's lock was not granted in time
  // (ECANCELED). Nothing may then take a name under the folder: a writer
  // fails its file with errno error. The first such failure of the run is
  // kept for zam_recordTrouble.
  bool failed = false;
  int error = 0;
};
// Whether the record covers the regular file of identity id at path: a W
// line of that identity, or an unsettled A line that allows it (then
// settled with a W line). What every run appended up to now is read. False
// outside a held turn.
bool zam_recordCovers(const _zam_record_turn& turn, const std::string& path, const _zam_identity& id);
// Within a held turn: the A line of the regular file of status st, about to
// be given the name path right away; or, still_written, a file that goes on
// being written there (a run's log, a named temporary file), whose W line
// its writer appends once it is closed (zam_recordMade). The writer of a
// still-written file holds a lock of it that the kernel drops when the
// writer ends (zam_holdWriting), so that another run settles the line only
// once the writer is gone. true when the line was written whole (or none
// was due: path lies outside the recorded folder); false (errno) when it
// could not be, the record then cut back to where it was, or the turn
// failed: the file must not take the name. fd, when given, is open on the
// file: the line keeps its birth time (or its inode generation), which no
// other file that gets its inode later has; born, when given too, is that
// birth time as looked at with st (zam_statBorn), which spares the turn the
// look. Without fd, that of a file this process holds (zam_holdWriting) is
// kept; else the line has none, and allows only a file known born before it
// was written.
bool zam_recordAhead(const _zam_record_turn& turn, const std::string& path, const struct stat& st,
                     bool still_written = false, int fd = -1, const int64_t* born = nullptr);
// Within a held turn: the X line settling the A line of st at path, whose
// file did not take that name.
void zam_recordNotPlaced(const _zam_record_turn& turn, const std::string& path, const struct stat& st);
// Within a held turn: the W line of path, of status st (a regular file), or
// the D line of a folder (which waits for the record file when there is
// none yet).
void zam_recordStatus(const _zam_record_turn& turn, const std::string& path, const struct stat& st);

// zam_mkdir of path, recorded (when it lies under the recorded folder) in
// the same turn at the record, so that a stop waits for both: its M line
// first (none written, no folder made). 1 when the folder is there; 0
// otherwise (errno). No message.
int zam_mkdirRecorded(const char* path, int mode);
// Records the regular file at path, which this run goes on writing (its
// log, a query's record), ahead: covered as it grows until its writer
// records it closed (zam_recordMade). fd is the caller's own descriptor of
// the file, held (zam_holdWriting), which the caller keeps open for as long
// as it writes the file and then closes (zam_releaseWriting): no other run
// settles the line while it is open. Nothing is kept of fd here. false
// (errno) when path lies under the recorded folder and its line could not
// be written (the turn failed, or the line could not be written whole), or
// fd is not the file at path (EBUSY): the caller must not change the file
// then, which no line covers. No message.
bool zam_recordGrowing(const std::string& path, int fd);

// For the thread that stops the run: waits (a few seconds at most) for the
// turn another thread is in to end, and lets no other thread begin one
// again; the calling thread's own turns go on, each waiting a few seconds
// at most for the record's lock (failed, ECANCELED, past that). No message.
void zam_recordStop();

// The first turn of the run that failed (_zam_record_turn::failed), or
// the first A line that could not be written (zam_recordAhead), as
// "<record path>: <reason>"; "" when none did. For the driver, which says it
// and ends the run with status 1. No message.
std::string zam_recordTrouble();

// Holds a lock of the regular file open as fd, which the kernel drops when
// this process ends however it ends, for as long as fd stays open: the
// mark that its writer still lives (zam_markAlive), for a file recorded
// still-written. Its birth time (or generation) is kept for the file's A lines
// (zam_recordAhead) until zam_releaseWriting. 1 when held; 0 when no kind
// is granted (errno). No message.
int zam_holdWriting(int fd);
// Ends the hold of zam_holdWriting: forgets what was kept of fd and closes
// it. Nothing for -1.
void zam_releaseWriting(int fd);
// Whether the writer of the regular file at path is known gone: no process
// holds a mark of it (zam_markedByOthers). 1 gone; 0 a writer holds it; -1
// it cannot be told (errno). No message.
int zam_writerGone(const std::string& path);

// The steps of putting a file in place and recording it, at which a test
// may stop the process: after the A line, after the file took its name,
// after the W line.
enum ZamPlaceStep { ZAM_STEP_AHEAD = 1, ZAM_STEP_NAMED = 2, ZAM_STEP_RECORDED = 3 };
// Null but in tests: called at each step of each file put in place under a
// recorded folder.
extern void (*zam_place_fault)(ZamPlaceStep step);
// The steps of the record itself at which a test may make it fail (the
// hook returns an errno, 0 to go on) or stop the process: before the record
// is opened, before its lock is taken, before a rewrite takes the record's
// name, after a folder of zam_mkdirRecorded was made (before its D line),
// before a folder whose names the record holds is listed, and before a name
// the record holds is looked at (to settle its line, or in a rewrite).
enum ZamRecordStep {
  ZAM_RECORD_OPEN = 1,
  ZAM_RECORD_LOCK = 2,
  ZAM_RECORD_SWAP = 3,
  ZAM_RECORD_MADE = 4,
  ZAM_RECORD_LIST = 5,
  ZAM_RECORD_LOOK = 6,
  ZAM_RECORD_SWAPPED = 7  // a rewrite's new record has taken the record's name, the old one not yet removed
};
// Null but in tests.
extern int (*zam_record_fault)(ZamRecordStep step);
// Null but in tests: stands in for the fsync of a rewritten record before
// it takes the record's name.
extern int (*zam_record_sync_call)(int fd);
// Null but in tests: stands in for the clock that the times of the record's
// lines are judged against (zam_nowNs).
extern int64_t (*zam_record_clock)();
