#include "output/trel_write_pdb.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_markup.h"
#include "output/trel_print.h"
#include "output/trel_run_options.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_version.h"
#include "runtime/zam_whole.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

const char* text(const char* s) { return s ? s : ""; }

// Every PDB file here: all chains, chain letters kept, the run's atom
// selection and SSE records, a TER line.
int write_image(_trel_pdb_out* out, const _pdb_image* image, int serial, Matrix3D T,
                const _trel_options* o) {
  return zam_writePdbFile(out->fp, image, -1, 0, o->export_mode, o->sse_mode, 1, serial, T);
}

void remarks(_trel_pdb_out* out, const char* query, const char* target) {
  zam_fprintf(out->fp, "REMARK  Query:      %s\n", query);
  zam_fprintf(out->fp, "REMARK  Target:     %s\n", target);
}

Matrix3D frame_of(const _trel_thing* thing) {
  return thing && thing->tag ? thing->tag->frame : tf_identity();
}

// Copies text into a fixed field, cut to fit.
void copy_text(char* field, size_t size, const std::string& text) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), n);
  field[n] = 0;
}

// Insertion code of a residue label: its last character when not a digit.
char insertion_code(const char* label) {
  const size_t n = std::strlen(label);
  return n && !std::isdigit((unsigned char)label[n - 1]) ? label[n - 1] : 0;
}

// A copy of the target numbered consecutively so that its first aligned
// residue takes the number of its query partner. Without any aligned pair the
// numbers stay as they are.
_pdb_image* renumbered(const _pdb_image* qimage, const _pdb_image* timage,
                       const _trel_align* a) {
  _pdb_image* copy = zam_copyPdb(timage);
  int q0 = -1, t0 = -1;
  for (int c = 0; c < a->ncolumns; c++) {
    if (a->columns[c].qres >= 0 && a->columns[c].tres >= 0) {
      q0 = a->columns[c].qres;
      t0 = a->columns[c].tres;
      break;
    }
  }
  if (!copy || q0 < 0 || q0 >= qimage->nres) return copy;
  std::string label = qimage->residues[q0].resnum;
  if (insertion_code(label.c_str())) label.pop_back();
  const int base = std::atoi(label.c_str());
  for (int r = 0; r < copy->nres; r++) {
    _pdb_residue& res = copy->residues[r];
    const char icode = insertion_code(res.resnum);
    std::string number = std::to_string(r + base - t0);
    for (int k = res.first; k >= 0 && k <= res.last && k < copy->natoms; k++)
      copy_text(copy->atoms[k].resnum, sizeof copy->atoms[k].resnum, number);
    if (icode) number += icode;
    copy_text(res.resnum, sizeof res.resnum, number);
  }
  return copy;
}

void write_matrix(const std::string& name, Matrix3D M) {
  if (zam_debug >= 0) zam_msg("Writing TARGET matrix file: %s\n", name.c_str());
  _zam_whole* whole = trel_openWhole(name);
  if (!whole) {
    if (errno != EEXIST) zam_wrn("Cannot write matrix file: %s\n", name.c_str());
    return;
  }
  _zam_file* f = whole->fp;
  for (int i = 0; i < 3; i++) {
    for (int j = 0; j < 4; j++) zam_fprintf(f, " %f", M.m[4 * i + j]);
    zam_fprintf(f, "\n");
  }
  zam_fprintf(f, " %f %f %f %f\n", 0.0, 0.0, 0.0, 1.0);
  if (!trel_closeWhole(whole, true)) zam_wrn("Cannot write matrix file: %s\n", name.c_str());
}

int count_alphas(const _pdb_image* image) {
  int n = 0;
  for (int i = 0; i < image->natoms; i++) n += std::strcmp(image->atoms[i].name, "CA") == 0;
  return n;
}

