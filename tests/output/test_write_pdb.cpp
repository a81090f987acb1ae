// Superposed target and query PDB files of a real trypsin pair held as
// structure objects: the target equals its input file moved by its ".mat"
// transform, the RMSD of the written files equals the alignment's, and the
// renumbered, masked, CONECT, unified, ligand and sequence-query variants.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_pair.h"
#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "output/trel_run_options.h"
#include "output/trel_write_pdb.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace fs = std::filesystem;

namespace {

std::string trypsin(const char* name) {
  return testutil::shared_pdb(std::string("theseus-examples/trypsins/") + name + ".pdb.gz");
}

// A structure object as the store keeps it: its image in stored coordinates,
// which its tag's frame moves back to those of its input file.
_trel_thing* make_thing(const char* name, Matrix3D frame) {
  _trel_thing* thing = trel_createThing(name, "/nonexistent/");
  thing->image = zam_readPdb(trypsin(name).c_str(), name);
  thing->tag = (_trel_tag*)kget1B_0(sizeof(_trel_tag));
  thing->tag->valid = 1;
  thing->tag->frame = frame;
  if (thing->image) {
    thing->tag->n_residues = thing->image->nres;
    zam_movePdb(thing->image, tf_inverse(frame));
  }
  return thing;
}

_trel_align* align_things(_trel_thing* q, _trel_thing* t) {
  _pdb_image* qi = q->image;
  _pdb_image* ti = t->image;
  _trel_trace* qt = trel_makeTrace();
  _trel_trace* tt = trel_makeTrace();
  trel_loadTrace(qi, pt_zero(), 1, 0, qt);
  trel_loadTrace(ti, pt_zero(), 1, 0, tt);
  _pdb_peptide* qpep = zam_makePdbPep(qi);
  _trel_align_buf** bufs = trel_allocAlignBuf(1, qi->nres, ti->nres);
  _trel_align* a = trel_makeAlignFit(qi->nres, ti->nres, 0, 0, 1, 4, 0, 1, 1, qt->seg, tt->seg,
                                     qpep, ti, tf_identity(), tf_identity(), 12.0f, 7.0f, 3.4f,
                                     bufs[0]);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(qpep);
  trel_freeTrace(qt);
  trel_freeTrace(tt);
  return a;
}

struct Search {
  std::vector<_trel_thing*> things;  // query, then targets
  std::vector<_trel_align*> aligns;
  std::vector<Matrix3D> transforms;
  Search(std::vector<const char*> names) {
    for (size_t k = 0; k < names.size(); k++) {
      const Matrix3D frame =
          k == 0 ? tf_identity()
                 : tf_tftf(tf_rotx(0.3 * k), tf_v(v_make(10.0 * k, -4, 2.5)));
      things.push_back(make_thing(names[k], frame));
    }
    for (size_t k = 1; k < things.size(); k++) {
      aligns.push_back(align_things(things[0], things[k]));
      transforms.push_back(aligns.back() ? aligns.back()->tf : tf_identity());
    }
  }
  ~Search() {
    for (auto* a : aligns) trel_freeAlign(a);
    for (auto* t : things) trel_closeThing(nullptr, t);
  }
  _trel_thing* const* targets() const { return things.data() + 1; }
};

struct Atom {
  std::string head;  // columns 1-30
  double x, y, z;
};

std::vector<Atom> atoms(const std::string& file) {
  std::vector<Atom> out;
  std::istringstream in(testutil::read_file(file));
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("ATOM", 0) != 0) continue;
    out.push_back({l.substr(0, 30), std::stod(l.substr(30, 8)), std::stod(l.substr(38, 8)),
                   std::stod(l.substr(46, 8))});
  }
  return out;
}

std::vector<std::string> lines_starting(const std::string& file, const std::string& key) {
  std::vector<std::string> out;
  for (const std::string& l : testutil::split_lines(testutil::read_file(file)))
    if (l.rfind(key, 0) == 0) out.push_back(l);
  return out;
}

Matrix3D read_mat(const std::string& file) {
  std::istringstream in(testutil::read_file(file));
  Matrix3D M = tf_identity();
  for (int k = 0; k < 12; k++) in >> M.m[k];
  return M;
}

std::string& g_messages = testutil::Messages::said();  // log_capture.h

}  // namespace

