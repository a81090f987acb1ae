#include "structure/zam_bond_data.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "structure/zam_data_file.h"

namespace {

constexpr int kLineChars = 80;
constexpr int kNameBytes = 5;

struct Bond {
  char a1[kNameBytes];
  char a2[kNameBytes];
  unsigned char order;
  char flag;
};

// One run of consecutive lines of a residue.
struct Residue {
  char name[kNameBytes];
  int first;
  int count;
};

std::mutex table_lock;
std::vector<Residue> residues;
std::vector<Bond> bonds;
bool tried = false;

int load(const char* file) {
  tried = true;
  residues.clear();
  bonds.clear();
  residues.reserve(40);
  bonds.reserve(3000);
  const _zam_data_kind kind{"atom_bonds.dat", "atom bonds file", kLineChars, "examples"};
  const int read = zam_data_read(file, kind, [](const _zam_data_line& line) {
    const std::vector<std::string>& f = line.fields;
    Bond b{};
    char residue[kNameBytes];
    long order = -1;
    if (f.size() != 5 || !zam_data_name(f[0], residue, kNameBytes) || !zam_data_name(f[1], b.a1, kNameBytes) ||
        !zam_data_name(f[2], b.a2, kNameBytes) || !zam_data_int(f[3], &order) || order < 0 || order > 255) {
      zam_data_skip(line, "Bad atom bond: line ignored");
      return;
    }
    b.order = static_cast<unsigned char>(order);
    b.flag = f[4][0];
    if (residues.empty() || std::strcmp(residues.back().name, residue) != 0) {
      Residue r{};
      std::memcpy(r.name, residue, sizeof residue);
      r.first = int(bonds.size());
      residues.push_back(r);
    }
    residues.back().count++;
    bonds.push_back(b);
  });
  if (read < 0) {
    residues.clear();
    bonds.clear();
  }
  residues.shrink_to_fit();
  bonds.shrink_to_fit();
  return int(bonds.size());
}

}  // namespace

int zam_open_bond_template(const char* file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return load(file);
}

int zam_match_bond_template(const char* residue, int* first, int* last) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!tried) load("");
  if (!residue) return 0;
  for (const Residue& r : residues) {
    if (std::strcmp(r.name, residue) != 0) continue;
    if (first) *first = r.first;
    if (last) *last = r.first + r.count - 1;
    return 1;
  }
  return 0;
}

int zam_get_bond_template(int k, char* a1, char* a2, int* order) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!tried) load("");
  if (k < 0 || k >= int(bonds.size())) return 0;
  const Bond& b = bonds[size_t(k)];
  if (a1) std::memcpy(a1, b.a1, kNameBytes);
  if (a2) std::memcpy(a2, b.a2, kNameBytes);
  if (order) *order = b.order;
  return 1;
}
