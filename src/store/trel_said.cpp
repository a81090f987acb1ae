// What reading an object's source and building its trace said of it: kept
// as it is said, and said again from its cache files.
#include "store/trel_said.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "align/trel_trace.h"

namespace {

// The chain breaks a trace build kept, said as trel_loadTrace with warn on
// says them: into the log, the structure counted once.
void sayBuilt(const std::string& built, int warn) {
  if (!warn || built.empty()) return;
  zam_log_say(built);
  trel_countChainBreakFile();
}

void appendPart(std::string* bytes, const std::string& part) {
  const uint32_t n = static_cast<uint32_t>(part.size());
  bytes->append(reinterpret_cast<const char*>(&n), sizeof n);
  bytes->append(part);
}

// The part at p[*at..n) into part, *at past it, its kept lines added to
// *lines; false when it does not fit, holds no kept lines, or brings the
// lines past the bound.
bool takePart(const char* p, size_t n, size_t* at, std::string* part, int64_t* lines) {
  uint32_t size = 0;
  if (n - *at < sizeof size) return false;
  memcpy(&size, p + *at, sizeof size);
  *at += sizeof size;
  if (size > n - *at) return false;
  const int64_t kept = zam_log_kept(p + *at, size);
  if (kept < 0 || kept > TREL_SAID_LINES - *lines) return false;
  *lines += kept;
  part->assign(p + *at, size);
  *at += size;
  return true;
}

// The bytes of a record with parts of these sizes (each after its length).
int64_t recordBytes(size_t read, size_t built) { return static_cast<int64_t>(read + built + 2 * sizeof(uint32_t)); }

}  // namespace

const char* trel_saidName() {
  static const std::string name = [] {
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits))
      bits = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
             (static_cast<uint64_t>(getpid()) << 40);
    char text[32];
    snprintf(text, sizeof text, "\x1d%016" PRIx64 "\x1d", bits);
    return std::string(text);
  }();
  return name.c_str();
}

_trel_keeping::_trel_keeping() {
  held.keep_log = 1;
  before = zam_log_hold(&held);
}

_trel_keeping::~_trel_keeping() { stop(); }

void _trel_keeping::stop() {
  if (!holding) return;
  zam_log_hold(before);
  holding = false;
}

std::string _trel_keeping::end(const char* name) {
  stop();
  return zam_log_keep(&held, name);
}

void _trel_keeping::say() {
  stop();
  zam_log_replay(&held);
}

void _trel_keeping::drop() {
  stop();
  zam_log_drop(&held);
}

void trel_sayRead(_trel_thing* thing, std::string read, const char* path) {
  zam_log_say(read, path);
  if (thing->save)
    trel_thingSaid(thing)->read = std::move(read);
  else if (thing->said)
    thing->said->read.clear();
}

void trel_sayBreaks(_trel_thing* thing, const _pdb_image* image, int warn) {
  _trel_keeping keeping;
  trel_logChainBreaks(image, &thing->trace);
  std::string built = keeping.end();
  keeping.drop();
  // Said from what was kept, as a run served from the cache says it.
  sayBuilt(built, warn);
  if (thing->save)
    trel_thingSaid(thing)->built = std::move(built);
  else if (thing->said)
    thing->said->built.clear();
}

void trel_saySaid(_trel_thing* thing, int warn) {
  if (!thing->said) return;
  zam_log_say(thing->said->read, thing->source);
  sayBuilt(thing->said->built, warn);
  trel_forgetSaid(thing);
}

bool trel_saidFits(const _trel_said* said) {
  if (!said) return true;
  const int64_t read = zam_log_kept(said->read.data(), said->read.size());
  const int64_t built = zam_log_kept(said->built.data(), said->built.size());
  return read >= 0 && built >= 0 && read + built <= TREL_SAID_LINES &&
         recordBytes(said->read.size(), said->built.size()) <= TREL_SAID_BYTES;
}

std::string trel_saidBytes(const _trel_said* said) {
  std::string bytes;
  appendPart(&bytes, said ? said->read : std::string());
  appendPart(&bytes, said ? said->built : std::string());
  return bytes;
}

bool trel_saidFromBytes(const char* p, size_t n, _trel_said* said) {
  if (static_cast<int64_t>(n) > TREL_SAID_BYTES) return false;
  std::string read, built;
  size_t at = 0;
  int64_t lines = 0;
  if (!takePart(p, n, &at, &read, &lines) || !takePart(p, n, &at, &built, &lines) || at != n) return false;
  said->read = std::move(read);
  said->built = std::move(built);
  return true;
}
