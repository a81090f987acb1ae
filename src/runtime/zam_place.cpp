#include "runtime/zam_place.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_owner.h"

namespace {

// Serial of the temporary names of this process, shared by all threads.
std::atomic<unsigned long> temp_serial{0};

// The files moved aside from results' names: how many, and the first.
std::mutex aside_lock;
int aside_count = 0;
std::string aside_first, aside_first_as;

}  // namespace

std::string zam_tempName(const std::string& path) {
  std::string ending = ".";
  ending += zam_ownerMark();
  ending += '-';
  ending += std::to_string(temp_serial++);
  ending += ".tmp";
  // A final name that fits may leave no room for the ending: its name part
  // is then shortened as long file names are.
  const size_t at = path.find_last_of('/') + 1;  // 0 when there is no folder
  return path.substr(0, at) + zam_hashName(path.substr(at), ZAM_NAME_MAX - ending.size()) + ending;
}

std::string zam_numberedName(const std::string& path, const std::string& tag) {
  const uint32_t kind = zam_fkind(path.c_str());
  const size_t end = kind ? path.rfind('.') : path.size();
  return path.substr(0, end) + "." + tag + path.substr(end);
}

bool zam_moveNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // Without the flag a hard link takes the name or fails on a taken one;
  // without hard links either, the name is looked at first (not atomic).
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

std::string zam_placeNumbered(const std::string& from, const std::string& path) {
  for (int n = 1; n < 1000000; ++n) {
    std::string name = zam_numberedName(path, std::to_string(n));
    if (zam_moveNoReplace(from, name)) return name;
    if (errno != EEXIST) return std::string();
  }
  errno = EEXIST;
  return std::string();
}

void zam_noteSetAside(const std::string& path, const std::string& as) {
  std::lock_guard<std::mutex> hold(aside_lock);
  if (aside_count++ == 0) {
    aside_first = path;
    aside_first_as = as;
  }
}

int zam_setAsideFiles(std::string* first, std::string* first_as) {
  std::lock_guard<std::mutex> hold(aside_lock);
  if (first) *first = aside_first;
  if (first_as) *first_as = aside_first_as;
  return aside_count;
}
