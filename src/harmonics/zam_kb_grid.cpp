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

}  // namespace

void zam_grid_kb_integrate(double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin, const float* grid,
                           bool verbose) {
  zam_kb_integrate_inline(coeffs, N, nx, ny, nz, h, origin, grid, verbose);
}

void zam_kb_integrate_inline(double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                             const float* grid, bool verbose) {
  zam_msg("zam_kb_integrate_inline() here...\n");
  const double start = zam_get_time();
  _zam_basis b;
  zam_basis_setup(&b, N, ZAM_BASIS_GTO);
  const int K = anlm_size(N), cells = nx * ny * nz;
  zam_msg("\nCalculating coefficients for N = %d (%d coefficients) ...\n", N, K);
  zam_msg("Grid: %dx%dx%d = %d cells of %.2f Angstroms.\n", nx, ny, nz, cells, h);
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
}

void zam_grid_kb_reconstruct_inline(const double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                                    float* grid, const char*) {
  Profile pz("kb_profile_z.txt"), py("kb_profile_y.txt"), px("kb_profile_x.txt");
  zam_msg("zam_kb_reconstruct_inline() here...\n");
  const double start = zam_get_time();
  _zam_basis b;
  zam_basis_setup(&b, N, ZAM_BASIS_GTO);
  const int K = anlm_size(N), cells = nx * ny * nz;
  zam_msg("\nCalculating potential to N = %d (%d coefficients) ...\n", N, K);
  zam_msg("Grid: %dx%dx%d = %d cells of %.2f Angstroms.\n", nx, ny, nz, cells, h);
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
}

void zam_grid_kb_reconstruct_reduced(const double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                                     float* grid, const char*) {
  Profile px("kb_reduced_x.txt");
  zam_msg("zam_kb_reconstruct_reduced() here...\n");
  const double start = zam_get_time();
  const int K = anlm_size(N), cells = nx * ny * nz;
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
}
