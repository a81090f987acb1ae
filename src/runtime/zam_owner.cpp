#include "runtime/zam_owner.h"

#include <signal.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kWord[] = "trel";
constexpr size_t kWordSize = sizeof kWord - 1;
constexpr size_t kIdDigits = 12;  // 48 bits of the machine and namespace

// What this process knows of itself; taken again in a forked child.
struct Self {
  long pid = 0;
  unsigned long long start = 0;  // 0 when unknown
  bool known = false;            // the machine and namespace could be read
  bool proc_ours = false;        // /proc numbers processes as this namespace does
  std::string id;                // kIdDigits hex digits
};

std::mutex self_lock;
Self self;

std::string readFirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The process id and start time (field 22) of /proc/<which>/stat; false
// when it cannot be read. The command name (field 2) may hold blanks and
// parentheses: the fields after it are counted from its last ')'.
bool readStat(const std::string& which, long* pid, unsigned long long* start) {
  const std::string text = readFirstLine(("/proc/" + which + "/stat").c_str());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  *pid = std::strtol(text.c_str(), nullptr, 10);
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int k = 3; k <= 22; k++)
    if (!(fields >> field)) return false;
  char* end = nullptr;
  *start = std::strtoull(field.c_str(), &end, 10);
  return end && *end == 0 && *start > 0;
}

uint64_t fnv1a(const std::string& text) {
  uint64_t h = 1469598103934665603ULL;
  for (const unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
  return h;
}

// The boot of the machine (a random number drawn at each boot, so two hosts
// sharing a folder differ, cloned or not) and the PID namespace (its inode).
// Without them the id is made from the host name alone and proves nothing.
Self takeSelf() {
  Self s;
  s.pid = static_cast<long>(getpid());
  const std::string boot = readFirstLine("/proc/sys/kernel/random/boot_id");
  struct stat ns;
  const bool has_ns = stat("/proc/self/ns/pid", &ns) == 0;
  s.known = boot.size() >= 16 && has_ns;
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  const std::string what = s.known ? boot + ":" + std::to_string((unsigned long long)ns.st_dev) + ":" +
                                         std::to_string((unsigned long long)ns.st_ino)
                                   : std::string("host:") + host;
  char id[32];
  std::snprintf(id, sizeof id, "%012" PRIx64, fnv1a(what) >> (64 - 4 * kIdDigits));
  s.id = id;
  long listed = 0;
  unsigned long long start = 0;
  // A /proc mounted for another namespace lists this process under another
  // number: other processes cannot be looked up there.
  if (readStat("self", &listed, &start)) {
    s.start = start;
    s.proc_ours = listed == s.pid;
  }
  return s;
}

Self current() {
  std::lock_guard<std::mutex> hold(self_lock);
  if (self.pid != static_cast<long>(getpid())) self = takeSelf();
  return self;
}

// The fields of a mark at the start of text; its length, 0 when none.
size_t parseMark(const std::string& text, std::string* id, long* pid, unsigned long long* start) {
  if (text.compare(0, kWordSize, kWord) != 0) return 0;
  size_t at = kWordSize;
  auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  for (size_t k = 0; k < kIdDigits; k++, at++)
    if (at >= text.size() || !isHex(text[at])) return 0;
  *id = text.substr(kWordSize, kIdDigits);
  if (at >= text.size() || text[at++] != '-') return 0;
  // A process id is a pid_t: a number past its range names no process (cast
  // down it would name another one, or a process group), so the mark is none.
  int64_t p = 0;
  size_t digits = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; at++, digits++)
    if (digits < 10) p = p * 10 + (text[at] - '0');
  if (digits < 1 || digits > 10 || p <= 0 || p > std::numeric_limits<pid_t>::max()) return 0;
  if (at >= text.size() || text[at++] != '-') return 0;
  unsigned long long s = 0;
  digits = 0;
  for (; at < text.size() && isHex(text[at]); at++, digits++)
    s = s * 16 + static_cast<unsigned>(text[at] <= '9' ? text[at] - '0' : text[at] - 'a' + 10);
  if (digits < 1 || digits > 16) return 0;
  *pid = static_cast<long>(p);
  *start = s;
  return at;
}

}  // namespace

std::string zam_ownerMark() {
  const Self s = current();
  char mark[80];
  std::snprintf(mark, sizeof mark, "%s%s-%ld-%llx", kWord, s.id.c_str(), s.pid, s.start);
  return mark;
}

size_t zam_ownerMarkAt(const std::string& text) {
  std::string id;
  long pid = 0;
  unsigned long long start = 0;
  return parseMark(text, &id, &pid, &start);
}

int zam_ownerGone(const std::string& text) {
  std::string id;
  long pid = 0;
  unsigned long long start = 0;
  if (!parseMark(text, &id, &pid, &start)) return 0;
  const Self s = current();
  if (!s.known || id != s.id) return 0;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return 1;
  // The number is taken: by the maker itself, or by a process started later
  // that was given the number again. Only the start time tells them apart.
  if (!s.proc_ours || start == 0) return 0;
  long listed = 0;
  unsigned long long now = 0;
  if (!readStat(std::to_string(pid), &listed, &now) || listed != pid) return 0;
  return now != start ? 1 : 0;
}
