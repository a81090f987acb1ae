// The record of what the tool writes into a run's results folder, from
// which later runs know their own files from a user's (a result's name is
// taken over only from a file of trel's) and -purge knows what to remove:
// the hidden file ZAM_WRITTEN_RECORD in that folder. It begins with the line
// ZAM_WRITTEN_HEAD; a file at its name without that line is not trel's
// record, and is moved aside like any file of the user's before a new
// record is begun. Then one line for every file a whole-file writer of any
// run puts in place anywhere under the folder (and every file or folder
// given to zam_recordMade):
//   W <identity> <path>   a file with its identity (zam_identityText)
//   D <device> <inode> <path>   a folder made
// (path under the folder, "." for the folder itself). A run puts a file in
// place and appends its line in one turn at the record (_zam_record_turn),
// which holds the record file's lock: a run that meets a file at a result's
// name looks at it within a turn too, so it never sees a file of trel's
// whose line is not written yet, and never waits on a timer.
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
// that cannot be opened (a link at its name, say) is not kept: nothing is
// recorded then. No message.
void zam_recordWrites(const std::string& folder, bool extend_only = false);
// Records the file or folder path (as it is now, a link not followed) when
// it lies under the recorded folder. No message.
void zam_recordMade(const std::string& path);

// One line of a record of written files.
struct _zam_written_entry {
  char kind;          // 'W' a file; 'D' a folder made
  _zam_identity id;   // 'D': device and inode only
  std::string path;   // under the folder; "." the folder itself
};
// Reads the record of folder (ZAM_WRITTEN_RECORD in it) into *entries, in
// its order; lines of no known kind, and a last line without its end, are
// passed over. 1; 0 when there is none or it cannot be read (errno), 0 with
// errno EPROTO for a file that is not trel's record (no head line), and 0
// with errno EILSEQ for a damaged record: a line holds a NUL byte (its
// number goes to *damaged_line when given). No message.
int zam_readWritten(const std::string& folder, std::vector<_zam_written_entry>* entries,
                    long* damaged_line = nullptr);

// A turn at the record for a file at path: when path lies under the
// recorded folder, the record is open (made when missing, unless only an
// existing one is kept) and locked, for this process's threads and for
// every other run, until the turn ends; held is true then. Otherwise
// nothing is locked. A folder's turn (file false) takes the process's lock
// alone: its line may wait for the record. Turns do not nest.
struct _zam_record_turn {
  explicit _zam_record_turn(const std::string& path, bool file = true);
  ~_zam_record_turn();
  _zam_record_turn(const _zam_record_turn&) = delete;
  _zam_record_turn& operator=(const _zam_record_turn&) = delete;
  bool held = false;
  bool locked = false;  // the record file's lock is held
};
// Whether a line of the record covers the regular file of identity id at
// path: what every run appended up to now is read. False outside a held
// turn, and for a damaged record.
bool zam_recordCovers(const _zam_record_turn& turn, const std::string& path, const _zam_identity& id);
// Appends the line of path, of status st (a regular file or a folder), to
// the record within a held turn; a folder's line waits for the record file
// when there is none yet.
void zam_recordStatus(const _zam_record_turn& turn, const std::string& path, const struct stat& st);
