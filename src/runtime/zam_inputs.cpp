#include "runtime/zam_inputs.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>
#include <utility>

#include "runtime/zam_log.h"

namespace {

std::mutex inputs_lock;
std::set<std::pair<dev_t, ino_t>> inputs;
std::atomic<bool> any_inputs{false};

}  // namespace

void zam_keepInput(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return;
  std::lock_guard<std::mutex> hold(inputs_lock);
  inputs.emplace(st.st_dev, st.st_ino);
  any_inputs = true;
}

void zam_keepInputIdentity(const _zam_identity& id) {
  if (id.ino == 0) return;
  std::lock_guard<std::mutex> hold(inputs_lock);
  inputs.emplace(static_cast<dev_t>(id.dev), static_cast<ino_t>(id.ino));
  any_inputs = true;
}

bool zam_isInput(const std::string& path) {
  if (!any_inputs.load()) return false;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  std::lock_guard<std::mutex> hold(inputs_lock);
  return inputs.count({st.st_dev, st.st_ino}) > 0;
}

bool zam_refuseInput(const std::string& path) {
  if (!zam_isInput(path)) return false;
  zam_wrn("Not writing %s: it is an input file of this run and is kept as it is.\n", path.c_str());
  errno = EEXIST;
  return true;
}
