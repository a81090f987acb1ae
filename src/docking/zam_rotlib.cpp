#include "docking/zam_rotlib.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "docking/zam_mol.h"
#include "geometry/zam_frame.h"
#include "geometry/zam_geom.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "structure/zam_data_file.h"

namespace {

constexpr int kNameBytes = 5;
constexpr int kMaxAtoms = 7;
constexpr int kMaxChi = 4;
constexpr int kMaxRotamers = 6000;
constexpr double kCheckDegrees = 0.001;

struct RotType {
  char residue[kNameBytes];
  int n_atoms;
  char atoms[kMaxAtoms][kNameBytes];
  int first;  // its rotamers in the table
  int count;
};

struct Rotamer {
  float p;
  float chi[kMaxChi];
};

std::mutex table_lock;
std::vector<RotType> types;
std::vector<Rotamer> rotamers;
bool tried = false;

void closeTables() {
  types.clear();
  types.shrink_to_fit();
  rotamers.clear();
  rotamers.shrink_to_fit();
}

int findType(const char* residue) {
  for (size_t t = 0; t < types.size(); t++)
    if (!std::strcmp(types[t].residue, residue)) return int(t);
  return -1;
}

// Reads the types file; false when it cannot be read.
bool open_rotamer_types(const char* file) {
  types.reserve(20);
  const _zam_data_kind kind{"torsion_types.dat", "torsion file", 80, nullptr};
  const int read = zam_data_read(file, kind, [](const _zam_data_line& line) {
    const std::vector<std::string>& f = line.fields;
    RotType t{};
    bool good = f.size() >= 5 && f.size() <= size_t(kMaxAtoms) + 1 && zam_data_name(f[0], t.residue, kNameBytes);
    for (size_t a = 1; good && a < f.size(); a++) good = zam_data_name(f[a], t.atoms[a - 1], kNameBytes);
    if (!good) {
      zam_data_skip(line, "Bad torsion type: line ignored");
      return;
    }
    if (findType(t.residue) >= 0) {
      zam_data_skip(line, "Bad torsion type: line ignored", "the residue has a type already");
      return;
    }
    t.n_atoms = int(f.size()) - 1;
    types.push_back(t);
  });
  types.shrink_to_fit();
  return read >= 0;
}

// Stores one residue's batch in descending order of probability and gives
// its type the batch's place in the table.
void copy_torsions(int type, const std::vector<Rotamer>& batch) {
  const int n = int(batch.size());
  std::vector<float> keys(static_cast<size_t>(n));
  std::vector<int> order(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) keys[size_t(i)] = -batch[size_t(i)].p;
  zam_sortf(keys.data(), n, order.data());
  types[size_t(type)].first = int(rotamers.size());
  types[size_t(type)].count = n;
  for (int i = 0; i < n; i++) rotamers.push_back(batch[size_t(order[size_t(i)])]);
}

// Parses a rotamer line: residue, six integers, probability, three floats,
// then four angles each followed by its spread.
bool parseRotamer(const std::vector<std::string>& f, Rotamer* r) {
  if (f.size() != 19) return false;
  long skip_int = 0;
  float skip = 0.0f;
  for (size_t k = 1; k <= 6; k++)
    if (!zam_data_int(f[k], &skip_int)) return false;
  if (!zam_data_float(f[7], &r->p)) return false;
  for (size_t k = 8; k <= 10; k++)
    if (!zam_data_float(f[k], &skip)) return false;
  for (int c = 0; c < kMaxChi; c++)
    if (!zam_data_float(f[size_t(11 + 2 * c)], &r->chi[c]) || !zam_data_float(f[size_t(12 + 2 * c)], &skip))
      return false;
  return true;
}

// Reads the rotamers; false when the file cannot be read.
bool open_rotamer_torsions(const char* file) {
  rotamers.reserve(kMaxRotamers);
  std::vector<Rotamer> batch;
  int batch_type = -1;
  std::vector<bool> done(types.size(), false);
  auto flush = [&] {
    if (batch_type >= 0 && !batch.empty()) copy_torsions(batch_type, batch);
    batch.clear();
  };
  const _zam_data_kind kind{"torsion_data.dat", "torsion file", 200, nullptr};
  const int read = zam_data_read(file, kind, [&](const _zam_data_line& line) {
    Rotamer r{};
    if (!parseRotamer(line.fields, &r)) {
      zam_data_skip(line, "Bad residue torsion: line ignored");
      return;
    }
    const int type = findType(line.fields[0].c_str());
    if (type < 0) {
      zam_data_skip(line, "Bad residue torsion: line ignored", "no torsion type for the residue");
      return;
    }
    if (type != batch_type) {
      flush();
      if (done[size_t(type)]) {
        zam_data_skip(line, "Bad residue torsion: line ignored", "the residue's rotamers were given before");
        batch_type = -1;
        return;
      }
      batch_type = type;
      done[size_t(type)] = true;
    }
    if (int(rotamers.size() + batch.size()) >= kMaxRotamers) {
      zam_data_skip(line, "Bad residue torsion: line ignored", "more than 6000 rotamers");
      return;
    }
    batch.push_back(r);
  });
  flush();
  rotamers.shrink_to_fit();
  return read >= 0;
}

int load(const char* types_file, const char* data_file) {
  closeTables();
  tried = true;
  if (!open_rotamer_types(types_file) || !open_rotamer_torsions(data_file)) closeTables();
  return int(rotamers.size());
}

// The tables, read on first use (lock held).
void ready() {
  if (!tried) load("", "");
}

// Marks as fixed every atom of first..last that the bond lists reach from
// atom without passing through pivot.
void tag_fixed_atoms(int atom, int pivot, int first, int last, std::vector<char>& fixed) {
  std::vector<int> stack{atom};
  fixed[size_t(atom - first)] = 1;
  while (!stack.empty()) {
    const int a = stack.back();
    stack.pop_back();
    const int* list = nullptr;
    const int n = mol_atom_atoms(a, &list);
    for (int k = 0; k < n; k++) {
      const int b = list[k];
      if (b == pivot || b < first || b > last || fixed[size_t(b - first)]) continue;
      fixed[size_t(b - first)] = 1;
      stack.push_back(b);
    }
  }
}

double torsionDegrees(const int* atoms) {
  Point3D p[4];
  for (int i = 0; i < 4; i++) mol_atom_basept(&p[i], atoms[i]);
  return rad2deg(a_ptptptpt(p[0], p[1], p[2], p[3]));
}

// a - b taken into [-180, 180).
double angleDifference(double a, double b) {
  double d = std::fmod(a - b + 180.0, 360.0);
  if (d < 0.0) d += 360.0;
  return d - 180.0;
}

}  // namespace

