// Owner marks: what a run leaves behind while it works (temporary files, a
// private folder, a log under a private name) carries in its name who made
// it: the machine (its boot), the PID namespace, the process and the
// process's start time. A later run removes or keeps such a thing only when
// the mark proves that its maker is gone: made here, in this namespace, by a
// process that no longer exists (or whose number now belongs to a process
// started later). Anything else is never touched: a user's file, a file of a
// live run, of another host sharing the folder, or of a container.
#pragma once

#include <cstddef>
#include <string>

// This process's mark: "trel", 12 hex digits of the machine and PID
// namespace, "-", the process id, "-" and its start time (hex clock ticks
// since boot; 0 when unknown). Safe from any thread; a forked child gets its
// own. Never contains '.', '/', '_' or a space.
std::string zam_ownerMark();
// The length of the owner mark that text starts with; 0 when it starts with
// none.
size_t zam_ownerMarkAt(const std::string& text);
// 1 when text starts with an owner mark of this machine and PID namespace
// whose process is gone: no process has its number, or the one that has it
// started at another time. 0 otherwise: no mark, a mark of another machine
// or namespace, this process, a process that still runs, or when this
// process cannot tell (no /proc of its own namespace, say).
int zam_ownerGone(const std::string& text);
