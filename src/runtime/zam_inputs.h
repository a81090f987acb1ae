// The input files of the run, known by identity (device and inode), so
// that a result named like one, reached through a link or through another
// relative path, is known as well: an input of the run is never an output.
#pragma once

#include <string>

#include "runtime/zam_identity.h"

// Marks the existing file path as an input; a missing path is ignored.
// Thread-safe; no message.
void zam_keepInput(const std::string& path);
// zam_keepInput of a file whose identity the caller took already (its list
// was read): no second look. An unknown identity (inode 0) is ignored.
void zam_keepInputIdentity(const _zam_identity& id);
// Whether path names (a link followed) a file marked as an input.
bool zam_isInput(const std::string& path);
// For a writer about to write path: when it names an input of the run, the
// warning "Not writing <path>: it is an input file of this run and is kept
// as it is." and true (errno EEXIST); else false, no message.
bool zam_refuseInput(const std::string& path);
