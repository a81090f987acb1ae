// A docking pair cut from a complex for the docking tests and benchmark:
// one chain of a PDB file (plain or compressed), moved by a transform, as a
// docking molecule; shape-docking settings; and the deviation of a docked
// pose from the chain's native place.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "docking/zam_molecule.h"
#include "matching/zam_dock_spec.h"
#include "runtime/zam_file.h"
#include "structure/zam_pdb.h"

namespace testutil {

// The ATOM lines of one chain of a PDB file, each moved by M.
inline std::string chainText(const std::string& path, char chain, const Matrix3D& M) {
  std::string out;
  _zam_file* in = zam_fopen(path.c_str(), "r");
  char buf[256];
  while (in && zam_freadln(in, sizeof buf, buf) >= 0) {
    const std::string line = buf;
    if (line.rfind("ATOM", 0) != 0 || line.size() < 54 || line[21] != chain) continue;
    const Point3D p = pt_tfpt(M, Point3D{std::stod(line.substr(30, 8)), std::stod(line.substr(38, 8)),
                                         std::stod(line.substr(46, 8))});
    char xyz[32];
    std::snprintf(xyz, sizeof xyz, "%8.3f%8.3f%8.3f", p.x, p.y, p.z);
    out += line.substr(0, 30) + xyz + line.substr(54) + "\n";
  }
  if (in) zam_fclose(in);
  return out + "END\n";
}

// One chain of a PDB file moved by M, as a docking molecule in store slot `slot`.
struct Chain {
  _pdb_image* image = nullptr;
  _molecule mol{};
  Chain(const TempDir& dir, const std::string& path, char chain, int slot, const Matrix3D& M) {
    const std::string file = dir.file(std::string("chain") + chain + std::to_string(slot) + ".pdb");
    write_file(file, chainText(path, chain, M));
    image = zam_readPdb(file.c_str(), nullptr);
    if (image) zam_load_pdb_molecule(&mol, slot, image, (std::string("chain") + chain).c_str());
  }
  ~Chain() {
    zam_free_molecule(&mol);
    zam_freePdb(image);
  }
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;
  // Its C-alpha atoms where they stand.
  std::vector<Point3D> ca() const {
    std::vector<Point3D> p;
    for (int i = 0; i < image->natoms; i++)
      if (!std::strcmp(image->atoms[i].name, "CA")) p.push_back(Point3D{image->atoms[i].x, image->atoms[i].y, image->atoms[i].z});
    return p;
  }
};

// Shape docking at the given order, rotation step and twist step
// (degrees), one pass, separations of 10 to 22 angstroms in steps of 1, 50
// solutions kept.
inline _docking_spec shapeDocking(int order, double step, double twist) {
  _docking_spec spec{};
  zam_setDockSpec(&spec);
  spec.order = order;
  spec.scan_order = 0;
  spec.receptor_step = spec.ligand_step = step;
  spec.twist_step = twist;
  spec.r12_step = 1.0;
  spec.r12_range = 12.0;
  spec.r12_offset = 16.0;
  spec.grid_spacing = 1.0;
  spec.max_solutions = 50;
  zam_dock_derive_samples(&spec);
  return spec;
}

// RMS deviation of the ligand's C-alpha atoms placed by solution s from
// their native places: the ligand about its centre, moved by the pose,
// about the receptor's centre.
inline double poseRms(const _solution& s, const Chain& R, const Chain& L, const std::vector<Point3D>& truth) {
  const std::vector<Point3D> moved = L.ca();
  const Matrix3D T = zam_solution_tf(&s);
  double s2 = 0.0;
  for (size_t i = 0; i < moved.size(); i++)
    s2 += d2_ptpt(v_add(pt_tfpt(T, v_sub(moved[i], L.mol.models[0].centre)), R.mol.models[0].centre), truth[i]);
  return std::sqrt(s2 / moved.size());
}

}  // namespace testutil
