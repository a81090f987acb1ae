// Point sets of the sphere meshes and rotation sampling.
#include "matching/zam_platonic.h"

#include <cmath>
#include <vector>

#include "matching/zam_mesh.h"
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
  const float* v0 = platonic_vertices(n);
  const Matrix3D r = tf_euler(e_make(0.0, -static_cast<double>(v0[0]), -static_cast<double>(v0[1])));
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
