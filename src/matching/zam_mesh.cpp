// Geodesic sphere mesh: the icosahedron, its face-capped form (order -1) and
// its subdivisions, with the dual nodes, edges, ring orders and areas.
#include "matching/zam_mesh.h"

#include <array>
#include <cmath>
#include <vector>

#include "geometry/zam_geom.h"
#include "geometry/zam_quat.h"

namespace {

constexpr double kAlpha = 1.1071487177940904;  // atan(2)
constexpr double kPi = 3.14159265358979323846;

struct Edge {
  int a, b;    // poles, lower first
  int n0, n1;  // nodes on either side, -1 until made
};

struct MeshState {
  int order = -9;
  double radius = 1.0;
  bool rotated = false;
  Matrix3D rotation{};
  std::vector<Point3D> poles;
  std::vector<Point3D> nodes;
  std::vector<std::array<int, 6>> pole_poles;
  std::vector<std::array<int, 6>> pole_nodes;
  std::vector<std::array<int, 6>> pole_edges;  // scratch while building
  std::vector<std::array<int, 3>> node_poles;
  std::vector<Edge> edges;
  std::vector<std::array<int, 3>> faces;
  std::vector<std::array<int, 2>> face_range;
};

MeshState g_mesh;

int slots_of(int pole) { return pole < 12 ? 5 : 6; }

// Half-angle sizes of an order: the angle of the first new pole from its
// edge's end is p_beta + h_beta, later ones step by 2 h_beta.
void mesh_betas(int order, double* p_beta, double* h_beta) {
  if (order == 0) {
    *p_beta = 0.5535743588970452;
    *h_beta = 0.0;
  } else if (order == -1) {
    *p_beta = 0.28749431167088496;
    *h_beta = 0.35622033449927454;
  } else if (order == 1) {
    *p_beta = 0.24429411138026744;
    *h_beta = 0.3039659098650768;
  } else {
    *p_beta = *h_beta = kAlpha / (2.0 * (order + 1));
  }
}

double radius_factor(int order) {
  if (order == 0) return 0.9510565162951536;
  if (order == -1) return 1.581566230812922;
  if (order == 1) return 1.8478205008032134;
  double p, h;
  mesh_betas(order, &p, &h);
  return 1.0 / (2.0 * std::sin(h));
}

Point3D on_sphere(Point3D p) { return v_magv(p, g_mesh.radius); }

int make_pole(Point3D p) {
  g_mesh.poles.push_back(p);
  g_mesh.pole_poles.push_back({-1, -1, -1, -1, -1, -1});
  g_mesh.pole_nodes.push_back({-1, -1, -1, -1, -1, -1});
  g_mesh.pole_edges.push_back({-1, -1, -1, -1, -1, -1});
  return static_cast<int>(g_mesh.poles.size()) - 1;
}

int make_edge(int a, int b) {
  const int lo = a < b ? a : b, hi = a < b ? b : a;
  auto& lo_slots = g_mesh.pole_poles[lo];
  for (int s = 0; s < slots_of(lo) && lo_slots[s] >= 0; ++s)
    if (lo_slots[s] == hi) return g_mesh.pole_edges[lo][s];
  const int e = static_cast<int>(g_mesh.edges.size());
  g_mesh.edges.push_back(Edge{lo, hi, -1, -1});
  for (int p : {lo, hi}) {
    const int other = p == lo ? hi : lo;
    for (int s = 0; s < slots_of(p); ++s)
      if (g_mesh.pole_poles[p][s] < 0) {
        g_mesh.pole_poles[p][s] = other;
        g_mesh.pole_edges[p][s] = e;
        break;
      }
  }
  return e;
}

bool counter_clockwise(Point3D a, Point3D b, Point3D c) {
  const Point3D n = cross_product(v_unit(v_sub(b, a)), v_unit(v_sub(c, a)));
  return dot_product(n, a) > 0.0;
}

void make_triangle(int a, int b, int c) {
  const int e[3] = {make_edge(a, b), make_edge(a, c), make_edge(b, c)};
  for (int k = 0; k < 3; ++k)
    if (g_mesh.edges[e[k]].n0 >= 0 && g_mesh.edges[e[k]].n1 >= 0) return;
  const int node = static_cast<int>(g_mesh.nodes.size());
  for (int k = 0; k < 3; ++k) {
    Edge& ed = g_mesh.edges[e[k]];
    (ed.n0 < 0 ? ed.n0 : ed.n1) = node;
  }
  const Point3D pa = g_mesh.poles[a], pb = g_mesh.poles[b], pc = g_mesh.poles[c];
  if (counter_clockwise(pa, pb, pc))
    g_mesh.node_poles.push_back({a, b, c});
  else
    g_mesh.node_poles.push_back({a, c, b});
  const Point3D centroid{(pa.x + pb.x + pc.x) / 3.0, (pa.y + pb.y + pc.y) / 3.0,
                         (pa.z + pb.z + pc.z) / 3.0};
  g_mesh.nodes.push_back(on_sphere(centroid));
}

// Pole a turned toward pole b along their great circle by angle.
Point3D turn_toward(Point3D a, Point3D b, double angle) {
  return v_tfv(tf_rotv(cross_product(a, b), angle), a);
}

void build_icosahedron(std::vector<std::array<int, 2>>* pairs) {
  const double r = g_mesh.radius;
  make_pole(pt_pp(pp_make(r, 0.0, 0.0)));
  for (int k = 0; k < 5; ++k) make_pole(pt_pp(pp_make(r, kAlpha, deg2rad(72.0 * k))));
  make_pole(pt_pp(pp_make(r, kPi, 0.0)));
  for (int k = 0; k < 5; ++k) make_pole(pt_pp(pp_make(r, kPi - kAlpha, deg2rad(36.0 + 72.0 * k))));
  auto add = [&](int a, int b) { pairs->push_back({a < b ? a : b, a < b ? b : a}); };
  for (int k = 1; k <= 5; ++k) add(0, k);
  for (int k = 7; k <= 11; ++k) add(6, k);
  for (int k = 0; k < 5; ++k) {
    const int k1 = (k + 1) % 5;
    add(1 + k, 1 + k1);
    add(7 + k, 7 + k1);
    add(1 + k1, 7 + k);
    add(1 + k, 7 + k);
  }
  auto paired = [&](int a, int b) {
    for (const auto& p : *pairs)
      if ((p[0] == a && p[1] == b) || (p[0] == b && p[1] == a)) return true;
    return false;
  };
  for (const auto& p : *pairs)
    for (int w = p[1] + 1; w < 12; ++w)
      if (paired(p[0], w) && paired(p[1], w)) g_mesh.faces.push_back({p[0], p[1], w});
}

void build_capped() {
  for (const auto& f : g_mesh.faces) {
    const Point3D a = g_mesh.poles[f[0]], b = g_mesh.poles[f[1]], c = g_mesh.poles[f[2]];
    const int p = make_pole(on_sphere(Point3D{a.x + b.x + c.x, a.y + b.y + c.y, a.z + b.z + c.z}));
    for (int k = 0; k < 3; ++k) make_edge(f[k], p);
  }
  const int npoles = static_cast<int>(g_mesh.poles.size());
  for (int i = 0; i < 12; ++i) {
    const int first = g_mesh.pole_poles[i][0];
    int prev = first;
    for (int t = 1; t <= 4; ++t) {
      const Point3D q = v_tfv(tf_rotv(g_mesh.poles[i], deg2rad(72.0 * t)), g_mesh.poles[first]);
      int best = 12;
      double best_d2 = d2_ptpt(q, g_mesh.poles[12]);
      for (int p = 13; p < npoles; ++p) {
        const double d2 = d2_ptpt(q, g_mesh.poles[p]);
        if (d2 < best_d2) best_d2 = d2, best = p;
      }
      make_triangle(i, prev, best);
      prev = best;
    }
    make_triangle(i, prev, first);
  }
}

void build_subdivided(int n, const std::vector<std::array<int, 2>>& pairs) {
  double p_beta, h_beta;
  mesh_betas(n, &p_beta, &h_beta);
  // First new pole of each icosahedron edge, its n poles running from the
  // lower-index end.
  std::vector<int> first_new(pairs.size());
  for (size_t e = 0; e < pairs.size(); ++e) {
    const Point3D a = g_mesh.poles[pairs[e][0]], b = g_mesh.poles[pairs[e][1]];
    first_new[e] = static_cast<int>(g_mesh.poles.size());
    for (int k = 0; k < n; ++k) make_pole(turn_toward(a, b, p_beta + h_beta + 2.0 * k * h_beta));
  }
  auto edge_of = [&](int a, int b) {
    for (size_t e = 0; e < pairs.size(); ++e)
      if (pairs[e][0] == a && pairs[e][1] == b) return static_cast<int>(e);
    return -1;
  };
  for (const auto& f : g_mesh.faces) {
    const int uv = first_new[edge_of(f[0], f[1])], uw = first_new[edge_of(f[0], f[2])];
    const int vw = first_new[edge_of(f[1], f[2])];
    const int start = static_cast<int>(g_mesh.poles.size()) + 1;
    std::vector<int> prev{f[0]}, cur;
    for (int i = 1; i <= n + 1; ++i) {
      cur.clear();
      if (i <= n) {
        const int s = uv + i - 1, t = uw + i - 1;
        const Point3D ps = g_mesh.poles[s], pt = g_mesh.poles[t];
        const double step = a_vv(ps, pt) / i;
        cur.push_back(s);
        for (int k = 1; k < i; ++k) cur.push_back(make_pole(turn_toward(ps, pt, k * step)));
        cur.push_back(t);
      } else {
        cur.push_back(f[1]);
        for (int k = 0; k < n; ++k) cur.push_back(vw + k);
        cur.push_back(f[2]);
      }
      for (int k = 1; k <= i; ++k) {
        make_triangle(cur[k - 1], cur[k], prev[k - 1]);
        if (k < i) make_triangle(cur[k], prev[k - 1], prev[k]);
      }
      prev = cur;
    }
    g_mesh.face_range.push_back({start, static_cast<int>(g_mesh.poles.size())});
  }
}

// Lists each pole's nodes in ring order, counter-clockwise from outside.
void order_pole_nodes() {
  const int npoles = static_cast<int>(g_mesh.poles.size());
  for (int p = 0; p < npoles; ++p) {
    const auto& es = g_mesh.pole_edges[p];
    const int ne = slots_of(p);
    int count = 0;
    for (int s = 0; s < ne && es[s] >= 0; ++s) ++count;
    if (count == 0) continue;
    std::array<int, 6> ring{-1, -1, -1, -1, -1, -1};
    std::array<bool, 6> used{};
    ring[0] = g_mesh.edges[es[0]].n0;
    ring[1] = g_mesh.edges[es[0]].n1;
    used[0] = true;
    int len = 2;
    while (len < count) {
      bool found = false;
      for (int s = 1; s < count && !found; ++s) {
        if (used[s]) continue;
        const Edge& ed = g_mesh.edges[es[s]];
        if (ed.n0 == ring[len - 1] || ed.n1 == ring[len - 1]) {
          const int next = ed.n0 == ring[len - 1] ? ed.n1 : ed.n0;
          ring[len++] = next;
          used[s] = true;
          found = true;
        }
      }
      if (!found) break;
    }
    if (len >= 3 && ring[0] >= 0 && ring[1] >= 0 && ring[2] >= 0 &&
        !counter_clockwise(g_mesh.nodes[ring[0]], g_mesh.nodes[ring[1]], g_mesh.nodes[ring[2]])) {
      for (int a = 0, b = len - 1; a < b; ++a, --b) std::swap(ring[a], ring[b]);
    }
    g_mesh.pole_nodes[p] = ring;
  }
}

Point3D output(Point3D p) { return g_mesh.rotated ? v_tfv(g_mesh.rotation, p) : p; }

}  // namespace

