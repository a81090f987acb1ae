// Coefficient set-up of a docking pair on small real structures: the grid
// sizes, which coefficient sets each score type makes, that a second call
// makes nothing, the layouts (one grid shared by a single pair, starting
// orientations computed per receptor model and copied from the ligand's
// first), the refusal of knowledge-based types without channels, and that
// arrays made for one score type are not read as another's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_capture.h"
#include "docking/zam_dars.h"
#include "docking/zam_coeff_sets.h"
#include "docking/zam_docker.h"
#include "docking/zam_model_coeffs.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "harmonics/zam_anlm.h"
#include "matching/zam_dock_spec.h"
#include "matching/zam_sixd.h"
#include "structure/zam_dars_data.h"
#include "structure/zam_pdb.h"
#include "surfaces/zam_dock_coeffs.h"

namespace {

const std::string kData = std::string(TREL_SHARED_DATA) + "/pdb/";

struct Pair {
  _pdb_image* a = nullptr;
  _pdb_image* b = nullptr;
  _molecule receptor{}, ligand{};
  Pair(const std::string& ra, const std::string& lb, bool models = false) {
    zam_setPdbOneModel(models ? 0 : 1);
    a = zam_readPdb((ra[0] == '/' ? ra : kData + ra).c_str(), nullptr);
    b = zam_readPdb((lb[0] == '/' ? lb : kData + lb).c_str(), nullptr);
    zam_setPdbOneModel(1);
    if (a) zam_load_pdb_molecule(&receptor, 0, a, "rec");
    if (b) zam_load_pdb_molecule(&ligand, 1, b, "lig");
  }
  ~Pair() {
    zam_free_molecule(&receptor);
    zam_free_molecule(&ligand);
    zam_freePdb(a);
    zam_freePdb(b);
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;
};

_docking_spec specFor(int type) {
  _docking_spec spec{};
  zam_setDockSpec(&spec);
  spec.score_type = type;
  spec.order = 6;
  spec.grid_spacing = 1.0;
  return spec;
}

// The first residues of 1yjp (a small peptide, cheap to sample) as a file in dir.
std::string peptide(const testutil::TempDir& dir, int residues) {
  std::string out;
  for (const std::string& line : testutil::split_lines(testutil::read_file(kData + "python3-cctbx/1yjp.pdb")))
    if (line.rfind("ATOM", 0) == 0 && std::stoi(line.substr(22, 4)) <= residues) out += line + "\n";
  const std::string path = dir.file("peptide" + std::to_string(residues) + ".pdb");
  testutil::write_file(path, out + "END\n");
  return path;
}

TEST(Coeffs, PaddedAndTightGrids) {
  int n;
  Point3D o;
  zam_dock_grid(20.0, 3.0, 0.6, true, &n, &o);
  EXPECT_EQ(n, 78);
  EXPECT_NEAR(o.x, -23.1, 1e-12);
  EXPECT_NEAR(o.x + 0.5 * 0.6, -22.8, 1e-12);
  EXPECT_NEAR(o.z + (n - 0.5) * 0.6, 23.4, 1e-12);
  zam_dock_grid(20.0, 3.0, 0.6, false, &n, &o);
  EXPECT_EQ(n, 67);
  EXPECT_NEAR(o.y, -20.1, 1e-12);
  EXPECT_NEAR(o.y + 0.5 * 0.6, -19.8, 1e-12);
  EXPECT_NEAR(o.y + (n - 0.5) * 0.6, 19.8, 1e-12);
  // An even count made odd; a padded count made even before its two outer cells.
  zam_dock_grid(1.5, 0.0, 1.0, false, &n, &o);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(o.x, -2.5);
  zam_dock_grid(2.0, 0.4, 1.0, true, &n, &o);
  EXPECT_EQ(n, 6);
  EXPECT_EQ(o.x, -2.5);
}

TEST(Coeffs, WhatEachScoreTypeMakesAndNothingTwice) {
  testutil::TempDir dir;
  const std::string receptor = peptide(dir, 3), ligand = peptide(dir, 2);
  for (int t = 0; t <= 9; t++) {
    SCOPED_TRACE("score type " + std::to_string(t));
    Pair p(receptor, ligand);
    ASSERT_TRUE(p.receptor.loaded && p.ligand.loaded);
    _docking_spec spec = specFor(t);
    spec.kb_channels = 4;
    std::string said;
    {
      testutil::Capture c;
      EXPECT_EQ(zam_coeffs(&spec, &p.receptor, &p.ligand), 1);
      said = c.text;
    }
    const bool dars = t == 2 || t == 3, electro = t == 1 || t == 3, grid = t == 5 || t == 6, kb = t == 7 || t == 8;
    for (_molecule* m : {&p.receptor, &p.ligand}) {
      const _molecule_model& e = m->models[0];
      EXPECT_EQ(e.skin != nullptr, t != 7);
      EXPECT_EQ(e.shape != nullptr, t != 7);
      EXPECT_EQ(e.energies != nullptr, dars || grid);
      EXPECT_EQ(e.densities != nullptr, dars || grid);
      EXPECT_EQ(e.potential != nullptr, electro);
      EXPECT_EQ(e.charge != nullptr, electro);
      EXPECT_EQ(e.kb != nullptr, kb);
      EXPECT_EQ(m->gto_order[0], 6);
      EXPECT_EQ(m->eto_order, 6);
    }
    if (t != 7) {
      // A single pair shares one grid: one integration fills both.
      EXPECT_TRUE(p.receptor.models[0].skin[0] != 0.0 && p.ligand.models[0].shape[0] != 0.0);
      size_t passes = 0;
      for (size_t at = 0; (at = said.find("Calculating potential to N = 6", at)) != std::string::npos; at++) passes++;
      EXPECT_EQ(passes, 1u) << said;
      const double* skin = p.ligand.models[0].skin;
      EXPECT_NE(skin[0], 0.0);
      EXPECT_NE(p.receptor.models[0].shape[0], 0.0);
    }
    if (dars) {
      // DARS potentials went into the grid energies (6 blocks) through bit 4 and 5 cells.
      EXPECT_TRUE(said.find("Sampling 6 DARS potentials for molecule rec.") != std::string::npos) << said;
    }
    if (kb) {
      // Both sides' models by their own numbers: three blocks each (channels less one).
      size_t blocks = 0;
      for (size_t at = 0; (at = said.find("Calculating coefficients for N = 6", at)) != std::string::npos; at++) blocks++;
      EXPECT_EQ(blocks, 6u) << said;
    }

    // Everything is there: a second call makes nothing and keeps every array.
    const _molecule_model before = p.ligand.models[0];
    {
      testutil::Capture c;
      zam_coeffs(&spec, &p.receptor, &p.ligand);
      EXPECT_EQ(c.text, "") << c.text;
    }
    const _molecule_model& after = p.ligand.models[0];
    EXPECT_EQ(after.skin, before.skin);
    EXPECT_EQ(after.energies, before.energies);
    EXPECT_EQ(after.potential, before.potential);
    EXPECT_EQ(after.kb, before.kb);
  }
}

// The correlation input of a pair set up for type `then` after `first` (or
// alone), as four arrays one after the other.
struct Setting {
  int type, order, channels;
};
std::vector<double> dockInput(const std::string& receptor, const std::string& ligand, const Setting* first,
                              const Setting& then) {
  Pair p(receptor, ligand);
  for (const _molecule* m : {&p.receptor, &p.ligand}) {  // DARS types for the atoms
    mol_select(m->slot);
    for (int i = m->models[0].first_atom; i <= m->models[0].last_atom; i++) mol_set_atom_ace(i, i % 4);
  }
  std::vector<double> out;
  testutil::Capture quiet;
  for (const Setting* s : {first, &then}) {
    if (!s) continue;
    _docking_spec spec = specFor(s->type);
    spec.order = s->order;
    spec.kb_channels = s->channels;
    zam_coeffs(&spec, &p.receptor, &p.ligand);
    if (s != &then) continue;
    _docking_data* d = zam_setDockData(&spec, &p.receptor, &p.ligand, 0, 0, 0);
    const size_t size = static_cast<size_t>(d->n_terms) * anlm_size(s->order);
    for (const double* a : {d->receptor_first, d->receptor_second, d->ligand_first, d->ligand_second})
      out.insert(out.end(), a, a + size);
    zam_freeDockData(d);
  }
  return out;
}

TEST(Coeffs, ArraysOfOneScoreTypeAreNotReadAsAnothers) {
  // The grid pair holds 3 GRID blocks after types 5 and 6 and 6 DARS blocks
  // after 2 and 3; the knowledge-based array channels - 1 blocks; each at
  // the order asked. A later type, channel count or lower order makes its own
  // (reading the old ones ran past their end or took other blocks), so the
  // input is that of a pair set up for it alone.
  testutil::TempDir dir;
  const std::string receptor = peptide(dir, 3), ligand = peptide(dir, 2);
  {
    testutil::Capture quiet;
    ASSERT_TRUE(zam_open_dars_data((std::string(TREL_SOURCE_DIR) + "/data/dars_capri.dat").c_str()));
  }
  const Setting cases[][2] = {{{5, 6, 4}, {2, 6, 4}}, {{6, 6, 4}, {3, 6, 4}}, {{2, 6, 4}, {5, 6, 4}},
                              {{2, 6, 4}, {2, 4, 4}}, {{7, 6, 4}, {7, 6, 5}}};
  for (const auto& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c[0].type) + " then " + std::to_string(c[1].type));
    const std::vector<double> alone = dockInput(receptor, ligand, nullptr, c[1]);
    const std::vector<double> after = dockInput(receptor, ligand, &c[0], c[1]);
    ASSERT_EQ(after.size(), alone.size());
    size_t differ = 0;
    for (size_t k = 0; k < alone.size(); k++) differ += after[k] != alone[k];
    EXPECT_EQ(differ, 0u);
  }
  zam_close_dars_data();
}