int zam_rotlib_open(const char* types_file, const char* data_file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return load(types_file, data_file);
}

void zam_rotlib_close() {
  std::lock_guard<std::mutex> guard(table_lock);
  closeTables();
}

int lookup_rotamer(const char* residue) {
  std::lock_guard<std::mutex> guard(table_lock);
  ready();
  return residue ? findType(residue) : -1;
}

int zam_rotlib_count(const char* residue) {
  std::lock_guard<std::mutex> guard(table_lock);
  ready();
  const int t = residue ? findType(residue) : -1;
  return t >= 0 ? types[size_t(t)].count : 0;
}

void zam_rotlib_print() {
  std::lock_guard<std::mutex> guard(table_lock);
  ready();
  for (const RotType& t : types) {
    std::string line = std::string("Rotamer type ") + t.residue + " (" + std::to_string(t.n_atoms - 3) +
                       " torsions, " + std::to_string(t.count) + " rotamers):";
    for (int a = 0; a < t.n_atoms; a++) line += std::string(" ") + t.atoms[a];
    zam_msg("%s\n", line.c_str());
    for (int k = t.first; k < t.first + t.count; k++) {
      const Rotamer& r = rotamers[size_t(k)];
      zam_msg("%6.2f  %6.2f  %6.2f  %6.2f  %6.2f\n", double(r.p), double(r.chi[0]), double(r.chi[1]),
              double(r.chi[2]), double(r.chi[3]));
    }
  }
}

int zam_rotlib_rotamer(int chain, int residue, int k) {
  char name[kNameBytes] = "", label[8] = "";
  int first = -1, last = -1;
  mol_resnum_info(chain, residue, name, label, &first, &last);
  if (first < 0) return 0;
  // The residue's type and rotamer, copied so that the molecule is worked on
  // without the lock.
  RotType type{};
  Rotamer rot{};
  {
    std::lock_guard<std::mutex> guard(table_lock);
    ready();
    const int t = findType(name);
    if (t < 0 || k < 0 || k >= types[size_t(t)].count) return 0;
    type = types[size_t(t)];
    rot = rotamers[size_t(type.first + k)];
  }
  int atoms[kMaxAtoms];
  for (int a = 0; a < type.n_atoms; a++) {
    atoms[a] = mol_match_atom(type.atoms[a], first, last);
    if (atoms[a] < 0) {
      zam_wrn("Can't make rotamer %d for %4s:%-4s (chain %d): atom %s not found in PDB database.\n", k, name,
              label, chain, type.atoms[a]);
      return 0;
    }
  }
  int made = 1;
  const int n = last - first + 1;
  for (int c = 0; c + 3 < type.n_atoms; c++) {
    const int* t = atoms + c;
    std::vector<char> fixed(static_cast<size_t>(n), 0);
    tag_fixed_atoms(t[1], t[2], first, last, fixed);
    const double turn = angleDifference(rot.chi[c], torsionDegrees(t));
    Point3D near, far;
    mol_atom_basept(&near, t[1]);
    mol_atom_basept(&far, t[2]);
    // A right-handed turn about the bond from its near to its far atom adds
    // to the torsion angle.
    const Matrix3D R = tf_ptpta(far, near, deg2rad(turn));
    for (int i = first; i <= last; i++) {
      const char* a = mol_atom_name(i);
      if (fixed[size_t(i - first)] || !std::strcmp(a, "H") || !std::strcmp(a, "N") || !std::strcmp(a, "C") ||
          !std::strcmp(a, "O"))
        continue;
      Point3D p;
      mol_atom_basept(&p, i);
      mol_set_atom_basept(i, pt_tfpt(R, p));
    }
    const double left = angleDifference(rot.chi[c], torsionDegrees(t));
    if (std::fabs(left) > kCheckDegrees) {
      zam_wrn("Torsion consistency check failed for rotamer %d of %4s:%-4s (chain %d) devation = %6.2f deg.\n", k,
              name, label, chain, left);
      made = 0;
    }
  }
  return made;
}