// Query and target in one file with a CONECT record joining the CA atoms of
// every aligned pair.
void write_conect(const std::string& name, const _trel_thing* query, const _pdb_image* qimage,
                  const _trel_thing* target, const _pdb_image* timage, const _trel_align* a,
                  Matrix3D transform, Matrix3D T2, const _trel_options* o) {
  if (zam_debug >= 0) zam_msg("Writing CONECT pdb file: %s\n", name.c_str());
  _trel_pdb_out* out = trel_openPdbOut(name.c_str());
  if (!out) return;
  // Sized by the CA atoms, which may outnumber the residues.
  std::vector<int> qnos((size_t)count_alphas(qimage) + 1), tnos((size_t)count_alphas(timage) + 1);
  zam_fprintf(out->fp, "REMARK  Query:      %s\n", text(query->name));
  const int nq = zam_getPdbAlphaNos(qimage, -1, o->export_mode, 0, qnos.data());
  const int last = write_image(out, qimage, 0, transform, o);
  zam_fprintf(out->fp, "REMARK  Target:     %s\n", text(target->name));
  const int nt = zam_getPdbAlphaNos(timage, -1, o->export_mode, last, tnos.data());
  if (zam_debug >= 0) zam_msg("Writing TARGET pdb file: %s\n", out->path);
  write_image(out, timage, last, T2, o);
  for (int c = 0; c < a->ncolumns; c++) {
    const int qr = a->columns[c].qres, tr = a->columns[c].tres;
    if (qr < 0 || qr >= nq || tr < 0 || tr >= nt) continue;
    zam_fprintf(out->fp, "CONECT%5d%5d\n", qnos[(size_t)qr], tnos[(size_t)tr]);
  }
  trel_closePdbOut(out);
}

// name (with its folder): image (the query's or a masked view of it) moved
// by transform; shared for the masked query, which every hit writes again.
void write_query(const std::string& name, const _pdb_image* image, Matrix3D transform, const _trel_options* o,
                 bool shared) {
  if (zam_debug >= 0) zam_msg("Writing QUERY pdb file:  %s\n", name.c_str());
  _trel_pdb_out* out = shared ? trel_openSharedPdbOut(name.c_str()) : trel_openPdbOut(name.c_str());
  if (!out) return;
  write_image(out, image, 0, transform, o);
  trel_closePdbOut(out);
}

}  // namespace

std::string trel_queryPdbName(const char* query, const char* suffix) {
  return zam_fileName({text(query)}, "_query" + std::string(text(suffix)) + ".pdb");
}

_trel_pair_names trel_hitPairNames(const char* query, const char* target, const char* suffix) {
  _trel_pair_names names = trel_pairNames(query, target, "_query", suffix);
  // Every hit of the query shares its one query file; the masked query is
  // written per suffix.
  names.query_mask_out = trel_queryPdbName(query, (std::string(text(suffix)) + "_mask").c_str());
  return names;
}

_trel_pdb_out* trel_openPdbOut(const char* path) {
  const std::string final_name = zam_filenameS(text(path), "pdb");
  // Plain text, put in place when complete. Opened here rather than by
  // zam_openPdbFile, whose own error would name the temporary file and
  // report the failure a second time.
  _zam_whole* whole = trel_openWhole(final_name);
  if (!whole) {
    if (errno != EEXIST) zam_wrn("Cannot write PDB file: %s\n", final_name.c_str());
    return nullptr;
  }
  _zam_file* fp = whole->fp;
  if (zam_debug > 1) zam_msg("Writing PDB: %s\n", final_name.c_str());
  zam_writePdbRemark(fp);
  auto* out = (_trel_pdb_out*)kget1B_0(sizeof(_trel_pdb_out));
  out->fp = fp;
  out->path = kdupS(final_name.c_str());
  out->whole = whole;
  return out;
}

_trel_pdb_out* trel_openSharedPdbOut(const char* path) {
  _trel_pdb_out* out = trel_openPdbOut(path);
  if (out) out->shared = 1;
  return out;
}

