#include "structure/zam_template_data.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "geometry/zam_frame.h"
#include "structure/zam_data_file.h"

namespace {

constexpr int kLineChars = 80;
constexpr int kNameBytes = 5;

std::mutex table_lock;
std::vector<_zam_h_template> templates;
bool tried = false;

bool parseLine(const std::vector<std::string>& f, _zam_h_template* t) {
  if (f.size() != 10) return false;
  _zam_h_template e{};
  if (!zam_data_name(f[0], e.residue, kNameBytes) || !zam_data_name(f[1], e.hydrogen, kNameBytes) ||
      !zam_data_name(f[2], e.parent, kNameBytes))
    return false;
  for (int r = 0; r < 3; r++)
    if (!zam_data_name(f[size_t(3 + r)], e.ref[r], kNameBytes)) return false;
  for (int c = 0; c < 3; c++)
    if (!zam_data_float(f[size_t(6 + c)], &e.offset[c])) return false;
  if (!zam_data_float(f[9], &e.distance)) return false;
  if (e.parent[0] == 'x') e.parent[0] = ' ';
  *t = e;
  return true;
}

int load(const char* file) {
  tried = true;
  templates.clear();
  templates.reserve(50);
  const _zam_data_kind kind{"atom_templates.dat", "hydrogen template file", kLineChars, nullptr};
  const int read = zam_data_read(file, kind, [](const _zam_data_line& line) {
    _zam_h_template t;
    if (!parseLine(line.fields, &t)) {
      zam_data_skip(line, "Bad atom template: line ignored");
      return;
    }
    templates.push_back(t);
  });
  if (read < 0) templates.clear();
  templates.shrink_to_fit();
  return int(templates.size());
}

// Template k with the tables loaded (lock held), or null.
const _zam_h_template* at(int k) {
  if (!tried) load("");
  return k >= 0 && k < int(templates.size()) ? &templates[size_t(k)] : nullptr;
}

void copyName(char* out, const char* name) {
  if (out) std::memcpy(out, name, kNameBytes);
}

}  // namespace

int zam_open_template(const char* file) {
  std::lock_guard<std::mutex> guard(table_lock);
  return load(file);
}

int zam_lookup_template(const char* residue, const char* hydrogen, char* parent, char* r1,
                        char* r2, char* r3) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!tried) load("");
  if (!residue || !hydrogen) return -1;
  for (size_t k = 0; k < templates.size(); k++) {
    const _zam_h_template& t = templates[k];
    if (std::strcmp(t.residue, residue) != 0 || std::strcmp(t.hydrogen, hydrogen) != 0) continue;
    copyName(parent, t.parent);
    copyName(r1, t.ref[0]);
    copyName(r2, t.ref[1]);
    copyName(r3, t.ref[2]);
    return int(k);
  }
  return -1;
}

int zam_match_template(int start, const char* residue) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!tried) load("");
  if (!residue) return -1;
  for (int k = start < 0 ? 0 : start; k < int(templates.size()); k++)
    if (!std::strcmp(templates[size_t(k)].residue, residue)) return k;
  return -1;
}

int zam_get_template(int k, char* hydrogen, char* parent, char* r1, char* r2, char* r3) {
  std::lock_guard<std::mutex> guard(table_lock);
  const _zam_h_template* t = at(k);
  if (!t) return 0;
  copyName(hydrogen, t->hydrogen);
  copyName(parent, t->parent);
  copyName(r1, t->ref[0]);
  copyName(r2, t->ref[1]);
  copyName(r3, t->ref[2]);
  return 1;
}

int zam_apply_template(int k, Point3D p1, Point3D p2, Point3D p3, float* out) {
  std::lock_guard<std::mutex> guard(table_lock);
  const _zam_h_template* t = at(k);
  if (!t || !out) return 0;
  const Point3D offset = v_make(t->offset[0], t->offset[1], t->offset[2]);
  const double length = mag_vector(offset);
  if (!(length > 0.0)) return 0;
  const Point3D local = v_scale(offset, double(t->distance) / length);
  floatv_pt(out, pt_tfpt(tf_inverse(tf_origin_negz_posx(p1, p2, p3)), local));
  return 1;
}

int zam_template_count() {
  std::lock_guard<std::mutex> guard(table_lock);
  if (!tried) load("");
  return int(templates.size());
}

int zam_template_entry(int k, _zam_h_template* out) {
  std::lock_guard<std::mutex> guard(table_lock);
  const _zam_h_template* t = at(k);
  if (!t || !out) return 0;
  *out = *t;
  return 1;
}

void zam_measure_template(Point3D p1, Point3D p2, Point3D p3, Point3D parent, Point3D h,
                          float offset[3], float* distance) {
  floatv_pt(offset, pt_tfpt(tf_origin_negz_posx(p1, p2, p3), h));
  *distance = float(d_ptpt(parent, h));
}