TEST(Coeffs, GridsPastAnIntCountAreRefusedUnmade) {
  // At 0.005 angstroms a cell the shared grid of 1yjp would have thousands
  // of cells a side: refused before it is allocated, nothing made. The DARS
  // sampling refuses 1291 cells a side (given no grid) as well.
  Pair p("python3-cctbx/1yjp.pdb", "python3-cctbx/1yjp.pdb");
  _docking_spec spec = specFor(2);
  spec.grid_spacing = 0.005;
  testutil::Capture said;
  EXPECT_EQ(zam_coeffs(&spec, &p.receptor, &p.ligand), 0);
  EXPECT_TRUE(said.has("zam_coeffs: grid of ")) << said.text;
  EXPECT_TRUE(said.has("cells is too large")) << said.text;
  EXPECT_EQ(p.receptor.models[0].skin, nullptr);
  EXPECT_EQ(p.ligand.models[0].energies, nullptr);
  EXPECT_EQ(zam_dars_psi(&p.receptor, 0, 6, 6, 1291, 0.2, Point3D{}, 16, nullptr, nullptr), 0);
  EXPECT_TRUE(said.has("zam_dars_psi: grid of 1291x1291x1291")) << said.text;
  // The integration of a model's skins says the same grid is refused, with
  // the model's arrays untouched.
  zam_skin_alloc(&p.receptor, 0, 6);
  double* skin = p.receptor.models[0].skin;
  ASSERT_NE(skin, nullptr);
  skin[0] = 7.0;
  EXPECT_EQ(zam_model_integrate(&p.receptor, 0, nullptr, 0, 6, 0, 1291, 0.2, Point3D{}, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(said.has("zam_grid_integrate: grid of 1291x1291x1291")) << said.text;
  EXPECT_EQ(skin[0], 7.0);
}

TEST(Coeffs, KnowledgeBasedTypesNeedThreeChannels) {
  Pair p("python3-cctbx/1yjp.pdb", "python3-cctbx/1yjp.pdb");
  for (int t : {7, 8}) {
    _docking_spec spec = specFor(t);
    spec.kb_channels = 2;
    testutil::Capture said;
    EXPECT_EQ(zam_coeffs(&spec, &p.receptor, &p.ligand), 0);
    EXPECT_TRUE(said.has("needs at least three channels")) << said.text;
    EXPECT_EQ(p.receptor.models[0].skin, nullptr);
    EXPECT_EQ(p.receptor.gto_order[0], -1);
  }
}

TEST(Coeffs, StartingOrientationsAndProbeWarnings) {
  Pair p("emboss-test/1tos.pdb", "emboss-test/1tos.pdb", true);
  ASSERT_EQ(p.receptor.n_models, 3);
  p.receptor.model_kind = p.ligand.model_kind = 2;
  p.receptor.apolar_probe = 1.75;  // at the edge: no warning
  p.receptor.polar_probe = 1.5;
  p.ligand.apolar_probe = 0.9;
  p.ligand.polar_probe = 1.6;
  _docking_spec spec = specFor(1);
  std::string said;
  {
    testutil::Capture c;
    zam_coeffs(&spec, &p.receptor, &p.ligand);
    said = c.text;
  }
  EXPECT_EQ(said.find("receptor apolar probe"), std::string::npos);
  EXPECT_EQ(said.find("receptor polar probe"), std::string::npos);
  EXPECT_NE(said.find("The ligand apolar probe radius (0.90) is outside the recommended range for docking."),
            std::string::npos);
  EXPECT_NE(said.find("The ligand polar probe radius (1.60) is outside the recommended range for docking."),
            std::string::npos);
  const int Nc = anlm_size(6);
  for (int m = 1; m <= 3; m++) {
    ASSERT_NE(p.receptor.models[m].skin, nullptr) << m;
    ASSERT_NE(p.receptor.models[m].potential, nullptr) << m;
    ASSERT_NE(p.ligand.models[m].skin, nullptr) << m;
    ASSERT_NE(p.ligand.models[m].potential, nullptr) << m;
    for (int k = 0; k < Nc; k++) {
      EXPECT_EQ(p.ligand.models[m].skin[k], p.ligand.models[1].skin[k]);
      EXPECT_EQ(p.ligand.models[m].potential[k], p.ligand.models[1].potential[k]);
    }
  }
  // The receptor's models are computed each on its own, so they differ.
  EXPECT_NE(p.receptor.models[2].skin[1], p.receptor.models[1].skin[1]);
  // The copies of the ligand's first model are made again on a second call; nothing else.
  {
    testutil::Capture c;
    zam_coeffs(&spec, &p.receptor, &p.ligand);
    EXPECT_EQ(c.text,
              "*Warning* The ligand apolar probe radius (0.90) is outside the recommended range for docking.\n"
              "*Warning* The ligand polar probe radius (1.60) is outside the recommended range for docking.\n"
              "Copying skin density coefficients from lig-[1:1] to lig-[2:2].\n"
              "Copying skin density coefficients from lig-[1:1] to lig-[3:3].\n");
  }
}

TEST(Coeffs, ModelByModelGrids) {
  // Several models that are not starting orientations, one receptor model
  // selected: the receptor's on a tight grid (odd), each ligand model on a
  // padded one (even).
  Pair p("emboss-test/1tos.pdb", "emboss-test/1tos.pdb", true);
  p.receptor.selected_model = 2;
  _docking_spec spec = specFor(0);
  std::vector<int> sizes;
  {
    testutil::Capture c;
    zam_coeffs(&spec, &p.receptor, &p.ligand);
    for (const std::string& line : testutil::split_lines(c.text))
      if (line.rfind("Grid: ", 0) == 0) sizes.push_back(std::stoi(line.substr(6)));
  }
  ASSERT_EQ(sizes.size(), 4u);
  EXPECT_EQ(sizes[0] % 2, 1);
  for (int i = 1; i < 4; i++) EXPECT_EQ(sizes[i] % 2, 0) << i;
  EXPECT_EQ(p.receptor.models[1].skin, nullptr);
  EXPECT_NE(p.receptor.models[2].skin, nullptr);
  EXPECT_EQ(p.receptor.models[3].skin, nullptr);
  for (int m = 1; m <= 3; m++) EXPECT_NE(p.ligand.models[m].skin, nullptr);
}

}  // namespace