int trel_closePdbOut(_trel_pdb_out* out) {
  if (!out) return 0;
  // The stream is closed by trel_closeWhole (zam_closePdbFile is zam_fclose).
  const int ok = out->shared ? trel_closeShared(out->whole, true) : trel_closeWhole(out->whole, true);
  if (!ok) zam_wrn("Cannot write PDB file: %s\n", out->path);
  kfree(out->path);
  kfree(out);
  return ok;
}

namespace {

void writeTarget(_trel_thing* query, _trel_thing* target, _trel_thing* ligand, _trel_align* align, Matrix3D hit,
                 const char* suffix, const char* folder, Matrix3D transform, const _trel_options* o) {
  _pdb_image* qimage = trel_imageThing(query);
  if (!qimage) return;
  _pdb_image* timage = trel_imageThing(target);
  if (!timage) return;
  const bool fake = qimage->fake != 0;
  const std::string s = text(suffix), q = text(query->name);
  const std::string name = text(target->name);
  const std::string dir = text(folder);
  // The pair's file whose name ends in tail.
  const auto pair = [&](const std::string& tail) { return dir + zam_fileName({name, q}, tail); };
  const _trel_pair_names names = trel_hitPairNames(q.c_str(), name.c_str(), suffix);
  _trel_align* a = align;

  if (o->write_pdb && o->residue_mask) {
    _trel_mask_view view;
    trel_pdbAlignMask(a, o->residue_mask, trel_maskView(&view, qimage), nullptr);
    write_query(dir + names.query_mask_out, &view.image, transform, o, true);
  }
  // The target's placement in the written files.
  const Matrix3D T = fake ? frame_of(target) : tf_tftf(hit, transform);
  if (o->write_pdb) {
    if (_trel_pdb_out* out = trel_openPdbOut((dir + names.target_out).c_str())) {
      remarks(out, q.c_str(), name.c_str());
      if (zam_debug >= 0) zam_msg("Writing TARGET pdb file: %s\n", out->path);
      write_image(out, timage, 0, T, o);
      trel_closePdbOut(out);
    }
  }
  if (o->write_pdb && o->do_renumber) {
    if (_trel_pdb_out* out = trel_openPdbOut(pair("_renumber" + s + ".pdb").c_str())) {
      remarks(out, q.c_str(), name.c_str());
      if (zam_debug >= 0) zam_msg("Writing renumbered TARGET pdb file: %s\n", out->path);
      _pdb_image* copy = renumbered(qimage, timage, a);
      write_image(out, copy, 0, T, o);
      zam_freePdb(copy);
      trel_closePdbOut(out);
    }
  }
  if (o->write_matrix) {
    const Matrix3D M = fake ? tf_identity() : tf3(tf_inverse(frame_of(target)), hit, transform);
    write_matrix(pair(s + ".mat"), M);
  }
  if (!o->write_pdb) return;
  if (o->residue_mask) {
    if (_trel_pdb_out* out = trel_openPdbOut((dir + names.target_mask_out).c_str())) {
      remarks(out, q.c_str(), name.c_str());
      if (zam_debug >= 0) zam_msg("Writing TARGET pdb file: %s\n", out->path);
      _trel_mask_view view;
      trel_pdbAlignMask(a, o->residue_mask, nullptr, trel_maskView(&view, timage));
      write_image(out, &view.image, 0, T, o);
      trel_closePdbOut(out);
    }
  }
  if (o->write_conect && !o->do_ligand)
    write_conect(pair("_conect" + s + ".pdb"), query, qimage, target, timage, a, transform, T, o);
  if (o->do_ligand && ligand) {
    _pdb_image* limage = trel_imageThing(ligand);
    if (!limage) return;
    const std::string lname = dir + zam_fileName({text(ligand->name)}, s + "_ligand.pdb");
    if (_trel_pdb_out* out = trel_openPdbOut(lname.c_str())) {
      if (zam_debug >= 0) zam_msg("Writing LIGAND pdb file: %s\n", out->path);
      write_image(out, limage, 0, tf3(frame_of(ligand), tf_inverse(frame_of(target)), T), o);
      trel_closePdbOut(out);
    }
  }
}

}  // namespace