TEST(WritePdb, TargetIsInputMovedByMatrixAndRmsdAgrees) {
  Search s({"1A0J_A", "1AMH_A"});
  ASSERT_NE(s.aligns[0], nullptr);
  testutil::TempDir dir;
  _trel_options o;
  const std::string folder = dir.str() + "/";
  const Matrix3D qframe = tf_tftf(tf_roty(-0.7), tf_v(v_make(-5, 12, 1)));
  const int order[1] = {0}, selected[1] = {1};
  trel_writeQueryPDB(s.things[0], "", folder.c_str(), qframe, &o);
  trel_writeTargetPDBs(s.things[0], 1, s.targets(), s.aligns.data(), s.transforms.data(), order,
                       selected, "", folder.c_str(), qframe, &o);
  const std::string target = folder + "1AMH_A_1A0J_A.pdb";
  ASSERT_TRUE(fs::exists(target));
  ASSERT_TRUE(fs::exists(folder + "1AMH_A_1A0J_A.mat"));
  ASSERT_TRUE(fs::exists(folder + "1A0J_A_query.pdb"));
  const auto remarks = lines_starting(target, "REMARK");
  ASSERT_EQ(remarks.size(), 3u);
  EXPECT_EQ(remarks[0].rfind("REMARK  File written by ", 0), 0u);
  EXPECT_EQ(remarks[1], "REMARK  Query:      1A0J_A");
  EXPECT_EQ(remarks[2], "REMARK  Target:     1AMH_A");

  // The written target is the input file moved by the ".mat" transform.
  const Matrix3D M = read_mat(folder + "1AMH_A_1A0J_A.mat");
  const auto out = atoms(target);
  _pdb_image* input = zam_readPdb(trypsin("1AMH_A").c_str(), "input");
  ASSERT_NE(input, nullptr);
  ASSERT_EQ((int)out.size(), input->natoms);
  double worst = 0;
  for (int i = 0; i < input->natoms; i++) {
    const _pdb_atom& a = input->atoms[i];
    const Point3D p = pt_tfpt(M, pt_make(a.x, a.y, a.z));
    worst = std::max(worst, std::sqrt(d2_ptpt(p, pt_make(out[i].x, out[i].y, out[i].z))));
  }
  EXPECT_LT(worst, 2e-3);
  zam_freePdb(input);

  // RMSD over the aligned pairs between the written target and query.
  _pdb_image* wq = zam_readPdb((folder + "1A0J_A_query.pdb").c_str(), "wq");
  _pdb_image* wt = zam_readPdb(target.c_str(), "wt");
  ASSERT_NE(wq, nullptr);
  ASSERT_NE(wt, nullptr);
  const _trel_align* a = s.aligns[0];
  double sum = 0;
  int n = 0;
  for (int c = 0; c < a->ncolumns; c++) {
    const int qr = a->columns[c].qres, tr = a->columns[c].tres;
    if (qr < 0 || tr < 0) continue;
    sum += d2_ptpt(zam_ptPdbResidue(wq, qr), zam_ptPdbResidue(wt, tr));
    n++;
  }
  ASSERT_EQ(n, a->naligned);
  EXPECT_NEAR(std::sqrt(sum / n), a->rmsd_aligned, 0.01);
  zam_freePdb(wq);
  zam_freePdb(wt);
}

