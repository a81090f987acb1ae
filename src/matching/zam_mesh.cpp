// Geodesic sphere mesh: the icosahedron, its face-capped form (order -1) and
// its subdivisions, with the dual nodes, edges, ring orders and areas.
#include "matching/zam_mesh.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "geometry/zam_geom.h"
#include "geometry/zam_quat.h"
#include "runtime/zam_log.h"

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
  // Latitude grid (zam_enable_grid): per band its southern bound, cell
  // count and running cell total; a pole per cell (-1 while unmapped).
  std::vector<double> band_theta;
  std::vector<int> band_size;
  std::vector<int> band_total;
  std::vector<int> grid_index;
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

// ---- latitude grid ----

constexpr double kTwoPi = 2.0 * kPi;

int n_bands() { return static_cast<int>(g_mesh.band_theta.size()); }
int n_cells() { return static_cast<int>(g_mesh.grid_index.size()); }

int band_of_cell(int cell) {
  int b = 0;
  while (b < n_bands() - 1 && g_mesh.band_total[b] <= cell) ++b;
  return b;
}

void cell_region(int cell, double* t0, double* t1, double* p0, double* p1) {
  const int b = band_of_cell(cell);
  *t0 = b == 0 ? 0.0 : g_mesh.band_theta[b - 1];
  *t1 = g_mesh.band_theta[b];
  const int j = cell - (b == 0 ? 0 : g_mesh.band_total[b - 1]), size = g_mesh.band_size[b];
  *p0 = kTwoPi * j / size;
  *p1 = kTwoPi * (j + 1) / size;
}

// Unit vector of a cell's centre direction (the pole itself for the caps).
Point3D cell_centre(int cell) {
  double t0, t1, p0, p1;
  cell_region(cell, &t0, &t1, &p0, &p1);
  if (cell == 0) return Point3D{0.0, 0.0, 1.0};
  if (cell == n_cells() - 1) return Point3D{0.0, 0.0, -1.0};
  return pt_pp(pp_make(1.0, 0.5 * (t0 + t1), 0.5 * (p0 + p1)));
}

Point3D unit_pole(int i) { return v_lambdav(1.0 / g_mesh.radius, g_mesh.poles[i]); }

int grid_cell(double theta, double phi) {
  if (n_bands() == 0) return -1;
  const int last = n_bands() - 1;
  if (theta <= g_mesh.band_theta[0]) return 0;
  int b = 1;
  while (b <= last && g_mesh.band_theta[b] < theta) ++b;
  if (b >= last) return n_cells() - 1;
  phi = std::fmod(phi, kTwoPi);
  if (phi < 0.0) phi += kTwoPi;
  const int size = g_mesh.band_size[b];
  // The small offset keeps a point on a cell's far edge in that cell; the
  // clamp keeps phi = 0 (where the offset would step back a cell) and
  // rounding at 2 pi inside the band.
  int j = static_cast<int>(std::floor(phi / kTwoPi * size - 1e-12));
  if (j < 0) j = 0;
  if (j >= size) j = size - 1;
  return g_mesh.band_total[b - 1] + j;
}