void zam_open_mesh(int order, double edge, double radius) {
  if (order == g_mesh.order) return;
  zam_close_mesh();
  g_mesh.order = order;
  g_mesh.rotated = false;
  g_mesh.radius = edge > 0.0 ? edge * radius_factor(order) : radius > 0.0 ? radius : 1.0;
  std::vector<std::array<int, 2>> pairs;
  build_icosahedron(&pairs);
  if (order == 0) {
    for (const auto& f : g_mesh.faces) make_triangle(f[0], f[1], f[2]);
  } else if (order == -1) {
    build_capped();
  } else if (order >= 1) {
    build_subdivided(order, pairs);
  }
  order_pole_nodes();
  g_mesh.pole_edges.clear();
  g_mesh.pole_edges.shrink_to_fit();
}

void zam_close_mesh() {
  const double radius = g_mesh.radius;
  g_mesh = MeshState{};
  g_mesh.radius = radius;
}

int zam_npoles() { return static_cast<int>(g_mesh.poles.size()); }
int zam_nnodes() { return static_cast<int>(g_mesh.nodes.size()); }
int zam_nedges() { return static_cast<int>(g_mesh.edges.size()); }
int zam_mesh_order() { return g_mesh.order; }
int zam_nfaces(int order) { return order >= 0 ? 10 * order * (order + 2) + 12 : 12; }

