// The names a file of the tool's is given on its way: a temporary name
// beside its final one, and the numbered names (NAME.1, NAME.2, ...) a file
// is moved to so that another may take its name; the move that never
// replaces what stands at a name; and the count of the files moved aside
// from results' names, which the run reports once.
#pragma once

#include <string>

// A temporary name beside path: path + "." + this process's owner mark
// (zam_ownerMark) + "-" + serial + ".tmp", the serial counted process-wide
// (atomically), so writers on several threads that make the same final file
// never share a temporary file, and a later run can tell whether the file's
// maker is gone. The ".tmp" ending keeps the stream codecs and folder
// listings off it. A file name that would pass ZAM_NAME_MAX bytes so is
// shortened (zam_hashName).
std::string zam_tempName(const std::string& path);

// path with "." and tag put before its compression ending (".gz", ".bz" or
// ".bz2", which choose the codec) or, without one, at its end: tag 2 gives
// "trel.log.2" for "trel.log" and "run.log.2.gz" for "run.log.gz".
std::string zam_numberedName(const std::string& path, const std::string& tag);

// Renames from to to only when nothing has the name to (false, errno
// EEXIST, otherwise), atomically where the file system can; a symbolic link
// is moved as a link. No message.
bool zam_moveNoReplace(const std::string& from, const std::string& to);

// Gives the file from the first free numbered name of path and returns that
// name; "" when it could not be moved (errno tells why). No message.
std::string zam_placeNumbered(const std::string& from, const std::string& path);

// The files moved aside from a result's name in this process: their count,
// and the first one's name (*first) and numbered name (*first_as) when given.
int zam_setAsideFiles(std::string* first = nullptr, std::string* first_as = nullptr);
// Counts the file moved aside from path to as among them (the record's own
// name too, for a file there that is not trel's record).
void zam_noteSetAside(const std::string& path, const std::string& as);
