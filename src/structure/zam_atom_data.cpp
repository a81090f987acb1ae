#include "structure/zam_atom_data.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

constexpr const char* kDefaultFile = "atom_params.dat";
constexpr int kLineBytes = 257;    // lines of at most 256 characters; longer ones are cut
constexpr int kResidueChars = 4;
constexpr int kAtomChars = 6;
constexpr int kMaxFields = 10;     // residue, atom, p1, p2, type, then up to five integers
constexpr unsigned short kNone16 = 65535;

struct AtomEntry {
  float p1;
  float p2;
  char type;
  unsigned short s1, s2, s3;
  unsigned char b1, b2;
  char name[kAtomChars + 1];
};

// One run of consecutive file lines with the same residue name.
struct ResidueEntry {
  char name[kResidueChars + 1];
  int first;
  int count;
};

// The loaded tables. Loading and look-ups hold table_lock, so the first
// caller of any thread loads the file and the others wait for it.
std::mutex table_lock;
std::vector<ResidueEntry> residues;
std::vector<AtomEntry> atoms;
// A load has been tried. Look-ups load the file at their first use only: a
// missing or empty file is then reported once, not once per atom of every
// structure (zam_open_atom_data reads it again on request).
bool tried = false;

// The folder of the library's data when neither ZAM_DATA nor ZAM_ROOT says
// where it is: the data folder of the source tree the library was built from.
const char* builtinDataDir() {
#ifdef ZAM_DATA_DIR
  return ZAM_DATA_DIR;
#else
  return "";
#endif
}

// Where the default file is: here, in $ZAM_DATA, in $ZAM_ROOT/data (or the
// built-in data folder when ZAM_ROOT is unset); else the bare name.
std::string locateDefault() {
  const std::string root = zam_getenv("ZAM_ROOT");
  const std::string root_data = root.empty() ? std::string(builtinDataDir()) : root + "/data";
  char out[kLineBytes] = {};
  const char* found = zam_findfile(kDefaultFile, out, 2, zam_getenv("ZAM_DATA"), root_data.c_str());
  return found && *found ? std::string(found) : std::string(kDefaultFile);
}