TEST(WritePdb, RenumberMaskConectUnifiedAndSkips) {
  Search s({"1A0J_A", "1AMH_A", "1A0L_A", "1AZZ_A"});
  for (auto* a : s.aligns) ASSERT_NE(a, nullptr);
  testutil::TempDir dir;
  _trel_options o;
  o.do_renumber = 1;
  o.residue_mask = 1;
  o.write_conect = 1;
  o.with_unified = 1;
  const std::string folder = dir.str() + "/";
  // Rank order 1AZZ_A (best), 1A0L_A, 1AMH_A; the middle one has no alignment.
  std::vector<_trel_align*> aligns = s.aligns;
  aligns[1] = nullptr;
  const int order[3] = {0, 1, 2}, selected[3] = {1, 1, 1};
  trel_writeTargetPDBs(s.things[0], 3, s.targets(), aligns.data(), s.transforms.data(), order,
                       selected, "_flex", folder.c_str(), tf_identity(), &o);
  EXPECT_FALSE(fs::exists(folder + "1A0L_A_1A0J_A_flex.pdb"));
  EXPECT_TRUE(fs::exists(folder + "1AZZ_A_1A0J_A_flex.pdb"));
  for (const auto& e : fs::directory_iterator(folder))
    EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();

  // Renumbered: consecutive from the query partner of the first aligned pair.
  const _trel_align* a = s.aligns[0];
  _pdb_image* qimage = s.things[0]->image;
  _pdb_image* timage = s.things[1]->image;
  int q0 = -1, t0 = -1;
  for (int c = 0; c < a->ncolumns && q0 < 0; c++)
    if (a->columns[c].qres >= 0 && a->columns[c].tres >= 0) {
      q0 = a->columns[c].qres;
      t0 = a->columns[c].tres;
    }
  const int base = std::atoi(qimage->residues[q0].resnum);
  _pdb_image* ren = zam_readPdb((folder + "1AMH_A_1A0J_A_renumber_flex.pdb").c_str(), "ren");
  ASSERT_NE(ren, nullptr);
  ASSERT_EQ(ren->nres, timage->nres);
  int with_icode = 0;
  for (int r = 0; r < ren->nres; r++) {
    EXPECT_EQ(std::atoi(ren->residues[r].resnum), r + base - t0) << r;
    const std::string old = timage->residues[r].resnum;
    if (!old.empty() && !isdigit((unsigned char)old.back())) {
      with_icode++;
      EXPECT_EQ(std::string(ren->residues[r].resnum).back(), old.back());
    }
  }
  EXPECT_GT(with_icode, 0);  // trypsins carry chymotrypsin numbering
  zam_freePdb(ren);

  // Masked target and query hold only aligned residues.
  _pdb_image* mt = zam_readPdb((folder + "1AMH_A_1A0J_A_flex_mask.pdb").c_str(), "mt");
  ASSERT_NE(mt, nullptr);
  EXPECT_EQ(mt->nres, a->naligned);
  zam_freePdb(mt);
  EXPECT_TRUE(fs::exists(folder + "1A0J_A_query_flex_mask.pdb"));
  for (int i = 0; i < qimage->nres; i++) ASSERT_EQ(qimage->residues[i].masked, 0);
  for (int i = 0; i < timage->nres; i++) ASSERT_EQ(timage->residues[i].masked, 0);

  // CONECT: one line per aligned pair, joining a query CA to a target CA.
  const std::string conect = folder + "1AMH_A_1A0J_A_conect_flex.pdb";
  const auto lines = lines_starting(conect, "CONECT");
  EXPECT_EQ((int)lines.size(), a->naligned);
  std::vector<std::string> atom_lines = lines_starting(conect, "ATOM");
  auto name_of = [&](int serial) {
    for (const auto& l : atom_lines)
      if (std::stoi(l.substr(6, 5)) == serial) return l.substr(12, 4);
    return std::string("none");
  };
  for (size_t k = 0; k < lines.size(); k += 37) {
    const int sq = std::stoi(lines[k].substr(6, 5)), st = std::stoi(lines[k].substr(11, 5));
    EXPECT_EQ(name_of(sq), " CA ");
    EXPECT_EQ(name_of(st), " CA ");
    EXPECT_LT(sq, st);
  }

  // Unified: models 1 and 3 (the unaligned middle target leaves a gap).
  const std::string unified = folder + "1A0J_A_flex_unified.pdb";
  EXPECT_EQ(lines_starting(unified, "MODEL"),
            (std::vector<std::string>{"MODEL        1", "MODEL        3"}));
  EXPECT_EQ(lines_starting(unified, "REMARK  Target:"),
            (std::vector<std::string>{"REMARK  Target:     1AZZ_A", "REMARK  Target:     1AMH_A"}));
  EXPECT_EQ(lines_starting(unified, "ENDMDL").size(), 2u);
  const auto ua = lines_starting(unified, "ATOM");
  EXPECT_EQ(std::stoi(ua.back().substr(6, 5)),
            (int)ua.size() + 1);  // serials run on over both models and the first TER line

  // No targets: the unified file holds only its header lines.
  testutil::TempDir empty;
  trel_writeTargetPDBs(s.things[0], 0, s.targets(), aligns.data(), s.transforms.data(), order,
                       selected, "", (empty.str() + "/").c_str(), tf_identity(), &o);
  const auto only = lines_starting(empty.file("1A0J_A_unified.pdb"), "");
  ASSERT_EQ(only.size(), 2u);
  EXPECT_EQ(only[1], "REMARK  Query:      1A0J_A");
}

