// Expansion of node grids into coefficient vectors and their reconstruction.
#include "harmonics/zam_kb_grid.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_basis.h"
#include "harmonics/zam_radial.h"
#include "runtime/zam_cell.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"

namespace {

constexpr double kY00 = 0.28209479177387814;  // the l = 0 harmonic, 1 / (2 sqrt(pi))
constexpr double kSmall = 1e-05;              // smaller elements add nothing to a rebuilt grid

Point3D node_point(int c, int nx, int ny, double h, Point3D origin) {
  int i, j, k;
  ijk_idx(c, nx, ny, &i, &j, &k);
  return Point3D{origin.x + i * h, origin.y + j * h, origin.z + k * h};
}

// A profile file written whole, or nothing when it cannot be opened.
struct Profile {
  _zam_whole* file = nullptr;
  std::string path;
  explicit Profile(const char* name) : file(zam_openWhole(name, "w")), path(name) {
    if (!file) zam_err("Failed to write profile file: %s.\n** [%s]\n", name, std::strerror(errno));
  }
  void line(double at, double value) {
    if (file) zam_fprintf(file->fp, "%.1f   %2.8f\n", at, value);
  }
  ~Profile() {
    if (file && !zam_closeWhole(file, true))
      zam_err("Failed to write profile file: %s.\n** [%s]\n", path.c_str(), std::strerror(errno));
  }
  Profile(const Profile&) = delete;
  Profile& operator=(const Profile&) = delete;
};

// The opening of a pass that forms basis vectors at the nodes: the node
// count (-1, with nothing printed but the refusal, for a grid too large),
// then "<fn>() here...", the start time, the basis record of order N and
// the lines naming the pass ("Calculating <what> N = ...") and the grid.
int open_pass(const char* fn, const char* what, int N, int nx, int ny, int nz, double h, _zam_basis* b,
              double* start) {
  const int cells = zam_grid_points(fn, "nodes", nx, ny, nz);
  if (cells < 0) return -1;
  zam_msg("%s() here...\n", fn);
  *start = zam_get_time();
  zam_basis_setup(b, N, ZAM_BASIS_GTO);
  zam_msg("\nCalculating %s N = %d (%d coefficients) ...\n", what, N, anlm_size(N));
  zam_msg("Grid: %dx%dx%d = %d cells of %.2f Angstroms.\n", nx, ny, nz, cells, h);
  return cells;
}

}  // namespace

int zam_grid_kb_integrate(double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin, const float* grid,
                          bool verbose) {
  return zam_kb_integrate_inline(coeffs, N, nx, ny, nz, h, origin, grid, verbose);
}

int zam_kb_integrate_inline(double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                            const float* grid, bool verbose) {
  _zam_basis b;
  double start = 0.0;
  const int cells = open_pass(__func__, "coefficients for", N, nx, ny, nz, h, &b, &start);
  if (cells < 0) return 0;
  const int K = anlm_size(N);
  int total = 0;
  for (int c = 0; c < cells; c++) total += grid[c] != 0.0f;
  // The sums are made unnormalised and normalised once, with the cell volume.
  std::vector<double> sums(static_cast<size_t>(K), 0.0);
  int done = 0;
  for (int c = 0; c < cells; c++) {
    if (grid[c] == 0.0f) continue;
    done++;
    zam_basis_add(&b, pp_pt(node_point(c, nx, ny, h, origin)), grid[c], sums.data());
    zam_progress2(5, done, total);
  }
  zam_basis_normalise(&b, 1, sums.data(), h * h * h);
  anlm_accum(N, sums.data(), coeffs);
  zam_msg("Integration applied to %d cells: %.2f per cent of the total grid volume.\n", done,
          cells > 0 ? 100.0 * done / cells : 0.0);
  zam_msg("Integration with N = %d done in %.2f seconds.\n\n", N, zam_get_time() - start);
  if (verbose)
    for (int n = 1; n <= N; n++) zam_msg("[n,l,m] = [%d , 0, 0]  anlm = %g \n", n, coeffs[anlm_index(n, 0, 0)]);
  return 1;
}

int zam_grid_kb_reconstruct_inline(const double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                                   float* grid, const char*) {
  if (zam_grid_points(__func__, "nodes", nx, ny, nz) < 0) return 0;
  Profile pz("kb_profile_z.txt"), py("kb_profile_y.txt"), px("kb_profile_x.txt");
  _zam_basis b;
  double start = 0.0;
  const int cells = open_pass(__func__, "potential to", N, nx, ny, nz, h, &b, &start);
  const int K = anlm_size(N);
  // Only the elements that matter, each with its norm folded in.
  std::vector<int> used;
  std::vector<double> weight;
  for (int k = 0; k < K; k++)
    if (std::fabs(coeffs[k]) > kSmall) {
      used.push_back(k);
      weight.push_back(coeffs[k] * b.norms[static_cast<size_t>(k)]);
    }
  const double half = h / 2;
  double least = 0.0;
  Point3D at{0.0, 0.0, 0.0};
  for (int c = 0; c < cells; c++) {
    const Point3D p = node_point(c, nx, ny, h, origin);
    const double* v = zam_basis_at(&b, pp_pt(p));
    float value = grid[c];
    for (size_t u = 0; u < used.size(); u++) value = static_cast<float>(value + v[used[u]] * weight[u]);
    grid[c] = value;
    if (std::fabs(p.x) < half && std::fabs(p.y) < half) {
      if (value < least) {
        least = value;
        at = p;
      }
      pz.line(p.z, value);
    }
    if (std::fabs(p.x) < half && std::fabs(p.z) < half) py.line(p.y, value);
    if (std::fabs(p.y) < half && std::fabs(p.z) < half) px.line(p.x, value);
  }
  zam_msg("Potential reconstruction from N = %d done in %.2f seconds.\n\n", N, zam_get_time() - start);
  zam_msg("Minimum %g found in (%g,%g,%g)\n", least, at.x, at.y, at.z);
  return 1;
}

int zam_grid_kb_reconstruct_reduced(const double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                                    float* grid, const char*) {
  const int cells = zam_grid_points(__func__, "nodes", nx, ny, nz);
  if (cells < 0) return 0;
  Profile px("kb_reduced_x.txt");
  zam_msg("%s() here...\n", __func__);
  const double start = zam_get_time();
  const int K = anlm_size(N);
  zam_msg("\nCalculating potential to N = %d (%d coefficients) ...\n", N, K);
  zam_msg("Grid: %dx = %d cells of %.2f Angstroms.\n", nx, cells, h);
  std::vector<double> weight(static_cast<size_t>(N) + 1, 0.0), radial(static_cast<size_t>(N * (N + 1) / 2));
  for (int n = 1; n <= N; n++) weight[static_cast<size_t>(n)] = hnl_norm(n, 0) * kY00 * coeffs[anlm_index(n, 0, 0)];
  const double half = h / 2;
  for (int c = 0; c < cells; c++) {
    const Point3D p = node_point(c, nx, ny, h, origin);
    if (N >= 1) hnl_all_bar(N, radial.data(), std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
    float value = grid[c];
    for (int n = 1; n <= N; n++)
      value = static_cast<float>(value + radial[static_cast<size_t>(n * (n - 1) / 2)] * weight[static_cast<size_t>(n)]);
    grid[c] = value;
    if (std::fabs(p.y) < half && std::fabs(p.z) < half) px.line(p.x, value);
  }
  zam_msg("Potential reconstruction from N = %d done in %.2f seconds.\n\n", N, zam_get_time() - start);
  return 1;
}