bool parseFloat(const std::string& s, float* value) {
  errno = 0;
  char* end = nullptr;
  float v = std::strtof(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool parseInt(const std::string& s, long* value) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (end == s.c_str() || *end != '\0' || errno == ERANGE) return false;
  *value = v;
  return true;
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

// Parses one line's fields into entry. Returns false for a malformed line:
// a field count other than 6, 8, 9 or 10, a field that is not of its kind,
// a name too long for its slot, or an integer outside the range of its slot.
bool parseLine(const std::vector<std::string>& f, AtomEntry* entry) {
  const int n = int(f.size());
  if (n != 6 && n != 8 && n != 9 && n != 10) return false;
  if (f[0].size() > size_t(kResidueChars) || f[1].size() > size_t(kAtomChars)) return false;
  AtomEntry e{};
  if (!parseFloat(f[2], &e.p1) || !parseFloat(f[3], &e.p2)) return false;
  long I[5] = {0, 0, 0, 0, 0};
  for (int k = 5; k < n; k++)
    if (!parseInt(f[size_t(k)], &I[k - 5])) return false;
  const int ints = n - 5;
  if (I[0] < 0 || I[0] > 65535) return false;
  if (ints >= 2 && I[1] > 255) return false;
  if (ints >= 3 && I[2] > 255) return false;
  if (ints >= 4 && I[3] > 65536) return false;
  if (ints >= 5 && I[4] > 65535) return false;
  e.type = f[4][0];
  e.s1 = static_cast<unsigned short>(I[0]);
  e.b1 = ints >= 2 && I[1] >= 1 ? static_cast<unsigned char>(I[1]) : 0;
  e.b2 = ints >= 3 && I[2] >= 1 ? static_cast<unsigned char>(I[2]) : 0;
  e.s2 = ints >= 4 && I[3] >= 1 ? static_cast<unsigned short>(I[3] - 1) : kNone16;
  e.s3 = ints >= 5 && I[4] >= 0 ? static_cast<unsigned short>(I[4]) : kNone16;
  std::memcpy(e.name, f[1].c_str(), f[1].size() + 1);
  *entry = e;
  return true;
}

// Reads the file into the tables (table_lock held). Returns the atom count.
int loadTables(const char* file) {
  tried = true;
  residues.clear();
  atoms.clear();
  const std::string path = file && *file ? std::string(file) : locateDefault();
  _zam_file* f = zam_fopen(path.c_str(), "r");
  if (!f) {
    zam_msg("Failed to open atom data file: %s\n", path.c_str());
    zam_msg("Make sure that ZAM_ROOT is set to Zam's home directory.\n");
    return 0;
  }
  residues.reserve(50);
  atoms.reserve(500);
  char line[kLineBytes];
  int lineno = 0;
  while (zam_freadln(f, kLineBytes, line) >= 0) {
    lineno++;
    const std::string raw = line;
    if (char* hash = std::strchr(line, '#')) *hash = '\0';
    const std::vector<std::string> fields = splitFields(line);
    if (fields.empty()) continue;
    AtomEntry entry;
    if (fields.size() > size_t(kMaxFields) || !parseLine(fields, &entry)) {
      const size_t end = raw.find_last_not_of(" \t");
      zam_msg("Bad atom type: line ignored: %s (line %d of %s)\n", raw.substr(0, end + 1).c_str(),
              lineno, path.c_str());
      continue;
    }
    if (residues.empty() || fields[0] != residues.back().name) {
      ResidueEntry r{};
      std::memcpy(r.name, fields[0].c_str(), fields[0].size() + 1);
      r.first = int(atoms.size());
      r.count = 1;
      residues.push_back(r);
    } else {
      residues.back().count++;
    }
    atoms.push_back(entry);
  }
  // A damaged or cut compressed file ends its lines early, like a short file:
  // only the stream's error state tells them apart.
  if (zam_ferror(f)) {
    zam_msg("Failed to read atom data file: %s (after line %d)\n", path.c_str(), lineno);
    residues.clear();
    atoms.clear();
  }
  zam_fclose(f);
  residues.shrink_to_fit();
  atoms.shrink_to_fit();
  return int(atoms.size());
}

}  // namespace

int zam_open_atom_data(const char* file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return loadTables(file);
}

int zam_atom_data(const char* residue, const char* atom, float* p1, float* p2, char* type,
                  unsigned short* s1, unsigned short* s2, unsigned short* s3, unsigned char* b1,
                  unsigned char* b2) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!tried) loadTables("");
  if (!residue || !atom) return 0;
  for (const ResidueEntry& r : residues) {
    if (std::strcmp(r.name, residue) != 0) continue;
    for (int k = r.first; k < r.first + r.count; k++) {
      const AtomEntry& e = atoms[size_t(k)];
      if (std::strcmp(e.name, atom) != 0) continue;
      if (p1) *p1 = e.p1;
      if (p2) *p2 = e.p2;
      if (type) *type = e.type;
      if (s1) *s1 = e.s1;
      if (s2) *s2 = e.s2;
      if (s3) *s3 = e.s3;
      if (b1) *b1 = e.b1;
      if (b2) *b2 = e.b2;
      return 1;
    }
  }
  return 0;
}

int zam_atom_params(const char* residue, const char* atom, float* p1, float* p2, char* type) {
  const char first[2] = {atom ? atom[0] : '\0', '\0'};
  return zam_atom_data(residue, atom, p1, p2, type, nullptr, nullptr, nullptr, nullptr, nullptr) ||
         zam_atom_data("UNK", atom, p1, p2, type, nullptr, nullptr, nullptr, nullptr, nullptr) ||
         zam_atom_data("UNK", first, p1, p2, type, nullptr, nullptr, nullptr, nullptr, nullptr) ||
         zam_atom_data("elm", first, p1, p2, type, nullptr, nullptr, nullptr, nullptr, nullptr);
}

int zam_atom_polar_hydrogens(const char* residue, char* names, int max_names) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!tried) loadTables("");
  if (!residue) return 0;
  for (const ResidueEntry& r : residues) {
    if (std::strcmp(r.name, residue) != 0) continue;
    int count = 0;
    for (int k = r.first; k < r.first + r.count; k++) {
      const AtomEntry& e = atoms[size_t(k)];
      if (e.name[0] != 'H' || e.p2 == 0.0f || e.type == 'w') continue;
      if (names && count < max_names) {
        char* slot = names + 5 * size_t(count);
        const size_t len = strnlen(e.name, 4);
        std::memcpy(slot, e.name, len);
        slot[len] = '\0';
      }
      count++;
    }
    return count;
  }
  return 0;
}