void trel_writeTargetPDB(_trel_thing* query, _trel_thing* target, _trel_thing* ligand,
                         _trel_align* align, Matrix3D hit, const char* suffix,
                         const char* folder, Matrix3D transform, const _trel_options* o) {
  if (!query || !target || !align || !o) return;
  const std::string before = trel_holdHit(text(target->name));
  writeTarget(query, target, ligand, align, hit, suffix, folder, transform, o);
  trel_holdHit(before);
}

void trel_writeUnifiedPDB(_trel_thing* query, int n, _trel_thing* const* targets,
                          _trel_align* const* aligns, const Matrix3D* transforms,
                          const int* order, const int* selected, const char* suffix,
                          const char* folder, Matrix3D transform, const _trel_options* o) {
  if (!query || !o || (n > 0 && (!targets || !aligns || !transforms || !order || !selected)))
    return;
  if (!o->write_pdb || !o->with_unified || o->do_ligand) return;
  _pdb_image* qimage = trel_imageThing(query);
  if (!qimage) return;
  const bool fake = qimage->fake != 0;
  const std::string q = text(query->name);
  const std::string unified = std::string(text(folder)) + zam_fileName({q}, std::string(text(suffix)) + "_unified.pdb");
  _trel_pdb_out* out = trel_openPdbOut(unified.c_str());
  if (!out) return;
  zam_fprintf(out->fp, "REMARK  Query:      %s\n", q.c_str());
  int serial = 0;
  for (int k = 0; k < n; k++) {
    const int t = order[n - 1 - k];
    if (t < 0 || !selected[t] || !aligns[t] || !targets[t]) continue;
    _pdb_image* timage = trel_imageThing(targets[t]);
    if (!timage) continue;
    zam_fprintf(out->fp, "REMARK  Target:     %s\n", text(targets[t]->name));
    zam_fprintf(out->fp, "MODEL %8d\n", k + 1);
    if (zam_debug >= 0) zam_msg("Writing TARGET pdb file: %s\n", out->path);
    const Matrix3D T = fake ? frame_of(targets[t]) : tf_tftf(transforms[t], transform);
    serial = write_image(out, timage, serial, T, o);
    zam_fprintf(out->fp, "ENDMDL\n");
  }
  trel_closePdbOut(out);
}

void trel_writeTargetPDBs(_trel_thing* query, int n, _trel_thing* const* targets,
                          _trel_align* const* aligns, const Matrix3D* transforms,
                          const int* order, const int* selected, const char* suffix,
                          const char* folder, Matrix3D transform, const _trel_options* o) {
  if (!query || !o || (n > 0 && (!targets || !aligns || !transforms || !order || !selected)))
    return;
  if (!trel_imageThing(query)) return;
  for (int k = 0; k < n; k++) {
    const int t = order[n - 1 - k];
    if (t < 0 || !selected[t] || !aligns[t] || !targets[t]) continue;
    _trel_thing* ligand = o->do_ligand && n == 1 ? targets[t + 1] : nullptr;
    trel_writeTargetPDB(query, targets[t], ligand, aligns[t], transforms[t], suffix, folder,
                        transform, o);
  }
  trel_writeUnifiedPDB(query, n, targets, aligns, transforms, order, selected, suffix, folder,
                       transform, o);
}

void trel_writeQueryPDB(_trel_thing* query, const char* suffix, const char* folder,
                        Matrix3D transform, const _trel_options* o) {
  if (!query || !o || !o->write_pdb) return;
  _pdb_image* image = trel_imageThing(query);
  if (!image) return;
  write_query(std::string(text(folder)) + trel_queryPdbName(query->name, suffix), image, transform, o, false);
}

_pdb_image* trel_maskView(_trel_mask_view* view, const _pdb_image* image) {
  if (!view || !image) return nullptr;
  view->image = *image;
  if (image->residues && image->nres > 0) {
    view->residues.assign(image->residues, image->residues + image->nres);
    view->image.residues = view->residues.data();
  }
  return &view->image;
}