Point3D zam_pole(int i) { return output(g_mesh.poles[i]); }
Point3D zam_node(int i) { return output(g_mesh.nodes[i]); }

void zam_edge_poles(int e, int* a, int* b) {
  *a = g_mesh.edges[e].a;
  *b = g_mesh.edges[e].b;
}

void zam_edge_nodes(int e, int* a, int* b) {
  *a = g_mesh.edges[e].n0;
  *b = g_mesh.edges[e].n1;
}

void zam_node_poles(int i, int* a, int* b, int* c) {
  *a = g_mesh.node_poles[i][0];
  *b = g_mesh.node_poles[i][1];
  *c = g_mesh.node_poles[i][2];
}

void zam_pole_nodes(int i, int* out) {
  for (int s = 0; s < 6; ++s) out[s] = g_mesh.pole_nodes[i][s];
}

int zam_pole_poles(int i, int* out) {
  int n = 0;
  for (int s = 0; s < slots_of(i); ++s)
    if (g_mesh.pole_poles[i][s] >= 0) out[n++] = g_mesh.pole_poles[i][s];
  return n;
}

int zam_node_nodes(int i, int* out) {
  const auto& np = g_mesh.node_poles[i];
  int n = 0;
  for (int k = 0; k < 3; ++k) {
    const int a = np[k], b = np[(k + 1) % 3];
    for (int s = 0; s < slots_of(a); ++s) {
      const int cand = g_mesh.pole_nodes[a][s];
      if (cand < 0 || cand == i) continue;
      const auto& cp = g_mesh.node_poles[cand];
      if (cp[0] == b || cp[1] == b || cp[2] == b) {
        out[n++] = cand;
        break;
      }
    }
  }
  return n;
}