// Bounds and cell counts of the bands: a cap of one pole's area at each end;
// the first bands of a fine grid equally spaced in sin(theta) up to 0.1, the
// rest equally in theta up to the equator; the south mirrors the north.
void make_bands(int n) {
  const double tc = std::acos(1.0 - 2.0 / n);
  int k = static_cast<int>(1.0 / tc + 1.001);
  if (k < 3) k = 3;
  std::vector<double> north(k);
  north[0] = tc;
  const int by_sine = static_cast<int>(0.1 * k) - 1;
  int b = 1;
  double from = tc;
  if (by_sine >= 1) {
    const double s0 = std::sin(tc);
    for (; b <= by_sine; ++b) north[b] = std::asin(s0 + (0.1 - s0) * b / by_sine);
    from = north[by_sine];
  }
  const int rest = k - b;
  for (int j = b; j < k; ++j) north[j] = from + (0.5 * kPi - from) * (j - b + 1) / rest;
  north[k - 1] = 0.5 * kPi;
  std::vector<int> size(k);
  size[0] = 1;
  for (int j = 1; j < k; ++j)
    size[j] = static_cast<int>((std::cos(north[j - 1]) - std::cos(north[j])) * n / 2.0 + 1.0);
  g_mesh.band_theta.resize(2 * k);
  g_mesh.band_size.resize(2 * k);
  g_mesh.band_total.resize(2 * k);
  for (int j = 0; j < k; ++j) {
    g_mesh.band_theta[j] = north[j];
    g_mesh.band_theta[k + j] = j < k - 1 ? kPi - north[k - 2 - j] : kPi;
    g_mesh.band_size[j] = size[j];
    g_mesh.band_size[k + j] = size[k - 1 - j];
  }
  int total = 0;
  for (int j = 0; j < 2 * k; ++j) g_mesh.band_total[j] = total += g_mesh.band_size[j];
}

// The cell met at (theta, phi), with theta reflected over a pole (which
// turns phi by pi) and phi wrapped into 0..2 pi.
int cell_beyond(double theta, double phi) {
  if (theta < 0.0) theta = -theta, phi += kPi;
  if (theta > kPi) theta = kTwoPi - theta, phi += kPi;
  return grid_cell(theta, phi);
}

// Fills empty cells from the cells a third of a cell beyond each corner of
// their region, taking the candidate pole nearest the cell's centre. Each
// pass reads the mapping as the previous pass left it. Returns the number of
// cells still empty.
int fill_empty_cells() {
  int empty = 0;
  for (int pass = 0; pass < 3; ++pass) {
    const std::vector<int> before = g_mesh.grid_index;
    empty = 0;
    for (int c = 0; c < n_cells(); ++c) {
      if (before[c] >= 0) continue;
      double t0, t1, p0, p1;
      cell_region(c, &t0, &t1, &p0, &p1);
      const double dt = (t1 - t0) / 3.0, dp = (p1 - p0) / 3.0;
      const Point3D centre = cell_centre(c);
      int best = -1;
      double best_dot = -2.0;
      for (double t : {t0 - dt, t1 + dt})
        for (double p : {p0 - dp, p1 + dp}) {
          const int other = cell_beyond(t, p);
          const int pole = other >= 0 ? before[other] : -1;
          if (pole < 0) continue;
          const double d = dot_product(unit_pole(pole), centre);
          if (d > best_dot) best_dot = d, best = pole;
        }
      g_mesh.grid_index[c] = best;
      if (best < 0) ++empty;
    }
    if (empty == 0) break;
  }
  return empty;
}

// Greedy climb over neighbour poles towards the direction u: a neighbour
// must beat the best so far by more than 1e-5 in cosine.
int climb(int current, Point3D u) {
  double best_dot = dot_product(unit_pole(current), u);
  for (bool improved = true; improved;) {
    improved = false;
    int best = current;
    for (int s = 0; s < slots_of(current); ++s) {
      const int q = g_mesh.pole_poles[current][s];
      if (q < 0) continue;
      const double d = dot_product(unit_pole(q), u);
      if (d > best_dot + 1e-5) best_dot = d, best = q;
    }
    if (best != current) current = best, improved = true;
  }
  return current;
}

// The seed of the climb without a grid: the three icosahedron poles nearest
// u pick a face; its own inner poles and corners give the pole nearest u.
int face_seed(Point3D u) {
  int top[3] = {-1, -1, -1};
  double dots[3] = {-3.0, -3.0, -3.0};
  for (int i = 0; i < 12; ++i) {
    double d = dot_product(unit_pole(i), u);
    int p = i;
    for (int k = 0; k < 3; ++k)
      if (d > dots[k]) {
        std::swap(d, dots[k]);
        std::swap(p, top[k]);
      }
  }
  int best = top[0];
  if (g_mesh.face_range.empty()) return best;
  int sorted[3] = {top[0], top[1], top[2]};
  std::sort(sorted, sorted + 3);
  for (size_t f = 0; f < g_mesh.faces.size(); ++f) {
    const auto& face = g_mesh.faces[f];
    if (face[0] != sorted[0] || face[1] != sorted[1] || face[2] != sorted[2]) continue;
    double best_dot = dots[0];
    for (int p = g_mesh.face_range[f][0] - 1; p < g_mesh.face_range[f][1]; ++p) {
      const double d = dot_product(unit_pole(p), u);
      if (d > best_dot) best_dot = d, best = p;
    }
    break;
  }
  return best;
}

