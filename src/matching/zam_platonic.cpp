// Point sets of the sphere meshes and rotation sampling.
#include "matching/zam_platonic.h"

#include <cmath>
#include <vector>

#include "geometry/zam_frame.h"
#include "geometry/zam_geom.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_mesh.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_vm.h"

namespace {

constexpr int kOrders[14] = {0, -1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
constexpr int kPoleCounts[14] = {12, 32, 42, 92, 162, 252, 362, 492, 642, 812, 1002, 1212, 1442, 1692};
constexpr int kNodeCounts[14] = {20, 60, 80, 180, 320, 500, 720, 980, 1280, 1620, 2000, 2420, 2880, 3380};

const double kT1 = std::acos(1.0 / std::sqrt(3.0));
constexpr double kPi = 3.14159265358979323846;

struct PointSet {
  std::vector<float> vertex;  // theta, phi pairs
  std::vector<float> area;
  double angle = 0.0;
};

bool g_done = false;
PointSet g_poles[14], g_nodes[14];
PointSet g_tetra, g_octa, g_cube;
const float kZero[2] = {0.0f, 0.0f};

void fill_solids() {
  const float t1 = static_cast<float>(kT1), t2 = static_cast<float>(kPi - kT1);
  const float q = static_cast<float>(kPi / 4.0);
  g_tetra.vertex = {t1, 5 * q, t1, q, t2, 3 * q, t2, 7 * q};
  g_octa.vertex = {2 * q, 0, 2 * q, 2 * q, 0, 0, 4 * q, 0, 2 * q, 6 * q, 2 * q, 4 * q};
  g_cube.vertex = {t2, 5 * q, t1, 5 * q, t1, 3 * q, t2, 3 * q,
                   t2, 7 * q, t1, 7 * q, t1, q, t2, q};
  g_tetra.area.assign(4, 0.0f);
  g_octa.area.assign(6, 0.0f);
  g_cube.area.assign(8, 0.0f);
}

const PointSet* find_set(int n) {
  if (n == 4) return &g_tetra;
  if (n == 6) return &g_octa;
  if (n == 8) return &g_cube;
  for (int k = 0; k < 14; ++k) {
    if (n == kPoleCounts[k]) return &g_poles[k];
    if (n == kNodeCounts[k]) return &g_nodes[k];
  }
  return nullptr;
}

// The rotation that carries point 0 of set n to the north pole.
Matrix3D north_turn(int n) {
  const float* v0 = platonic_vertices(n);
  return tf_euler(e_make(0.0, -static_cast<double>(v0[0]), -static_cast<double>(v0[1])));
}

Point3D unit_of(const float* v, int i) { return pt_pp(pp_make(1.0, v[2 * i], v[2 * i + 1])); }

template <typename T>
T* new_array(int64_t n) {
  return static_cast<T*>(zam_vm_get_0(sizeof(T) * static_cast<size_t>(n > 0 ? n : 1)));
}

// Half-width in steps of a sampling box. A step that is not positive gives
// the centre alone (it would divide by zero); the half-width is capped at
// 512 so that the point count stays within an int.
int box_half_width(double box, double step) {
  if (!(step > 0.0)) return 0;
  const double h = box / (2.0 * step) + 0.5;
  if (!(h >= 1.0)) return 0;
  return h < 512.0 ? static_cast<int>(h) : 512;
}

// Permutation of n codes, ascending and stable.
std::vector<int> code_order(const std::vector<int32_t>& codes) {
  std::vector<int> order(codes.size());
  zam_sortl(codes.data(), static_cast<int>(codes.size()), order.data());
  return order;
}

double solid_radius = 1.0;

}  // namespace

void setup_platonic() {
  if (g_done) return;
  g_done = true;
  fill_solids();
  for (int k = 0; k < 14; ++k) {
    zam_open_mesh(kOrders[k], 0.0, 1.0);
    zam_mesh_angles(&g_poles[k].angle, &g_nodes[k].angle);
    for (int i = 0; i < zam_npoles(); ++i) {
      const PolarPoint p = pp_pt(zam_pole(i));
      g_poles[k].vertex.push_back(static_cast<float>(p.theta));
      g_poles[k].vertex.push_back(static_cast<float>(p.phi));
      g_poles[k].area.push_back(static_cast<float>(zam_pole_area(i)));
    }
    for (int i = 0; i < zam_nnodes(); ++i) {
      const PolarPoint p = pp_pt(zam_node(i));
      g_nodes[k].vertex.push_back(static_cast<float>(p.theta));
      g_nodes[k].vertex.push_back(static_cast<float>(p.phi));
      g_nodes[k].area.push_back(static_cast<float>(zam_node_area(i)));
    }
  }
}

const float* platonic_vertices(int n) {
  const PointSet* s = find_set(n);
  return s && !s->vertex.empty() ? s->vertex.data() : kZero;
}

const float* platonic_areas(int n) {
  const PointSet* s = find_set(n);
  return s && !s->area.empty() ? s->area.data() : kZero;
}

float platonic_angle(int n) {
  const PointSet* s = find_set(n);
  return s ? static_cast<float>(s->angle) : 0.0f;
}

int platonic_dual(int n) {
  if (n == 4) return 4;
  if (n == 6) return 8;
  if (n == 8) return 6;
  for (int k = 0; k < 14; ++k) {
    if (n == kPoleCounts[k]) return kNodeCounts[k];
    if (n == kNodeCounts[k]) return kPoleCounts[k];
  }
  return 0;
}

int platonic_poles(int n) {
  if (n == 4) return 4;
  if (n == 6 || n == 8) return 6;
  for (int k = 0; k < 14; ++k)
    if (n == kPoleCounts[k] || n == kNodeCounts[k]) return kPoleCounts[k];
  return 0;
}

int platonic_nodes(int n) {
  if (n == 4) return 4;
  if (n == 6 || n == 8) return 8;
  for (int k = 0; k < 14; ++k)
    if (n == kPoleCounts[k] || n == kNodeCounts[k]) return kNodeCounts[k];
  return 0;
}

int platonic_resolution(double step) {
  static constexpr int kCandidates[16] = {1692, 1442, 1212, 1002, 812, 642, 492, 362,
                                          252,  162,  92,   60,   42,  32,  20,  12};
  setup_platonic();
  int best = kCandidates[0];
  double best_d = 0.0;
  for (int k = 0; k < 16; ++k) {
    const double d = static_cast<double>(platonic_angle(kCandidates[k])) - step;
    if (k == 0 || d * d < best_d) best_d = d * d, best = kCandidates[k];
  }
  return best;
}

int platonic_samples(int n, Euler** out) {
  // A count that is no set has no points to read: one zero rotation.
  if (n <= 1 || !find_set(n)) {
    *out = static_cast<Euler*>(zam_vm_get_0(sizeof(Euler)));
    return 1;
  }
  setup_platonic();
  const int d = platonic_dual(n);
  Euler* e = static_cast<Euler*>(zam_vm_get_0(sizeof(Euler) * static_cast<size_t>(n + d)));
  const Matrix3D r = north_turn(n);
  int at = 0;
  for (int set : {n, d}) {
    const float* v = platonic_vertices(set);
    for (int i = 0; i < set; ++i) {
      const Point3D u = pt_pp(pp_make(1.0, v[2 * i], v[2 * i + 1]));
      const PolarPoint p = pp_pt(v_tfv(r, u));
      e[at++] = e_make(0.0, std::fmin(p.theta, kPi), p.phi);
    }
  }
  *out = e;
  return n + d;
}

int box_samples(double box, double step, double offset, int* centre, Euler** first, int** codes, Euler** second) {
  const int h = box_half_width(box, step), m = 2 * h + 1, n = m * m * m;
  std::vector<int32_t> code(n);
  std::vector<Euler> e1(n), e2(n);
  int at = 0, middle = 0;
  const Euler zero = e_make(0.0, 0.0, 0.0);
  for (int k = -h; k <= h; ++k)
    for (int j = -h; j <= h; ++j)
      for (int i = -h; i <= h; ++i, ++at) {
        Matrix3D f, s;
        double r = 0.0;
        rnzr_tf(&s, &r, &f, tf_v(v_make(i * step, j * step, k * step + offset)));
        code[at] = zam_did_r12(r);
        e1[at] = euler_tf(f);
        e2[at] = euler_tf(s);
        if (std::fabs(zam_r12_did(code[at])) < 0.1) {
          code[at] = zam_did_r12(0.0);
          e2[at] = zero;
        }
        if (i == 0 && j == 0 && k == 0) middle = at;
      }
  const std::vector<int> order = code_order(code);
  Euler* out1 = new_array<Euler>(n);
  Euler* out2 = new_array<Euler>(n);
  int* out_codes = new_array<int>(n);
  for (int p = 0; p < n; ++p) {
    out1[p] = e1[order[p]];
    out2[p] = e2[order[p]];
    out_codes[p] = code[order[p]];
    if (order[p] == middle) *centre = p;
  }
  *first = out1;
  *second = out2;
  *codes = out_codes;
  return n;
}

int64_t box_sample_count(double box, double step) {
  const int64_t m = 2 * box_half_width(box, step) + 1;
  return m * m * m;
}

int polar_samples(double box, double step, double offset, Euler** rotations, int** codes) {
  const int h = box_half_width(box, step), m = 2 * h + 1, n = m * m * m;
  std::vector<int32_t> code(n);
  std::vector<Euler> rot(n);
  int at = 0;
  for (int k = -h; k <= h; ++k)
    for (int j = -h; j <= h; ++j)
      for (int i = -h; i <= h; ++i, ++at) {
        const PolarPoint p = pp_pt(v_make(i * step, j * step, k * step));
        rot[at] = e_make(0.0, kPi - p.theta, 2.0 * kPi - p.phi);
        code[at] = zam_did_r12(p.r + offset);
      }
  const std::vector<int> order = code_order(code);
  Euler* out_rot = new_array<Euler>(n);
  int* out_codes = new_array<int>(n);
  for (int p = 0; p < n; ++p) {
    out_rot[p] = rot[order[p]];
    out_codes[p] = code[order[p]];
  }
  *rotations = out_rot;
  *codes = out_codes;
  return n;
}

int near_north_points(int n, Point3D** out, float angle) {
  setup_platonic();
  const int count = find_set(n) ? n : 1;
  const float* v = platonic_vertices(n);
  const Matrix3D r = count > 1 ? north_turn(n) : tf_identity();
  Point3D* pts = new_array<Point3D>(count);
  const Point3D north = v_tfv(r, unit_of(v, 0));
  int kept = 0;
  pts[kept++] = north;
  for (int i = 1; i < count; ++i) {
    const Point3D p = v_tfv(r, unit_of(v, i));
    if (a_vv(north, p) < angle) pts[kept++] = p;
  }
  *out = pts;
  return kept;
}

int guess_vertices(int n, float** out) {
  setup_platonic();
  const int count = find_set(n) ? n : 1;
  const float* v = platonic_vertices(n);
  int at_north = -1;
  for (int i = 0; i < count && at_north < 0; ++i)
    if (std::fabs(v[2 * i]) < 0.01f && std::fabs(v[2 * i + 1]) < 0.01f) at_north = i;
  const int total = at_north >= 0 ? count : count + 1;
  float* copy = new_array<float>(2 * static_cast<int64_t>(total));
  const int shift = at_north >= 0 ? 0 : 1;
  for (int i = 0; i < count; ++i) {
    copy[2 * (i + shift)] = v[2 * i];
    copy[2 * (i + shift) + 1] = v[2 * i + 1];
  }
  if (at_north > 0) {
    copy[2 * at_north] = v[0];
    copy[2 * at_north + 1] = v[1];
  }
  copy[0] = copy[1] = 0.0f;
  *out = copy;
  return total;
}

float* unit_sphere_points(int n) {
  setup_platonic();
  const int count = find_set(n) ? n : 1;
  const float* v = platonic_vertices(n);
  float* pts = new_array<float>(3 * static_cast<int64_t>(count));
  for (int i = 0; i < count; ++i) {
    const Point3D p = unit_of(v, i);
    pts[3 * i] = static_cast<float>(p.x);
    pts[3 * i + 1] = static_cast<float>(p.y);
    pts[3 * i + 2] = static_cast<float>(p.z);
  }
  return pts;
}

double* unit_cube_poles(double edge) {
  const int n = zam_npoles();
  double* d = new_array<double>(n);
  for (int i = 0; i < n; ++i) {
    const Point3D u = v_unit(zam_pole(i));
    const double big = std::fmax(std::fabs(u.x), std::fmax(std::fabs(u.y), std::fabs(u.z)));
    d[i] = big > 0.0 ? 0.5 * edge / big : 0.0;
  }
  return d;
}

void platonic_print_check() {
  setup_platonic();
  struct Solid {
    const char* name;
    const PointSet* set;
    const int (*faces)[3];
    int n_faces;
  };
  static constexpr int kTetraFaces[4][3] = {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {1, 3, 2}};
  static constexpr int kOctaFaces[8][3] = {{0, 1, 2}, {0, 2, 4}, {0, 3, 1}, {0, 4, 3},
                                           {1, 3, 5}, {1, 5, 2}, {2, 5, 4}, {3, 4, 5}};
  static constexpr int kCubeFaces[12][3] = {{0, 1, 2}, {0, 2, 3}, {0, 5, 1}, {0, 4, 5}, {0, 3, 4}, {3, 7, 4},
                                            {1, 5, 6}, {1, 6, 2}, {2, 6, 3}, {3, 6, 7}, {4, 7, 5}, {5, 7, 6}};
  const Solid solids[3] = {{"Tetrahedron", &g_tetra, kTetraFaces, 4},
                           {"Octahedron", &g_octa, kOctaFaces, 8},
                           {"cube", &g_cube, kCubeFaces, 12}};
  for (const Solid& s : solids)
    for (int f = 0; f < s.n_faces; ++f) {
      const int* t = s.faces[f];
      const float* v = s.set->vertex.data();
      const Point3D a = unit_of(v, t[0]), b = unit_of(v, t[1]), c = unit_of(v, t[2]);
      const bool ccw = dot_product(cross_product(v_sub(b, a), v_sub(c, a)), a) > 0.0;
      zam_msg("%s face %d = %d,%d,%d: %s.\n", s.name, f, t[0], t[1], t[2],
              ccw ? "counter-clockwise" : "clockwise");
    }
}

double platonic_set_radius(double r) {
  const double previous = solid_radius;
  if (r != previous) solid_radius = r;
  return previous;
}
