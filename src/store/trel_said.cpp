// What reading an object's source and building its trace said of it: kept
// as it is said, and said again from its cache files.
#include "store/trel_said.h"

#include <cstdint>
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

// The part at p[*at..n) into part, *at past it; false when it does not fit.
bool takePart(const char* p, size_t n, size_t* at, std::string* part) {
  uint32_t size = 0;
  if (n - *at < sizeof size) return false;
  memcpy(&size, p + *at, sizeof size);
  *at += sizeof size;
  if (size > n - *at) return false;
  part->assign(p + *at, size);
  *at += size;
  return true;
}

}  // namespace

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

std::string _trel_keeping::end() {
  stop();
  return zam_log_keep(&held);
}

void _trel_keeping::say() {
  stop();
  zam_log_replay(&held);
}

void _trel_keeping::drop() {
  stop();
  zam_log_drop(&held);
}

void trel_keepRead(_trel_thing* thing, std::string read) {
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
  zam_log_say(thing->said->read);
  sayBuilt(thing->said->built, warn);
  trel_forgetSaid(thing);
}

std::string trel_saidBytes(const _trel_said* said) {
  std::string bytes;
  appendPart(&bytes, said ? said->read : std::string());
  appendPart(&bytes, said ? said->built : std::string());
  return bytes;
}

bool trel_saidFromBytes(const char* p, size_t n, _trel_said* said) {
  std::string read, built;
  size_t at = 0;
  if (!takePart(p, n, &at, &read) || !takePart(p, n, &at, &built) || at != n) return false;
  said->read = std::move(read);
  said->built = std::move(built);
  return true;
}
