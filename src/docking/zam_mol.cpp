// The docking atom store.
#include "docking/zam_mol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "docking/zam_atom_cells.h"
#include "structure/zam_atom_data.h"
#include "structure/zam_pdb.h"
#include "structure/zam_residue.h"

namespace {

struct Atom {
  Point3D pt;
  float radius, charge, occupancy, temperature;
  unsigned char access, polar, hydrogen, sulphur;
  signed char ace;
  char alt, hetatm;
  char name[5], ename[5];
  int model;
};

struct Residue {
  char name[5];
  char label[6];
  int first, last;
};

struct Chain {
  char letter;
  int first_residue, residues, atoms, heavy;
};

struct Slot {
  Matrix3D tf = tf_identity();
  std::vector<Atom> atoms;
  std::vector<Residue> residues;
  std::vector<Chain> chains;
  std::vector<int> bond_start;  // atoms + 1 offsets into bonds
  std::vector<int> bonds;
  int other = 0;
};

Slot slots[ZAM_MOL_SLOTS];
int current = 0;

Slot& cur() { return slots[current]; }
const Atom* atomAt(int i) {
  const Slot& s = cur();
  return i >= 0 && i < static_cast<int>(s.atoms.size()) ? &s.atoms[static_cast<size_t>(i)] : nullptr;
}

void copyName(char* to, size_t size, const char* from) {
  std::snprintf(to, size, "%s", from ? from : "");
}

// Formal charges of the ionisable groups; the chain ends are added by the loader.
float groupCharge(const char* res, const char* atom) {
  auto is = [&](const char* r, const char* a) { return !std::strcmp(res, r) && !std::strcmp(atom, a); };
  if (is("LYS", "NZ")) return 1.0f;
  if (is("ARG", "NH1") || is("ARG", "NH2")) return 0.5f;
  if (is("ASP", "OD1") || is("ASP", "OD2") || is("GLU", "OE1") || is("GLU", "OE2")) return -0.5f;
  return 0.0f;
}

double bondLimit(const Atom& a, const Atom& b) {
  if (a.hydrogen || b.hydrogen) return 1.3;
  if (a.sulphur || b.sulphur) return 2.1;
  return 1.9;
}

// Bond lists by cells of the longest bond: each pair is tested once.
void makeBonds(Slot& s) {
  const int n = static_cast<int>(s.atoms.size());
  _zam_atom_cells cells{2.1, {}};
  for (int i = 0; i < n; i++) cells.add(i, s.atoms[static_cast<size_t>(i)].pt);
  std::vector<std::vector<int>> lists(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) {
    const Atom& a = s.atoms[static_cast<size_t>(i)];
    cells.near(a.pt, [&](int j) {
      if (j <= i) return;
      const Atom& b = s.atoms[static_cast<size_t>(j)];
      if (a.model != b.model) return;
      if (a.alt != ' ' && b.alt != ' ' && a.alt != b.alt) return;
      const double lim = bondLimit(a, b);
      if (d2_ptpt(a.pt, b.pt) < lim * lim) {
        lists[static_cast<size_t>(i)].push_back(j);
        lists[static_cast<size_t>(j)].push_back(i);
      }
    });
  }
  s.bond_start.assign(static_cast<size_t>(n) + 1, 0);
  s.bonds.clear();
  for (int i = 0; i < n; i++) {
    std::vector<int>& l = lists[static_cast<size_t>(i)];
    std::sort(l.begin(), l.end());
    s.bonds.insert(s.bonds.end(), l.begin(), l.end());
    s.bond_start[static_cast<size_t>(i) + 1] = static_cast<int>(s.bonds.size());
  }
}

}  // namespace

