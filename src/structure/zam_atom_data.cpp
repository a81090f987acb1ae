#include "structure/zam_atom_data.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "structure/zam_data_file.h"

namespace {

constexpr const char* kDefaultFile = "atom_params.dat";
constexpr int kLineChars = 256;    // longer lines are cut
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

// Parses one line's fields into entry. Returns false for a malformed line:
// a field count other than 6, 8, 9 or 10, a field that is not of its kind,
// a name too long for its slot, or an integer outside the range of its slot.
bool parseLine(const std::vector<std::string>& f, AtomEntry* entry) {
  const int n = int(f.size());
  if (n != 6 && n != 8 && n != 9 && n != 10) return false;
  if (f[0].size() > size_t(kResidueChars) || f[1].size() > size_t(kAtomChars)) return false;
  AtomEntry e{};
  if (!zam_data_float(f[2], &e.p1) || !zam_data_float(f[3], &e.p2)) return false;
  long I[5] = {0, 0, 0, 0, 0};
  for (int k = 5; k < n; k++)
    if (!zam_data_int(f[size_t(k)], &I[k - 5])) return false;
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
  residues.reserve(50);
  atoms.reserve(500);
  const _zam_data_kind kind{kDefaultFile, "atom data file", kLineChars, nullptr};
  const int read = zam_data_read(file, kind, [](const _zam_data_line& line) {
    const std::vector<std::string>& fields = line.fields;
    AtomEntry entry;
    if (fields.size() > size_t(kMaxFields) || !parseLine(fields, &entry)) {
      zam_data_skip(line, "Bad atom type: line ignored");
      return;
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
  });
  if (read < 0) {
    residues.clear();
    atoms.clear();
  }
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
