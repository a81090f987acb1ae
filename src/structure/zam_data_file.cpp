#include "structure/zam_data_file.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

constexpr int kPathBytes = 257;

// The library's home: $ZAM_ROOT, or the source tree the library was built
// from (the folder above its data folder) when ZAM_ROOT is unset.
std::string rootFolder() {
  const std::string root = zam_getenv("ZAM_ROOT");
  if (!root.empty()) return root;
#ifdef ZAM_DATA_DIR
  return std::string(ZAM_DATA_DIR) + "/..";
#else
  return "";
#endif
}

std::vector<std::string> splitFields(const char* text) {
  std::vector<std::string> out;
  const char* s = text;
  while (*s) {
    while (*s && std::isspace(static_cast<unsigned char>(*s))) s++;
    const char* start = s;
    while (*s && !std::isspace(static_cast<unsigned char>(*s))) s++;
    if (s > start) out.emplace_back(start, s);
  }
  return out;
}

// A whole field read as one finite number by convert (strtof or strtod).
template <class T>
bool parseNumber(const std::string& s, T (*convert)(const char*, char**), T* value) {
  errno = 0;
  char* end = nullptr;
  const T v = convert(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

}  // namespace

std::string zam_data_folder() {
  const std::string root = zam_getenv("ZAM_ROOT");
  if (!root.empty()) return root + "/data";
#ifdef ZAM_DATA_DIR
  return ZAM_DATA_DIR;
#else
  return "";
#endif
}

std::string zam_data_locate(const char* file, const _zam_data_kind& kind) {
  if (file && *file) return file;
  const std::string data = zam_data_folder();
  const std::string extra = kind.root_folder ? rootFolder() + "/" + kind.root_folder : std::string();
  char out[kPathBytes] = {};
  const char* found =
      zam_findfile(kind.default_name, out, 3, zam_getenv("ZAM_DATA"), data.c_str(), extra.c_str());
  return found && *found ? std::string(found) : std::string(kind.default_name);
}

int zam_data_read(const char* file, const _zam_data_kind& kind,
                  const std::function<void(const _zam_data_line&)>& each) {
  const std::string path = zam_data_locate(file, kind);
  std::unique_ptr<_zam_file, int (*)(_zam_file*)> f(zam_fopen(path.c_str(), "r"), zam_fclose);
  if (!f) {
    zam_msg("Failed to open %s: %s\n", kind.what, path.c_str());
    zam_msg("Make sure that ZAM_ROOT is set to Zam's home directory.\n");
    return -1;
  }
  std::vector<char> buffer(size_t(kind.line_chars) + 1);
  _zam_data_line line{path.c_str(), 0, nullptr, {}};
  int with_fields = 0;
  while (zam_freadln(f.get(), kind.line_chars + 1, buffer.data()) >= 0) {
    line.number++;
    std::string raw = buffer.data();
    raw.erase(raw.find_last_not_of(" \t\r") + 1);
    if (char* hash = std::strchr(buffer.data(), '#')) *hash = '\0';
    line.fields = splitFields(buffer.data());
    if (line.fields.empty()) continue;
    line.text = raw.c_str();
    with_fields++;
    each(line);
  }
  // A damaged or cut compressed file ends its lines early, like a short file:
  // only the stream's error state tells them apart.
  if (zam_ferror(f.get())) {
    zam_msg("Failed to read %s: %s (after line %d) [%s]\n", kind.what, path.c_str(), line.number,
            zam_ferrorText(f.get()));
    return -1;
  }
  return with_fields;
}

void zam_data_skip(const _zam_data_line& line, const char* head, const char* why, int warning) {
  if (warning) {
    if (why) zam_wrn("%s: %s (line %d of %s: %s)\n", head, line.text, line.number, line.file, why);
    else zam_wrn("%s: %s (line %d of %s)\n", head, line.text, line.number, line.file);
  } else {
    if (why) zam_msg("%s: %s (line %d of %s: %s)\n", head, line.text, line.number, line.file, why);
    else zam_msg("%s: %s (line %d of %s)\n", head, line.text, line.number, line.file);
  }
}

bool zam_data_float(const std::string& s, float* value) { return parseNumber(s, std::strtof, value); }

bool zam_data_double(const std::string& s, double* value) { return parseNumber(s, std::strtod, value); }

bool zam_data_int(const std::string& s, long* value) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (end == s.c_str() || *end != '\0' || errno == ERANGE) return false;
  *value = v;
  return true;
}

bool zam_data_name(const std::string& s, char* slot, int slot_bytes) {
  if (s.size() + 1 > size_t(slot_bytes)) return false;
  std::memcpy(slot, s.c_str(), s.size() + 1);
  return true;
}