int mol_load_pdb(int slot, const _pdb_image* image) {
  if (slot < 0 || slot >= ZAM_MOL_SLOTS || !image) return -1;
  Slot s;
  s.other = image->nhetatms;
  const int n = image->natoms;
  s.atoms.resize(static_cast<size_t>(n));
  int prev_res = -1;
  for (int i = 0; i < n; i++) {
    const _pdb_atom& p = image->atoms[i];
    Atom& a = s.atoms[static_cast<size_t>(i)];
    a = Atom{};
    a.pt = Point3D{p.x, p.y, p.z};
    float radius = 0.0f, polar = 0.0f;
    char type = ' ';
    if (zam_atom_params(p.resname, p.name, &radius, &polar, &type) && radius > 0.0f) a.radius = radius;
    a.polar = polar != 0.0f;
    a.hydrogen = zam_isHydrogen(p.name) || type == 'H';
    a.sulphur = p.name[0] == 'S';
    a.charge = groupCharge(p.resname, p.name);
    a.occupancy = p.occupancy;
    a.temperature = p.bfactor;
    a.access = 1;
    a.ace = -1;
    a.alt = p.alt[0] ? p.alt[0] : ' ';
    a.hetatm = std::strcmp(p.type, "HETATM") == 0 ? 'H' : 'A';
    copyName(a.name, sizeof a.name, p.name);
    copyName(a.ename, sizeof a.ename, p.cname);
    a.model = p.model;
    // Residues and chains are runs of consecutive atoms.
    const bool new_chain = i == 0 || p.model != image->atoms[i - 1].model || p.chain_no != image->atoms[i - 1].chain_no;
    if (new_chain) s.chains.push_back(Chain{p.chain[0] ? p.chain[0] : '_', static_cast<int>(s.residues.size()), 0, 0, 0});
    if (new_chain || p.residue != prev_res) {
      Residue r{};
      copyName(r.name, sizeof r.name, p.resname);
      copyName(r.label, sizeof r.label, p.label[0] ? p.label : p.resnum);
      r.first = r.last = i;
      s.residues.push_back(r);
      s.chains.back().residues++;
    }
    prev_res = p.residue;
    s.residues.back().last = i;
    s.chains.back().atoms++;
    if (!a.hydrogen) s.chains.back().heavy++;
  }
  // Chain ends: +1 on the first residue's N of every chain, -0.5 on O and
  // OXT of a residue holding an OXT.
  for (const Chain& c : s.chains) {
    if (c.residues < 1) continue;
    const Residue& first = s.residues[static_cast<size_t>(c.first_residue)];
    if (zam_isAA(first.name))
      for (int j = first.first; j <= first.last; j++)
        if (!std::strcmp(s.atoms[static_cast<size_t>(j)].name, "N")) s.atoms[static_cast<size_t>(j)].charge += 1.0f;
  }
  for (const Residue& r : s.residues) {
    bool oxt = false;
    for (int j = r.first; j <= r.last; j++) oxt |= !std::strcmp(s.atoms[static_cast<size_t>(j)].name, "OXT");
    if (!oxt) continue;
    for (int j = r.first; j <= r.last; j++) {
      Atom& a = s.atoms[static_cast<size_t>(j)];
      if (!std::strcmp(a.name, "O") || !std::strcmp(a.name, "OXT")) a.charge = -0.5f;
    }
  }
  makeBonds(s);
  slots[slot] = std::move(s);
  return n;
}

void mol_clear(int slot) {
  if (slot >= 0 && slot < ZAM_MOL_SLOTS) slots[slot] = Slot{};
}

void mol_select(int slot) {
  if (slot >= 0 && slot < ZAM_MOL_SLOTS) current = slot;
}

int mol_current() { return current; }
Matrix3D mol_get_transform() { return cur().tf; }
void mol_transform(Matrix3D placement) { cur().tf = placement; }

void mol_structure(int* chains, int* residues, int* atoms, int* other) {
  const Slot& s = cur();
  if (chains) *chains = static_cast<int>(s.chains.size());
  if (residues) *residues = static_cast<int>(s.residues.size());
  if (atoms) *atoms = static_cast<int>(s.atoms.size());
  if (other) *other = s.other;
}

void mol_chain(int c, char* name, int* residues, int* atoms, int* heavy) {
  const Slot& s = cur();
  const bool in = c >= 1 && c <= static_cast<int>(s.chains.size());
  const Chain none{0, 0, 0, 0, 0};
  const Chain& ch = in ? s.chains[static_cast<size_t>(c - 1)] : none;
  if (name) {
    name[0] = ch.letter;
    name[in ? 1 : 0] = '\0';
  }
  if (residues) *residues = ch.residues;
  if (atoms) *atoms = ch.atoms;
  if (heavy) *heavy = ch.heavy;
}

