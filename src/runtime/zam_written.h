// The record of what the tool writes into a run's results folder, from
// which later runs know their own files from a user's (a result's name is
// taken over only from a file of trel's) and -purge knows what to remove:
// the hidden file ZAM_WRITTEN_RECORD in that folder. It begins with the line
// ZAM_WRITTEN_HEAD, then one line for every file a whole-file writer of any
// run puts in place anywhere under the folder (and every file or folder
// given to zam_recordMade):
//   A <identity> <by> <path>   ahead: the file is about to appear at path,
//                         by the time by (ns; 0 for a file still written)
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
// one announced when its device and inode are the same, its size and times
// are not older than the line says (naming a file moves its change time,
// and a log still grows) and it changed last by the line's time (a file
// changed later, or an inode given to another file since, is not taken),
// and settles the line; an unsettled M line likewise covers the folder at
// its name whose birth time (where the file system keeps one) lies within
// a moment of the line's. Appends always begin
// on a fresh line; a line that does not parse (cut by a full disk, bytes a
// power loss left) covers nothing but is otherwise passed over. Once the
// record has grown to twice the lines it was last rewritten with (a line
// "#kept <count>" after the head says how many), or holds any such damage,
// the run that reads it rewrites it under its lock with the lines of what
// still stands.
// A record in the layout before the head line whose every line parses is
// taken as trel's and rewritten with the head; anything else at the record's
// name (a user's file, a link, a socket, a folder) is moved aside to a
// numbered name, once, and a new record begun.
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
// that cannot be had (no room, no right to the folder) is not kept: nothing
// is recorded then. No message.
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
// so memory goes with what stands, not with the record. 1; 0 when there is none or it cannot be read
// (errno), and 0 with errno EPROTO for a file that is not trel's record.
// No message.
int zam_readWritten(const std::string& folder, std::vector<_zam_written_entry>* entries);

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
// could not be, the record then cut back to where it was: the file must not
// take the name.
bool zam_recordAhead(const _zam_record_turn& turn, const std::string& path, const struct stat& st,
                     bool still_written = false);
// Within a held turn: the X line settling the A line of st at path, whose
// file did not take that name.
void zam_recordNotPlaced(const _zam_record_turn& turn, const std::string& path, const struct stat& st);
// Within a held turn: the W line of path, of status st (a regular file), or
// the D line of a folder (which waits for the record file when there is
// none yet).
void zam_recordStatus(const _zam_record_turn& turn, const std::string& path, const struct stat& st);

// zam_mkdir of path, recorded (when it lies under the recorded folder) in
// the same turn at the record, so that a stop waits for both. 1 when the
// folder is there; 0 otherwise. No message.
int zam_mkdirRecorded(const char* path, int mode);
// Records the regular file at path, which this run goes on writing (its
// log), ahead: covered as it grows until its writer records it closed
// (zam_recordMade). No message.
void zam_recordGrowing(const std::string& path);

// For the thread that stops the run: waits (a few seconds at most) for the
// turn another thread is in to end, and lets no other thread begin one
// again; the calling thread's own turns go on, each waiting a few seconds
// at most for the record's lock (failed, ECANCELED, past that). No message.
void zam_recordStop();

// The first turn of the run that failed (_zam_record_turn::failed), as
// "<record path>: <reason>"; "" when none did. For the driver, which says it
// and ends the run with status 1. No message.
std::string zam_recordTrouble();

// Holds a lock of the regular file open as fd, which the kernel drops when
// this process ends however it ends, for as long as fd stays open: the
// mark that its writer still lives, for a file recorded still-written. A
// lock the file system refuses is replaced by one it grants (flock, else
// an open-file-description lock). 1 when held; 0 when no kind is granted
// (errno). No message.
int zam_holdWriting(int fd);
// Whether the writer of the regular file at path is known gone: no process
// holds a lock zam_holdWriting takes of it. 1 gone; 0 a writer holds it; -1
// it cannot be told (errno). No message.
int zam_writerGone(const std::string& path);

// The steps of putting a file in place and recording it, at which a test
// may stop the process: after the A line, after the file took its name,
// after the W line.
enum ZamPlaceStep { ZAM_STEP_AHEAD = 1, ZAM_STEP_NAMED = 2, ZAM_STEP_RECORDED = 3 };
// Null but in tests: called at each step of each file put in place under a
// recorded folder.
extern void (*zam_place_fault)(ZamPlaceStep step);