void zam_set_radius(double r) {
  for (auto& p : g_mesh.poles) p = v_magv(p, r);
  for (auto& p : g_mesh.nodes) p = v_magv(p, r);
  g_mesh.radius = r;
}

void zam_set_rotation(double alpha, double beta, double gamma) {
  g_mesh.rotation = tf_euler(e_make(alpha, beta, gamma));
  g_mesh.rotated = true;
}

void zam_clear_rotation() { g_mesh.rotated = false; }

double zam_pole_area(int i) {
  const auto& ring = g_mesh.pole_nodes[i];
  const int n = slots_of(i);
  double area = 0.0;
  for (int k = 0; k < n; ++k) {
    const int a = ring[k], b = ring[(k + 1) % n];
    if (a < 0 || b < 0) continue;
    area += triangle_area(g_mesh.poles[i], g_mesh.nodes[a], g_mesh.nodes[b]);
  }
  return area;
}

double zam_node_area(int i) {
  const auto& np = g_mesh.node_poles[i];
  return triangle_area(g_mesh.poles[np[0]], g_mesh.poles[np[1]], g_mesh.poles[np[2]]);
}

void zam_mesh_angles(double* pole_angle, double* node_angle) {
  *pole_angle = *node_angle = 0.0;
  if (g_mesh.edges.empty()) return;
  for (const Edge& e : g_mesh.edges) {
    *pole_angle += a_vv(g_mesh.poles[e.a], g_mesh.poles[e.b]);
    if (e.n0 >= 0 && e.n1 >= 0) *node_angle += a_vv(g_mesh.nodes[e.n0], g_mesh.nodes[e.n1]);
  }
  *pole_angle /= static_cast<double>(g_mesh.edges.size());
  *node_angle /= static_cast<double>(g_mesh.edges.size());
}