TEST(WritePdb, MatrixOnlyLigandAndSequenceQuery) {
  Search s({"1A0J_A", "1AMH_A", "1A0L_A"});
  ASSERT_NE(s.aligns[0], nullptr);
  testutil::TempDir dir;
  const std::string folder = dir.str() + "/";
  const int order[1] = {0}, selected[1] = {1};
  // Matrix files only.
  _trel_options o;
  o.write_pdb = 0;
  trel_writeTargetPDBs(s.things[0], 1, s.targets(), s.aligns.data(), s.transforms.data(), order,
                       selected, "", folder.c_str(), tf_identity(), &o);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  EXPECT_EQ(names, (std::vector<std::string>{"1AMH_A_1A0J_A.mat"}));

  // Ligand mode with one target: the ligand (the next object) is written,
  // carried from its input frame into the target's written frame.
  o.write_pdb = 1;
  o.do_ligand = 1;
  o.write_conect = 1;
  o.with_unified = 1;
  testutil::TempDir lig;
  trel_writeTargetPDBs(s.things[0], 1, s.targets(), s.aligns.data(), s.transforms.data(), order,
                       selected, "", (lig.str() + "/").c_str(), tf_identity(), &o);
  EXPECT_TRUE(fs::exists(lig.file("1A0L_A_ligand.pdb")));
  EXPECT_FALSE(fs::exists(lig.file("1AMH_A_1A0J_A_conect.pdb")));
  EXPECT_FALSE(fs::exists(lig.file("1A0J_A_unified.pdb")));
  const auto la = atoms(lig.file("1A0L_A_ligand.pdb"));
  _pdb_image* input = zam_readPdb(trypsin("1A0L_A").c_str(), "in");
  ASSERT_NE(input, nullptr);
  ASSERT_EQ((int)la.size(), input->natoms);
  const Matrix3D M = tf3(tf_inverse(s.things[1]->tag->frame), s.transforms[0], tf_identity());
  const Point3D p = pt_tfpt(M, pt_make(input->atoms[0].x, input->atoms[0].y, input->atoms[0].z));
  EXPECT_LT(std::sqrt(d2_ptpt(p, pt_make(la[0].x, la[0].y, la[0].z))), 2e-3);
  zam_freePdb(input);

  // A query built from a sequence: targets in their input coordinates and
  // identity matrices.
  s.things[0]->image->fake = 1;
  testutil::TempDir seq;
  _trel_options f;
  trel_writeTargetPDBs(s.things[0], 1, s.targets(), s.aligns.data(), s.transforms.data(), order,
                       selected, "", (seq.str() + "/").c_str(), tf_identity(), &f);
  EXPECT_EQ(testutil::read_file(seq.file("1AMH_A_1A0J_A.mat")),
            " 1.000000 0.000000 0.000000 0.000000\n 0.000000 1.000000 0.000000 0.000000\n"
            " 0.000000 0.000000 1.000000 0.000000\n 0.000000 0.000000 0.000000 1.000000\n");
  const auto ta = atoms(seq.file("1AMH_A_1A0J_A.pdb"));
  _pdb_image* tin = zam_readPdb(trypsin("1AMH_A").c_str(), "in");
  ASSERT_NE(tin, nullptr);
  EXPECT_NEAR(ta[5].x, tin->atoms[5].x, 2e-3);
  EXPECT_NEAR(ta[5].z, tin->atoms[5].z, 2e-3);
  zam_freePdb(tin);
  s.things[0]->image->fake = 0;
}

TEST(WritePdb, UnwritableFolderWarns) {
  Search s({"1A0J_A", "1AMH_A"});
  ASSERT_NE(s.aligns[0], nullptr);
  testutil::TempDir dir;
  const std::string blocked = dir.file("results");
  testutil::write_file(blocked, "x");
  _trel_options o;
  o.write_conect = 1;
  o.with_unified = 1;
  o.do_renumber = 1;
  const int order[1] = {0}, selected[1] = {1};
  auto heard = std::make_unique<testutil::Messages>();
  trel_writeQueryPDB(s.things[0], "", (blocked + "/").c_str(), tf_identity(), &o);
  trel_writeTargetPDBs(s.things[0], 1, s.targets(), s.aligns.data(), s.transforms.data(), order,
                       selected, "", (blocked + "/").c_str(), tf_identity(), &o);
  heard.reset();
  for (const char* name : {"1A0J_A_query.pdb", "1AMH_A_1A0J_A.pdb", "1AMH_A_1A0J_A.mat",
                           "1AMH_A_1A0J_A_conect.pdb", "1A0J_A_unified.pdb"})
    EXPECT_NE(g_messages.find(std::string("*Warning* Cannot write ") +
                              (std::string(name).find(".mat") != std::string::npos ? "matrix" : "PDB") +
                              " file: " + blocked + "/" + name),
              std::string::npos)
        << name << "\n" << g_messages;
  EXPECT_EQ(testutil::read_file(blocked), "x");
}