void mol_resnum_info(int c, int r, char* name, char* label, int* first, int* last) {
  const Slot& s = cur();
  const Residue* res = nullptr;
  if (c >= 1 && c <= static_cast<int>(s.chains.size())) {
    const Chain& ch = s.chains[static_cast<size_t>(c - 1)];
    if (r >= 1 && r <= ch.residues) res = &s.residues[static_cast<size_t>(ch.first_residue + r - 1)];
  }
  if (!res) {
    if (name) name[0] = '\0';
    if (first) *first = -1;
    if (last) *last = -1;
    return;
  }
  if (name) std::strcpy(name, res->name);
  if (label) std::strcpy(label, res->label);
  if (first) *first = res->first;
  if (last) *last = res->last;
}

Point3D mol_atom_pt(int i) {
  const Atom* a = atomAt(i);
  return a ? pt_tfpt(cur().tf, a->pt) : pt_zero();
}

Point3D mol_atom_pt(Point3D* p, int i) {
  const Point3D q = mol_atom_pt(i);
  if (p) *p = q;
  return q;
}

Point3D mol_atom_basept(Point3D* p, int i) {
  const Atom* a = atomAt(i);
  const Point3D q = a ? a->pt : pt_zero();
  if (p) *p = q;
  return q;
}

void mol_set_atom_basept(int i, Point3D p) {
  Slot& s = cur();
  if (i >= 0 && i < static_cast<int>(s.atoms.size())) s.atoms[static_cast<size_t>(i)].pt = p;
}

float mol_atom_radius(int i) { const Atom* a = atomAt(i); return a ? a->radius : 0.0f; }
float mol_atom_charge(int i) { const Atom* a = atomAt(i); return a ? a->charge : 0.0f; }
int mol_atom_access(int i) { const Atom* a = atomAt(i); return a ? a->access : 0; }
int mol_atom_ace(int i) { const Atom* a = atomAt(i); return a ? a->ace : -1; }
char mol_atom_altatm(int i) { const Atom* a = atomAt(i); return a ? a->alt : ' '; }
char mol_atom_hetatm(int i) { const Atom* a = atomAt(i); return a ? a->hetatm : ' '; }
const char* mol_atom_name(int i) { const Atom* a = atomAt(i); return a ? a->name : ""; }
const char* mol_atom_ename(int i) { const Atom* a = atomAt(i); return a ? a->ename : ""; }
float mol_atom_occupancy(int i) { const Atom* a = atomAt(i); return a ? a->occupancy : 0.0f; }
float mol_atom_temperature(int i) { const Atom* a = atomAt(i); return a ? a->temperature : 0.0f; }
int mol_is_polar(int i) { const Atom* a = atomAt(i); return a ? a->polar : 0; }
int mol_is_apolar(int i) { return !mol_is_polar(i); }
int mol_is_h(int i) { const Atom* a = atomAt(i); return a ? a->hydrogen : 0; }

int mol_match_atom(const char* name, int first, int last) {
  if (!name || first < 0 || first > last) return -1;
  for (int i = first; i <= last; i++) {
    const Atom* a = atomAt(i);
    if (!a) break;
    if (!std::strcmp(a->name, name)) return i;
  }
  return -1;
}

int mol_atom_atoms(int atom, const int** list) {
  const Slot& s = cur();
  if (!atomAt(atom)) {
    if (list) *list = nullptr;
    return 0;
  }
  const int b = s.bond_start[static_cast<size_t>(atom)], e = s.bond_start[static_cast<size_t>(atom) + 1];
  if (list) *list = s.bonds.data() + b;
  return e - b;
}

int mol_energy_code(int) { return -1; }
float mol_energy_value(int) { return 0.0f; }
Point3D mol_energy_pt(int) { return pt_zero(); }
int mol_num_probes() { return 0; }
const char* mol_probe_name(int) { return ""; }

void mol_set_atom_ace(int i, int type) {
  if (atomAt(i)) cur().atoms[static_cast<size_t>(i)].ace = static_cast<signed char>(type < -1 ? -1 : type);
}