// ---- pole rings ----

constexpr int kMaxRing = 200;

struct RingState {
  std::vector<int> current, previous, next;
};

RingState g_ring;

bool in_ring(const std::vector<int>& ring, int p) { return std::find(ring.begin(), ring.end(), p) != ring.end(); }

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

int zam_ncells() { return n_cells(); }
int zam_nbands() { return n_bands(); }

void zam_pole_ring_start(int i) {
  g_ring.current.assign(1, i);
  g_ring.previous.clear();
  g_ring.next.clear();
}

const int* zam_pole_ring_next(int* length) {
  g_ring.next.clear();
  bool full = false;
  for (int p : g_ring.current)
    for (int s = 0; s < slots_of(p); ++s) {
      const int node = g_mesh.pole_nodes[p][s];
      if (node < 0) continue;
      for (int q : g_mesh.node_poles[node]) {
        if (in_ring(g_ring.current, q) || in_ring(g_ring.previous, q) || in_ring(g_ring.next, q)) continue;
        if (static_cast<int>(g_ring.next.size()) >= kMaxRing) {
          full = true;
          continue;
        }
        g_ring.next.push_back(q);
      }
    }
  if (full) zam_msg("Warning: Increase MAX_POLE_RING_LENGTH.\n");
  std::swap(g_ring.previous, g_ring.current);
  std::swap(g_ring.current, g_ring.next);
  *length = static_cast<int>(g_ring.current.size());
  return g_ring.current.data();
}

void zam_pole_ring_end() { g_ring = RingState{}; }

void zam_enable_grid() {
  if (g_mesh.order < -1 || g_mesh.poles.empty() || n_bands() > 0) return;
  make_bands(zam_npoles());
  g_mesh.grid_index.assign(g_mesh.band_total.back(), -1);
  for (int i = 0; i < zam_npoles(); ++i) {
    const PolarPoint pp = pp_pt(g_mesh.poles[i]);
    const int c = grid_cell(pp.theta, pp.phi);
    const int held = g_mesh.grid_index[c];
    if (held >= 0) {
      const Point3D centre = cell_centre(c);
      if (dot_product(unit_pole(held), centre) >= dot_product(unit_pole(i), centre)) continue;
    }
    g_mesh.grid_index[c] = i;
  }
  if (fill_empty_cells() > 0) zam_wrn("Warning: did not map all grid cells to mesh.\n");
}

double zam_grid_theta(int band) { return band >= 0 && band < n_bands() ? g_mesh.band_theta[band] : 0.0; }

int zam_grid_cell(double theta, double phi) { return grid_cell(theta, phi); }

void zam_grid_region(int cell, double* theta0, double* theta1, double* phi0, double* phi1) {
  cell_region(cell, theta0, theta1, phi0, phi1);
}

int zam_nearest_pole(double theta, double phi) {
  if (g_mesh.poles.empty()) return -1;
  const Point3D u = pt_pp(pp_make(1.0, theta, phi));
  // The cell's pole lies near u, but its neighbours alone miss the nearest
  // pole for about one direction in fifty: the climb goes on from there.
  if (n_cells() > 0) {
    const int held = g_mesh.grid_index[grid_cell(theta, phi)];
    if (held >= 0) return climb(held, u);
  }
  const int seed = face_seed(u);
  return zam_npoles() <= 12 ? seed : climb(seed, u);
}
